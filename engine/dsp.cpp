#include "engine/dsp.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <complex>
#include <mutex>
#include <numbers>
#include <vector>

namespace engine {
namespace {

constexpr int kMaxChannels = 8;
constexpr double kPi = std::numbers::pi;
// Long enough that a change is never heard as a step, short enough to feel immediate.
constexpr double kEqGlideSeconds = 0.015;
constexpr double kReverbRampSeconds = 0.020;
constexpr double kVolumeRampSeconds = 0.010;

int framesFor(int sampleRate, double seconds) {
    return std::max(1, static_cast<int>(std::lround(sampleRate * seconds)));
}

// Non-finite values keep the previous setting; everything else is clamped.
float clampOrKeep(float value, float lo, float hi, float previous) {
    return std::isfinite(value) ? std::clamp(value, lo, hi) : previous;
}

template <typename Kernel>
void dispatchChannels(int channels, Kernel&& kernel) {
    // A compile-time channel count keeps per-channel state in registers.
    switch (channels) {
    case 1: kernel.template operator()<1>(); break;
    case 2: kernel.template operator()<2>(); break;
    case 3: kernel.template operator()<3>(); break;
    case 4: kernel.template operator()<4>(); break;
    case 5: kernel.template operator()<5>(); break;
    case 6: kernel.template operator()<6>(); break;
    case 7: kernel.template operator()<7>(); break;
    default: kernel.template operator()<8>(); break;
    }
}

// ---------------------------------------------------------------- peaking EQ

// Normalised biquad (a0 = 1).
struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

Biquad operator-(const Biquad& x, const Biquad& y) {
    return {x.b0 - y.b0, x.b1 - y.b1, x.b2 - y.b2, x.a1 - y.a1, x.a2 - y.a2};
}
Biquad operator/(const Biquad& x, double d) { return {x.b0 / d, x.b1 / d, x.b2 / d, x.a1 / d, x.a2 / d}; }
void operator+=(Biquad& x, const Biquad& y) {
    x.b0 += y.b0;
    x.b1 += y.b1;
    x.b2 += y.b2;
    x.a1 += y.a1;
    x.a2 += y.a2;
}

// The cookbook formulas need w0 < pi; a centre at or near Nyquist would make
// the bandwidth term blow up.
double playableCentre(double centre, int sampleRate) { return std::min(centre, 0.45 * sampleRate); }

Biquad peakingBiquad(const BASS_DX8_PARAMEQ& p, int sampleRate) {
    const double amplitude = std::pow(10.0, p.fGain / 40.0);
    const double w0 = 2 * kPi * playableCentre(p.fCenter, sampleRate) / sampleRate;
    const double octaves = p.fBandwidth / 12.0;
    const double alpha = std::sin(w0) * std::sinh(std::log(2.0) / 2 * octaves * w0 / std::sin(w0));
    const double a0 = 1 + alpha / amplitude;
    const double cosTerm = -2 * std::cos(w0) / a0;
    return {(1 + alpha * amplitude) / a0, cosTerm, (1 - alpha * amplitude) / a0, cosTerm,
            (1 - alpha / amplitude) / a0};
}

double biquadMagnitude(const Biquad& q, double hz, int sampleRate) {
    const std::complex<double> z1 = std::polar(1.0, -2 * kPi * hz / sampleRate);
    const std::complex<double> z2 = z1 * z1;
    return std::abs((q.b0 + q.b1 * z1 + q.b2 * z2) / (1.0 + q.a1 * z1 + q.a2 * z2));
}

} // namespace

struct PeakingEq::Impl {
    int sampleRate;
    int channels;

    // Shared with the caller's thread.
    std::mutex mutex;
    BASS_DX8_PARAMEQ requested{1000.0f, 12.0f, 0.0f};
    std::atomic<bool> pending{false};

    // Owned by the processing thread.
    BASS_DX8_PARAMEQ applied = requested;
    Biquad current, target, step;
    int glideFramesLeft = 0;
    bool running = false; // false: exact pass-through and all state zero
    bool fresh = true;    // nothing processed since construction or reset: changes apply at once
    // Direct form I in double: the recursion is one multiply-add deep and behaves
    // well while the coefficients glide.
    std::array<double, kMaxChannels> x1{}, x2{}, y1{}, y2{};

    void clearState() {
        x1.fill(0);
        x2.fill(0);
        y1.fill(0);
        y2.fill(0);
    }

