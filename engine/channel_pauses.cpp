// Shorter pauses in a playing channel's chain: the stage after the stretcher, and the cuts it
// makes marked on the timeline so that positions keep counting the file's own frames.
#include "engine/channel.h"

namespace engine {

void Channel::setPauseShortening(bool on) {
    std::lock_guard lock(mutex_);
    if (released_ || decodingOnly_ || pauses_.enabled() == on)
        return;
    pauses_.setEnabled(on);
    // Heard at once: what the server holds and has not begun to play goes through the chain
    // again from the raw frames, as for a new speed.
    speedChanged_ = true;
    wakeOutput();
}

double Channel::timeSaved() {
    std::lock_guard lock(mutex_);
    if (released_)
        return -1;
    // Counts the cuts heard by now.
    heardFrameLocked(false);
    return timeline_.savedSeconds();
}

std::size_t Channel::shortenLocked(float* frames, std::size_t maxFrames, bool& ended) {
    if (!pauses_.active())
        return stretchLocked(frames, maxFrames, ended);
    bool sourceEnded = false;
    while (pauses_.enabled() && pauses_.ready() == 0 && !pauses_.finished()) {
        const std::size_t got = stretchLocked(frames, maxFrames, sourceEnded);
        if (got == 0) {
            if (sourceEnded)
                pauses_.finish();
            break;
        }
        pauses_.put(frames, got);
    }
    std::int64_t skipped = 0;
    const std::size_t got = pauses_.receive(frames, maxFrames, skipped);
    ended = got == 0 && pauses_.finished();
    if (skipped > 0) {
        // The stretched frames left out carry the file's at the listening speed.
        const auto fileFrames = static_cast<std::int64_t>(static_cast<double>(skipped) * tempo_.speed());
        const auto gathered = pendingOutput_.size() / static_cast<std::size_t>(effectChannels_);
        const std::int64_t output = writtenFrames_ + static_cast<std::int64_t>(gathered);
        timeline_.markCut(output, fileFrames, static_cast<double>(skipped) / rate_);
    }
    return got;
}

} // namespace engine
