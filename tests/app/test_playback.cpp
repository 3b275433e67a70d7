// Playing a folder through the real window, the real engine and a private sound server.
#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QElapsedTimer>
#include <QTest>
#include <cmath>
#include <filesystem>

#include "app/app_state.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/player_harness.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

PulseServer& Sound() {
    static PulseServer server;
    server.makeMonitorRealTime();
    return server;
}

QStringList Rows(MainWindow* w) {
    QStringList rows;
    for (int i = 0; i < w->trackList()->count(); ++i)
        rows << w->trackList()->item(i)->text();
    return rows;
}

int SelectedRow(MainWindow* w) {
    const auto selected = w->trackList()->selectedItems();
    return selected.size() == 1 ? w->trackList()->row(selected[0]) : -1;
}

double Seconds(QWORD bytes) {
    return BASS_ChannelBytes2Seconds(app.currentStream, bytes);
}

double HeardSeconds() {
    return Seconds(BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE));
}

class PlaybackTest : public ::testing::Test {
protected:
    void SetUp() override {
        Sound();
        player = std::make_unique<PlayerHarness>(program.path());
        ASSERT_TRUE(player->start());
        w = player->window();
    }
    void TearDown() override { player.reset(); }

    TempDir program;
    TempDir media;
    std::unique_ptr<PlayerHarness> player;
    MainWindow* w = nullptr;
};

} // namespace

TEST_F(PlaybackTest, FolderScanListsPlayableFilesInNaturalOrderAndSelectsThePickedOne) {
    const std::string book = media.file("Сказки");
    fs::create_directory(book);
    for (const char* name : {"10 глава.mp3", "2 глава.MP3", "1 глава.Mp3", "x.FLAC", "cover.jpg", "notes", "y.mp3x",
                             "1.mp3", "21.mp3", "11.mp3"})
        makeTone(book + "/" + name + (fs::path(name).extension() == ".jpg" || std::string(name) == "notes" ||
                                              std::string(name) == "y.mp3x" ? ".wav" : ""),
                 440, 0.3, 44100, 1);
    // Names that are not audio at all, and a folder that looks like a track.
    fs::rename(book + "/cover.jpg.wav", book + "/cover.jpg");
    fs::rename(book + "/notes.wav", book + "/notes");
    fs::rename(book + "/y.mp3x.wav", book + "/y.mp3x");
    fs::create_directory(book + "/extra.mp3");

    player->addFolder(book + "/1.mp3");
    EXPECT_EQ(Rows(w), (QStringList{"1 глава.Mp3", "1.mp3", "2 глава.MP3", "10 глава.mp3", "11.mp3", "21.mp3",
                                    "x.FLAC"}));
    // Exactly the picked name's row, not one that merely contains it.
    EXPECT_EQ(SelectedRow(w), 1);
    EXPECT_EQ(app.trackIndex, 1);
    EXPECT_EQ(app.trackCount, 7);
    EXPECT_NE(app.currentStream, 0u);
    EXPECT_EQ(w->bookTabs()->tabText(0), QStringLiteral("Сказки"));
    EXPECT_EQ(w->titleLine()->text(), QStringLiteral("Сказки"));
    EXPECT_EQ(std::string(app.bookRecord.path), book + "/1.mp3");
    EXPECT_EQ(w->statusText(0), QStringLiteral("   Всего в списке: 7"));
}

