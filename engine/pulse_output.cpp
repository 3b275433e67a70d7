#include "engine/pulse_output.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <utility>

namespace engine {

namespace {

void signalMainloop(void* mainloop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0); }

struct ServerFacts {
    pa_threaded_mainloop* mainloop;
    int rate = 0;
    std::string defaultSink{};
    pa_usec_t sinkLatency = 0;
};

} // namespace

// Time to wait before the next attempt after the server refused a connection.
constexpr auto reconnectInterval = std::chrono::milliseconds(100);
// One connection attempt, on the reconnecting thread only.
constexpr auto reconnectTimeout = std::chrono::milliseconds(1000);

std::shared_ptr<PulseContext> PulseContext::connect(std::chrono::milliseconds timeout, std::function<void()> onLost) {
    std::shared_ptr<PulseContext> self(new PulseContext);
    self->onLost_ = std::move(onLost);
    self->mainloop_ = pa_threaded_mainloop_new();
    if (!self->mainloop_)
        return nullptr;
    self->context_ = pa_context_new(pa_threaded_mainloop_get_api(self->mainloop_), "Tellwick");
    if (!self->context_)
        return nullptr;
    pa_context_set_state_callback(self->context_, &PulseContext::onStateChange, self.get());
    if (pa_threaded_mainloop_start(self->mainloop_) < 0)
        return nullptr;

    Lock lock(*self);
    if (pa_context_connect(self->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return nullptr;
    if (!self->waitLocked([&] { return pa_context_get_state(self->context_) == PA_CONTEXT_READY; }, timeout))
        return nullptr;

    ServerFacts facts{self->mainloop_};
    self->finish(pa_context_get_server_info(
        self->context_,
        [](pa_context*, const pa_server_info* info, void* f) {
            auto* facts = static_cast<ServerFacts*>(f);
            if (info) {
                facts->rate = static_cast<int>(info->sample_spec.rate);
                facts->defaultSink = info->default_sink_name ? info->default_sink_name : "";
            }
            signalMainloop(facts->mainloop);
        },
        &facts));
    if (facts.rate <= 0 || facts.defaultSink.empty())
        return nullptr; // a server with nothing to play on
    self->finish(pa_context_get_sink_info_by_name(
        self->context_, facts.defaultSink.c_str(),
        [](pa_context*, const pa_sink_info* info, int eol, void* f) {
            auto* facts = static_cast<ServerFacts*>(f);
            if (info && !eol)
                facts->sinkLatency = info->configured_latency ? info->configured_latency : info->latency;
            signalMainloop(facts->mainloop);
        },
        &facts));
    self->serverRate_ = facts.rate;
    self->sinkLatencyMs_ = static_cast<std::uint32_t>((facts.sinkLatency + 999) / 1000);
    return self;
}

PulseContext::~PulseContext() {
    if (mainloop_)
        pa_threaded_mainloop_stop(mainloop_);
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (mainloop_)
        pa_threaded_mainloop_free(mainloop_);
}

bool PulseContext::supportsPlayerFeatures() const {
    // Protocol 13 brought float samples, buffer attributes with latency adjustment and
    // the timing queries; cork, flush and drain are older.
    Lock lock(*this);
    return pa_context_get_server_protocol_version(context_) >= 13;
}

void PulseContext::onStateChange(pa_context* context, void* self) {
    auto* c = static_cast<PulseContext*>(self);
    pa_threaded_mainloop_signal(c->mainloop_, 0);
    const pa_context_state_t state = pa_context_get_state(context);
    if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && !c->lost_.exchange(true) && c->onLost_)
        c->onLost_();
}

void PulseContext::setLostHandler(std::function<void()> onLost) {
    Lock lock(*this);
    onLost_ = std::move(onLost);
}

bool PulseContext::waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout) const {
    // pa_threaded_mainloop_wait has no timeout of its own: a timer on the same loop ends it.
    struct Deadline {
        pa_threaded_mainloop* mainloop;
        bool passed = false;
    } deadline{mainloop_};
    pa_time_event* timer = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* d) {
            auto* dl = static_cast<Deadline*>(d);
            dl->passed = true;
            signalMainloop(dl->mainloop);
        },
        &deadline);
    bool ok;
    while (!(ok = done()) && !deadline.passed && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
        pa_threaded_mainloop_wait(mainloop_);
    if (timer)
        pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
    return ok;
}

