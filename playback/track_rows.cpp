#include "playback/track_rows.h"

#include <QLabel>
#include <QListWidget>
#include <algorithm>
#include <optional>

#include "app/app_state.h"
#include "playback/text_format.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

namespace {

// Set on chapter rows: the chapter's index.
constexpr int kChapterRole = Qt::UserRole + 1;

// Whether the list shows the current stream's chapters (a rebuilt list has none until the
// next file is shown).
bool ChapterRowsShown() {
    if (app.chapters.empty() || app.chaptersFile < 0)
        return false;
    const QListWidgetItem* first = app.mainWindow->trackList()->item(app.chaptersFile + 1);
    return first && first->data(kChapterRole).isValid();
}

int RowOfFile(int file) {
    return ChapterRowsShown() && file > app.chaptersFile ? file + int(app.chapters.size()) : file;
}

QString ChapterRowText(const ChapterMark& chapter) {
    const Hms t = SplitHms(BASS_ChannelBytes2Seconds(app.currentStream, chapter.start));
    const QString time = t.hours > 0 ? FormatText("%d:%.2d:%.2d", t.hours, t.minutes, t.seconds)
                                     : FormatText("%d:%.2d", t.minutes, t.seconds);
    return QStringLiteral("    %1 — %2").arg(chapter.title, time);
}

QString TitleWithChapter(int chapter) {
    return app.trackTitle + QStringLiteral(" — ") + app.chapters[std::size_t(chapter)].title;
}

void RemoveChapterRows() {
    if (ChapterRowsShown()) {
        QListWidget* list = app.mainWindow->trackList();
        for (std::size_t i = 0; i < app.chapters.size(); ++i)
            delete list->takeItem(app.chaptersFile + 1);
    }
    app.chapters.clear();
    app.chaptersFile = -1;
    app.chapterIndex = -1;
}

} // namespace

namespace {

// Makes the file's row current; its path, none for a file the list does not have.
std::optional<std::string> MakeRowCurrent(int file) {
    QListWidget* list = app.mainWindow->trackList();
    const int row = RowOfFile(file);
    if (file < 0 || file >= app.trackCount || row >= list->count())
        return std::nullopt;
    app.trackIndex = file;
    app.mainWindow->selectRow(row);
    const QByteArray name = list->item(row)->data(Qt::UserRole).toByteArray();
    return app.folderDir + "/" + name.toStdString();
}

} // namespace

void OpenRow(int file, std::function<void()> refused) {
    if (const auto path = MakeRowCurrent(file))
        OpenTrack(*path, 0, std::move(refused));
}

void OpenRowAt(int file, double seconds, bool play, std::function<void()> refused, std::function<void()> accepted) {
    if (const auto path = MakeRowCurrent(file))
        OpenTrackAt(*path, seconds, play, std::move(refused), std::move(accepted));
}

void ChooseRow(int row) {
    const int chapters = ChapterRowsShown() ? int(app.chapters.size()) : 0;
    if (chapters && row > app.chaptersFile && row <= app.chaptersFile + chapters)
        PlayChapter(row - app.chaptersFile - 1);
    else
        OpenRow(chapters && row > app.chaptersFile ? row - chapters : row);
}

void ShowChapters() {
    // Rows come and go here without the listener choosing any.
    const QSignalBlocker blocker(app.mainWindow->trackList());
    RemoveChapterRows();
    const DWORD count = BASS_ChannelGetChapters(app.currentStream, nullptr, 0);
    QListWidget* list = app.mainWindow->trackList();
    if (count == 0 || count == DWORD(-1) || app.trackIndex < 0 || app.trackIndex >= list->count())
        return;
    std::vector<TELLWICK_CHAPTER> marks(count);
    BASS_ChannelGetChapters(app.currentStream, marks.data(), count);
    app.chaptersFile = app.trackIndex;
    for (DWORD i = 0; i < count; ++i) {
        app.chapters.push_back({marks[i].start, QString::fromUtf8(marks[i].title)});
        auto* item = new QListWidgetItem(ChapterRowText(app.chapters.back()));
        item->setData(kChapterRole, int(i));
        list->insertItem(app.chaptersFile + 1 + int(i), item);
    }
}

int ChapterAt(QWORD position) {
    if (app.chapters.empty())
        return -1;
    const auto after = std::upper_bound(app.chapters.begin(), app.chapters.end(), position,
                                        [](QWORD p, const ChapterMark& c) { return p < c.start; });
    return std::max(0, int(after - app.chapters.begin()) - 1);
}

void PlayChapter(int chapter) {
    if (chapter < 0 || chapter >= int(app.chapters.size()))
        return;
    BASS_ChannelSetPosition(app.currentStream, app.chapters[std::size_t(chapter)].start, BASS_POS_BYTE);
    if (!app.isPlaying) {
        BASS_ChannelPlay(app.currentStream, false);
        app.isPlaying = 1;
        app.mainWindow->setPlayPauseIcon(ids::IconPause);
    }
    FollowChapter(app.chapters[std::size_t(chapter)].start);
}

void FollowChapter(QWORD position) {
    // While another file opens, its row stays current.
    if (app.trackIndex != app.chaptersFile || !ChapterRowsShown())
        return;
    const int chapter = ChapterAt(position);
    if (chapter == app.chapterIndex)
        return;
    // The title line names the chapter, unless a notice stands there now.
    MainWindow* w = app.mainWindow;
    const QString shown = w->titleLine()->text();
    if (shown == app.trackTitle || (app.chapterIndex >= 0 && shown == TitleWithChapter(app.chapterIndex)))
        w->setTitleText(TitleWithChapter(chapter));
    app.chapterIndex = chapter;
    w->selectRow(app.chaptersFile + 1 + chapter);
}
