#include "engine/channel.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <pthread.h>

#include <algorithm>
#include <cmath>

namespace engine {

namespace {

// Frames per block of the peak history that levels are read from (about 5 ms).
constexpr std::int64_t peakBlockFrames = 256;
// Enough history for everything buffered between the decoder and the listener.
constexpr std::size_t peakHistoryBlocks = 1024;
// Frames decoded per step of the feeder.
constexpr std::size_t decodeChunkFrames = 1024;
// While the server is away, the feeder looks for its return this often.
constexpr auto reconnectPoll = std::chrono::milliseconds(100);
// A server away longer than this while playing is reported; a restart takes less.
constexpr auto lossGrace = std::chrono::seconds(3);

DWORD levelWord(float peak) {
    return static_cast<DWORD>(std::min(32768.0f, std::round(std::fabs(peak) * 32768.0f)));
}

} // namespace

Channel::Channel(std::unique_ptr<Decoder> decoder, const std::string& path, bool decodingOnly)
    : decoder_(std::move(decoder)), path_(path), rate_(decoder_->sampleRate()), channels_(decoder_->channels()),
      lengthFrames_(decoder_->lengthFrames()), fileSize_(decoder_->fileSize()), decodingOnly_(decodingOnly),
      volume_(rate_), tempo_(rate_, channels_) {}

Channel::~Channel() {
    if (feeder_.joinable()) {
        if (feeder_.get_id() == std::this_thread::get_id()) {
            feeder_.detach();
        } else {
            {
                std::lock_guard lock(wakeMutex_);
                stopRequested_ = true;
            }
            wakeCv_.notify_all();
            feeder_.join();
        }
    }
    stream_.reset();
    swr_free(&resampler_);
}

std::shared_ptr<Channel> Channel::openDecoding(const std::string& path) {
    auto decoder = Decoder::open(path);
    if (!decoder || decoder->channels() <= 0 || decoder->sampleRate() <= 0)
        return nullptr;
    return std::shared_ptr<Channel>(new Channel(std::move(decoder), path, true));
}

std::shared_ptr<Channel> Channel::openPlaying(const std::string& path, std::shared_ptr<PulseConnection> server) {
    auto pulse = server->current();
    if (!pulse)
        return nullptr;
    auto decoder = Decoder::open(path);
    if (!decoder || decoder->channels() <= 0 || decoder->sampleRate() <= 0)
        return nullptr;
    std::shared_ptr<Channel> channel(new Channel(std::move(decoder), path, false));
    channel->server_ = std::move(server);
    {
        std::lock_guard lock(channel->mutex_);
        if (!channel->openOutputLocked(std::move(pulse)))
            return nullptr;
    }
    // The buffer is filled at the first play(), after the caller has set the effects and
    // the volume, so the very first sound heard already carries them.
    channel->feeder_ = std::thread(&Channel::feederLoop, channel.get(), channel);
    return channel;
}

bool Channel::openOutputLocked(std::shared_ptr<PulseContext> pulse) {
    // A server that comes back may run at another rate.
    const int outRate = pulse->serverRate();
    const int outChannels = std::min(channels_, 2);
    swr_free(&resampler_);
    stream_ = PulseStream::open(std::move(pulse), outRate, outChannels, [this] { wakeFeeder(); });
    if (!stream_)
        return false;
    if (outRate != rate_ || outChannels != channels_) {
        AVChannelLayout inLayout, outLayout;
        av_channel_layout_default(&inLayout, channels_);
        av_channel_layout_default(&outLayout, outChannels);
        const int rc = swr_alloc_set_opts2(&resampler_, &outLayout, AV_SAMPLE_FMT_FLT, outRate, &inLayout,
                                           AV_SAMPLE_FMT_FLT, rate_, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        if (rc < 0 || swr_init(resampler_) < 0) {
            stream_.reset();
            return false;
        }
    }
    return true;
}

void Channel::shutdown() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    {
        std::lock_guard lock(wakeMutex_);
        stopRequested_ = true;
    }
    wakeCv_.notify_all();
    if (feeder_.joinable()) {
        // From inside our own sync procedure the feeder cannot wait for itself; it leaves
        // its loop as soon as the procedure returns.
        if (feeder_.get_id() == std::this_thread::get_id())
            feeder_.detach();
        else
            feeder_.join();
    }
    std::lock_guard lock(mutex_);
    stream_.reset();
}

void Channel::wakeFeeder() {
    {
        std::lock_guard lock(wakeMutex_);
        wakePending_ = true;
    }
    wakeCv_.notify_one();
}

// The thread owns a reference, so a channel freed from its own sync procedure outlives it.
void Channel::feederLoop(std::shared_ptr<Channel> /*keepAlive*/) {
    // Named, so a profiler tells its cost from the window's.
    pthread_setname_np(pthread_self(), "tw-feeder");
    bool outputLost = false;
    for (;;) {
        {
            std::unique_lock lock(wakeMutex_);
            const auto woken = [this] { return wakePending_ || stopRequested_; };
            if (outputLost)
                wakeCv_.wait_for(lock, reconnectPoll, woken);
            else
                wakeCv_.wait(lock, woken);
            if (stopRequested_)
                return;
            wakePending_ = false;
        }
        Service done;
        {
            std::lock_guard lock(mutex_);
            if (released_)
                return;
            done = serviceLocked();
        }
        outputLost = done.outputLost;
        if (done.endHeard)
            fireSync(true, 0);
        if (done.lossNews >= 0)
            fireSync(false, static_cast<DWORD>(done.lossNews));
    }
}

Channel::Service Channel::serviceLocked() {
    Service result;
    if (stream_ && stream_->failed())
        loseOutputLocked();
    if (!stream_) {
        if (!restoreOutputLocked()) {
            result.outputLost = true;
            if (state_ == State::Playing && !lossReported_ &&
                std::chrono::steady_clock::now() - lostSince_ >= lossGrace) {
                lossReported_ = true;
                result.lossNews = 1;
            }
            return result;
        }
        if (lossReported_) {
            lossReported_ = false;
            result.lossNews = 0;
        }
    }
    // A paused stream is not filled when the server asks: play() fills it with the
    // effects and volume set by then.
    if (state_ != State::Playing)
        return result;
    if (decodeFinished_ && stream_->drained()) {
        state_ = State::Ended;
        stream_->setCorked(true);
        peaks_.clear();
        result.endHeard = true;
        return result;
    }
    // Keeps the place to go on from if the server goes away, without asking it anything.
    heardFrameLocked(false);
    fillLocked();
    return result;
}

void Channel::loseOutputLocked() {
    if (state_ == State::Playing)
        pausedAt_ = heardFrameLocked(false);
    stream_.reset();
    lostSince_ = std::chrono::steady_clock::now();
    peaks_.clear();
}

bool Channel::restoreOutputLocked() {
    auto pulse = server_->current();
    if (!pulse || !openOutputLocked(std::move(pulse)))
        return false;
    if (state_ == State::Ended)
        return true; // play() starts it over
    decoder_->seek(pausedAt_);
    restartSegmentLocked(decoder_->position());
    if (state_ == State::Playing) {
        fillLocked();
        stream_->setCorked(false);
    }
    return true;
}

void Channel::fillLocked() {
    if (!stream_ || released_ || decodeFinished_)
        return;
    const int outRate = stream_->rate();
    const int outChannels = stream_->channels();
    std::size_t writable = stream_->writableFrames();
    // Gathered into one write: every write wakes the connection's thread to send it.
    pendingOutput_.clear();
    bool ended = false;
    while (writable > 0 && !ended) {
        const std::size_t wanted = std::clamp<std::size_t>(
            static_cast<std::size_t>(static_cast<double>(writable) * rate_ / outRate * tempo_.speed()), 1,
            decodeChunkFrames);
        decodeBuffer_.resize(wanted * channels_);
        const std::size_t got = stretchLocked(decodeBuffer_.data(), wanted);
        const float* out = decodeBuffer_.data();
        std::size_t outFrames = got;
        if (resampler_) {
            const int capacity = swr_get_out_samples(resampler_, static_cast<int>(got));
            outputBuffer_.resize(static_cast<std::size_t>(std::max(capacity, 1)) * outChannels);
            auto* outPtr = reinterpret_cast<std::uint8_t*>(outputBuffer_.data());
            const auto* inPtr = reinterpret_cast<const std::uint8_t*>(decodeBuffer_.data());
            // With no input left, this drains what the resampler still holds.
            const int converted =
                swr_convert(resampler_, &outPtr, std::max(capacity, 1), got ? &inPtr : nullptr, static_cast<int>(got));
            out = outputBuffer_.data();
            outFrames = static_cast<std::size_t>(std::max(converted, 0));
        }
        pendingOutput_.insert(pendingOutput_.end(), out, out + outFrames * outChannels);
        writable -= std::min(writable, outFrames);
        ended = got == 0;
    }
    const std::size_t frames = pendingOutput_.size() / outChannels;
    if (frames > 0) {
        stream_->write(pendingOutput_.data(), frames);
        writtenFrames_ += static_cast<std::int64_t>(frames);
    }
    if (ended) {
        decodeFinished_ = true;
        stream_->startDrain();
    }
}

std::size_t Channel::stretchLocked(float* frames, std::size_t maxFrames) {
    if (!tempo_.active())
        return processLocked(frames, maxFrames);
    stretchInput_.resize(decodeChunkFrames * channels_);
    while (tempo_.ready() < maxFrames && !tempo_.finished()) {
        const std::size_t got = processLocked(stretchInput_.data(), decodeChunkFrames);
        if (got == 0)
            tempo_.finish();
        else
            tempo_.put(stretchInput_.data(), got);
    }
    return tempo_.receive(frames, maxFrames);
}

std::size_t Channel::processLocked(float* frames, std::size_t maxFrames) {
    std::size_t got = 0;
    while (got < maxFrames) {
        const std::size_t n = decoder_->read(frames + got * channels_, maxFrames - got);
        if (n == 0)
            break;
        got += n;
    }
    if (got == 0)
        return 0;
    for (auto& slot : effects_)
        slot.effect->process(frames, got);
    volume_.process(frames, got, channels_);
    if (!decodingOnly_)
        recordPeaksLocked(frames, got, segmentStart_ + decodedFrames_);
    decodedFrames_ += static_cast<std::int64_t>(got);
    return got;
}

void Channel::recordPeaksLocked(const float* frames, std::size_t count, std::int64_t firstFrame) {
    for (std::size_t begin = 0; begin < count; begin += peakBlockFrames) {
        const std::size_t end = std::min<std::size_t>(count, begin + peakBlockFrames);
        float left = 0, right = 0;
        for (std::size_t f = begin; f < end; ++f) {
            left = std::max(left, std::fabs(frames[f * channels_]));
            right = std::max(right, std::fabs(frames[f * channels_ + (channels_ > 1 ? 1 : 0)]));
        }
        peaks_.push_back({firstFrame + static_cast<std::int64_t>(begin), firstFrame + static_cast<std::int64_t>(end),
                          left, right});
    }
    while (peaks_.size() > peakHistoryBlocks)
        peaks_.pop_front();
}

std::int64_t Channel::heardFrameLocked(bool refreshTiming) {
    if (decodingOnly_)
        return decoder_->position();
    if (state_ == State::Ended)
        return lengthFrames_;
    if (state_ == State::Paused || !stream_)
        return pausedAt_;
    std::int64_t heard = lastHeard_;
    if (auto latency = stream_->latencyFrames(refreshTiming)) {
        const std::int64_t outHeard = std::max<std::int64_t>(0, writtenFrames_ - *latency);
        while (speedMarks_.size() > 1 && speedMarks_[1].output <= outHeard)
            speedMarks_.pop_front();
        heard = fileFrameAtLocked(outHeard);
    }
    const std::int64_t lowest = std::max(segmentStart_, lastHeard_);
    heard = std::min(std::max(heard, lowest), segmentStart_ + decodedFrames_);
    lastHeard_ = heard;
    return heard;
}

std::int64_t Channel::fileFrameAtLocked(std::int64_t output) const {
    auto mark = speedMarks_.begin();
    while (std::next(mark) != speedMarks_.end() && std::next(mark)->output <= output)
        ++mark;
    const double outRate = stream_ ? stream_->rate() : rate_;
    return mark->frame +
           static_cast<std::int64_t>(static_cast<double>(output - mark->output) * rate_ / outRate * mark->speed);
}

void Channel::restartSegmentLocked(std::int64_t frame) {
    for (auto& slot : effects_)
        slot.effect->reset();
    tempo_.clear();
    if (resampler_) {
        swr_close(resampler_);
        swr_init(resampler_);
    }
    segmentStart_ = frame;
    decodedFrames_ = 0;
    writtenFrames_ = 0;
    lastHeard_ = frame;
    pausedAt_ = frame;
    speedMarks_ = {{0, frame, tempo_.speed()}};
    decodeFinished_ = false;
    peaks_.clear();
}

bool Channel::play() {
    std::lock_guard lock(mutex_);
    if (released_ || decodingOnly_)
        return false;
    if (state_ == State::Playing)
        return true;
    if (state_ == State::Ended) {
        // Playing a finished stream starts it over.
        if (stream_)
            stream_->flush();
        decoder_->seek(0);
        restartSegmentLocked(0);
    }
    state_ = State::Playing;
    // Without a stream (the server is away) the feeder starts it when the server is back.
    if (stream_) {
        if (writtenFrames_ == 0)
            fillLocked();
        stream_->setCorked(false);
    }
    wakeFeeder();
    return true;
}

bool Channel::pause() {
    std::lock_guard lock(mutex_);
    if (released_ || decodingOnly_ || state_ != State::Playing)
        return false;
    if (stream_)
        stream_->setCorked(true);
    pausedAt_ = heardFrameLocked();
    state_ = State::Paused;
    return true;
}

bool Channel::seek(std::int64_t frame) {
    std::lock_guard lock(mutex_);
    if (released_ || frame < 0 || frame > lengthFrames_)
        return false;
    if (decodingOnly_) {
        if (!decoder_->seek(frame))
            return false;
        for (auto& slot : effects_)
            slot.effect->reset();
        tempo_.clear();
        return true;
    }
    // Drop what the server holds, so the next frame heard is the one asked for.
    if (stream_)
        stream_->flush();
    const bool sought = decoder_->seek(frame);
    restartSegmentLocked(decoder_->position());
    if (state_ == State::Ended)
        state_ = State::Paused; // the stream was corked when it ended
    fillLocked();
    return sought;
}

std::int64_t Channel::positionFrames() {
    std::lock_guard lock(mutex_);
    if (released_)
        return -1;
    return heardFrameLocked();
}

DWORD Channel::level() {
    std::lock_guard lock(mutex_);
    if (released_)
        return static_cast<DWORD>(-1);
    if (decodingOnly_ || state_ != State::Playing || !stream_)
        return 0;
    const std::int64_t heard = heardFrameLocked();
    const std::int64_t from = heard - rate_ / 50;
    float left = 0, right = 0;
    for (const auto& block : peaks_) {
        if (block.end > from && block.start <= heard) {
            left = std::max(left, block.left);
            right = std::max(right, block.right);
        }
    }
    return levelWord(left) | (levelWord(right) << 16);
}

void Channel::setVolume(float volume, double slideSeconds) {
    std::lock_guard lock(mutex_);
    // The volume acts before the stretcher, on the file's frames: a second heard holds speed times as many.
    const double frames = std::clamp(slideSeconds * rate_ * tempo_.speed(), 0.0, 1e9);
    volume_.setTarget(std::clamp(volume, 0.0f, 1.0f), static_cast<int>(frames));
}

void Channel::setSpeed(double speed) {
    std::lock_guard lock(mutex_);
    if (released_)
        return;
    const double before = tempo_.speed();
    tempo_.setSpeed(speed);
    if (decodingOnly_ || tempo_.speed() == before)
        return;
    // Nothing queued is dropped: what the server holds plays out at the old speed, and from
    // the next frame written on the file advances at the new one.
    speedMarks_.push_back({writtenFrames_, fileFrameAtLocked(writtenFrames_), tempo_.speed()});
}

int Channel::addEffect(DWORD type) {
    std::lock_guard lock(mutex_);
    if (released_)
        return -1;
    std::unique_ptr<Effect> effect;
    if (type == BASS_FX_DX8_PARAMEQ)
        effect = std::make_unique<PeakingEq>(rate_, channels_);
    else if (type == BASS_FX_DX8_REVERB)
        effect = std::make_unique<Reverb>(rate_, channels_);
    else
        return -1;
    effects_.push_back({type, std::move(effect)});
    return static_cast<int>(effects_.size()) - 1;
}

bool Channel::effectParameters(int index, void* params) {
    std::lock_guard lock(mutex_);
    if (released_ || !params || index < 0 || index >= static_cast<int>(effects_.size()))
        return false;
    auto& slot = effects_[static_cast<std::size_t>(index)];
    if (slot.type == BASS_FX_DX8_PARAMEQ)
        *static_cast<BASS_DX8_PARAMEQ*>(params) = static_cast<PeakingEq&>(*slot.effect).parameters();
    else
        *static_cast<BASS_DX8_REVERB*>(params) = static_cast<Reverb&>(*slot.effect).parameters();
    return true;
}

bool Channel::setEffectParameters(int index, const void* params) {
    std::lock_guard lock(mutex_);
    if (released_ || !params || index < 0 || index >= static_cast<int>(effects_.size()))
        return false;
    auto& slot = effects_[static_cast<std::size_t>(index)];
    if (slot.type == BASS_FX_DX8_PARAMEQ)
        static_cast<PeakingEq&>(*slot.effect).setParameters(*static_cast<const BASS_DX8_PARAMEQ*>(params));
    else
        static_cast<Reverb&>(*slot.effect).setParameters(*static_cast<const BASS_DX8_REVERB*>(params));
    return true;
}

void Channel::setSync(DWORD type, HSYNC sync, DWORD channelHandle, SYNCPROC* proc, void* user) {
    std::lock_guard lock(mutex_);
    syncChannel_ = channelHandle;
    if (type == BASS_SYNC_END) {
        endSync_ = {sync, proc, user};
        endSyncFired_ = false;
    } else {
        lossSync_ = {sync, proc, user};
    }
}

void Channel::fireSync(bool end, DWORD data) {
    Sync sync;
    DWORD channel;
    {
        std::lock_guard lock(mutex_);
        sync = end ? endSync_ : lossSync_;
        if (released_ || !sync.proc || (end && endSyncFired_))
            return;
        endSyncFired_ = endSyncFired_ || end;
        channel = syncChannel_;
    }
    // Outside every lock: the procedure may free this stream or the whole engine.
    sync.proc(sync.handle, channel, data, sync.user);
}

long Channel::readProcessed(float* out, std::size_t maxFrames) {
    std::lock_guard lock(mutex_);
    if (released_ || !decodingOnly_)
        return -1;
    return static_cast<long>(stretchLocked(out, maxFrames));
}

} // namespace engine
