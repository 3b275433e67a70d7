// Files as listeners really have them: chapters joined end to end, less common codecs, damaged
// bytes and samples. Lengths and sound are checked against what was encoded or ffmpeg's decode.
#include "engine/bass.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
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
        if (handle && BASS_ChannelGetInfo(handle, &info))
            rate = int(info.freq), channels = int(info.chans);
    }
    ~Stream() { BASS_StreamFree(handle); }
    std::int64_t frames() const { return std::int64_t(BASS_ChannelGetLength(handle, BASS_POS_BYTE)) / channels; }
    // Interleaved frames from the current position (all by default); fewer at the end.
    std::vector<float> read(std::size_t frames = std::size_t{1} << 40) const {
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
    // RMS difference between what a seek to `frame` reads and `truth` (interleaved) from there.
    double seekError(std::int64_t frame, const std::vector<float>& truth, std::size_t n = 2048) const {
        EXPECT_TRUE(seekFrame(frame));
        const auto sought = read(n);
        EXPECT_EQ(sought.size(), n * channels);
        std::vector<float> d(sought.size());
        for (std::size_t i = 0; i < d.size(); ++i)
            d[i] = sought[i] - truth[frame * channels + i];
        return rms(d.data(), d.size());
    }
};

std::vector<float> channel(const std::vector<float>& frames, int channels, int c) {
    std::vector<float> out;
    for (std::size_t i = c; i < frames.size(); i += channels)
        out.push_back(frames[i]);
    return out;
}

// The byte rate in the fmt chunk of a WAV as ffmpeg writes it (no chunks before fmt).
void scaleWavByteRate(std::vector<unsigned char>& wav, double by) {
    std::int32_t rate = 0;
    std::memcpy(&rate, wav.data() + 28, 4);
    rate = std::int32_t(rate * by);
    std::memcpy(wav.data() + 28, &rate, 4);
}

void ffmpeg(const std::string& args) { ASSERT_EQ(run("ffmpeg -nostdin -v error -y " + args), 0) << args; }

