// Reverb: an eight-line feedback delay network. The mono sum of the input is smeared by
// two all-pass diffusers and fed into eight delay lines; their outputs are mixed by a
// normalised Hadamard matrix, and each channel listens to its own row of that mix
// (rows are orthogonal, so the channels come out decorrelated). Each line's way back
// into the network runs through a gain and a one-pole low-pass: the gain sets the
// RT60 at DC, the low-pass makes the RT60 at a quarter of the sample rate equal to
// ratio x time (11025 Hz on a 44.1 kHz stream).
#include "engine/dsp.h"
#include "engine/dsp_kernels.h"

#include <array>
#include <atomic>
#include <mutex>
#include <vector>

namespace engine {

namespace {

// Long enough that a change is never heard as a step, short enough to feel immediate.
constexpr double kReverbRampSeconds = 0.020;

constexpr int kLines = 8;
constexpr std::array<double, kLines> kLineMs{29.7, 35.3, 40.1, 45.7, 50.9, 56.3, 61.7, 67.9};
// The eight lines' values side by side: lines 0-3, then 4-7.
using LineVector = std::array<Floats4, kLines / 4>;
constexpr LineVector kInputSigns{Floats4{1, -1, 1, 1}, Floats4{-1, 1, -1, -1}};
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
    LineVector feedback{}; // line gain x (1 - pole)
    LineVector pole{};
};

ReverbGains operator-(const ReverbGains& x, const ReverbGains& y) {
    ReverbGains d;
    d.input = x.input - y.input;
    d.wet = x.wet - y.wet;
    d.dry = x.dry - y.dry;
    for (std::size_t h = 0; h < d.pole.size(); ++h) {
        d.feedback[h] = x.feedback[h] - y.feedback[h];
        d.pole[h] = x.pole[h] - y.pole[h];
    }
    return d;
}

ReverbGains operator/(ReverbGains x, float d) {
    x.input /= d;
    x.wet /= d;
    x.dry /= d;
    for (std::size_t h = 0; h < x.pole.size(); ++h) {
        x.feedback[h] /= d;
        x.pole[h] /= d;
    }
    return x;
}

void operator+=(ReverbGains& x, const ReverbGains& y) {
    x.input += y.input;
    x.wet += y.wet;
    x.dry += y.dry;
    for (std::size_t h = 0; h < x.pole.size(); ++h) {
        x.feedback[h] += y.feedback[h];
        x.pole[h] += y.pole[h];
    }
}

std::size_t powerOfTwoAbove(std::size_t n) {
    std::size_t p = 1;
    while (p <= n)
        p <<= 1;
    return p;
}

// Negates the lanes whose mask bit is set; exact, so x + (-y) below equals x - y.
inline Floats4 flipSigns(Floats4 v, Ints4 mask) {
    return reinterpret_cast<Floats4>(reinterpret_cast<Ints4>(v) ^ mask);
}

// Unscaled fast Walsh-Hadamard transform of lines 0-7: the butterflies of pairs, then of
// pairs two apart within each half, then across the halves.
inline void hadamard8(Floats4& low, Floats4& high) {
    constexpr int kSign = static_cast<int>(0x80000000u);
    auto inHalf = [](Floats4 v) {
        v = flipSigns(v, Ints4{0, kSign, 0, kSign}) + __builtin_shuffle(v, Ints4{1, 0, 3, 2});
        return flipSigns(v, Ints4{0, 0, kSign, kSign}) + __builtin_shuffle(v, Ints4{2, 3, 0, 1});
    };
    low = inHalf(low);
    high = inHalf(high);
    const Floats4 sum = low + high;
    high = low - high;
    low = sum;
}

// The same transform on four time steps at once: h[i] holds line i at four consecutive frames.
inline void hadamard8(std::array<Floats4, kLines>& h) {
#pragma GCC unroll 3
    for (int distance = 1; distance < kLines; distance *= 2) {
#pragma GCC unroll 8
        for (int i = 0; i < kLines; ++i) {
            if ((i & distance) != 0)
                continue;
            const Floats4 x = h[i], y = h[i + distance];
            h[i] = x + y;
            h[i + distance] = x - y;
        }
    }
}

// Rows become columns: four frames of four lines <-> four lines over four frames.
inline void transpose4(Floats4& r0, Floats4& r1, Floats4& r2, Floats4& r3) {
    const Floats4 t0 = __builtin_shuffle(r0, r1, Ints4{0, 4, 1, 5});
    const Floats4 t1 = __builtin_shuffle(r2, r3, Ints4{0, 4, 1, 5});
    const Floats4 t2 = __builtin_shuffle(r0, r1, Ints4{2, 6, 3, 7});
    const Floats4 t3 = __builtin_shuffle(r2, r3, Ints4{2, 6, 3, 7});
    r0 = __builtin_shuffle(t0, t1, Ints4{0, 1, 4, 5});
    r1 = __builtin_shuffle(t0, t1, Ints4{2, 3, 6, 7});
    r2 = __builtin_shuffle(t2, t3, Ints4{0, 1, 4, 5});
    r3 = __builtin_shuffle(t2, t3, Ints4{2, 3, 6, 7});
}

// Frames handled together by the vector path of the reverb.
constexpr int kVectorFrames = 4;

// Where one span of frames reads and writes; no ring position wraps inside a span.
struct ReverbSpan {
    std::array<const float*, kLines> lineTap;
    std::array<float*, kLines> lineWrite;
    std::array<const float*, 2> diffuserTap;
    std::array<float*, 2> diffuserWrite;
};

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
    // Every ring has the same power-of-two size, so they all wrap at the same write index.
    std::size_t ringSize = 0;
    std::vector<float> lines;                        // one ring after the other, kLines of them
    std::array<std::vector<float>, 2> diffusers;
    LineVector damping{};                            // low-pass state per line
    // Four frames at once need every delay to be at least four frames long.
    bool vectorised = false;
    std::size_t writeIndex = 0;

