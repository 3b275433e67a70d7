#include "app/exit.h"

#include <QApplication>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "ui/main_window.h"

void ExitApp() {
    if (app.exiting)
        return;
    app.exiting = true;
    BASS_Free();
    app.currentStream = 0;
    SaveState();
    app.mainWindow->hide();
    // Ends every event loop, a modal dialog's included.
    QCoreApplication::exit(0);
}
