// Playback through a private PulseAudio daemon whose null sink is recorded: what is heard,
// when, and what the engine reports meanwhile.
#include "engine/bass.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
constexpr std::size_t ms(int milliseconds) { return static_cast<std::size_t>(MonitorCapture::rate) * milliseconds / 1000; }
double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
QWORD positionBytes(HSTREAM h) { return BASS_ChannelGetPosition(h, BASS_POS_BYTE); }
double positionSeconds(HSTREAM h) { return BASS_ChannelBytes2Seconds(h, positionBytes(h)); }

TEST(EngineStartup, InitFailsFastWithoutAServer) {
    TempDir dir;
    const char* old = std::getenv("PULSE_SERVER");
    const std::string saved = old ? old : "";
    setenv("PULSE_SERVER", ("unix:" + dir.file("no-such-socket")).c_str(), 1);
    const auto start = Clock::now();
    EXPECT_EQ(BASS_Init(-1, 44100, 0, nullptr, nullptr), 0);
    EXPECT_LT(secondsSince(start), 2.5);
    BASS_INFO info{};
    EXPECT_FALSE(BASS_GetInfo(&info));
    old ? setenv("PULSE_SERVER", saved.c_str(), 1) : unsetenv("PULSE_SERVER");
}

class Playback : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new PulseServer;
        server->makeMonitorRealTime();
    }
    static void TearDownTestSuite() { delete server; }
    void SetUp() override { ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)); }
    void TearDown() override { BASS_Free(); }

    // A playable stream of a tone made for the test.
    HSTREAM toneStream(const std::string& name, double hz, double seconds, int rate, int channels,
                       const std::string& extraArgs = "") {
        path = dir.file(name);
        makeTone(path, hz, seconds, rate, channels, extraArgs);
        return BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    }

    static PulseServer* server;
    TempDir dir;
    std::string path;
};
PulseServer* Playback::server = nullptr;

// What the end-of-stream procedure saw.
struct EndRecord {
    std::atomic<int> calls{0};
    std::atomic<std::size_t> captureFrame{0};
    MonitorCapture* capture = nullptr;
};

void recordEnd(HSYNC, DWORD, DWORD, void* user) {
    auto* record = static_cast<EndRecord*>(user);
    record->captureFrame = record->capture ? record->capture->framesSoFar() : 0;
    ++record->calls;
}

TEST_F(Playback, InitReportsTheServerRateAndFreeEndsIt) {
    EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << "already initialised";
    BASS_INFO info{};
    ASSERT_TRUE(BASS_GetInfo(&info));
    // pactl's line with the server's default format, e.g. "... float32le 2ch 44100Hz"
    const std::string pactl = capture("pactl info");
    const auto hz = pactl.find("Hz", pactl.find("Default Sample S"));
    ASSERT_NE(hz, std::string::npos);
    const auto rateStart = pactl.rfind(' ', hz) + 1;
    EXPECT_EQ(info.freq, static_cast<DWORD>(std::stoul(pactl.substr(rateStart, hz - rateStart))));
    EXPECT_TRUE(BASS_Free());
    EXPECT_FALSE(BASS_GetInfo(&info));
    EXPECT_FALSE(BASS_Free());
}

TEST_F(Playback, PositionFollowsWhatIsHeardThroughPauseAndResume) {
    const HSTREAM h = toneStream("tone.mp3", 440, 6.0, 44100, 2);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(positionBytes(h), 0u);
    MonitorCapture cap(dir.file("capture.raw"));
    const auto started = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(h, false));
    sleepMs(1000);
    const double heard = positionSeconds(h), elapsed = secondsSince(started);
    // Never ahead of real time, and behind it by no more than the buffering.
    EXPECT_LE(heard, elapsed + 0.01);
    EXPECT_GT(heard, elapsed - 0.3);
    EXPECT_EQ(positionBytes(h) % 2, 0u);

    ASSERT_TRUE(BASS_ChannelPause(h));
    const std::size_t pausedAt = cap.framesSoFar();
    const QWORD pausedPosition = positionBytes(h);
    sleepMs(300);
    EXPECT_EQ(positionBytes(h), pausedPosition);
    EXPECT_EQ(BASS_ChannelGetLevel(h), 0u);
    const std::size_t resumedAt = cap.framesSoFar();
    const auto resumed = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(h, false));
    sleepMs(500);
    const double afterResume = positionSeconds(h) - BASS_ChannelBytes2Seconds(h, pausedPosition);
    EXPECT_GT(afterResume, 0.25);
    EXPECT_LE(afterResume, secondsSince(resumed) + 0.01);
    cap.stop();
    EXPECT_LT(cap.peak(pausedAt + ms(100), resumedAt - pausedAt - ms(100)), 1e-4) << "silence while paused";
    EXPECT_NEAR(cap.dominantFrequency(resumedAt + ms(150), ms(200)), 440, 5) << "the tone resumes";
}

