#include "books/book_switch.h"

#include <QListWidget>
#include <fcntl.h>
#include <unistd.h>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "books/book_tabs.h"
#include "books/file_io.h"
#include "books/folder_playlist.h"
#include "playback/smart_rewind.h"
#include "playback/speed.h"
#include "playback/track_open.h"
#include "ui/control_ids.h"
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

// Nothing plays: no time, no level, the play image, no track's figures, a slider with no place.
void ShowNoTrack() {
    MainWindow* w = app.mainWindow;
    for (int part = 0; part < 4; ++part)
        w->setStatusText(part, QString());
    w->setMeterLevels(0, 0);
    app.isPlaying = 0;
    w->setPlayPauseIcon(ids::IconPlay);
    w->setSliderRange(ids::PositionSlider, 0, 0);
    w->setPositionTicks({});
}

} // namespace

void LoadBook() {
    const std::string path = ReadBookSlot(app.settings.currentBook) ? CurrentBookPath() : std::string();
    if (path.empty()) {
        ShowNoTrack();
        return;
    }
    if (!IsReachableFile(path)) {
        // A drive or share not mounted yet: the slot stays as it is, and the listener sees
        // which book it is and why it does not play.
        LabelBookTab(app.settings.currentBook, path.substr(0, path.rfind('/')));
        app.mainWindow->setTitleText(QStringLiteral("Файл книги недоступен: %1").arg(QString::fromUtf8(path.c_str())));
        ShowNoTrack();
        return;
    }
    DeriveFolderNames(path);
    ScanFolder();
    // The stored place, seeked to before playback starts, gone back from as long unheard calls
    // for; a place the engine refuses (negative, beyond the end) plays the file from its start.
    OpenTrack(
        path, app.bookRecord.position,
        [] {
            ReportUnplayable();
            ShowNoTrack();
        },
        {}, ResumeBackSeconds());
}
