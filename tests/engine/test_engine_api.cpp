// The engine's operations on decoding channels, which need no sound server: byte units,
// sample-exact seeking, effects and volume through BASS_ChannelGetData, handle hygiene.
#include "engine/bass.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

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

// Reads every remaining float frame of a decoding channel.
std::vector<float> readAll(HSTREAM h, int channels) {
    std::vector<float> all;
    std::vector<float> block(4096 * channels);
    for (;;) {
        const DWORD got = BASS_ChannelGetData(h, block.data(), (block.size() * sizeof(float)) | BASS_DATA_FLOAT);
        if (got == static_cast<DWORD>(-1))
            break;
        all.insert(all.end(), block.begin(), block.begin() + got / sizeof(float));
    }
    return all;
}

std::vector<float> readFrames(HSTREAM h, int channels, std::size_t frames) {
    std::vector<float> out(frames * channels);
    const DWORD got = BASS_ChannelGetData(h, out.data(), (out.size() * sizeof(float)) | BASS_DATA_FLOAT);
    out.resize(got == static_cast<DWORD>(-1) ? 0 : got / sizeof(float));
    return out;
}

double decibels(double ratio) { return 20 * std::log10(ratio); }

class EngineApi : public ::testing::Test {
protected:
    TempDir dir;
};

struct Format {
    int rate;
    int channels;
};

class ByteUnits : public ::testing::TestWithParam<Format> {
protected:
    TempDir dir;
};

TEST_P(ByteUnits, LengthPositionAndConversionsCountFramesTimesChannels) {
    const auto [rate, channels] = GetParam();
    const double seconds = 1.5;
    const std::string path = dir.file("tone.wav");
    makeTone(path, 440, seconds, rate, channels);
    const HSTREAM h = openDecoding(path);
    ASSERT_NE(h, 0u);

    const QWORD frames = static_cast<QWORD>(std::llround(seconds * rate));
    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), frames * channels);
    EXPECT_NEAR(BASS_ChannelBytes2Seconds(h, frames * channels), seconds, 1e-9);
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), std::filesystem::file_size(path));

    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
    EXPECT_EQ(info.freq, static_cast<DWORD>(rate));
    EXPECT_EQ(info.chans, static_cast<DWORD>(channels));
    EXPECT_EQ(std::string(info.filename), path);

    for (double t : {0.0, 0.25, 0.3333, 1.0 / rate * 7.5, 1.4999}) {
        const QWORD bytes = BASS_ChannelSeconds2Bytes(h, t);
        EXPECT_EQ(bytes % channels, 0u) << t;
        EXPECT_EQ(bytes, static_cast<QWORD>(std::floor(t * rate)) * channels) << t;
        const double back = BASS_ChannelBytes2Seconds(h, bytes);
        EXPECT_LE(back, t + 1e-12);
        EXPECT_GT(back, t - 1.0 / rate);
    }

    // The position counts what has been read, in the same unit.
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), 0u);
    EXPECT_EQ(readFrames(h, channels, 1000).size(), 1000u * channels);
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), 1000u * channels);
    EXPECT_EQ(readAll(h, channels).size(), (frames - 1000) * channels);
    EXPECT_TRUE(BASS_StreamFree(h));
}

INSTANTIATE_TEST_SUITE_P(RatesAndLayouts, ByteUnits,
                         ::testing::Values(Format{22050, 1}, Format{44100, 2}, Format{48000, 1}, Format{48000, 2}),
                         [](const auto& info) {
                             return std::to_string(info.param.rate) + "Hz_" + std::to_string(info.param.channels) + "ch";
                         });

