// Loudness levelling: the gain's glide and a look-ahead true-peak limiter.
#include "engine/loudness_gain.h"

#include <algorithm>
#include <cmath>

#include "engine/dsp_kernels.h"

namespace engine {
namespace {

// True peaks are found by 4x oversampling: three phases between each pair of frames, each a
// windowed sinc over 12 frames around them.
constexpr int kTaps = 12;
constexpr int kHalf = kTaps / 2;
constexpr double kLookaheadSeconds = 0.0015;
constexpr double kReleaseSeconds = 0.08;
// Going in or out of the chain crossfades the direct sound and the delayed one.
constexpr double kFadeSeconds = 0.005;
// Frames judged together for whether any comes near the ceiling.
constexpr std::size_t kChunk = 64;

struct Interpolator {
    float phases[3][kTaps];
    float bound; // no phase exceeds the largest frame it hears by more than this factor
};

const Interpolator& interpolator() {
    static const Interpolator table = [] {
        Interpolator t{};
        t.bound = 1;
        for (int k = 0; k < 3; ++k) {
            // Between the frames kHalf - 1 and kHalf of the taps, a quarter further each phase.
            const double at = kHalf - 1 + (k + 1) / 4.0;
            double taps[kTaps], sum = 0;
            for (int j = 0; j < kTaps; ++j) {
                const double x = j - at;
                taps[j] = std::sin(kPi * x) / (kPi * x) * 0.5 * (1 + std::cos(kPi * x / kHalf));
                sum += taps[j];
            }
            double reach = 0;
            for (int j = 0; j < kTaps; ++j) {
                t.phases[k][j] = static_cast<float>(taps[j] / sum);
                reach += std::fabs(taps[j] / sum);
            }
            t.bound = std::max(t.bound, static_cast<float>(reach));
        }
        return t;
    }();
    return table;
}

} // namespace

LoudnessGain::LoudnessGain(int sampleRate, int channels)
    : channels_(std::max(1, channels)), lookahead_(std::max(kTaps, framesFor(sampleRate, kLookaheadSeconds))),
      delay_(lookahead_ + kHalf - 1), fadeFrames_(framesFor(sampleRate, kFadeSeconds)),
      glideFrames_(framesFor(sampleRate, glideSeconds)),
      release_(1 - std::exp(-1.0 / (kReleaseSeconds * std::max(1, sampleRate)))),
      history_(static_cast<std::size_t>(delay_ * channels_)), minAt_(static_cast<std::size_t>(lookahead_ + 2)),
      minValue_(minAt_.size()), averaged_(static_cast<std::size_t>(lookahead_)) {
    clearLimiter();
}

bool LoudnessGain::setTarget(bool on, float db) {
    db = on ? clampOrKeep(db, minDb, maxDb, targetDb_) : 0.0f;
    if (on == on_ && db == targetDb_)
        return false;
    on_ = on;
    targetDb_ = db;
    const double target = std::pow(10.0, db / 20.0);
    if (fresh_) {
        // Nothing heard yet: the first sound comes at the new gain.
        gain_ = target;
        glideLeft_ = 0;
        mode_ = on ? Mode::In : Mode::Out;
        return true;
    }
    if (on && mode_ == Mode::Out) {
        mode_ = Mode::Entering;
        fadeLeft_ = fadeFrames_;
        clearLimiter();
    } else if (on && mode_ == Mode::Leaving) {
        mode_ = Mode::Entering; // back from where the crossfade stands
        fadeLeft_ = fadeFrames_ - fadeLeft_;
    }
    // Even in dB: a glide from far below is not heard as a sudden rise at its end.
    glideLeft_ = target == gain_ ? 0 : glideFrames_;
    ratio_ = std::pow(target / gain_, 1.0 / glideFrames_);
    return true;
}

void LoudnessGain::reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
    clearLimiter();
    if (mode_ == Mode::Entering)
        mode_ = Mode::In;
    else if (mode_ == Mode::Leaving)
        mode_ = Mode::Out;
    fadeLeft_ = 0;
}

void LoudnessGain::clearLimiter() {
    minHead_ = 0;
    minSize_ = 0;
    envelope_ = 1;
    std::fill(averaged_.begin(), averaged_.end(), 1.0f);
    averagedSum_ = lookahead_;
    lastBelow_ = clock_ - lookahead_ - 1;
}

void LoudnessGain::process(float* frames, std::size_t count) {
    if (count == 0)
        return;
    fresh_ = false;
    if (mode_ == Mode::Out)
        keepHistory(frames, count);
    else
        limit(frames, count);
}

void LoudnessGain::keepHistory(const float* frames, std::size_t count) {
    // Out of the chain, the sound before is kept only to go in without a seam.
    const auto channels = static_cast<std::size_t>(channels_);
    const auto held = static_cast<std::size_t>(delay_);
    if (count >= held) {
        std::copy_n(frames + (count - held) * channels, held * channels, history_.begin());
        return;
    }
    std::copy(history_.begin() + static_cast<std::ptrdiff_t>(count * channels), history_.end(), history_.begin());
    std::copy_n(frames, count * channels, history_.end() - static_cast<std::ptrdiff_t>(count * channels));
}

