#include "engine/timeline.h"

#include <iterator>

namespace engine {

void Timeline::restart(std::int64_t fileFrame, double filePerOutput, double speed) {
    start_ = fileFrame;
    filePerOutput_ = filePerOutput;
    marks_ = {{0, fileFrame, speed}};
}

void Timeline::markSpeed(std::int64_t output, double speed) { marks_.push_back({output, fileFrameAt(output), speed}); }

std::int64_t Timeline::fileFrameAt(std::int64_t output) const {
    auto mark = marks_.begin();
    while (std::next(mark) != marks_.end() && std::next(mark)->output <= output)
        ++mark;
    return mark->frame + static_cast<std::int64_t>(static_cast<double>(output - mark->output) * filePerOutput_ * mark->speed);
}

void Timeline::forgetBefore(std::int64_t output) {
    while (marks_.size() > 1 && marks_[1].output <= output)
        marks_.pop_front();
}

} // namespace engine
