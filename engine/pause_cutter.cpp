#include "engine/pause_cutter.h"

#include <algorithm>
#include <cmath>

namespace engine {

namespace {

// Blocks quieter than this never tell the level of the speech (the noise of a silent room).
constexpr float speechFloorDb = -75;
// Blocks this close below the speech level are speech too, and refine it.
constexpr float speechRangeDb = 20;
// Sound further below but not this far may be a voice grown much quieter: the level sinks
// towards it. A silence deeper than this never moves it, however long the pause.
constexpr float sinkRangeDb = 50;
// Per block: the level rises at once to louder speech and settles slowly on softer speech;
// it sinks by 1 dB a second.
constexpr float attack = 0.5f;
constexpr float release = 0.02f;
constexpr float sinkDbPerBlock = 0.01f;

} // namespace

PauseCutter::PauseCutter(int sampleRate, int channels)
    : channels_(static_cast<std::size_t>(std::max(channels, 1))),
      blockFrames_(static_cast<std::size_t>(std::max(sampleRate * blockMs / 1000, 1))),
      blockSamples_(blockFrames_ * channels_), lookaheadBlocks_(lookaheadMs / blockMs),
      halfKeptBlocks_(keptPauseMs / 2 / blockMs), longBlocks_(longPauseMs / blockMs) {}

void PauseCutter::setEnabled(bool enabled) {
    if (enabled_ && !enabled) {
        endRun();
        emit(in_.data() + inHead_, (in_.size() - inHead_) / channels_);
        in_.clear();
        inHead_ = 0;
        levels_.clear();
    }
    enabled_ = enabled;
}

void PauseCutter::put(const float* frames, std::size_t count) {
    finished_ = false;
    in_.insert(in_.end(), frames, frames + count * channels_);
    // Measures the blocks now whole; they are judged once the lookahead after them is in.
    for (auto at = inHead_ + levels_.size() * blockSamples_; at + blockSamples_ <= in_.size(); at += blockSamples_) {
        const float level = blockLevel(in_.data() + at);
        followSpeech(level);
        levels_.push_back(level);
    }
    judge(false);
}

void PauseCutter::finish() {
    judge(true);
    endRun();
    emit(in_.data() + inHead_, (in_.size() - inHead_) / channels_);
    in_.clear();
    inHead_ = 0;
    finished_ = true;
}

std::size_t PauseCutter::receive(float* out, std::size_t maxFrames, std::int64_t& skipped) {
    skipped = 0;
    if (!cuts_.empty() && cuts_.front().at == received_) {
        skipped = cuts_.front().skipped;
        cuts_.pop_front();
    }
    std::size_t count = std::min(maxFrames, ready());
    if (!cuts_.empty())
        count = std::min(count, static_cast<std::size_t>(cuts_.front().at - received_));
    std::copy_n(out_.begin() + static_cast<std::ptrdiff_t>(outHead_), count * channels_, out);
    outHead_ += count * channels_;
    received_ += static_cast<std::int64_t>(count);
    if (outHead_ == out_.size()) {
        out_.clear();
        outHead_ = 0;
    }
    return count;
}

void PauseCutter::clear() {
    in_.clear();
    inHead_ = 0;
    levels_.clear();
    run_ = 0;
    held_.clear();
    out_.clear();
    outHead_ = 0;
    given_ = 0;
    received_ = 0;
    cuts_.clear();
    finished_ = false;
}

float PauseCutter::blockLevel(const float* block) const {
    double sum = 0;
    for (std::size_t i = 0; i < blockSamples_; ++i)
        sum += static_cast<double>(block[i]) * block[i];
    return static_cast<float>(10 * std::log10(sum / static_cast<double>(blockSamples_) + 1e-20));
}

void PauseCutter::followSpeech(float level) {
    if (!speechKnown_) {
        speechKnown_ = level > speechFloorDb;
        speechDb_ = level;
    } else if (level > speechDb_) {
        speechDb_ += (level - speechDb_) * attack;
    } else if (level > speechDb_ - speechRangeDb) {
        speechDb_ += (level - speechDb_) * release;
    } else if (level > speechDb_ - sinkRangeDb) {
        speechDb_ = std::max(speechDb_ - sinkDbPerBlock, speechFloorDb);
    }
}

void PauseCutter::judge(bool all) {
    while (levels_.size() > static_cast<std::size_t>(lookaheadBlocks_) || (all && !levels_.empty())) {
        const float level = levels_.front();
        // Speech ahead judges too: a softer voice coming is not taken for a pause's noise.
        const float ahead = levels_.size() > 1 ? *std::max_element(levels_.begin() + 1, levels_.end()) : speechDb_;
        const float around = ahead > speechDb_ - quietDb ? std::min(speechDb_, ahead) : speechDb_;
        const float* block = in_.data() + inHead_;
        if (speechKnown_ && level <= around - quietDb) {
            quietBlock(block);
        } else {
            endRun();
            emit(block, blockFrames_);
        }
        inHead_ += blockSamples_;
        levels_.pop_front();
    }
    if (inHead_ * 2 > in_.size()) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inHead_));
        inHead_ = 0;
    }
}

void PauseCutter::quietBlock(const float* block) {
    if (++run_ <= halfKeptBlocks_) {
        emit(block, blockFrames_);
        return;
    }
    held_.insert(held_.end(), block, block + blockSamples_);
    // A long pause needs only its first held block (to fade out from) and its last half-kept part.
    const std::size_t heldBlocks = held_.size() / blockSamples_;
    const auto needed = static_cast<std::size_t>(1 + halfKeptBlocks_);
    if (run_ > longBlocks_ && heldBlocks >= 2 * needed) {
        const auto from = held_.begin() + static_cast<std::ptrdiff_t>(blockSamples_);
        held_.erase(from, from + static_cast<std::ptrdiff_t>((heldBlocks - needed) * blockSamples_));
    }
}

void PauseCutter::endRun() {
    if (run_ > longBlocks_) {
        // The last half-kept part follows the first, its first block faded in over the block
        // that followed the first part.
        const std::size_t heldBlocks = held_.size() / blockSamples_;
        const float* last = held_.data() + (heldBlocks - static_cast<std::size_t>(halfKeptBlocks_)) * blockSamples_;
        const auto skippedBlocks = static_cast<std::int64_t>(run_ - 2 * halfKeptBlocks_);
        cuts_.push_back({given_, skippedBlocks * static_cast<std::int64_t>(blockFrames_)});
        fade_.resize(blockSamples_);
        for (std::size_t f = 0; f < blockFrames_; ++f) {
            const float mix = static_cast<float>(f + 1) / static_cast<float>(blockFrames_ + 1);
            for (std::size_t c = 0; c < channels_; ++c) {
                const std::size_t i = f * channels_ + c;
                fade_[i] = held_[i] * (1 - mix) + last[i] * mix;
            }
        }
        emit(fade_.data(), blockFrames_);
        emit(last + blockSamples_, static_cast<std::size_t>(halfKeptBlocks_ - 1) * blockFrames_);
    } else {
        emit(held_.data(), held_.size() / channels_);
    }
    held_.clear();
    run_ = 0;
}

void PauseCutter::emit(const float* frames, std::size_t count) {
    out_.insert(out_.end(), frames, frames + count * channels_);
    given_ += static_cast<std::int64_t>(count);
}

} // namespace engine