float LoudnessGain::reduction(const float* newest) const {
    // The true peak between the frames kHalf and kHalf - 1 before the newest.
    const Interpolator& t = interpolator();
    const float* first = newest - (kTaps - 1) * channels_;
    float peak = 0;
    for (int c = 0; c < channels_; ++c) {
        peak = std::max(peak, std::fabs(newest[c - (kHalf - 1) * channels_]));
        for (const auto& phase : t.phases) {
            float sum = 0;
            for (int j = 0; j < kTaps; ++j)
                sum += phase[j] * first[j * channels_ + c];
            peak = std::max(peak, std::fabs(sum));
        }
    }
    return peak > ceiling ? ceiling / peak : 1.0f;
}

float LoudnessGain::windowMin(float reduction) {
    const std::size_t capacity = minAt_.size();
    while (minSize_ > 0 && minValue_[(minHead_ + minSize_ - 1) % capacity] >= reduction)
        --minSize_;
    const std::size_t slot = (minHead_ + minSize_) % capacity;
    minAt_[slot] = clock_;
    minValue_[slot] = reduction;
    ++minSize_;
    while (minAt_[minHead_] < clock_ - lookahead_) {
        minHead_ = (minHead_ + 1) % capacity;
        --minSize_;
    }
    return minValue_[minHead_];
}

void LoudnessGain::limit(float* frames, std::size_t count) {
    // The sound after the gain, from delay_ frames before this block on: per thread, so a
    // copy of this stage (kept to process again) carries no block-sized buffer.
    thread_local std::vector<float> work;
    const auto channels = static_cast<std::size_t>(channels_);
    const std::size_t held = history_.size();
    work.resize(held + count * channels);
    std::copy(history_.begin(), history_.end(), work.begin());

    // The gain; once it is back at 0 dB with levelling off, the stage leaves the chain.
    std::size_t glideDone = glideLeft_ > 0 ? count : 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (glideLeft_ > 0) {
            gain_ = --glideLeft_ == 0 ? std::pow(10.0, targetDb_ / 20.0) : gain_ * ratio_;
            if (glideLeft_ == 0)
                glideDone = i;
        }
        const auto gain = static_cast<float>(gain_);
        for (std::size_t c = 0; c < channels; ++c)
            work[held + i * channels + c] = frames[i * channels + c] * gain;
    }

    const float bound = interpolator().bound;
    const float fade = 1.0f / static_cast<float>(fadeFrames_ + 1);
    bool quiet = false;
    for (std::size_t i = 0; i < count; ++i, ++clock_) {
        if (i % kChunk == 0) {
            // Where no frame the true peaks are judged on comes near the ceiling, the limiter
            // has nothing to find.
            const auto first = work.begin() + static_cast<std::ptrdiff_t>(held + i * channels - (kTaps - 1) * channels);
            const auto last = work.begin() + static_cast<std::ptrdiff_t>(held + std::min(count, i + kChunk) * channels);
            float loudest = 0;
            for (auto v = first; v != last; ++v)
                loudest = std::max(loudest, std::fabs(*v));
            quiet = loudest * bound <= ceiling;
        }
        float applied = 1;
        // Idle (nothing found, nothing being released): the limiter only delays.
        if (!quiet || clock_ - lastBelow_ <= lookahead_) {
            const float* newest = work.data() + held + i * channels;
            const float below = windowMin(quiet ? 1.0f : reduction(newest));
            envelope_ = below < envelope_ ? below : envelope_ + (below - envelope_) * release_;
            if (envelope_ > 1 - 1e-6)
                envelope_ = 1;
            else
                lastBelow_ = clock_;
            averagedSum_ += envelope_ - averaged_[averagedAt_];
            averaged_[averagedAt_] = static_cast<float>(envelope_);
            averagedAt_ = (averagedAt_ + 1) % averaged_.size();
            applied = std::min(1.0f, static_cast<float>(averagedSum_ / lookahead_));
            if (clock_ - lastBelow_ > lookahead_)
                averagedSum_ = lookahead_; // every value it averages is 1 again
        }

        if (mode_ == Mode::In && !on_ && i >= glideDone) {
            mode_ = Mode::Leaving;
            fadeLeft_ = fadeFrames_;
        }
        // The share of the limited sound against the direct one.
        float mix = mode_ == Mode::Out ? 0.0f : 1.0f;
        if (mode_ == Mode::Entering) {
            mix = 1 - static_cast<float>(fadeLeft_) * fade;
            if (--fadeLeft_ == 0)
                mode_ = Mode::In;
        } else if (mode_ == Mode::Leaving) {
            mix = static_cast<float>(fadeLeft_) * fade;
            if (--fadeLeft_ == 0)
                mode_ = Mode::Out;
        }
        float* out = frames + i * channels;
        const float* delayed = work.data() + i * channels;
        if (mix == 1 && applied == 1)
            std::copy_n(delayed, channels, out);
        else
            for (std::size_t c = 0; c < channels; ++c)
                out[c] = delayed[c] * applied * mix + out[c] * (1 - mix);
    }
    std::copy(work.end() - static_cast<std::ptrdiff_t>(held), work.end(), history_.begin());
}

} // namespace engine
