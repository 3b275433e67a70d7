// How long the window's thread goes without handling events: a 10 ms timer on it, and how late
// it fires at the worst.
#pragma once

#include <QTimer>
#include <algorithm>
#include <chrono>

class StallProbe {
public:
    StallProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = std::chrono::steady_clock::now();
            longestMs_ = std::max(longestMs_, std::chrono::duration<double, std::milli>(now - last_).count() - 10);
            last_ = now;
        });
    }
    void start() {
        last_ = std::chrono::steady_clock::now();
        timer_.start(10);
    }
    void stop() { timer_.stop(); }
    // The longest stall since the start or the last call.
    double takeLongestMs() { return std::exchange(longestMs_, 0); }

private:
    QTimer timer_;
    std::chrono::steady_clock::time_point last_;
    double longestMs_ = 0;
};
