#include "app/exit.h"

#include <QApplication>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "books/save_writer.h"
#include "levelling/levelling.h"
#include "playback/speed.h"
#include "playback/track_opener.h"
#include "ui/main_window.h"

namespace {

constexpr int kExitSaveWaitMs = 2000;

} // namespace

void ExitApp() {
    if (app.exiting)
        return;
    app.exiting = true;
    // An open under way may be stuck in a read of a hung share: it is left behind.
    DropOpens();
    StopLevelling();
    StopAtHeardPlace();
    BASS_Free();
    app.currentStream = 0;
    if (app.startedUp)
        SaveState();
    // A stalled data folder holds the exit up no longer; the place has been kept by then as far
    // as the disk let it.
    FlushSaves(kExitSaveWaitMs);
    // Nothing is left for the exit hook to write.
    DisarmEmergencySave();
    app.mainWindow->hide();
    // Ends every event loop, a modal dialog's included.
    QCoreApplication::exit(0);
}
