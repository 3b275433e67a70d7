#include "engine/source_feed.h"

#include <pthread.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/speech_pause.h"

namespace engine {

namespace {

// Frames decoded per read: small enough that a seek asked for meanwhile waits little.
constexpr std::size_t readChunkFrames = 2048;

} // namespace

SourceFeed::SourceFeed(std::unique_ptr<Decoder> decoder, std::function<void()> onNews)
    : decoder_(std::move(decoder)), channels_(decoder_->channels()),
      capacityFrames_(static_cast<std::size_t>(depthSeconds * decoder_->sampleRate())), onNews_(std::move(onNews)) {
    segmentStart_ = decoder_->position();
}

SourceFeed::~SourceFeed() {
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach(); // the thread's own last reference is going: it is about to end
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SourceFeed::start(std::shared_ptr<void> keepAlive) { thread_ = std::thread(&SourceFeed::run, this, std::move(keepAlive)); }

void SourceFeed::stop(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
    if (!thread_.joinable())
        return;
    const bool ended = changed_.wait_for(lock, wait, [this] { return exited_; });
    lock.unlock();
    if (ended)
        thread_.join();
    else
        thread_.detach();
}

SourceFeed::View SourceFeed::view() const {
    std::lock_guard lock(mutex_);
    return {segment_, segmentStart_, queuedFramesLocked(), atEnd_};
}

std::size_t SourceFeed::take(std::uint64_t segment, float* out, std::size_t maxFrames) {
    std::size_t frames;
    bool lowWater;
    {
        std::lock_guard lock(mutex_);
        if (segment != segment_)
            return 0;
        frames = std::min(maxFrames, queuedFramesLocked());
        queue_.copyOut(0, frames * channels_, out);
        queue_.dropFront(frames * channels_);
        lowWater = queuedFramesLocked() < capacityFrames_ * 3 / 4;
    }
    if (frames > 0 && lowWater)
        changed_.notify_all(); // time for the decoding thread to refill
    return frames;
}

std::uint64_t SourceFeed::requestSeek(std::int64_t frame, std::optional<std::int64_t> phraseFrom) {
    std::lock_guard lock(mutex_);
    seekTo_ = frame;
    seekPhraseFrom_ = phraseFrom;
    changed_.notify_all();
    return ++seekTicket_;
}

std::optional<bool> SourceFeed::seekOutcome(std::uint64_t ticket, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, wait, [&] { return seekDoneTicket_ >= ticket || exited_; }))
        return std::nullopt;
    if (seekDoneTicket_ < ticket)
        return false;
    // One overtaken by a later request stands for it.
    return seekDoneTicket_ > ticket || seekDoneOk_;
}

std::chrono::steady_clock::duration SourceFeed::drySince() const {
    std::lock_guard lock(mutex_);
    // Waiting on a read or a seek with nothing to give meanwhile (a seek discards what is queued).
    const bool starved = seeking_ || seekTo_ || (queuedFramesLocked() == 0 && !atEnd_);
    if (!busySince_ || !starved)
        return {};
    return std::chrono::steady_clock::now() - *busySince_;
}

void SourceFeed::run(std::shared_ptr<void> /*keepAlive*/) {
    // Named, so a profiler (or a stack of a hung read) tells it from the output's thread.
    pthread_setname_np(pthread_self(), "tw-decoder");
    std::vector<float> chunk(readChunkFrames * static_cast<std::size_t>(channels_));
    std::unique_lock lock(mutex_);
    for (;;) {
        // Refilled in runs from three quarters full: a read for every frame taken would wake
        // this thread as often as the output takes.
        const std::size_t queued = queuedFramesLocked();
        filling_ = !atEnd_ && queued < capacityFrames_ && (filling_ || queued < capacityFrames_ * 3 / 4);
        changed_.wait(lock, [this] {
            const std::size_t frames = queuedFramesLocked();
            return stopping_ || seekTo_ || (!atEnd_ && (filling_ ? frames < capacityFrames_ : frames < capacityFrames_ * 3 / 4));
        });
        filling_ = true;
        if (stopping_)
            break;
        busySince_ = std::chrono::steady_clock::now();
        bool news = true;
        if (seekTo_) {
            const std::int64_t frame = *seekTo_;
            const auto phraseFrom = std::exchange(seekPhraseFrom_, std::nullopt);
            const std::uint64_t ticket = seekTicket_;
            seekTo_.reset();
            seeking_ = true;
            lock.unlock();
            const bool ok = SeekToPhrase(*decoder_, frame, phraseFrom);
            const std::int64_t position = decoder_->position();
            lock.lock();
            busySince_.reset();
            seeking_ = false;
            if (ok) {
                ++segment_;
                segmentStart_ = position;
                queue_.clear();
                atEnd_ = false;
            }
            seekDoneTicket_ = ticket;
            seekDoneOk_ = ok;
        } else {
            lock.unlock();
            const std::size_t got = decoder_->read(chunk.data(), readChunkFrames);
            lock.lock();
            busySince_.reset();
            // The output is told only when it may be waiting for these: it takes frames when
            // the server asks, and a wake-up for every read would cost a write each.
            news = queuedFramesLocked() == 0 || got == 0;
            // Kept even when a seek came meanwhile: a refused seek must not lose them.
            if (got == 0)
                atEnd_ = true;
            else
                queue_.append(chunk.data(), got * channels_);
        }
        if (stopping_)
            break;
        changed_.notify_all();
        if (news) {
            lock.unlock();
            onNews_();
            lock.lock();
        }
    }
    exited_ = true;
    changed_.notify_all();
}

} // namespace engine
