#include "books/book_tabs.h"

#include <QTabBar>

#include "app/app_state.h"
#include "books/book_slot_file.h"
#include "playback/text_format.h"
#include "playback/track_opener.h"
#include "playback/track_rows.h"
#include "ui/main_window.h"

namespace {

QString folderNames[kBookCount];

void SetTip(int book, const QString& tip) {
    QTabBar* tabs = app.mainWindow->bookTabs();
    if (tabs->tabToolTip(book) != tip)
        tabs->setTabToolTip(book, tip);
}

// "гл. 3, 1:02:15" in a file with chapters, else the time alone; the file's name before it
// when the book has more than one.
QString PlaceText(QWORD position) {
    const Hms t = SplitHms(BASS_ChannelBytes2Seconds(app.currentStream, position));
    QString place = t.hours > 0 ? FormatText("%d:%.2d:%.2d", t.hours, t.minutes, t.seconds)
                                : FormatText("%d:%.2d", t.minutes, t.seconds);
    if (const int chapter = app.trackIndex == app.chaptersFile ? ChapterAt(position) : -1; chapter >= 0)
        place = FormatText("гл. %d, ", chapter + 1) + place;
    if (app.trackCount > 1) {
        const std::string path = CurrentBookPath();
        place = NameText(std::string_view(path).substr(path.rfind('/') + 1)) + QStringLiteral(", ") + place;
    }
    return place;
}

} // namespace

void LabelBookTabs() {
    const auto paths = StoredBookPaths();
    for (int book = 0; book < kBookCount; ++book) {
        const std::string& path = paths[std::size_t(book)];
        folderNames[book].clear();
        if (!path.empty())
            LabelBookTab(book, path.substr(0, path.rfind('/')));
    }
}

void LabelBookTab(int book, const std::string& folder) {
    folderNames[book] = FolderNameText(folder);
    app.mainWindow->setTabLabel(book, folderNames[book].left(8));
    SetTip(book, folderNames[book]);
}

void ShowPlaceInTab(QWORD position) {
    const int book = app.settings.currentBook;
    // While another file opens, the list and the record already name it.
    if (!folderNames[book].isEmpty() && !OpenPending())
        SetTip(book, folderNames[book] + QLatin1Char('\n') + PlaceText(position));
}
