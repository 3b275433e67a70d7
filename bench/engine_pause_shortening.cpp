// The cost of shorter pauses, on speech with a long pause after every sentence (espeak-ng,
// 1.5 s pauses over a faint room noise): the stage alone on an hour of it, as the output thread
// runs it, then real-time playback on a private PulseAudio with the stage on against off, at
// 1x and 2x (the CPU of the whole engine: with pauses shortened, more of the file is decoded
// and stretched per second of listening), and the listening time it saves.
// Usage: bench_engine_pause_shortening
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/bass.h"
#include "engine/pause_cutter.h"
#include "result.h"
#include "support/pulse_server.h"

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;

int sh(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// Four sentences, each followed by 1.5 s of silence, over pink noise 60 dB down; as raw
// float frames and as a 10-minute 128 kbit/s MP3.
bool makeSpeech(const std::string& dir) {
    const char* sentences[] = {
        "The listener picks one audio file inside a folder, and the whole folder becomes the current book.",
        "Playback moves on to the next file at the end of each one, wrapping to the first after the last.",
        "Each of the five books keeps its own place, and the player resumes it where it was heard.",
        "A sleep timer fades the sound out slowly, then pauses, so the place is never lost at night."};
    std::string inputs, filter;
    for (int i = 0; i < 4; ++i) {
        const std::string wav = dir + "/s" + std::to_string(i) + ".wav";
        if (sh("espeak-ng -v en -s 160 -w " + wav + " '" + sentences[i] + "'") != 0)
            return false;
        inputs += " -i " + wav;
        filter += "[" + std::to_string(i) + "]aresample=44100,apad=pad_dur=1.5[p" + std::to_string(i) + "];";
    }
    filter += "[p0][p1][p2][p3]concat=n=4:v=0:a=1[s];anoisesrc=c=pink:a=0.001:r=44100[n];"
              "[s][n]amix=inputs=2:duration=first:normalize=0";
    const std::string cycle = dir + "/cycle.wav";
    const std::string looped = "ffmpeg -nostdin -loglevel error -y -stream_loop -1 -i " + cycle + " -ac 2 ";
    return sh("ffmpeg -nostdin -loglevel error -y" + inputs + " -filter_complex '" + filter + "' -ac 2 " + cycle) == 0 &&
           sh(looped + "-t 60 -f f32le " + dir + "/speech.raw") == 0 &&
           sh(looped + "-t 600 -c:a libmp3lame -b:a 128k " + dir + "/speech.mp3") == 0;
}

std::vector<float> readFloats(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(samples.size() * sizeof(float)),
              reinterpret_cast<char*>(samples.data()));
    return samples;
}

// The stage on an hour: the minute of speech over and over, in the output thread's chunks.
void stageAlone(const std::vector<float>& minute) {
    constexpr std::size_t kChunk = 1024;
    engine::PauseCutter stage(kRate, kChannels);
    stage.setEnabled(true);
    std::vector<float> out(kChunk * kChannels);
    const std::size_t frames = minute.size() / kChannels;
    double heard = 0;
    const double before = cpuSeconds();
    for (int round = 0; round < 60; ++round) {
        for (std::size_t at = 0; at < frames; at += kChunk) {
            stage.put(minute.data() + at * kChannels, std::min(kChunk, frames - at));
            std::int64_t skipped = 0;
            while (const std::size_t got = stage.receive(out.data(), kChunk, skipped))
                heard += static_cast<double>(got) / kRate;
        }
    }
    const double cpu = cpuSeconds() - before;
    Result("stage alone: CPU per hour of audio", cpu, "CPU s");
    Result("stage alone: cost", 100 * cpu / 3600, "points of a core", "<0.3");
    Result("stage alone: listening time of the hour", heard / 60, "min");
}

double playFor(const std::string& mp3, double speed, bool shorten, double seconds, double* saved) {
    const HSTREAM h = BASS_StreamCreateFile(false, mp3.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    BASS_ChannelSetAttribute(h, BASS_ATTRIB_TEMPO, static_cast<float>((speed - 1) * 100));
    BASS_ChannelSetAttribute(h, BASS_ATTRIB_SHORTEN_PAUSES, shorten ? 1.0f : 0.0f);
    BASS_ChannelPlay(h, false);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double before = cpuSeconds();
    const auto from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double percent =
        100 * (cpuSeconds() - before) / std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    if (saved)
        *saved = BASS_ChannelGetTimeSaved(h);
    BASS_StreamFree(h);
    return percent;
}

} // namespace

int main() {
    char tmpl[] = "/tmp/tellwick-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    if (!makeSpeech(dir)) {
        std::fprintf(stderr, "could not make the speech\n");
        return 1;
    }
    stageAlone(readFloats(dir + "/speech.raw"));

    try {
        testsupport::PulseServer server(testsupport::PulseServer::Kind::PulseAudio);
        if (!BASS_Init(-1, kRate, 0, nullptr, nullptr)) {
            std::fprintf(stderr, "engine cannot reach the private sound server\n");
            return 1;
        }
        // Off and on in turn, twice, so a busy moment of the machine falls on both alike.
        constexpr double kSeconds = 15;
        for (const double speed : {1.0, 2.0}) {
            double off = 0, on = 0, saved = 0;
            for (int round = 0; round < 2; ++round) {
                off += playFor(dir + "/speech.mp3", speed, false, kSeconds, nullptr) / 2;
                on += playFor(dir + "/speech.mp3", speed, true, kSeconds, &saved) / 2;
            }
            const std::string at = speed == 1.0 ? " at 1x" : " at 2x";
            std::printf("engine CPU%s: %.3f %% of a core off, %.3f %% on\n", at.c_str(), off, on);
            Result(("playback: cost over plain playback" + at).c_str(), on - off, "points of a core", "<0.3");
            Result(("playback: listening time saved" + at).c_str(), 60 * saved / (kSeconds + 2), "s per min");
        }
        BASS_Free();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "PulseAudio: %s\n", e.what());
        return 1;
    }
    std::filesystem::remove_all(dir);
    return 0;
}
