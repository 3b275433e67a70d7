// The engine's operations on decoding channels, which need no sound server: byte units,
// sample-exact seeking, effects and volume through BASS_ChannelGetData, handle hygiene.
#include "engine/bass.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

constexpr QWORD kInvalid = static_cast<QWORD>(-1);

HSTREAM openDecoding(const std::string& path) {
    return BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_STREAM_DECODE);
}

// Reads up to the given number of float frames (all of them by default) from a decoding channel.
std::vector<float> readFrames(HSTREAM h, int channels, std::size_t frames = std::size_t{1} << 40) {
    std::vector<float> all, block(std::min<std::size_t>(frames, 4096) * channels);
    while (all.size() < frames * channels) {
        const std::size_t want = std::min(block.size(), frames * channels - all.size());
        const DWORD got = BASS_ChannelGetData(h, block.data(), (want * sizeof(float)) | BASS_DATA_FLOAT);
        if (got == static_cast<DWORD>(-1) || got == 0)
            break;
        all.insert(all.end(), block.begin(), block.begin() + got / sizeof(float));
    }
    return all;
}

class EngineApi : public ::testing::Test {
protected:
    std::string tone(const std::string& name, double hz, double seconds, int rate, int channels) {
        const std::string path = dir.file(name);
        makeTone(path, hz, seconds, rate, channels);
        return path;
    }
    TempDir dir;
};

TEST_F(EngineApi, LengthPositionConversionsAndSampleExactSeeksCountFramesTimesChannels) {
    const double seconds = 1.5;
    for (const auto& [rate, channels] : {std::pair{22050, 1}, {44100, 2}, {48000, 1}, {48000, 2}}) {
        SCOPED_TRACE(::testing::Message() << rate << " Hz, " << channels << " ch");
        const std::string path = dir.file(std::to_string(rate) + "_" + std::to_string(channels) + ".flac");
        makeSteppedTone(path, 300, 150, 6, seconds / 6, rate, channels);
        const HSTREAM h = openDecoding(path);
        ASSERT_NE(h, 0u);
        const QWORD frames = static_cast<QWORD>(std::llround(seconds * rate));
        EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), frames * channels);
        EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), std::filesystem::file_size(path));
        BASS_CHANNELINFO info{};
        ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
        EXPECT_EQ(info.freq, static_cast<DWORD>(rate));
        EXPECT_EQ(info.chans, static_cast<DWORD>(channels));
        EXPECT_EQ(std::string(info.filename), path);
        for (double t : {0.0, 0.25, 0.3333, 1.0 / rate * 7.5, 1.4999}) {
            const QWORD bytes = BASS_ChannelSeconds2Bytes(h, t);
            EXPECT_EQ(bytes, static_cast<QWORD>(std::floor(t * rate)) * channels) << t;
            const double back = BASS_ChannelBytes2Seconds(h, bytes);
            EXPECT_LE(back, t + 1e-12);
            EXPECT_GT(back, t - 1.0 / rate);
        }

        // The position counts what has been read, in the same unit.
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), 0u);
        std::vector<float> linear = readFrames(h, channels, 1000);
        EXPECT_EQ(linear.size(), 1000u * channels);
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), 1000u * channels);
        const std::vector<float> rest = readFrames(h, channels);
        EXPECT_EQ(rest.size(), (frames - 1000) * channels);
        linear.insert(linear.end(), rest.begin(), rest.end());

        // Step boundaries, odd frames, and a byte position inside a frame (rounds down).
        for (QWORD target : {QWORD{0}, QWORD(rate / 4) * channels, QWORD{12345} * channels,
                             QWORD(rate * 3 / 4) * channels + channels / 2, (frames - 64) * channels}) {
            ASSERT_TRUE(BASS_ChannelSetPosition(h, target, BASS_POS_BYTE)) << target;
            const QWORD frame = target / channels;
            EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), frame * channels);
            const auto after = readFrames(h, channels, 64);
            ASSERT_EQ(after.size(), 64u * channels);
            for (std::size_t i = 0; i < after.size(); ++i)
                ASSERT_EQ(after[i], linear[frame * channels + i]) << "target " << target << " sample " << i;
        }
        const QWORD before = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
        EXPECT_FALSE(BASS_ChannelSetPosition(h, frames * channels + channels, BASS_POS_BYTE));
        EXPECT_FALSE(BASS_ChannelSetPosition(h, static_cast<QWORD>(-4), BASS_POS_BYTE));
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), before);
        // The very end is a valid place: nothing is left to read.
        EXPECT_TRUE(BASS_ChannelSetPosition(h, frames * channels, BASS_POS_BYTE));
        float buf[256];
        EXPECT_EQ(BASS_ChannelGetData(h, buf, sizeof buf | BASS_DATA_FLOAT), static_cast<DWORD>(-1));
        EXPECT_TRUE(BASS_StreamFree(h));
    }
}

