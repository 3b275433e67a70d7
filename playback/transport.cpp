#include "playback/transport.h"

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "playback/track_rows.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

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

void NextTrack() {
    OpenRow(app.trackIndex < app.trackCount - 1 ? app.trackIndex + 1 : 0);
}

void PreviousTrack() {
    OpenRow(app.trackIndex > 0 ? app.trackIndex - 1 : app.trackCount - 1);
}

void FirstTrack() {
    OpenRow(0);
}

void LastTrack() {
    OpenRow(app.trackCount - 1);
}

void TrackRowChosen(int row) {
    ChooseRow(row);
}

void SeekToSlider(double seconds) {
    BASS_ChannelSetPosition(app.currentStream, BASS_ChannelSeconds2Bytes(app.currentStream, seconds),
                            BASS_POS_BYTE);
}
