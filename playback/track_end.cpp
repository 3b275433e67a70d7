#include "playback/track_end.h"

#include <QCoreApplication>
#include <QLabel>
#include <QObject>

#include "app/app_state.h"
#include "playback/track_open.h"
#include "playback/transport.h"
#include "ui/main_window.h"

namespace {

// Lives on the window's thread; the engine thread only posts to it.
QObject* EndReceiver() {
    static QObject* receiver = new QObject(QCoreApplication::instance());
    return receiver;
}

void AdvanceIfCurrent(HSTREAM ended) {
    // An end that arrives for a stream that is no longer current (the listener moved on
    // at the same moment) is dropped, so no track is skipped.
    if (app.exiting || ended == 0 || ended != app.currentStream)
        return;
    OnTrackEnd();
}

void PostTrackEnd(HSYNC, DWORD channel, DWORD, void* user) {
    QMetaObject::invokeMethod(static_cast<QObject*>(user), [channel] { AdvanceIfCurrent(channel); },
                              Qt::QueuedConnection);
}

// The engine goes on by itself when the server comes back; the title line says meanwhile
// why nothing is heard.
void ShowServerNews(HSTREAM stream, bool away) {
    if (app.exiting || stream == 0 || stream != app.currentStream)
        return;
    MainWindow* w = app.mainWindow;
    if (away) {
        app.titleBeforeServerLoss = w->titleLine()->text();
        w->setTitleText(QStringLiteral("Нет связи со звуковым сервером"));
    } else {
        w->setTitleText(app.titleBeforeServerLoss);
    }
}

void PostServerNews(HSYNC, DWORD channel, DWORD away, void* user) {
    QMetaObject::invokeMethod(static_cast<QObject*>(user), [channel, away] { ShowServerNews(channel, away != 0); },
                              Qt::QueuedConnection);
}

} // namespace

void ArmTrackEnd(HSTREAM stream) {
    BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, PostTrackEnd, EndReceiver());
    BASS_ChannelSetSync(stream, BASS_SYNC_DEV_FAIL, 0, PostServerNews, EndReceiver());
}

void OnTrackEnd() {
    ReleaseCurrentStream();
    // Nobody may be there to answer a box: a file that cannot play (gone, damaged) is passed
    // over, and only a whole round without a playable file stops, saying so on the title line.
    for (int tried = 0; tried < app.trackCount; ++tried) {
        if (OpenRowAdvancing(app.trackIndex + 1 < app.trackCount ? app.trackIndex + 1 : 0))
            return;
        if (app.exiting)
            return;
    }
    if (app.trackCount > 0)
        app.mainWindow->setTitleText(
            QStringLiteral("Ни один файл книги не удаётся воспроизвести, воспроизведение остановлено."));
}
