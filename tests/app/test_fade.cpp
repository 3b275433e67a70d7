// The sleep timer's fade: heard through the private sound server, the clock through its seam,
// the power-off answered by a fake logind on a private system bus.
#include <QApplication>
#include <QTimer>
#include <cmath>

#include "playback/transport.h"
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
    std::filesystem::copy_file(track, media.file("tone2.wav"));
    ASSERT_TRUE(Start());
    player->addFolder(track);
    FakeLogind logind(FakeLogind::Answer::Accept);

    const auto tickAt = [&](std::int64_t now) {
        clock = now;
        app.tickTime = -1;
        return PumpUntil([now] { return app.tickTime == now; });
    };
    // The left peak heard once the second's glide and everything buffered before it have played.
    const auto levelAt = [&](std::int64_t now) {
        EXPECT_TRUE(tickAt(now));
        const std::int64_t from = app.bookRecord.position;
        EXPECT_TRUE(PumpUntil([&] { return app.bookRecord.position > from + 44100 * 3 / 2; }));
        return double(BASS_ChannelGetLevel(app.currentStream) & 0xFFFF);
    };
    ArmSleepTimer("1");
    const double full = levelAt(T0 + 20);
    ASSERT_GT(full, 1000);
    // 30 s left: the fade begins here, 60 dB over 30 s, each second gliding to the next one's level.
    ASSERT_TRUE(tickAt(T0 + 30));
    MonitorCapture glide(media.file("glide.raw"));
    EXPECT_NEAR(20 * std::log10(levelAt(T0 + 45) / full), -32, 1.5) << "with 14 s to go";
    glide.stop();
    // Heard as a slope, not a step: no 10 ms block's peak is a dB off the one before.
    const std::size_t block = MonitorCapture::rate / 100;
    double steepest = 0;
    for (std::size_t f = block; f + block <= glide.frameCount(); f += block)
        if (const double a = glide.peak(f - block, block), b = glide.peak(f, block); a > 1e-4 && b > 1e-4)
            steepest = std::max(steepest, std::fabs(20 * std::log10(b / a)));
    EXPECT_LT(steepest, 1.0);
    EXPECT_LT(20 * std::log10(glide.peak(glide.frameCount() - block, block) / glide.peak(block, block)), -25);
    // A track opened now starts at the fade's level (15 s to go), not at the volume slider's.
    TogglePlayPause(); // the pause a desktop client's Pause makes: the button would restart the timer
    Pump(600);
    MonitorCapture next(media.file("next.raw"));
    player->command(ids::NextButton);
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() > 1; }));
    next.stop();
    const long start = next.firstSoundFrom(0, float(full / 32768 / 1000));
    ASSERT_GE(start, 0);
    EXPECT_NEAR(20 * std::log10(next.peak(std::size_t(start), 24000) * 32768 / full), -30, 2.5);
    clock = T0 + 56;
    ArmSleepTimer("1");
    EXPECT_NEAR(levelAt(T0 + 57), full, full * 0.03) << "re-arming restores the volume";

    ASSERT_TRUE(tickAt(T0 + 56 + 30));
    const std::int64_t fadeStart = app.bookRecord.position;
    EXPECT_NEAR(20 * std::log10(levelAt(T0 + 56 + 40) / full), -22, 1.5);
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
