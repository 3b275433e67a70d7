// Prints how long opening a file takes, its length, and how long seeks anywhere in it take.
// Usage: bench_engine_decoder_open FILE
#include "engine/decoder.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {
double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    auto decoder = engine::Decoder::open(argv[1]);
    const double openMs = millisecondsSince(start);
    if (!decoder) {
        std::printf("cannot open %s\n", argv[1]);
        return 1;
    }
    const std::int64_t length = decoder->lengthFrames();
    std::printf("open: %.1f ms\nrate %d Hz, %d channels, %lld frames (%.2f s), %lld bytes\n", openMs,
                decoder->sampleRate(), decoder->channels(), static_cast<long long>(length),
                double(length) / decoder->sampleRate(), static_cast<long long>(decoder->fileSize()));

    std::vector<float> buffer(4096 * static_cast<std::size_t>(decoder->channels()));
    double worstMs = 0, totalMs = 0;
    const int seeks = 21;
    for (int i = 0; i < seeks; ++i) {
        // Spread over the whole file, alternating ends so no seek is a short hop forward.
        const int slot = i % 2 ? i : seeks - 1 - i;
        const std::int64_t target = length * slot / (seeks - 1) - (slot == seeks - 1 ? 4096 : 0);
        start = std::chrono::steady_clock::now();
        const bool ok = decoder->seek(target < 0 ? 0 : target) && decoder->read(buffer.data(), 4096) > 0;
        const double ms = millisecondsSince(start);
        std::printf("seek to %5.1f%% + first read: %.2f ms%s\n", 100.0 * slot / (seeks - 1), ms, ok ? "" : " FAILED");
        worstMs = ms > worstMs ? ms : worstMs;
        totalMs += ms;
    }
    std::printf("seek + read: mean %.2f ms, worst %.2f ms\n", totalMs / seeks, worstMs);
    return 0;
}
