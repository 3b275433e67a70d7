#include "books/data_file_warning.h"

#include <cstring>

#include "app/app_state.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

void WarnDataFileUnusable(const std::string& path, int error) {
    const QString text = QStringLiteral("Не удаётся использовать файл «%1»: %2.\n"
                                        "Проигрыватель работает дальше, но не сохраняет в него ничего.")
                             .arg(QString::fromLocal8Bit(path.c_str()), QString::fromLocal8Bit(std::strerror(error)));
    ShowWarning(app.mainWindow, text);
}
