// Listening speed in the window: each book keeps its own across tab switches and restarts,
// set from the menu and the keys.
#include <QAction>

#include "support/qt/app_test.h"

using namespace testsupport;

namespace {

// The menu item checked among the eight speeds, or "" for none.
QString CheckedSpeed(MainWindow* w) {
    for (int i = 0; i < 8; ++i)
        if (QAction* a = w->menuAction(ids::MenuSpeedFirst + i); a && a->isChecked())
            return a->text();
    return {};
}

using Speed = AppTest;

TEST_F(Speed, EachBookKeepsItsSpeedAcrossTabSwitchesAndRestartsAndADamagedFileMeansNormal) {
    const std::string first = media.file("a.flac"), second = media.file("b/b.flac");
    makeTone(first, 500, 30, 44100, 2);
    std::filesystem::create_directory(media.file("b"));
    makeTone(second, 700, 30, 44100, 2);
    ASSERT_TRUE(Start());
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
    ASSERT_TRUE(Start());
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("1,5×"));
    ASSERT_TRUE(ClickTab(w, 1));
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("0,8×"));

    player->exitAndReset();
    writeBytes(program.file("speeds.txt"), {'1', '.', '5', 'x', '\n', 0xFF, '\n'});
    ASSERT_TRUE(Start());
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×"));
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×"));
    EXPECT_FALSE(w->speedLabel()->isVisible());
}

} // namespace
