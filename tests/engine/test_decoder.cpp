// Decoder against real files encoded by ffmpeg at test time: lengths, linear reads, exact seeks.
#include "engine/decoder.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using engine::Decoder;
using testsupport::TempDir;

namespace {

constexpr double kSeconds = 2.0;

struct Format {
    std::string name, extension, encoderArgs;
    // Largest difference (RMS difference if rmsOnly) between samples after a seek and the same read linearly.
    float seekTolerance = 0;
    bool rmsOnly = false;
    // How far the length may stray from the generated length (codecs without gapless information).
    int lengthSlack = 0;
    int decodedRate = 0; // 0: the file's own
};

struct Case {
    Format format;
    int rate, channels;
};

// FFmpeg's AAC decoder fills noise-substituted bands from a generator that a seek does not reset,
// so single samples near transients differ; a misplaced seek still shows as a large RMS.
// WMA carries no gapless information: the decoder gives whole blocks of up to 2048 frames. Opus decodes at 48 kHz.
std::vector<Case> allCases() {
    const Format flac{"flac", "flac", "-c:a flac"}, wav16{"wav_s16", "wav", "-c:a pcm_s16le"};
    std::vector<Case> cases = {{flac, 8000, 1}, {flac, 96000, 6}, {wav16, 192000, 2}};
    for (const Format& f : {Format{"mp3", "mp3", "-c:a libmp3lame -b:a 64k", 1e-4f},
                            Format{"aac_m4a", "m4a", "-c:a aac -b:a 96k", 0.02f, true},
                            Format{"aac_m4b", "m4b", "-c:a aac -b:a 64k -f mp4", 0.02f, true},
                            Format{"vorbis", "ogg", "-c:a libvorbis -q:a 3", 1e-4f},
                            Format{"opus", "opus", "-c:a libopus -b:a 48k", 2e-3f, false, 0, 48000},
                            Format{"opus_ogg", "ogg", "-c:a libopus -b:a 48k", 2e-3f, false, 0, 48000},
                            Format{"wma", "wma", "-c:a wmav2 -b:a 64k", 1e-4f, false, 2 * 2048},
                            flac, wav16, Format{"aiff", "aiff", "-c:a pcm_s16be"}})
        for (int rate : {22050, 44100, 48000})
            for (int channels : {1, 2})
                cases.push_back({f, rate, channels});
    for (const Format& f : {Format{"wav_u8", "wav", "-c:a pcm_u8"}, Format{"wav_s24", "wav", "-c:a pcm_s24le"},
                            Format{"wav_f32", "wav", "-c:a pcm_f32le"}, Format{"aif_s24", "aif", "-c:a pcm_s24be -f aiff"}})
        cases.push_back({f, 44100, 2});
    return cases;
}

std::vector<float> readToEnd(Decoder& decoder, std::size_t chunkFrames = 1000) {
    std::vector<float> all, chunk(chunkFrames * decoder.channels());
    while (std::size_t got = decoder.read(chunk.data(), chunkFrames))
        all.insert(all.end(), chunk.begin(), chunk.begin() + got * decoder.channels());
    return all;
}

class DecoderFormats : public testing::TestWithParam<Case> {};

TEST_P(DecoderFormats, LengthMatchesLinearReadAndSeeksAreExact) {
    const auto& [format, fileRate, ch] = GetParam();
    const TempDir dir;
    const std::string path = dir.file("tone." + format.extension);
    // A stepped tone: every position sounds different, so an off-by-some seek shows.
    testsupport::makeSteppedTone(path, 300, 37, 8, kSeconds / 8, fileRate, ch, format.encoderArgs);
    auto decoder = Decoder::open(path);
    ASSERT_NE(decoder, nullptr) << path;
    const int rate = format.decodedRate ? format.decodedRate : fileRate;
    EXPECT_EQ(decoder->sampleRate(), rate);
    ASSERT_EQ(decoder->channels(), ch);
    const std::int64_t length = decoder->lengthFrames();
    EXPECT_LE(std::abs(length - std::llround(kSeconds * rate)), format.lengthSlack);

    // Odd chunk size so reads straddle the codec's own frames.
    const std::vector<float> linear = readToEnd(*decoder, 777);
    ASSERT_EQ(std::int64_t(linear.size() / ch), length);
    // The tone is really there, at full scale (not silence or noise).
    EXPECT_GT(testsupport::rms(linear.data() + linear.size() / 2, linear.size() / 4), 0.1);

    const std::size_t window = 2048;
    std::vector<float> afterSeek(window * ch);
    for (std::int64_t target : {std::int64_t{1}, std::int64_t{1103}, length / 2 + 577, length - 1, length}) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(decoder->seek(target));
        EXPECT_EQ(decoder->position(), target);
        const std::size_t expected = std::size_t(std::min<std::int64_t>(window, length - target));
        ASSERT_EQ(decoder->read(afterSeek.data(), window), expected);
        std::vector<float> difference(expected * ch);
        float worst = 0;
        for (std::size_t i = 0; i < difference.size(); ++i)
            worst = std::max(worst, difference[i] = std::abs(afterSeek[i] - linear[target * ch + i]));
        if (!expected) // the very end is a valid place with nothing left to read
            continue;
        EXPECT_LE(format.rmsOnly ? testsupport::rms(difference.data(), difference.size()) : worst,
                  format.seekTolerance);
    }
    EXPECT_FALSE(decoder->seek(length + 1));
    EXPECT_FALSE(decoder->seek(-1));
    EXPECT_EQ(decoder->position(), length);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DecoderFormats, testing::ValuesIn(allCases()), [](const auto& info) {
    return info.param.format.name + "_" + std::to_string(info.param.rate) + "_" +
           (info.param.channels == 1 ? "mono" : "stereo");
});

} // namespace
