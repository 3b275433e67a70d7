// The stream effects: peaking EQ checked against the cookbook formulas and sox,
// reverb decay measured from its impulse response, volume ramps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <sstream>
#include <vector>

#include "engine/dsp.h"
#include "support/fixtures.h"

using namespace testsupport;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kRate = 44100;

double toDb(double ratio) { return 20 * std::log10(ratio); }

// Peaking EQ magnitude straight from the cookbook (unnormalised coefficients).
double cookbookPeakingDb(double f0, double semitones, double gainDb, double fs, double f) {
    const double A = std::pow(10.0, gainDb / 40);
    const double w0 = 2 * kPi * f0 / fs;
    const double bw = semitones / 12;
    const double alpha = std::sin(w0) * std::sinh(std::log(2.0) / 2 * bw * w0 / std::sin(w0));
    const std::complex<double> z = std::polar(1.0, -2 * kPi * f / fs);
    const std::complex<double> num = (1 + alpha * A) - 2 * std::cos(w0) * z + (1 - alpha * A) * z * z;
    const std::complex<double> den = (1 + alpha / A) - 2 * std::cos(w0) * z + (1 - alpha / A) * z * z;
    return toDb(std::abs(num / den));
}

std::vector<float> sine(double hz, double seconds, int rate, double amplitude = 0.25) {
    std::vector<float> out(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<float>(amplitude * std::sin(2 * kPi * hz * double(i) / rate));
    return out;
}

std::vector<float> noise(std::size_t samples, std::uint32_t seed = 7, float amplitude = 0.3f) {
    std::vector<float> out(samples);
    for (float& s : out) {
        seed = seed * 1664525u + 1013904223u;
        s = amplitude * static_cast<float>(static_cast<std::int32_t>(seed) / 2147483648.0);
    }
    return out;
}

// Steady-state gain of mono samples through an effect, skipping the settling part.
double measuredGainDb(const std::vector<float>& in, std::vector<float> out, std::size_t skip) {
    return toDb(rms(out.data() + skip, out.size() - skip) / rms(in.data() + skip, in.size() - skip));
}

std::vector<float> readRawFloats(const std::string& path) {
    const auto bytes = readBytes(path);
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

// Decay time (RT60) of an impulse response from its Schroeder integral, fitted
// between -5 and -25 dB.
double rt60Seconds(const std::vector<float>& response, int rate) {
    std::vector<double> edc(response.size());
    double acc = 0;
    for (std::size_t i = response.size(); i-- > 0;) {
        acc += double(response[i]) * response[i];
        edc[i] = acc;
    }
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (std::size_t i = 0; i < edc.size(); ++i) {
        const double db = 10 * std::log10(edc[i] / edc[0]);
        if (db > -5 || db < -25)
            continue;
        const double t = double(i) / rate;
        sx += t, sy += db, sxx += t * t, sxy += t * db, ++n;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx); // dB per second
    return -60 / slope;
}

// Cookbook band-pass (0 dB peak) used to look at one region of a reverb tail.
std::vector<float> bandPass(const std::vector<float>& in, double f0, double q, int rate) {
    const double w0 = 2 * kPi * f0 / rate, alpha = std::sin(w0) / (2 * q), a0 = 1 + alpha;
    const double b0 = alpha / a0, b2 = -alpha / a0, a1 = -2 * std::cos(w0) / a0, a2 = (1 - alpha) / a0;
    std::vector<float> out(in.size());
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const double y = b0 * in[i] + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = in[i], y2 = y1, y1 = y;
        out[i] = static_cast<float>(y);
    }
    return out;
}

std::vector<float> reverbImpulseResponse(const BASS_DX8_REVERB& p, double seconds) {
    engine::Reverb reverb(kRate, 1);
    reverb.setParameters(p);
    std::vector<float> ir(static_cast<std::size_t>(seconds * kRate), 0.0f);
    ir[0] = 1.0f;
    for (std::size_t at = 0; at < ir.size(); at += 4096)
        reverb.process(ir.data() + at, std::min<std::size_t>(4096, ir.size() - at));
    return ir;
}

// Largest second difference: a click (a kink or a step) stands out against a smooth tone.
double maxBend(const float* s, std::size_t count) {
    double m = 0;
    for (std::size_t i = 2; i < count; ++i)
        m = std::max(m, std::abs(double(s[i]) - 2.0 * s[i - 1] + s[i - 2]));
    return m;
}

double maxStep(const float* s, std::size_t count) {
    double m = 0;
    for (std::size_t i = 1; i < count; ++i)
        m = std::max(m, double(std::abs(s[i] - s[i - 1])));
    return m;
}

// Runs an effect over interleaved frames in pieces of uneven sizes, as a stream may deliver them.
template <typename Effect>
void processInPieces(Effect& effect, std::vector<float>& frames, int channels) {
    const std::size_t pieces[] = {1, 3, 7, 4096, 513, 2, 1000, 5};
    const std::size_t total = frames.size() / channels;
    for (std::size_t at = 0, i = 0; at < total; ++i) {
        const std::size_t n = std::min(pieces[i % std::size(pieces)], total - at);
        effect.process(frames.data() + at * channels, n);
        at += n;
    }
}

double maxDifference(const std::vector<float>& a, const std::vector<float>& b) {
    double m = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        m = std::max(m, double(std::abs(a[i] - b[i])));
    return m;
}

} // namespace

