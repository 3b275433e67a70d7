// Changes heard at once. The server holds a long buffer (few wake-ups, little CPU), so the
// effects and the volume run on frames as they are written, and a change writes again what
// the server holds and has not begun to play: from the frames kept as they were before the
// effects, through fresh effects warmed up on the frames before, and the volume as it stood;
// for a new speed, from the raw frames through the stretcher again.
#include "engine/channel.h"

extern "C" {
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <utility>

namespace engine {

namespace {

// What the server may already be playing ahead of its reported place is left alone.
constexpr int rewriteMarginMs = 30;
// Fresh effects hear this much before the place they start writing from.
constexpr int warmUpMs = 300;
// The old and the new sound are crossfaded over this, so an effect change never clicks.
constexpr int crossfadeMs = 5;
// Changes coming faster than this (a dragged slider) are gathered into one rewrite.
constexpr auto rewriteInterval = std::chrono::milliseconds(40);
// Never more kept than this, whatever the server says.
constexpr int maxHeldMs = 2500;

} // namespace

void Channel::processForOutputLocked(float* frames, std::size_t count, int channels) {
    const auto samples = count * static_cast<std::size_t>(channels);
    heldDry_.append(frames, samples);
    for (auto& slot : effects_)
        slot.effect->process(frames, count);
    heldWet_.append(frames, samples);
    volumeMarks_.push_back({writtenFrames_, volume_, level_});
    level_.process(frames, count);
    volume_.process(frames, count, channels);
}

void Channel::trimHeldLocked() {
    const int rate = stream_->rate();
    const auto heard = heardOutputLocked(false);
    const std::int64_t keepFrom =
        std::max(heard ? *heard - rate * warmUpMs / 1000 : 0, writtenFrames_ - std::int64_t{rate} * maxHeldMs / 1000);
    // Kept from a volume mark on, so the volume can be run on from it.
    std::size_t marks = 0;
    while (marks + 1 < volumeMarks_.size() && volumeMarks_[marks + 1].frame <= keepFrom)
        ++marks;
    if (marks == 0)
        return;
    const std::int64_t start = volumeMarks_[marks].frame;
    volumeMarks_.erase(volumeMarks_.begin(), volumeMarks_.begin() + static_cast<std::ptrdiff_t>(marks));
    const auto drop = static_cast<std::size_t>((start - heldStart_) * stream_->channels());
    heldDry_.dropFront(drop);
    heldWet_.dropFront(drop);
    heldStart_ = start;
    // Raw frames: from the one heard on.
    const auto rawHeld = static_cast<std::int64_t>(heldRaw_.size() / channels_);
    const std::int64_t rawDrop = std::clamp<std::int64_t>(timeline_.fileFrameAt(start) - (nextFileFrame_ - rawHeld), 0, rawHeld);
    heldRaw_.dropFront(static_cast<std::size_t>(rawDrop * channels_));
}

bool Channel::rewriteHeldLocked() {
    if (!effectsChanged_ && !volumeRequest_ && !speedChanged_ && !levelRequest_)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastRewrite_ < rewriteInterval)
        return false;
    const bool effectsChanged = std::exchange(effectsChanged_, false);
    const bool speedChanged = std::exchange(speedChanged_, false);
    const auto request = std::exchange(volumeRequest_, std::nullopt);
    const auto levelRequest = std::exchange(levelRequest_, std::nullopt);
    const auto heard = heardOutputLocked(false);
    if (!stream_ || state_ == State::Ended || volumeMarks_.empty() || !heard)
        return true; // nothing held: the change applies to what is written next
    lastRewrite_ = now;
    const int rate = stream_->rate();
    const int channels = stream_->channels();
    const std::int64_t from = std::max(*heard + rate * rewriteMarginMs / 1000, heldStart_);
    if (from >= writtenFrames_)
        return true;
    const auto at = [&](std::int64_t frame) { return static_cast<std::size_t>((frame - heldStart_) * channels); };
    const auto count = static_cast<std::size_t>(writtenFrames_ - from);
    const std::int64_t rawStart = nextFileFrame_ - static_cast<std::int64_t>(heldRaw_.size() / channels_);
    const std::int64_t fileFrom = timeline_.fileFrameAt(from);
    const bool restretch = speedChanged && fileFrom >= rawStart && fileFrom <= nextFileFrame_;

    if (effectsChanged || restretch) {
        // Fresh effects take the new parameters at once; they hear what came before first.
        rebuildEffectsLocked(effectRate_, effectChannels_);
        const std::int64_t warmFrom = std::max(heldStart_, from - rate * warmUpMs / 1000);
        scratch_.resize(at(from) - at(warmFrom));
        heldDry_.copyOut(at(warmFrom), scratch_.size(), scratch_.data());
        for (auto& slot : effects_)
            slot.effect->process(scratch_.data(), static_cast<std::size_t>(from - warmFrom));
    }
    // The levelling and the volume as they stood at `from`: from the last mark before, run on
    // over what was written.
    auto mark = volumeMarks_.begin();
    while (std::next(mark) != volumeMarks_.end() && std::next(mark)->frame <= from)
        ++mark;
    Volume volume = mark->volume;
    LoudnessGain level = mark->level;
    scratch_.resize(at(from) - at(mark->frame));
    heldWet_.copyOut(at(mark->frame), scratch_.size(), scratch_.data());
    level.process(scratch_.data(), static_cast<std::size_t>(from - mark->frame));
    volume.process(scratch_.data(), static_cast<std::size_t>(from - mark->frame), channels);
    if (request)
        volume.setTarget(request->volume, request->rampFrames);
    if (levelRequest)
        level.setTarget(levelRequest->on, levelRequest->db);
    volumeMarks_.erase(std::next(mark), volumeMarks_.end());
    volumeMarks_.push_back({from, volume, level});
    volume_ = volume;
    level_ = level;

    if (restretch) {
        // The raw frames from the one heard at `from` on go through the chain again; the next
        // fill writes them over what the server holds from there.
        const auto kept = static_cast<std::size_t>((fileFrom - rawStart) * channels_);
        scratch_.resize(heldRaw_.size() - kept);
        heldRaw_.copyOut(kept, scratch_.size(), scratch_.data());
        replay_.insert(replay_.begin(), scratch_.begin(), scratch_.end());
        heldRaw_.truncate(kept);
        nextFileFrame_ = fileFrom;
        tempo_.clear();
        pauses_.clear();
        if (resampler_) {
            swr_close(resampler_);
            swr_init(resampler_);
        }
        timeline_.markSpeed(from, tempo_.speed());
        heldDry_.truncate(at(from));
        heldWet_.truncate(at(from));
        volumeMarks_.pop_back(); // the fill marks it again
        rewindFrames_ = writtenFrames_ - from;
        writtenFrames_ = from;
        if (decodeFinished_) {
            stream_->cancelDrain();
            decodeFinished_ = false;
        }
        return true;
    }
    if (effectsChanged) {
        rewritten_.resize(count * static_cast<std::size_t>(channels));
        heldDry_.copyOut(at(from), rewritten_.size(), rewritten_.data());
        for (auto& slot : effects_)
            slot.effect->process(rewritten_.data(), count);
        const std::size_t fade = std::min<std::size_t>(count, static_cast<std::size_t>(rate * crossfadeMs / 1000));
        for (std::size_t f = 0; f < fade; ++f) {
            const float mix = static_cast<float>(f + 1) / static_cast<float>(fade + 1);
            for (int c = 0; c < channels; ++c) {
                float& sample = rewritten_[f * channels + c];
                sample = heldWet_[at(from) + f * channels + c] * (1 - mix) + sample * mix;
            }
        }
        heldWet_.overwrite(at(from), rewritten_.data(), rewritten_.size());
    }
    rewritten_.resize(count * static_cast<std::size_t>(channels));
    heldWet_.copyOut(at(from), rewritten_.size(), rewritten_.data());
    level_.process(rewritten_.data(), count);
    volume_.process(rewritten_.data(), count, channels);
    peaks_.record(rewritten_.data(), count, channels, from);
    stream_->rewrite(rewritten_.data(), count, from - writtenFrames_);
    return true;
}

} // namespace engine
