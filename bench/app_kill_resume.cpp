// How far back a book resumes after the player is killed: the real program plays a book in
// its own process and gets SIGKILL at 20 random moments (a third of them right after a track
// change); after each kill it is started again, and the place heard just before the kill is
// compared with the place heard first after the restart. Behind is positive; the target is
// never ahead and at most 5 s behind.
//
//   bench_app_kill_resume
//
// Needs `pulseaudio`, `parec` and `ffmpeg`; starts the tests' private sound server with a
// null sink and listens to it. No display is needed (offscreen platform).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sink_listener.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"

extern char** environ;

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

// Track t, second k of the book sounds at 300 + 1000 t + 100 k Hz: a few milliseconds of
// sound tell the place to the second, a change of tone the second's start.
constexpr int kTracks = 4;
constexpr int kSteps = 8; // seconds a track
constexpr int kKills = 20;
constexpr std::size_t kWindow = 960; // 20 ms of the listener's 48 kHz
constexpr int kRate = SinkListener::rate;

double StepHz(int step) {
    return 300 + 1000 * (step / kSteps) + 100 * (step % kSteps);
}

// The book's second (0 .. kTracks * kSteps - 1) a window sounds, or -1.
int Classify(const float* samples) {
    if (rms(samples, kWindow) < 0.02)
        return -1;
    const double hz = dominantFrequency(samples, kWindow, kRate);
    for (int step = 0; step < kTracks * kSteps; ++step)
        if (std::abs(hz - StepHz(step)) < 35)
            return step;
    return -1;
}

// What one run of the player sounded like, window by window.
struct Heard {
    std::vector<int> steps;

    void add(const std::vector<float>& samples) {
        while ((steps.size() + 1) * kWindow <= samples.size())
            steps.push_back(Classify(samples.data() + steps.size() * kWindow));
    }
    // Windows where a second begins: a run of three windows of step s after one of s - 1
    // (the book's end wraps to its start) a few windows before.
    std::vector<std::size_t> boundaries() const {
        std::vector<std::size_t> found;
        const int total = kTracks * kSteps;
        for (std::size_t w = 1; w + 2 < steps.size(); ++w) {
            const int s = steps[w];
            if (s < 0 || steps[w + 1] != s || steps[w + 2] != s || steps[w - 1] == s)
                continue;
            for (std::size_t back = 1; back <= 6 && back <= w; ++back) {
                if (steps[w - back] == (s + total - 1) % total) {
                    found.push_back(w);
                    break;
                }
                if (steps[w - back] >= 0 && steps[w - back] != s)
                    break;
            }
        }
        return found;
    }
    // The book's place at the first sound of the run: the first second that begins, less
    // the time from the first sound to that beginning.
    std::optional<double> placeAtStart() const {
        const auto first = std::find_if(steps.begin(), steps.end(), [](int s) { return s >= 0; });
        const auto bounds = boundaries();
        if (first == steps.end() || bounds.empty())
            return std::nullopt;
        const double fromFirst = double(bounds.front() - std::size_t(first - steps.begin())) * kWindow / kRate;
        return steps[bounds.front()] - fromFirst;
    }
    // The place of the last sound: the last second that began before it, and the time since.
    std::optional<double> placeAtEnd() const {
        std::size_t last = steps.size();
        while (last > 0 && steps[last - 1] < 0)
            --last;
        const auto bounds = boundaries();
        if (last == 0 || bounds.empty())
            return std::nullopt;
        return steps[bounds.back()] + double(last - bounds.back()) * kWindow / kRate;
    }
};

pid_t StartPlayer(const std::string& binary) {
    pid_t pid = -1;
    char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
    if (posix_spawn(&pid, binary.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -1;
    return pid;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main() {
    PulseServer server;
    server.makeMonitorRealTime();
    SinkListener listener;

    TempDir dir;
    const std::string book = dir.file("Книга");
    std::filesystem::create_directories(book);
    for (int t = 0; t < kTracks; ++t)
        makeSteppedTone(book + "/0" + std::to_string(t + 1) + ".wav", StepHz(t * kSteps), 100, kSteps, 1, 22050, 1);
    const std::string binary = dir.file("tellwick");
    std::filesystem::copy_file(std::string(TELLWICK_BINARY_DIR) + "/tellwick", binary);
    // Flat equaliser, no reverb, full volume; book 1 at the start of its first file.
    writeBytes(dir.file("tellwick.ini"), int32Bytes({0, 0, 0, 0, 10, 10, 10, 20, 0}));
    writeBytes(dir.file("data.dat"), bookSlotBytes(book + "/01.wav", 0));
    TempDir runtime;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);

    std::mt19937 random(20261207);
    std::vector<double> behind;
    std::optional<double> heardAtKill;
    for (int run = 0; run <= kKills; ++run) {
        const std::size_t from = listener.frames();
        const pid_t pid = StartPlayer(binary);
        if (pid < 0) {
            std::perror("posix_spawn");
            return 1;
        }
        // A third of the kills come right after a track change, the others at random.
        const bool afterChange = run % 3 == 1;
        const auto delay = std::chrono::milliseconds(afterChange ? random() % 300 : 1500 + random() % 4500);
        Heard heard;
        std::optional<Clock::time_point> killAt;
        const auto deadline = Clock::now() + std::chrono::seconds(afterChange ? 20 : 15);
        int startTrack = -1;
        while (Clock::now() < deadline && !(killAt && Clock::now() >= *killAt)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            heard.add(listener.samplesSince(from));
            const auto sounding = std::find_if(heard.steps.rbegin(), heard.steps.rend(), [](int s) { return s >= 0; });
            if (sounding == heard.steps.rend() || killAt || heard.boundaries().empty())
                continue;
            if (startTrack < 0)
                startTrack = *std::find_if(heard.steps.begin(), heard.steps.end(), [](int s) { return s >= 0; }) / kSteps;
            if (!afterChange || *sounding / kSteps != startTrack)
                killAt = Clock::now() + delay;
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        heard.add(listener.samplesSince(from));

        const auto start = heard.placeAtStart();
        const auto end = heard.placeAtEnd();
        if (!start || !end) {
            std::fprintf(stderr, "run %d: the place could not be heard\n", run);
            return 1;
        }
        if (heardAtKill) {
            // Across the book's end the place wraps to its start.
            const double length = kTracks * kSteps;
            double distance = std::fmod(*heardAtKill - *start + 1.5 * length, length) - 0.5 * length;
            behind.push_back(distance);
            std::fprintf(stderr, "kill %2d%s: heard %.2f s, resumed at %.2f s, %.2f s behind\n", run,
                         (run - 1) % 3 == 1 ? " (after a track change)" : "", *heardAtKill, *start, distance);
        }
        heardAtKill = end;
    }

    const double worst = *std::max_element(behind.begin(), behind.end());
    const double least = *std::min_element(behind.begin(), behind.end());
    std::printf("RESULT\tkill resume: median behind heard\t%.3f\ts\t<=5\n", Median(behind));
    std::printf("RESULT\tkill resume: worst behind heard\t%.3f\ts\t<=5\n", worst);
    std::printf("RESULT\tkill resume: least behind heard (negative = ahead)\t%.3f\ts\t>=0\n", least);
    return 0;
}
