// Levels: the peaks of what was written to the server, kept per short block of output frames,
// so the level reported is that of the sound being heard, not of the sound being written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "engine/bass.h"

namespace engine {

class PeakHistory {
public:
    // Frames first..first+count of the segment's output, interleaved; a range written again
    // (a rewrite of what the server holds) replaces what was recorded for it.
    void record(const float* frames, std::size_t count, int channels, std::int64_t first);
    // Left level in the low word, right in the high (0..32768), over the `span` frames up to `heard`.
    DWORD levelAt(std::int64_t heard, std::int64_t span) const;
    void clear() { blocks_.clear(); }

private:
    struct Block {
        std::int64_t start;
        std::int64_t end;
        float left;
        float right;
    };
    std::deque<Block> blocks_;
};

} // namespace engine
