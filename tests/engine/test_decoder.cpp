// Decoder against real files encoded by ffmpeg at test time: lengths, linear reads, exact seeks
// and the files it must refuse.
#include "engine/decoder.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

using engine::Decoder;
using testsupport::TempDir;

namespace {

constexpr double kSeconds = 2.0;

struct Format {
    const char* name;
    const char* extension;
    const char* encoderArgs;
    bool lossless;
    // How far the length may stray from the generated length (codecs without gapless information).
    int lengthSlack;
    // Tolerance when comparing samples after a seek with the same samples read linearly:
    // the largest difference, or for AAC the RMS of the difference.
    float seekTolerance;
};

struct Case {
    Format format;
    int rate;
    int channels;
};

std::string caseName(const testing::TestParamInfo<Case>& info) {
    std::ostringstream name;
    name << info.param.format.name << "_" << info.param.rate << "_" << (info.param.channels == 1 ? "mono" : "stereo");
    return name.str();
}

const Format kMp3{"mp3", "mp3", "-c:a libmp3lame -b:a 64k", false, 0, 1e-4f};
// FFmpeg's AAC decoder fills noise-substituted bands from a generator that a seek does not reset,
// so single samples near transients differ; a misplaced seek still shows as a large RMS.
const Format kM4a{"aac_m4a", "m4a", "-c:a aac -b:a 96k", false, 0, 0.02f};
const Format kM4b{"aac_m4b", "m4b", "-c:a aac -b:a 64k -f mp4", false, 0, 0.02f};
const Format kVorbis{"vorbis", "ogg", "-c:a libvorbis -q:a 3", false, 0, 1e-4f};
const Format kOpus{"opus", "opus", "-c:a libopus -b:a 48k", false, 0, 2e-3f};
const Format kOpusInOgg{"opus_ogg", "ogg", "-c:a libopus -b:a 48k", false, 0, 2e-3f};
// WMA carries no gapless information: the decoder gives whole blocks of up to 2048 frames.
const Format kWma{"wma", "wma", "-c:a wmav2 -b:a 64k", false, 2 * 2048, 1e-4f};
const Format kFlac{"flac", "flac", "-c:a flac", true, 0, 0};
const Format kWav16{"wav_s16", "wav", "-c:a pcm_s16le", true, 0, 0};
const Format kWav8{"wav_u8", "wav", "-c:a pcm_u8", true, 0, 0};
const Format kWav24{"wav_s24", "wav", "-c:a pcm_s24le", true, 0, 0};
const Format kWav32{"wav_s32", "wav", "-c:a pcm_s32le", true, 0, 0};
const Format kWavFloat{"wav_f32", "wav", "-c:a pcm_f32le", true, 0, 0};
const Format kAiff{"aiff", "aiff", "-c:a pcm_s16be", true, 0, 0};
const Format kAif{"aif_s24", "aif", "-c:a pcm_s24be -f aiff", true, 0, 0};

std::vector<Case> allCases() {
    std::vector<Case> cases;
    for (const Format& f : {kMp3, kM4a, kM4b, kVorbis, kOpus, kOpusInOgg, kWma, kFlac, kWav16, kAiff})
        for (int rate : {22050, 44100, 48000})
            for (int channels : {1, 2})
                cases.push_back({f, rate, channels});
    for (const Format& f : {kWav8, kWav24, kWav32, kWavFloat, kAif})
        cases.push_back({f, 44100, 2});
    cases.push_back({kFlac, 8000, 1});
    cases.push_back({kFlac, 96000, 6});
    cases.push_back({kWav16, 192000, 2});
    return cases;
}

// Opus always decodes at 48 kHz.
int decodedRate(const Case& c) {
    return std::string(c.format.extension) == "opus" || std::string(c.format.name) == "opus_ogg" ? 48000 : c.rate;
}

std::vector<float> readToEnd(Decoder& decoder, std::size_t chunkFrames = 1000) {
    std::vector<float> all;
    std::vector<float> chunk(chunkFrames * decoder.channels());
    while (std::size_t got = decoder.read(chunk.data(), chunkFrames))
        all.insert(all.end(), chunk.begin(), chunk.begin() + got * decoder.channels());
    return all;
}

class DecoderFormats : public testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() { dir_ = std::make_unique<TempDir>(); }
    static void TearDownTestSuite() { dir_.reset(); }

