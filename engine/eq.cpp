// Peaking equaliser band.
#include "engine/dsp.h"
#include "engine/dsp_kernels.h"

#include <array>
#include <atomic>
#include <complex>
#include <emmintrin.h>
#include <mutex>

namespace engine {
namespace {

// Long enough that a change is never heard as a step, short enough to feel immediate.
constexpr double kEqGlideSeconds = 0.015;

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

// Steady-state filtering runs four frames at a time. A peaking biquad has b1 = a1 and
// b0 - 1 = a2 - b2, so its output is the input plus a resonance:
//   y[n] = x[n] + e[n],   e[n] = (b0 - 1) (x[n] - x[n-2]) - a1 e[n-1] - a2 e[n-2].
// Each e of a block is written as a fixed combination of the block's input differences
// and the two e before the block, so the block depends on the previous one only through
// one multiply-add step instead of a chain of four, which is what bounds a biquad's speed.
constexpr int kBlockFrames = 4;

struct BlockResponse {
    // fromDifference[k][j] weighs x[j] - x[j-2]; entries with j > k are zero and skipped.
    Doubles2 fromDifference[kBlockFrames][kBlockFrames];
    Doubles2 fromE1[kBlockFrames], fromE2[kBlockFrames];
};

BlockResponse blockResponse(const Biquad& q) {
    // Run the recursion on symbols: each e is a vector of weights over the unknowns
    // d[0..3] (the differences), e[-2], e[-1].
    using Weights = std::array<double, kBlockFrames + 2>;
    std::array<Weights, kBlockFrames + 2> e{}; // e[-2..3]
    e[0][kBlockFrames] = 1;
    e[1][kBlockFrames + 1] = 1;
    for (int k = 0; k < kBlockFrames; ++k) {
        Weights& out = e[k + 2];
        for (std::size_t u = 0; u < out.size(); ++u)
            out[u] = -q.a1 * e[k + 1][u] - q.a2 * e[k][u];
        out[k] += q.b0 - 1;
    }
    BlockResponse r;
    for (int k = 0; k < kBlockFrames; ++k) {
        for (int j = 0; j < kBlockFrames; ++j)
            r.fromDifference[k][j] = Doubles2{1, 1} * e[k + 2][j];
        r.fromE2[k] = Doubles2{1, 1} * e[k + 2][kBlockFrames];
        r.fromE1[k] = Doubles2{1, 1} * e[k + 2][kBlockFrames + 1];
    }
    return r;
}

// One or two channels of interleaved frames, widened to a pair of doubles.
template <int Lanes>
Doubles2 loadLanes(const float* f) {
    if constexpr (Lanes == 2) {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(f))));
    } else {
        return Doubles2{f[0], 0};
    }
}

template <int Lanes>
void storeLanes(float* f, Doubles2 v) {
    if constexpr (Lanes == 2) {
        _mm_storel_pi(reinterpret_cast<__m64*>(f), _mm_cvtpd_ps(v));
    } else {
        f[0] = static_cast<float>(v[0]);
    }
}

