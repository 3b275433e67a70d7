// The player's speed, measured through the real window and engine with a private sound
// server: start-up, pick to first sound, a 10,000-file folder, the gap between tracks,
// and CPU while playing.
//
//   bench_app_speed              all figures (no display needed; QT_QPA_PLATFORM=xcb with Xvfb for a real X server)
//   bench_app_speed --cpu-only   only the CPU while playing, shown then minimised (for a profiler)
// Run under dbus-run-session to count the desktop controls' share as on a desktop.
#include <QApplication>
#include <QListWidget>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/app_state.h"
#include "app/startup.h"
#include "books/folder_playlist.h"
#include "desktop/mpris.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/player_harness.h"
#include "result.h"
#include "sink_listener.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time (ns) and wake-ups of one thread of this process, with the kind it is counted under:
// the window's thread, the engine's feeders, the sound server's connection, or the rest (Qt's
// own helpers).
struct ThreadUse {
    std::string kind;
    double cpuNs = 0;
    long wakeups = 0;
};

std::map<std::string, ThreadUse> ThreadUses() {
    std::map<std::string, ThreadUse> uses;
    const std::string self = std::to_string(getpid());
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm"), schedstat(task.path() / "schedstat"), status(task.path() / "status");
        const std::string tid = task.path().filename();
        ThreadUse& use = uses[tid];
        std::getline(comm, use.kind);
        if (tid == self)
            use.kind = "window thread";
        else if (use.kind == "threaded-ml")
            use.kind = "sound server connection";
        else if (use.kind != "tw-feeder")
            use.kind = "other threads";
        schedstat >> use.cpuNs;
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                use.wakeups = std::stol(line.substr(24));
    }
    return uses;
}

