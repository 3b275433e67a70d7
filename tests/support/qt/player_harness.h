// Runs the real player window in the test process: the real engine, a private sound
// server, data files in a temp folder. Modal boxes go through the seams the player uses.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "support/fixtures.h"

class MainWindow;

namespace testsupport {

// The one QApplication of a test program (offscreen platform).
void EnsureApplication();
// Runs the event loop for ms milliseconds (timers tick, posted events arrive).
void Pump(int ms);
// Runs the event loop until done() holds or deadlineMs have passed; returns done().
bool PumpUntil(const std::function<bool()>& done, int deadlineMs = 15000);
// Runs the event loop until the track being opened plays or is refused.
bool SettleOpen();

class PlayerHarness {
public:
    // Data files live in programFolder (the folder the player takes for its own).
    explicit PlayerHarness(std::string programFolder);
    ~PlayerHarness();

    // StartPlayer: the window's initialisation, with a file named as on the command line;
    // false when start-up failed.
    bool start(const QByteArray& openPath = {});
    // Exit through the menu's Exit, then forget the window and the state, as a restart would.
    void exitAndReset();

    MainWindow* window() const;
    // Warnings shown since the harness was made, in order.
    const QStringList& warnings() const { return warnings_; }
    // Picks a file through "Добавить папку".
    void addFolder(const std::string& filePath);
    // Clicks a button or triggers a menu item the way the listener does.
    void command(int id);

    std::string dataFile() const { return folder_ + "/data.dat"; }
    std::string settingsFile() const { return folder_ + "/tellwick.ini"; }

private:
    std::string folder_;
    QStringList warnings_;
    std::optional<QString> nextPick_;
    bool running_ = false;
};

} // namespace testsupport
