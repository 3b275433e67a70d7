#include "playback/stream_news.h"

#include <QCoreApplication>
#include <QLabel>

#include "app/app_state.h"
#include "playback/track_opener.h"
#include "ui/main_window.h"

namespace {

void (*trackEndHandler)() = nullptr;
// The current stream's file, and the title line from before it stalled while it is stalled.
std::string streamPath;
HSTREAM stalledStream = 0;
QString titleBeforeStall;

bool IsCurrent(HSTREAM stream) {
    return !app.exiting && stream != 0 && stream == app.currentStream;
}

void Post(std::function<void()> news) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(news), Qt::QueuedConnection);
}

void TrackEnded(HSTREAM ended) {
    // An end that arrives for a stream that is no longer current (the listener moved on at the
    // same moment) is dropped, so no track is skipped; so is one while a track is being opened,
    // which replaces the ended one.
    if (IsCurrent(ended) && !OpenPending() && trackEndHandler)
        trackEndHandler();
}

// The engine goes on by itself when the server comes back; the title line says meanwhile
// why nothing is heard.
void ServerNews(HSTREAM stream, bool away) {
    if (!IsCurrent(stream))
        return;
    MainWindow* w = app.mainWindow;
    if (away) {
        app.titleBeforeServerLoss = w->titleLine()->text();
        w->setTitleText(QStringLiteral("Нет связи со звуковым сервером"));
    } else {
        w->setTitleText(app.titleBeforeServerLoss);
    }
}

// A file on a share that stopped answering: playback goes on by itself once reads return.
void StallNews(HSTREAM stream, bool stalled) {
    if (!IsCurrent(stream))
        return;
    MainWindow* w = app.mainWindow;
    if (stalled && stalledStream != stream) {
        stalledStream = stream;
        titleBeforeStall = w->titleLine()->text();
        w->setTitleText(QStringLiteral("Файл книги не отвечает: %1").arg(QString::fromUtf8(streamPath.c_str())));
    } else if (!stalled && stalledStream == stream) {
        stalledStream = 0;
        w->setTitleText(titleBeforeStall);
    }
}

void OnEnd(HSYNC, DWORD channel, DWORD, void*) {
    Post([channel] { TrackEnded(channel); });
}

void OnServer(HSYNC, DWORD channel, DWORD away, void*) {
    Post([channel, away] { ServerNews(channel, away != 0); });
}

void OnStall(HSYNC, DWORD channel, DWORD flowing, void*) {
    Post([channel, flowing] { StallNews(channel, flowing == 0); });
}

} // namespace

void ArmStreamNews(HSTREAM stream, const std::string& path) {
    streamPath = path;
    stalledStream = 0;
    BASS_ChannelSetSync(stream, BASS_SYNC_END, 0, OnEnd, nullptr);
    BASS_ChannelSetSync(stream, BASS_SYNC_DEV_FAIL, 0, OnServer, nullptr);
    BASS_ChannelSetSync(stream, BASS_SYNC_STALL, 0, OnStall, nullptr);
}

void SetTrackEndHandler(void (*handler)()) {
    trackEndHandler = handler;
}
