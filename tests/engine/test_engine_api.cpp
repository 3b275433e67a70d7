// The engine's operations on decoding channels, which need no sound server: byte units,
// sample-exact seeking and handle hygiene.
#include "engine/bass.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

HSTREAM openDecoding(const std::string& path) { return BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_STREAM_DECODE); }

// Reads up to the given number of float frames (all of them by default) from a decoding channel.
std::vector<float> readFrames(HSTREAM h, int channels, std::size_t frames = std::size_t{1} << 40) {
    std::vector<float> all, block(4096 * channels);
    while (all.size() < frames * channels) {
        const std::size_t want = std::min(block.size(), frames * channels - all.size());
        const DWORD got = BASS_ChannelGetData(h, block.data(), (want * sizeof(float)) | BASS_DATA_FLOAT);
        if (got == static_cast<DWORD>(-1) || got == 0)
            break;
        all.insert(all.end(), block.begin(), block.begin() + got / sizeof(float));
    }
    return all;
}

// Without BASS_Init: decoding channels work, and every unit counts frames times channels.
TEST(EngineApi, ByteUnitsCountFramesTimesChannelsAndSeeksLandOnTheSample) {
    TempDir dir;
    for (const auto& [rate, channels] : {std::pair{22050, 1}, {48000, 2}}) {
        SCOPED_TRACE(::testing::Message() << rate << " Hz, " << channels << " ch");
        const std::string path = dir.file(std::to_string(rate) + ".flac");
        makeSteppedTone(path, 300, 150, 6, 0.25, rate, channels);
        const HSTREAM h = openDecoding(path);
        ASSERT_NE(h, 0u);
        const QWORD frames = QWORD(1.5 * rate);
        EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), frames * channels);
        for (double t : {0.25, 1.0 / rate * 7.5, 1.4999}) {
            const QWORD bytes = BASS_ChannelSeconds2Bytes(h, t);
            EXPECT_EQ(bytes, static_cast<QWORD>(std::floor(t * rate)) * channels) << t;
            EXPECT_NEAR(BASS_ChannelBytes2Seconds(h, bytes), t - 0.5 / rate, 0.5 / rate + 1e-12) << t; // rounds down
        }
        const std::vector<float> linear = readFrames(h, channels);
        ASSERT_EQ(linear.size(), frames * channels);
        // A byte position inside a frame rounds down to the frame.
        for (QWORD target : {QWORD{12345} * channels, QWORD(rate * 3 / 4) * channels + channels / 2}) {
            ASSERT_TRUE(BASS_ChannelSetPosition(h, target, BASS_POS_BYTE)) << target;
            const QWORD frame = target / channels;
            EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), frame * channels);
            const auto after = readFrames(h, channels, 64);
            ASSERT_EQ(after.size(), 64u * channels);
            EXPECT_TRUE(std::equal(after.begin(), after.end(), linear.begin() + frame * channels)) << target;
        }
        const QWORD before = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
        EXPECT_FALSE(BASS_ChannelSetPosition(h, frames * channels + channels, BASS_POS_BYTE));
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), before);
        EXPECT_TRUE(BASS_StreamFree(h));
    }
}

TEST(EngineApi, CallsOnFreedHandlesAndTheirEffectsFailHarmlessly) {
    TempDir dir;
    makeTone(dir.file("tone.wav"), 440, 0.5, 44100, 2);
    const HSTREAM freed = openDecoding(dir.file("tone.wav"));
    const HFX eq = BASS_ChannelSetFX(freed, BASS_FX_DX8_PARAMEQ, 0);
    BASS_DX8_PARAMEQ band{};
    ASSERT_TRUE(BASS_FXGetParameters(eq, &band));
    ASSERT_TRUE(BASS_StreamFree(freed));
    EXPECT_FALSE(BASS_FXGetParameters(eq, &band)) << "effects die with their stream";
    for (DWORD h : {DWORD{0}, freed, DWORD{0xDEADBEEF}}) {
        float buf[64];
        EXPECT_FALSE(BASS_StreamFree(h) || BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE) || BASS_ChannelPlay(h, false)) << h;
        EXPECT_EQ(BASS_ChannelSetFX(h, BASS_FX_DX8_REVERB, 0), 0u) << h;
        EXPECT_EQ(BASS_ChannelGetData(h, buf, sizeof buf | BASS_DATA_FLOAT), static_cast<DWORD>(-1)) << h;
    }
}

} // namespace
