// Listening speed in the window: each book keeps its own across tab switches and restarts,
// set from the menu and the keys, and at 2x resumes where it was heard.
#include <QAction>
#include <cmath>

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

// Step k of book 1 sounds at 1000 + 100k Hz for half a second.
constexpr double kStep = 0.5;
double StepHz(int k) { return 1000 + 100 * k; }

// Where a stretch heard at 2x begins and ends in book 1: by the first and last step change in
// it (where 10 ms windows every 2.5 ms change step), counting only time with sound.
std::pair<double, double> PlaceAt2x(const MonitorCapture& heard, MonitorCapture::Stretch s) {
    double first = NAN, last = NAN;
    int step = -1;
    for (std::size_t f = s.first, stepEnd = 0; f + 480 <= s.last; f += 120) {
        const double hz = heard.dominantFrequency(f, 480);
        const int k = int(std::lround((hz - StepHz(0)) / 100));
        if (k < 0 || std::fabs(hz - StepHz(k)) > 15)
            continue;
        if (const std::size_t change = (stepEnd + f) / 2; step >= 0 && k == step + 1) {
            first = std::isnan(first) ? k * kStep - 2 * heard.soundSeconds(s.first, change) : first;
            last = k * kStep + 2 * heard.soundSeconds(change, s.last);
        }
        step = k;
        stepEnd = f + 480;
    }
    return {first, last};
}

bool ListenFor(double seconds) {
    const double from = EngineSeconds();
    return PumpUntil([&] { return app.currentStream && EngineSeconds() >= from + seconds; });
}

TEST_F(Speed, EachBookKeepsItsSpeedAndItsPlaceHeardAcrossTabSwitchesAndRestartsADamagedFileMeansNormal) {
    const std::string first = media.file("a.wav"), second = media.file("b/b.flac");
    makeSteppedTone(first, StepHz(0), 100, 20, kStep, 44100, 2, "-af volume=0.5");
    std::filesystem::create_directory(media.file("b"));
    makeTone(second, 700, 30, 44100, 2, "-af volume=0.005"); // below what the capture counts as sound
    writeBytes(player->settingsFile(), int32Bytes({0, 0, 0, 0, 10, 10, 10, 20, 0})); // flat, dry, full volume
    ASSERT_TRUE(Start());
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×"));
    player->addFolder(first);
    player->command(ids::MenuSpeedFirst + 5);
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("2,0×"));
    ASSERT_TRUE(ListenFor(1.0));
    MonitorCapture heard(media.file("heard.raw"));
    ASSERT_TRUE(ListenFor(1.6));
    ASSERT_TRUE(ClickTab(w, 1));
    player->addFolder(second);
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×")) << "a new book plays at normal speed";
    // Two steps down by the keys the menu shows.
    const QKeySequence slower = w->menuAction(ids::MenuSpeedSlower)->shortcut();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    QTest::keySequence(w, slower);
    QTest::keySequence(w, slower);
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("0,8×"));
    EXPECT_EQ(CheckedSpeed(w), QString()) << "no fixed speed matches 0.8";
    Pump(600);
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("2,0×"));
    ASSERT_TRUE(ListenFor(1.6));

    player->exitAndReset();
    Pump(600);
    ASSERT_TRUE(Start());
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("2,0×"));
    ASSERT_TRUE(ListenFor(1.6));
    heard.stop();
    ASSERT_TRUE(ClickTab(w, 1));
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("0,8×"));
    // Book 1 resumed where it was heard last, after the tab switch and after the restart.
    const auto stretches = heard.stretches(MonitorCapture::rate * 3 / 10);
    ASSERT_EQ(stretches.size(), 3u);
    for (const auto& [left, back] : {std::pair{0, 1}, std::pair{1, 2}})
        EXPECT_NEAR(PlaceAt2x(heard, stretches[back]).first, PlaceAt2x(heard, stretches[left]).second, 0.15)
            << (back == 1 ? "after the tab switch" : "after the restart");

    player->exitAndReset();
    writeBytes(program.file("speeds.txt"), {'1', '.', '5', 'x', '\n', 0xFF, '\n'});
    ASSERT_TRUE(Start());
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×"));
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(CheckedSpeed(w), QStringLiteral("1,0×"));
    EXPECT_FALSE(w->speedLabel()->isVisible());
}

} // namespace
