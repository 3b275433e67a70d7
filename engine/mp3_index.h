// MP3 frame index: every frame header walked once, so that seeks land on exact frames.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace engine {

struct Mp3FrameHeader {
    int frameBytes;
    int samplesPerFrame;
    int sampleRate;
    bool mpeg1;
    bool mono;
};

// Layer III frame headers only; free-format frames are not walkable and count as invalid.
std::optional<Mp3FrameHeader> parseMp3Header(const unsigned char* h);

// Frames at another sample rate than the stream's are resampled, so they count by their
// duration at the stream's rate; the fractional part carries on from frame to frame.
struct Mp3Clock {
    double exact = 0;
    std::int64_t unit() const { return std::llround(exact); }
    void advance(const Mp3FrameHeader& h, int streamRate) { exact += double(h.samplesPerFrame) * streamRate / h.sampleRate; }
};

struct Mp3SeekPoint {
    std::int64_t pos;
    Mp3Clock clock; // at this frame's start
};

struct Mp3Scan {
    std::int64_t frames = 0;
    std::int64_t units = 0; // the frames' duration at the stream's rate
    std::vector<Mp3SeekPoint> seekPoints; // every 32nd frame
    std::int64_t endDiscard = 0;          // encoder padding at the end, as the LAME tag states it
};

// Walks every frame header from the first audio frame FFmpeg delivers (or the first frame
// after its first packet's place), so that each seek point knows its exact place at the
// stream's rate.
std::optional<Mp3Scan> scanMp3(const std::string& path, std::int64_t firstAudioPos, int sampleRate, std::int64_t fileSize);

} // namespace engine