// ---------------------------------------------------------------- peaking EQ

TEST(PeakingEq, GainMatchesCookbookAndSoxAtAndAroundEachCentre) {
    ASSERT_EQ(run("sox --version"), 0) << "sox is needed as the reference equaliser";
    TempDir dir;
    const double centres[] = {100, 3000, 12000};
    const double gains[] = {10, -10, 15};
    const double semitones = 28;
    double worstFormula = 0, worstSox = 0;
    for (double centre : centres) {
        for (double probe : {centre / 2, centre, centre * 1.5}) {
            std::ostringstream name;
            name << "tone" << probe;
            const std::string wav = dir.file(name.str() + ".wav"), raw = dir.file(name.str() + ".f32");
            makeTone(wav, probe, 0.75, kRate, 1, "-c:a pcm_f32le");
            ASSERT_EQ(run("sox " + wav + " -t raw -e floating-point -b 32 " + raw), 0);
            const std::vector<float> in = readRawFloats(raw);
            ASSERT_GT(in.size(), std::size_t(kRate / 2));
            const std::size_t skip = in.size() - kRate / 2; // last 0.5 s: whole periods of every probe
            for (double gain : gains) {
                SCOPED_TRACE(::testing::Message() << "centre " << centre << " probe " << probe << " gain " << gain);
                engine::PeakingEq eq(kRate, 1);
                eq.setParameters({float(centre), float(semitones), float(gain)});
                std::vector<float> ours = in;
                eq.process(ours.data(), ours.size());
                const double oursDb = measuredGainDb(in, ours, skip);

                const double formulaDb = cookbookPeakingDb(centre, semitones, gain, kRate, probe);
                EXPECT_NEAR(oursDb, formulaDb, 0.05);

                std::ostringstream cmd;
                cmd << "sox " << wav << " -t raw -e floating-point -b 32 " << raw << ".sox equalizer " << centre << " "
                    << semitones / 12 << "o " << gain;
                ASSERT_EQ(run(cmd.str()), 0);
                const std::vector<float> soxOut = readRawFloats(raw + ".sox");
                ASSERT_EQ(soxOut.size(), in.size());
                const double soxDb = measuredGainDb(in, soxOut, skip);
                EXPECT_NEAR(oursDb, soxDb, 0.5);
                worstFormula = std::max(worstFormula, std::abs(oursDb - formulaDb));
                worstSox = std::max(worstSox, std::abs(oursDb - soxDb));
            }
        }
    }
    std::printf("EQ: worst deviation %.4f dB from the cookbook, %.4f dB from sox\n", worstFormula, worstSox);
}