TEST_F(Playback, EndSyncFiresOnceAfterTheTailWasHeardAndNeverForAStreamFreedBeforeItsEnd) {
    const HSTREAM freed = toneStream("freed.wav", 600, 0.8, 44100, 1);
    const HSTREAM h = toneStream("short.wav", 1000, 1.0, 44100, 2);
    ASSERT_NE(h, 0u);
    MonitorCapture cap(dir.file("capture.raw"));
    EndRecord record, freedRecord;
    record.capture = &cap;
    ASSERT_NE(BASS_ChannelSetSync(h, BASS_SYNC_END, 0, &recordEnd, &record), 0u);
    ASSERT_NE(BASS_ChannelSetSync(freed, BASS_SYNC_END, 0, &recordEnd, &freedRecord), 0u);
    const std::size_t playedAt = cap.framesSoFar();
    ASSERT_TRUE(BASS_ChannelPlay(h, false));
    sleepMs(300);
    // Freed with half a second of it still to play: its end would fall well before the wait is over.
    ASSERT_TRUE(BASS_ChannelPlay(freed, false));
    sleepMs(300);
    ASSERT_TRUE(BASS_StreamFree(freed));
    sleepMs(1200);
    cap.stop();
    EXPECT_EQ(record.calls.load(), 1);
    EXPECT_EQ(freedRecord.calls.load(), 0);
    const long first = cap.firstSoundFrom(playedAt), last = cap.lastSoundFrom(playedAt);
    ASSERT_GE(first, 0);
    EXPECT_NEAR((last - first) / double(MonitorCapture::rate), 1.0, 0.02) << "the whole tone was played";
    EXPECT_LE(static_cast<std::size_t>(last), record.captureFrame.load()) << "the tail was heard before the sync";
    EXPECT_EQ(positionBytes(h), BASS_ChannelGetLength(h, BASS_POS_BYTE));
    EXPECT_EQ(BASS_ChannelGetLevel(h), 0u);
}

TEST_F(Playback, SeekIsHeardAtTheTargetWhilePlayingAndWhilePaused) {
    // Step k sounds at 300 + 100k Hz for half a second.
    path = dir.file("steps.flac");
    makeSteppedTone(path, 300, 100, 10, 0.5, 44100, 2);
    const HSTREAM h = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    ASSERT_NE(h, 0u);
    MonitorCapture cap(dir.file("capture.raw"));
    ASSERT_TRUE(BASS_ChannelPlay(h, false));
    sleepMs(300);
    ASSERT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 7 * 0.5 + 0.05), BASS_POS_BYTE));
    const std::size_t seekAt = cap.framesSoFar();
    EXPECT_GE(positionSeconds(h), 3.55 - 0.001);
    sleepMs(400);
    ASSERT_TRUE(BASS_ChannelPause(h));
    ASSERT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 3 * 0.5 + 0.1), BASS_POS_BYTE));
    EXPECT_NEAR(positionSeconds(h), 1.6, 0.001);
    const std::size_t resumeAt = cap.framesSoFar();
    ASSERT_TRUE(BASS_ChannelPlay(h, false));
    sleepMs(300);
    cap.stop();
    EXPECT_NEAR(cap.dominantFrequency(seekAt + ms(60), ms(150)), 1000, 10);
    const long resumedSound = cap.firstSoundFrom(resumeAt);
    ASSERT_GE(resumedSound, 0);
    EXPECT_NEAR(cap.dominantFrequency(resumedSound + ms(10), ms(150)), 600, 6);
}

TEST_F(Playback, VolumeHalvesTheAmplitude) {
    const HSTREAM h = toneStream("tone.wav", 1000, 3.0, 48000, 2);
    MonitorCapture cap(dir.file("capture.raw"));
    ASSERT_TRUE(BASS_ChannelPlay(h, false));
    sleepMs(500);
    const std::size_t fullFrom = cap.framesSoFar() - ms(300);
    ASSERT_TRUE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f));
    const std::size_t changedAt = cap.framesSoFar();
    sleepMs(800);
    cap.stop();
    // Everything buffered when the change was made still plays at full volume.
    EXPECT_NEAR(20 * std::log10(cap.rms(changedAt + ms(450), ms(250)) / cap.rms(fullFrom, ms(250))), -6.02, 0.5);
}

