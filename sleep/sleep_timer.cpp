#include "sleep/sleep_timer.h"

#include <QAction>
#include <QSlider>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <time.h>

#include "app/app_state.h"
#include "app/exit.h"
#include "books/book_slot_file.h"
#include "playback/effects.h"
#include "playback/smart_rewind.h"
#include "playback/speed.h"
#include "playback/text_format.h"
#include "playback/track_open.h"
#include "playback/track_rows.h"
#include "playback/transport.h"
#include "sleep/power_off.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace {

std::function<std::int64_t(clockid_t)>& ClockSeam() {
    static std::function<std::int64_t(clockid_t)> seam;
    return seam;
}

std::int64_t ClockSeconds(clockid_t clock) {
    if (ClockSeam())
        return ClockSeam()(clock);
    timespec now{};
    clock_gettime(clock, &now);
    return std::int64_t(now.tv_sec);
}

// Over the last seconds the sound fades out, so a voice cut off mid-word wakes nobody.
constexpr double kFadeSeconds = 30;
constexpr double kFadeFloorDb = -60;

struct Fade {
    bool active = false;
    double seconds = 0;        // what the timer had left when the fade began, at most kFadeSeconds
    HSTREAM stream = 0;        // the stream heard when it began
    std::int64_t position = 0; // and its place then: the last words still heard clearly
    HSTREAM gliding = 0;       // the stream, volume and second the glide under way was set for
    double volume = 0;
    double left = NAN;
};
Fade fade;

void EndFade() {
    if (!fade.active)
        return;
    fade.active = false;
    app.fadeFactor = 1;
    ApplySlider(4); // the volume slider's own level, at once
}

// The fade's gain with `left` seconds to go: a ramp in dB from 0 down to kFadeFloorDb, then silence.
double FadeGain(double left) {
    const double done = std::clamp(1.0 - left / fade.seconds, 0.0, 1.0);
    return left <= 0 ? 0.0 : std::pow(10.0, kFadeFloorDb * done / 20);
}

// The clock counts whole seconds: each second the engine glides the level to the next second's
// step, so the fall is heard as one even slope rather than steps.
void FadeStep(double left) {
    if (left > kFadeSeconds || app.currentStream == 0)
        return;
    if (!fade.active)
        fade = {true, std::max(1.0, left), app.currentStream, app.bookRecord.position};
    const double volume = 1.0 - app.mainWindow->slider(ids::VolumeSlider)->value() / 100.0;
    app.fadeFactor = FadeGain(left);
    if (app.currentStream != fade.gliding || volume != fade.volume) {
        // A track opened or the volume slider moved: straight to the fade's level.
        BASS_ChannelSetAttribute(app.currentStream, BASS_ATTRIB_VOL, float(volume * FadeGain(left)));
        fade.gliding = app.currentStream;
        fade.volume = volume;
    } else if (left == fade.left) {
        return;
    }
    fade.left = left;
    BASS_ChannelSlideAttribute(app.currentStream, BASS_ATTRIB_VOL, float(volume * FadeGain(left - 1)), 1000);
}

using SleepEnd = AppState::SleepEnd;

void SetArmed(bool armed) {
    app.sleepArmed = armed ? 1 : 0;
    app.mainWindow->menuAction(ids::MenuCancelTimer)->setEnabled(armed);
}

// A countdown no longer runs: the status bar shows the track count again.
void Disarm() {
    const bool shown = app.mainWindow->statusText(0) == app.tickText;
    SetArmed(false);
    if (shown)
        ShowTrackCount();
}

void ShowCountdown(const char* label, double left) {
    const Hms t = SplitHms(left);
    app.tickText = t.hours != 0 ? FormatText("%s:  %d:%.2d:%.2d", label, t.hours, t.minutes, t.seconds)
                                : FormatText("%s:  %.2d:%.2d", label, t.minutes, t.seconds);
    app.mainWindow->setStatusText(0, app.tickText);
}

// The pause lands this much wall time before the chapter's end, and so before the file's end,
// where the engine would go on to the next file.
constexpr double kChapterEndLead = 0.04;
// Closer than this to the end, the sound glides down to silence at the end, so that a pause that
// comes late on a busy machine lets nothing of the next chapter be heard; and a precise timer
// takes over from the 100 ms tick.
constexpr double kCloseSeconds = 0.5;
// The engine changes what it has buffered from a little after the place heard: the glide is
// asked to end this much earlier.
constexpr double kGlideMarginSeconds = 0.1;

// The end the chapter-end pause aims at, kept between looks: a look that comes late, after
// playback has crossed into the next chapter or file, still pauses at that end.
struct ChapterWatch {
    HSTREAM stream = 0;
    QWORD end = 0;
    QWORD last = 0; // the place at the last look
    bool fileEnd = false;
    bool gliding = false;
    bool preciseLook = false; // one is scheduled
};
ChapterWatch watch;

// The volume slider's own level again, whether the fade or the glide to a chapter's end had begun.
void RestoreVolume() {
    EndFade();
    if (std::exchange(watch.gliding, false)) {
        app.fadeFactor = 1;
        ApplySlider(4);
    }
}

// Pauses as the listener's pause does and, when given, makes place (engine bytes) the book's place.
void PauseAt(std::optional<QWORD> place) {
    Disarm();
    if (app.isPlaying)
        TogglePlayPause();
    if (place && BASS_ChannelSetPosition(app.currentStream, *place, BASS_POS_BYTE)) {
        app.bookRecord.position = std::int64_t(*place);
        NoteStopped(*place); // moved by the timer, not the listener: the resume still goes back
        WritePlaceNow();
    }
    RestoreVolume(); // once paused, so its return is not heard
}

