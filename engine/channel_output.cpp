// The output side of a playing channel: its thread, its stream on the server and the
// reconnection, and the chain from the queue's raw frames to what the server plays:
// stretcher, resampler, effects, volume.
#include "engine/channel.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <pthread.h>

#include <algorithm>
#include <utility>

namespace engine {

namespace {

// Raw frames taken per step of the chain.
constexpr std::size_t chunkFrames = 1024;
// While the server is away or the file gives nothing, the output looks again this often.
constexpr auto pollInterval = std::chrono::milliseconds(100);
// A server away longer than this while playing is reported; a restart takes less.
constexpr auto lossGrace = std::chrono::seconds(3);
// A file that has given nothing this long when its sound runs out is reported.
constexpr auto stallGrace = std::chrono::seconds(2);

} // namespace

void Channel::wakeOutput() {
    {
        std::lock_guard lock(wakeMutex_);
        wakePending_ = true;
    }
    // All: shutdown() waits on the same condition.
    wakeCv_.notify_all();
}

// The thread owns a reference, so a channel freed from its own sync procedure outlives it.
void Channel::outputLoop(std::shared_ptr<Channel> /*keepAlive*/) {
    // Named, so a profiler tells its cost from the window's.
    pthread_setname_np(pthread_self(), "tw-output");
    bool poll = false;
    for (;;) {
        {
            std::unique_lock lock(wakeMutex_);
            const auto woken = [this] { return wakePending_ || stopRequested_; };
            if (poll)
                wakeCv_.wait_for(lock, pollInterval, woken);
            else
                wakeCv_.wait(lock, woken);
            if (stopRequested_)
                break;
            wakePending_ = false;
        }
        const Service done = service();
        poll = done.poll;
        if (done.endHeard)
            fireSync(EndSync, 0);
        if (done.lossNews >= 0)
            fireSync(LossSync, static_cast<DWORD>(done.lossNews));
        if (done.stallNews >= 0)
            fireSync(StallSync, static_cast<DWORD>(done.stallNews));
    }
    std::lock_guard lock(wakeMutex_);
    outputExited_ = true;
    wakeCv_.notify_all();
}

Channel::Service Channel::service() {
    Service result;
    std::unique_lock lock(mutex_);
    if (released_)
        return result;
    if (stream_ && stream_->failed())
        loseOutputLocked();
    if (!stream_) {
        // Opening waits for the server's answer: outside the lock.
        lock.unlock();
        auto pulse = server_->current();
        auto fresh = pulse ? openStream(std::move(pulse)) : nullptr;
        lock.lock();
        if (released_)
            return result;
        if (!installStreamLocked(std::move(fresh))) {
            result.poll = true;
            if (state_ == State::Playing && !lossReported_ && std::chrono::steady_clock::now() - lostSince_ >= lossGrace) {
                lossReported_ = true;
                result.lossNews = 1;
            }
            return result;
        }
        if (lossReported_) {
            lossReported_ = false;
            result.lossNews = 0;
        }
        // The new stream goes on from the frame last heard.
        if (state_ != State::Ended) {
            pendingSeek_ = pausedAt_;
            pendingSeekTicket_ = feed_->requestSeek(pausedAt_);
        }
        if (state_ == State::Playing)
            stream_->setCorked(false);
    }
    followSourceLocked();
    // Paused too: play() goes on with what the server holds.
    if (!pendingSeek_ && !rewriteHeldLocked())
        result.poll = true;
    // A paused stream is not filled when the server asks: play() fills it with the
    // effects and volume set by then.
    if (state_ != State::Playing || pendingSeek_)
        return result;
    if (decodeFinished_) {
        if (stream_->drained()) {
            state_ = State::Ended;
            stream_->setCorked(true);
            peaks_.clear();
            result.endHeard = true;
        }
        return result;
    }
    // Keeps the place to go on from if the server goes away, without asking it anything.
    heardFrameLocked(false);
    checkStallLocked(result, fillLocked());
    return result;
}

void Channel::followSourceLocked() {
    // The answer first: a seek that ended after the look at the queue is seen next time.
    if (pendingSeek_ && feed_->seekOutcome(pendingSeekTicket_, std::chrono::milliseconds(0)))
        pendingSeek_.reset();
    const SourceFeed::View view = feed_->view();
    if (view.segment == segment_)
        return;
    // The decoder is at the new place: only now is what the server holds dropped.
    segment_ = view.segment;
    if (stream_)
        stream_->flush();
    restartSegmentLocked(view.segmentStart);
    if (state_ == State::Ended)
        state_ = State::Paused; // the stream was corked when it ended
}

void Channel::checkStallLocked(Service& result, bool wrote) {
    if (wrote) {
        if (stallReported_) {
            stallReported_ = false;
            result.stallNews = 1;
        }
        return;
    }
    const auto dry = feed_->drySince();
    if (dry == std::chrono::steady_clock::duration::zero())
        return;
    result.poll = true;
    // Said once the listener has heard (nearly) all there was, not while the server still
    // plays it; the server's own latency keeps the last few milliseconds unaccounted for.
    const auto heard = heardOutputLocked(false);
    const std::int64_t unheard = heard ? writtenFrames_ - *heard : writtenFrames_;
    if (!stallReported_ && dry >= stallGrace && unheard <= stream_->rate() / 5) {
        stallReported_ = true;
        result.stallNews = 0;
    }
}

std::unique_ptr<PulseStream> Channel::openStream(std::shared_ptr<PulseContext> pulse) {
    // A server that comes back may run at another rate.
    const int outRate = pulse->serverRate();
    return PulseStream::open(std::move(pulse), outRate, std::min(channels_, 2), [this] { wakeOutput(); });
}

bool Channel::installStreamLocked(std::unique_ptr<PulseStream> stream) {
    if (!stream)
        return false;
    const int outRate = stream->rate();
    const int outChannels = stream->channels();
    swr_free(&resampler_);
    if (outRate != rate_ || outChannels != channels_) {
        AVChannelLayout inLayout, outLayout;
        av_channel_layout_default(&inLayout, channels_);
        av_channel_layout_default(&outLayout, outChannels);
        const int rc = swr_alloc_set_opts2(&resampler_, &outLayout, AV_SAMPLE_FMT_FLT, outRate, &inLayout,
                                           AV_SAMPLE_FMT_FLT, rate_, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        if (rc < 0 || swr_init(resampler_) < 0) {
            swr_free(&resampler_);
            return false;
        }
    }
    if (outRate != effectRate_ || outChannels != effectChannels_)
        rebuildEffectsLocked(outRate, outChannels);
    stream_ = std::move(stream);
    return true;
}

void Channel::rebuildEffectsLocked(int rate, int channels) {
    effectRate_ = rate;
    effectChannels_ = channels;
    for (auto& slot : effects_) {
        if (slot.type == BASS_FX_DX8_PARAMEQ) {
            auto eq = std::make_unique<PeakingEq>(rate, channels);
            eq->setParameters(static_cast<PeakingEq&>(*slot.effect).parameters());
            slot.effect = std::move(eq);
        } else {
            auto reverb = std::make_unique<Reverb>(rate, channels);
            reverb->setParameters(static_cast<Reverb&>(*slot.effect).parameters());
            slot.effect = std::move(reverb);
        }
    }
}

void Channel::loseOutputLocked() {
    if (state_ == State::Playing)
        pausedAt_ = heardFrameLocked(false);
    stream_.reset();
    lostSince_ = std::chrono::steady_clock::now();
    peaks_.clear();
}

bool Channel::fillLocked() {
    if (!stream_ || decodeFinished_)
        return false;
    const int outRate = stream_->rate();
    const int outChannels = stream_->channels();
    // After a change of speed, what was written from some frame on is written again.
    std::size_t writable = stream_->writableFrames() + static_cast<std::size_t>(rewindFrames_);
    // Gathered into one write: every write wakes the connection's thread to send it.
    pendingOutput_.clear();
    bool ended = false;
    while (writable > 0 && !ended) {
        const std::size_t wanted = std::clamp<std::size_t>(
            static_cast<std::size_t>(static_cast<double>(writable) * rate_ / outRate * tempo_.speed()), 1, chunkFrames);
        chunk_.resize(wanted * channels_);
        const std::size_t got = shortenLocked(chunk_.data(), wanted, ended);
        if (got == 0 && !ended)
            break; // the queue is dry: more when the decoder has some
        const float* out = chunk_.data();
        std::size_t outFrames = got;
        if (resampler_) {
            const int capacity = std::max(swr_get_out_samples(resampler_, static_cast<int>(got)), 1);
            resampled_.resize(static_cast<std::size_t>(capacity) * outChannels);
            auto* outPtr = reinterpret_cast<std::uint8_t*>(resampled_.data());
            const auto* inPtr = reinterpret_cast<const std::uint8_t*>(chunk_.data());
            // With no input left, this drains what the resampler still holds.
            const int converted = swr_convert(resampler_, &outPtr, capacity, got ? &inPtr : nullptr, static_cast<int>(got));
            out = resampled_.data();
            outFrames = static_cast<std::size_t>(std::max(converted, 0));
        }
        pendingOutput_.insert(pendingOutput_.end(), out, out + outFrames * outChannels);
        writable -= std::min(writable, outFrames);
    }
    const std::size_t frames = pendingOutput_.size() / outChannels;
    if (frames > 0) {
        processForOutputLocked(pendingOutput_.data(), frames, outChannels);
        peaks_.record(pendingOutput_.data(), frames, outChannels, writtenFrames_);
        if (rewindFrames_ > 0)
            stream_->rewrite(pendingOutput_.data(), frames, -std::exchange(rewindFrames_, 0));
        else
            stream_->write(pendingOutput_.data(), frames);
        writtenFrames_ += static_cast<std::int64_t>(frames);
        trimHeldLocked();
    }
    if (ended) {
        decodeFinished_ = true;
        stream_->startDrain();
    }
    return frames > 0;
}

std::size_t Channel::pullLocked(float* frames, std::size_t maxFrames, bool& ended) {
    std::size_t got = 0;
    if (decodingOnly_) {
        while (got < maxFrames) {
            const std::size_t n = decoder_->read(frames + got * channels_, maxFrames - got);
            if (n == 0)
                break;
            got += n;
        }
        ended = got == 0;
        return got;
    }
    const auto channels = static_cast<std::size_t>(channels_);
    got = std::min(maxFrames, replay_.size() / channels);
    std::copy_n(replay_.begin(), got * channels, frames);
    replay_.erase(replay_.begin(), replay_.begin() + static_cast<std::ptrdiff_t>(got * channels));
    if (got == 0)
        got = feed_->take(segment_, frames, maxFrames);
    heldRaw_.append(frames, got * channels);
    nextFileFrame_ += static_cast<std::int64_t>(got);
    if (got == 0) {
        const SourceFeed::View view = feed_->view();
        ended = view.segment == segment_ && view.atEnd && view.ready == 0;
    }
    return got;
}

std::size_t Channel::stretchLocked(float* frames, std::size_t maxFrames, bool& ended) {
    ended = false;
    if (!tempo_.active())
        return pullLocked(frames, maxFrames, ended);
    stretchInput_.resize(chunkFrames * channels_);
    while (tempo_.ready() < maxFrames && !tempo_.finished()) {
        bool sourceEnded = false;
        const std::size_t got = pullLocked(stretchInput_.data(), chunkFrames, sourceEnded);
        if (got > 0) {
            tempo_.put(stretchInput_.data(), got);
        } else {
            if (sourceEnded)
                tempo_.finish();
            break;
        }
    }
    const std::size_t got = tempo_.receive(frames, maxFrames);
    ended = got == 0 && tempo_.finished();
    return got;
}

void Channel::applyEffectsLocked(float* frames, std::size_t count, int channels) {
    for (auto& slot : effects_)
        slot.effect->process(frames, count);
    level_.process(frames, count);
    volume_.process(frames, count, channels);
}

std::optional<std::int64_t> Channel::heardOutputLocked(bool refreshTiming) {
    const auto latency = stream_->latencyFrames(refreshTiming);
    if (!latency)
        return std::nullopt;
    // Never beyond what was written: a file that gives nothing must not run the place on.
    return std::clamp<std::int64_t>(writtenFrames_ - *latency, 0, writtenFrames_);
}

std::int64_t Channel::heardFrameLocked(bool refreshTiming) {
    if (decodingOnly_)
        return decoder_->position();
    if (state_ == State::Ended)
        return lengthFrames_;
    if (pendingSeek_)
        return *pendingSeek_;
    if (state_ == State::Paused || !stream_)
        return pausedAt_;
    std::int64_t heard = lastHeard_;
    if (const auto output = heardOutputLocked(refreshTiming)) {
        timeline_.forgetBefore(*output);
        heard = timeline_.fileFrameAt(*output);
    }
    const std::int64_t lowest = std::max(timeline_.start(), lastHeard_);
    const std::int64_t highest = std::min(timeline_.fileFrameAt(writtenFrames_), lengthFrames_);
    heard = std::min(std::max(heard, lowest), std::max(lowest, highest));
    lastHeard_ = heard;
    return heard;
}

void Channel::restartSegmentLocked(std::int64_t frame) {
    for (auto& slot : effects_)
        slot.effect->reset();
    level_.reset();
    tempo_.clear();
    pauses_.clear();
    if (resampler_) {
        swr_close(resampler_);
        swr_init(resampler_);
    }
    const double outRate = stream_ ? stream_->rate() : rate_;
    timeline_.restart(frame, rate_ / outRate, tempo_.speed());
    writtenFrames_ = 0;
    lastHeard_ = frame;
    pausedAt_ = frame;
    decodeFinished_ = false;
    peaks_.clear();
    heldDry_.clear();
    heldWet_.clear();
    volumeMarks_.clear();
    heldStart_ = 0;
    heldRaw_.clear();
    replay_.clear();
    nextFileFrame_ = frame;
    rewindFrames_ = 0;
    speedChanged_ = false;
}

} // namespace engine
