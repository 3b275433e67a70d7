// Loudness levelling's cost on an hour of speech (128 kbit/s stereo MP3): the background
// measurement's CPU per hour of audio (libebur128 over the engine's decoding) beside decoding
// alone, and the output thread's CPU playing on a private PulseAudio with levelling at +15 dB
// (the limiter at its busiest) against plain playback, in alternating rounds.
// Usage: bench_app_levelling [hour-long.mp3]  (made with espeak-ng + ffmpeg when not given)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/bass.h"
#include "levelling/measure_loudness.h"
#include "result.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"

namespace {

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Seconds on a CPU of this process's threads named `name`, to the nanosecond.
double namedThreadsCpu(const std::string& name) {
    double total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm"), schedstat(task.path() / "schedstat");
        std::string own;
        double ns = 0;
        if (std::getline(comm, own) && own == name && schedstat >> ns)
            total += ns / 1e9;
    }
    return total;
}

std::string makeHourOfSpeech(const testsupport::TempDir& dir) {
    std::string text;
    for (int i = 0; i < 12; ++i)
        text += "The listener picks one audio file inside a folder, and the whole folder becomes the current book. "
                "Playback moves on to the next file at the end of each one, wrapping to the first after the last. ";
    std::ofstream(dir.file("text.txt")) << text;
    const std::string mp3 = dir.file("speech-hour.mp3");
    if (testsupport::run("espeak-ng -v en -s 160 -f " + dir.file("text.txt") + " -w " + dir.file("speech.wav")) != 0 ||
        testsupport::run("ffmpeg -nostdin -loglevel error -y -stream_loop -1 -i " + dir.file("speech.wav") +
                         " -t 3600 -ac 2 -ar 44100 -c:a libmp3lame -b:a 128k " + mp3) != 0)
        return "";
    return mp3;
}

} // namespace

int main(int argc, char** argv) {
    testsupport::TempDir dir;
    const std::string mp3 = argc > 1 ? argv[1] : makeHourOfSpeech(dir);
    const HSTREAM probe = BASS_StreamCreateFile(false, mp3.c_str(), 0, 0, BASS_STREAM_DECODE);
    if (mp3.empty() || probe == 0) {
        std::fprintf(stderr, "no file to play\n");
        return 1;
    }
    const double hours = BASS_ChannelBytes2Seconds(probe, BASS_ChannelGetLength(probe, BASS_POS_BYTE)) / 3600;
    std::vector<float> block(65536);
    double before = threadCpuSeconds();
    while (BASS_ChannelGetData(probe, block.data(), DWORD(block.size() * sizeof(float)) | BASS_DATA_FLOAT) != DWORD(-1)) {
    }
    const double decoding = threadCpuSeconds() - before;
    BASS_StreamFree(probe);
    before = threadCpuSeconds();
    const auto lufs = MeasureLoudness(mp3, [] { return false; });
    const double measuring = threadCpuSeconds() - before;
    std::printf("file: %s, %.2f h, %.2f LUFS\n", mp3.c_str(), hours, lufs ? *lufs : NAN);
    Result("measurement per audio hour", measuring / hours, "CPU s", "<6");
    Result("decoding alone per audio hour", decoding / hours, "CPU s");
    Result("measurement of a 10-hour book", 10 * measuring / hours, "CPU s", "<60");

    testsupport::PulseServer server;
    if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) {
        std::fprintf(stderr, "engine cannot reach the private sound server\n");
        return 1;
    }
    double plain = 0, levelled = 0;
    for (int round = 0; round < 4; ++round) {
        const HSTREAM stream = BASS_StreamCreateFile(false, mp3.c_str(), 0, 0, BASS_SAMPLE_8BITS);
        BASS_ChannelSetPosition(stream, BASS_ChannelSeconds2Bytes(stream, 60.0 * round), BASS_POS_BYTE);
        if (round % 2)
            BASS_ChannelSetAttribute(stream, TELLWICK_ATTRIB_LEVEL, 15);
        BASS_ChannelPlay(stream, false);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double cpu = namedThreadsCpu("tw-output");
        const auto from = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(20));
        const double share = (namedThreadsCpu("tw-output") - cpu) /
                             std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
        (round % 2 ? levelled : plain) += 100 * share / 2;
        BASS_StreamFree(stream);
    }
    Result("output thread, plain playback", plain, "% of a core");
    Result("output thread, levelling at +15 dB", levelled, "% of a core");
    Result("levelling over plain playback", levelled - plain, "points of a core", "<0.3");
    BASS_Free();
    return 0;
}