TEST_F(PlaybackTest, StatusBarDescribesTheFormatLengthAndTime) {
    fs::create_directory(media.file("Audiobooks"));
    // 3 s of 16-bit stereo at 44.1 kHz: 44 + 529200 bytes, 1411.3 kbit/s, 0.50 MiB.
    makeTone(media.file("Audiobooks/stereo.wav"), 440, 3, 44100, 2, "-c:a pcm_s16le -map_metadata -1 -fflags +bitexact");
    ASSERT_EQ(fs::file_size(media.file("Audiobooks/stereo.wav")), 529244u);
    player->addFolder(media.file("Audiobooks/stereo.wav"));
    EXPECT_EQ(w->statusText(1), QStringLiteral(" Стерео  44.1 kHz   1411 Kbs     0.50 Mb"));
    EXPECT_EQ(w->statusText(2), QStringLiteral("Время звучания: 00:03"));
    EXPECT_EQ(w->bookTabs()->tabText(0), QStringLiteral("Audioboo"));
    EXPECT_EQ(w->slider(ids::PositionSlider)->maximum(), 3);

    // Mono 48 kHz, 8-bit: 61 s of 48000 bytes a second.
    makeTone(media.file("Audiobooks/mono.wav"), 440, 61, 48000, 1, "-c:a pcm_u8 -map_metadata -1 -fflags +bitexact");
    player->addFolder(media.file("Audiobooks/mono.wav"));
    EXPECT_EQ(w->statusText(1), QStringLiteral(" Моно     48.0 kHz   384 Kbs     2.79 Mb"));
    EXPECT_EQ(w->statusText(2), QStringLiteral("Время звучания: 01:01"));

    // While playing, the meters show the tone's peak: ffmpeg's sine has an amplitude of 1/8.
    EXPECT_TRUE(PumpUntil([&] { return std::abs(w->meter(ids::LeftMeter)->value() - 4096) < 300; }));
    EXPECT_EQ(w->meter(ids::LeftMeter)->value(), w->meter(ids::RightMeter)->value());
    // Paused and put at 1 s by the slider: the tick shows elapsed time, or the remaining time
    // once the menu item is checked.
    player->command(ids::PlayPauseButton);
    QSlider* position = w->slider(ids::PositionSlider);
    position->setFocus();
    QTest::keyClick(position, Qt::Key_Home);
    QTest::keyClick(position, Qt::Key_Right);
    EXPECT_TRUE(PumpUntil([&] { return w->statusText(3) == QStringLiteral("00:01"); }));
    EXPECT_EQ(position->value(), 1);
    player->command(ids::MenuRemainingTime);
    EXPECT_TRUE(PumpUntil([&] { return w->statusText(3) == QStringLiteral("01:00"); }));
}

TEST_F(PlaybackTest, TransportWrapsAroundAndEndOfTrackAdvancesThroughTheFolder) {
    fs::create_directory(media.file("book"));
    const double tones[3] = {300, 600, 1200};
    for (int i = 0; i < 3; ++i)
        makeTone(media.file("book/" + std::to_string(i + 1) + ".wav"), tones[i], 1.0, 44100, 1);
    player->addFolder(media.file("book/1.wav"));
    ASSERT_EQ(app.trackIndex, 0);

    player->command(ids::PreviousButton);
    EXPECT_EQ(app.trackIndex, 2);
    EXPECT_EQ(SelectedRow(w), 2);
    player->command(ids::NextButton);
    EXPECT_EQ(app.trackIndex, 0);
    player->command(ids::LastButton);
    EXPECT_EQ(app.trackIndex, 2);
    player->command(ids::FirstButton);
    EXPECT_EQ(app.trackIndex, 0);
    EXPECT_EQ(std::string(app.bookRecord.path), media.file("book/1.wav"));

    // Let the folder play through: three one-second files, back to the first.
    std::vector<int> visited;
    PumpUntil([&] {
        if (visited.empty() || visited.back() != app.trackIndex)
            visited.push_back(app.trackIndex);
        return visited.size() >= 4;
    });
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 2, 0}));
    EXPECT_EQ(SelectedRow(w), 0);
    EXPECT_EQ(app.isPlaying, 1);

    // Arrow keys in the list open each row in turn.
    w->trackList()->setFocus();
    QTest::keyClick(w->trackList(), Qt::Key_Down);
    EXPECT_EQ(app.trackIndex, 1);
    EXPECT_EQ(std::string(app.bookRecord.path), media.file("book/2.wav"));
}

TEST_F(PlaybackTest, PauseKeepsThePlaceAndSeekingFollowsTheSlider) {
    fs::create_directory(media.file("b"));
    makeTone(media.file("b/long.flac"), 440, 20.5, 44100, 2);
    player->addFolder(media.file("b/long.flac"));
    ASSERT_TRUE(PumpUntil([] { return HeardSeconds() > 0.5; }));
    player->command(ids::PlayPauseButton);
    EXPECT_EQ(app.isPlaying, 0);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPlay);
    const double paused = HeardSeconds();
    Pump(500);
    EXPECT_NEAR(HeardSeconds(), paused, 0.001);
    EXPECT_EQ(w->meter(ids::LeftMeter)->value(), 0);
    QElapsedTimer resumed;
    resumed.start();
    player->command(ids::PlayPauseButton);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPause);
    EXPECT_TRUE(PumpUntil([&] { return HeardSeconds() > paused + 0.2; }));
    EXPECT_LE(HeardSeconds(), paused + resumed.elapsed() / 1000.0 + 0.01) << "resumes where it paused";

    // End key on the position slider: seek to its maximum, the whole seconds of the length.
    QSlider* position = w->slider(ids::PositionSlider);
    position->setFocus();
    QTest::keyClick(position, Qt::Key_End);
    EXPECT_GE(HeardSeconds(), 19.99);
    QTest::keyClick(position, Qt::Key_Home);
    EXPECT_LT(HeardSeconds(), 1.0);
    // Every tick stores the heard position into the book's record, in the stream's byte unit.
    EXPECT_TRUE(PumpUntil([] {
        const double kept = double(app.bookRecord.position) / (44100.0 * 2), heard = HeardSeconds();
        return heard > 0.5 && kept <= heard && kept >= heard - 0.4;
    }));
}

