// Listening speed in the window: each book keeps its own across tab switches and restarts,
// set from the menu and the keys, and at 2x resumes where it was heard. Long pauses heard
// shorter at every speed, the place still in the file's time.
#include <QAction>
#include <cmath>
#include <cstdio>
#include <sstream>

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

TEST_F(Speed, LongPausesAreHeardAsAThirdOfASecondAtEverySpeedThePlaceCountingTheFilesTime) {
    // 1 s phrases of a tone; pauses of 2, 0.4, 2 and 2 s, then 70 s before the last.
    const double starts[] = {0, 3, 4.4, 7.4, 10.4, 81.4};
    std::ostringstream gate;
    for (double start : starts)
        gate << "+between(t\\," << start << "\\," << start + 1 << ")";
    const std::string book = media.file("pauses.flac");
    makeTone(book, 500, 82.5, 44100, 1, "-af " + shellQuote("aeval=4*val(0)*(0" + gate.str() + ")"));
    writeBytes(player->settingsFile(), int32Bytes({0, 0, 0, 0, 10, 10, 10, 20, 0})); // dry: no reverb tails
    ASSERT_TRUE(Start());
    player->addFolder(book);
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() >= 0.5; }));
    player->command(ids::MenuShortenPauses); // while playing
    ASSERT_TRUE(PumpUntil([&] { return EngineSeconds() >= starts[4] + 0.5; }));
    EXPECT_TRUE(w->statusToolTip(3).isEmpty()) << "under a minute saved";
    ASSERT_TRUE(PumpUntil([&] { return EngineSeconds() >= starts[5] + 0.2 && !w->statusToolTip(3).isEmpty(); }, 8000));
    int minutes = 0, seconds = 0;
    ASSERT_EQ(std::sscanf(w->statusToolTip(3).toUtf8().constData(), "сэкономлено %d:%d", &minutes, &seconds), 2);
    EXPECT_NEAR(minutes * 60 + seconds, 3 * 1.7 + 69.7, 1.5);

    player->command(ids::PlayPauseButton);
    for (const auto& [speed, on] : {std::pair{1.0, true}, {2.0, true}, {1.0, false}, {2.0, false}}) {
        SCOPED_TRACE(testing::Message() << speed << "x, shortening " << on);
        if (app.options.shortenPauses != on)
            player->command(ids::MenuShortenPauses);
        player->command(ids::MenuSpeedFirst + (speed == 1.0 ? 1 : 5));
        MonitorCapture heard(media.file("heard.raw"));
        player->command(ids::FirstButton);
        ASSERT_TRUE(PumpUntil([&] { return EngineSeconds() >= starts[4] + 0.5; }));
        player->command(ids::PlayPauseButton);
        const double pausedAt = EngineSeconds();
        Pump(300);
        heard.stop();
        const auto phrases = heard.stretches(MonitorCapture::rate / 10);
        ASSERT_EQ(phrases.size(), 5u);
        for (int k = 0; k < 4; ++k) {
            const double pause = (starts[k + 1] - starts[k] - 1) / speed;
            EXPECT_NEAR(double(phrases[k + 1].first - phrases[k].last) / MonitorCapture::rate,
                        on && pause > 0.6 ? 0.3 : pause, 0.07) << "pause " << k;
        }
        // The place paused at, by the sound: the last phrase's start plus what was heard of it.
        EXPECT_NEAR(starts[4] + heard.soundSeconds(phrases[4].first, phrases[4].last) * speed, pausedAt, 0.15);
    }
}

} // namespace