class RealWorldFiles : public ::testing::Test {
protected:
    std::string concat(const std::string& name, const std::vector<std::string>& parts) {
        std::vector<unsigned char> all;
        for (const auto& p : parts) {
            const auto bytes = readBytes(p);
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
        writeBytes(dir.file(name), all);
        return dir.file(name);
    }
    TempDir dir;
};

// Chapters joined with cat: the channel count or the rate changes part-way, or an Ogg file
// holds one link per chapter (three links, or links numbered alike as bit-exact encodes are).
// Part k is 1 s of its own tone (440, 660, 880 Hz) and must be heard.
TEST_F(RealWorldFiles, JoinedChaptersPlayEveryPartAtItsOwnPitch) {
    const std::string same = "-ac 1 -fflags +bitexact";
    for (const auto& [ext, parts] : {std::pair<std::string, std::vector<std::string>>{"mp3", {"-ac 1", "-ac 2"}},
                                     {"mp3", {"-ac 1 -ar 44100", "-ac 1 -ar 48000"}},
                                     {"ogg", {"-ac 1", "-ac 1"}}, {"ogg", {"-ac 1", "-ac 2", "-ac 1"}},
                                     {"ogg", {same, same}}, {"opus", {"-ac 1", "-ac 2"}},
                                     {"opus", {"-ac 1", "-ac 1", "-ac 2"}}, {"opus", {same, same, same}}}) {
        std::vector<std::string> files;
        std::string trace = ext;
        for (const std::string& args : parts) {
            files.push_back(dir.file(std::to_string(files.size()) + "." + ext));
            ffmpeg("-f lavfi -i sine=" + std::to_string(440 + 220 * (files.size() - 1)) + ":d=1:r=44100 " + args +
                   " " + files.back());
            trace += " / " + args;
        }
        SCOPED_TRACE(trace);
        const Stream s(concat("joined." + ext, files));
        ASSERT_NE(s.handle, 0u);
        const double seconds = double(parts.size());
        EXPECT_NEAR(double(s.frames()) / s.rate, seconds, 0.1);
        const auto all = s.read();
        const auto left = channel(all, s.channels, 0);
        ASSERT_GE(left.size(), std::size_t((seconds - 0.2) * s.rate));
        for (std::size_t k = 0; k < parts.size(); ++k) {
            const float* part = left.data() + std::size_t((double(k) + 0.3) * s.rate);
            const double hz = 440.0 + 220.0 * double(k);
            EXPECT_GT(rms(part, s.rate / 2), 0.05) << "part " << k;
            EXPECT_NEAR(dominantFrequency(part, s.rate / 2, s.rate), hz, hz * 0.02) << "part " << k;
        }
        // A seek into the last part lands where a straight read has it.
        EXPECT_LT(s.seekError(std::int64_t((seconds - 0.5) * s.rate), all), 0.02);
    }
}

// Codecs whose demuxers once refused the engine's way to the file start; ADPCM WAVs whose
// header byte rate does not match their blocks, ADPCM AIFF-C whose byte rate FFmpeg rounds, and
// PCM WAVs whose byte rate is twice or half the true one; a FLAC whose header leaves its length 0, as streaming encoders write it; MP3s
// with zeros, junk or an APEv2 tag before the first frame: lengths, reads and seeks as ffmpeg
// decodes them. An Ogg file with pages missing keeps the sound after the gap in its place; AAC
// silence, packed into far fewer bytes a second than sound, keeps its whole length.
TEST_F(RealWorldFiles, LessCommonCodecsOpenSeekAndLastAsFfmpegDecodesThem) {
    using Bytes = std::vector<unsigned char>;
    using Patch = void (*)(Bytes&);
    const Patch noFlacLength = [](Bytes& b) { b[21] &= 0xF0, std::fill_n(b.begin() + 22, 4, 0); }; // STREAMINFO's
    const Patch doubleByteRate = [](Bytes& b) { scaleWavByteRate(b, 2.0); };
    const Patch halfByteRate = [](Bytes& b) { scaleWavByteRate(b, 0.5); };
    const std::string pcm = "-c:a pcm_s16le -fflags +bitexact -map_metadata -1", mp3 = "-id3v2_version 0";
    // More than the 64 KiB FFmpeg looks past for the first frame.
    const Patch zerosFirst = [](Bytes& b) { b.insert(b.begin(), 70000, 0); };
    // Past all the probe looks at: a file of zeros is refused unread, zeros then audio are not.
    const Patch zerosBeyondProbe = [](Bytes& b) { b.insert(b.begin(), 2 << 20, 0); };
    const Patch junkFirst = [](Bytes& b) { b.insert(b.begin(), 70000, 'x'); };
    const Patch apeFirst = [](Bytes& b) { // an APEv2 header (no footer) and one 70,000-byte item
        Bytes tag = int32Bytes({2000, 70016, 1, std::int32_t(0xE0000000), 0, 0, 70000, 0});
        tag.insert(tag.begin(), {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X'});
        for (char c : std::string("Comment") + '\0' + std::string(70000, 'y'))
            tag.push_back(static_cast<unsigned char>(c));
        b.insert(b.begin(), tag.begin(), tag.end());
    };
    const Patch dropOggPages = [](Bytes& b) { // from about a third of the file to over half, as a damaged download
        const std::string mark = "OggS";
        const auto from = std::search(b.begin() + std::ptrdiff_t(b.size() / 3), b.end(), mark.begin(), mark.end());
        b.erase(from, std::search(b.begin() + std::ptrdiff_t(b.size() * 11 / 20), b.end(), mark.begin(), mark.end()));
    };
    // An IMA-ADPCM AIFF-C block keeps only the top of its predictor, so decoding from a block
    // differs slightly from a straight read; a seek a frame or more off differs far more.
    struct Row {
        const char* name;
        std::string codec;
        Patch patch = nullptr;
        double seconds = 3.02, tolerance = 1e-3;
        bool truthAsMade = false; // the patch loses sound: compare with the file before it
    };
    for (const Row& row : {Row{"t.ac3", ""}, Row{"t.eac3", ""}, Row{"t.tta", ""}, Row{"t.wv", ""},
                           Row{"ima.wav", "-c:a adpcm_ima_wav"}, Row{"ms.wav", "-c:a adpcm_ms"},
                           Row{"ima.aifc", "-c:a adpcm_ima_qt -f aiff", nullptr, 40, 0.008},
                           Row{"nolength.flac", "", noFlacLength}, Row{"double.wav", pcm, doubleByteRate},
                           Row{"half.wav", pcm, halfByteRate}, Row{"zeros.mp3", mp3, zerosFirst},
                           Row{"junk.mp3", mp3, junkFirst}, Row{"ape.mp3", mp3, apeFirst},
                           Row{"late.mp3", mp3, zerosBeyondProbe},
                           Row{"gap.ogg", "-c:a libvorbis", dropOggPages, 10, 1e-3, true},
                           Row{"silent.aac", "-ar 8000 -af volume=0", nullptr, 60}}) {
        const std::string name = row.name;
        SCOPED_TRACE(name);
        ffmpeg("-f lavfi -i sine=440:d=" + std::to_string(row.seconds) + " -ac 2 " + row.codec + " " + dir.file(name));
        auto bytes = readBytes(dir.file(name));
        const auto decoded = [&] {
            const std::string raw = capture("ffmpeg -nostdin -v error -i " + shellQuote(dir.file(name)) + " -f f32le -");
            std::vector<float> samples(raw.size() / sizeof(float));
            std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
            return samples;
        };
        const std::vector<float> asMade = row.truthAsMade ? decoded() : std::vector<float>{};
        if (row.patch)
            row.patch(bytes);
        writeBytes(dir.file(name), bytes);
        const std::vector<float> truth = row.truthAsMade ? asMade : decoded();
        const Stream s(dir.file(name));
        ASSERT_NE(s.handle, 0u);
        EXPECT_EQ(s.frames() * s.channels, std::int64_t(truth.size()));
        // A straight read ends as the truth does.
        const auto all = s.read();
        ASSERT_EQ(all.size(), truth.size());
        std::vector<float> end(4096 * std::size_t(s.channels));
        for (std::size_t i = 0; i < end.size(); ++i)
            end[i] = all[all.size() - end.size() + i] - truth[truth.size() - end.size() + i];
        EXPECT_LT(rms(end.data(), end.size()), row.tolerance) << "read straight to the end";
        for (double at : {row.seconds - 0.92, 0.7})
            EXPECT_LT(s.seekError(std::int64_t(at * s.rate), truth, 4096), row.tolerance) << "seek to " << at << " s";
        EXPECT_FALSE(s.seekFrame(s.frames() + 1)) << "past the end";
    }
}

// One damaged byte never makes a file longer than its sound; damaged ADTS, ALAC and fragmented
// MP4 copies keep the contract: a seek onto the damaged packet (as ffprobe lists them) or just
// before the end is refused (rarely) or reads exactly to the end; a seek to the very end succeeds.
TEST_F(RealWorldFiles, DamagedFilesNeverStretchAndKeepTheSeekAndReadContract) {
    const std::string fragmented = "-movflags frag_keyframe+empty_moov -frag_duration 200000";
    for (auto [name, args, flip, contract] :
         {std::tuple{"t.wma", std::string("-b:a 64k"), 0x40, false}, {"f.m4a", fragmented, 0x01, false},
          {"f.m4a", fragmented, 0x55, true}, {"t.aac", "", 0x55, true}, {"a.m4a", "-c:a alac", 0x55, true}}) {
        ffmpeg("-f lavfi -i sine=440:d=3 -ac 1 " + args + " " + dir.file(name));
        const auto bytes = readBytes(dir.file(name));
        std::map<std::size_t, double> packetTimes; // by first byte
        std::istringstream packets(capture("ffprobe -v error -show_entries packet=pts_time,pos -of csv=p=0 " +
                                           shellQuote(dir.file(name))));
        for (std::string line; std::getline(packets, line);) {
            double time = 0;
            if (std::size_t pos = 0; std::sscanf(line.c_str(), "%lf,%zu", &time, &pos) == 2)
                packetTimes[pos] = time;
        }
        const std::string damaged = dir.file(std::string("damaged-") + name);
        int opened = 0, refused = 0;
        for (std::size_t at = 0; at < bytes.size(); at += at < 640 && !contract ? 1 : 97) {
            auto copy = bytes;
            copy[at] ^= flip;
            writeBytes(damaged, copy);
            const Stream s(damaged);
            if (!s.handle)
                continue;
            ++opened;
            SCOPED_TRACE(std::string(name) + " with byte " + std::to_string(at) + " changed");
            const std::int64_t length = s.frames();
            EXPECT_LT(length, 3.5 * s.rate);
            if (!contract)
                continue;
            const auto packet = packetTimes.upper_bound(at);
            const double time = packet == packetTimes.begin() ? 1.5 : std::prev(packet)->second;
            const std::int64_t target = std::min(std::int64_t(time * s.rate), length - 1);
            for (std::int64_t from : {target, length - 100}) {
                if (s.seekFrame(from))
                    EXPECT_EQ(s.read().size(), std::size_t(length - from) * s.channels) << "from " << from;
                else
                    ++refused;
            }
            EXPECT_TRUE(s.seekFrame(length));
        }
        EXPECT_GT(opened, 100) << name;
        EXPECT_LT(refused, opened / 10) << name;
    }
}

// A NaN or an absurd value in a float file stays a click at most: the effects keep playing the rest.
TEST_F(RealWorldFiles, DamagedFloatSamplesDoNotPoisonTheEffects) {
    makeTone(dir.file("tone.wav"), 440, 3, 44100, 1, "-c:a pcm_f32le -fflags +bitexact -map_metadata -1");
    const auto clean = readBytes(dir.file("tone.wav"));
    const std::size_t data = std::string(clean.begin(), clean.end()).find("data") + 8;
    for (auto [value, from, count] : {std::tuple{NAN, 22050, 1}, {3e38f, 44100, 100}}) {
        SCOPED_TRACE(value);
        auto bytes = clean;
        for (int i = 0; i < count; ++i)
            std::memcpy(bytes.data() + data + 4 * (from + i), &value, 4);
        writeBytes(dir.file("damaged.wav"), bytes);
        const Stream s(dir.file("damaged.wav"));
        ASSERT_NE(s.handle, 0u);
        const BASS_DX8_PARAMEQ eq{440.0f, 12.0f, 6.0f};
        ASSERT_TRUE(BASS_FXSetParameters(BASS_ChannelSetFX(s.handle, BASS_FX_DX8_PARAMEQ, 0), &eq));
        const BASS_DX8_REVERB reverb{0.0f, -6.0f, 500.0f, 0.5f};
        ASSERT_TRUE(BASS_FXSetParameters(BASS_ChannelSetFX(s.handle, BASS_FX_DX8_REVERB, 0), &reverb));
        const auto all = s.read();
        ASSERT_EQ(all.size(), 3u * 44100);
        for (float v : all)
            ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 100.0f);
        // The last second sounds like the first: the tone through the same effects.
        const double before = rms(all.data() + 4410, 13230), after = rms(all.data() + 2 * 44100, 44100);
        EXPECT_NEAR(after, before, 0.2 * before);
    }
}

// Ten channels with a tone in the first only, and seventy (more than the resampler takes): the
// tone is heard, through the effects, and leaks into no other channel.
TEST_F(RealWorldFiles, ManyChannelsAreHeardWithoutLeaksThroughTheEffects) {
    ASSERT_EQ(run("sox -n -r 44100 -c 1 " + dir.file("tone.wav") + " synth 2 sine 440 vol 0.5"), 0);
    ASSERT_EQ(run("sox -n -r 44100 -c 1 " + dir.file("quiet.wav") + " trim 0 2"), 0);
    for (int count : {10, 70}) {
        SCOPED_TRACE(count);
        std::string inputs = dir.file("tone.wav");
        for (int c = 1; c < count; ++c)
            inputs += " " + dir.file("quiet.wav");
        const std::string path = dir.file(std::to_string(count) + ".wav");
        ASSERT_EQ(run("sox -M " + inputs + " " + path), 0);
        const Stream s(path);
        ASSERT_NE(s.handle, 0u);
        EXPECT_EQ(s.frames(), 2 * s.rate);
        const BASS_DX8_PARAMEQ boost{440.0f, 12.0f, 6.0f};
        ASSERT_TRUE(BASS_FXSetParameters(BASS_ChannelSetFX(s.handle, BASS_FX_DX8_PARAMEQ, 0), &boost));
        const auto all = s.read(std::size_t(s.frames()));
        const auto first = channel(all, s.channels, 0);
        EXPECT_GT(rms(first.data(), first.size()), 0.05);
        EXPECT_NEAR(dominantFrequency(first.data(), first.size(), s.rate), 440, 5);
        for (int c = 1; c < s.channels; ++c) {
            const auto other = channel(all, s.channels, c);
            EXPECT_LT(rms(other.data(), other.size()), 1e-4) << "channel " << c;
        }
    }
}

// Titles with characters beyond the Basic Multilingual Plane come out of every tag format whole;
// a header that declares a 2 GHz rate and a preallocated download of zeros named .mp3 are
// refused at once, without the memory the header asks for.
TEST_F(RealWorldFiles, WideTagCharactersSurviveAndHostileFilesAreRefusedQuickly) {
    const std::string title = "Глава 😀 один 𝄞";
    for (const char* ext : {"mp3", "m4a", "ogg", "flac"}) {
        const std::string path = dir.file(std::string("tagged.") + ext);
        makeTone(path, 440, 0.3, 44100, 1, "-id3v2_version 3 -metadata title=" + shellQuote(title));
        const Stream s(path);
        ASSERT_NE(s.handle, 0u) << ext;
        EXPECT_EQ(std::string(TAGS_Read(s.handle, "%TITL")), title) << ext;
    }
    ffmpeg("-f lavfi -i sine=440:d=0.4 -ac 1 -c:a pcm_s16le " + dir.file("ghz.wav"));
    auto wav = readBytes(dir.file("ghz.wav"));
    const auto rate = int32Bytes({2'000'000'000});
    std::copy(rate.begin(), rate.end(), wav.begin() + 24); // the fmt chunk's sample rate
    writeBytes(dir.file("ghz.wav"), wav);
    ASSERT_EQ(run("truncate -s 2G " + dir.file("zeros.mp3")), 0);
    for (const char* name : {"ghz.wav", "zeros.mp3"}) {
        const auto start = std::chrono::steady_clock::now();
        const Stream s(dir.file(name));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(s.handle, 0u) << name;
        // Before, these took a minute or more; the bound leaves room for a loaded machine.
        EXPECT_LT(seconds, 15.0) << name;
    }
    std::remove(dir.file("zeros.mp3").c_str());
}

// Every container's chapter lists come out as titles and starts in the engine's units; broken
// lists are sorted, merged and cut down to what can be navigated, and too few marks leave a
// plain file.
TEST_F(RealWorldFiles, ChaptersFromEveryFormatAndHostileLists) {
    struct Case {
        std::string file, args;
        std::vector<ChapterMark> marks;
        std::vector<std::pair<int, std::string>> expected; // start (ms), title
    };
    const std::vector<ChapterMark> three = {{0, 3000, "Один"}, {3000, 7000, "Два; = #"}, {7000, 10000, "Три"}};
    const std::vector<std::pair<int, std::string>> threeOut = {{0, "Один"}, {3000, "Два; = #"}, {7000, "Три"}};
    std::string longTitle;
    while (longTitle.size() < 600)
        longTitle += "Ж";
    const std::string mp3 = "-c:a libmp3lame -id3v2_version ";
    const std::vector<Case> cases = {
        {"both.m4b", "-c:a aac -f mp4", three, threeOut}, // the Nero list and the QuickTime track
        {"track.m4b", "-c:a aac -f mp4 -movflags +disable_chpl", three, threeOut},
        {"book.m4a", "-c:a aac", three, threeOut},
        {"v3.mp3", mp3 + "3", three, threeOut},
        {"v4.mp3", mp3 + "4", three, threeOut},
        {"comments.ogg", "-c:a libopus", three, threeOut}, // CHAPTERxxx comments
        {"untitled.mp3", mp3 + "4", {{0, 3000, ""}, {3000, 7000, "ch0"}, {7000, 10000, ""}}, // ids ch0, ch1, ch2; TIT2 empty
         {{0, "Глава 1"}, {3000, "ch0"}, {7000, "Глава 3"}}},
        {"plain.mka", "-c:a flac", three, threeOut},
        {"unsorted.mp3", mp3 + "3", {{7000, 10000, "C"}, {0, 3000, "A"}, {3000, 7000, "B"}},
         {{0, "A"}, {3000, "B"}, {7000, "C"}}},
        {"overlapping.mp3", mp3 + "3", {{0, 5000, "A"}, {3000, 8000, "B"}, {3000, 9000, "B2"}, {3200, 9000, "B3"}},
         {{0, "A"}, {3000, "B"}}},
        {"zero_and_past.mp3", mp3 + "3", {{0, 4000, "A"}, {2000, 2000, "Z"}, {5000, 6000, "B"}, {12000, 13000, "X"}},
         {{0, "A"}, {5000, "B"}}},
        {"titles.mka", "-c:a flac", {{1000, 5000, "\tПервая\x01  глава\x7f"}, {5000, 8000, ""}, {8000, 10000, longTitle}},
         {{0, "Первая глава"}, {5000, "Глава 2"}, {8000, longTitle.substr(0, 400)}}},
        {"one.mka", "-c:a flac", {{0, 10000, "A"}}, {}},
        {"unusable.mka", "-c:a flac", {{10500, 11000, "X"}, {12000, 13000, "Y"}}, {}},
    };
    ffmpeg("-f lavfi -i sine=440:d=10 -ac 1 -ar 44100 " + dir.file("tone.wav"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ffmpeg("-i " + dir.file("tone.wav") + chapterArgs(dir.file("meta.txt"), c.marks) + " " + c.args + " " +
               dir.file(c.file));
        const Stream s(dir.file(c.file));
        ASSERT_NE(s.handle, 0u);
        std::vector<TELLWICK_CHAPTER> got(8);
        const DWORD count = BASS_ChannelGetChapters(s.handle, got.data(), 8);
        ASSERT_EQ(count, c.expected.size());
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_NEAR(double(got[i].start), double(std::llround(c.expected[i].first * s.rate / 1000.0) * s.channels),
                        s.channels) << i;
            EXPECT_EQ(got[i].title, c.expected[i].second) << i;
        }
    }
    // Thousands of marks in both of an m4b's lists open as a plain file does.
    std::vector<ChapterMark> many;
    for (int i = 0; i < 3000; ++i)
        many.push_back({i * 600, (i + 1) * 600, "Часть " + std::to_string(i + 1)});
    ffmpeg("-f lavfi -i sine=440:d=1800:r=8000" + chapterArgs(dir.file("meta.txt"), many) +
           " -ac 1 -c:a alac -f mp4 " + dir.file("many.m4b"));
    const Stream s(dir.file("many.m4b"));
    ASSERT_NE(s.handle, 0u);
    std::vector<TELLWICK_CHAPTER> got(3000);
    ASSERT_EQ(BASS_ChannelGetChapters(s.handle, got.data(), 3000), 3000u);
    EXPECT_EQ(got[2999].start, QWORD(2999 * 600 * 8));
    EXPECT_EQ(std::string(got[2999].title), "Часть 3000");
}

} // namespace