    std::string fixture() {
        const Case& c = GetParam();
        std::ostringstream name;
        name << c.format.name << "_" << c.rate << "_" << c.channels << "." << c.format.extension;
        const std::string path = dir_->file(name.str());
        // A stepped tone: every position sounds different, so an off-by-some seek shows.
        testsupport::makeSteppedTone(path, 300, 37, 8, kSeconds / 8, c.rate, c.channels, c.format.encoderArgs);
        return path;
    }

    static std::unique_ptr<TempDir> dir_;
};
std::unique_ptr<TempDir> DecoderFormats::dir_;

TEST_P(DecoderFormats, LengthMatchesLinearReadAndSeeksAreExact) {
    const Case& c = GetParam();
    const std::string path = fixture();
    auto decoder = Decoder::open(path);
    ASSERT_NE(decoder, nullptr) << path;
    const int rate = decodedRate(c);
    EXPECT_EQ(decoder->sampleRate(), rate);
    ASSERT_EQ(decoder->channels(), c.channels);
    EXPECT_EQ(decoder->fileSize(), std::int64_t(std::filesystem::file_size(path)));
    EXPECT_EQ(decoder->position(), 0);

    const std::int64_t generated = std::llround(kSeconds * rate);
    const std::int64_t length = decoder->lengthFrames();
    EXPECT_LE(std::abs(length - generated), c.format.lengthSlack) << "generated " << generated;

    // Odd chunk size so reads straddle the codec's own frames.
    const std::vector<float> linear = readToEnd(*decoder, 777);
    const int ch = c.channels;
    ASSERT_EQ(std::int64_t(linear.size() / ch), length);
    EXPECT_EQ(decoder->position(), length);
    float scratch[16];
    EXPECT_EQ(decoder->read(scratch, 1), 0u);
    // The tone is really there, at full scale (not silence or noise).
    EXPECT_GT(testsupport::rms(linear.data() + linear.size() / 2, linear.size() / 4), 0.1);

    const std::int64_t targets[] = {0, 1, 1103, length / 3, length / 2 + 577, length - 4097, length - 1};
    const std::size_t window = 2048;
    std::vector<float> afterSeek(window * ch);
    for (std::int64_t target : targets) {
        ASSERT_TRUE(decoder->seek(target)) << target;
        EXPECT_EQ(decoder->position(), target);
        const std::size_t expected = std::size_t(std::min<std::int64_t>(window, length - target));
        ASSERT_EQ(decoder->read(afterSeek.data(), window), expected) << target;
        float worst = 0;
        std::vector<float> difference(expected * ch);
        for (std::size_t i = 0; i < expected * ch; ++i) {
            difference[i] = afterSeek[i] - linear[target * ch + i];
            worst = std::max(worst, std::abs(difference[i]));
        }
        if (c.format.lossless)
            EXPECT_EQ(worst, 0.0f) << "seek to " << target;
        else if (std::string(c.format.extension) == "m4a" || std::string(c.format.extension) == "m4b")
            EXPECT_LE(testsupport::rms(difference.data(), difference.size()), c.format.seekTolerance) << "seek to " << target;
        else
            EXPECT_LE(worst, c.format.seekTolerance) << "seek to " << target;
    }

    // Seeking to the very end is allowed and reads nothing; beyond it nothing changes.
    ASSERT_TRUE(decoder->seek(length));
    EXPECT_EQ(decoder->read(scratch, 1), 0u);
    ASSERT_TRUE(decoder->seek(1000));
    EXPECT_FALSE(decoder->seek(length + 1));
    EXPECT_FALSE(decoder->seek(-1));
    EXPECT_EQ(decoder->position(), 1000);
    ASSERT_EQ(decoder->read(afterSeek.data(), 10), 10u);
    for (int i = 0; i < 10 * ch; ++i)
        EXPECT_NEAR(afterSeek[i], linear[1000 * ch + i], c.format.lossless ? 0.0f : 0.1f);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DecoderFormats, testing::ValuesIn(allCases()), caseName);

