// Helpers shared by the effects and the volume: parameter clamping, ramp lengths, a
// compile-time channel count and SSE2-sized vectors.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace engine {

constexpr int kMaxChannels = 8;
constexpr double kPi = std::numbers::pi;

inline int framesFor(int sampleRate, double seconds) {
    return std::max(1, static_cast<int>(std::lround(sampleRate * seconds)));
}

// Non-finite values keep the previous setting; everything else is clamped.
inline float clampOrKeep(float value, float lo, float hi, float previous) {
    return std::isfinite(value) ? std::clamp(value, lo, hi) : previous;
}

template <typename Kernel>
inline void dispatchChannels(int channels, Kernel&& kernel) {
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

// SSE2-sized vectors: SSE2 is the baseline every x86-64 has, so no newer instruction set is assumed.
typedef double Doubles2 __attribute__((vector_size(16)));
typedef float Floats4 __attribute__((vector_size(16)));
typedef int Ints4 __attribute__((vector_size(16)));

// Unaligned loads and stores through memcpy: the compiler emits single moves.
inline Floats4 loadFloats4(const float* p) {
    Floats4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storeFloats4(float* p, Floats4 v) { std::memcpy(p, &v, sizeof v); }

} // namespace engine
