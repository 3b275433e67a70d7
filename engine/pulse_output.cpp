#include "engine/pulse_output.h"

#include <pulse/rtclock.h>

#include <utility>

namespace engine {

namespace {

void signalMainloop(void* mainloop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0); }

struct ConnectWait {
    pa_threaded_mainloop* mainloop;
    bool timedOut = false;
};

struct ServerFacts {
    pa_threaded_mainloop* mainloop;
    int rate = 0;
    std::string defaultSink{};
    pa_usec_t sinkLatency = 0;
};

} // namespace

std::shared_ptr<PulseContext> PulseContext::connect(std::chrono::milliseconds timeout) {
    std::shared_ptr<PulseContext> self(new PulseContext);
    self->mainloop_ = pa_threaded_mainloop_new();
    if (!self->mainloop_)
        return nullptr;
    self->context_ = pa_context_new(pa_threaded_mainloop_get_api(self->mainloop_), "Tellwick");
    if (!self->context_)
        return nullptr;
    pa_context_set_state_callback(
        self->context_, [](pa_context*, void* m) { signalMainloop(m); }, self->mainloop_);
    if (pa_threaded_mainloop_start(self->mainloop_) < 0)
        return nullptr;

    Lock lock(*self);
    if (pa_context_connect(self->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return nullptr;
    // The wait below has no timeout of its own: a timer event on the same loop ends it.
    ConnectWait wait{self->mainloop_};
    pa_time_event* timer = pa_context_rttime_new(
        self->context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * 1000,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* w) {
            auto* cw = static_cast<ConnectWait*>(w);
            cw->timedOut = true;
            signalMainloop(cw->mainloop);
        },
        &wait);
    pa_context_state_t state;
    while ((state = pa_context_get_state(self->context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state) &&
           !wait.timedOut)
        pa_threaded_mainloop_wait(self->mainloop_);
    pa_threaded_mainloop_get_api(self->mainloop_)->time_free(timer);
    if (state != PA_CONTEXT_READY)
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

void PulseContext::finish(pa_operation* op) const {
    if (!op)
        return;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING)
        pa_threaded_mainloop_wait(mainloop_);
    pa_operation_unref(op);
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
    pa_stream_set_state_callback(self->stream_, &PulseStream::onStateChange, self.get());
    pa_stream_set_write_callback(self->stream_, &PulseStream::onWriteRequest, self.get());
    // Timing is refreshed when the position is asked for, at most every timingRefreshMs, and
    // interpolated in between: automatic updates would query the server after every write.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_playback(self->stream_, nullptr, &attr, flags, nullptr, nullptr) < 0)
        return nullptr;
    pa_stream_state_t state;
    while ((state = pa_stream_get_state(self->stream_)) == PA_STREAM_CREATING)
        pa_threaded_mainloop_wait(self->context_->mainloop());
    if (state != PA_STREAM_READY)
        return nullptr;
    return self;
}

PulseStream::~PulseStream() {
    if (!stream_)
        return;
    PulseContext::Lock lock(*context_);
    cancelDrainLocked();
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY)
        pa_stream_disconnect(stream_);
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

std::optional<std::int64_t> PulseStream::latencyFrames() const {
    PulseContext::Lock lock(*context_);
    if (pa_rtclock_now() - lastTimingRequest_ >= timingRefreshMs * PA_USEC_PER_MSEC)
        requestTimingLocked();
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream_, &usec, &negative) < 0)
        return std::nullopt;
    if (negative)
        return 0;
    return static_cast<std::int64_t>(usec * static_cast<pa_usec_t>(rate_) / 1000000);
}

void PulseStream::setCorked(bool corked) {
    PulseContext::Lock lock(*context_);
    context_->finish(pa_stream_cork(stream_, corked ? 1 : 0, [](pa_stream*, int, void* m) { signalMainloop(m); },
                                    context_->mainloop()));
    requestTimingLocked();
}

void PulseStream::requestTimingLocked() const {
    lastTimingRequest_ = pa_rtclock_now();
    if (pa_operation* op = pa_stream_update_timing_info(stream_, nullptr, nullptr))
        pa_operation_unref(op);
}

void PulseStream::flush() {
    PulseContext::Lock lock(*context_);
    cancelDrainLocked();
    drained_ = false;
    context_->finish(pa_stream_flush(stream_, [](pa_stream*, int, void* m) { signalMainloop(m); },
                                     context_->mainloop()));
    requestTimingLocked();
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
