#include "app/exit.h"

#include <QApplication>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "playback/speed.h"
#include "playback/track_opener.h"
#include "ui/main_window.h"

void ExitApp() {
    if (app.exiting)
        return;
    app.exiting = true;
    // An open under way may be stuck in a read of a hung share: it is left behind.
    DropOpens();
    StopAtHeardPlace();
    BASS_Free();
    app.currentStream = 0;
    SaveState();
    // Saved in full: nothing is left for the exit hook to write.
    DisarmEmergencySave();
    app.mainWindow->hide();
    // Ends every event loop, a modal dialog's included.
    QCoreApplication::exit(0);
}
