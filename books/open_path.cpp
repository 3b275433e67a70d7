#include "books/open_path.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <optional>

#include "app/app_state.h"
#include "books/folder_playlist.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace {

// The first playable file of a folder in the track list's order.
std::optional<QString> FirstTrack(const QString& folder) {
    namespace fs = std::filesystem;
    std::optional<std::string> first;
    std::error_code error;
    for (fs::directory_iterator it(QFile::encodeName(folder).toStdString(), error), end; !error && it != end;
         it.increment(error)) {
        std::error_code typeError;
        const std::string name = it->path().filename().string();
        if (!it->is_directory(typeError) && IsPlayableName(name) && (!first || NaturalLess(name, *first)))
            first = name;
    }
    if (!first)
        return std::nullopt;
    return folder + QLatin1Char('/') + QFile::decodeName(QByteArray::fromStdString(*first));
}

} // namespace

bool OpenPathForCurrentBook(const QString& path, std::function<void()> refused) {
    const QFileInfo named(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (!named.exists()) {
        ShowWarning(app.mainWindow, QStringLiteral("Файл или папка не найдены:\n%1").arg(path));
        return false;
    }
    if (!named.isDir()) {
        OpenPickedFile(named.filePath(), std::move(refused));
        return true;
    }
    const auto first = FirstTrack(named.filePath());
    if (!first) {
        ShowWarning(app.mainWindow, QStringLiteral("В папке нет звуковых файлов:\n%1").arg(path));
        return false;
    }
    OpenPickedFile(*first, std::move(refused));
    return true;
}
