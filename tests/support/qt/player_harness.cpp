#include "support/qt/player_harness.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/app_state.h"
#include "app/data_paths.h"
#include "app/startup.h"
#include "playback/track_opener.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

namespace testsupport {

void EnsureApplication() {
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "tellwick-test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

bool PumpUntil(const std::function<bool()>& done, int deadlineMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > deadlineMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qSleep(2);
    }
    return true;
}

void Pump(int ms) { PumpUntil([] { return false; }, ms); }

bool SettleOpen() { return PumpUntil([] { return !OpenPending(); }); }

PlayerHarness::PlayerHarness(std::string programFolder) : folder_(std::move(programFolder)) {
    EnsureApplication();
    SetProgramFolderForTests(folder_);
    SetWarningSeam([this](const QString& text) { warnings_ << text; });
    SetPickAudioFileSeam([this](const QString&) { return std::exchange(nextPick_, std::nullopt); });
}

PlayerHarness::~PlayerHarness() {
    if (running_)
        exitAndReset();
    SetWarningSeam(nullptr);
    SetPickAudioFileSeam(nullptr);
}

bool PlayerHarness::start(const QByteArray& openPath) {
    app = AppState{};
    running_ = StartPlayer(openPath);
    SettleOpen();
    return running_;
}

void PlayerHarness::exitAndReset() {
    if (running_ && !app.exiting)
        command(ids::MenuExit);
    // An exit asked for outside a running event loop stays pending and would end the next
    // modal dialog at once; running the loop once consumes it.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QApplication::exec();
    BASS_Free();
    delete app.mainWindow;
    app = AppState{};
    running_ = false;
}

MainWindow* PlayerHarness::window() const { return app.mainWindow; }

void PlayerHarness::addFolder(const std::string& filePath) {
    nextPick_ = QString::fromStdString(filePath);
    command(ids::AddFolderButton);
}

void PlayerHarness::command(int id) {
    if (QPushButton* button = app.mainWindow->button(id)) {
        QTest::mouseClick(button, Qt::LeftButton);
    } else if (QAction* action = app.mainWindow->menuAction(id)) {
        action->trigger();
    }
    if (!app.exiting)
        SettleOpen();
}

} // namespace testsupport
