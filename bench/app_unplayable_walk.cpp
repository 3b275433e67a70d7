// The advance over files that cannot play: a one-second tone, 200 such files (preallocated
// downloads of zeros, random junk, empty files, text, all named .mp3), then another tone.
// Drives the real window and engine in this process.
//
//   bench_app_unplayable_walk
//
// Prints the silence heard from the end of the first tone to the start of the second, the
// longest stall of the window's thread meanwhile, and how long an exit during the walk takes.
// Needs `pulseaudio` and `parec`; no display (offscreen platform).
#include <QElapsedTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/app_state.h"
#include "result.h"
#include "stall_probe.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/player_harness.h"
#include "ui/control_ids.h"

using namespace testsupport;

namespace {

constexpr int kUnplayable = 200;

} // namespace

int main() {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    PulseServer server;
    TempDir dir, media;
    makeTone(media.file("0.wav"), 440, 1, 44100, 1);
    makeUnplayableFiles(media.path(), 1, kUnplayable);
    makeTone(media.file(std::to_string(kUnplayable + 1) + ".wav"), 1200, 2, 44100, 1);

    PlayerHarness player(dir.path());
    if (!player.start()) {
        std::fprintf(stderr, "the player did not start\n");
        return 1;
    }
    StallProbe probe;

    MonitorCapture heard(media.file("heard.raw"));
    player.addFolder(media.file("0.wav"));
    probe.start();
    const bool reached = PumpUntil([] { return app.trackIndex == kUnplayable + 1 && app.isPlaying; }, 600000);
    Pump(1000);
    probe.stop();
    const double longestStall = probe.takeLongestMs();
    heard.stop();
    const auto parts = heard.stretches(MonitorCapture::rate / 10);
    const double silence =
        parts.size() >= 2 ? double(parts[1].first - parts[0].last) / MonitorCapture::rate : -1;

    // Again, and an exit once the walk is a tenth of the way.
    player.command(ids::FirstButton);
    PumpUntil([] { return app.trackIndex > kUnplayable / 10; }, 600000);
    QElapsedTimer closing;
    closing.start();
    player.exitAndReset();
    const double exitMs = double(closing.elapsed());

    Result("silence over 200 unplayable files at a track's end", silence, "s", "<5");
    Result("window thread's longest stall during the walk", longestStall, "ms", "<200");
    Result("exit during the walk", exitMs, "ms", "<1000");
    return reached && silence >= 0 ? 0 : 1;
}
