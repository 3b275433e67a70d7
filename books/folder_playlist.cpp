#include "books/folder_playlist.h"

#include <QFile>
#include <QListWidget>
#include <algorithm>
#include <filesystem>
#include <vector>

#include "app/app_state.h"
#include "engine/bass.h"
#include "playback/text_format.h"
#include "playback/track_open.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace {

constexpr const char* kPlayableExtensions[] = {"cda", "wav", "mp3", "flac", "m4a", "m4b",
                                               "ogg", "opus", "mka", "ape", "wma", "aif", "aiff"};

bool EqualsIgnoringAsciiCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    }
    return i == a.size() && !b[i];
}

// Splits text into runs of digits and runs of other characters.
struct Chunk {
    bool digits;
    QString text;
};

std::vector<Chunk> Chunks(const QString& s) {
    std::vector<Chunk> chunks;
    for (QChar c : s) {
        const bool digit = c >= u'0' && c <= u'9';
        if (chunks.empty() || chunks.back().digits != digit)
            chunks.push_back({digit, {}});
        chunks.back().text += c;
    }
    return chunks;
}

int CompareNumbers(const QString& a, const QString& b) {
    qsizetype ia = 0, ib = 0;
    while (ia + 1 < a.size() && a[ia] == u'0')
        ++ia;
    while (ib + 1 < b.size() && b[ib] == u'0')
        ++ib;
    const qsizetype la = a.size() - ia, lb = b.size() - ib;
    if (la != lb)
        return la < lb ? -1 : 1;
    for (; ia < a.size(); ++ia, ++ib) {
        if (a[ia] != b[ib])
            return a[ia] < b[ib] ? -1 : 1;
    }
    return 0;
}

} // namespace

bool IsPlayableName(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    const std::string extension = name.substr(dot + 1);
    return std::any_of(std::begin(kPlayableExtensions), std::end(kPlayableExtensions),
                       [&](const char* accepted) { return EqualsIgnoringAsciiCase(extension, accepted); });
}

bool NaturalLess(const std::string& a, const std::string& b) {
    const auto ca = Chunks(NameText(a).toCaseFolded());
    const auto cb = Chunks(NameText(b).toCaseFolded());
    for (std::size_t i = 0; i < ca.size() && i < cb.size(); ++i) {
        int order;
        if (ca[i].digits && cb[i].digits)
            order = CompareNumbers(ca[i].text, cb[i].text);
        else
            order = QString::compare(ca[i].text, cb[i].text, Qt::CaseSensitive);
        if (order != 0)
            return order < 0;
    }
    if (ca.size() != cb.size())
        return ca.size() < cb.size();
    return a < b; // same up to case and leading zeros: keep a stable, total order
}

void DeriveFolderNames(const std::string& path) {
    const auto slash = path.rfind('/');
    app.rememberedName = slash == std::string::npos ? path : path.substr(slash + 1);
    app.folderDir = slash == std::string::npos ? std::string() : path.substr(0, slash);
    app.searchPattern = app.folderDir + "/*";
}

void ScanFolder() {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code error;
    const std::string folder = app.folderDir.empty() ? "/" : app.folderDir;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        // Hidden files (among them the "._" companions other systems leave on shared drives)
        // are no tracks; neither is anything but a regular file: a FIFO or a device would block.
        std::error_code typeError;
        std::string name = it->path().filename().string();
        if (name.front() == '.' || !it->is_regular_file(typeError))
            continue;
        if (IsPlayableName(name))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), NaturalLess);

    QListWidget* list = app.mainWindow->trackList();
    for (std::size_t row = 0; row < names.size(); ++row) {
        auto* item = new QListWidgetItem(NameText(names[row]));
        item->setData(Qt::UserRole, QByteArray::fromStdString(names[row]));
        list->addItem(item);
        if (names[row] == app.rememberedName) {
            app.mainWindow->selectRow(int(row));
            app.trackIndex = int(row);
        }
    }
    app.trackCount = list->count();
}

void AddFolder() {
    if (app.currentStream != 0)
        BASS_ChannelPause(app.currentStream);
    const auto picked = PickAudioFile(app.mainWindow, app.openFileName);
    if (app.exiting)
        return;
    if (!picked || picked->isEmpty()) {
        if (app.currentStream != 0 && app.isPlaying)
            BASS_ChannelPlay(app.currentStream, false);
        return;
    }
    OpenPickedFile(QFile::encodeName(*picked).toStdString(), [] {
        ReportUnplayable();
        if (app.currentStream != 0 && app.isPlaying)
            BASS_ChannelPlay(app.currentStream, false);
    });
}

void OpenPickedFile(const std::string& path, std::function<void()> refused) {
    app.openFileName = QFile::decodeName(QByteArray::fromStdString(path));
    OpenTrack(path, 0, std::move(refused), [path] {
        app.mainWindow->trackList()->clear();
        DeriveFolderNames(path);
        ScanFolder();
    });
}
