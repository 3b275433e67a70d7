// MP3 frame index: every frame header walked once, so that seeks land on exact frames.
#pragma once

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

struct Mp3SeekPoint {
    std::int64_t pos;
    std::int64_t frameIndex;
};

struct Mp3Scan {
    std::int64_t frames = 0;
    std::vector<Mp3SeekPoint> seekPoints; // every 32nd frame
    std::int64_t endDiscard = 0;          // encoder padding at the end, as the LAME tag states it
};

// Walks every frame header from the first audio frame FFmpeg delivers, so that each
// seek point knows its exact frame number.
std::optional<Mp3Scan> scanMp3(const std::string& path, std::int64_t firstAudioPos, int sampleRate, std::int64_t fileSize);

} // namespace engine
