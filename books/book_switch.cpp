#include "books/book_switch.h"

#include <QListWidget>
#include <cstdio>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "books/folder_playlist.h"
#include "playback/track_open.h"
#include "ui/main_window.h"

void SwitchBook(int index) {
    if (app.exiting || index < 0 || index >= kBookCount)
        return;
    app.mainWindow->trackList()->clear();
    app.mainWindow->setTitleText(QString());
    SaveState();
    ReleaseCurrentStream();
    app.settings.currentBook = index;
    LoadBook();
}

void LoadBook() {
    if (!ReadBookSlot(app.settings.currentBook))
        return;
    if (app.bookRecord.path[0] == '\0')
        return;
    std::FILE* probe = std::fopen(app.bookRecord.path, "rb");
    if (!probe)
        return;
    std::fclose(probe);

    const std::string path = app.bookRecord.path;
    DeriveFolderNames(path);
    ScanFolder();
    // The stored place, seeked to before playback starts; a place the engine refuses
    // (negative, beyond the end) plays the file from its start.
    OpenTrack(path, app.bookRecord.position);
}