class DecoderRefuses : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(DecoderRefuses, FilesWithoutAudio) {
    EXPECT_EQ(Decoder::open(dir.file("missing.mp3")), nullptr);
    EXPECT_EQ(Decoder::open(dir.path()), nullptr);

    testsupport::writeBytes(dir.file("empty.mp3"), {});
    EXPECT_EQ(Decoder::open(dir.file("empty.mp3")), nullptr);

    std::mt19937 random(7);
    std::vector<unsigned char> noise(64 * 1024);
    for (auto& b : noise)
        b = static_cast<unsigned char>(random());
    testsupport::writeBytes(dir.file("noise.mp3"), noise);
    EXPECT_EQ(Decoder::open(dir.file("noise.mp3")), nullptr);

    const std::string text = "Chapter one.\nIt was a bright cold day in April.\n";
    testsupport::writeBytes(dir.file("notes.txt"), {text.begin(), text.end()});
    EXPECT_EQ(Decoder::open(dir.file("notes.txt")), nullptr);

    // A CD track link as Windows shows it: RIFF form "CDDA" with a "fmt " chunk, 44 bytes.
    std::vector<unsigned char> cda = {'R', 'I', 'F', 'F', 36, 0, 0, 0, 'C', 'D', 'D', 'A', 'f', 'm', 't', ' ', 24, 0, 0, 0,
                                      1,   0,   2,   0,   0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    testsupport::writeBytes(dir.file("Track01.cda"), cda);
    EXPECT_EQ(Decoder::open(dir.file("Track01.cda")), nullptr);
}

TEST_F(DecoderRefuses, TruncatedMp3AndVideoWithoutSound) {
    const std::string full = dir.file("full.mp3");
    testsupport::makeTone(full, 440, 1.0, 44100, 2, "-c:a libmp3lame");
    std::vector<unsigned char> bytes = testsupport::readBytes(full);
    ASSERT_GT(bytes.size(), 2000u);
    // The ID3 tag and the Info frame only: headers, no audio frame.
    const std::vector<unsigned char> headerOnly(bytes.begin(), bytes.begin() + 400);
    testsupport::writeBytes(dir.file("cut.mp3"), headerOnly);
    EXPECT_EQ(Decoder::open(dir.file("cut.mp3")), nullptr);

    const std::string silentVideo = dir.file("picture.mkv");
    ASSERT_EQ(testsupport::run("ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=red:s=64x64:d=1 -c:v ffv1 " +
                               testsupport::shellQuote(silentVideo)),
              0);
    EXPECT_EQ(Decoder::open(silentVideo), nullptr);
}

TEST(DecoderDamage, TruncatedFilesStillAgreeWithThemselves) {
    TempDir dir;
    for (const char* ext : {"mp3", "flac", "ogg", "m4a"}) {
        const std::string full = dir.file(std::string("full.") + ext);
        testsupport::makeTone(full, 440, 3.0, 44100, 1);
        std::vector<unsigned char> bytes = testsupport::readBytes(full);
        // Cut in the middle of the audio: what is left must still play, and length agree with reads.
        bytes.resize(bytes.size() * 2 / 3);
        const std::string cut = dir.file(std::string("cut.") + ext);
        testsupport::writeBytes(cut, bytes);
        auto decoder = Decoder::open(cut);
        if (!decoder) {
            // MP4 keeps its index at the end: cut there, the file has no usable audio.
            EXPECT_STREQ(ext, "m4a");
            continue;
        }
        const std::int64_t length = decoder->lengthFrames();
        EXPECT_GT(length, 44100) << ext;
        EXPECT_LT(length, 3 * 44100) << ext;
        EXPECT_EQ(std::int64_t(readToEnd(*decoder).size()), length) << ext;
    }
}

} // namespace
