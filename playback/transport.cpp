#include "playback/transport.h"

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "playback/smart_rewind.h"
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
            NoteStopped(position);
            WritePlaceNow();
        }
    } else {
        RewindForResume();
        BASS_ChannelPlay(app.currentStream, false);
        app.isPlaying = 1;
        app.mainWindow->setPlayPauseIcon(ids::IconPause);
    }
}

namespace {

// Pressed this soon after a chapter's start, Previous goes to the chapter before.
constexpr double kRestartWindowSeconds = 3;

// The chapter heard in the file playing, -1 when it has none (or another file is opening).
int ChapterHeard(QWORD& position) {
    if (app.currentStream == 0 || app.trackIndex != app.chaptersFile)
        return -1;
    position = BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE);
    return position == QWORD(-1) ? -1 : ChapterAt(position);
}

} // namespace

void NextTrack() {
    QWORD position = 0;
    if (const int chapter = ChapterHeard(position); chapter >= 0 && chapter + 1 < int(app.chapters.size())) {
        PlayChapter(chapter + 1);
        return;
    }
    NextFile();
}

void NextFile() {
    OpenRow(app.trackIndex < app.trackCount - 1 ? app.trackIndex + 1 : 0);
}

void PreviousTrack() {
    QWORD position = 0;
    if (const int chapter = ChapterHeard(position); chapter >= 0) {
        const QWORD start = app.chapters[std::size_t(chapter)].start;
        const bool justStarted =
            position - start < BASS_ChannelSeconds2Bytes(app.currentStream, kRestartWindowSeconds);
        if (!justStarted || chapter > 0) {
            PlayChapter(justStarted ? chapter - 1 : chapter);
            return;
        }
    }
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
