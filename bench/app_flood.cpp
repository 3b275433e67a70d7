// The window's thread under a flood of desktop commands: 1,000 MPRIS Next calls sent through
// the session bus without waiting, to the real window and engine playing a book.
//
//   dbus-run-session bench_app_flood
//
// Prints the longest stall of the window's thread (a 10 ms timer on it, late by how much),
// how long a property read sent after the flood waits for its answer, and whether the player ended
// on the row the count of steps gives.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "desktop/mpris.h"
#include "result.h"
#include "stall_probe.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/player_harness.h"

using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTracks = 7;
constexpr int kCalls = 1000;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address) {
        std::fprintf(stderr, "no session bus: run under dbus-run-session\n");
        return 1;
    }
    PulseServer server;
    TempDir dir, media;
    for (int i = 0; i < kTracks; ++i)
        makeTone(media.file(std::to_string(i + 1) + ".wav"), 300 + 100 * i, 30, 44100, 2);

    PlayerHarness player(dir.path());
    if (!player.start()) {
        std::fprintf(stderr, "the player did not start\n");
        return 1;
    }
    PublishMpris();
    player.addFolder(media.file("1.wav"));
    if (!PumpUntil([] {
            return app.isPlaying && QDBusConnection::sessionBus().interface()->isServiceRegistered(mprisService);
        })) {
        std::fprintf(stderr, "the player did not publish itself or play\n");
        return 1;
    }
    Pump(500);

    StallProbe probe;
    probe.start();
    Pump(300);
    const double idleStall = probe.takeLongestMs();

    // A client of its own on the bus, in a thread of its own: it sends every call, then pings.
    const int startRow = app.trackIndex;
    std::atomic<double> pingMs{-1};
    std::atomic<bool> sent{false};
    std::thread client([&] {
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLatin1(address), QStringLiteral("flood"));
        const QDBusMessage next =
            QDBusMessage::createMethodCall(mprisService, mprisPath, mprisPlayerInterface, QStringLiteral("Next"));
        for (int i = 0; i < kCalls; ++i)
            bus.send(next);
        sent = true;
        // A property the window's thread answers itself.
        QDBusMessage ping = QDBusMessage::createMethodCall(
            mprisService, mprisPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        ping << mprisPlayerInterface << QStringLiteral("PlaybackStatus");
        const auto asked = Clock::now();
        if (bus.call(ping, QDBus::Block, 60000).type() == QDBusMessage::ReplyMessage)
            pingMs = Ms(Clock::now() - asked);
    });
    const int expectedRow = (startRow + kCalls) % kTracks;
    const bool settled = PumpUntil([&] { return pingMs >= 0 && app.trackIndex == expectedRow && app.isPlaying; }, 60000);
    Pump(300);
    client.join();
    QDBusConnection::disconnectFromBus(QStringLiteral("flood"));

    Result("window thread's longest stall, idle", idleStall, "ms");
    Result("window thread's longest stall, 1,000 MPRIS Next", probe.takeLongestMs(), "ms", "<200");
    Result("PlaybackStatus read after the flood answered in", pingMs, "ms", "<200");
    Result("ended on the row 1,000 steps give (1 = yes)", settled ? 1 : 0, "", ">=1");
    return settled ? 0 : 1;
}
