#include "sleep/sleep_timer.h"

#include <cstdlib>
#include <time.h>

#include "app/app_state.h"
#include "app/exit.h"
#include "playback/text_format.h"
#include "playback/track_open.h"
#include "sleep/power_off.h"
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
    if (std::int32_t(now - app.sleepStart) > app.sleepDelaySeconds) {
        ExitApp();
        PowerOff();
    }
}
