// Listening speed in the window: each book keeps its own across tab switches and restarts,
// set from the menu and the keys.
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

// Step k of the resume test's book sounds at 1000 + 100k Hz for half a second.
constexpr double kStep = 0.5;
double StepHz(int k) { return 1000 + 100 * k; }

// Where a stretch heard at 2x begins and ends in the book: from the first and last step change
// heard in it (where 10 ms windows every 2.5 ms change step), counting only time with sound.
std::pair<double, double> PlaceAt2x(const MonitorCapture& heard, MonitorCapture::Stretch s) {
    constexpr std::size_t span = 480, hop = 120;
    double first = NAN, last = NAN;
    int step = -1;
    std::size_t stepEnd = 0;
    for (std::size_t f = s.first; f + span <= s.last; f += hop) {
        const double hz = heard.dominantFrequency(f, span);
        const int k = int(std::lround((hz - StepHz(0)) / 100));
        if (std::fabs(hz - StepHz(k)) > 15)
            continue;
        if (step >= 0 && k == step + 1) {
            const std::size_t change = (stepEnd + f) / 2;
            if (std::isnan(first))
                first = k * kStep - 2 * heard.soundSeconds(s.first, change);
            last = k * kStep + 2 * heard.soundSeconds(change, s.last);
        }
        step = k;
        stepEnd = f + span;
    }
    return {first, last};
}

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

TEST_F(Speed, At2xABookResumesWhereItWasHeardAfterATabSwitchAndARestart) {
    const std::string book = media.file("steps.wav");
    makeSteppedTone(book, StepHz(0), 100, 20, kStep, 44100, 2, "-af volume=0.5");
    // Flat equaliser, no reverb, full volume: the steps are heard as they are.
    writeBytes(player->settingsFile(), int32Bytes({0, 0, 0, 0, 10, 10, 10, 20, 0}));
    ASSERT_TRUE(Start());
    player->addFolder(book);
    player->command(ids::MenuSpeedFirst + 5);
    ASSERT_EQ(CheckedSpeed(w), QStringLiteral("2,0×"));
    const auto listen = [](double seconds) {
        const double from = EngineSeconds();
        return PumpUntil([&] { return app.currentStream && EngineSeconds() >= from + seconds; });
    };
    ASSERT_TRUE(listen(1.0));
    MonitorCapture heard(media.file("heard.raw"));
    ASSERT_TRUE(listen(1.6));
    ASSERT_TRUE(ClickTab(w, 1));
    Pump(600);
    ASSERT_TRUE(ClickTab(w, 0));
    ASSERT_TRUE(listen(1.6));
    player->exitAndReset();
    Pump(600);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(listen(1.6));
    heard.stop();

    const auto stretches = heard.stretches(MonitorCapture::rate * 3 / 10);
    ASSERT_EQ(stretches.size(), 3u);
    for (std::size_t i = 1; i < 3; ++i) {
        const double stopped = PlaceAt2x(heard, stretches[i - 1]).second;
        const double resumed = PlaceAt2x(heard, stretches[i]).first;
        EXPECT_NEAR(resumed, stopped, 0.15) << (i == 1 ? "after a tab switch" : "after a restart");
    }
}
