// The engine's cost and responsiveness on an hour of speech (128 kbit/s MP3):
// offline decode + three EQ bands + reverb + volume against ffmpeg, then, on a private
// PulseAudio daemon and on a private PipeWire in turn, real-time playback (CPU of both sides,
// wake-ups, memory growth) and what is heard on the null sink: Play to first sound, seek to
// new sound, pause to silence, equaliser and volume changes to their sound, the gap between
// two tracks, and sound again after the server went away and came back.
// Real-time figures are taken at 1x, and the CPU also at 1.5x and 2.5x.
// Usage: bench_engine_speed [hour-long.mp3]  (made with espeak-ng + ffmpeg when not given)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/bass.h"
#include "result.h"
#include "sink_listener.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSinkRate = 48000;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int sh(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

double cpuOf(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU time of all of a process's threads in seconds, to the nanosecond (the scheduler's own
// count: utime and stime come in 10 ms ticks, too coarse for a fraction of a percent).
double processCpu(pid_t pid) {
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream in(task.path() / "schedstat");
        unsigned long long runNs = 0;
        if (in >> runNs)
            total += double(runNs) / 1e9;
    }
    return total;
}

long rssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& stdinPath, const std::string& stdoutPath) {
    std::vector<std::string> copies = argv;
    std::vector<char*> args;
    for (auto& a : copies)
        args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

struct Recorder {
    explicit Recorder(const std::string& file) : path(file) {
        pid = spawn({"parec", "--raw", "-d", "tellwick_test.monitor", "--format=float32le", "--rate=48000",
                     "--channels=2", "--latency-msec=10"},
                    "/dev/null", path);
        for (int i = 0; i < 500 && frames() == 0; ++i)
            sleepMs(5);
    }
    ~Recorder() { stop(pid); }
    std::size_t frames() const {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) / 8 : 0;
    }
    std::vector<float> finish() {
        stop(pid);
        std::ifstream in(path, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<float> samples(bytes.size() / 8 * 2);
        std::copy(bytes.begin(), bytes.begin() + samples.size() * 4, reinterpret_cast<char*>(samples.data()));
        return samples;
    }
    std::string path;
    pid_t pid = -1;
};

long firstSound(const std::vector<float>& s, std::size_t from) {
    for (std::size_t i = from * 2; i < s.size(); ++i)
        if (std::fabs(s[i]) > 0.01f)
            return long(i / 2);
    return -1;
}

long lastSound(const std::vector<float>& s, std::size_t from) {
    for (std::size_t i = s.size(); i > from * 2; --i)
        if (std::fabs(s[i - 1]) > 0.01f)
            return long((i - 1) / 2);
    return -1;
}

double msOf(long frames) { return frames * 1000.0 / kSinkRate; }

// From a change that lowers the sound: when it is first heard below half of what it was.
double msUntilHalved(const std::vector<float>& s, std::size_t at) {
    const auto peak = [&](std::size_t from, std::size_t frames) {
        float p = 0;
        for (std::size_t i = from * 2; i < std::min(s.size(), (from + frames) * 2); ++i)
            p = std::max(p, std::fabs(s[i]));
        return p;
    };
    const std::size_t block = kSinkRate / 200;
    const float before = peak(at - kSinkRate / 10, kSinkRate / 10);
    for (std::size_t f = at; (f + block) * 2 <= s.size(); f += block)
        if (peak(f, block) < before / 2)
            return msOf(long(f - at));
    return -1;
}

// The silence after the first sound from `from` on: from its last loud frame to the next loud
// one, where at least 1 ms lies between (a tone's zero crossings are far shorter); -1 for none.
double gapAfterFirstSound(const std::vector<float>& s, std::size_t from) {
    const long start = firstSound(s, from);
    if (start < 0)
        return -1;
    long lastLoud = start;
    for (long f = start; std::size_t(f) * 2 + 1 < s.size(); ++f) {
        if (std::fabs(s[f * 2]) <= 0.01f && std::fabs(s[f * 2 + 1]) <= 0.01f)
            continue;
        if (f - lastLoud > kSinkRate / 1000)
            return msOf(f - lastLoud);
        lastLoud = f;
    }
    return -1;
}

std::string makeHourOfSpeech(const std::string& dir) {
    const std::string mp3 = dir + "/speech-hour.mp3";
    std::string text;
    for (int i = 0; i < 12; ++i)
        text += "The listener picks one audio file inside a folder, and the whole folder becomes the current book. "
                "Playback moves on to the next file at the end of each one, wrapping to the first after the last. ";
    std::ofstream(dir + "/text.txt") << text;
    if (sh("espeak-ng -v en -s 160 -f " + dir + "/text.txt -w " + dir + "/speech.wav") != 0 ||
        sh("ffmpeg -nostdin -loglevel error -y -stream_loop -1 -i " + dir + "/speech.wav -t 3600 -ac 2 -ar 44100 "
           "-c:a libmp3lame -b:a 128k " + mp3) != 0)
        return "";
    return mp3;
}

void attachPlayerEffects(HSTREAM h) {
    const BASS_DX8_PARAMEQ bands[] = {{100, 12, 4}, {3000, 12, -3}, {12000, 12, 5}};
    for (const auto& band : bands)
        BASS_FXSetParameters(BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, 0), &band);
    BASS_DX8_REVERB room{0, -10, 1000, 0.001f};
    BASS_FXSetParameters(BASS_ChannelSetFX(h, BASS_FX_DX8_REVERB, 0), &room);
    BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.8f);
}

