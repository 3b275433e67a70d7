#include "sleep/sleep_timer.h"

#include <QSlider>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <time.h>

#include "app/app_state.h"
#include "app/exit.h"
#include "playback/effects.h"
#include "playback/text_format.h"
#include "playback/track_open.h"
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

void OpenSleepDialog() {
    const auto entry = RunSleepDialog(app.mainWindow);
    if (entry && !app.exiting)
        ArmSleepTimer(*entry);
}

void ArmSleepTimer(const QString& entry) {
    // At most 7 characters, read as atoi reads them.
    const int minutes = std::atoi(entry.left(7).toUtf8().constData());
    if (minutes <= 0)
        return;
    EndFade();
    app.sleepStart = SleepClockSeconds();
    app.sleepDelaySeconds = minutes * 60;
    app.sleepArmed = 1;
}

void SleepStep() {
    const std::int64_t now = SleepClockSeconds();
    app.tickTime = now;
    if (!app.sleepArmed)
        return;
    const double left = double(app.sleepDelaySeconds) - double(now - app.sleepStart);
    const Hms t = SplitHms(left);
    app.tickText = FormatText("%s  %.2d:%.2d", "Выключение: ", t.minutes, t.seconds);
    app.mainWindow->setStatusText(0, app.tickText);
    FadeStep(left);
    if (std::int32_t(now - app.sleepStart) > app.sleepDelaySeconds) {
        if (fade.active && fade.stream == app.currentStream) {
            app.bookRecord.position = fade.position;
            ReleaseCurrentStream(); // so the exit keeps this place, not the one heard last
        }
        ExitApp();
        PowerOff();
    }
}
