// The stream effects: peaking EQ checked against the cookbook formulas and sox,
// reverb decay measured from its impulse response, volume ramps, loudness levelling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <string>
#include <numbers>
#include <vector>

#include "engine/dsp.h"
#include "engine/loudness_gain.h"
#include "support/fixtures.h"

using namespace testsupport;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kRate = 44100;

double toDb(double ratio) { return 20 * std::log10(ratio); }

// Peaking EQ magnitude straight from the cookbook (unnormalised coefficients).
double cookbookPeakingDb(double f0, double semitones, double gainDb, double fs, double f) {
    const double A = std::pow(10.0, gainDb / 40), w0 = 2 * kPi * f0 / fs;
    const double alpha = std::sin(w0) * std::sinh(std::log(2.0) / 2 * semitones / 12 * w0 / std::sin(w0));
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

std::vector<float> noise(std::size_t samples, std::uint32_t seed = 7) {
    std::vector<float> out(samples);
    for (float& s : out) {
        seed = seed * 1664525u + 1013904223u;
        s = 0.3f * static_cast<float>(static_cast<std::int32_t>(seed) / 2147483648.0);
    }
    return out;
}

// Steady-state gain through an effect, skipping the settling part.
double measuredGainDb(const std::vector<float>& in, const std::vector<float>& out, std::size_t skip) {
    return toDb(rms(out.data() + skip, out.size() - skip) / rms(in.data() + skip, in.size() - skip));
}

template <typename Effect, typename Params>
std::vector<float> processed(Effect& effect, const Params& params, std::vector<float> frames, int channels) {
    effect.setParameters(params);
    effect.process(frames.data(), frames.size() / channels);
    return frames;
}

// A tone filtered by sox's equaliser, read back as raw floats.
std::vector<float> soxEqualised(double hz, double centre, double octaves, double gainDb) {
    const std::string raw = capture("sox -n -r " + std::to_string(kRate) + " -c 1 -e floating-point -b 32 -t raw - synth 1 sine " +
                                    std::to_string(hz) + " vol 0.25 equalizer " + std::to_string(centre) + " " +
                                    std::to_string(octaves) + "o " + std::to_string(gainDb));
    std::vector<float> out(raw.size() / sizeof(float));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
    return out;
}

// Decay time (RT60) of an impulse response from its Schroeder integral, fitted between -5 and -25 dB.
double rt60Seconds(const std::vector<float>& response, int rate) {
    std::vector<double> edc(response.size());
    double acc = 0;
    for (std::size_t i = response.size(); i-- > 0;)
        edc[i] = acc += double(response[i]) * response[i];
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (std::size_t i = 0; i < edc.size(); ++i) {
        const double db = 10 * std::log10(edc[i] / edc[0]), t = double(i) / rate;
        if (db <= -5 && db >= -25)
            sx += t, sy += db, sxx += t * t, sxy += t * db, ++n;
    }
    return -60 / ((n * sxy - sx * sy) / (n * sxx - sx * sx));
}

std::vector<float> reverbImpulseResponse(const BASS_DX8_REVERB& p, double seconds) {
    engine::Reverb reverb(kRate, 1);
    std::vector<float> ir(static_cast<std::size_t>(seconds * kRate), 0.0f);
    ir[0] = 1.0f;
    return processed(reverb, p, ir, 1);
}

// Largest first (order 1) or second (order 2) difference: a click stands out against a smooth tone.
double maxDifference(const float* s, std::size_t count, int order) {
    double m = 0;
    for (std::size_t i = order; i < count; ++i)
        m = std::max(m, std::abs(order == 1 ? double(s[i]) - s[i - 1] : double(s[i]) - 2.0 * s[i - 1] + s[i - 2]));
    return m;
}

} // namespace

TEST(PeakingEq, GainMatchesTheCookbookAtAndAroundEachCentreAndAgreesWithSox) {
    const double semitones = 28;
    for (double centre : {100.0, 3000.0, 12000.0}) {
        for (double probe : {centre / 2, centre, centre * 1.5})
            for (double gain : {10.0, -15.0}) {
                SCOPED_TRACE(::testing::Message() << "centre " << centre << " probe " << probe << " gain " << gain);
                engine::PeakingEq eq(kRate, 1);
                const std::vector<float> in = sine(probe, 1.0, kRate);
                const double oursDb = measuredGainDb(
                    in, processed(eq, BASS_DX8_PARAMEQ{float(centre), float(semitones), float(gain)}, in, 1), kRate / 2);
                EXPECT_NEAR(oursDb, cookbookPeakingDb(centre, semitones, gain, kRate, probe), 0.05);
                if (probe != centre)
                    continue;
                // A second, independent equaliser reads the bandwidth the same way.
                const std::vector<float> sox = soxEqualised(probe, centre, semitones / 12, gain);
                EXPECT_NEAR(oursDb, toDb(rms(sox.data() + kRate / 2, kRate / 2) / rms(in.data() + kRate / 2, kRate / 2)), 0.5);
            }
    }
}

