// Files as listeners really have them: chapters joined end to end, many channels, less common
// codecs, damaged timestamps and samples, hostile headers. Lengths and sound are checked against
// what was encoded or against ffmpeg's own decode of the same file.
#include "engine/bass.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

struct Stream {
    HSTREAM handle = 0;
    int rate = 0, channels = 0;
    explicit Stream(const std::string& path) {
        handle = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_STREAM_DECODE);
        BASS_CHANNELINFO info{};
        if (handle && BASS_ChannelGetInfo(handle, &info)) {
            rate = int(info.freq);
            channels = int(info.chans);
        }
    }
    ~Stream() { BASS_StreamFree(handle); }
    double seconds() const { return BASS_ChannelBytes2Seconds(handle, BASS_ChannelGetLength(handle, BASS_POS_BYTE)); }
    std::int64_t frames() const { return std::int64_t(BASS_ChannelGetLength(handle, BASS_POS_BYTE)) / channels; }
    // Interleaved frames from the current position; fewer at the end, none after a read error.
    std::vector<float> read(std::size_t frames) const {
        std::vector<float> all, block(4096 * std::size_t(channels));
        while (all.size() < frames * channels) {
            const std::size_t want = std::min(block.size(), frames * channels - all.size());
            const DWORD got = BASS_ChannelGetData(handle, block.data(), DWORD(want * sizeof(float)) | BASS_DATA_FLOAT);
            if (got == DWORD(-1) || got == 0)
                break;
            all.insert(all.end(), block.begin(), block.begin() + got / sizeof(float));
        }
        return all;
    }
    bool seekFrame(std::int64_t frame) const { return BASS_ChannelSetPosition(handle, QWORD(frame * channels), BASS_POS_BYTE); }
};

std::vector<float> channel(const std::vector<float>& frames, int channels, int c) {
    std::vector<float> out;
    for (std::size_t i = c; i < frames.size(); i += channels)
        out.push_back(frames[i]);
    return out;
}

// ffmpeg's own decode of a file, interleaved float at its own rate and channel count.
std::vector<float> ffmpegDecode(const std::string& path) {
    const std::string raw = capture("ffmpeg -nostdin -v error -i " + shellQuote(path) + " -f f32le -");
    std::vector<float> out(raw.size() / sizeof(float));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
    return out;
}

void ffmpeg(const std::string& args) { ASSERT_EQ(run("ffmpeg -nostdin -v error -y " + args), 0) << args; }