TEST(PeakingEq, ZeroGainIsBitExactEvenAfterABoost) {
    engine::PeakingEq eq(kRate, 2);
    eq.setParameters({3000, 28, 0});
    const std::vector<float> in = noise(kRate);
    std::vector<float> out = in;
    eq.process(out.data(), out.size() / 2);
    EXPECT_EQ(out, in);

    eq.setParameters({3000, 28, 10});
    out = in;
    eq.process(out.data(), out.size() / 2);
    EXPECT_NE(out, in);
    eq.setParameters({3000, 28, 0});
    out = in;
    eq.process(out.data(), out.size() / 2); // glide back and ring out
    out = in;
    eq.process(out.data(), out.size() / 2);
    EXPECT_EQ(out, in);
}

TEST(PeakingEq, ClampsOutOfRangeValues) {
    engine::PeakingEq eq(kRate, 1);
    eq.setParameters({5, 100, 40});
    BASS_DX8_PARAMEQ p = eq.parameters();
    EXPECT_EQ(p.fCenter, 80.0f);
    EXPECT_EQ(p.fBandwidth, 36.0f);
    EXPECT_EQ(p.fGain, 15.0f);
    const std::vector<float> in = sine(80, 1.0, kRate);
    std::vector<float> out = in;
    eq.process(out.data(), out.size());
    EXPECT_NEAR(measuredGainDb(in, out, kRate / 2), 15.0, 0.05);

    eq.setParameters({50000, 0, -40});
    p = eq.parameters();
    EXPECT_EQ(p.fCenter, 16000.0f);
    EXPECT_EQ(p.fBandwidth, 1.0f);
    EXPECT_EQ(p.fGain, -15.0f);
}

TEST(PeakingEq, CentreAboveNyquistIsPulledBelowIt) {
    {
        engine::PeakingEq eq(8000, 1);
        eq.setParameters({12000, 28, 15});
        std::vector<float> s = noise(8000 * 2);
        eq.process(s.data(), s.size());
        for (float v : s)
            ASSERT_TRUE(std::isfinite(v) && std::abs(v) < 10);
        EXPECT_TRUE(std::isfinite(eq.magnitudeAt(3000)));
    }
    // At 22.05 kHz the 12 kHz band lands just under Nyquist and boosts the top fully.
    const int rate = 22050;
    engine::PeakingEq eq(rate, 1);
    eq.setParameters({12000, 28, 10});
    const std::vector<float> in = sine(0.45 * rate, 1.0, rate);
    std::vector<float> out = in;
    eq.process(out.data(), out.size());
    EXPECT_NEAR(measuredGainDb(in, out, rate / 2), 10.0, 0.1);
}

TEST(PeakingEq, GainJumpGlidesWithoutAClick) {
    // A tone through its own band while the gain jumps from -15 to +15 dB.
    for (double hz : {100.0, 3000.0}) {
        SCOPED_TRACE(hz);
        engine::PeakingEq eq(kRate, 1);
        eq.setParameters({float(hz), 28, -15});
        std::vector<float> s = sine(hz, 1.0, kRate, 0.05);
        const std::size_t half = s.size() / 2;
        eq.process(s.data(), half);
        eq.setParameters({float(hz), 28, 15});
        eq.process(s.data() + half, s.size() - half);
        // The settled loud tone's own largest step and bend bound those of the change.
        const float* settled = s.data() + s.size() - kRate / 4;
        EXPECT_NEAR(toDb(rms(settled, kRate / 4) / (0.05 / std::sqrt(2.0))), 15, 0.1);
        EXPECT_LE(maxStep(s.data(), s.size()), maxStep(settled, kRate / 4) * 1.1);
        EXPECT_LE(maxBend(s.data(), s.size()), maxBend(settled, kRate / 4) * 1.1);
    }
}

