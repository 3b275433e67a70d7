#include "engine/levels.h"

#include <algorithm>
#include <cmath>

namespace engine {

namespace {

// About 5 ms at the usual rates.
constexpr std::size_t blockFrames = 256;
// Enough history for everything buffered between the output and the listener.
constexpr std::size_t historyBlocks = 1024;

DWORD levelWord(float peak) { return static_cast<DWORD>(std::min(32768.0f, std::round(std::fabs(peak) * 32768.0f))); }

} // namespace

void PeakHistory::record(const float* frames, std::size_t count, int channels, std::int64_t first) {
    while (!blocks_.empty() && blocks_.back().end > first)
        blocks_.pop_back();
    const int right = channels > 1 ? 1 : 0;
    for (std::size_t begin = 0; begin < count; begin += blockFrames) {
        const std::size_t end = std::min(count, begin + blockFrames);
        Block block{first + static_cast<std::int64_t>(begin), first + static_cast<std::int64_t>(end), 0, 0};
        for (std::size_t f = begin; f < end; ++f) {
            block.left = std::max(block.left, std::fabs(frames[f * channels]));
            block.right = std::max(block.right, std::fabs(frames[f * channels + right]));
        }
        blocks_.push_back(block);
    }
    while (blocks_.size() > historyBlocks)
        blocks_.pop_front();
}

DWORD PeakHistory::levelAt(std::int64_t heard, std::int64_t span) const {
    float left = 0, right = 0;
    for (const auto& block : blocks_) {
        if (block.end > heard - span && block.start <= heard) {
            left = std::max(left, block.left);
            right = std::max(right, block.right);
        }
    }
    return levelWord(left) | (levelWord(right) << 16);
}

} // namespace engine
