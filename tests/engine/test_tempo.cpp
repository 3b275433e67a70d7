// Listening speed: the pitch stays, the sound runs at the speed, positions count the file's time.
#include "engine/bass.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <vector>

using namespace testsupport;

namespace {

// Step k of the test tone sounds at 400 + 100k Hz for kStep seconds.
constexpr double kStep = 0.6;
constexpr int kSteps = 8;
double stepHz(int k) { return 400 + 100 * k; }
float percentFor(double speed) { return static_cast<float>((speed - 1.0) * 100.0); }
constexpr std::size_t ms(double milliseconds) { return static_cast<std::size_t>(MonitorCapture::rate * milliseconds / 1000); }
double positionSeconds(HSTREAM h) { return BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE)); }

class Tempo : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static PulseServer server;
        server.makeMonitorRealTime();
        makeSteppedTone(steps().file("steps.flac"), stepHz(0), 100, kSteps, kStep, 44100, 1);
    }
    static const TempDir& steps() { static TempDir folder; return folder; }
    void SetUp() override { ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)); }
    void TearDown() override { BASS_Free(); }
    HSTREAM open(DWORD flags) { return BASS_StreamCreateFile(false, steps().file("steps.flac").c_str(), 0, 0, flags); }
    TempDir dir;
};

TEST_F(Tempo, HeardAtTheSpeedWithPositionsInTheFilesTimeThroughPauseSeekAndEnd) {
    for (double speed : {0.75, 1.5, 3.0}) {
        SCOPED_TRACE(speed);
        const HSTREAM h = open(BASS_SAMPLE_8BITS);
        ASSERT_NE(h, 0u);
        std::atomic<int> ended{0};
        BASS_ChannelSetSync(h, BASS_SYNC_END, 0, [](HSYNC, DWORD, DWORD, void* u) { ++*static_cast<std::atomic<int>*>(u); }, &ended);
        ASSERT_TRUE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_TEMPO, percentFor(speed)));
        MonitorCapture cap(dir.file("capture.raw"));
        ASSERT_TRUE(BASS_ChannelPlay(h, false));
        ASSERT_TRUE(WaitUntil([&] { return positionSeconds(h) >= 5 * kStep + 0.3; }));
        ASSERT_TRUE(BASS_ChannelPause(h));
        const double pausedAt = positionSeconds(h);
        const std::size_t pausedFrame = cap.framesSoFar();
        ASSERT_TRUE(WaitUntil([&] { return cap.framesSoFar() > pausedFrame + ms(400); })) << "a silent gap";
        // From the end of the paused place's step: the last step, then the end.
        ASSERT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 7 * kStep + 0.05), BASS_POS_BYTE));
        ASSERT_TRUE(BASS_ChannelPlay(h, false));
        ASSERT_TRUE(WaitUntil([&] { return ended == 1; }));
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), BASS_ChannelGetLength(h, BASS_POS_BYTE));
        cap.stop();

        const auto heard = cap.stretches(ms(200));
        ASSERT_EQ(heard.size(), 2u);
        // Where each step begins in the first stretch, found by the pitch heard in 20 ms windows.
        std::vector<long> stepStart(kSteps, -1);
        for (std::size_t f = heard[0].first; f + ms(20) < heard[0].last; f += ms(5)) {
            const double hz = cap.dominantFrequency(f, ms(20));
            const int k = int(std::lround((hz - stepHz(0)) / 100));
            if (k >= 0 && k < kSteps && std::fabs(hz - stepHz(k)) <= stepHz(k) * 0.03 && stepStart[k] < 0)
                stepStart[k] = long(f);
        }
        for (int k = 1; k <= 5; ++k)
            ASSERT_GE(stepStart[k], 0) << "step " << k << " heard at its own pitch";
        // Four steps of the file in 4 x kStep / speed seconds of listening.
        const double listened = double(stepStart[5] - stepStart[1]) / MonitorCapture::rate;
        EXPECT_NEAR(listened * speed, 4 * kStep, 4 * kStep * 0.01 + 0.02 * speed);
        // The place paused at, by the sound: the last step's start plus what was heard of it.
        const double heardUpTo = 5 * kStep + double(long(heard[0].last) - stepStart[5]) / MonitorCapture::rate * speed;
        EXPECT_NEAR(heardUpTo, pausedAt, 0.05 + 0.03 * speed);
        EXPECT_NEAR(cap.dominantFrequency(heard[1].first + ms(10), ms(40)), stepHz(7), stepHz(7) * 0.01);
        EXPECT_NEAR(cap.soundSeconds(heard[1].first, heard[1].last) * speed, kStep - 0.05, 0.03 * speed + 0.03);
        BASS_StreamFree(h);
    }
}

// A new speed is heard at once, though the server holds much more at the old one.
TEST_F(Tempo, ASpeedChangeIsHeardAtOnce) {
    const HSTREAM h = open(BASS_SAMPLE_8BITS);
    MonitorCapture cap(dir.file("capture.raw"));
    ASSERT_TRUE(BASS_ChannelPlay(h, false));
    ASSERT_TRUE(WaitUntil([&] { return positionSeconds(h) >= 1.2 * kStep; }));
    const std::size_t madeAt = cap.framesSoFar();
    const double changedAt = positionSeconds(h);
    ASSERT_TRUE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_TEMPO, percentFor(3.0)));
    ASSERT_TRUE(WaitUntil([&] { return positionSeconds(h) >= 4 * kStep; }));
    cap.stop();
    std::size_t f = madeAt;
    while (f + ms(20) < cap.frameCount() && std::fabs(cap.dominantFrequency(f, ms(20)) - stepHz(2)) > stepHz(2) * 0.02)
        f += ms(5);
    // Step 2 begins after `delay` at the old speed and the rest of the way at the new one; the
    // recorder lags real time, so the delay found errs long.
    const double untilStep2 = double(f - madeAt) / MonitorCapture::rate;
    const double delay = (3.0 * untilStep2 - (2 * kStep - changedAt)) / 2;
    EXPECT_LT(delay, 0.25) << "step 2 heard " << untilStep2 << " s after the change at " << changedAt;
}

} // namespace