TEST(PeakingEq, ChannelsAreFilteredIndependently) {
    // Three channels: 100 Hz, silence, 3 kHz; the 100 Hz band boosts only the first.
    const int channels = 3;
    engine::PeakingEq eq(kRate, channels);
    eq.setParameters({100, 12, 12});
    const std::vector<float> low = sine(100, 1.0, kRate), high = sine(3000, 1.0, kRate);
    std::vector<float> frames(low.size() * channels, 0.0f);
    for (std::size_t i = 0; i < low.size(); ++i)
        frames[i * channels] = low[i], frames[i * channels + 2] = high[i];
    eq.process(frames.data(), low.size());
    std::vector<float> outLow(low.size()), outSilent(low.size()), outHigh(low.size());
    for (std::size_t i = 0; i < low.size(); ++i)
        outLow[i] = frames[i * channels], outSilent[i] = frames[i * channels + 1], outHigh[i] = frames[i * channels + 2];
    EXPECT_NEAR(measuredGainDb(low, outLow, kRate / 2), cookbookPeakingDb(100, 12, 12, kRate, 100), 0.05);
    EXPECT_NEAR(measuredGainDb(high, outHigh, kRate / 2), cookbookPeakingDb(100, 12, 12, kRate, 3000), 0.05);
    EXPECT_EQ(rms(outSilent.data(), outSilent.size()), 0.0);
}

TEST(PeakingEq, OutputDoesNotDependOnHowTheStreamIsCut) {
    // One call over the whole signal against many uneven ones, including single frames.
    for (int channels : {1, 2, 3}) {
        SCOPED_TRACE(channels);
        const std::vector<float> in = noise(std::size_t(kRate) * channels, 11 + channels);
        engine::PeakingEq whole(kRate, channels), pieces(kRate, channels);
        for (auto* eq : {&whole, &pieces})
            eq->setParameters({100, 28, 15});
        std::vector<float> once = in, cut = in;
        whole.process(once.data(), once.size() / channels);
        processInPieces(pieces, cut, channels);
        EXPECT_NE(once, in);
        EXPECT_LT(maxDifference(once, cut), 1e-6);
    }
}

// ---------------------------------------------------------------- reverb

TEST(Reverb, DecayTimeMatchesReverbTime) {
    for (float ms : {500.0f, 2000.0f}) {
        const std::vector<float> ir = reverbImpulseResponse({0, 0, ms, 0.999f}, ms / 1000.0 * 1.6 + 0.2);
        const double measured = rt60Seconds(ir, kRate) * 1000;
        std::printf("reverb: RT60 set %.0f ms, measured %.0f ms\n", ms, measured);
        EXPECT_NEAR(measured, ms, 0.15 * ms);
    }
}

TEST(Reverb, HighFrequenciesDecayInRatioTimesReverbTime) {
    const float ms = 2000, ratio = 0.5f;
    const std::vector<float> ir = reverbImpulseResponse({0, 0, ms, ratio}, 3.5);
    const double low = rt60Seconds(bandPass(ir, 400, 4, kRate), kRate) * 1000;
    const double high = rt60Seconds(bandPass(ir, kRate / 4.0, 4, kRate), kRate) * 1000;
    std::printf("reverb: ratio %.2f, RT60 at 400 Hz %.0f ms, at fs/4 %.0f ms\n", ratio, low, high);
    EXPECT_NEAR(low, ms, 0.15 * ms);
    EXPECT_NEAR(high, ratio * ms, 0.2 * ratio * ms);
}

