// The player while the sound server is away: the window tells it, the tick goes on, the book
// goes on when the server is back, and Exit saves.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>
#include <cstring>
#include <ctime>
#include <functional>

#include "app/app_state.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/player_harness.h"
#include "ui/main_window.h"

using namespace testsupport;

namespace {

double HeardSeconds() {
    return BASS_ChannelBytes2Seconds(app.currentStream, BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE));
}

// Runs the window's event loop until done() holds; false after `seconds`.
bool PumpUntil(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 50 && !done(); ++i)
        Pump(20);
    return done();
}

TEST(ServerLoss, TheTitleTellsWhileTheServerIsAwayTheTickGoesOnAndExitSaves) {
    PulseServer server;
    server.makeMonitorRealTime();
    TempDir program, media;
    const std::string track = media.file("1.flac");
    makeTone(track, 440, 30, 44100, 2);
    PlayerHarness player(program.path());
    ASSERT_TRUE(player.start());
    MainWindow* w = player.window();
    player.addFolder(track);
    ASSERT_TRUE(PumpUntil([] { return HeardSeconds() > 0.5; }, 10));
    const QString title = w->titleLine()->text();
    const QString away = QStringLiteral("Нет связи со звуковым сервером");
    ASSERT_NE(title, away);
    // A running sleep timer shows its countdown in the status bar on every tick.
    app.sleepArmed = 1;
    app.sleepStart = std::int64_t(std::time(nullptr));
    app.sleepDelaySeconds = 600;

    server.stopAnswering();
    ASSERT_TRUE(PumpUntil([&] { return w->titleLine()->text() == away; }, 15));
    const QString countdown = w->statusText(0);
    EXPECT_TRUE(PumpUntil([&] { return w->statusText(0) != countdown; }, 3)) << "the countdown goes on";
    const double kept = HeardSeconds();

    server.startAnswering();
    EXPECT_TRUE(PumpUntil([&] { return w->titleLine()->text() == title; }, 10));
    EXPECT_TRUE(PumpUntil([&] { return HeardSeconds() > kept + 0.3; }, 10)) << "the book goes on";

    // Exit while the server is away again still saves the place.
    server.stopAnswering();
    PumpUntil([] { return BASS_ChannelGetLevel(app.currentStream) == 0; }, 5);
    const double lastHeard = HeardSeconds();
    player.exitAndReset();
    const auto slotBytes = readBytes(program.file("data.dat"));
    ASSERT_GE(slotBytes.size(), 272u);
    std::int64_t saved = 0;
    std::memcpy(&saved, slotBytes.data() + 264, sizeof saved);
    EXPECT_NEAR(double(saved) / (44100 * 2), lastHeard, 0.2);
}

} // namespace
