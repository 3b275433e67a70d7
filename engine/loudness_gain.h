// Loudness levelling of a channel: a gain that glides to each new value, then a true-peak
// limiter, between the effects and the volume. Until a gain is first set, and again once it is
// switched off and has glided back to 0 dB, both are out of the chain: frames pass untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace engine {

class LoudnessGain {
public:
    static constexpr float minDb = -20.0f;
    static constexpr float maxDb = 15.0f;
    static constexpr double glideSeconds = 1.0;
    // Nothing leaves the limiter above -1 dB true peak.
    static constexpr float ceiling = 0.891f;

    LoudnessGain(int sampleRate, int channels);

    // A gain in dB (clamped) reached over glideSeconds of sound, or at once while nothing has
    // been processed; off glides back to 0 dB and then leaves the chain. False when the
    // target was that already.
    bool setTarget(bool on, float db);
    // In place, interleaved frames. While in the chain the limiter delays the sound by
    // lookahead frames.
    void process(float* frames, std::size_t count);
    // Forgets the sound before (after a seek); the gain stays.
    void reset();

private:
    enum class Mode { Out, Entering, In, Leaving };
    void keepHistory(const float* frames, std::size_t count);
    void limit(float* frames, std::size_t count);
    float reduction(const float* newest) const;
    float windowMin(float reduction);
    void clearLimiter();

    int channels_;
    int lookahead_; // the limiter's attack, in frames
    int delay_;     // frames between a frame in and the same frame out
    int fadeFrames_;
    int glideFrames_;
    double release_;
    Mode mode_ = Mode::Out;
    int fadeLeft_ = 0;
    bool fresh_ = true;
    bool on_ = false;
    float targetDb_ = 0;
    double gain_ = 1;
    double ratio_ = 1;
    int glideLeft_ = 0;
    // The last delay_ frames that went in, after the gain.
    std::vector<float> history_;
    // The limiter: the smallest reduction over lookahead_ + 1 frames (a monotonic queue of
    // frame numbers and reductions), released smoothly, then averaged over lookahead_ frames.
    std::int64_t clock_ = 0;
    std::vector<std::int64_t> minAt_;
    std::vector<float> minValue_;
    std::size_t minHead_ = 0, minSize_ = 0;
    double envelope_ = 1;
    std::vector<float> averaged_;
    std::size_t averagedAt_ = 0;
    double averagedSum_ = 0;
    std::int64_t lastBelow_ = 0; // the frame number the limiter last held the sound down at
};

} // namespace engine
