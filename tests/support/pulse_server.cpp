#include "support/pulse_server.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace testsupport {

namespace {

// done() within 10 s while every process in mustLive runs.
bool waitFor(const std::function<bool()>& done, const std::vector<pid_t>& mustLive) {
    bool died = false;
    WaitUntil([&] {
        for (pid_t pid : mustLive)
            died = died || pid <= 0 || waitpid(pid, nullptr, WNOHANG) != 0;
        return died || done();
    }, 10000, 20);
    return !died && done();
}

} // namespace

PulseServer::Kind PulseServer::kindFromEnvironment() {
    const char* kind = std::getenv("TELLWICK_TEST_SERVER");
    return kind && std::string(kind) == "pipewire" ? Kind::PipeWire : Kind::PulseAudio;
}

PulseServer::PulseServer(Kind kind) : kind_(kind) {
    mkdir(dir_.file("home").c_str(), 0700);
    environment_ = {"XDG_RUNTIME_DIR=" + dir_.path(), "HOME=" + dir_.file("home")};
    if (const char* old = std::getenv("PULSE_SERVER")) {
        hadPulseServer_ = true;
        previousPulseServer_ = old;
    }
    const std::string socket = dir_.file(kind_ == Kind::PipeWire ? "pulse/native" : "native");
    if (kind_ == Kind::PipeWire) {
        startPipeWireGraph();
    } else {
        std::ofstream(dir_.file("tellwick.pa"))
            << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket << "\n"
            << "load-module module-null-sink sink_name=tellwick_test rate=" << sinkRate
            << " channels=" << sinkChannels << "\n"
            << "set-default-sink tellwick_test\n";
    }
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    startAnswering();
}

void PulseServer::startPipeWireGraph() {
    // The sink belongs to pipewire's own configuration, so it outlives a pipewire-pulse restart;
    // the session manager leaves real devices alone.
    const std::string config = dir_.file("config");
    for (const char* sub : {"/pipewire/pipewire.conf.d", "/wireplumber/main.lua.d", "/wireplumber/bluetooth.lua.d"})
        run("mkdir -p " + shellQuote(config + sub));
    std::ofstream(config + "/pipewire/pipewire.conf.d/tellwick.conf")
        << "context.objects = [ { factory = adapter args = { factory.name = support.null-audio-sink\n"
        << "  node.name = tellwick_test media.class = Audio/Sink object.linger = true\n"
        << "  audio.rate = " << sinkRate << " audio.channels = " << sinkChannels << " audio.position = [ FL FR ] } } ]\n";
    std::ofstream(config + "/wireplumber/main.lua.d/60-tellwick.lua")
        << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n";
    std::ofstream(config + "/wireplumber/bluetooth.lua.d/60-tellwick.lua") << "bluez_monitor.enabled = false\n";
    const std::string bus = dir_.file("bus");
    environment_.insert(environment_.end(), {"XDG_CONFIG_HOME=" + config, "DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus,
                                             "PIPEWIRE_DEBUG=1", "WIREPLUMBER_DEBUG=1"});
    graphPids_.push_back(spawn({"dbus-daemon", "--session", "--nofork", "--syslog-only", "--address=unix:path=" + bus}, environment_));
    const bool busUp = waitFor([&] { return std::filesystem::exists(bus); }, graphPids_);
    graphPids_.push_back(spawn({"pipewire"}, environment_));
    const bool pipewireUp = busUp && waitFor([&] { return std::filesystem::exists(dir_.file("pipewire-0")); }, graphPids_);
    graphPids_.push_back(spawn({"wireplumber"}, environment_));
    if (!pipewireUp) {
        stopAll();
        throw std::runtime_error("private PipeWire did not start");
    }
}

void PulseServer::startAnswering() {
    if (kind_ == Kind::PipeWire)
        daemonPid_ = spawn({"pipewire-pulse"}, environment_);
    else
        daemonPid_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                                   "--use-pid-file=no", "--log-target=stderr", "--log-level=error", "-F",
                                   dir_.file("tellwick.pa")},
                                  environment_);
    std::vector<pid_t> mustLive = graphPids_;
    mustLive.push_back(daemonPid_);
    // Ready once the session manager has made the null sink the default.
    if (!waitFor([] { return capture("pactl info 2>/dev/null").find("Default Sink: tellwick_test") != std::string::npos; },
                 mustLive)) {
        stopAll();
        throw std::runtime_error("private sound server did not start");
    }
    if (monitorRealTime_) {
        monitorRealTime_ = false;
        makeMonitorRealTime();
    }
}

void PulseServer::stopAnswering() {
    stopProcess(keepAlivePid_);
    stopProcess(daemonPid_);
}

void PulseServer::freeze(bool frozen) { kill(daemonPid_, frozen ? SIGSTOP : SIGCONT); }

