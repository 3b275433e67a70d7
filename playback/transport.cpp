#include "playback/transport.h"

#include <QListWidget>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "playback/track_open.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

namespace {

bool RowExists(int row) {
    return row >= 0 && row < app.trackCount && row < app.mainWindow->trackList()->count();
}

std::string RowPath(int row) {
    const QByteArray name = app.mainWindow->trackList()->item(row)->data(Qt::UserRole).toByteArray();
    return app.folderDir + "/" + name.toStdString();
}

} // namespace

void TogglePlayPause() {
    if (app.isPlaying) {
        BASS_ChannelPause(app.currentStream);
        app.isPlaying = 0;
        app.mainWindow->setPlayPauseIcon(ids::IconPlay);
        // The place where the listener stopped goes to the disk at once.
        if (app.currentStream != 0) {
            const QWORD position = BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE);
            if (position != QWORD(-1))
                app.bookRecord.position = std::int64_t(position);
            WritePlaceNow();
        }
    } else {
        BASS_ChannelPlay(app.currentStream, false);
        app.isPlaying = 1;
        app.mainWindow->setPlayPauseIcon(ids::IconPause);
    }
}

void PlayListIndex(int row) {
    if (!RowExists(row))
        return;
    app.mainWindow->selectRow(row);
    OpenTrack(RowPath(row));
}

bool OpenRowAdvancing(int row) {
    if (!RowExists(row))
        return false;
    app.trackIndex = row;
    app.mainWindow->selectRow(row);
    return OpenTrack(RowPath(row), 0, true);
}

void PlayRowAfterRelease(int row) {
    if (!RowExists(row))
        return;
    ReleaseCurrentStream();
    app.trackIndex = row;
    PlayListIndex(row);
}

void NextTrack() {
    PlayRowAfterRelease(app.trackIndex < app.trackCount - 1 ? app.trackIndex + 1 : 0);
}

void PreviousTrack() {
    PlayRowAfterRelease(app.trackIndex > 0 ? app.trackIndex - 1 : app.trackCount - 1);
}

void FirstTrack() {
    PlayRowAfterRelease(0);
}

void LastTrack() {
    PlayRowAfterRelease(app.trackCount - 1);
}

void TrackRowChosen(int row) {
    if (!RowExists(row))
        return;
    app.trackIndex = row;
    OpenTrack(RowPath(row));
}

void SeekToSlider(double seconds) {
    BASS_ChannelSetPosition(app.currentStream, BASS_ChannelSeconds2Bytes(app.currentStream, seconds),
                            BASS_POS_BYTE);
}
