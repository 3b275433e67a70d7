// Decoding and filling the buffer: a thread of its own reads and decodes a playing stream's
// file into a queue of raw frames (the file's rate and channels) a couple of seconds deep.
// Only that thread touches the decoder after start(), and it never holds the queue's lock
// while reading, so the output side and the caller's thread never wait on the file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/decoder.h"
#include "engine/sample_ring.h"

namespace engine {

class SourceFeed {
public:
    // How much decoded sound is kept ready ahead of the output.
    static constexpr double depthSeconds = 2.0;

    // onNews runs on the decoding thread (no lock held) when frames arrive in an empty queue,
    // a seek ends or the file ends.
    SourceFeed(std::unique_ptr<Decoder> decoder, std::function<void()> onNews);
    ~SourceFeed();
    SourceFeed(const SourceFeed&) = delete;
    SourceFeed& operator=(const SourceFeed&) = delete;

    // Starts the decoding thread; it holds keepAlive until it ends, so a thread left behind in
    // a hung read keeps what it touches alive.
    void start(std::shared_ptr<void> keepAlive);
    // Asks the thread to end and waits for it at most `wait`; a thread still inside a read is
    // left behind (it ends by itself once the read returns). Not from the decoding thread.
    void stop(std::chrono::milliseconds wait);

    // What the output side sees. A segment begins at every successful seek.
    struct View {
        std::uint64_t segment = 0;
        std::int64_t segmentStart = 0; // file frame the segment began at
        std::size_t ready = 0;         // frames queued
        bool atEnd = false;            // the file has no more frames for this segment
    };
    View view() const;
    // Takes up to maxFrames queued frames of segment `segment`; 0 when it is not current.
    std::size_t take(std::uint64_t segment, float* out, std::size_t maxFrames);

    // Queues a seek for the decoding thread; returns its ticket. A later seek supersedes it.
    // With phraseFrom, the thread seeks to the phrase start it finds from there (speech_pause.h).
    std::uint64_t requestSeek(std::int64_t frame, std::optional<std::int64_t> phraseFrom = std::nullopt);
    // The outcome of ticket (true: done; false: refused or superseded), waiting at most `wait`;
    // nothing while the thread is still busy (a hung read).
    std::optional<bool> seekOutcome(std::uint64_t ticket, std::chrono::milliseconds wait);
    // How long the file has given nothing while the queue was empty; zero when it has data or
    // has ended.
    std::chrono::steady_clock::duration drySince() const;

private:
    void run(std::shared_ptr<void> keepAlive);

    std::unique_ptr<Decoder> decoder_;
    const int channels_;
    const std::size_t capacityFrames_;
    std::function<void()> onNews_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    SampleRing queue_;
    std::size_t queuedFramesLocked() const { return queue_.size() / static_cast<std::size_t>(channels_); }
    std::uint64_t segment_ = 0;
    std::int64_t segmentStart_ = 0;
    bool atEnd_ = false;
    std::optional<std::int64_t> seekTo_;
    std::optional<std::int64_t> seekPhraseFrom_;
    bool seeking_ = false;
    bool filling_ = true; // reading until the queue is full
    std::uint64_t seekTicket_ = 0;     // the latest request
    std::uint64_t seekDoneTicket_ = 0; // the latest request answered
    bool seekDoneOk_ = false;
    // When the thread began the read or seek it is still inside; nothing when it is not in one.
    std::optional<std::chrono::steady_clock::time_point> busySince_;
    bool stopping_ = false;
    bool exited_ = false;
    std::thread thread_;
};

} // namespace engine
