// The sleep timer's fade: heard through the private sound server, the clock through its seam,
// the power-off answered by a fake logind on a private system bus.
#include <QApplication>
#include <QTimer>
#include <cmath>

#include "sleep/sleep_timer.h"
#include "support/qt/app_test.h"
#include "support/qt/fake_logind.h"

using namespace testsupport;

namespace {

constexpr std::int64_t T0 = 1'700'000'000;
using SleepFade = AppTest;

TEST_F(SleepFade, LevelFallsInDbThroughTheLastThirtySecondsReArmingRestoresItAndTheSlotKeepsTheFadesStart) {
    PrivateSystemBus::instance();
    std::int64_t clock = T0;
    SetClockSeam([&](clockid_t) { return clock; });
    const std::string track = media.file("tone.wav");
    makeTone(track, 440, 200, 44100, 1, "-af volume=0.5");
    ASSERT_TRUE(Start());
    player->addFolder(track);
    FakeLogind logind(FakeLogind::Answer::Accept);

    const auto tickAt = [&](std::int64_t now) {
        clock = now;
        app.tickTime = -1;
        return PumpUntil([now] { return app.tickTime == now; });
    };
    // The left peak heard once everything buffered before the tick has played.
    const auto levelAt = [&](std::int64_t now) {
        EXPECT_TRUE(tickAt(now));
        const std::int64_t from = app.bookRecord.position;
        EXPECT_TRUE(PumpUntil([&] { return app.bookRecord.position > from + 44100; }));
        return double(BASS_ChannelGetLevel(app.currentStream) & 0xFFFF);
    };
    ArmSleepTimer("1");
    const double full = levelAt(T0 + 20);
    ASSERT_GT(full, 1000);
    ASSERT_TRUE(tickAt(T0 + 30)); // 30 s left: the fade begins here
    EXPECT_NEAR(20 * std::log10(levelAt(T0 + 45) / full), -30, 1.5) << "half way down a 60 dB ramp";
    EXPECT_NEAR(20 * std::log10(levelAt(T0 + 55) / full), -50, 1.5);
    clock = T0 + 56;
    ArmSleepTimer("1");
    EXPECT_NEAR(levelAt(T0 + 57), full, full * 0.03) << "re-arming restores the volume";

    ASSERT_TRUE(tickAt(T0 + 56 + 30));
    const std::int64_t fadeStart = app.bookRecord.position;
    EXPECT_NEAR(20 * std::log10(levelAt(T0 + 56 + 40) / full), -20, 1.5);
    EXPECT_GT(app.bookRecord.position, fadeStart + 44100) << "played on well past it";
    QTimer::singleShot(0, qApp, [&] { clock = T0 + 56 + 61; });
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(20000);
    ASSERT_EQ(QApplication::exec(), 0) << "the timer fired";
    EXPECT_EQ(SlotPosition(SlotOf(readBytes(player->dataFile()))), fadeStart);
    EXPECT_EQ(logind.calls().size(), 1u);
    SetClockSeam(nullptr);
}

} // namespace
