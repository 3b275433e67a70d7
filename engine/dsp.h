// The effects a stream runs its decoded frames through, in the order attached.
#pragma once

#include <cstddef>
#include <memory>

#include "engine/bass.h"

namespace engine {

class Effect {
public:
    virtual ~Effect() = default;
    // In place, interleaved frames.
    virtual void process(float* frames, std::size_t count) = 0;
    // Forget the past (after a seek) without touching the parameters.
    virtual void reset() = 0;
};

// Peaking equaliser band (RBJ cookbook). New parameters glide in without clicks.
class PeakingEq : public Effect {
public:
    PeakingEq(int sampleRate, int channels);
    // Clamps to 80..16000 Hz, 1..36 semitones, -15..+15 dB; a centre at or above
    // the Nyquist limit is pulled below it.
    void setParameters(const BASS_DX8_PARAMEQ& p);
    BASS_DX8_PARAMEQ parameters() const;
    void process(float* frames, std::size_t count) override;
    void reset() override;
    // Linear magnitude of the band's (target) response at a frequency; for tests and checks.
    double magnitudeAt(double hz) const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// Reverb. Mix 0 dB is all reverb, more negative is drier, overall level about constant.
// Reverb time is the RT60; high frequencies decay in (ratio x time).
class Reverb : public Effect {
public:
    Reverb(int sampleRate, int channels);
    // Defaults: 0, 0, 1000, 0.001. Clamps to -96..0, -96..0, 0.001..3000, 0.001..0.999.
    void setParameters(const BASS_DX8_REVERB& p);
    BASS_DX8_REVERB parameters() const;
    void process(float* frames, std::size_t count) override;
    void reset() override;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// Volume 0..1 with a short ramp on every change, so a change never clicks.
class Volume {
public:
    explicit Volume(int sampleRate);
    // Reached over rampFrames, evenly in dB unless either end is silence; or over the short
    // ramp when rampFrames is 0.
    void setTarget(float volume, int rampFrames = 0);
    float target() const;
    void process(float* frames, std::size_t count, int channels);

private:
    int sampleRate_;
    float target_ = 1.0f;
    float current_ = 1.0f;
    float step_ = 0.0f;
    double ratio_ = 0; // per frame, for a ramp in dB; 0 for a linear one
    int rampFramesLeft_ = 0;
    bool fresh_ = true; // nothing processed yet: a new target applies at once
};

} // namespace engine
