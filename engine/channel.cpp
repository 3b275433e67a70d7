// A channel's calls from the caller's thread, and its lifetime.
#include "engine/channel.h"

extern "C" {
#include <libswresample/swresample.h>
}

#include <algorithm>

#include "engine/speech_pause.h"

namespace engine {

Channel::Channel(std::unique_ptr<Decoder> decoder, const std::string& path, bool decodingOnly)
    : decoder_(std::move(decoder)), path_(path), rate_(decoder_->sampleRate()), channels_(decoder_->channels()),
      lengthFrames_(decoder_->lengthFrames()), fileSize_(decoder_->fileSize()), decodingOnly_(decodingOnly),
      chapters_(decoder_->chapters()),
      effectRate_(rate_), effectChannels_(channels_), volume_(rate_), level_(rate_, channels_),
      tempo_(rate_, channels_) {}

Channel::~Channel() {
    if (output_.joinable()) {
        if (output_.get_id() == std::this_thread::get_id()) {
            output_.detach(); // its own last reference is going: it is about to end
        } else {
            {
                std::lock_guard lock(wakeMutex_);
                stopRequested_ = true;
            }
            wakeCv_.notify_all();
            output_.join();
        }
    }
    feed_.reset();
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
    auto stream = channel->openStream(std::move(pulse));
    {
        std::lock_guard lock(channel->mutex_);
        if (!channel->installStreamLocked(std::move(stream)))
            return nullptr;
        channel->volume_ = Volume(channel->effectRate_);
        channel->level_ = LoudnessGain(channel->effectRate_, channel->effectChannels_);
        channel->restartSegmentLocked(channel->decoder_->position());
    }
    Channel* raw = channel.get();
    raw->feed_ = std::make_unique<SourceFeed>(std::move(raw->decoder_), [raw] { raw->wakeOutput(); });
    // The queue fills from now on; the server's buffer at the first play(), after the caller
    // has set the effects and the volume, so the very first sound heard already carries them.
    raw->feed_->start(channel);
    raw->output_ = std::thread(&Channel::outputLoop, raw, channel);
    return channel;
}

void Channel::shutdown() {
    const bool onOutputThread = output_.get_id() == std::this_thread::get_id();
    {
        std::lock_guard lock(mutex_);
        if (released_)
            return;
        released_ = true;
    }
    {
        std::unique_lock lock(wakeMutex_);
        stopRequested_ = true;
        wakeCv_.notify_all();
        if (output_.joinable() && !onOutputThread) {
            const bool ended = wakeCv_.wait_for(lock, shutdownWait, [this] { return outputExited_; });
            lock.unlock();
            if (ended)
                output_.join();
        }
    }
    // A thread still running holds its own reference and leaves as soon as it looks.
    if (output_.joinable())
        output_.detach();
    if (feed_)
        feed_->stop(shutdownWait);
    // No sync procedure runs after this returns (one running on this very thread is the caller).
    if (!onOutputThread) {
        syncMutex_.lock();
        syncMutex_.unlock();
    }
    std::unique_ptr<PulseStream> stream;
    {
        std::lock_guard lock(mutex_);
        stream = std::move(stream_);
    }
}

bool Channel::play() {
    std::lock_guard lock(mutex_);
    if (released_ || decodingOnly_)
        return false;
    if (state_ == State::Playing)
        return true;
    if (state_ == State::Ended) {
        // Playing a finished stream starts it over.
        pendingSeek_ = 0;
        pendingSeekTicket_ = feed_->requestSeek(0);
    }
    state_ = State::Playing;
    // Without a stream (the server is away) the output thread starts it when the server is back.
    // A first fill comes from the queue, not the file, and starts the server at once.
    if (stream_) {
        // A seek answered since is taken up first: what the server held from before it is
        // never heard, and the new place starts at once.
        if (pendingSeek_)
            followSourceLocked();
        if (writtenFrames_ == 0 && !pendingSeek_)
            fillLocked();
        stream_->setCorked(false);
    }
    wakeOutput();
    return true;
}

bool Channel::pause() {
    std::lock_guard lock(mutex_);
    if (released_ || decodingOnly_ || state_ != State::Playing)
        return false;
    pausedAt_ = heardFrameLocked();
    if (stream_)
        stream_->setCorked(true);
    state_ = State::Paused;
    return true;
}

bool Channel::seek(std::int64_t frame, std::optional<std::int64_t> phraseFrom) {
    std::uint64_t ticket;
    {
        std::lock_guard lock(mutex_);
        if (released_ || frame < 0 || frame > lengthFrames_)
            return false;
        if (decodingOnly_) {
            if (!SeekToPhrase(*decoder_, frame, phraseFrom))
                return false;
            for (auto& slot : effects_)
                slot.effect->reset();
            level_.reset();
            tempo_.clear();
            return true;
        }
        ticket = feed_->requestSeek(frame, phraseFrom);
        pendingSeek_ = frame;
        pendingSeekTicket_ = ticket;
    }
    // The output drops what the server holds only once the decoder is there.
    const auto outcome = feed_->seekOutcome(ticket, seekWait);
    if (outcome && !*outcome) {
        std::lock_guard lock(mutex_);
        if (pendingSeekTicket_ == ticket)
            pendingSeek_.reset();
        return false;
    }
    wakeOutput();
    return true;
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
    if (decodingOnly_ || state_ != State::Playing || !stream_ || pendingSeek_)
        return 0;
    const auto heard = heardOutputLocked(true);
    return heard ? peaks_.levelAt(*heard, stream_->rate() / 50) : 0;
}

void Channel::setVolume(float volume, double slideSeconds) {
    std::lock_guard lock(mutex_);
    // The volume acts last, on frames as heard.
    const double frames = std::clamp(slideSeconds * effectRate_, 0.0, 1e9);
    volume_.setTarget(std::clamp(volume, 0.0f, 1.0f), static_cast<int>(frames));
    if (!decodingOnly_ && !released_) {
        volumeRequest_ = VolumeRequest{std::clamp(volume, 0.0f, 1.0f), static_cast<int>(frames)};
        wakeOutput();
    }
}

void Channel::setLevel(bool on, float db) {
    std::lock_guard lock(mutex_);
    if (released_ || !level_.setTarget(on, db) || decodingOnly_)
        return;
    // Like the volume: what the server holds is written again with the glide starting now.
    levelRequest_ = LevelRequest{on, db};
    wakeOutput();
}

void Channel::setSpeed(double speed) {
    std::lock_guard lock(mutex_);
    if (released_)
        return;
    const double before = tempo_.speed();
    tempo_.setSpeed(speed);
    if (decodingOnly_ || tempo_.speed() == before)
        return;
    // From the next frame written on, the file advances at the new speed; the output thread
    // then writes again, at the new speed, what the server holds and has not begun to play.
    timeline_.markSpeed(writtenFrames_, tempo_.speed());
    speedChanged_ = true;
    wakeOutput();
}

int Channel::addEffect(DWORD type) {
    std::lock_guard lock(mutex_);
    if (released_)
        return -1;
    std::unique_ptr<Effect> effect;
    if (type == BASS_FX_DX8_PARAMEQ)
        effect = std::make_unique<PeakingEq>(effectRate_, effectChannels_);
    else if (type == BASS_FX_DX8_REVERB)
        effect = std::make_unique<Reverb>(effectRate_, effectChannels_);
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
    if (!decodingOnly_) {
        effectsChanged_ = true;
        wakeOutput();
    }
    return true;
}

void Channel::setSync(DWORD type, HSYNC sync, DWORD channelHandle, SYNCPROC* proc, void* user) {
    std::lock_guard lock(mutex_);
    syncChannel_ = channelHandle;
    const SyncKind kind = type == BASS_SYNC_END ? EndSync : type == BASS_SYNC_STALL ? StallSync : LossSync;
    syncs_[kind] = {sync, proc, user};
    if (kind == EndSync)
        endSyncFired_ = false;
}

void Channel::fireSync(SyncKind kind, DWORD data) {
    std::lock_guard running(syncMutex_);
    Sync sync;
    DWORD channel;
    {
        std::lock_guard lock(mutex_);
        sync = syncs_[kind];
        if (released_ || !sync.proc || (kind == EndSync && endSyncFired_))
            return;
        endSyncFired_ = endSyncFired_ || kind == EndSync;
        channel = syncChannel_;
    }
    // Outside the channel's lock: the procedure may free this stream or the whole engine.
    sync.proc(sync.handle, channel, data, sync.user);
}

long Channel::readProcessed(float* out, std::size_t maxFrames) {
    std::lock_guard lock(mutex_);
    if (released_ || !decodingOnly_)
        return -1;
    bool ended = false;
    std::size_t got = 0;
    // The decoder gives frames until its end, so only the end stops this short.
    while (got < maxFrames && !ended) {
        const std::size_t n = stretchLocked(out + got * channels_, maxFrames - got, ended);
        if (n == 0)
            break;
        got += n;
    }
    applyEffectsLocked(out, got, channels_);
    return static_cast<long>(got);
}

} // namespace engine