    void takeRequested() {
        if (!pending.exchange(false, std::memory_order_acquire))
            return;
        {
            std::lock_guard lock(mutex);
            applied = requested;
        }
        const Biquad next = peakingBiquad(applied, sampleRate);
        const bool flat = applied.fGain == 0.0f;
        if (fresh || (!running && flat)) {
            current = target = next;
            glideFramesLeft = 0;
            running = !flat;
            clearState();
            return;
        }
        if (!running) {
            // With numerator = denominator and zero state the filter is exactly transparent,
            // so gliding from there continues the pass-through seamlessly.
            current = next;
            current.b0 = 1;
            current.b1 = next.a1;
            current.b2 = next.a2;
            clearState();
            running = true;
        }
        target = next;
        glideFramesLeft = framesFor(sampleRate, kEqGlideSeconds);
        step = (target - current) / glideFramesLeft;
    }

    template <int C>
    void filter(float* frames, std::size_t count) {
        std::array<double, C> sx1, sx2, sy1, sy2;
        std::copy_n(x1.begin(), C, sx1.begin());
        std::copy_n(x2.begin(), C, sx2.begin());
        std::copy_n(y1.begin(), C, sy1.begin());
        std::copy_n(y2.begin(), C, sy2.begin());
        auto frame = [&](float* f, const Biquad& q) {
            for (int c = 0; c < C; ++c) {
                const double x = f[c];
                const double y = q.b0 * x + q.b1 * sx1[c] + q.b2 * sx2[c] - q.a1 * sy1[c] - q.a2 * sy2[c];
                sx2[c] = sx1[c];
                sx1[c] = x;
                sy2[c] = sy1[c];
                sy1[c] = y;
                f[c] = static_cast<float>(y);
            }
        };
        std::size_t i = 0;
        for (; i < count && glideFramesLeft > 0; ++i) {
            current += step;
            if (--glideFramesLeft == 0)
                current = target;
            frame(frames + i * C, current);
        }
        const Biquad q = current;
        for (; i < count; ++i)
            frame(frames + i * C, q);
        std::copy_n(sx1.begin(), C, x1.begin());
        std::copy_n(sx2.begin(), C, x2.begin());
        std::copy_n(sy1.begin(), C, y1.begin());
        std::copy_n(sy2.begin(), C, y2.begin());
    }

    // Once a flat target is reached and the old response has rung out, drop to pass-through.
    void settleIfFlat() {
        if (glideFramesLeft > 0 || applied.fGain != 0.0f)
            return;
        constexpr double kInaudible = 1e-10;
        for (int c = 0; c < channels; ++c) {
            if (std::abs(y1[c] - x1[c]) > kInaudible || std::abs(y2[c] - x2[c]) > kInaudible)
                return;
        }
        running = false;
        clearState();
    }
};

PeakingEq::PeakingEq(int sampleRate, int channels) : impl_(std::make_shared<Impl>()) {
    impl_->sampleRate = std::max(1, sampleRate);
    impl_->channels = std::clamp(channels, 1, kMaxChannels);
    impl_->current = impl_->target = peakingBiquad(impl_->applied, impl_->sampleRate);
}

void PeakingEq::setParameters(const BASS_DX8_PARAMEQ& p) {
    std::lock_guard lock(impl_->mutex);
    BASS_DX8_PARAMEQ& r = impl_->requested;
    r.fCenter = clampOrKeep(p.fCenter, 80.0f, 16000.0f, r.fCenter);
    r.fBandwidth = clampOrKeep(p.fBandwidth, 1.0f, 36.0f, r.fBandwidth);
    r.fGain = clampOrKeep(p.fGain, -15.0f, 15.0f, r.fGain);
    impl_->pending.store(true, std::memory_order_release);
}

BASS_DX8_PARAMEQ PeakingEq::parameters() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requested;
}

void PeakingEq::process(float* frames, std::size_t count) {
    Impl& s = *impl_;
    s.takeRequested();
    s.fresh = false;
    if (!s.running || count == 0)
        return;
    dispatchChannels(s.channels, [&]<int C>() { s.filter<C>(frames, count); });
    s.settleIfFlat();
}

void PeakingEq::reset() {
    Impl& s = *impl_;
    s.takeRequested();
    s.clearState();
    s.current = s.target;
    s.glideFramesLeft = 0;
    s.running = s.applied.fGain != 0.0f;
    s.fresh = true;
}

double PeakingEq::magnitudeAt(double hz) const {
    BASS_DX8_PARAMEQ p;
    {
        std::lock_guard lock(impl_->mutex);
        p = impl_->requested;
    }
    return biquadMagnitude(peakingBiquad(p, impl_->sampleRate), hz, impl_->sampleRate);
}

