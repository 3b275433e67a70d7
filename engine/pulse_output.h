// The engine's connection to the sound server (PulseAudio client API; PipeWire serves it too):
// one threaded main loop and context for the engine, connected again whenever the server
// comes back after going away, and one corked-at-start float stream per playing channel.
// Every wait on the server is bounded, so no caller hangs on a server that stopped answering.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace engine {

class PulseContext {
public:
    // The longest any single request waits for the server's answer.
    static constexpr std::chrono::milliseconds requestTimeout{700};

    // Connects to the default server; nullptr when there is none or it does not answer in time.
    // onLost runs once, on the main loop's thread with its lock held, when the connection
    // fails; it must only note the event.
    static std::shared_ptr<PulseContext> connect(std::chrono::milliseconds timeout, std::function<void()> onLost = {});
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    int serverRate() const { return serverRate_; }
    // Output latency of the default sink in ms, as the server reports it.
    std::uint32_t sinkLatencyMs() const { return sinkLatencyMs_; }
    // True when the server speaks a protocol with float output, latency queries, cork, flush, drain.
    bool supportsPlayerFeatures() const;
    // The connection failed (the server went away); final.
    bool lost() const { return lost_; }
    void setLostHandler(std::function<void()> onLost);

    pa_threaded_mainloop* mainloop() const { return mainloop_; }
    pa_context* context() const { return context_; }

    // Holds the main loop's lock for a scope. Never taken inside a main-loop callback.
    class Lock {
    public:
        explicit Lock(const PulseContext& c) : m_(c.mainloop_) { pa_threaded_mainloop_lock(m_); }
        ~Lock() { pa_threaded_mainloop_unlock(m_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* m_;
    };

    // With the lock held: waits until done() holds, the connection fails or the timeout passes;
    // returns done().
    bool waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout = requestTimeout) const;
    // With the lock held: waits until the operation finishes (cancelling it when the server
    // does not answer in time), then releases it. True when it finished.
    bool finish(pa_operation* op) const;

private:
    PulseContext() = default;
    static void onStateChange(pa_context*, void* self);
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    std::atomic<bool> lost_{false};
    std::function<void()> onLost_;
    int serverRate_ = 0;
    std::uint32_t sinkLatencyMs_ = 0;
};

// The engine's link to the server: the current connection, and a thread that connects again
// whenever it is lost.
class PulseConnection {
public:
    // The end waits this long at most for the reconnecting thread: one inside an attempt on a
    // server that takes the connection and never answers is left to end by itself.
    static constexpr std::chrono::milliseconds stopWait{200};

    // nullptr when no server answers within timeout.
    static std::shared_ptr<PulseConnection> open(std::chrono::milliseconds timeout);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // The live connection; nullptr while the server is away.
    std::shared_ptr<PulseContext> current() const;

private:
    // What the reconnecting thread shares with the connection, so that it outlives a
    // connection that stopped waiting for it.
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::shared_ptr<PulseContext> context; // after the mutex: a context ending may still call noteLost
        bool stopping = false;
        bool exited = false;
        void noteLost();
    };
    PulseConnection() = default;
    static void reconnectLoop(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::thread reconnector_;
};

// One playback stream of interleaved float frames. Every method takes the main loop's lock
// itself, so the caller must not hold it.
class PulseStream {
public:
    // What the server holds ahead of the listener: long, so the output wakes seldom.
    static constexpr int bufferMs = 450;
    // The server asks for data in steps of this size, and each step wakes the connection's
    // thread and the feeder, so it is as long as the buffer allows: PipeWire keeps three
    // steps buffered whatever the buffer asked for, PulseAudio at least two.
    static constexpr int requestMs = bufferMs / 3;
    static constexpr int timingRefreshMs = 200;
    static constexpr int startRefreshMs = 10;

    // onWake runs on the main loop's thread (with its lock held) whenever the server wants
    // data or a drain completes; it must only note the event and return. nullptr when the
    // server refuses or does not answer in time (a stream it creates later is taken down).
    static std::unique_ptr<PulseStream> open(std::shared_ptr<PulseContext> context, int rate, int channels,
                                             std::function<void()> onWake);
    ~PulseStream();
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    int rate() const { return rate_; }
    int channels() const { return channels_; }

    std::size_t writableFrames() const;
    bool write(const float* frames, std::size_t count);
    // Writes over what was written before: from `back` frames before the end of what was
    // written (negative), to that end at most.
    bool rewrite(const float* frames, std::size_t count, std::int64_t back);
    // The server dropped the stream (or the whole connection); final.
    bool failed() const;
    // Frames written but not yet heard (server buffer plus sink latency); nothing while the
    // server has not reported timing yet. refresh asks the server for fresh timing when the
    // last answer has grown old; otherwise the last answer is run on by the clock, but only
    // while it said the stream was playing.
    std::optional<std::int64_t> latencyFrames(bool refresh = true) const;
    // Neither waits for the server: the position at a cork is run on by the clock up to it.
    void setCorked(bool corked);
    // Drops everything buffered, so the next frames written are the next heard.
    void flush();
    // Plays out what is buffered; drained() turns true (and onWake runs) once the last frame is heard.
    void startDrain();
    void cancelDrain();
    bool drained() const;

private:
    PulseStream() = default;
    static void onWriteRequest(pa_stream*, std::size_t, void* self);
    static void onStateChange(pa_stream*, void* self);
    static void onDrainDone(pa_stream*, int success, void* self);
    void attachLocked();
    void cancelDrainLocked();

    std::shared_ptr<PulseContext> context_;
    pa_stream* stream_ = nullptr;
    pa_operation* drainOp_ = nullptr;
    // Asks the server for fresh timing (after a cork, a flush, or when it has grown old).
    void requestTimingLocked(bool afterChange) const;
    void cancelTimingLocked() const;
    mutable pa_usec_t lastTimingRequest_ = 0;
    mutable pa_operation* timingOp_ = nullptr;
    mutable pa_usec_t timingAnsweredAt_ = 0; // when the last timing answer arrived
    pa_usec_t corkedAt_ = 0;                  // when the server last applied a cork

    bool drained_ = false;
    int rate_ = 0;
    int channels_ = 0;
    std::function<void()> onWake_;
};

} // namespace engine
