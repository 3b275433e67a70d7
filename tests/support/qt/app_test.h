// The base of the app-level tests: a private sound server whose monitor can be recorded, the
// player's data files in `program`, books in `media`, and readers of what the files hold.
#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QTest>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/app_state.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/player_harness.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

namespace testsupport {

class AppTest : public ::testing::Test {
protected:
    // The one sound server of the program, started on first use.
    static void StartSound();
    void SetUp() override;
    void TearDown() override { player.reset(); }
    // The window's initialisation; false when start-up failed.
    bool Start();

    TempDir program, media;
    std::unique_ptr<PlayerHarness> player;
    MainWindow* w = nullptr;
};

// Book `book`'s 272-byte slot in the bytes of a data file; empty when the file is shorter.
std::vector<unsigned char> SlotOf(const std::vector<unsigned char>& file, int book = 0);
std::int64_t SlotPosition(const std::vector<unsigned char>& slot);
std::string SlotPath(const std::string& dataFile, int book = 0);
// The place the engine reports as heard, in seconds of the current file (0 without a stream).
double EngineSeconds();

// A listener's click on book tab `index`, scrolling the bar to it first; true when it became current.
bool ClickTab(MainWindow* w, int index);

// Environment variables set for a process, over the test's own.
using Environment = std::vector<std::pair<QString, QString>>;

// The real program in a process of its own, its data files beside its copy.
struct PlayerProcess {
    TempDir folder, runtime;
    QProcess process;
    explicit PlayerProcess(const Environment& env = {});
    ~PlayerProcess();
    std::string data() const { return folder.file("data.dat"); }
    void start(const QStringList& args = {});
};

} // namespace testsupport
