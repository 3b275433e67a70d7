// Start-up, exit and the two data files, through the real window and engine.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include "app/app_state.h"
#include "app/startup.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/player_harness.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

PulseServer& Sound() {
    static PulseServer server;
    return server;
}

std::vector<unsigned char> DefaultSettingsBytes() {
    std::vector<unsigned char> bytes(16, 0);
    for (int i = 0; i < 5; ++i)
        bytes.insert(bytes.end(), {0x0A, 0, 0, 0});
    return bytes;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { Sound(); }
    TempDir dir;
};

} // namespace

TEST_F(StartupTest, FirstStartShowsEmptyWindowAndWritesBothFilesExactly) {
    PlayerHarness player(dir.path());
    ASSERT_TRUE(player.start());
    MainWindow* w = player.window();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("  Tellwick ver 2.0  11.12.2018 г."));
    ASSERT_EQ(w->bookTabs()->count(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(w->bookTabs()->tabText(i), QStringLiteral("Книга  %1").arg(i + 1));
    EXPECT_EQ(w->bookTabs()->currentIndex(), 0);
    EXPECT_EQ(w->trackList()->count(), 0);
    for (int id : {ids::EqBand100, ids::EqBand3k, ids::EqBand12k, ids::ReverbSlider, ids::VolumeSlider})
        EXPECT_EQ(w->slider(id)->value(), 10) << id;
    EXPECT_EQ(w->slider(ids::VolumeSlider)->maximum(), 100);
    EXPECT_EQ(w->slider(ids::EqBand100)->maximum(), 20);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPause);
    EXPECT_TRUE(player.warnings().isEmpty());

    EXPECT_EQ(readBytes(player.dataFile()), std::vector<unsigned char>(1360, 0));
    EXPECT_EQ(readBytes(player.settingsFile()), DefaultSettingsBytes());

    // Ticks with no stream change nothing.
    Pump(350);
    for (int part = 0; part < 4; ++part)
        EXPECT_TRUE(w->statusText(part).isEmpty()) << part;
    player.exitAndReset();
    EXPECT_EQ(readBytes(player.dataFile()), std::vector<unsigned char>(1360, 0));
    EXPECT_EQ(readBytes(player.settingsFile()), DefaultSettingsBytes());
}

TEST_F(StartupTest, EngineThatRefusesToStartShowsOneMessageAndTouchesNoFile) {
    const std::string previous = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    setenv("PULSE_SERVER", ("unix:" + dir.file("no-such-socket")).c_str(), 1);
    PlayerHarness player(dir.path());
    EXPECT_FALSE(player.start());
    setenv("PULSE_SERVER", previous.c_str(), 1);
    EXPECT_EQ(player.warnings(), QStringList{QStringLiteral("Ошибка инициализации")});
    EXPECT_FALSE(fs::exists(player.dataFile()));
    EXPECT_FALSE(fs::exists(player.settingsFile()));
    EXPECT_EQ(app.mainWindow, nullptr);
}

TEST_F(StartupTest, SettingsAreRestoredAndWrittenBackWithSlidersAndReservedFields) {
    writeBytes(dir.file("tellwick.ini"), int32Bytes({3, 7, 0x11223344, -5, 0, 20, 4, 16, 55}));
    PlayerHarness player(dir.path());
    ASSERT_TRUE(player.start());
    MainWindow* w = player.window();
    EXPECT_EQ(w->bookTabs()->currentIndex(), 3);
    EXPECT_TRUE(w->remainingChecked());
    EXPECT_EQ(w->slider(ids::EqBand100)->value(), 0);
    EXPECT_EQ(w->slider(ids::EqBand3k)->value(), 20);
    EXPECT_EQ(w->slider(ids::ReverbSlider)->value(), 16);
    EXPECT_EQ(w->slider(ids::VolumeSlider)->value(), 55);
    // Book 4 has an empty slot: nothing loads, its tab keeps its label.
    EXPECT_EQ(w->trackList()->count(), 0);
    EXPECT_EQ(w->bookTabs()->tabText(3), QStringLiteral("Книга  4"));

    w->setSliderPosition(ids::VolumeSlider, 30);
    player.exitAndReset();
    EXPECT_EQ(readBytes(dir.file("tellwick.ini")), int32Bytes({3, 7, 0x11223344, -5, 0, 20, 4, 16, 30}));

    // The remaining-time item, used twice, returns to where it was.
    ASSERT_TRUE(player.start());
    player.command(ids::MenuRemainingTime);
    EXPECT_FALSE(player.window()->remainingChecked());
    EXPECT_EQ(app.settings.showRemaining, 0);
    player.command(ids::MenuRemainingTime);
    EXPECT_TRUE(player.window()->remainingChecked());
    EXPECT_EQ(app.settings.showRemaining, 1);
    player.exitAndReset();
    EXPECT_EQ(readBytes(dir.file("tellwick.ini")), int32Bytes({3, 1, 0x11223344, -5, 0, 20, 4, 16, 30}));
}

