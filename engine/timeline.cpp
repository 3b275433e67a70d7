#include "engine/timeline.h"

#include <iterator>

namespace engine {

void Timeline::restart(std::int64_t fileFrame, double filePerOutput, double speed) {
    start_ = fileFrame;
    filePerOutput_ = filePerOutput;
    marks_ = {{0, fileFrame, speed}};
}

void Timeline::markSpeed(std::int64_t output, double speed) {
    const std::int64_t frame = fileFrameAt(output);
    while (marks_.size() > 1 && marks_.back().output >= output)
        marks_.pop_back();
    if (marks_.back().output >= output)
        marks_.back() = {output, frame, speed};
    else
        marks_.push_back({output, frame, speed});
}

void Timeline::markCut(std::int64_t output, std::int64_t fileFrames, double seconds) {
    marks_.push_back({output, fileFrameAt(output) + fileFrames, marks_.back().speed, seconds});
}

std::int64_t Timeline::fileFrameAt(std::int64_t output) const {
    auto mark = marks_.begin();
    while (std::next(mark) != marks_.end() && std::next(mark)->output <= output)
        ++mark;
    return mark->frame + static_cast<std::int64_t>(static_cast<double>(output - mark->output) * filePerOutput_ * mark->speed);
}

void Timeline::forgetBefore(std::int64_t output) {
    while (marks_.size() > 1 && marks_[1].output <= output) {
        marks_.pop_front();
        saved_ += marks_.front().saved;
    }
}

} // namespace engine
