#include <QApplication>
#include <QTimer>

#include "app/single_instance.h"
#include "app/startup.h"
#include "desktop/mpris.h"
#include "desktop/second_launch.h"

int main(int argc, char** argv) {
    if (!AcquireSingleInstanceLock(appTitle)) {
        QCoreApplication application(argc, argv);
        RaiseRunningPlayer();
        return 0;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tellwick"));
    QApplication::setDesktopFileName(QStringLiteral("tellwick"));
    // Published once the window runs; a start that fails never reaches the bus.
    QTimer::singleShot(0, PublishMpris);
    return RunPlayer();
}