// Child mode: from process start to the window shown with the settings restored.
int StartupChild() {
    const auto processStart = [] {
        std::ifstream stat("/proc/self/stat");
        std::string field;
        for (int i = 0; i < 22 && stat >> field; ++i) {
        }
        return std::stod(field) / double(sysconf(_SC_CLK_TCK));
    }();
    EnsureApplication();
    PlayerHarness player(fs::current_path().string());
    if (!player.start()) {
        std::fprintf(stderr, "the player did not start\n");
        return 1;
    }
    while (!player.window()->isVisible())
        QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double uptime = now.tv_sec + now.tv_nsec / 1e9;
    std::printf("%.1f\n", (uptime - processStart) * 1000);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--startup-child")
        return StartupChild();

    PulseServer server;
    server.makeMonitorRealTime();
    TempDir dir;
    const bool cpuOnly = argc > 1 && std::string(argv[1]) == "--cpu-only";

    // Start-up, in fresh processes (the settings file exists after the first).
    std::vector<double> startup;
    for (int i = 0; i < 7 && !cpuOnly; ++i) {
        QProcess child;
        child.setWorkingDirectory(QString::fromStdString(dir.path()));
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QString::fromStdString(fs::absolute(argv[0]).string()), {"--startup-child"});
        bool measured = false;
        const double ms = child.waitForFinished(60000) && child.exitCode() == 0
                              ? child.readAllStandardOutput().trimmed().toDouble(&measured)
                              : 0;
        if (!measured) {
            std::fprintf(stderr, "a start-up run failed\n");
            return 1;
        }
        startup.push_back(ms);
    }
    if (!cpuOnly) {
        Result("start-up to window shown, median", Median(startup), "ms", "<300");
        Result("start-up to window shown, max", *std::max_element(startup.begin(), startup.end()), "ms");
    }

    EnsureApplication();
    TempDir media;
    const std::string big = media.file("big");
    const std::string gap = media.file("gap");
    if (!cpuOnly) {
        fs::create_directory(big);
        for (int i = 0; i < 9990; ++i)
            std::ofstream(big + "/note " + std::to_string(i) + ".txt");
        for (int i = 0; i < 10; ++i)
            makeTone(big + "/chapter " + std::to_string(i + 1) + ".mp3", 300 + 50 * i, 2, 44100, 2);
        fs::create_directory(gap);
        makeTone(gap + "/1.wav", 440, 1, 44100, 2);
        makeTone(gap + "/2.wav", 660, 1, 44100, 2);
    }

    PlayerHarness player(dir.path());
    player.start();
    // As the program does, so its cost is counted; only where there is a session bus.
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
        PublishMpris();
    Pump(300);
    if (!cpuOnly) {
    SinkListener listener;

    std::vector<double> scan, firstSound;
    for (int i = 0; i < 7; ++i) {
        BASS_ChannelPause(app.currentStream);
        Pump(300);
        app.mainWindow->trackList()->clear();
        const auto scanStart = Clock::now();
        DeriveFolderNames(big + "/chapter 1.mp3");
        ScanFolder();
        scan.push_back(Ms(Clock::now() - scanStart));

        const auto click = Clock::now();
        player.addFolder(big + "/chapter " + std::to_string(i + 1) + ".mp3");
        std::optional<Clock::time_point> heard;
        for (int wait = 0; wait < 100 && !heard; ++wait) {
            Pump(5);
            heard = listener.firstSoundAfter(click);
        }
        firstSound.push_back(heard ? Ms(*heard - click) : -1);
    }
    Result("10,000-file folder scanned and listed, median", Median(scan), "ms", "<200");
    Result("pick a file to its first sound, median", Median(firstSound), "ms", "<150");
    Result("pick a file to its first sound, max", *std::max_element(firstSound.begin(), firstSound.end()), "ms");

    // The gap between two tracks, on the sink's own time line.
    BASS_ChannelPause(app.currentStream);
    Pump(300);
    const std::size_t mark = listener.frames();
    player.addFolder(gap + "/1.wav");
    Pump(2600);
    const auto samples = listener.samplesSince(mark);
    long firstLoud = -1, lastOfFirst = -1, firstOfSecond = -1;
    for (std::size_t f = 0; f < samples.size(); ++f) {
        const bool loud = std::abs(samples[f]) > 0.01f;
        if (loud && firstLoud < 0)
            firstLoud = long(f);
        if (firstLoud >= 0 && loud && firstOfSecond < 0 && f > std::size_t(firstLoud) + 48000 * 9 / 10) {
            if (lastOfFirst >= 0 && long(f) - lastOfFirst > 24)
                firstOfSecond = long(f);
            else
                lastOfFirst = long(f);
        }
    }
    // No measurable gap: the next track followed within half a millisecond.
    Result("gap between one track and the next", firstOfSecond > 0 ? (firstOfSecond - lastOfFirst) * 1000.0 / 48000 : 0,
           "ms", "<100");

    }

    // CPU of the whole process while playing with the window shown and the tick running,
    // measured inside the real event loop.
    const std::string longBook = media.file("long");
    fs::create_directory(longBook);
    // Speech, so the meters move the way they do with a real book.
    run("espeak-ng -v ru -s 150 -w " + shellQuote(longBook + "/speech.wav") +
        " 'Все счастливые семьи похожи друг на друга, каждая несчастливая семья несчастлива по-своему. "
        "Всё смешалось в доме Облонских. Жена узнала, что муж был в связи с бывшею в их доме "
        "француженкою-гувернанткой, и объявила мужу, что не может жить с ним в одном доме.'");
    run("ffmpeg -nostdin -loglevel error -y -stream_loop 3 -i " + shellQuote(longBook + "/speech.wav") +
        " -ac 2 -ar 44100 -b:a 128k " + shellQuote(longBook + "/long.mp3"));
    player.addFolder(longBook + "/long.mp3");
    Pump(500);
    // Whole-process CPU over 30 s of the real event loop, in percent of one core, and each
    // kind of thread's share with its wake-ups.
    auto measure = [](const std::string& figure, const char* target) {
        const double cpuStart = ProcessCpuSeconds();
        const auto threadsStart = ThreadUses();
        const auto wallStart = Clock::now();
        QEventLoop loop;
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
        const double seconds = Ms(Clock::now() - wallStart) / 1000;
        Result(figure.c_str(), 100 * (ProcessCpuSeconds() - cpuStart) / seconds, "% of a core", target);
        // Threads that ended meanwhile are left out; those that began count from nothing.
        std::map<std::string, ThreadUse> byKind;
        for (const auto& [tid, use] : ThreadUses()) {
            const auto before = threadsStart.find(tid);
            const ThreadUse start = before == threadsStart.end() ? ThreadUse{} : before->second;
            byKind[use.kind].cpuNs += use.cpuNs - start.cpuNs;
            byKind[use.kind].wakeups += use.wakeups - start.wakeups;
        }
        for (const auto& [kind, use] : byKind) {
            Result((figure + ": " + kind).c_str(), 100 * use.cpuNs / 1e9 / seconds, "% of a core");
            Result((figure + ": " + kind + ", wake-ups").c_str(), use.wakeups / seconds, "per s");
        }
    };
    measure("CPU while playing speech, window shown", "<1");
    app.mainWindow->showMinimized();
    Pump(500);
    measure("CPU while playing speech, window minimised", "<0.6");
    app.mainWindow->showNormal();
    player.exitAndReset();
    return 0;
}
