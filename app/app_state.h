// The player's whole run-time state: one record for the whole run.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "books/listening_options.h"
#include "books/records.h"
#include "engine/bass.h"

class MainWindow;

struct ChapterMark {
    QWORD start; // engine units
    QString title;
};

struct AppState {
    // Windows.
    MainWindow* mainWindow = nullptr;

    // Current book and track.
    SettingsRecord settings{};
    BookRecord bookRecord{};
    std::int32_t trackIndex = 0;
    std::int32_t trackCount = 0;

    // Folder strings, derived together from one file path (file system bytes).
    std::string folderDir;
    std::string searchPattern;
    std::string rememberedName;

    // Engine.
    HSTREAM currentStream = 0;
    // The current stream's chapters, listed as rows under its file's row (playback/track_rows.cpp);
    // empty for a file that plays as one piece.
    std::vector<ChapterMark> chapters;
    std::int32_t chaptersFile = -1; // the file index they belong to
    std::int32_t chapterIndex = -1; // the one heard, as last shown
    HFX eqEffect[3]{};
    HFX reverbEffect = 0;
    BASS_INFO engineInfo{};

    // Playback.
    std::int32_t isPlaying = 1;
    double durationSeconds = 0;
    std::int32_t isStereo = 0;
    // Listening speed of each book (playback/speed.cpp).
    double bookSpeeds[kBookCount] = {1.0, 1.0, 1.0, 1.0, 1.0};
    ListeningOptions options;
    // Listening time that shortened pauses saved in this run, on the streams already freed.
    double timeSavedSeconds = 0;

    // Sleep timer.
    std::int32_t sleepArmed = 0;
    std::int64_t sleepStart = 0;
    std::int32_t sleepDelaySeconds = 0;
    // What the timer does when it runs out.
    enum class SleepEnd { PowerOff, Pause, ChapterEnd } sleepEnd = SleepEnd::PowerOff;
    std::int64_t tickTime = 0;
    // The fade's factor on the volume slider's level, 1 outside it: a track opened during the
    // fade starts at the faded level.
    double fadeFactor = 1;

    // Paths, built once at start.
    std::string bookSlotPath;
    std::string settingsPath;

    // Texts last built.
    QString textBuffer;
    QString tickText;
    QString trackTitle; // the title line's text for the track, before its chapter
    QString tooltipText;
    QString openFileName; // the open-file dialog's last picked path, kept for the run
    QString titleBeforeServerLoss; // the title line while it tells that the sound server is away

    // A data file that exists but cannot be read at start: never written in this run.
    bool bookSlotFileUnusable = false;
    bool settingsFileUnusable = false;
    // The current book's path when it does not fit the record; kept in the long-path file.
    std::string longPath;
    // Data files whose last write failed (bit 0 slots, bit 1 settings, bit 2 speeds): the title line says so,
    // and shows titleUnderNotice again once every write succeeds.
    int failedWrites = 0;
    QString titleUnderNotice;
    // Monotonic milliseconds of the last write of the current slot while playing.
    std::int64_t slotWrittenAt = 0;
    // Set once the exit has begun: nothing may open, save or play after it.
    bool exiting = false;
    // Set once start-up has read the data files: an exit before then has nothing of its own to save.
    bool startedUp = false;
};

// The one instance, alive for the whole run.
extern AppState app;