TEST(Reverb, FullyDryIsBitExactPassThrough) {
    engine::Reverb reverb(kRate, 2);
    reverb.setParameters({0, -96, 1000, 0.001f});
    const std::vector<float> in = noise(kRate);
    std::vector<float> out = in;
    reverb.process(out.data(), out.size() / 2);
    EXPECT_EQ(out, in);

    // Back to dry after some reverb: the tail fades, then the signal passes untouched.
    reverb.setParameters({0, -13.86f, 1000, 0.001f});
    out = in;
    reverb.process(out.data(), out.size() / 2);
    EXPECT_NE(out, in);
    reverb.setParameters({0, -200, 1000, 0.001f});
    EXPECT_EQ(reverb.parameters().fReverbMix, -96.0f);
    out = in;
    reverb.process(out.data(), out.size() / 2);
    out = in;
    reverb.process(out.data(), out.size() / 2);
    EXPECT_EQ(out, in);
}

TEST(Reverb, FullMixHasNoDrySignal) {
    const std::vector<float> ir = reverbImpulseResponse({0, 0, 1000, 0.5f}, 0.5);
    const std::size_t tenMs = kRate / 100;
    EXPECT_LT(rms(ir.data(), tenMs), 1e-6);
    EXPECT_GT(rms(ir.data() + tenMs, ir.size() - tenMs), 1e-3);
}

TEST(Reverb, LevelStaysAboutTheSameAcrossMixes) {
    // A stereo recording of one voice: both channels carry the same signal.
    const std::vector<float> mono = noise(kRate * 4);
    std::vector<float> in(mono.size() * 2);
    for (std::size_t i = 0; i < mono.size(); ++i)
        in[2 * i] = in[2 * i + 1] = mono[i];
    for (auto [time, ratio] : {std::pair{1000.0f, 0.001f}, std::pair{2000.0f, 0.999f}, std::pair{500.0f, 0.3f}}) {
        for (float mix : {0.0f, -6.0f, -13.86f, -96.0f}) {
            engine::Reverb reverb(kRate, 2);
            reverb.setParameters({0, mix, time, ratio});
            std::vector<float> out = in;
            for (std::size_t at = 0; at < mono.size(); at += 4096)
                reverb.process(out.data() + at * 2, std::min<std::size_t>(4096, mono.size() - at));
            const std::size_t skip = kRate * 2; // measure once the tail has built up
            const double db = toDb(rms(out.data() + skip, out.size() - skip) / rms(in.data() + skip, in.size() - skip));
            std::printf("reverb: time %.0f ratio %.3f mix %.2f dB: level %+.2f dB\n", time, ratio, mix, db);
            EXPECT_LT(std::abs(db), 3.0) << "time " << time << " ratio " << ratio << " mix " << mix;
        }
    }
}

TEST(Reverb, DefaultsAndClamping) {
    engine::Reverb reverb(kRate, 1);
    BASS_DX8_REVERB p = reverb.parameters();
    EXPECT_EQ(p.fInGain, 0.0f);
    EXPECT_EQ(p.fReverbMix, 0.0f);
    EXPECT_EQ(p.fReverbTime, 1000.0f);
    EXPECT_EQ(p.fHighFreqRTRatio, 0.001f);
    reverb.setParameters({10, 5, 9000, 2});
    p = reverb.parameters();
    EXPECT_EQ(p.fInGain, 0.0f);
    EXPECT_EQ(p.fReverbMix, 0.0f);
    EXPECT_EQ(p.fReverbTime, 3000.0f);
    EXPECT_EQ(p.fHighFreqRTRatio, 0.999f);
    reverb.setParameters({-200, -200, 0, 0});
    p = reverb.parameters();
    EXPECT_EQ(p.fInGain, -96.0f);
    EXPECT_EQ(p.fReverbMix, -96.0f);
    EXPECT_EQ(p.fReverbTime, 0.001f);
    EXPECT_EQ(p.fHighFreqRTRatio, 0.001f);
}

