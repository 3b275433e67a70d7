// Listening speed with the pitch kept: a time-stretch stage between the effects and the
// output. Frames go in at the book's rate and come out 1/speed as many.
#pragma once

#include <cstddef>
#include <memory>

namespace soundtouch {
class SoundTouch;
}

namespace engine {

class Tempo {
public:
    static constexpr double minSpeed = 0.5;
    static constexpr double maxSpeed = 3.0;

    Tempo(int sampleRate, int channels);
    ~Tempo();
    Tempo(const Tempo&) = delete;
    Tempo& operator=(const Tempo&) = delete;

    // Clamped to minSpeed..maxSpeed; NaN keeps the speed. What is buffered stays and goes on
    // at the new speed, so a change while playing is seamless.
    void setSpeed(double speed);
    double speed() const { return speed_; }
    // At exactly 1.0 the stage is left out of the chain, but only once it holds nothing:
    // a stage brought back to 1.0 stays in until the next clear().
    bool active() const { return speed_ != 1.0 || engaged_; }

    void put(const float* frames, std::size_t count);
    // The input has ended: pushes the buffered tail out.
    void finish();
    bool finished() const { return finished_; }
    std::size_t ready() const;
    // Up to maxFrames stretched frames; returns how many.
    std::size_t receive(float* out, std::size_t maxFrames);
    // Forget the past (after a seek).
    void clear();

private:
    std::unique_ptr<soundtouch::SoundTouch> stretcher_;
    double speed_ = 1.0;
    bool engaged_ = false; // fed since the last clear()
    bool finished_ = false;
};

} // namespace engine
