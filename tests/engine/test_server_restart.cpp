// Playback when the sound server goes away, comes back or stops answering.
#include "engine/bass.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
double positionSeconds(HSTREAM h) { return BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE)); }

bool waitUntil(const std::function<bool()>& done, double seconds) {
    const auto start = Clock::now();
    while (!done()) {
        if (secondsSince(start) > seconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The data of every BASS_SYNC_DEV_FAIL call.
struct LossNews {
    std::mutex mutex;
    std::vector<DWORD> calls;
    std::vector<DWORD> seen() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

void recordLoss(HSYNC, DWORD, DWORD data, void* user) {
    auto* news = static_cast<LossNews*>(user);
    std::lock_guard lock(news->mutex);
    news->calls.push_back(data);
}

class ServerAway : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new PulseServer;
        server->makeMonitorRealTime();
    }
    static void TearDownTestSuite() { delete server; }
    void SetUp() override {
        ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
        // Step k sounds at 300 + 100k Hz for two seconds, so what is heard tells the place.
        path = dir.file("steps.flac");
        makeSteppedTone(path, 300, 100, 5, 2.0, 44100, 2);
        stream = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS);
        ASSERT_NE(stream, 0u);
        ASSERT_NE(BASS_ChannelSetSync(stream, BASS_SYNC_DEV_FAIL, 0, &recordLoss, &news), 0u);
        ASSERT_TRUE(BASS_ChannelPlay(stream, false));
        // Early in step 1 (400 Hz), so the place kept survives some lateness in stopping and recording.
        ASSERT_TRUE(waitUntil([&] { return positionSeconds(stream) >= 2.3; }, 10));
    }
    void TearDown() override {
        server->freeze(false);
        BASS_Free();
    }

    static PulseServer* server;
    TempDir dir;
    std::string path;
    HSTREAM stream = 0;
    LossNews news;
};
PulseServer* ServerAway::server = nullptr;

TEST_F(ServerAway, PlaybackGoesOnFromThePlaceLastHeardWhenTheServerComesBack) {
    server->stopAnswering();
    ASSERT_TRUE(waitUntil([&] { return BASS_ChannelGetLevel(stream) == 0; }, 5)) << "the loss is noticed";
    const double kept = positionSeconds(stream);
    EXPECT_GE(kept, 2.3);
    EXPECT_LT(kept, 3.3);
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the server stays away this long
    EXPECT_DOUBLE_EQ(positionSeconds(stream), kept) << "nothing is heard, so the place stands";

    server->startAnswering();
    MonitorCapture cap(dir.file("capture.raw"));
    // The recorder may start after the sound did: a quarter second of it is enough.
    ASSERT_TRUE(waitUntil([&] { return positionSeconds(stream) > kept + 0.3 && cap.framesSoFar() > 12000; }, 10))
        << "playback goes on";
    cap.stop();
    const long first = cap.firstSoundFrom(0);
    ASSERT_GE(first, 0);
    EXPECT_NEAR(cap.dominantFrequency(first + 480, 4800), 400, 6) << "from the step that was playing";
}

TEST_F(ServerAway, AServerThatStaysAwayIsReportedOnceAndItsReturnToo) {
    server->stopAnswering();
    ASSERT_TRUE(waitUntil([&] { return !news.seen().empty(); }, 15));
    const auto whileAway = Clock::now();
    // Calls made meanwhile answer at once and keep the place.
    const double kept = positionSeconds(stream);
    EXPECT_TRUE(BASS_ChannelPause(stream));
    EXPECT_TRUE(BASS_ChannelSetPosition(stream, BASS_ChannelSeconds2Bytes(stream, kept), BASS_POS_BYTE));
    EXPECT_TRUE(BASS_ChannelPlay(stream, false));
    EXPECT_EQ(BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS), 0u) << "no server to play on";
    EXPECT_LT(secondsSince(whileAway), 1.0);

    server->startAnswering();
    ASSERT_TRUE(waitUntil([&] { return news.seen().size() >= 2; }, 10));
    EXPECT_EQ(news.seen(), (std::vector<DWORD>{1, 0}));
    EXPECT_TRUE(waitUntil([&] { return positionSeconds(stream) > kept + 0.3; }, 10));
}

TEST_F(ServerAway, EveryCallReturnsSoonWhileTheServerDoesNotAnswer) {
    const HSTREAM paused = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    ASSERT_NE(paused, 0u);
    const auto streamsOnServer = [] { return capture("pactl list short sink-inputs | wc -l"); };
    const std::string streamsBefore = streamsOnServer();
    server->freeze(true);
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"open", [&] { BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS); }},
        {"pause", [&] { BASS_ChannelPause(stream); }},
        {"seek", [&] { BASS_ChannelSetPosition(stream, 0, BASS_POS_BYTE); }},
        {"play", [&] { BASS_ChannelPlay(stream, false); }},
        {"play another", [&] { BASS_ChannelPlay(paused, false); }},
        {"position and level", [&] { positionSeconds(stream), BASS_ChannelGetLevel(stream); }},
        {"free", [&] { BASS_StreamFree(paused); }},
    };
    for (const auto& [name, call] : calls) {
        const auto start = Clock::now();
        call();
        // A request without a bound of its own would wait for libpulse's 30 s.
        EXPECT_LT(secondsSince(start), 2.5) << name;
    }
    server->freeze(false);
    const double before = positionSeconds(stream);
    EXPECT_TRUE(waitUntil([&] { return positionSeconds(stream) > before + 0.3; }, 10)) << "playback goes on";
    // The open that gave up left nothing behind once the server got to it; `paused` is gone.
    BASS_StreamFree(BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS));
    EXPECT_TRUE(waitUntil([&] { return std::stoi(streamsOnServer()) == std::stoi(streamsBefore) - 1; }, 5))
        << streamsOnServer() << " streams on the server, " << streamsBefore << " before";
}

// A server that takes the connection and never answers, met while connecting again (its
// address is held by a socket nobody reads): the end does not wait out the attempt.
TEST_F(ServerAway, TheEndDoesNotWaitForAnAttemptToConnectAgain) {
    server->stopAnswering();
    const std::string address = std::string(std::getenv("PULSE_SERVER")).substr(std::strlen("unix:"));
    ::unlink(address.c_str());
    const int mute = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::strncpy(where.sun_path, address.c_str(), sizeof where.sun_path - 1);
    ASSERT_EQ(::bind(mute, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(::listen(mute, 8), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // an attempt (1 s at most) is under way
    const auto start = Clock::now();
    BASS_Free();
    EXPECT_LT(secondsSince(start), 0.45);
    ::close(mute);
    ::unlink(address.c_str());
    server->startAnswering();
}

} // namespace