TEST(Reverb, MixChangeDoesNotClick) {
    engine::Reverb reverb(kRate, 1);
    reverb.setParameters({0, -96, 1000, 0.5f});
    std::vector<float> s = sine(100, 1.0, kRate, 0.2);
    const std::size_t half = s.size() / 2;
    reverb.process(s.data(), half);
    const double toneStep = maxStep(s.data(), half);
    reverb.setParameters({0, 0, 1000, 0.5f}); // dry to all reverb at once
    reverb.process(s.data() + half, s.size() - half);
    EXPECT_LE(maxStep(s.data() + half - 1, kRate / 20), toneStep * 1.5);
}

TEST(Reverb, OutputDoesNotDependOnHowTheStreamIsCut) {
    for (int channels : {1, 2, 3}) {
        SCOPED_TRACE(channels);
        const std::vector<float> in = noise(std::size_t(kRate) * 2 * channels, 5 + channels);
        engine::Reverb whole(kRate, channels), pieces(kRate, channels);
        for (auto* reverb : {&whole, &pieces})
            reverb->setParameters({0, -3, 1500, 0.3f});
        std::vector<float> once = in, cut = in;
        whole.process(once.data(), once.size() / channels);
        processInPieces(pieces, cut, channels);
        EXPECT_NE(once, in);
        EXPECT_LT(maxDifference(once, cut), 1e-6);
    }
}

// ---------------------------------------------------------------- volume

TEST(Volume, HalfHalvesTheAmplitudeAfterTheRamp) {
    engine::Volume volume(kRate);
    const std::vector<float> in = noise(kRate);
    std::vector<float> out = in;
    volume.process(out.data(), out.size(), 1);
    EXPECT_EQ(out, in); // full volume passes through untouched

    volume.setTarget(0.5f);
    EXPECT_EQ(volume.target(), 0.5f);
    out = in;
    volume.process(out.data(), out.size(), 1);
    for (std::size_t i = kRate / 10; i < out.size(); ++i)
        ASSERT_FLOAT_EQ(out[i], in[i] * 0.5f);

    volume.setTarget(3.0f);
    EXPECT_EQ(volume.target(), 1.0f);
    volume.setTarget(-1.0f);
    EXPECT_EQ(volume.target(), 0.0f);
}

TEST(Volume, RampIsMonotonicWithEvenSteps) {
    engine::Volume volume(kRate);
    const int channels = 2;
    std::vector<float> ones(kRate / 10 * channels, 1.0f);
    // Something has been heard at full volume; from here a change must ramp.
    std::vector<float> before(64 * channels, 1.0f);
    volume.process(before.data(), 64, channels);
    volume.setTarget(0.2f);
    volume.process(ones.data(), ones.size() / channels, channels);
    std::vector<float> left(ones.size() / channels);
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = ones[i * channels];
        ASSERT_EQ(ones[i * channels + 1], left[i]);
    }
    std::size_t rampEnd = 0;
    while (rampEnd < left.size() && left[rampEnd] != 0.2f)
        ++rampEnd;
    ASSERT_LT(rampEnd, left.size()) << "never reached the target";
    // Long enough not to click (at least 5 ms), linear, never overshooting.
    EXPECT_GE(rampEnd, std::size_t(kRate / 200));
    const double evenStep = 0.8 / double(rampEnd + 1);
    for (std::size_t i = 1; i < left.size(); ++i) {
        ASSERT_LE(left[i], left[i - 1]);
        ASSERT_LE(left[i - 1] - left[i], evenStep * 1.01 + 1e-6);
        ASSERT_GE(left[i], 0.2f);
    }
}

TEST(Volume, FirstSoundStartsAtTheVolumeSetBeforeIt) {
    engine::Volume volume(kRate);
    volume.setTarget(0.25f);
    std::vector<float> frames(256, 1.0f);
    volume.process(frames.data(), frames.size(), 1);
    EXPECT_EQ(frames.front(), 0.25f);
    EXPECT_EQ(frames.back(), 0.25f);
}