    void init(int rate, int chans) {
        sampleRate = std::max(1, rate);
        channels = std::clamp(chans, 1, kMaxChannels);
        for (int i = 0; i < kLines; ++i)
            lineDelay[i] = framesFor(sampleRate, kLineMs[i] / 1000);
        for (int j = 0; j < 2; ++j)
            diffuserDelay[j] = framesFor(sampleRate, kDiffuserMs[j] / 1000);
        ringSize = powerOfTwoAbove(static_cast<std::size_t>(std::max(lineDelay.back(), diffuserDelay[0])));
        lines.assign(ringSize * kLines, 0.0f);
        for (auto& d : diffusers)
            d.assign(ringSize, 0.0f);
        vectorised = std::min(*std::min_element(lineDelay.begin(), lineDelay.end()),
                              *std::min_element(diffuserDelay.begin(), diffuserDelay.end())) >= kVectorFrames;
        current = target = gainsFor(applied);
        bypassed = isDryOnly(applied);
    }

    void clearState() {
        std::fill(lines.begin(), lines.end(), 0.0f);
        for (auto& d : diffusers)
            std::fill(d.begin(), d.end(), 0.0f);
        damping = LineVector{};
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
            g.pole[i / 4][i % 4] = static_cast<float>(pole);
            // The Hadamard mix is left unscaled in the loop; its 1/sqrt(kLines) lives here.
            g.feedback[i / 4][i % 4] = static_cast<float>(lineGain * (1 - pole) / std::sqrt(double(kLines)));
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
        LineVector lp = damping;
        const std::size_t mask = ringSize - 1;
        std::size_t done = 0;
        while (done < count && (!Ramping || rampFramesLeft > 0)) {
            const std::size_t writeAt = writeIndex & mask;
            std::size_t span = std::min(count - done, ringSize - writeAt);
            if constexpr (Ramping)
                span = std::min(span, static_cast<std::size_t>(rampFramesLeft));
            auto tapAt = [&](int delay) {
                const std::size_t at = (writeIndex - delay) & mask;
                span = std::min(span, ringSize - at);
                return at;
            };
            ReverbSpan at;
            for (int i = 0; i < kLines; ++i) {
                float* const ring = lines.data() + i * ringSize;
                at.lineTap[i] = ring + tapAt(lineDelay[i]);
                at.lineWrite[i] = ring + writeAt;
            }
            for (int j = 0; j < 2; ++j) {
                at.diffuserTap[j] = diffusers[j].data() + tapAt(diffuserDelay[j]);
                at.diffuserWrite[j] = diffusers[j].data() + writeAt;
            }
            float* const spanFrames = frames + done * C;
            std::size_t n = 0;
            if constexpr (!Ramping) {
                if (vectorised) {
                    for (; n + kVectorFrames <= span; n += kVectorFrames)
                        fourFrames<C>(spanFrames + n * C, at, n, g, lp);
                }
            }
            for (; n < span; ++n) {
                if constexpr (Ramping) {
                    g += step;
                    if (--rampFramesLeft == 0)
                        g = target;
                }
                oneFrame<C>(spanFrames + n * C, at, n, g, lp);
            }
            done += span;
            writeIndex += span;
        }
        current = g;
        damping = lp;
        return done;
    }