// A resonance (output minus input) below this adds less than the smallest float to the
// output; flushing it keeps the recursion out of denormal range in digital silence or DC.
constexpr double kNegligibleState = 1e-60;

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
    // Direct form I in double (per channel): well behaved while the coefficients glide,
    // and the state the block form needs.
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
        std::size_t done = 0;
        if (glideFramesLeft > 0) {
            done = std::min(count, static_cast<std::size_t>(glideFramesLeft));
            filterFrames<C, true>(frames, done);
        }
        // Past the glide the response is the target's, a true peaking biquad, as blocks need.
        const std::size_t blocked = (count - done) / kBlockFrames * kBlockFrames;
        if (blocked > 0) {
            const BlockResponse response = blockResponse(current);
            float* const start = frames + done * C;
            for (int c = 0; c + 1 < C; c += 2)
                filterBlocks<C, 2>(start, blocked, c, response);
            if constexpr (C % 2 == 1)
                filterBlocks<C, 1>(start, blocked, C - 1, response);
            done += blocked;
        }
        filterFrames<C, false>(frames + done * C, count - done);
        for (int c = 0; c < C; ++c) {
            if (std::abs(y1[c] - x1[c]) < kNegligibleState)
                y1[c] = x1[c];
            if (std::abs(y2[c] - x2[c]) < kNegligibleState)
                y2[c] = x2[c];
        }
    }

    // One frame at a time: while the coefficients glide, and for the frames after the last block.
    template <int C, bool Gliding>
    void filterFrames(float* frames, std::size_t count) {
        std::array<double, C> sx1, sx2, sy1, sy2;
        std::copy_n(x1.begin(), C, sx1.begin());
        std::copy_n(x2.begin(), C, sx2.begin());
        std::copy_n(y1.begin(), C, sy1.begin());
        std::copy_n(y2.begin(), C, sy2.begin());
        Biquad q = current;
        for (std::size_t i = 0; i < count; ++i) {
            if constexpr (Gliding) {
                q += step;
                if (--glideFramesLeft == 0)
                    q = target;
            }
            float* f = frames + i * C;
            for (int c = 0; c < C; ++c) {
                const double x = f[c];
                const double y = q.b0 * x + q.b1 * sx1[c] + q.b2 * sx2[c] - q.a1 * sy1[c] - q.a2 * sy2[c];
                sx2[c] = sx1[c];
                sx1[c] = x;
                sy2[c] = sy1[c];
                sy1[c] = y;
                f[c] = static_cast<float>(y);
            }
        }
        current = q;
        std::copy_n(sx1.begin(), C, x1.begin());
        std::copy_n(sx2.begin(), C, x2.begin());
        std::copy_n(sy1.begin(), C, y1.begin());
        std::copy_n(sy2.begin(), C, y2.begin());
    }

    // Channels c (and c + 1 when Lanes is 2) over whole blocks, the two channels side by side.
    template <int C, int Lanes>
    void filterBlocks(float* frames, std::size_t count, int c, const BlockResponse& r) {
        auto lanes = [&](const std::array<double, kMaxChannels>& state) {
            return Doubles2{state[c], Lanes == 2 ? state[c + 1] : 0.0};
        };
        // x[0], x[1]: the two inputs before the block; x[2..5]: the block's inputs.
        Doubles2 x[kBlockFrames + 2];
        x[kBlockFrames] = lanes(x2);
        x[kBlockFrames + 1] = lanes(x1);
        Doubles2 em2 = lanes(y2) - x[kBlockFrames], em1 = lanes(y1) - x[kBlockFrames + 1];
        for (std::size_t i = 0; i < count; i += kBlockFrames) {
            float* f = frames + i * C + c;
            x[0] = x[kBlockFrames];
            x[1] = x[kBlockFrames + 1];
            Doubles2 difference[kBlockFrames];
#pragma GCC unroll 4
            for (int k = 0; k < kBlockFrames; ++k) {
                x[k + 2] = loadLanes<Lanes>(f + k * C);
                difference[k] = x[k + 2] - x[k];
            }
            Doubles2 e[kBlockFrames];
#pragma GCC unroll 4
            for (int k = 0; k < kBlockFrames; ++k) {
                Doubles2 fromInputs = r.fromDifference[k][0] * difference[0];
#pragma GCC unroll 4
                for (int j = 1; j <= k; ++j)
                    fromInputs += r.fromDifference[k][j] * difference[j];
                // The previous block comes last: only this short tail waits for it.
                e[k] = (fromInputs + r.fromE2[k] * em2) + r.fromE1[k] * em1;
                storeLanes<Lanes>(f + k * C, x[k + 2] + e[k]);
            }
            em2 = e[kBlockFrames - 2];
            em1 = e[kBlockFrames - 1];
        }
        for (int lane = 0; lane < Lanes; ++lane) {
            x2[c + lane] = x[kBlockFrames][lane];
            x1[c + lane] = x[kBlockFrames + 1][lane];
            y2[c + lane] = x[kBlockFrames][lane] + em2[lane];
            y1[c + lane] = x[kBlockFrames + 1][lane] + em1[lane];
        }
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
} // namespace engine
