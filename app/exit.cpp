#include "app/exit.h"

#include <QApplication>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "playback/speed.h"
#include "ui/main_window.h"

void ExitApp() {
    if (app.exiting)
        return;
    app.exiting = true;
    StopAtHeardPlace();
    BASS_Free();
    app.currentStream = 0;
    if (app.startedUp)
        SaveState();
    // Saved in full: nothing is left for the exit hook to write.
    DisarmEmergencySave();
    app.mainWindow->hide();
    // Ends every event loop, a modal dialog's included.
    QCoreApplication::exit(0);
}