TEST_F(PlaybackTest, SlidersShapeWhatIsHeardFromTheFirstMoment) {
    fs::create_directory(media.file("fx"));
    makeTone(media.file("fx/tone.wav"), 3000, 4, 48000, 2, "-af volume=0.2");
    // Flat: every band at 0 dB, reverb off, full volume.
    for (int id : {ids::EqBand100, ids::EqBand3k, ids::EqBand12k})
        w->setSliderPosition(id, 10);
    w->setSliderPosition(ids::ReverbSlider, 20);
    w->setSliderPosition(ids::VolumeSlider, 0);
    MonitorCapture flat(media.file("flat.raw"));
    player->addFolder(media.file("fx/tone.wav"));
    ASSERT_TRUE(PumpUntil([] { return HeardSeconds() > 0.8; }));
    flat.stop();

    // Band 3 kHz at +10 dB and volume at 50: +10 dB - 6 dB from the first moment.
    player->command(ids::PlayPauseButton);
    Pump(200);
    w->setSliderPosition(ids::EqBand3k, 0);
    w->setSliderPosition(ids::VolumeSlider, 50);
    MonitorCapture shaped(media.file("shaped.raw"));
    player->command(ids::FirstButton);
    ASSERT_TRUE(PumpUntil([] { return HeardSeconds() > 0.8; }));
    shaped.stop();

    const long flatStart = flat.firstSoundFrom(0);
    const long shapedStart = shaped.firstSoundFrom(0);
    ASSERT_GE(flatStart, 0);
    ASSERT_GE(shapedStart, 0);
    // Peaks of a pure tone: a dropout of the recorder on a busy machine cannot lower them.
    const std::size_t window = 9600;
    const double flatLevel = flat.peak(flatStart + 2400, window);
    const double shapedFirst = shaped.peak(shapedStart, 480);
    const double shapedLevel = shaped.peak(shapedStart + 2400, window);
    const double expectedDb = 10.0 + 20 * std::log10(0.5);
    EXPECT_NEAR(20 * std::log10(shapedLevel / flatLevel), expectedDb, 1.0);
    EXPECT_NEAR(20 * std::log10(shapedFirst / flatLevel), expectedDb, 1.5);
    EXPECT_EQ(app.tooltipText, QStringLiteral("50%"));

    // The listener's move of a slider applies it: volume to 100 is silence.
    QSlider* volume = w->slider(ids::VolumeSlider);
    volume->setFocus();
    QTest::keyClick(volume, Qt::Key_End);
    EXPECT_EQ(volume->value(), 100);
    EXPECT_EQ(app.tooltipText, QStringLiteral("0%"));
}

TEST_F(PlaybackTest, UnplayableFileIsReportedOnceAndTransportGoesOnFromItsRow) {
    fs::create_directory(media.file("mixed"));
    makeTone(media.file("mixed/1.wav"), 440, 2, 44100, 1);
    writeBytes(media.file("mixed/2.mp3"), std::vector<unsigned char>(4000, 0x5A));
    makeTone(media.file("mixed/3.wav"), 880, 2, 44100, 1);
    player->addFolder(media.file("mixed/1.wav"));
    player->command(ids::NextButton);
    EXPECT_EQ(player->warnings(), QStringList{QStringLiteral("Ошибка воспроизведения")});
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_EQ(app.trackIndex, 1);
    // The failed path is the current book's file now.
    EXPECT_EQ(std::string(app.bookRecord.path), media.file("mixed/2.mp3"));
    player->command(ids::NextButton);
    EXPECT_EQ(app.trackIndex, 2);
    EXPECT_NE(app.currentStream, 0u);
    EXPECT_EQ(player->warnings().size(), 1);

    // A cancelled dialog changes nothing and keeps playing.
    player->answerFileDialog(std::nullopt);
    player->command(ids::AddFolderButton);
    EXPECT_EQ(app.trackIndex, 2);
    EXPECT_TRUE(PumpUntil([] { return HeardSeconds() > 0.1; }));
}

TEST_F(PlaybackTest, EmptyListTransportOpensNothing) {
    for (int id : {ids::NextButton, ids::PreviousButton, ids::FirstButton, ids::LastButton})
        player->command(id);
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_TRUE(player->warnings().isEmpty());
    // Play/pause with no stream changes only the flag and the picture.
    player->command(ids::PlayPauseButton);
    EXPECT_EQ(app.isPlaying, 0);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPlay);
}
