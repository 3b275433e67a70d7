#include "playback/pauses.h"

#include "app/app_state.h"
#include "playback/text_format.h"
#include "ui/main_window.h"

namespace {

constexpr double kShownFromSeconds = 60;
// The time part of the status bar.
constexpr int kTimePart = 3;

} // namespace

void ApplyPauseShortening() {
    if (app.currentStream != 0)
        BASS_ChannelSetAttribute(app.currentStream, BASS_ATTRIB_SHORTEN_PAUSES, app.options.shortenPauses ? 1.0f : 0.0f);
}

void KeepTimeSaved(HSTREAM stream) {
    const double saved = BASS_ChannelGetTimeSaved(stream);
    if (saved > 0)
        app.timeSavedSeconds += saved;
}

void ShowTimeSaved() {
    const double current = app.currentStream != 0 ? BASS_ChannelGetTimeSaved(app.currentStream) : 0;
    const double saved = app.timeSavedSeconds + (current > 0 ? current : 0);
    if (saved < kShownFromSeconds)
        return;
    const Hms t = SplitHms(saved);
    const QString text = t.hours > 0 ? FormatText("сэкономлено %d:%.2d:%.2d", t.hours, t.minutes, t.seconds)
                                     : FormatText("сэкономлено %d:%.2d", t.minutes, t.seconds);
    app.mainWindow->setStatusToolTip(kTimePart, text);
}
