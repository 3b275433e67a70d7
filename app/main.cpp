#include <QApplication>

#include "app/single_instance.h"
#include "app/startup.h"

int main(int argc, char** argv) {
    if (!AcquireSingleInstanceLock(appTitle))
        return 0;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tellwick"));
    QApplication::setDesktopFileName(QStringLiteral("tellwick"));
    return RunPlayer();
}