// ---------------------------------------------------------------- reverb
//
// An eight-line feedback delay network: the mono sum of the input is smeared by two
// all-pass diffusers and fed into eight delay lines; their outputs are mixed by a
// normalised Hadamard matrix, and each channel listens to its own row of that mix
// (rows are orthogonal, so the channels come out decorrelated). Each line's way back
// into the network runs through a gain and a one-pole low-pass: the gain sets the
// RT60 at DC, the low-pass makes the RT60 at a quarter of the sample rate equal to
// ratio x time (11025 Hz on a 44.1 kHz stream).

namespace {

constexpr int kLines = 8;
constexpr std::array<double, kLines> kLineMs{29.7, 35.3, 40.1, 45.7, 50.9, 56.3, 61.7, 67.9};
constexpr std::array<float, kLines> kInputSigns{1, -1, 1, 1, -1, 1, -1, -1};
constexpr std::array<double, 2> kDiffuserMs{4.9, 1.7};
constexpr float kDiffuserGain = 0.6f;
// Keeps the decaying tail out of denormal range, where arithmetic becomes very slow.
constexpr float kAntiDenormal = 1e-18f;
// A pole at 1 would hold its state forever.
constexpr double kMaxDampingPole = 0.9999;

struct ReverbGains {
    float input = 0; // includes the 1/channels of the mono sum and the spread over the lines
    float wet = 0;   // includes the level normalisation and the Hadamard scale
    float dry = 1;
    std::array<float, kLines> feedback{}; // line gain x (1 - pole)
    std::array<float, kLines> pole{};
};

ReverbGains operator-(const ReverbGains& x, const ReverbGains& y) {
    ReverbGains d;
    d.input = x.input - y.input;
    d.wet = x.wet - y.wet;
    d.dry = x.dry - y.dry;
    for (int i = 0; i < kLines; ++i) {
        d.feedback[i] = x.feedback[i] - y.feedback[i];
        d.pole[i] = x.pole[i] - y.pole[i];
    }
    return d;
}

ReverbGains operator/(ReverbGains x, float d) {
    x.input /= d;
    x.wet /= d;
    x.dry /= d;
    for (int i = 0; i < kLines; ++i) {
        x.feedback[i] /= d;
        x.pole[i] /= d;
    }
    return x;
}

void operator+=(ReverbGains& x, const ReverbGains& y) {
    x.input += y.input;
    x.wet += y.wet;
    x.dry += y.dry;
    for (int i = 0; i < kLines; ++i) {
        x.feedback[i] += y.feedback[i];
        x.pole[i] += y.pole[i];
    }
}

std::size_t powerOfTwoAbove(std::size_t n) {
    std::size_t p = 1;
    while (p <= n)
        p <<= 1;
    return p;
}

// Unscaled fast Walsh-Hadamard transform, written out so it stays in registers.
inline void hadamard8(std::array<float, kLines>& h) {
    auto butterfly = [&](int a, int b) {
        const float x = h[a], y = h[b];
        h[a] = x + y;
        h[b] = x - y;
    };
    butterfly(0, 1), butterfly(2, 3), butterfly(4, 5), butterfly(6, 7);
    butterfly(0, 2), butterfly(1, 3), butterfly(4, 6), butterfly(5, 7);
    butterfly(0, 4), butterfly(1, 5), butterfly(2, 6), butterfly(3, 7);
}

bool isDryOnly(const BASS_DX8_REVERB& p) { return p.fReverbMix <= -96.0f; }

} // namespace

struct Reverb::Impl {
    int sampleRate;
    int channels;

    std::mutex mutex;
    BASS_DX8_REVERB requested{0.0f, 0.0f, 1000.0f, 0.001f};
    std::atomic<bool> pending{false};

    BASS_DX8_REVERB applied = requested;
    ReverbGains current, target, step;
    int rampFramesLeft = 0;
    bool bypassed = false;
    bool fresh = true;

    std::array<int, kLines> lineDelay{};
    std::array<int, 2> diffuserDelay{};
    std::size_t lineMask = 0;
    std::size_t diffuserMask = 0;
    std::vector<float> lines;                        // frame-interleaved: kLines floats per time step
    std::array<std::vector<float>, 2> diffusers;
    std::array<float, kLines> damping{};             // low-pass state per line
    std::size_t writeIndex = 0;