TEST_F(StartupTest, DamagedSettingsAreReadSafely) {
    // A 20-byte file: the fields it lacks start at 0. An out-of-range book is taken as 0;
    // out-of-range positions stand at the slider's nearer end.
    writeBytes(dir.file("tellwick.ini"), int32Bytes({9, 0, 0, 0, 99}));
    PlayerHarness player(dir.path());
    ASSERT_TRUE(player.start());
    EXPECT_EQ(player.window()->bookTabs()->currentIndex(), 0);
    EXPECT_EQ(player.window()->slider(ids::EqBand100)->value(), 20);
    for (int id : {ids::EqBand3k, ids::EqBand12k, ids::ReverbSlider, ids::VolumeSlider})
        EXPECT_EQ(player.window()->slider(id)->value(), 0) << id;
    player.exitAndReset();
    EXPECT_EQ(readBytes(dir.file("tellwick.ini")), int32Bytes({0, 0, 0, 0, 20, 0, 0, 0, 0}));
    // Only slot 0 was ever written: no slot outside the five.
    EXPECT_EQ(readBytes(dir.file("data.dat")).size(), 1360u);
}

TEST_F(StartupTest, SlotWithARelativePathOrNoPathIsAnEmptyBook) {
    TempDir media;
    makeTone(media.file("a.wav"), 440, 1, 44100, 1);
    for (int book : {0, 2}) {
        writeBytes(dir.file("data.dat"), joinBytes({bookSlotBytes("", 0), std::vector<unsigned char>(272, 0),
                                                    bookSlotBytes("a.wav", 0)}));
        writeBytes(dir.file("tellwick.ini"), int32Bytes({book, 0, 0, 0, 10, 10, 10, 10, 10}));
        PlayerHarness player(dir.path());
        ASSERT_TRUE(player.start());
        EXPECT_EQ(app.currentStream, 0u);
        EXPECT_EQ(player.window()->trackList()->count(), 0);
        EXPECT_TRUE(player.warnings().isEmpty());
    }
}

TEST_F(StartupTest, UnusableDataFileIsReportedOnceAndNeverOverwritten) {
    // A symbolic link that points at itself exists but can be neither read nor written.
    fs::create_symlink("data.dat", dir.file("data.dat"));
    PlayerHarness player(dir.path());
    ASSERT_TRUE(player.start());
    ASSERT_EQ(player.warnings().size(), 1);
    EXPECT_TRUE(player.warnings()[0].contains(QString::fromStdString(dir.file("data.dat"))));
    player.exitAndReset();
    EXPECT_EQ(player.warnings().size(), 1);
    EXPECT_TRUE(fs::is_symlink(dir.file("data.dat")));
    EXPECT_EQ(readBytes(dir.file("tellwick.ini")), DefaultSettingsBytes());
}

TEST_F(StartupTest, SecondInstanceEndsAtOnceWithZeroWhileTheFirstRuns) {
    const std::string binary = std::string(TELLWICK_BINARY_DIR) + "/tellwick";
    const std::string installed = dir.file("tellwick");
    fs::copy_file(binary, installed);
    TempDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.path()));
    env.insert("QT_QPA_PLATFORM", "offscreen");

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(QString::fromStdString(installed), {});
    ASSERT_TRUE(first.waitForStarted());
    // An instance is up once it has written its settings file.
    const auto up = [&] { return WaitUntil([&] { return fs::exists(dir.file("tellwick.ini")); }); };
    ASSERT_TRUE(up());

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(QString::fromStdString(installed), {});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    // SIGTERM ends the first one the way the close box does: saved, exit code 0.
    std::filesystem::remove(dir.file("tellwick.ini"));
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(15000));
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_EQ(readBytes(dir.file("tellwick.ini")), DefaultSettingsBytes());

    // The lock dies with its process: a new start runs.
    std::filesystem::remove(dir.file("tellwick.ini"));
    QProcess third;
    third.setProcessEnvironment(env);
    third.start(QString::fromStdString(installed), {});
    ASSERT_TRUE(third.waitForStarted());
    EXPECT_TRUE(up());
    EXPECT_EQ(third.state(), QProcess::Running);
    third.terminate();
    third.waitForFinished(15000);
}
