// The timeline of a playing stream: which file frame each output frame written since the
// last seek carries. The output runs at the server's rate and, with the stretcher on, its
// frames carry the file's at the listening speed; a speed change marks where it took effect,
// and so does a cut (a pause heard shorter), where the file jumps on.
#pragma once

#include <cstdint>
#include <deque>

namespace engine {

class Timeline {
public:
    // A new segment: output frame 0 carries file frame `fileFrame`; filePerOutput is the
    // file's rate over the output's.
    void restart(std::int64_t fileFrame, double filePerOutput, double speed);
    // From output frame `output` on, the file advances at `speed`; marks after it are dropped
    // (what was written after it is being written again).
    void markSpeed(std::int64_t output, double speed);
    // From output frame `output` (at or after every mark) on, the file is fileFrames further on;
    // seconds is the listening time the frames left out would have taken.
    void markCut(std::int64_t output, std::int64_t fileFrames, double seconds);
    std::int64_t fileFrameAt(std::int64_t output) const;
    // Output frames before `output` are heard: their marks are no longer needed.
    void forgetBefore(std::int64_t output);
    std::int64_t start() const { return start_; }
    // The listening time the cuts heard so far have saved, over every segment.
    double savedSeconds() const { return saved_; }

private:
    struct SpeedMark {
        std::int64_t output;
        std::int64_t frame;
        double speed;
        double saved = 0; // seconds a cut here saves
    };
    std::int64_t start_ = 0;
    double saved_ = 0;
    double filePerOutput_ = 1.0;
    std::deque<SpeedMark> marks_{{0, 0, 1.0}}; // the first not after the frame heard, then later ones
};

} // namespace engine