TEST_F(EngineApi, SeekIsSampleExactInWavAndFlac) {
    for (const char* ext : {"wav", "flac"}) {
        const std::string path = dir.file(std::string("steps.") + ext);
        makeSteppedTone(path, 300, 150, 6, 0.25, 44100, 2);
        const HSTREAM h = openDecoding(path);
        ASSERT_NE(h, 0u) << ext;
        const std::vector<float> linear = readAll(h, 2);
        ASSERT_EQ(linear.size(), BASS_ChannelGetLength(h, BASS_POS_BYTE)) << ext;

        // Step boundaries, odd frames, and a byte position inside a frame (rounds down).
        for (QWORD target : {QWORD{0}, QWORD{2 * 11025}, QWORD{2 * 12345}, QWORD{2 * 33075 + 1}, QWORD{2 * 50001}}) {
            ASSERT_TRUE(BASS_ChannelSetPosition(h, target, BASS_POS_BYTE)) << ext << " " << target;
            const QWORD frame = target / 2;
            EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), frame * 2);
            const auto after = readFrames(h, 2, 64);
            ASSERT_EQ(after.size(), 128u);
            for (std::size_t i = 0; i < after.size(); ++i)
                ASSERT_EQ(after[i], linear[frame * 2 + i]) << ext << " target " << target << " sample " << i;
        }
        BASS_StreamFree(h);
    }
}

TEST_F(EngineApi, SeekOutsideTheStreamIsRefusedAndKeepsThePosition) {
    const std::string path = dir.file("tone.wav");
    makeTone(path, 440, 1.0, 44100, 2);
    const HSTREAM h = openDecoding(path);
    ASSERT_NE(h, 0u);
    const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    readFrames(h, 2, 500);
    const QWORD before = BASS_ChannelGetPosition(h, BASS_POS_BYTE);

    EXPECT_FALSE(BASS_ChannelSetPosition(h, length + 2, BASS_POS_BYTE));
    EXPECT_FALSE(BASS_ChannelSetPosition(h, static_cast<QWORD>(-4), BASS_POS_BYTE));
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), before);

    // The very end is a valid place: nothing is left to read.
    EXPECT_TRUE(BASS_ChannelSetPosition(h, length, BASS_POS_BYTE));
    std::vector<float> buf(256);
    EXPECT_EQ(BASS_ChannelGetData(h, buf.data(), (buf.size() * sizeof(float)) | BASS_DATA_FLOAT),
              static_cast<DWORD>(-1));
    BASS_StreamFree(h);
}

TEST_F(EngineApi, VolumeAndEqualiserChangeTheLevelAsAsked) {
    const std::string path = dir.file("tone.wav");
    makeTone(path, 1000, 2.0, 44100, 1);
    const int skip = 44100 / 2; // past volume ramps and filter transients

    const HSTREAM plain = openDecoding(path);
    ASSERT_NE(plain, 0u);
    const auto reference = readAll(plain, 1);
    const double referenceRms = rms(reference.data() + skip, reference.size() - skip);
    BASS_StreamFree(plain);

    const HSTREAM quiet = openDecoding(path);
    ASSERT_TRUE(BASS_ChannelSetAttribute(quiet, BASS_ATTRIB_VOL, 0.5f));
    const auto halved = readAll(quiet, 1);
    EXPECT_NEAR(decibels(rms(halved.data() + skip, halved.size() - skip) / referenceRms), -6.02, 0.5);
    BASS_StreamFree(quiet);

    const HSTREAM boosted = openDecoding(path);
    const HFX eq = BASS_ChannelSetFX(boosted, BASS_FX_DX8_PARAMEQ, 0);
    ASSERT_NE(eq, 0u);
    const BASS_DX8_PARAMEQ band{1000, 12, 10};
    ASSERT_TRUE(BASS_FXSetParameters(eq, &band));
    const auto louder = readAll(boosted, 1);
    EXPECT_NEAR(decibels(rms(louder.data() + skip, louder.size() - skip) / referenceRms), 10.0, 0.5);
    BASS_StreamFree(boosted);
}

