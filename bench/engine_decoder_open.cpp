// How long opening a file takes, and how long seeks anywhere in it take; then how long opening
// an hour of CD-quality FLAC takes whose header leaves its length 0 (as streaming encoders write).
// Usage: bench_engine_decoder_open [FILE]  (without one: 20 minutes of 128 kbit/s MP3 made by ffmpeg)
#include "engine/decoder.h"
#include "result.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {
double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
} // namespace

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : "";
    std::filesystem::path made;
    if (path.empty()) {
        char tmpl[] = "/tmp/tellwick-bench-XXXXXX";
        made = mkdtemp(tmpl);
        path = (made / "long.mp3").string();
        const std::string make = "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'sine=frequency=440:duration=1200' "
                                 "-ac 2 -ar 44100 -b:a 128k " + path;
        if (std::system(make.c_str()) != 0)
            return 1;
    }
    auto start = std::chrono::steady_clock::now();
    auto decoder = engine::Decoder::open(path);
    const double openMs = millisecondsSince(start);
    if (!decoder) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return 1;
    }
    const std::int64_t length = decoder->lengthFrames();
    std::vector<float> buffer(4096 * static_cast<std::size_t>(decoder->channels()));
    double worstMs = 0, totalMs = 0;
    const int seeks = 21;
    bool allRead = true;
    for (int i = 0; i < seeks; ++i) {
        // Spread over the whole file, alternating ends so no seek is a short hop forward.
        const int slot = i % 2 ? i : seeks - 1 - i;
        const std::int64_t target = length * slot / (seeks - 1) - (slot == seeks - 1 ? 4096 : 0);
        start = std::chrono::steady_clock::now();
        allRead = decoder->seek(target < 0 ? 0 : target) && decoder->read(buffer.data(), 4096) > 0 && allRead;
        const double ms = millisecondsSince(start);
        worstMs = ms > worstMs ? ms : worstMs;
        totalMs += ms;
    }
    Result("decoder: open a long MP3 (exact length)", openMs, "ms");
    Result("decoder: seek anywhere + first read, mean", totalMs / seeks, "ms");
    Result("decoder: seek anywhere + first read, worst", worstMs, "ms");
    Result("decoder: every seek read its frames", allRead ? 1 : 0, "", ">=1");

    char flacDir[] = "/tmp/tellwick-bench-XXXXXX";
    const std::filesystem::path flacMade = mkdtemp(flacDir);
    const std::string flac = (flacMade / "no-length.flac").string();
    const std::string makeFlac = "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'sine=frequency=440:duration=3600' "
                                 "-ac 2 -ar 44100 -c:a flac " + flac;
    if (std::system(makeFlac.c_str()) != 0)
        return 1;
    {
        // STREAMINFO's 36-bit total samples, right after the "fLaC" mark and the block header.
        std::fstream file(flac, std::ios::in | std::ios::out | std::ios::binary);
        char low = 0;
        file.seekg(21);
        file.get(low);
        const char zeros[5] = {char(low & 0xF0), 0, 0, 0, 0};
        file.seekp(21);
        file.write(zeros, sizeof zeros);
    }
    start = std::chrono::steady_clock::now();
    const auto noLength = engine::Decoder::open(flac);
    Result("decoder: open an hour of FLAC without a length", millisecondsSince(start), "ms", "<500");
    const double found = noLength ? double(noLength->lengthFrames()) / noLength->sampleRate() : -1;
    Result("decoder: its length found, in seconds", found, "s", "3600");
    std::filesystem::remove_all(flacMade);
    if (!made.empty())
        std::filesystem::remove_all(made);
    return 0;
}
