// Listens to the default sink's monitor in 5 ms blocks, stamping each block as it arrives,
// so the player's benchmarks can time what is actually played. A sound is stamped a little
// after it was played: the figures err long.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class SinkListener {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int rate = 48000;

    SinkListener() {
        pipe_ = popen("exec parec --raw --format=float32le --rate=48000 --channels=1 --latency-msec=5 "
                      "-d @DEFAULT_MONITOR@ 2>/dev/null",
                      "r");
        thread_ = std::thread([this] { run(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~SinkListener() {
        stop_ = true;
        if (pipe_)
            pclose(pipe_);
        thread_.join();
    }

    // Arrival of the first block after `since` with sound in it.
    std::optional<Clock::time_point> firstSoundAfter(Clock::time_point since) {
        std::lock_guard lock(mutex_);
        for (const Block& block : blocks_)
            if (block.arrival > since && block.peak > 0.01f)
                return block.arrival;
        return std::nullopt;
    }
    // Arrival of the first block after `since` that sounds at about hz all through.
    std::optional<Clock::time_point> firstToneAfter(Clock::time_point since, double hz) {
        std::lock_guard lock(mutex_);
        for (const Block& block : blocks_)
            if (block.arrival > since && block.loudThroughout && std::abs(block.hz - hz) < hz * 0.25)
                return block.arrival;
        return std::nullopt;
    }
    // Arrival of the block holding frame `frame` (counted as frames() counts); nothing before it arrived.
    std::optional<Clock::time_point> arrivalOf(std::size_t frame) {
        std::lock_guard lock(mutex_);
        const std::size_t block = frame / blockFrames;
        if (block >= blocks_.size())
            return std::nullopt;
        return blocks_[block].arrival;
    }
    std::size_t frames() {
        std::lock_guard lock(mutex_);
        return samples_.size();
    }
    std::vector<float> samplesSince(std::size_t fromFrame) {
        std::lock_guard lock(mutex_);
        return {samples_.begin() + std::min(samples_.size(), fromFrame), samples_.end()};
    }

private:
    static constexpr std::size_t blockFrames = 240;
    struct Block {
        Clock::time_point arrival;
        float peak;
        bool loudThroughout; // no 1 ms stretch of the block is silent
        double hz;
    };

    void run() {
        std::vector<float> block(blockFrames);
        while (!stop_ && pipe_) {
            if (fread(block.data(), sizeof(float), blockFrames, pipe_) != blockFrames)
                break;
            int crossings = 0;
            for (std::size_t i = 1; i < blockFrames; ++i)
                crossings += block[i - 1] < 0 && block[i] >= 0;
            float peak = 0;
            bool loudThroughout = true;
            for (std::size_t from = 0; from < blockFrames; from += 48) {
                float stretchPeak = 0;
                for (std::size_t i = from; i < from + 48; ++i)
                    stretchPeak = std::max(stretchPeak, std::abs(block[i]));
                loudThroughout = loudThroughout && stretchPeak > 0.02f;
                peak = std::max(peak, stretchPeak);
            }
            std::lock_guard lock(mutex_);
            blocks_.push_back({Clock::now(), peak, loudThroughout, crossings * double(rate) / blockFrames});
            samples_.insert(samples_.end(), block.begin(), block.end());
        }
    }

    FILE* pipe_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Block> blocks_;
    std::vector<float> samples_;
};