double childCpu(const std::string& command) {
    const double before = cpuOf(RUSAGE_CHILDREN);
    if (sh(command) != 0)
        return -1;
    return cpuOf(RUSAGE_CHILDREN) - before;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

double worst(const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }

void result(const std::string& figure, double value, const char* unit, const char* target) {
    Result(figure.c_str(), value, unit, target);
}

// Voluntary context switches of every thread of this process: how often it wakes.
long voluntarySwitches() {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(24));
    }
    return total;
}

// The end of the first track frees it and starts the next, as the player does.
struct Chain {
    std::string next;
    std::atomic<HSTREAM> opened{0};
};

void advance(HSYNC, DWORD channel, DWORD, void* user) {
    auto* chain = static_cast<Chain*>(user);
    BASS_StreamFree(channel);
    const HSTREAM next = BASS_StreamCreateFile(false, chain->next.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    BASS_ChannelPlay(next, false);
    chain->opened = next;
}

bool playOn(testsupport::PulseServer& server, const std::string& name, const std::string& dir, const std::string& mp3) {
    if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) {
        std::fprintf(stderr, "engine cannot reach the private sound server\n");
        return false;
    }
    // Real time: CPU of this process and of the server, wake-ups and memory, over 20 s of playback.
    const HSTREAM playing = BASS_StreamCreateFile(false, mp3.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    attachPlayerEffects(playing);
    BASS_ChannelPlay(playing, false);
    sleepMs(2000);
    const long rssBefore = rssKb(), switchesBefore = voluntarySwitches();
    const double ownBefore = processCpu(getpid()), serverBefore = processCpu(server.pid());
    const auto wallBefore = Clock::now();
    sleepMs(20000);
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    result("engine CPU, " + name, 100 * (processCpu(getpid()) - ownBefore) / wall, "% of a core", "<0.6");
    result("engine wake-ups, " + name, (voluntarySwitches() - switchesBefore) / wall, "per s", "-");
    result("server CPU, " + name, 100 * (processCpu(server.pid()) - serverBefore) / wall, "% of a core", "-");
    result("memory growth, " + name, (rssKb() - rssBefore) / 1024.0, "MB", "<20");
    BASS_StreamFree(playing);

    // The same playback at listening speeds above normal, the pitch kept by the time-stretch.
    for (const double speed : {1.5, 2.5}) {
        const HSTREAM fast = BASS_StreamCreateFile(false, mp3.c_str(), 0, 0, BASS_SAMPLE_8BITS);
        attachPlayerEffects(fast);
        BASS_ChannelSetAttribute(fast, BASS_ATTRIB_TEMPO, static_cast<float>((speed - 1) * 100));
        BASS_ChannelPlay(fast, false);
        sleepMs(2000);
        const double before = processCpu(getpid());
        const auto from = Clock::now();
        sleepMs(20000);
        const double percent =
            100 * (processCpu(getpid()) - before) / std::chrono::duration<double>(Clock::now() - from).count();
        BASS_StreamFree(fast);
        result((speed == 1.5 ? "engine CPU at 1.5x, " : "engine CPU at 2.5x, ") + name, percent, "% of a core",
               speed == 1.5 ? "<1.0" : "-");
    }

    // Latencies, measured on the recorded sink: 5 s of silence then 5 s of tone.
    server.makeMonitorRealTime();
    const std::string tone = dir + "/silence-then-tone.wav";
    sh("ffmpeg -nostdin -loglevel error -y -f lavfi -i 'aevalsrc=exprs=0.5*sin(2*PI*440*t)*gte(t\\,5):s=44100:d=10' "
       "-ac 2 " + tone);
    std::vector<double> firstSoundMs, seekMs, pauseMs, gapMs, eqMs, volumeMs;
    for (int round = 0; round < 5; ++round) {
        Recorder rec(dir + "/capture.raw");
        const HSTREAM h = BASS_StreamCreateFile(false, tone.c_str(), 0, 0, BASS_SAMPLE_8BITS);
        const HFX eq = BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, 0);
        const BASS_DX8_PARAMEQ flat{440, 12, 0}, cut{440, 12, -15};
        BASS_FXSetParameters(eq, &flat);
        BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 6.0), BASS_POS_BYTE);
        sleepMs(200);
        const std::size_t playAt = rec.frames();
        BASS_ChannelPlay(h, false);
        sleepMs(300);
        BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 1.0), BASS_POS_BYTE);
        sleepMs(400);
        BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 6.0), BASS_POS_BYTE);
        const std::size_t seekAt = rec.frames();
        sleepMs(400);
        // Effect changes: each lowers the tone; heard when it drops below half.
        const std::size_t eqAt = rec.frames();
        BASS_FXSetParameters(eq, &cut);
        sleepMs(500);
        const std::size_t volumeAt = rec.frames();
        BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.2f);
        sleepMs(500);
        BASS_ChannelPause(h);
        const std::size_t pauseAt = rec.frames();
        sleepMs(300);
        BASS_StreamFree(h);
        const auto samples = rec.finish();
        const long first = firstSound(samples, playAt);
        const long seekHeard = firstSound(samples, seekAt);
        const long lastBeforePause = lastSound(samples, pauseAt);
        if (first >= 0)
            firstSoundMs.push_back(msOf(first - long(playAt)));
        if (seekHeard >= 0)
            seekMs.push_back(msOf(seekHeard - long(seekAt)));
        pauseMs.push_back(lastBeforePause < 0 ? 0.0 : msOf(lastBeforePause - long(pauseAt)));
        eqMs.push_back(msUntilHalved(samples, eqAt));
        volumeMs.push_back(msUntilHalved(samples, volumeAt));
    }
    // The gap between two tracks: the end of a 1 s tone to the start of the next.
    const std::string first = dir + "/first.wav";
    Chain chain{dir + "/second.wav"};
    sh("ffmpeg -nostdin -loglevel error -y -f lavfi -i 'sine=f=440:d=1:r=44100' -ac 2 " + first);
    sh("ffmpeg -nostdin -loglevel error -y -f lavfi -i 'sine=f=660:d=1:r=44100' -ac 2 " + chain.next);
    for (int round = 0; round < 5; ++round) {
        Recorder rec(dir + "/capture.raw");
        chain.opened = 0;
        const HSTREAM h = BASS_StreamCreateFile(false, first.c_str(), 0, 0, BASS_SAMPLE_8BITS);
        BASS_ChannelSetSync(h, BASS_SYNC_END, 0, advance, &chain);
        const std::size_t playAt = rec.frames();
        BASS_ChannelPlay(h, false);
        for (int i = 0; i < 300 && chain.opened == 0; ++i)
            sleepMs(10);
        sleepMs(300);
        BASS_StreamFree(chain.opened);
        const auto samples = rec.finish();
        const double gap = gapAfterFirstSound(samples, playAt);
        if (gap >= 0)
            gapMs.push_back(gap);
    }
    result("first sound, " + name, median(firstSoundMs), "ms", "<60");
    result("seek heard, " + name, median(seekMs), "ms", "<50");
    result("pause silent, " + name, median(pauseMs), "ms", "<30");
    result("gap between tracks, " + name, median(gapMs), "ms", "<100");
    result("equaliser change heard, " + name, median(eqMs), "ms", "<100");
    result("volume change heard, " + name, median(volumeMs), "ms", "<100");
    std::printf("worst of 5: first sound %.1f, seek %.1f, pause %.1f, gap %.1f, equaliser %.1f, volume %.1f ms\n",
                worst(firstSoundMs), worst(seekMs), worst(pauseMs), worst(gapMs), worst(eqMs), worst(volumeMs));

    // The server goes away for 2 s in the middle of a track and comes back.
    const HSTREAM book = BASS_StreamCreateFile(false, mp3.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    BASS_ChannelSetPosition(book, BASS_ChannelSeconds2Bytes(book, 30.0), BASS_POS_BYTE);
    BASS_ChannelPlay(book, false);
    sleepMs(1000);
    server.stopAnswering();
    sleepMs(2000);
    server.startAnswering();
    const auto back = Clock::now();
    SinkListener listener;
    sleepMs(2000);
    const auto heard = listener.firstSoundAfter(back);
    result("sound again after the server's return, " + name,
           heard ? std::chrono::duration<double, std::milli>(*heard - back).count() : -1, "ms", "<1000");
    BASS_Free();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    char tmpl[] = "/tmp/tellwick-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const std::string mp3 = argc > 1 ? argv[1] : makeHourOfSpeech(dir);
    if (mp3.empty()) {
        std::fprintf(stderr, "could not make the test file\n");
        return 1;
    }
    std::printf("file: %s\n\n", mp3.c_str());

    // Offline: the whole hour through the engine's chain, then through ffmpeg.
    const double engineBefore = cpuOf(RUSAGE_SELF);
    const HSTREAM decoding = BASS_StreamCreateFile(false, mp3.c_str(), 0, 0, BASS_STREAM_DECODE);
    if (!decoding) {
        std::fprintf(stderr, "engine cannot open %s\n", mp3.c_str());
        return 1;
    }
    attachPlayerEffects(decoding);
    std::vector<float> block(16384);
    double audioSeconds = 0;
    for (DWORD got; (got = BASS_ChannelGetData(decoding, block.data(), (block.size() * 4) | BASS_DATA_FLOAT)) !=
                    static_cast<DWORD>(-1);)
        audioSeconds += BASS_ChannelBytes2Seconds(decoding, got / 4);
    BASS_StreamFree(decoding);
    const double engineCpu = cpuOf(RUSAGE_SELF) - engineBefore;
    const std::string quoted = "'" + mp3 + "'";
    const double ffDecode = childCpu("ffmpeg -nostdin -loglevel error -i " + quoted + " -f null -");
    const double ffChain = childCpu(
        "ffmpeg -nostdin -loglevel error -filter_threads 1 -i " + quoted +
        " -af 'equalizer=f=100:t=o:w=1:g=4,equalizer=f=3000:t=o:w=1:g=-3,equalizer=f=12000:t=o:w=1:g=5,"
        "aecho=0.8:0.7:40|60:0.3|0.2,volume=0.8' -f null -");
    std::fprintf(stderr, "offline: %.0f s of audio\n", audioSeconds);
    Result("offline hour: engine decode+3 EQ+reverb+volume", engineCpu, "CPU s");
    Result("offline hour: engine chain against ffmpeg decode only", engineCpu / ffDecode, "x", "<=2");
    Result("offline hour: ffmpeg decode+3 EQ+aecho+volume against decode only", ffChain / ffDecode, "x");

    for (auto kind : {testsupport::PulseServer::Kind::PulseAudio, testsupport::PulseServer::Kind::PipeWire}) {
        const std::string name = kind == testsupport::PulseServer::Kind::PipeWire ? "PipeWire" : "PulseAudio";
        try {
            testsupport::PulseServer server(kind);
            std::printf("\n== %s\n", name.c_str());
            if (!playOn(server, name, dir, mp3))
                return 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", name.c_str(), e.what());
            return 1;
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}
