#include <QApplication>
#include <QFile>
#include <QTimer>

#include "app/keep_place.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "desktop/dropped_files.h"
#include "desktop/mpris.h"
#include "desktop/second_launch.h"

int main(int argc, char** argv) {
    // The first argument, if any, names a file or folder to open; the others are ignored.
    const QString openPath = argc > 1 ? QFile::decodeName(argv[1]) : QString();
    if (!AcquireSingleInstanceLock(appTitle)) {
        QCoreApplication application(argc, argv);
        HandOverToRunningPlayer(openPath);
        return 0;
    }
    BlockEndingSignals();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tellwick"));
    QApplication::setDesktopFileName(QStringLiteral("tellwick"));
    // Once the window runs; a start that fails never reaches the bus.
    QTimer::singleShot(0, [] {
        AcceptDroppedFiles();
        PublishMpris();
    });
    return RunPlayer(openPath);
}