bool PulseContext::finish(pa_operation* op) const {
    if (!op)
        return false;
    const bool finished = waitLocked([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    if (!finished)
        pa_operation_cancel(op);
    pa_operation_unref(op);
    return finished;
}

std::shared_ptr<PulseConnection> PulseConnection::open(std::chrono::milliseconds timeout) {
    std::shared_ptr<PulseConnection> self(new PulseConnection);
    Shared* shared = self->shared_.get();
    shared->context = PulseContext::connect(timeout, [shared] { shared->noteLost(); });
    if (!shared->context)
        return nullptr;
    self->reconnector_ = std::thread(&PulseConnection::reconnectLoop, self->shared_);
    return self;
}

PulseConnection::~PulseConnection() {
    std::shared_ptr<PulseContext> last;
    bool ended = true;
    {
        std::unique_lock lock(shared_->mutex);
        shared_->stopping = true;
        shared_->changed.notify_all();
        if (reconnector_.joinable())
            ended = shared_->changed.wait_for(lock, stopWait, [this] { return shared_->exited; });
        last = shared_->context;
    }
    if (reconnector_.joinable()) {
        if (ended)
            reconnector_.join();
        else
            reconnector_.detach(); // it holds what it shares and puts in nothing more
    }
    // Streams may keep the last connection alive after this: it must not call back here.
    if (last)
        last->setLostHandler({});
}

std::shared_ptr<PulseContext> PulseConnection::current() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->context && !shared_->context->lost() ? shared_->context : nullptr;
}

void PulseConnection::Shared::noteLost() {
    // Under the lock, so the reconnecting thread cannot miss it between its check and its wait.
    std::lock_guard lock(mutex);
    changed.notify_all();
}

void PulseConnection::reconnectLoop(std::shared_ptr<Shared> shared) {
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return shared->stopping || !shared->context || shared->context->lost(); });
        if (shared->stopping)
            break;
        // Outside the lock: an attempt may take its whole timeout on a server that does not answer.
        lock.unlock();
        auto fresh = PulseContext::connect(reconnectTimeout, [s = shared.get()] { s->noteLost(); });
        lock.lock();
        if (fresh && !shared->stopping)
            std::swap(shared->context, fresh);
        if (fresh) {
            // The lost connection (or one made after the end) ends outside the lock: its loop
            // thread may be waiting for it.
            lock.unlock();
            fresh.reset();
            lock.lock();
            continue;
        }
        shared->changed.wait_for(lock, reconnectInterval, [&] { return shared->stopping; });
    }
    shared->exited = true;
    shared->changed.notify_all();
}

std::unique_ptr<PulseStream> PulseStream::open(std::shared_ptr<PulseContext> context, int rate, int channels,
                                               std::function<void()> onWake) {
    std::unique_ptr<PulseStream> self(new PulseStream);
    self->context_ = std::move(context);
    self->rate_ = rate;
    self->channels_ = channels;
    self->onWake_ = std::move(onWake);

    pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(rate), static_cast<std::uint8_t>(channels)};
    pa_channel_map map;
    pa_channel_map_init_auto(&map, static_cast<unsigned>(channels), PA_CHANNEL_MAP_DEFAULT);
    const std::uint32_t frameBytes = static_cast<std::uint32_t>(sizeof(float) * channels);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(rate * bufferMs / 1000) * frameBytes;
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(rate * requestMs / 1000) * frameBytes;
    attr.fragsize = static_cast<std::uint32_t>(-1);

    PulseContext::Lock lock(*self->context_);
    self->stream_ = pa_stream_new(self->context_->context(), "Tellwick playback", &format, &map);
    if (!self->stream_)
        return nullptr;
    self->attachLocked();
    // Timing is refreshed when the position is asked for, at most every timingRefreshMs, and
    // run on by latencyFrames in between: automatic updates would query the server after every write.
    const auto flags = PA_STREAM_START_CORKED;
    if (pa_stream_connect_playback(self->stream_, nullptr, &attr, flags, nullptr, nullptr) < 0)
        return nullptr;
    pa_stream* stream = self->stream_;
    self->context_->waitLocked([stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; });
    if (pa_stream_get_state(stream) != PA_STREAM_READY)
        return nullptr; // one that comes up after all is taken down again (see releaseLocked)
    return self;
}

void PulseStream::attachLocked() {
    pa_stream_set_state_callback(stream_, &PulseStream::onStateChange, this);
    pa_stream_set_write_callback(stream_, &PulseStream::onWriteRequest, this);
}

PulseStream::~PulseStream() {
    if (!stream_)
        return;
    PulseContext::Lock lock(*context_);
    cancelDrainLocked();
    cancelTimingLocked();
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
        // A server that did not answer in time may still create the stream: it must not stay
        // there, one more for every try. The context keeps the stream object until it ends.
        pa_stream_set_state_callback(
            stream_,
            [](pa_stream* s, void*) {
                if (pa_stream_get_state(s) == PA_STREAM_READY)
                    pa_stream_disconnect(s);
            },
            nullptr);
    } else {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        if (pa_stream_get_state(stream_) == PA_STREAM_READY)
            pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
}

void PulseStream::onWriteRequest(pa_stream*, std::size_t, void* self) { static_cast<PulseStream*>(self)->onWake_(); }

void PulseStream::onStateChange(pa_stream*, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    pa_threaded_mainloop_signal(s->context_->mainloop(), 0);
    // A stream the server dropped will never ask for data again: let the feeder see it.
    s->onWake_();
}

void PulseStream::onDrainDone(pa_stream*, int success, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    pa_operation_unref(s->drainOp_);
    s->drainOp_ = nullptr;
    s->drained_ = success != 0;
    s->onWake_();
}

std::size_t PulseStream::writableFrames() const {
    PulseContext::Lock lock(*context_);
    const std::size_t bytes = pa_stream_writable_size(stream_);
    return bytes == static_cast<std::size_t>(-1) ? 0 : bytes / (sizeof(float) * channels_);
}