// The decay follows the reverb time up to its limit; turned down below its range the reverb
// leaves the sound untouched, also once some has rung out.
TEST(Reverb, DecayTimeMatchesReverbTimeUpToItsLimitAndBelowItsRangeItIsFullyDry) {
    for (auto [asked, expected] : {std::pair{500.0f, 500.0}, std::pair{2000.0f, 2000.0}, std::pair{5000.0f, 3000.0}}) {
        const std::vector<float> ir = reverbImpulseResponse({0, 0, asked, 0.999f}, expected / 1000.0 * 1.6 + 0.2);
        EXPECT_NEAR(rt60Seconds(ir, kRate) * 1000, expected, 0.15 * expected);
        // A full mix has no dry signal: the first 10 ms are silent.
        EXPECT_LT(rms(ir.data(), kRate / 100), 1e-6);
    }
    const std::vector<float> in = noise(kRate);
    engine::Reverb reverb(kRate, 2);
    EXPECT_NE(processed(reverb, BASS_DX8_REVERB{0, -13.86f, 1000, 0.001f}, in, 2), in);
    processed(reverb, BASS_DX8_REVERB{0, -200, 1000, 0.001f}, in, 2);
    EXPECT_EQ(processed(reverb, BASS_DX8_REVERB{0, -96, 1000, 0.001f}, in, 2), in);
}

TEST(Effects, ParameterJumpsDoNotClick) {
    // A tone through its own EQ band while the gain jumps from -15 to +15 dB.
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
        EXPECT_LE(maxDifference(s.data(), s.size(), 1), maxDifference(settled, kRate / 4, 1) * 1.1);
        EXPECT_LE(maxDifference(s.data(), s.size(), 2), maxDifference(settled, kRate / 4, 2) * 1.1);
    }
}

// Once sound was heard, volume changes ramp to their clamped target.
TEST(Volume, ChangesRampToTheirClampedTarget) {
    engine::Volume volume(kRate);
    std::vector<float> out = noise(kRate * 2);
    volume.process(out.data(), out.size() / 2, 2); // heard at full volume: from here changes ramp
    float from = 1;
    for (auto [asked, heard] : {std::pair{0.2f, 0.2f}, std::pair{3.0f, 1.0f}, std::pair{-1.0f, 0.0f}}) {
        SCOPED_TRACE(asked);
        volume.setTarget(asked);
        std::vector<float> gain(kRate / 5 * 2, 1.0f);
        volume.process(gain.data(), gain.size() / 2, 2);
        const std::size_t rampEnd = std::find(gain.begin(), gain.end(), heard) - gain.begin();
        ASSERT_LT(rampEnd, gain.size()) << "never reached the target";
        // Long enough not to click (at least 5 ms), never overshooting, both channels alike.
        EXPECT_GE(rampEnd / 2, std::size_t(kRate / 200));
        for (std::size_t i = 0; i < gain.size(); i += 2)
            ASSERT_TRUE(gain[i] == gain[i + 1] && gain[i] >= std::min(from, heard) && gain[i] <= std::max(from, heard)) << i;
        from = heard;
    }
}

// Levelling at +15 dB: a tone glides up evenly to it; a loud noise is held under the ceiling yet
// raised. Before the first setting and once switched off (glided back) the sound is untouched.
TEST(LoudnessGain, GlidesEvenlyLimitsToTheCeilingAndOutOfTheChainLeavesTheSoundAsItCame) {
    const struct {
        std::vector<float> in;
        double leastDb; // raised at least this much, once glided in
    } rows[] = {{sine(1000, 8, kRate, 0.05), 14.95}, {noise(kRate * 8), 5}};
    for (const auto& [in, leastDb] : rows) {
        engine::LoudnessGain level(kRate, 1);
        std::vector<float> out = in;
        level.process(out.data(), kRate);
        level.setTarget(true, 15);
        level.process(out.data() + kRate, 3 * kRate);
        level.setTarget(false, 0);
        level.process(out.data() + 4 * kRate, 4 * kRate);
        EXPECT_TRUE(std::equal(in.begin(), in.begin() + kRate, out.begin()));
        EXPECT_TRUE(std::equal(in.end() - 2 * kRate, in.end(), out.end() - 2 * kRate));
        const double raised = toDb(rms(out.data() + 3 * kRate, kRate) / rms(in.data() + 3 * kRate, kRate));
        EXPECT_TRUE(raised >= leastDb && raised < 15.05) << raised;
        // Peaks of 10 ms blocks: never above the ceiling, and for the tone never a step of 0.2 dB.
        std::vector<double> peaks;
        for (std::size_t f = 0; f + kRate / 100 <= out.size(); f += kRate / 100)
            peaks.push_back(std::fabs(*std::max_element(out.begin() + f, out.begin() + f + kRate / 100,
                                                        [](float a, float b) { return std::fabs(a) < std::fabs(b); })));
        EXPECT_LE(*std::max_element(peaks.begin(), peaks.end()), engine::LoudnessGain::ceiling);
        for (std::size_t i = 1; i < peaks.size() && leastDb > 10; ++i)
            ASSERT_LT(std::fabs(toDb(peaks[i] / peaks[i - 1])), 0.2) << i;
    }
}
