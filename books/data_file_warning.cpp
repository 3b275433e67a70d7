#include "books/data_file_warning.h"

#include <QLabel>
#include <cerrno>

#include "app/app_state.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace {

const QString kSaveFailedPrefix = QStringLiteral("Не удаётся сохранить");

// The system's own texts are English; the listener reads Russian.
QString ReasonInWords(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("на диске нет места");
    case EACCES:
    case EPERM:
        return QStringLiteral("нет права на запись");
    case EROFS:
        return QStringLiteral("диск доступен только для чтения");
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("папка недоступна");
    case EISDIR:
    case ENXIO:
        return QStringLiteral("это не обычный файл");
    case EIO:
        return QStringLiteral("ошибка ввода-вывода");
    default:
        return QStringLiteral("ошибка записи");
    }
}

} // namespace

void WarnDataFileUnusable(const std::string& path, int error) {
    const QString text = QStringLiteral("Не удаётся прочитать файл «%1»: %2.\n"
                                        "Проигрыватель работает дальше, но не сохраняет в него ничего.")
                             .arg(QString::fromLocal8Bit(path.c_str()),
                                  error == EISDIR ? ReasonInWords(error) : QStringLiteral("нет доступа"));
    ShowWarning(app.mainWindow, text);
}

void NoteWriteOutcome(DataFile file, const std::string& path, int error) {
    const int bit = int(file);
    MainWindow* w = app.mainWindow;
    if (error == 0) {
        if ((app.failedWrites & bit) == 0)
            return;
        app.failedWrites &= ~bit;
        if (app.failedWrites == 0 && w && w->titleLine()->text().startsWith(kSaveFailedPrefix))
            w->setTitleText(app.titleUnderNotice);
        return;
    }
    app.failedWrites |= bit;
    if (!w)
        return;
    const QString shown = w->titleLine()->text();
    if (!shown.startsWith(kSaveFailedPrefix))
        app.titleUnderNotice = shown;
    w->setTitleText(kSaveFailedPrefix + QStringLiteral(" место в книге: файл «%1» — %2. Повторю при следующем "
                                                       "сохранении.")
                                            .arg(QString::fromLocal8Bit(path.c_str()), ReasonInWords(error)));
}