    void init(int rate, int chans) {
        sampleRate = std::max(1, rate);
        channels = std::clamp(chans, 1, kMaxChannels);
        for (int i = 0; i < kLines; ++i)
            lineDelay[i] = framesFor(sampleRate, kLineMs[i] / 1000);
        for (int j = 0; j < 2; ++j)
            diffuserDelay[j] = framesFor(sampleRate, kDiffuserMs[j] / 1000);
        const std::size_t lineSize = powerOfTwoAbove(static_cast<std::size_t>(lineDelay.back()));
        const std::size_t diffuserSize = powerOfTwoAbove(static_cast<std::size_t>(diffuserDelay[0]));
        lineMask = lineSize - 1;
        diffuserMask = diffuserSize - 1;
        lines.assign(lineSize * kLines, 0.0f);
        for (auto& d : diffusers)
            d.assign(diffuserSize, 0.0f);
        current = target = gainsFor(applied);
        bypassed = isDryOnly(applied);
    }

    void clearState() {
        std::fill(lines.begin(), lines.end(), 0.0f);
        for (auto& d : diffusers)
            std::fill(d.begin(), d.end(), 0.0f);
        damping.fill(0.0f);
    }

    ReverbGains gainsFor(const BASS_DX8_REVERB& p) const {
        ReverbGains g;
        const double wet = std::pow(10.0, p.fReverbMix / 20.0);
        g.dry = static_cast<float>(std::sqrt(std::max(0.0, 1 - wet * wet)));
        // Mono sum averaged over the channels, spread over the lines with unit total energy.
        g.input = static_cast<float>(std::pow(10.0, p.fInGain / 20.0) / channels / std::sqrt(double(kLines)));

        const double timeSamples = p.fReverbTime / 1000.0 * sampleRate;
        constexpr int kBands = 32;
        std::array<double, kBands> loopEnergy{}; // mean per-pass energy gain per frequency
        for (int i = 0; i < kLines; ++i) {
            const double d = lineDelay[i];
            const double lineGain = std::pow(10.0, -3 * d / timeSamples);
            // Extra loss per pass at high frequencies, relative to DC.
            const double r = std::pow(10.0, -3 * d * (1 / p.fHighFreqRTRatio - 1) / timeSamples);
            // One-pole low-pass, gain 1 at DC and r at fs/4: (1-p)^2 / (1+p^2) = r^2.
            const double pole = std::min(kMaxDampingPole, (1 - r * r) / (1 + r * std::sqrt(2 - r * r)));
            g.pole[i] = static_cast<float>(pole);
            // The Hadamard mix is left unscaled in the loop; its 1/sqrt(kLines) lives here.
            g.feedback[i] = static_cast<float>(lineGain * (1 - pole) / std::sqrt(double(kLines)));
            for (int k = 0; k < kBands; ++k) {
                const double w = kPi * (k + 0.5) / kBands;
                const double response = (1 - pole) * (1 - pole) / (1 - 2 * pole * std::cos(w) + pole * pole);
                loopEnergy[k] += lineGain * lineGain * response / kLines;
            }
        }
        // White noise in: each pass sends the network's energy through the outputs once,
        // and a channel hears one of kLines orthogonal rows of it.
        double energy = 0;
        for (double e : loopEnergy)
            energy += 1 / (1 - e);
        energy /= kBands * kLines;
        g.wet = static_cast<float>(wet / std::sqrt(energy) / std::sqrt(double(kLines)));
        return g;
    }

    void takeRequested() {
        if (!pending.exchange(false, std::memory_order_acquire))
            return;
        {
            std::lock_guard lock(mutex);
            applied = requested;
        }
        const ReverbGains next = gainsFor(applied);
        if (fresh || (bypassed && isDryOnly(applied))) {
            current = target = next;
            rampFramesLeft = 0;
            if (!bypassed && isDryOnly(applied))
                clearState();
            bypassed = isDryOnly(applied);
            return;
        }
        if (bypassed) {
            // Start the network empty and fade the wet part in.
            clearState();
            current = next;
            current.wet = 0;
            current.dry = 1;
            bypassed = false;
        }
        target = next;
        rampFramesLeft = framesFor(sampleRate, kReverbRampSeconds);
        step = (target - current) / static_cast<float>(rampFramesLeft);
    }

