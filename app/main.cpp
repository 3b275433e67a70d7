#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/keep_place.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "desktop/dropped_files.h"
#include "desktop/mpris.h"
#include "desktop/second_launch.h"

int main(int argc, char** argv) {
    CommandLine line;
    if (const std::optional<int> status = ReadCommandLine(argc, argv, line))
        return *status;
    const QByteArray& openPath = line.openPath;
    if (!AcquireSingleInstanceLock(appTitle)) {
        QCoreApplication application(line.qtArgc, line.qtArgv.data());
        const int status = HandOverToRunningPlayer(openPath) ? 0 : ReportUnreachablePlayer();
        // A reply that never came may still be in Qt's D-Bus thread, which then complains on the
        // terminal while Qt is torn down; this process has nothing left to keep.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    if (!DisplayAvailable(line))
        return 1;
    BlockEndingSignals();
    QApplication application(line.qtArgc, line.qtArgv.data());
    QApplication::setApplicationName(QStringLiteral("tellwick"));
    QApplication::setDesktopFileName(QStringLiteral("tellwick"));
    // Once the window runs; a start that fails never reaches the bus.
    QTimer::singleShot(0, [] {
        AcceptDroppedFiles();
        PublishMpris();
    });
    return RunPlayer(openPath);
}
