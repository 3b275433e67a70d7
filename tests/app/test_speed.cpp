// Listening speed in the window: each book keeps its own across tab switches and restarts,
// set from the menu, the keys and MPRIS alike.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QTabBar>
#include <QTest>
#include <filesystem>

#include "app/app_state.h"
#include "desktop/mpris.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/fake_logind.h"
#include "support/qt/player_harness.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

using namespace testsupport;

namespace {

// The menu item checked among the eight speeds, or "" for none.
QString CheckedSpeed(MainWindow* w) {
    for (int i = 0; i < 8; ++i)
        if (QAction* a = w->menuAction(ids::MenuSpeedFirst + i); a && a->isChecked())
            return a->text();
    return {};
}

bool ClickTab(MainWindow* w, int index) {
    QTabBar* bar = w->bookTabs();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    return bar->currentIndex() == index;
}

// dbus-send's answer, the window answering the bus meanwhile.
QString PlayerProperty(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral("dbus-send"),
                  QStringList{"--session", "--print-reply", "--dest=org.mpris.MediaPlayer2.tellwick",
                              "/org/mpris/MediaPlayer2"} +
                      args);
    PumpUntil([&] { return process.state() == QProcess::NotRunning; }, 10000);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    return QString::fromUtf8(process.readAllStandardOutput()).simplified();
}

QString GetRate(const char* name) {
    return PlayerProperty({"org.freedesktop.DBus.Properties.Get", "string:org.mpris.MediaPlayer2.Player",
                           QString("string:") + name});
}

class Speed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static PulseServer sound;
        setenv("DBUS_SESSION_BUS_ADDRESS", PrivateSystemBus::instance().address().c_str(), 1);
        static TempDir books;
        first = books.file("a.flac");
        second = books.file("b/b.flac");
        std::filesystem::create_directory(books.file("b"));
        makeTone(first, 500, 30, 44100, 2);
        makeTone(second, 700, 30, 44100, 2);
    }
    void SetUp() override {
        player = std::make_unique<PlayerHarness>(program.path());
        ASSERT_TRUE(player->start());
    }
    static std::string first, second;
    TempDir program;
    std::unique_ptr<PlayerHarness> player;
};
std::string Speed::first, Speed::second;

TEST_F(Speed, EachBookKeepsItsSpeedAcrossTabSwitchesAndRestartsAndADamagedFileMeansNormal) {
    MainWindow* w = player->window();
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×"));
    EXPECT_FALSE(w->speedLabel()->isVisible());
    player->addFolder(first);
    player->command(ids::MenuSpeedFirst + 3);
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,5×"));
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("1,5×"));
    ASSERT_TRUE(ClickTab(w, 1));
    player->addFolder(second);
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×")) << "a new book plays at normal speed";
    // Two steps down by the keys the menu shows.
    const QKeySequence slower = w->menuAction(ids::MenuSpeedSlower)->shortcut();
    ASSERT_FALSE(slower.isEmpty());
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    QTest::keySequence(w, slower);
    QTest::keySequence(w, slower);
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("0,8×"));
    EXPECT_EQ(CheckedSpeed(w), QString()) << "no fixed speed matches 0.8";
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,5×"));

    player->exitAndReset();
    ASSERT_TRUE(player->start());
    w = player->window();
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("1,5×"));
    ASSERT_TRUE(ClickTab(w, 1));
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("0,8×"));

    player->exitAndReset();
    writeBytes(program.file("speeds.txt"), {'1', '.', '5', 'x', '\n', 0xFF, '\n'});
    ASSERT_TRUE(player->start());
    w = player->window();
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×"));
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×"));
    EXPECT_FALSE(w->speedLabel()->isVisible());
}

TEST_F(Speed, MprisRateReadsAndSetsTheSpeedWithinItsLimits) {
    PublishMpris();
    ASSERT_TRUE(PumpUntil([] { return QProcess::execute("dbus-send", {"--session", "--print-reply",
                                         "--dest=org.mpris.MediaPlayer2.tellwick", "/org/mpris/MediaPlayer2",
                                         "org.freedesktop.DBus.Peer.Ping"}) == 0; }));
    player->addFolder(first);
    EXPECT_TRUE(GetRate("MinimumRate").endsWith("double 0.5"));
    EXPECT_TRUE(GetRate("MaximumRate").endsWith("double 3"));
    EXPECT_TRUE(GetRate("Rate").endsWith("double 1"));
    PlayerProperty({"org.freedesktop.DBus.Properties.Set", "string:org.mpris.MediaPlayer2.Player", "string:Rate",
                    "variant:double:1.75"});
    EXPECT_EQ(CheckedSpeed(player->window()), QStringLiteral("1,75×"));
    EXPECT_TRUE(GetRate("Rate").endsWith("double 1.75"));
    player->command(ids::MenuSpeedFirst + 7);
    EXPECT_TRUE(GetRate("Rate").endsWith("double 3"));
}

} // namespace
