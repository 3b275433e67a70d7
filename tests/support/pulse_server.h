// A private sound server with a null sink, and a recorder of what that sink plays.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace testsupport {

// A sound server speaking the PulseAudio protocol on a fresh socket, with one null sink
// ("tellwick_test", 48 kHz stereo) as the default, and PULSE_SERVER of this process pointing at
// it until destruction. The server is `pulseaudio`, or with TELLWICK_TEST_SERVER=pipewire a
// private PipeWire (pipewire, wireplumber and pipewire-pulse on their own session bus).
class PulseServer {
public:
    static constexpr int sinkRate = 48000;
    static constexpr int sinkChannels = 2;
    enum class Kind { PulseAudio, PipeWire };
    static Kind kindFromEnvironment();

    // Throws std::runtime_error when the server does not answer within a few seconds.
    explicit PulseServer(Kind kind = kindFromEnvironment());
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // The process that answers clients (pulseaudio or pipewire-pulse).
    pid_t pid() const { return daemonPid_; }

    // An idle null sink wakes only every couple of seconds, so its monitor lags. This keeps a
    // silent low-latency stream connected and wakes the sink once, after which recording the
    // monitor is real-time. Idempotent.
    void makeMonitorRealTime();

    // The answering process goes away (its clients lose their connection) and comes back on
    // the same address; under PipeWire the sink lives on in pipewire itself.
    void stopAnswering();
    void startAnswering();
    // Stops or continues the answering process: a server that accepts but never answers.
    void freeze(bool frozen);

private:
    void startPipeWireGraph();
    void stopAll();

    Kind kind_;
    TempDir dir_;
    std::vector<std::string> environment_;
    std::vector<pid_t> graphPids_; // dbus-daemon, pipewire, wireplumber
    std::string previousPulseServer_;
    bool hadPulseServer_ = false;
    pid_t daemonPid_ = -1;
    pid_t keepAlivePid_ = -1;
    bool monitorRealTime_ = false;
};

// Records the null sink's monitor as 48 kHz stereo float frames into a file.
class MonitorCapture {
public:
    static constexpr int rate = PulseServer::sinkRate;
    static constexpr int channels = PulseServer::sinkChannels;

    // Starts `parec` on the default sink's monitor; waits until it delivers frames.
    explicit MonitorCapture(const std::string& outputPath);
    ~MonitorCapture();
    MonitorCapture(const MonitorCapture&) = delete;
    MonitorCapture& operator=(const MonitorCapture&) = delete;

    // Frames recorded so far: a marker for "now" in the capture's own time line (it lags
    // real time by the recorder's small latency, so timings measured against it err long).
    std::size_t framesSoFar() const;
    // Stops the recorder and loads the samples.
    void stop();

    std::size_t frameCount() const { return samples_.size() / channels; }
    // First frame at or after fromFrame whose absolute sample (either channel) exceeds threshold;
    // -1 when there is none.
    long firstSoundFrom(std::size_t fromFrame, float threshold = 0.01f) const;
    // Last frame at or after fromFrame that exceeds threshold; -1 when there is none.
    long lastSoundFrom(std::size_t fromFrame, float threshold = 0.01f) const;
    // Dominant frequency (Hz) of the left channel over a frame range.
    double dominantFrequency(std::size_t fromFrame, std::size_t frames) const;
    // Largest absolute sample of one channel over a frame range.
    float peak(std::size_t fromFrame, std::size_t frames, int channelIndex = 0) const;
    // Seconds of sound (5 ms blocks whose peak exceeds threshold) from a frame on: unlike a
    // span of frames, this does not grow when a busy machine lets the sink run dry.
    double soundSeconds(std::size_t fromFrame = 0, std::size_t toFrame = SIZE_MAX, float threshold = 0.01f) const;
    // Frames of the stretches of sound separated by at least minGapFrames of silence.
    struct Stretch {
        std::size_t first, last;
    };
    std::vector<Stretch> stretches(std::size_t minGapFrames, float threshold = 0.01f) const;

private:
    std::vector<float> channel(int index, std::size_t fromFrame, std::size_t frames) const;
    std::string path_;
    pid_t pid_ = -1;
    std::vector<float> samples_;
};

} // namespace testsupport