void PulseServer::stopAll() {
    stopProcess(keepAlivePid_);
    if (daemonPid_ > 0)
        kill(daemonPid_, SIGCONT);
    stopProcess(daemonPid_);
    for (auto pid = graphPids_.rbegin(); pid != graphPids_.rend(); ++pid)
        stopProcess(*pid);
}

PulseServer::~PulseServer() {
    stopAll();
    if (hadPulseServer_)
        setenv("PULSE_SERVER", previousPulseServer_.c_str(), 1);
    else
        unsetenv("PULSE_SERVER");
}

void PulseServer::makeMonitorRealTime() {
    if (monitorRealTime_)
        return;
    monitorRealTime_ = true;
    keepAlivePid_ = spawn({"pacat", "--playback", "--latency-msec=20", "--format=s16le", "--rate=48000",
                           "--channels=2", "--client-name=tellwick-keepalive"}, {}, "/dev/zero");
    // Wait until the silent stream is connected, then wake PulseAudio's sink onto the short timer.
    waitFor([] { return !capture("pactl list short sink-inputs 2>/dev/null").empty(); }, {keepAlivePid_});
    // PipeWire's graph runs in real time once a stream plays; suspending its sink under a
    // playing stream may leave that stream unlinked.
    if (kind_ == Kind::PulseAudio)
        run("pactl suspend-sink tellwick_test 1 && pactl suspend-sink tellwick_test 0");
}

MonitorCapture::MonitorCapture(const std::string& outputPath) : path_(outputPath) {
    // A file left by an earlier capture would pass for this one's first frames.
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    pid_ = spawn({"parec", "--raw", "-d", "tellwick_test.monitor", "--format=float32le", "--rate=48000",
                  "--channels=2", "--latency-msec=10"}, {}, "/dev/null", path_);
    WaitUntil([this] { return framesSoFar() > 0; }, 20000);
}

MonitorCapture::~MonitorCapture() { stopProcess(pid_); }

std::size_t MonitorCapture::framesSoFar() const {
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(path_, ec);
    return ec ? 0 : bytes / (sizeof(float) * channels);
}

void MonitorCapture::stop() {
    stopProcess(pid_);
    const auto bytes = readBytes(path_);
    samples_.resize(bytes.size() / (sizeof(float) * channels) * channels);
    std::memcpy(samples_.data(), bytes.data(), samples_.size() * sizeof(float));
}

std::vector<float> MonitorCapture::channel(int index, std::size_t fromFrame, std::size_t frames) const {
    std::vector<float> out;
    const std::size_t end = std::min(frameCount(), fromFrame + frames);
    for (std::size_t f = fromFrame; f < end; ++f)
        out.push_back(samples_[f * channels + index]);
    return out;
}

long MonitorCapture::firstSoundFrom(std::size_t fromFrame, float threshold) const {
    for (std::size_t i = fromFrame * channels; i < samples_.size(); ++i)
        if (std::fabs(samples_[i]) > threshold)
            return static_cast<long>(i / channels);
    return -1;
}

long MonitorCapture::lastSoundFrom(std::size_t fromFrame, float threshold) const {
    for (std::size_t i = samples_.size(); i > fromFrame * channels; --i)
        if (std::fabs(samples_[i - 1]) > threshold)
            return static_cast<long>((i - 1) / channels);
    return -1;
}

double MonitorCapture::dominantFrequency(std::size_t fromFrame, std::size_t frames) const {
    const auto left = channel(0, fromFrame, frames);
    return testsupport::dominantFrequency(left.data(), left.size(), rate);
}

float MonitorCapture::peak(std::size_t fromFrame, std::size_t frames, int channelIndex) const {
    float best = 0;
    for (float s : channel(channelIndex, fromFrame, frames))
        best = std::max(best, std::fabs(s));
    return best;
}

double MonitorCapture::soundSeconds(std::size_t fromFrame, std::size_t toFrame, float threshold) const {
    constexpr std::size_t block = rate / 200;
    std::size_t loud = 0;
    for (std::size_t f = fromFrame; f + block <= std::min(toFrame, frameCount()); f += block)
        loud += peak(f, block, 0) > threshold || peak(f, block, 1) > threshold;
    return double(loud * block) / rate;
}

std::vector<MonitorCapture::Stretch> MonitorCapture::stretches(std::size_t minGapFrames, float threshold) const {
    std::vector<Stretch> found;
    for (long f = firstSoundFrom(0, threshold); f >= 0; f = firstSoundFrom(found.back().last + 1, threshold)) {
        if (!found.empty() && std::size_t(f) - found.back().last < minGapFrames)
            found.back().last = std::size_t(f);
        else
            found.push_back({std::size_t(f), std::size_t(f)});
    }
    return found;
}

} // namespace testsupport