TEST_F(Playback, LevelFollowsThePeakOfWhatIsHeard) {
    for (int channels : {2, 1}) {
        SCOPED_TRACE(channels);
        const HSTREAM h = toneStream("loud" + std::to_string(channels) + ".wav", 500, 3.0, 44100, channels, "-af volume=6");
        ASSERT_NE(h, 0u);
        // The file's peak sample as sox measures it.
        const std::string stat = capture("sox " + shellQuote(path) + " -n stat 2>&1");
        const auto label = stat.find("Maximum amplitude:");
        ASSERT_NE(label, std::string::npos);
        const double amplitude = std::stod(stat.substr(label + 18));
        ASSERT_GT(amplitude, 0.3);
        EXPECT_EQ(BASS_ChannelGetLevel(h), 0u) << "not playing yet";
        ASSERT_TRUE(BASS_ChannelPlay(h, false));
        sleepMs(400);
        const DWORD level = BASS_ChannelGetLevel(h);
        EXPECT_NEAR(double(level & 0xFFFF), 32768 * amplitude, 32768 * amplitude * 0.03);
        EXPECT_EQ(level & 0xFFFF, level >> 16);
        ASSERT_TRUE(BASS_ChannelPause(h));
        EXPECT_EQ(BASS_ChannelGetLevel(h), 0u);
        BASS_StreamFree(h);
    }
}

TEST_F(Playback, FreeStopsSoundAndInvalidatesEveryHandle) {
    const HSTREAM a = toneStream("tone.ogg", 700, 5.0, 44100, 2);
    const HSTREAM b = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    const HFX fx = BASS_ChannelSetFX(a, BASS_FX_DX8_REVERB, 0);
    ASSERT_NE(fx, 0u);
    MonitorCapture cap(dir.file("capture.raw"));
    ASSERT_TRUE(BASS_ChannelPlay(a, false));
    ASSERT_TRUE(BASS_ChannelPlay(b, false));
    sleepMs(400);
    ASSERT_TRUE(BASS_Free());
    sleepMs(400);
    cap.stop();
    // Placed by the sound itself: the recorder's file lags real time by a varying amount.
    const long lastSound = cap.lastSoundFrom(0, 1e-4f);
    ASSERT_GT(lastSound, long(ms(300)));
    EXPECT_GT(cap.peak(lastSound - ms(300), ms(300)), 0.05) << "sound was playing until Free";
    EXPECT_GE(cap.frameCount() - std::size_t(lastSound), ms(250)) << "silence after Free";
    for (HSTREAM h : {a, b}) {
        EXPECT_EQ(positionBytes(h), static_cast<QWORD>(-1));
        EXPECT_FALSE(BASS_ChannelPlay(h, false));
        EXPECT_FALSE(BASS_StreamFree(h));
    }
    BASS_DX8_REVERB room{};
    EXPECT_FALSE(BASS_FXGetParameters(fx, &room));
    // The engine starts again afterwards.
    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    EXPECT_NE(BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS), 0u);
}

TEST_F(Playback, StreamFreedFromItsOwnEndSyncDoesNotDeadlock) {
    struct Chain {
        std::string next;
        std::atomic<HSTREAM> opened{0};
    } chain;
    const HSTREAM first = toneStream("short.wav", 800, 0.3, 44100, 2);
    ASSERT_NE(first, 0u);
    chain.next = path;
    // Like the player: free the finished stream and start the next one from the procedure.
    auto advance = [](HSYNC, DWORD channel, DWORD, void* user) {
        auto* c = static_cast<Chain*>(user);
        BASS_StreamFree(channel);
        const HSTREAM next = BASS_StreamCreateFile(false, c->next.c_str(), 0, 0, BASS_SAMPLE_8BITS);
        BASS_ChannelPlay(next, false);
        c->opened = next;
    };
    ASSERT_NE(BASS_ChannelSetSync(first, BASS_SYNC_END, 0, advance, &chain), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(first, false));
    const auto start = Clock::now();
    while (chain.opened == 0 && secondsSince(start) < 3)
        sleepMs(20);
    ASSERT_NE(chain.opened.load(), 0u);
    EXPECT_EQ(positionBytes(first), static_cast<QWORD>(-1));
    sleepMs(100);
    EXPECT_GT(positionBytes(chain.opened), 0u);
}

} // namespace