bool PulseStream::write(const float* frames, std::size_t count) {
    PulseContext::Lock lock(*context_);
    return pa_stream_write(stream_, frames, count * sizeof(float) * channels_, nullptr, 0, PA_SEEK_RELATIVE) == 0;
}

bool PulseStream::rewrite(const float* frames, std::size_t count, std::int64_t back) {
    PulseContext::Lock lock(*context_);
    const auto frameBytes = static_cast<std::int64_t>(sizeof(float)) * channels_;
    return pa_stream_write(stream_, frames, count * frameBytes, nullptr, back * frameBytes, PA_SEEK_RELATIVE) == 0;
}

bool PulseStream::failed() const {
    PulseContext::Lock lock(*context_);
    return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
}

std::optional<std::int64_t> PulseStream::latencyFrames(bool refresh) const {
    PulseContext::Lock lock(*context_);
    // Right after a start the server may answer before the stream runs (PipeWire does): an
    // answer saying "not playing" for an uncorked stream is asked again soon, or the position
    // would stand still until the next regular refresh.
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
    const bool corked = pa_stream_is_corked(stream_) != 0;
    const bool notYetRunning = timing && !timing->playing && !corked;
    const pa_usec_t now = pa_rtclock_now();
    const pa_usec_t age = now - lastTimingRequest_;
    if ((notYetRunning && age >= startRefreshMs * PA_USEC_PER_MSEC) ||
        (refresh && age >= timingRefreshMs * PA_USEC_PER_MSEC))
        requestTimingLocked(false);
    if (!timing || timing->read_index_corrupt || timing->write_index_corrupt || timingAnsweredAt_ == 0)
        return std::nullopt;
    // Played = what the server had read at its last answer, run on since then (up to a cork)
    // only while it said it was playing, less what the sink still holds. The client library's
    // own clock runs on from the start request even when a busy server has not begun to play.
    const std::int64_t frameBytes = static_cast<std::int64_t>(sizeof(float)) * channels_;
    std::int64_t playedUsec = static_cast<std::int64_t>(pa_bytes_to_usec(
        static_cast<std::uint64_t>(std::max<std::int64_t>(timing->read_index, 0)), pa_stream_get_sample_spec(stream_)));
    const pa_usec_t until = corked ? corkedAt_ : now;
    if (timing->playing && until > timingAnsweredAt_)
        playedUsec += static_cast<std::int64_t>(until - timingAnsweredAt_ + timing->transport_usec);
    playedUsec -= static_cast<std::int64_t>(timing->sink_usec);
    const std::int64_t played = std::max<std::int64_t>(0, playedUsec) * rate_ / 1000000;
    const std::int64_t written = timing->write_index / frameBytes;
    return std::clamp<std::int64_t>(written - played, 0, written);
}

void PulseStream::setCorked(bool corked) {
    PulseContext::Lock lock(*context_);
    // Not waited for: requests are handled in order, so what follows sees it done.
    if (pa_operation* op = pa_stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr))
        pa_operation_unref(op);
    if (corked)
        corkedAt_ = pa_rtclock_now();
    requestTimingLocked(true);
}

void PulseStream::requestTimingLocked(bool afterChange) const {
    // One question at a time: a slow server is left to answer the open one (a dropped question
    // leaves its answer unused), unless a cork or flush has made that answer stale.
    if (timingOp_ && !afterChange)
        return;
    lastTimingRequest_ = pa_rtclock_now();
    cancelTimingLocked();
    timingOp_ = pa_stream_update_timing_info(
        stream_,
        [](pa_stream*, int success, void* self) {
            auto* s = static_cast<const PulseStream*>(self);
            pa_operation_unref(s->timingOp_);
            s->timingOp_ = nullptr;
            if (success)
                s->timingAnsweredAt_ = pa_rtclock_now();
        },
        const_cast<PulseStream*>(this));
}

void PulseStream::cancelTimingLocked() const {
    if (!timingOp_)
        return;
    pa_operation_cancel(timingOp_);
    pa_operation_unref(timingOp_);
    timingOp_ = nullptr;
}

void PulseStream::flush() {
    PulseContext::Lock lock(*context_);
    cancelDrainLocked();
    drained_ = false;
    if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr))
        pa_operation_unref(op);
    requestTimingLocked(true);
}

void PulseStream::startDrain() {
    PulseContext::Lock lock(*context_);
    cancelDrainLocked();
    drained_ = false;
    drainOp_ = pa_stream_drain(stream_, &PulseStream::onDrainDone, this);
}

void PulseStream::cancelDrain() {
    PulseContext::Lock lock(*context_);
    cancelDrainLocked();
    drained_ = false;
}

void PulseStream::cancelDrainLocked() {
    if (!drainOp_)
        return;
    pa_operation_cancel(drainOp_);
    pa_operation_unref(drainOp_);
    drainOp_ = nullptr;
}

bool PulseStream::drained() const {
    PulseContext::Lock lock(*context_);
    return drained_;
}

} // namespace engine
