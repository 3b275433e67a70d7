#include "engine/tempo.h"

#include <soundtouch/SoundTouch.h>

#include <algorithm>
#include <cmath>

namespace engine {
namespace {

// Window lengths suited to speech: short sequences keep syllables from doubling at high
// speeds, and a narrow seek window keeps the cost low. The quick seek (a coarse search
// refined around its best match) halves the stretch's cost; in speech the joins it picks
// are not heard.
constexpr int kSequenceMs = 40;
constexpr int kSeekWindowMs = 15;
constexpr int kOverlapMs = 8;

} // namespace

Tempo::Tempo(int sampleRate, int channels) : stretcher_(std::make_unique<soundtouch::SoundTouch>()) {
    stretcher_->setSampleRate(static_cast<unsigned>(std::max(1, sampleRate)));
    stretcher_->setChannels(static_cast<unsigned>(std::max(1, channels)));
    stretcher_->setSetting(SETTING_SEQUENCE_MS, kSequenceMs);
    stretcher_->setSetting(SETTING_SEEKWINDOW_MS, kSeekWindowMs);
    stretcher_->setSetting(SETTING_OVERLAP_MS, kOverlapMs);
    stretcher_->setSetting(SETTING_USE_QUICKSEEK, 1);
}

Tempo::~Tempo() = default;

void Tempo::setSpeed(double speed) {
    if (std::isnan(speed))
        return;
    speed_ = std::clamp(speed, minSpeed, maxSpeed);
    stretcher_->setTempo(speed_);
}

void Tempo::put(const float* frames, std::size_t count) {
    finished_ = false;
    engaged_ = true;
    stretcher_->putSamples(frames, static_cast<unsigned>(count));
}

void Tempo::finish() {
    stretcher_->flush();
    finished_ = true;
}

std::size_t Tempo::ready() const { return stretcher_->numSamples(); }

std::size_t Tempo::receive(float* out, std::size_t maxFrames) {
    return stretcher_->receiveSamples(out, static_cast<unsigned>(maxFrames));
}

void Tempo::clear() {
    stretcher_->clear();
    engaged_ = false;
    finished_ = false;
}

} // namespace engine