void CountdownStep(std::int64_t now) {
    const double left = double(app.sleepDelaySeconds) - double(now - app.sleepStart);
    ShowCountdown(app.sleepEnd == SleepEnd::Pause ? "Пауза" : "Выключение", left);
    FadeStep(left);
    if (std::int32_t(now - app.sleepStart) <= app.sleepDelaySeconds)
        return;
    // The place to keep is where the fade began: the last words still heard clearly.
    const bool faded = fade.active && fade.stream == app.currentStream;
    if (app.sleepEnd == SleepEnd::Pause) {
        PauseAt(faded ? std::optional<QWORD>(QWORD(fade.position)) : std::nullopt);
        return;
    }
    if (faded) {
        app.bookRecord.position = fade.position;
        ReleaseCurrentStream(); // so the exit keeps this place, not the one heard last
    }
    ExitApp();
    PowerOff();
}

// Where the chapter heard at position ends: the next chapter's start, or the end of the file.
QWORD EndOfChapterAt(QWORD position) {
    const int chapter = app.trackIndex == app.chaptersFile ? ChapterAt(position) : -1;
    if (chapter >= 0 && std::size_t(chapter) + 1 < app.chapters.size())
        return app.chapters[std::size_t(chapter) + 1].start;
    return BASS_ChannelGetLength(app.currentStream, BASS_POS_BYTE);
}

void ChapterEndStep() {
    const QWORD position = BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE);
    if (position == QWORD(-1))
        return;
    // Playback goes no further than this between two looks; a longer move is the listener's.
    const QWORD step = BASS_ChannelSeconds2Bytes(app.currentStream, 1);
    if (watch.stream != app.currentStream) {
        if (watch.fileEnd && watch.end - watch.last < step && position < step) {
            PauseAt(0); // the file ran out before a look caught its end: the next one waits at its start
            return;
        }
        RestoreVolume();
        watch = {};
    }
    const bool crossed = watch.stream != 0 && watch.last < watch.end && position >= watch.end &&
                         position - watch.last < step;
    if (!crossed) {
        watch.stream = app.currentStream;
        watch.end = EndOfChapterAt(position);
        watch.fileEnd = watch.end >= BASS_ChannelGetLength(app.currentStream, BASS_POS_BYTE);
    }
    const double left =
        BASS_ChannelBytes2Seconds(app.currentStream, watch.end - std::min(position, watch.end)) / CurrentSpeed();
    ShowCountdown("До конца главы", left);
    if (left <= kChapterEndLead) {
        PauseAt(watch.fileEnd ? std::nullopt : std::optional<QWORD>(watch.end));
        return;
    }
    watch.last = position;
    if (left >= kCloseSeconds || !app.isPlaying) {
        RestoreVolume(); // moved away from the end, or paused by the listener
        return;
    }
    if (!std::exchange(watch.gliding, true)) {
        app.fadeFactor = 0; // should this file run out first, the next one starts silent
        BASS_ChannelSlideAttribute(app.currentStream, BASS_ATTRIB_VOL, 0,
                                   DWORD(std::max(10.0, (left - kGlideMarginSeconds) * 1000)));
    }
    if (!std::exchange(watch.preciseLook, true))
        QTimer::singleShot(int((left - kChapterEndLead) * 1000), Qt::PreciseTimer, app.mainWindow, [] {
            watch.preciseLook = false;
            if (app.sleepArmed && app.sleepEnd == SleepEnd::ChapterEnd && app.currentStream != 0 && !app.exiting)
                ChapterEndStep();
        });
}

} // namespace

// The monotonic clock stands still while the computer is suspended and never jumps with the
// wall clock: an armed timer keeps the time it had left across a suspend, so a lid opened in
// the morning finds the book where it was, not a computer switching off in the listener's hands.
std::int64_t SleepClockSeconds() {
    return ClockSeconds(CLOCK_MONOTONIC);
}

void SetClockSeam(std::function<std::int64_t(clockid_t)> clock) {
    ClockSeam() = std::move(clock);
}

void OpenSleepDialog(AppState::SleepEnd end) {
    const auto entry = RunSleepDialog(app.mainWindow, end == SleepEnd::Pause);
    if (entry && !app.exiting)
        ArmSleepTimer(*entry, end);
}

void ArmSleepTimer(const QString& entry, AppState::SleepEnd end) {
    // At most 7 characters, read as atoi reads them.
    const int minutes = std::atoi(entry.left(7).toUtf8().constData());
    if (minutes <= 0)
        return;
    RestoreVolume();
    app.sleepStart = SleepClockSeconds();
    app.sleepDelaySeconds = minutes * 60;
    app.sleepEnd = end;
    SetArmed(true);
}

void PauseAtChapterEnd() {
    RestoreVolume();
    app.sleepEnd = SleepEnd::ChapterEnd;
    watch = {};
    SetArmed(true);
}

void CancelSleepTimer() {
    if (!app.sleepArmed)
        return;
    Disarm();
    RestoreVolume();
}

bool ExtendSleepTimer() {
    if (!app.sleepArmed || !fade.active)
        return false;
    app.sleepStart = SleepClockSeconds();
    EndFade();
    return app.isPlaying != 0;
}

void SleepStep() {
    const std::int64_t now = SleepClockSeconds();
    app.tickTime = now;
    if (!app.sleepArmed)
        return;
    if (app.sleepEnd == SleepEnd::ChapterEnd)
        ChapterEndStep();
    else
        CountdownStep(now);
}