TEST_F(EngineApi, EffectParametersRoundTripClampAndDieWithTheirStream) {
    const std::string path = dir.file("tone.wav");
    makeTone(path, 440, 0.5, 44100, 2);
    const HSTREAM h = openDecoding(path);
    ASSERT_NE(h, 0u);
    const HFX eq = BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, 0);
    const HFX reverb = BASS_ChannelSetFX(h, BASS_FX_DX8_REVERB, 0);
    ASSERT_NE(eq, 0u);
    ASSERT_NE(reverb, 0u);
    EXPECT_NE(eq, reverb);

    const BASS_DX8_PARAMEQ band{3000, 18, -4.5f};
    ASSERT_TRUE(BASS_FXSetParameters(eq, &band));
    BASS_DX8_PARAMEQ readBand{};
    ASSERT_TRUE(BASS_FXGetParameters(eq, &readBand));
    EXPECT_FLOAT_EQ(readBand.fCenter, 3000);
    EXPECT_FLOAT_EQ(readBand.fBandwidth, 18);
    EXPECT_FLOAT_EQ(readBand.fGain, -4.5f);

    const BASS_DX8_PARAMEQ wild{5, 100, 40};
    ASSERT_TRUE(BASS_FXSetParameters(eq, &wild));
    ASSERT_TRUE(BASS_FXGetParameters(eq, &readBand));
    EXPECT_FLOAT_EQ(readBand.fCenter, 80);
    EXPECT_FLOAT_EQ(readBand.fBandwidth, 36);
    EXPECT_FLOAT_EQ(readBand.fGain, 15);

    BASS_DX8_REVERB room{};
    ASSERT_TRUE(BASS_FXGetParameters(reverb, &room));
    room.fReverbMix = -12;
    room.fReverbTime = 5000;
    ASSERT_TRUE(BASS_FXSetParameters(reverb, &room));
    BASS_DX8_REVERB readRoom{};
    ASSERT_TRUE(BASS_FXGetParameters(reverb, &readRoom));
    EXPECT_FLOAT_EQ(readRoom.fReverbMix, -12);
    EXPECT_FLOAT_EQ(readRoom.fReverbTime, 3000);

    ASSERT_TRUE(BASS_StreamFree(h));
    EXPECT_FALSE(BASS_FXGetParameters(eq, &readBand));
    EXPECT_FALSE(BASS_FXSetParameters(reverb, &room));
    EXPECT_EQ(BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, 0), 0u);
}

TEST_F(EngineApi, CallsOnUnknownOrFreedHandlesFailHarmlessly) {
    const std::string path = dir.file("tone.wav");
    makeTone(path, 440, 0.5, 44100, 2);
    const HSTREAM freed = openDecoding(path);
    ASSERT_NE(freed, 0u);
    ASSERT_TRUE(BASS_StreamFree(freed));

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

TEST_F(EngineApi, UndecodableFilesGiveNoStream) {
    const std::string text = dir.file("notes.mp3");
    writeBytes(text, std::vector<unsigned char>(2000, 'x'));
    const std::string empty = dir.file("empty.flac");
    writeBytes(empty, {});
    const std::string truncated = dir.file("cut.ogg");
    makeTone(dir.file("full.ogg"), 440, 1.0, 44100, 2);
    auto bytes = readBytes(dir.file("full.ogg"));
    bytes.resize(60);
    writeBytes(truncated, bytes);
    std::filesystem::create_directory(dir.file("folder.mp3"));

    for (const std::string& path : {text, empty, truncated, dir.file("folder.mp3"), dir.file("missing.wav")}) {
        EXPECT_EQ(openDecoding(path), 0u) << path;
        EXPECT_EQ(BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS), 0u) << path;
    }
    // Memory streams are not offered.
    const std::string good = dir.file("good.wav");
    makeTone(good, 440, 0.2, 44100, 1);
    const auto goodBytes = readBytes(good);
    EXPECT_EQ(BASS_StreamCreateFile(true, goodBytes.data(), 0, goodBytes.size(), BASS_STREAM_DECODE), 0u);
}

TEST_F(EngineApi, WithoutInitOnlyDecodingWorks) {
    BASS_INFO info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_FALSE(BASS_GetInfo(&info));
    EXPECT_EQ(info.dsver, 0u);
    EXPECT_EQ(info.freq, 0u);
    EXPECT_FALSE(BASS_Free());
    EXPECT_EQ(BASS_PluginLoad("bass_aac.dll", 0), 0u);
    EXPECT_EQ(BASS_GetVersion() >> 16, TELLWICK_ENGINE_INTERFACE);

    const std::string path = dir.file("tone.mp3");
    makeTone(path, 440, 0.5, 44100, 2);
    EXPECT_EQ(BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_SAMPLE_8BITS), 0u);
    const HSTREAM h = openDecoding(path);
    ASSERT_NE(h, 0u);
    EXPECT_GT(readAll(h, 2).size(), 0u);
    EXPECT_EQ(BASS_ChannelGetLevel(h), 0u); // nothing is heard from a decoding channel
    BASS_StreamFree(h);
}

} // namespace
