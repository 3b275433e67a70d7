#include "playback/track_end.h"

#include "app/app_state.h"
#include "playback/track_rows.h"
#include "ui/main_window.h"

namespace {

// Nobody may be there to answer a box: a file that cannot play (gone, damaged) is passed over.
void AdvanceAfter(int refusals) {
    if (app.exiting)
        return;
    if (refusals >= app.trackCount) {
        if (app.trackCount > 0)
            app.mainWindow->setTitleText(
                QStringLiteral("Ни один файл книги не удаётся воспроизвести, воспроизведение остановлено."));
        return;
    }
    OpenRow(app.trackIndex + 1 < app.trackCount ? app.trackIndex + 1 : 0, [refusals] { AdvanceAfter(refusals + 1); });
}

} // namespace

void OnTrackEnd() {
    ReleaseCurrentStream();
    AdvanceAfter(0);
}
