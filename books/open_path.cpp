#include "books/open_path.h"

#include <filesystem>
#include <optional>

#include "app/app_state.h"
#include "books/folder_playlist.h"
#include "playback/text_format.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace fs = std::filesystem;

namespace {

// The first playable file of a folder in the track list's order.
std::optional<std::string> FirstTrack(const fs::path& folder) {
    std::optional<std::string> first;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        const std::string name = it->path().filename().string();
        if (!it->is_directory(typeError) && IsPlayableName(name) && (!first || NaturalLess(name, *first)))
            first = name;
    }
    if (!first)
        return std::nullopt;
    return (folder / *first).string();
}

// Absolute and without "." or ".." steps or a trailing slash, byte for byte.
fs::path Absolute(const QByteArray& path) {
    std::error_code error;
    fs::path named = fs::absolute(fs::path(path.toStdString()), error).lexically_normal();
    return named.has_filename() ? named : named.parent_path();
}

} // namespace

bool OpenPathForCurrentBook(const QByteArray& path, std::function<void()> refused) {
    const fs::path named = Absolute(path);
    std::error_code error;
    const fs::file_status status = fs::status(named, error);
    if (!fs::exists(status)) {
        ShowWarning(app.mainWindow, QStringLiteral("Файл или папка не найдены:\n%1").arg(NameText(path.toStdString())));
        return false;
    }
    if (!fs::is_directory(status)) {
        OpenPickedFile(named.string(), std::move(refused));
        return true;
    }
    const auto first = FirstTrack(named);
    if (!first) {
        ShowWarning(app.mainWindow, QStringLiteral("В папке нет звуковых файлов:\n%1").arg(NameText(path.toStdString())));
        return false;
    }
    OpenPickedFile(*first, std::move(refused));
    return true;
}

QByteArray LocalPathOf(const QUrl& url) {
    return url.isLocalFile() ? QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()) : QByteArray();
}

QString FileUriOf(const QByteArray& path) {
    const QByteArray absolute = QByteArray::fromStdString(Absolute(path).string());
    return QString::fromLatin1("file://" + absolute.toPercentEncoding("/"));
}
