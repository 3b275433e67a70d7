#include "playback/tick.h"

#include <algorithm>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "books/book_tabs.h"
#include "playback/pauses.h"
#include "playback/text_format.h"
#include "playback/track_rows.h"
#include "sleep/sleep_timer.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

void TickHandler() {
    if (app.currentStream == 0 || app.exiting)
        return;
    MainWindow* w = app.mainWindow;
    // A minimised or hidden window draws nothing; the first tick after it is shown again
    // brings every display up to date.
    const bool shown = w->isVisible() && !w->isMinimized();

    if (shown) {
        const DWORD level = BASS_ChannelGetLevel(app.currentStream);
        w->setMeterLevels(int(std::min<DWORD>(level & 0xFFFF, 32767)), int(std::min<DWORD>(level >> 16, 32767)));
    }

    const QWORD position = BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE);
    if (position != QWORD(-1)) {
        app.bookRecord.position = std::int64_t(position);
        KeepPlace();
        FollowChapter(position);
        ShowPlaceInTab(position);
    }
    if (shown) {
        const double seconds = BASS_ChannelBytes2Seconds(app.currentStream, position);
        w->setSliderPosition(ids::PositionSlider, int(seconds));

        const Hms t = SplitHms(app.settings.showRemaining ? app.durationSeconds - seconds : seconds);
        if (t.hours > 0)
            w->setStatusText(3, FormatText("%.2d:%.2d:%.2d", t.hours, t.minutes, t.seconds));
        else
            w->setStatusText(3, FormatText("%.2d:%.2d", t.minutes, t.seconds));
        ShowTimeSaved();
    }

    SleepStep();
}