std::string concat(const TempDir& dir, const std::string& name, const std::vector<std::string>& parts) {
    std::vector<unsigned char> all;
    for (const auto& p : parts) {
        const auto bytes = readBytes(p);
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    writeBytes(dir.file(name), all);
    return dir.file(name);
}

// A 44.1 kHz mono float WAV of a 0.3 amplitude 440 Hz tone, with `damage` applied to the samples.
std::string floatWav(const TempDir& dir, const std::string& name, double seconds, void (*damage)(std::vector<float>&)) {
    const int rate = 44100;
    std::vector<float> samples(std::size_t(seconds * rate));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(0.3 * std::sin(2 * std::numbers::pi * 440 * double(i) / rate));
    damage(samples);
    const std::uint32_t data = std::uint32_t(samples.size() * 4);
    std::vector<unsigned char> bytes = {'R', 'I', 'F', 'F'};
    auto put = [&](std::vector<unsigned char> b) { bytes.insert(bytes.end(), b.begin(), b.end()); };
    auto le16 = [](int v) { return std::vector<unsigned char>{(unsigned char)v, (unsigned char)(v >> 8)}; };
    put(int32Bytes({std::int32_t(36 + data)}));
    put({'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(int32Bytes({16}));
    put(le16(3)); // IEEE float
    put(le16(1));
    put(int32Bytes({rate, rate * 4}));
    put(le16(4));
    put(le16(32));
    put({'d', 'a', 't', 'a'});
    put(int32Bytes({std::int32_t(data)}));
    bytes.resize(bytes.size() + data);
    std::memcpy(bytes.data() + bytes.size() - data, samples.data(), data);
    writeBytes(dir.file(name), bytes);
    return dir.file(name);
}

class RealWorldFiles : public ::testing::Test {
protected:
    TempDir dir;
};

// Chapters joined with cat: the channel count or the rate changes part-way, or an Ogg file
// holds one link per chapter. Each part is 1 s of its own tone and must be heard.
TEST_F(RealWorldFiles, JoinedChaptersPlayEveryPartAtItsOwnPitch) {
    struct Case {
        const char* name;
        const char* first;  // extension and ffmpeg arguments of the first part (440 Hz)
        const char* second; // of the second part (660 Hz)
        const char* ext;
    };
    const Case cases[] = {
        {"mono then stereo", "-ac 1 -ar 44100", "-ac 2 -ar 44100", "mp3"},
        {"44.1 then 48 kHz", "-ac 1 -ar 44100", "-ac 1 -ar 48000", "mp3"},
        {"chained Vorbis", "-ac 1 -ar 44100", "-ac 1 -ar 44100", "ogg"},
        {"chained Opus, mono then stereo", "-ac 1", "-ac 2", "opus"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string a = dir.file("a." + std::string(c.ext)), b = dir.file("b." + std::string(c.ext));
        ffmpeg(std::string("-f lavfi -i sine=440:d=1 ") + c.first + " " + a);
        ffmpeg(std::string("-f lavfi -i sine=660:d=1 ") + c.second + " " + b);
        const Stream s(concat(dir, std::string("joined.") + c.ext, {a, b}));
        ASSERT_NE(s.handle, 0u);
        EXPECT_NEAR(s.seconds(), 2.0, 0.1);
        const auto all = s.read(std::size_t(s.frames()));
        const auto left = channel(all, s.channels, 0);
        ASSERT_GE(left.size(), std::size_t(1.8 * s.rate));
        for (auto [from, hz] : {std::pair{0.2, 440.0}, {1.3, 660.0}}) {
            const float* part = left.data() + std::size_t(from * s.rate);
            EXPECT_GT(rms(part, s.rate / 2), 0.05) << "at " << from << " s";
            EXPECT_NEAR(dominantFrequency(part, s.rate / 2, s.rate), hz, hz * 0.02) << "at " << from << " s";
        }
        // A seek into the second part lands where a straight read has it.
        const std::int64_t at = std::int64_t(1.5 * s.rate);
        ASSERT_TRUE(s.seekFrame(at));
        const auto sought = channel(s.read(2048), s.channels, 0);
        ASSERT_EQ(sought.size(), 2048u);
        std::vector<float> difference(2048);
        for (std::size_t i = 0; i < 2048; ++i)
            difference[i] = sought[i] - left[at + i];
        EXPECT_LT(rms(difference.data(), 2048), 0.02);
    }
}

// Ten channels with a tone in the first only, and seventy (more than the resampler takes).
TEST_F(RealWorldFiles, ManyChannelsAreHeardWithoutLeaksThroughTheEffects) {
    ASSERT_EQ(run("sox -n -r 44100 -c 1 " + dir.file("tone.wav") + " synth 2 sine 440 vol 0.5"), 0);
    ASSERT_EQ(run("sox -n -r 44100 -c 1 " + dir.file("quiet.wav") + " trim 0 2"), 0);
    for (int channels : {10, 70}) {
        SCOPED_TRACE(channels);
        std::string inputs = dir.file("tone.wav");
        for (int c = 1; c < channels; ++c)
            inputs += " " + dir.file("quiet.wav");
        const std::string path = dir.file(std::to_string(channels) + ".wav");
        ASSERT_EQ(run("sox -M " + inputs + " " + path), 0);
        const Stream s(path);
        ASSERT_NE(s.handle, 0u);
        EXPECT_NEAR(s.seconds(), 2.0, 0.001);
        const BASS_DX8_PARAMEQ boost{440.0f, 12.0f, 6.0f};
        ASSERT_TRUE(BASS_FXSetParameters(BASS_ChannelSetFX(s.handle, BASS_FX_DX8_PARAMEQ, 0), &boost));
        const auto all = s.read(std::size_t(s.frames()));
        const auto first = channel(all, s.channels, 0);
        EXPECT_GT(rms(first.data(), first.size()), 0.05);
        EXPECT_NEAR(dominantFrequency(first.data(), first.size(), s.rate), 440, 5);
        // Every other output channel only carries the silent inputs.
        for (int c = 1; c < s.channels; ++c) {
            const auto other = channel(all, s.channels, c);
            EXPECT_LT(rms(other.data(), other.size()), 1e-4) << "channel " << c;
        }
    }
}

// Codecs whose demuxers once refused the engine's way to the file start, and ADPCM WAVs whose
// header byte rate does not match their blocks: lengths and seeks as ffmpeg decodes them.
TEST_F(RealWorldFiles, LessCommonCodecsOpenSeekAndLastAsFfmpegDecodesThem) {
    for (const char* file : {"t.ac3", "t.eac3", "t.tta", "t.wv", "ima.wav -c:a adpcm_ima_wav", "ms.wav -c:a adpcm_ms"}) {
        SCOPED_TRACE(file);
        const std::string spec = file, name = spec.substr(0, spec.find(' '));
        const std::string codec = spec.size() > name.size() ? spec.substr(name.size()) : "";
        ffmpeg("-f lavfi -i sine=440:d=3.02 -ac 2 " + codec + " " + dir.file(name));
        const auto truth = ffmpegDecode(dir.file(name));
        const Stream s(dir.file(name));
        ASSERT_NE(s.handle, 0u);
        EXPECT_EQ(s.frames() * s.channels, std::int64_t(truth.size()));
        for (double at : {2.1, 0.7}) {
            const std::int64_t frame = std::int64_t(at * s.rate);
            ASSERT_TRUE(s.seekFrame(frame));
            const auto sought = s.read(4096);
            ASSERT_EQ(sought.size(), 4096u * s.channels);
            std::vector<float> difference(sought.size());
            for (std::size_t i = 0; i < sought.size(); ++i)
                difference[i] = sought[i] - truth[frame * s.channels + i];
            EXPECT_LT(rms(difference.data(), difference.size()), 1e-3) << "seek to " << at << " s";
        }
    }
}

// One damaged byte anywhere in the file never makes it longer than the sound it holds.
TEST_F(RealWorldFiles, DamagedTimestampsNeverStretchTheLength) {
    ffmpeg("-f lavfi -i sine=440:d=3 -ac 1 -b:a 64k " + dir.file("t.wma"));
    ffmpeg("-f lavfi -i sine=440:d=3 -ac 1 -movflags frag_keyframe+empty_moov -frag_duration 200000 " +
           dir.file("t.m4a"));
    for (auto [name, flip] : {std::pair{"t.wma", 0x40}, {"t.m4a", 0x01}}) {
        const auto bytes = readBytes(dir.file(name));
        const std::string damaged = dir.file(std::string("damaged-") + name);
        int opened = 0;
        for (std::size_t at = 0; at < bytes.size(); at += at < 640 ? 1 : 97) {
            auto copy = bytes;
            copy[at] ^= flip;
            writeBytes(damaged, copy);
            const Stream s(damaged);
            if (!s.handle)
                continue;
            ++opened;
            EXPECT_LT(s.seconds(), 3.5) << name << " with byte " << at << " changed";
        }
        EXPECT_GT(opened, 100) << name;
    }
}

// Damaged ADTS and ALAC copies that open keep the contract: a seek to the middle reads on,
// a seek to the very end succeeds, one just before it reads exactly what is left.
TEST_F(RealWorldFiles, DamagedFilesKeepTheSeekAndReadContract) {
    ffmpeg("-f lavfi -i sine=440:d=3 -ac 1 " + dir.file("t.aac"));
    ffmpeg("-f lavfi -i sine=440:d=3 -ac 1 -c:a alac " + dir.file("t.m4a"));
    for (const char* name : {"t.aac", "t.m4a"}) {
        const auto bytes = readBytes(dir.file(name));
        const std::string damaged = dir.file(std::string("damaged-") + name);
        int opened = 0;
        for (std::size_t at = 0; at < bytes.size(); at += 97) {
            auto copy = bytes;
            copy[at] ^= 0x55;
            writeBytes(damaged, copy);
            const Stream s(damaged);
            if (!s.handle)
                continue;
            ++opened;
            SCOPED_TRACE(std::string(name) + " with byte " + std::to_string(at) + " changed");
            const std::int64_t length = s.frames();
            ASSERT_TRUE(s.seekFrame(length / 2));
            EXPECT_EQ(s.read(1024).size(), 1024u * s.channels);
            EXPECT_TRUE(s.seekFrame(length));
            ASSERT_TRUE(s.seekFrame(length - 100));
            EXPECT_EQ(s.read(4096).size(), 100u * s.channels);
        }
        EXPECT_GT(opened, 100) << name;
    }
}

// A NaN or an absurd value in a float file stays a click at most: the effects keep playing the rest.
TEST_F(RealWorldFiles, DamagedFloatSamplesDoNotPoisonTheEffects) {
    const std::string nan = floatWav(dir, "nan.wav", 3, [](std::vector<float>& s) { s[22050] = NAN; });
    const std::string huge = floatWav(dir, "huge.wav", 3, [](std::vector<float>& s) {
        for (std::size_t i = 44100; i < 44200; ++i)
            s[i] = 3e38f;
    });
    for (const std::string& path : {nan, huge}) {
        SCOPED_TRACE(path);
        const Stream s(path);
        ASSERT_NE(s.handle, 0u);
        const BASS_DX8_PARAMEQ eq{440.0f, 12.0f, 6.0f};
        ASSERT_TRUE(BASS_FXSetParameters(BASS_ChannelSetFX(s.handle, BASS_FX_DX8_PARAMEQ, 0), &eq));
        const BASS_DX8_REVERB reverb{0.0f, -6.0f, 500.0f, 0.5f};
        ASSERT_TRUE(BASS_FXSetParameters(BASS_ChannelSetFX(s.handle, BASS_FX_DX8_REVERB, 0), &reverb));
        const auto all = s.read(std::size_t(s.frames()));
        ASSERT_EQ(all.size(), 3u * 44100);
        float loudest = 0;
        for (float v : all) {
            ASSERT_TRUE(std::isfinite(v));
            loudest = std::max(loudest, std::fabs(v));
        }
        EXPECT_LT(loudest, 100.0f);
        // The last second sounds like the first: the tone through the same effects.
        const double before = rms(all.data() + 4410, 13230), after = rms(all.data() + 2 * 44100, 44100);
        EXPECT_NEAR(after, before, 0.2 * before);
    }
}

TEST_F(RealWorldFiles, TagCharactersBeyondTheBasicPlaneSurvive) {
    const std::string title = "Глава 😀 один 𝄞";
    for (const char* ext : {"mp3", "m4a", "ogg", "flac"}) {
        SCOPED_TRACE(ext);
        const std::string path = dir.file(std::string("tagged.") + ext);
        makeTone(path, 440, 0.3, 44100, 1, "-id3v2_version 3 -metadata title=" + shellQuote(title));
        const Stream s(path);
        ASSERT_NE(s.handle, 0u);
        EXPECT_EQ(std::string(TAGS_Read(s.handle, "%TITL")), title);
    }
}

// A header that declares a 2 GHz rate, and a preallocated download of zeros named .mp3: both
// are refused, at once, without the memory the header asks for.
TEST_F(RealWorldFiles, HostileFilesAreRefusedQuickly) {
    ffmpeg("-f lavfi -i sine=440:d=0.4 -ac 1 -c:a pcm_s16le " + dir.file("ghz.wav"));
    auto wav = readBytes(dir.file("ghz.wav"));
    const auto rate = int32Bytes({2'000'000'000});
    std::copy(rate.begin(), rate.end(), wav.begin() + 24); // fmt chunk's sample rate
    writeBytes(dir.file("ghz.wav"), wav);
    ASSERT_EQ(run("truncate -s 2G " + dir.file("zeros.mp3")), 0);
    for (const char* name : {"ghz.wav", "zeros.mp3"}) {
        const auto start = std::chrono::steady_clock::now();
        const Stream s(dir.file(name));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(s.handle, 0u) << name;
        // Before, these took a minute or more; the bound leaves room for a loaded machine.
        EXPECT_LT(seconds, 15.0) << name;
        std::printf("%s refused in %.2f s\n", name, seconds);
    }
    std::filesystem::remove(dir.file("zeros.mp3"));
}

} // namespace