    template <int C>
    static void oneFrame(float* f, const ReverbSpan& at, std::size_t n, const ReverbGains& g, LineVector& lp) {
        float mono = 0;
        for (int c = 0; c < C; ++c)
            mono += f[c];
        float u = mono * g.input + kAntiDenormal;
        // Schroeder all-passes: v[n] = u - g v[n-D], out = g v[n] + v[n-D].
#pragma GCC unroll 2
        for (int j = 0; j < 2; ++j) {
            const float delayed = at.diffuserTap[j][n];
            const float v = u - kDiffuserGain * delayed;
            at.diffuserWrite[j][n] = v;
            u = delayed + kDiffuserGain * v;
        }

        Floats4 low{at.lineTap[0][n], at.lineTap[1][n], at.lineTap[2][n], at.lineTap[3][n]};
        Floats4 high{at.lineTap[4][n], at.lineTap[5][n], at.lineTap[6][n], at.lineTap[7][n]};
        hadamard8(low, high);
        for (int c = 0; c < C; ++c)
            f[c] = g.dry * f[c] + g.wet * (c < 4 ? low[c] : high[c - 4]);

        lp[0] = g.feedback[0] * low + g.pole[0] * lp[0];
        lp[1] = g.feedback[1] * high + g.pole[1] * lp[1];
        const Floats4 spread{u, u, u, u};
        const LineVector back{lp[0] + kInputSigns[0] * spread, lp[1] + kInputSigns[1] * spread};
#pragma GCC unroll 8
        for (int i = 0; i < kLines; ++i)
            at.lineWrite[i][n] = back[i / 4][i % 4];
    }

    // The same arithmetic as oneFrame on four frames, everything but the damping
    // recursion done on all four at once.
    template <int C>
    static void fourFrames(float* f, const ReverbSpan& at, std::size_t n, const ReverbGains& g, LineVector& lp) {
        Floats4 mono;
        if constexpr (C == 1) {
            mono = loadFloats4(f);
        } else if constexpr (C == 2) {
            const Floats4 a = loadFloats4(f), b = loadFloats4(f + 4);
            mono = __builtin_shuffle(a, b, Ints4{0, 2, 4, 6}) + __builtin_shuffle(a, b, Ints4{1, 3, 5, 7});
        } else {
#pragma GCC unroll 4
            for (int k = 0; k < kVectorFrames; ++k) {
                float sum = 0;
                for (int c = 0; c < C; ++c)
                    sum += f[k * C + c];
                mono[k] = sum;
            }
        }
        Floats4 u = mono * g.input + kAntiDenormal;
        // The shortest diffuser delay is at least four frames, so these four never read each other.
#pragma GCC unroll 2
        for (int j = 0; j < 2; ++j) {
            const Floats4 delayed = loadFloats4(at.diffuserTap[j] + n);
            const Floats4 v = u - kDiffuserGain * delayed;
            storeFloats4(at.diffuserWrite[j] + n, v);
            u = delayed + kDiffuserGain * v;
        }

        std::array<Floats4, kLines> h;
#pragma GCC unroll 8
        for (int i = 0; i < kLines; ++i)
            h[i] = loadFloats4(at.lineTap[i] + n);
        hadamard8(h);
        if constexpr (C == 1) {
            storeFloats4(f, g.dry * loadFloats4(f) + g.wet * h[0]);
        } else if constexpr (C == 2) {
            const Floats4 a = loadFloats4(f), b = loadFloats4(f + 4);
            const Floats4 left = g.dry * __builtin_shuffle(a, b, Ints4{0, 2, 4, 6}) + g.wet * h[0];
            const Floats4 right = g.dry * __builtin_shuffle(a, b, Ints4{1, 3, 5, 7}) + g.wet * h[1];
            storeFloats4(f, __builtin_shuffle(left, right, Ints4{0, 4, 1, 5}));
            storeFloats4(f + 4, __builtin_shuffle(left, right, Ints4{2, 6, 3, 7}));
        } else {
#pragma GCC unroll 4
            for (int k = 0; k < kVectorFrames; ++k)
                for (int c = 0; c < C; ++c)
                    f[k * C + c] = g.dry * f[k * C + c] + g.wet * h[c][k];
        }

        // Damping frame by frame: lines side by side per frame, then back to lines over time.
        transpose4(h[0], h[1], h[2], h[3]);
        transpose4(h[4], h[5], h[6], h[7]);
#pragma GCC unroll 4
        for (int k = 0; k < kVectorFrames; ++k) {
            lp[0] = g.feedback[0] * h[k] + g.pole[0] * lp[0];
            lp[1] = g.feedback[1] * h[k + 4] + g.pole[1] * lp[1];
            h[k] = lp[0];
            h[k + 4] = lp[1];
        }
        transpose4(h[0], h[1], h[2], h[3]);
        transpose4(h[4], h[5], h[6], h[7]);
#pragma GCC unroll 8
        for (int i = 0; i < kLines; ++i)
            storeFloats4(at.lineWrite[i] + n, h[i] + kInputSigns[i / 4][i % 4] * u);
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
} // namespace engine