TEST_F(EngineApi, CallsOnUnknownOrFreedHandlesAndTheirEffectsFailHarmlessly) {
    const HSTREAM freed = openDecoding(tone("tone.wav", 440, 0.5, 44100, 2));
    ASSERT_NE(freed, 0u);
    const HFX eq = BASS_ChannelSetFX(freed, BASS_FX_DX8_PARAMEQ, 0);
    const HFX reverb = BASS_ChannelSetFX(freed, BASS_FX_DX8_REVERB, 0);
    ASSERT_NE(eq, 0u);
    ASSERT_NE(reverb, 0u);
    EXPECT_NE(eq, reverb);
    BASS_DX8_PARAMEQ readBand{};
    BASS_DX8_REVERB room{0, -12, 1500, 0.3f};
    ASSERT_TRUE(BASS_FXGetParameters(eq, &readBand));
    ASSERT_TRUE(BASS_StreamFree(freed));
    // Effects die with their stream.
    EXPECT_FALSE(BASS_FXGetParameters(eq, &readBand));
    EXPECT_FALSE(BASS_FXSetParameters(reverb, &room));
    for (DWORD h : {DWORD{0}, freed, DWORD{0xDEADBEEF}}) {
        SCOPED_TRACE(h);
        EXPECT_FALSE(BASS_StreamFree(h));
        EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), kInvalid);
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), kInvalid);
        EXPECT_FALSE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
        EXPECT_LT(BASS_ChannelBytes2Seconds(h, 100), 0);
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 1.0), kInvalid);
        EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), kInvalid);
        EXPECT_EQ(BASS_ChannelGetLevel(h), static_cast<DWORD>(-1));
        EXPECT_FALSE(BASS_ChannelPlay(h, false));
        EXPECT_FALSE(BASS_ChannelPause(h));
        EXPECT_FALSE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f));
        BASS_CHANNELINFO info{};
        EXPECT_FALSE(BASS_ChannelGetInfo(h, &info));
        EXPECT_EQ(BASS_ChannelSetFX(h, BASS_FX_DX8_REVERB, 0), 0u);
        EXPECT_EQ(BASS_ChannelSetSync(h, BASS_SYNC_END, 0, [](HSYNC, DWORD, DWORD, void*) {}, nullptr), 0u);
        float buf[64];
        EXPECT_EQ(BASS_ChannelGetData(h, buf, sizeof buf | BASS_DATA_FLOAT), static_cast<DWORD>(-1));
        EXPECT_STREQ(TAGS_Read(h, "%TITL"), "");
    }
}

TEST_F(EngineApi, WithoutInitOnlyDecodingOfRealFilesWorks) {
    BASS_INFO info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_FALSE(BASS_GetInfo(&info));
    EXPECT_EQ(info.dsver, 0u);
    EXPECT_EQ(info.freq, 0u);
    EXPECT_FALSE(BASS_Free());

    const std::string path = tone("tone.mp3", 440, 0.5, 44100, 2);
    EXPECT_EQ(BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS), 0u);
    const HSTREAM h = openDecoding(path);
    ASSERT_NE(h, 0u);
    EXPECT_GT(readFrames(h, 2).size(), 0u);
    EXPECT_EQ(BASS_ChannelGetLevel(h), 0u); // nothing is heard from a decoding channel
    BASS_StreamFree(h);

    // Undecodable files and memory streams give no stream.
    const std::string notes = dir.file("notes.mp3");
    writeBytes(notes, std::vector<unsigned char>(2000, 'x'));
    EXPECT_EQ(openDecoding(notes), 0u);
    EXPECT_EQ(openDecoding(dir.file("missing.wav")), 0u);
    const auto bytes = readBytes(path);
    EXPECT_EQ(BASS_StreamCreateFile(true, bytes.data(), 0, bytes.size(), BASS_STREAM_DECODE), 0u);
}

} // namespace
