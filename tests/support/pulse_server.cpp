#include "support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

// Starts a program (no shell) with extra environment entries and stdin/stdout redirected
// to files; returns its PID. The program ends with the thread that started it.
pid_t spawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                   const std::string& stdinPath, const std::string& stdoutPath) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool overridden = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& x) {
            return entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
        });
        if (!overridden)
            envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp, args;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopies = argv;
    for (auto& s : argCopies)
        args.push_back(s.data());
    args.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("cannot start " + argv[0]);
    if (pid == 0) {
        // A test program that crashes or is killed must not leave its daemon behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int in = open(stdinPath.c_str(), O_RDONLY);
        const int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0)
            _exit(127);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

void stopProcess(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

bool processAlive(pid_t pid) { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }


bool waitFor(const std::function<bool()>& done, const std::vector<pid_t>& mustLive) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        for (pid_t pid : mustLive)
            if (!processAlive(pid))
                return false;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

} // namespace

PulseServer::Kind PulseServer::kindFromEnvironment() {
    const char* kind = std::getenv("TELLWICK_TEST_SERVER");
    return kind && std::string(kind) == "pipewire" ? Kind::PipeWire : Kind::PulseAudio;
}

PulseServer::PulseServer(Kind kind) : kind_(kind) {
    home_ = dir_.file("home");
    mkdir(home_.c_str(), 0700);
    environment_ = {"XDG_RUNTIME_DIR=" + dir_.path(), "HOME=" + home_};
    if (const char* old = std::getenv("PULSE_SERVER")) {
        hadPulseServer_ = true;
        previousPulseServer_ = old;
    }
    if (kind_ == Kind::PipeWire) {
        socketPath_ = dir_.file("pulse/native");
        startPipeWireGraph();
    } else {
        socketPath_ = dir_.file("native");
        std::ofstream(dir_.file("tellwick.pa"))
            << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socketPath_ << "\n"
            << "load-module module-null-sink sink_name=tellwick_test rate=" << sinkRate
            << " channels=" << sinkChannels << "\n"
            << "set-default-sink tellwick_test\n";
    }
    setenv("PULSE_SERVER", address().c_str(), 1);
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
    graphPids_.push_back(spawnProgram({"dbus-daemon", "--session", "--nofork", "--syslog-only", "--address=unix:path=" + bus},
                                      environment_, "/dev/null", "/dev/null"));
    const bool busUp = waitFor([&] { return exists(bus); }, graphPids_);
    graphPids_.push_back(spawnProgram({"pipewire"}, environment_, "/dev/null", "/dev/null"));
    const bool pipewireUp = busUp && waitFor([&] { return exists(dir_.file("pipewire-0")); }, graphPids_);
    graphPids_.push_back(spawnProgram({"wireplumber"}, environment_, "/dev/null", "/dev/null"));
    if (!pipewireUp) {
        stopAll();
        throw std::runtime_error("private PipeWire did not start");
    }
}

void PulseServer::startAnswering() {
    if (kind_ == Kind::PipeWire)
        daemonPid_ = spawnProgram({"pipewire-pulse"}, environment_, "/dev/null", "/dev/null");
    else
        daemonPid_ = spawnProgram({"pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                                   "--use-pid-file=no", "--log-target=stderr", "--log-level=error", "-F",
                                   dir_.file("tellwick.pa")},
                                  environment_, "/dev/null", "/dev/null");
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
    keepAlivePid_ = spawnProgram({"pacat", "--playback", "--latency-msec=20", "--format=s16le", "--rate=48000",
                                  "--channels=2", "--client-name=tellwick-keepalive"},
                                 {}, "/dev/zero", "/dev/null");
    // Wait until the silent stream is connected, then wake PulseAudio's sink onto the short timer.
    waitFor([] { return !capture("pactl list short sink-inputs 2>/dev/null").empty(); }, {keepAlivePid_});
    // PipeWire's graph runs in real time once a stream plays; suspending its sink under a
    // playing stream may leave that stream unlinked.
    if (kind_ == Kind::PulseAudio)
        run("pactl suspend-sink tellwick_test 1 && pactl suspend-sink tellwick_test 0");
}

MonitorCapture::MonitorCapture(const std::string& outputPath) : path_(outputPath) {
    pid_ = spawnProgram({"parec", "--raw", "-d", "tellwick_test.monitor", "--format=float32le", "--rate=48000",
                         "--channels=2", "--latency-msec=10"},
                        {}, "/dev/null", path_);
    WaitUntil([this] { return framesSoFar() > 0; }, 20000);
}

MonitorCapture::~MonitorCapture() { stopProcess(pid_); }

std::size_t MonitorCapture::framesSoFar() const {
    struct stat st {};
    if (stat(path_.c_str(), &st) != 0)
        return 0;
    return static_cast<std::size_t>(st.st_size) / (sizeof(float) * channels);
}

void MonitorCapture::stop() {
    stopProcess(pid_);
    refresh();
}

void MonitorCapture::refresh() {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(0, std::ios::end);
    const auto bytes = static_cast<std::size_t>(in.tellg());
    in.seekg(0);
    samples_.assign(bytes / (sizeof(float) * channels) * channels, 0.0f);
    in.read(reinterpret_cast<char*>(samples_.data()), static_cast<std::streamsize>(samples_.size() * sizeof(float)));
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

double MonitorCapture::rms(std::size_t fromFrame, std::size_t frames, int channelIndex) const {
    const auto samples = channel(channelIndex, fromFrame, frames);
    return testsupport::rms(samples.data(), samples.size());
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
