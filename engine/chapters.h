// A file's chapter marks as its demuxer read them, made safe to navigate by.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AVFormatContext;

namespace engine {

struct Chapter {
    std::int64_t startFrame; // on the decoder's frame timeline (0 = the first frame heard)
    std::string title;       // UTF-8, never empty
};

// The file's chapters in order: sorted, marks that repeat or crowd a neighbour merged, marks
// outside 0..lengthFrames or of no length dropped, titles cleaned. The first starts at frame 0
// (sound before the first mark belongs to it); each ends where the next starts, the last at the
// file's end. Fewer than two usable marks: none (the file plays as one piece).
std::vector<Chapter> readChapters(const AVFormatContext& format, int sampleRate, std::int64_t lengthFrames);

} // namespace engine
