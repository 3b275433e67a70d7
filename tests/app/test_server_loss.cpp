// The player while the sound server is away: the window tells it, the book goes on when the
// server is back, and Exit saves.
#include "support/qt/app_test.h"

using namespace testsupport;

namespace {

TEST(ServerLoss, TheTitleTellsWhileTheServerIsAwayTheBookGoesOnAndExitSaves) {
    PulseServer server;
    server.makeMonitorRealTime();
    TempDir program, media;
    const std::string track = media.file("1.flac");
    makeTone(track, 440, 30, 44100, 2);
    PlayerHarness player(program.path());
    ASSERT_TRUE(player.start());
    MainWindow* w = player.window();
    player.addFolder(track);
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() > 0.5; }, 10000));
    const QString title = w->titleLine()->text();
    const QString away = QStringLiteral("Нет связи со звуковым сервером");
    ASSERT_NE(title, away);

    server.stopAnswering();
    ASSERT_TRUE(PumpUntil([&] { return w->titleLine()->text() == away; }));
    const double kept = EngineSeconds();

    server.startAnswering();
    EXPECT_TRUE(PumpUntil([&] { return w->titleLine()->text() == title; }, 10000));
    EXPECT_TRUE(PumpUntil([&] { return EngineSeconds() > kept + 0.3; }, 10000)) << "the book goes on";

    // Exit while the server is away again still saves the place.
    server.stopAnswering();
    PumpUntil([] { return BASS_ChannelGetLevel(app.currentStream) == 0; }, 5000);
    const double lastHeard = EngineSeconds();
    player.exitAndReset();
    EXPECT_NEAR(double(SlotPosition(SlotOf(readBytes(program.file("data.dat"))))) / (44100 * 2), lastHeard, 0.2);
}

} // namespace
