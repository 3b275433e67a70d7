#include "playback/track_open.h"

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "books/book_tabs.h"
#include "levelling/levelling.h"
#include "books/last_heard.h"
#include "playback/effects.h"
#include "playback/pauses.h"
#include "playback/speed.h"
#include "playback/stream_news.h"
#include "playback/text_format.h"
#include "playback/track_opener.h"
#include "playback/track_rows.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace {

void ShowStatusTexts(const OpenedTrack& track) {
    MainWindow* w = app.mainWindow;
    ShowTrackCount();

    const int bitrate = app.durationSeconds > 0
                            ? int(double(track.fileBytes) / (app.durationSeconds * 125) + 0.5)
                            : 0;
    w->setStatusText(1, FormatText(" %s  %0.1f kHz   %d Kbs     %0.2f Mb", app.isStereo ? "Стерео" : "Моно   ",
                                   double(track.sampleRate) / 1000, bitrate, double(track.sizeMebibytes)));

    const Hms length = SplitHms(app.durationSeconds);
    if (length.hours > 0)
        w->setStatusText(2, FormatText("Время звучания: %.2d:%.2d:%.2d", length.hours, length.minutes,
                                       length.seconds));
    else
        w->setStatusText(2, FormatText("Время звучания: %.2d:%.2d", length.minutes, length.seconds));
}

void SetUpPositionSlider() {
    const int whole = int(app.durationSeconds);
    app.mainWindow->setSliderRange(ids::PositionSlider, 0, whole);
    QList<int> ticks;
    for (int i = 1; i <= 9; ++i)
        ticks.append(int(app.durationSeconds / 10 * i));
    app.mainWindow->setPositionTicks(ticks);
}

void PlayOpened(const std::string& path, const OpenedTrack& track, bool play) {
    ReleaseCurrentStream();
    app.currentStream = track.stream;
    for (int band = 0; band < 3; ++band)
        app.eqEffect[band] = track.effects.eq[band];
    app.reverbEffect = track.effects.reverb;
    // The levels may have moved while the file was being opened.
    for (int slider = 0; slider < 5; ++slider)
        ApplySlider(slider);
    ApplySpeed();
    ApplyPauseShortening();
    LevelTrack(path);

    app.durationSeconds = track.durationSeconds;
    app.isStereo = track.channels != 1;
    ShowStatusTexts(track);
    SetUpPositionSlider();
    const QString folderName = FolderNameText(app.folderDir);
    app.textBuffer = track.tags.empty() ? folderName : QString::fromUtf8(track.tags.c_str());
    app.trackTitle = app.textBuffer;
    app.mainWindow->setTitleText(app.textBuffer);
    app.textBuffer = folderName;
    LabelBookTab(app.settings.currentBook, app.folderDir);

    ShowChapters();
    ArmStreamNews(app.currentStream, path);
    // The slot pairs the new file with the place its playback starts at, never with where
    // the previous file stopped.
    RecordBookPath(path);
    app.bookRecord.position = track.startPosition;
    // Heard from now on: a book gone back to its phrase is not sent back again by a kill at once.
    if (play)
        NoteHeardNow();
    SaveState();
    if (play)
        BASS_ChannelPlay(app.currentStream, false);
    app.isPlaying = play;
    app.mainWindow->setPlayPauseIcon(play ? ids::IconPause : ids::IconPlay);
}

void Open(const std::string& path, std::int64_t startPosition, std::optional<double> startSeconds, bool play,
          std::function<void()> refused, std::function<void()> accepted, double backSeconds = 0) {
    if (app.exiting)
        return;
    // A file of the book the listener has left meanwhile is not for the book now shown.
    RequestOpen(
        path, startPosition, backSeconds, CurrentLevels(),
        [path, play, book = app.settings.currentBook, refused = std::move(refused),
         accepted = std::move(accepted)](const OpenedTrack& track) {
            if (app.exiting || app.settings.currentBook != book) {
                BASS_StreamFree(track.stream);
            } else if (track.stream == 0) {
                if (refused)
                    refused();
            } else {
                if (accepted)
                    accepted();
                PlayOpened(path, track, play);
            }
        },
        startSeconds);
}

} // namespace

void ShowTrackCount() {
    app.mainWindow->setStatusText(0, FormatText("   Всего в списке: %d", app.trackCount));
}

void ReportUnplayable() {
    ShowWarning(app.mainWindow, QStringLiteral("Ошибка воспроизведения"));
}

void ReleaseCurrentStream() {
    if (app.currentStream != 0) {
        KeepTimeSaved(app.currentStream);
        BASS_StreamFree(app.currentStream);
        app.currentStream = 0;
    }
}

void OpenTrack(const std::string& path, std::int64_t startPosition, std::function<void()> refused,
               std::function<void()> accepted, double backSeconds) {
    Open(path, startPosition, std::nullopt, true, std::move(refused), std::move(accepted), backSeconds);
}

void OpenTrackAt(const std::string& path, double seconds, bool play, std::function<void()> refused,
                 std::function<void()> accepted) {
    Open(path, 0, seconds, play, std::move(refused), std::move(accepted));
}
