// Volume with a ramp on every change: a short one, or a glide of a given length.
#include "engine/dsp.h"
#include "engine/dsp_kernels.h"

#include <cmath>

namespace engine {
namespace {

constexpr double kVolumeRampSeconds = 0.010;

} // namespace

Volume::Volume(int sampleRate) : sampleRate_(std::max(1, sampleRate)) {}

void Volume::setTarget(float volume, int rampFrames) {
    volume = clampOrKeep(volume, 0.0f, 1.0f, target_);
    if (volume == target_)
        return;
    target_ = volume;
    if (fresh_) {
        // Nothing heard yet: the first sound starts at the new volume.
        current_ = target_;
        rampFramesLeft_ = 0;
        return;
    }
    rampFramesLeft_ = rampFrames > 0 ? rampFrames : framesFor(sampleRate_, kVolumeRampSeconds);
    step_ = (target_ - current_) / static_cast<float>(rampFramesLeft_);
    // A long glide heard as even: a linear one would drop ever faster in dB near its low end.
    ratio_ = rampFrames > 0 && current_ > 0 && target_ > 0 ? std::pow(target_ / current_, 1.0 / rampFrames) : 0;
}

float Volume::target() const { return target_; }

void Volume::process(float* frames, std::size_t count, int channels) {
    fresh_ = false;
    std::size_t i = 0;
    for (; i < count && rampFramesLeft_ > 0; ++i) {
        current_ = ratio_ > 0 ? static_cast<float>(current_ * ratio_) : current_ + step_;
        if (--rampFramesLeft_ == 0)
            current_ = target_;
        for (int c = 0; c < channels; ++c)
            frames[i * channels + c] *= current_;
    }
    if (current_ == 1.0f)
        return;
    const float gain = current_;
    const Floats4 gains{gain, gain, gain, gain};
    std::size_t k = i * channels;
    const std::size_t end = count * channels;
    for (; k + 4 <= end; k += 4)
        storeFloats4(frames + k, loadFloats4(frames + k) * gains);
    for (; k < end; ++k)
        frames[k] *= gain;
}

} // namespace engine
