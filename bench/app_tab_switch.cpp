// A tab switch, from the listener's click to the first sound of the resumed book, with each
// book's folder holding 500 files. Drives the real window and engine in this process.
//
//   bench_app_tab_switch
//
// Needs `pulseaudio`, `pacat` and `parec`. Without PULSE_SERVER it starts the tests' private
// sound server with a null sink (nothing is heard); with PULSE_SERVER set it plays there and
// listens to that server's default sink. No display is needed (offscreen platform).
#include <QApplication>
#include <QMouseEvent>
#include <QTabBar>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/app_state.h"
#include "app/data_paths.h"
#include "app/exit.h"
#include "app/startup.h"
#include "books/folder_playlist.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"
#include "result.h"
#include "sink_listener.h"
#include "support/pulse_server.h"

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int kFilesPerBook = 500;
constexpr int kSwitches = 12;
// Each book's own file is a tone of its own, so the listener below tells the books apart.
constexpr double kBookHz[2] = {1000, 3000};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A 16-bit PCM WAV file of a sine tone (silence for hz 0).
void WriteWav(const std::string& path, double hz, double seconds, int rate, int channels) {
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    const std::uint32_t dataBytes = frames * channels * 2;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(std::uint16_t(channels));
    u32(std::uint32_t(rate));
    u32(std::uint32_t(rate * channels * 2));
    u16(std::uint16_t(channels * 2));
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    std::vector<std::int16_t> samples(std::size_t(frames) * channels);
    for (std::uint32_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c)
            samples[std::size_t(f) * channels + c] =
                std::int16_t(8000 * std::sin(2 * M_PI * hz * f / rate));
    out.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * 2));
}

// A folder of 500 short files; the book's own file, in the middle, is a minute of its tone.
std::string MakeBookFolder(const std::string& folder, double hz) {
    fs::create_directories(folder);
    std::string bookFile;
    for (int i = 1; i <= kFilesPerBook; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/part %03d.wav", i);
        const bool own = i == kFilesPerBook / 2;
        WriteWav(folder + name, own ? hz : 0, own ? 60 : 0.1, 44100, own ? 2 : 1);
        if (own)
            bookFile = folder + name;
    }
    return bookFile;
}

void Pump(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

// The listener's click on a tab: a press and a release at the tab's centre.
void ClickTab(int index) {
    QTabBar* bar = app.mainWindow->bookTabs();
    const QPointF at = bar->tabRect(index).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, bar->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(bar, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, bar->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(bar, &release);
}

struct Figures {
    std::vector<double> handled, positionMoves, heard;
};

// Switches between the two loaded books, each time measuring from the click.
bool MeasureSwitches(Figures& figures) {
    SinkListener listener;
    for (int i = 0; i < kSwitches; ++i) {
        const int book = i % 2;
        Pump(400);
        const auto click = Clock::now();
        ClickTab(book);
        const auto done = Clock::now();
        if (app.mainWindow->bookTabs()->currentIndex() != book || app.currentStream == 0 ||
            app.trackCount != kFilesPerBook) {
            std::fprintf(stderr, "switch %d did not resume book %d\n", i + 1, book + 1);
            return false;
        }
        const QWORD resumedAt = BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE);
        std::optional<Clock::time_point> moved, sounded;
        while ((!moved || !sounded) && Clock::now() - click < std::chrono::seconds(2)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            if (!moved && BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE) > resumedAt)
                moved = Clock::now();
            if (!sounded)
                sounded = listener.firstToneAfter(click, kBookHz[book]);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        figures.handled.push_back(Ms(done - click));
        figures.positionMoves.push_back(moved ? Ms(*moved - click) : -1);
        figures.heard.push_back(sounded ? Ms(*sounded - click) : -1);
        std::printf("switch %2d to book %d: click handled %6.1f ms, position moves %6.1f ms, "
                    "first sound on the sink %6.1f ms\n",
                    i + 1, book + 1, figures.handled.back(), figures.positionMoves.back(), figures.heard.back());
    }
    return true;
}

// Loads book 1 and book 2 through "Добавить папку", then measures.
bool Run(const std::string& root, Figures& figures) {
    const std::string bookFiles[2] = {MakeBookFolder(root + "/book A", kBookHz[0]),
                                      MakeBookFolder(root + "/book B", kBookHz[1])};
    fs::create_directories(root + "/program");
    SetProgramFolderForTests(root + "/program");
    std::optional<QString> pick;
    SetWarningSeam([](const QString& text) { std::fprintf(stderr, "warning: %s\n", qPrintable(text)); });
    SetPickAudioFileSeam([&pick](const QString&) { return pick; });

    if (!StartPlayer()) {
        std::fprintf(stderr, "the player did not start (no sound server?)\n");
        return false;
    }
    pick = QString::fromStdString(bookFiles[0]);
    AddFolder();
    Pump(500);
    ClickTab(1);
    pick = QString::fromStdString(bookFiles[1]);
    AddFolder();
    Pump(500);
    const bool loaded = app.trackCount == kFilesPerBook && app.currentStream != 0;
    if (!loaded)
        std::fprintf(stderr, "the books did not load\n");
    const bool measured = loaded && MeasureSwitches(figures);
    ExitApp();
    delete app.mainWindow;
    app.mainWindow = nullptr;
    SetWarningSeam(nullptr);
    SetPickAudioFileSeam(nullptr);
    return measured;
}

} // namespace

int main(int argc, char** argv) {
    char rootTemplate[] = "/tmp/tellwick-bench-XXXXXX";
    const std::string root = mkdtemp(rootTemplate);
    std::optional<testsupport::PulseServer> server;
    if (!std::getenv("PULSE_SERVER")) {
        server.emplace();
        server->makeMonitorRealTime();
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);

    Figures figures;
    const bool ok = Run(root, figures);
    server.reset();
    fs::remove_all(root);
    if (!ok)
        return 1;

    auto maxOf = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    Result("tab switch (500 files a folder): click handled, median", Median(figures.handled), "ms");
    Result("tab switch: click to the position moving, median", Median(figures.positionMoves), "ms");
    Result("tab switch: click to the first sound, median", Median(figures.heard), "ms", "<200");
    Result("tab switch: click to the first sound, max", maxOf(figures.heard), "ms");
    return 0;
}
