#include "books/book_switch.h"

#include <QListWidget>
#include <fcntl.h>
#include <unistd.h>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "books/file_io.h"
#include "books/folder_playlist.h"
#include "playback/smart_rewind.h"
#include "playback/speed.h"
#include "playback/text_format.h"
#include "playback/track_open.h"
#include "ui/main_window.h"

void SwitchBook(int index) {
    if (app.exiting || index < 0 || index >= kBookCount)
        return;
    app.mainWindow->trackList()->clear();
    app.mainWindow->setTitleText(QString());
    StopAtHeardPlace();
    SaveState();
    ReleaseCurrentStream();
    app.settings.currentBook = index;
    LoadBook();
}

namespace {

// A regular file that can be opened for reading.
bool IsReachableFile(const std::string& path) {
    const int fd = OpenRegularFile(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

} // namespace

void LoadBook() {
    if (!ReadBookSlot(app.settings.currentBook))
        return;
    const std::string path = CurrentBookPath();
    if (path.empty())
        return;
    if (!IsReachableFile(path)) {
        // A drive or share not mounted yet: the slot stays as it is, and the listener sees
        // which book it is and why it does not play.
        app.mainWindow->setTabLabel(app.settings.currentBook, FolderNameText(path.substr(0, path.rfind('/'))).left(8));
        app.mainWindow->setTitleText(QStringLiteral("Файл книги недоступен: %1").arg(QString::fromUtf8(path.c_str())));
        return;
    }
    DeriveFolderNames(path);
    ScanFolder();
    // The stored place, seeked to before playback starts, gone back from as long unheard calls
    // for; a place the engine refuses (negative, beyond the end) plays the file from its start.
    OpenTrack(path, app.bookRecord.position, ReportUnplayable, {}, ResumeBackSeconds());
}
