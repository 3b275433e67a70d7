#include "playback/jump.h"

#include <QCoreApplication>
#include <algorithm>
#include <utility>

#include "app/app_state.h"
#include "playback/track_opener.h"
#include "playback/track_rows.h"
#include "playback/transport.h"

namespace {

// A jump into a neighbouring file waits for its open, the one place its length is learnt.
// Presses meanwhile add up and go on from where it lands.
bool opening = false;
double queued = 0;

void OpenNeighbour(int file, double seconds) {
    opening = true;
    OpenRowAt(
        file, seconds, app.isPlaying != 0,
        [] {
            opening = false;
            queued = 0;
            ReportUnplayable();
        },
        [] {
            opening = false;
            // Once the landing file is current.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] { JumpBy(0); }, Qt::QueuedConnection);
        });
}

} // namespace

void JumpBy(double seconds) {
    if (OpenPending()) {
        // A file that another command opens sets the place: the jump goes, with those added up.
        queued = opening ? queued + seconds : 0;
        return;
    }
    // An open of ours that another command's open replaced: what was asked meanwhile goes with it.
    if (std::exchange(opening, false))
        queued = 0;
    seconds += std::exchange(queued, 0.0);
    if (seconds == 0 || app.currentStream == 0)
        return;
    const QWORD position = BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE);
    if (position == QWORD(-1))
        return;
    const double target = BASS_ChannelBytes2Seconds(app.currentStream, position) + seconds;
    if (target < 0 && app.trackIndex > 0)
        OpenNeighbour(app.trackIndex - 1, target);
    else if (target > app.durationSeconds && app.trackIndex + 1 < app.trackCount)
        OpenNeighbour(app.trackIndex + 1, target - app.durationSeconds);
    else
        SeekToSlider(std::clamp(target, 0.0, app.durationSeconds));
}