    template <int C, bool Ramping>
    std::size_t run(float* frames, std::size_t count) {
        ReverbGains g = current;
        std::array<float, kLines> lp = damping;
        std::size_t w = writeIndex;
        float* const lineData = lines.data();
        const std::size_t lineMask = this->lineMask;
        std::array<std::size_t, kLines> delay;
        std::copy(lineDelay.begin(), lineDelay.end(), delay.begin());
        float* const diffuserA = diffusers[0].data();
        float* const diffuserB = diffusers[1].data();
        std::size_t done = 0;
        for (; done < count; ++done) {
            if constexpr (Ramping) {
                if (rampFramesLeft == 0)
                    break;
                g += step;
                if (--rampFramesLeft == 0)
                    g = target;
            }
            float* f = frames + done * C;
            float mono = 0;
            for (int c = 0; c < C; ++c)
                mono += f[c];
            float u = mono * g.input + kAntiDenormal;

            // Schroeder all-passes: v[n] = u - g v[n-D], out = g v[n] + v[n-D].
            {
                const float delayed = diffuserA[(w - diffuserDelay[0]) & diffuserMask];
                const float v = u - kDiffuserGain * delayed;
                diffuserA[w & diffuserMask] = v;
                u = delayed + kDiffuserGain * v;
            }
            {
                const float delayed = diffuserB[(w - diffuserDelay[1]) & diffuserMask];
                const float v = u - kDiffuserGain * delayed;
                diffuserB[w & diffuserMask] = v;
                u = delayed + kDiffuserGain * v;
            }

            std::array<float, kLines> h;
#pragma GCC unroll 8
            for (int i = 0; i < kLines; ++i)
                h[i] = lineData[((w - delay[i]) & lineMask) * kLines + i];
            hadamard8(h);
            for (int c = 0; c < C; ++c)
                f[c] = g.dry * f[c] + g.wet * h[c];

            float* row = lineData + (w & lineMask) * kLines;
#pragma GCC unroll 8
            for (int i = 0; i < kLines; ++i) {
                lp[i] = g.feedback[i] * h[i] + g.pole[i] * lp[i];
                row[i] = lp[i] + kInputSigns[i] * u;
            }
            ++w;
        }
        current = g;
        damping = lp;
        writeIndex = w;
        return done;
    }
};

Reverb::Reverb(int sampleRate, int channels) : impl_(std::make_shared<Impl>()) {
    impl_->init(sampleRate, channels);
}

void Reverb::setParameters(const BASS_DX8_REVERB& p) {
    std::lock_guard lock(impl_->mutex);
    BASS_DX8_REVERB& r = impl_->requested;
    r.fInGain = clampOrKeep(p.fInGain, -96.0f, 0.0f, r.fInGain);
    r.fReverbMix = clampOrKeep(p.fReverbMix, -96.0f, 0.0f, r.fReverbMix);
    r.fReverbTime = clampOrKeep(p.fReverbTime, 0.001f, 3000.0f, r.fReverbTime);
    r.fHighFreqRTRatio = clampOrKeep(p.fHighFreqRTRatio, 0.001f, 0.999f, r.fHighFreqRTRatio);
    impl_->pending.store(true, std::memory_order_release);
}

BASS_DX8_REVERB Reverb::parameters() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requested;
}

void Reverb::process(float* frames, std::size_t count) {
    Impl& s = *impl_;
    s.takeRequested();
    s.fresh = false;
    if (s.bypassed)
        return;
    dispatchChannels(s.channels, [&]<int C>() {
        const std::size_t ramped = s.rampFramesLeft > 0 ? s.run<C, true>(frames, count) : 0;
        s.run<C, false>(frames + ramped * C, count - ramped);
    });
    if (s.rampFramesLeft == 0 && isDryOnly(s.applied))
        s.bypassed = true;
}

void Reverb::reset() {
    Impl& s = *impl_;
    s.takeRequested();
    s.clearState();
    s.current = s.target;
    s.rampFramesLeft = 0;
    s.bypassed = isDryOnly(s.applied);
    s.fresh = true;
}

// ---------------------------------------------------------------- volume

Volume::Volume(int sampleRate) : sampleRate_(std::max(1, sampleRate)) {}

void Volume::setTarget(float volume) {
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
    rampFramesLeft_ = framesFor(sampleRate_, kVolumeRampSeconds);
    step_ = (target_ - current_) / static_cast<float>(rampFramesLeft_);
}

float Volume::target() const { return target_; }

void Volume::process(float* frames, std::size_t count, int channels) {
    fresh_ = false;
    std::size_t i = 0;
    for (; i < count && rampFramesLeft_ > 0; ++i) {
        current_ += step_;
        if (--rampFramesLeft_ == 0)
            current_ = target_;
        for (int c = 0; c < channels; ++c)
            frames[i * channels + c] *= current_;
    }
    if (current_ == 1.0f)
        return;
    const float gain = current_;
    for (std::size_t k = i * channels, end = count * channels; k < end; ++k)
        frames[k] *= gain;
}

} // namespace engine
