#include "app/dispatch.h"

#include <QAction>
#include <QTimer>
#include <cstdio>

#include "app/app_state.h"
#include "app/exit.h"
#include "books/book_switch.h"
#include "books/folder_playlist.h"
#include "books/listening_options.h"
#include "engine/version.h"
#include "levelling/levelling.h"
#include "playback/effects.h"
#include "playback/jump.h"
#include "playback/pauses.h"
#include "playback/speed.h"
#include "playback/stream_news.h"
#include "playback/tick.h"
#include "playback/track_end.h"
#include "playback/transport.h"
#include "sleep/sleep_timer.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace {

void DispatchCommand(int id) {
    if (app.exiting)
        return;
    switch (id) {
    case ids::AddFolderButton:
    case ids::MenuAddFolder:
        AddFolder();
        break;
    case ids::PlayPauseButton:
    case ids::MenuPlayPause:
        // A press during the sleep timer's fade starts the timer over instead. Nothing to play or
        // pause in an empty book, or before its file has opened.
        if (!ExtendSleepTimer() && app.currentStream != 0)
            TogglePlayPause();
        break;
    case ids::MenuJumpBack:
        JumpBy(-15);
        break;
    case ids::MenuJumpForward:
        JumpBy(30);
        break;
    case ids::NextButton:
        NextTrack();
        break;
    case ids::PreviousButton:
        PreviousTrack();
        break;
    case ids::FirstButton:
        FirstTrack();
        break;
    case ids::LastButton:
        LastTrack();
        break;
    case ids::MenuExit:
        ExitApp();
        break;
    case ids::MenuAbout:
        ShowAbout();
        break;
    case ids::MenuRemainingTime:
        ToggleRemainingTime();
        break;
    case ids::MenuSleepTimer:
        OpenSleepDialog(AppState::SleepEnd::PowerOff);
        break;
    case ids::MenuPauseTimer:
        OpenSleepDialog(AppState::SleepEnd::Pause);
        break;
    case ids::MenuPauseAtChapterEnd:
        PauseAtChapterEnd();
        break;
    case ids::MenuCancelTimer:
        CancelSleepTimer();
        break;
    case ids::MenuSpeedFaster:
        StepSpeed(+1);
        break;
    case ids::MenuSpeedSlower:
        StepSpeed(-1);
        break;
    default:
        if (ToggleListeningOption(id)) {
            if (id == ids::MenuShortenPauses)
                ApplyPauseShortening();
            if (id == ids::MenuLevelLoudness)
                LevellingSwitched();
            break;
        }
        if (id >= ids::MenuSpeedFirst && id < ids::MenuSpeedFirst + int(MainWindow::speedChoices.size()))
            SetSpeed(MainWindow::speedChoices[std::size_t(id - ids::MenuSpeedFirst)]);
        break;
    }
}

// Runs a handler unless the exit has begun.
template <typename Handler>
auto Guarded(Handler handler) {
    return [handler](auto... args) {
        if (!app.exiting)
            handler(args...);
    };
}

} // namespace

void ToggleRemainingTime() {
    if (!app.mainWindow->remainingChecked()) {
        app.mainWindow->setRemainingChecked(true);
        app.settings.showRemaining = 1;
    } else {
        app.mainWindow->setRemainingChecked(false);
        app.settings.showRemaining = 0;
    }
}

QString EngineVersionText() {
    // The engine's own version in the compact dotted form (every '0' shown as '.'), then the
    // FFmpeg release it decodes with, without the distribution's suffix.
    const DWORD version = BASS_GetVersion();
    char number[20];
    std::snprintf(number, sizeof number, "%x.%X", unsigned(version >> 16), unsigned(version & 0xFFFF));
    QString dotted = QString::fromLatin1(number);
    dotted.replace(QLatin1Char('0'), QLatin1Char('.'));
    const QString ffmpeg = QString::fromUtf8(TELLWICK_FFmpegVersion()).section(QLatin1Char('-'), 0, 0);
    return QStringLiteral("%1 ver. %2\nFFmpeg %3").arg(QString::fromUtf8(TELLWICK_ENGINE_NAME), dotted, ffmpeg);
}

void ShowAbout() {
    RunAboutDialog(app.mainWindow, EngineVersionText());
}

void ConnectWindowSignals(MainWindow* window) {
    QObject::connect(window, &MainWindow::commandTriggered, window, DispatchCommand);
    QObject::connect(window, &MainWindow::trackRowChosen, window, Guarded(TrackRowChosen));
    QObject::connect(window, &MainWindow::bookTabChosen, window, Guarded(SwitchBook));
    QObject::connect(window, &MainWindow::positionSliderMoved, window, Guarded(SeekToSlider));
    QObject::connect(window, &MainWindow::effectSliderMoved, window, Guarded(ApplySlider));
    QObject::connect(window, &MainWindow::closeRequested, window, ExitApp);
    SetTrackEndHandler(OnTrackEnd);

    auto* timer = new QTimer(window);
    timer->setInterval(100);
    QObject::connect(timer, &QTimer::timeout, window, TickHandler);
    timer->start();
}
