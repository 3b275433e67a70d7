// Playing a folder through the real window, the real engine and a private sound server.
#include <QAccessible>
#include <QElapsedTimer>
#include <QProgressBar>
#include <cmath>
#include <fstream>
#include <functional>
#include <linux/ioprio.h>
#include <sched.h>
#include <sstream>
#include <sys/syscall.h>

#include "books/open_path.h"
#include "books/save_writer.h"
#include "playback/transport.h"
#include "support/qt/app_test.h"
#include "ui/controls.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

class PlaybackTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ASSERT_TRUE(Start());
    }
    int SelectedRow() const {
        const auto selected = w->trackList()->selectedItems();
        return selected.size() == 1 ? w->trackList()->row(selected[0]) : -1;
    }
};

TEST_F(PlaybackTest, FolderScanListsPlayableFilesInNaturalOrderAndSelectsThePickedOne) {
    // Before any book: no time, the play image, and the empty list says how to get one.
    QAccessibleInterface* listReader = QAccessible::queryAccessibleInterface(w->trackList());
    EXPECT_EQ(listReader->text(QAccessible::Description), TrackList::EmptyHint);
    const QImage hinted = w->trackList()->viewport()->grab().toImage();
    QImage blank = hinted;
    blank.fill(hinted.pixel(0, 0));
    EXPECT_NE(hinted, blank);
    EXPECT_TRUE(w->statusText(3).isEmpty());
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPlay);
    const std::string book = media.file("Сказки");
    fs::create_directories(book + "/extra.mp3"); // a folder that looks like a track
    for (const char* name : {"10 глава.mp3", "2 глава.MP3", "1 глава.Mp3", "x.FLAC", "1.mp3", "21.mp3", "11.mp3"})
        makeTone(book + "/" + name, 440, 0.3, 44100, 1);
    // Audio under names that are not audio, and hidden files.
    for (const char* name : {"cover.jpg", "notes", "y.mp3x", ".2.mp3", "._1.mp3"})
        fs::copy_file(book + "/1.mp3", book + "/" + name);

    player->addFolder(book + "/1.mp3");
    QStringList rows;
    for (int i = 0; i < w->trackList()->count(); ++i)
        rows << w->trackList()->item(i)->text();
    EXPECT_EQ(rows, (QStringList{"1 глава.Mp3", "1.mp3", "2 глава.MP3", "10 глава.mp3", "11.mp3", "21.mp3", "x.FLAC"}));
    // Exactly the picked name's row, not one that merely contains it.
    EXPECT_EQ(SelectedRow(), 1);
    EXPECT_NE(app.currentStream, 0u);
    EXPECT_EQ(w->titleLine()->text(), QStringLiteral("Сказки"));
    EXPECT_EQ(w->statusText(0), QStringLiteral("   Всего в списке: 7"));
    EXPECT_TRUE(listReader->text(QAccessible::Description).isEmpty());
}

TEST_F(PlaybackTest, StatusBarDescribesTheFormatLengthAndTimeAndPauseStopsTheMeters) {
    // 3 s of 16-bit stereo at 44.1 kHz: 44 + 529200 bytes, 1411.3 kbit/s, 0.50 MiB.
    fs::create_directory(media.file("Audiobooks"));
    makeTone(media.file("Audiobooks/stereo.wav"), 440, 3, 44100, 2, "-c:a pcm_s16le -map_metadata -1 -fflags +bitexact");
    ASSERT_EQ(fs::file_size(media.file("Audiobooks/stereo.wav")), 529244u);
    player->addFolder(media.file("Audiobooks/stereo.wav"));
    EXPECT_EQ(w->statusText(1), QStringLiteral(" Стерео  44.1 kHz   1411 Kbs     0.50 Mb"));
    EXPECT_EQ(w->statusText(2), QStringLiteral("Время звучания: 00:03"));

    // Mono 48 kHz, 8-bit: 61 s of 48000 bytes a second.
    makeTone(media.file("Audiobooks/mono.wav"), 440, 61, 48000, 1, "-c:a pcm_u8 -map_metadata -1 -fflags +bitexact");
    player->addFolder(media.file("Audiobooks/mono.wav"));
    EXPECT_EQ(w->statusText(1), QStringLiteral(" Моно     48.0 kHz   384 Kbs     2.79 Mb"));
    EXPECT_EQ(w->statusText(2), QStringLiteral("Время звучания: 01:01"));

    // While playing, the meters show the tone's peak: ffmpeg's sine has an amplitude of 1/8.
    EXPECT_TRUE(PumpUntil([&] { return std::abs(w->meter(ids::LeftMeter)->value() - 4096) < 300; }));
    EXPECT_EQ(w->meter(ids::LeftMeter)->value(), w->meter(ids::RightMeter)->value());
    // Paused: Play shows, the meters fall to nothing. Put at 1 s by the slider: the tick shows
    // elapsed time, or the remaining time once the menu item is checked.
    player->command(ids::PlayPauseButton);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPlay);
    EXPECT_TRUE(PumpUntil([&] { return w->meter(ids::LeftMeter)->value() == 0; }));
    w->slider(ids::PositionSlider)->setFocus();
    QTest::keyClick(w->slider(ids::PositionSlider), Qt::Key_Home);
    QTest::keyClick(w->slider(ids::PositionSlider), Qt::Key_Right);
    EXPECT_TRUE(PumpUntil([&] { return w->statusText(3) == QStringLiteral("00:01"); }));
    player->command(ids::MenuRemainingTime);
    EXPECT_TRUE(PumpUntil([&] { return w->statusText(3) == QStringLiteral("01:00"); }));
}

TEST_F(PlaybackTest, TransportWrapsAroundAndEndOfTrackAdvancesThroughTheFolder) {
    fs::create_directory(media.file("book"));
    for (int i = 1; i <= 3; ++i)
        makeTone(media.file("book/" + std::to_string(i) + ".wav"), 300 * i, 1.0, 44100, 1);
    player->addFolder(media.file("book/1.wav"));
    for (const auto& [id, row] : {std::pair{ids::PreviousButton, 2}, {ids::NextButton, 0}, {ids::LastButton, 2},
                                  {ids::FirstButton, 0}}) {
        player->command(id);
        EXPECT_EQ(SelectedRow(), row) << id;
        EXPECT_EQ(std::string(app.bookRecord.path), media.file("book/" + std::to_string(row + 1) + ".wav")) << id;
    }
    // Let the folder play through: three one-second files, back to the first.
    std::vector<int> visited;
    PumpUntil([&] {
        if (visited.empty() || visited.back() != SelectedRow())
            visited.push_back(SelectedRow());
        return visited.size() >= 4;
    });
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 2, 0}));
    EXPECT_EQ(app.isPlaying, 1);
    // Arrow keys in the list open each row in turn.
    w->trackList()->setFocus();
    QTest::keyClick(w->trackList(), Qt::Key_Down);
    SettleOpen();
    EXPECT_EQ(std::string(app.bookRecord.path), media.file("book/2.wav"));
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
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() > 0.8; }));
    flat.stop();

    // Band 3 kHz at +10 dB and volume at 50: +10 dB - 6 dB from the first moment.
    player->command(ids::PlayPauseButton);
    Pump(200);
    w->setSliderPosition(ids::EqBand3k, 0);
    w->setSliderPosition(ids::VolumeSlider, 50);
    MonitorCapture shaped(media.file("shaped.raw"));
    player->command(ids::FirstButton);
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() > 0.8; }));
    shaped.stop();

    const long flatStart = flat.firstSoundFrom(0), shapedStart = shaped.firstSoundFrom(0);
    ASSERT_TRUE(flatStart >= 0 && shapedStart >= 0);
    // Peaks of a pure tone: a dropout of the recorder on a busy machine cannot lower them.
    const double flatLevel = flat.peak(flatStart + 2400, 9600);
    const double expectedDb = 10.0 + 20 * std::log10(0.5);
    EXPECT_NEAR(20 * std::log10(shaped.peak(shapedStart + 2400, 9600) / flatLevel), expectedDb, 1.0);
    EXPECT_NEAR(20 * std::log10(shaped.peak(shapedStart, 480) / flatLevel), expectedDb, 1.5);
}

TEST_F(PlaybackTest, UnplayableFileLeavesTheBookItsSlotAndTheTrackAsTheyWereAndTransportGoesOnFromItsRow) {
    fs::create_directory(media.file("mixed"));
    makeTone(media.file("mixed/1.wav"), 440, 20, 44100, 1);
    writeBytes(media.file("mixed/2.mp3"), std::vector<unsigned char>(4000, 0x5A));
    makeTone(media.file("mixed/3.wav"), 880, 2, 44100, 1);
    player->addFolder(media.file("mixed/1.wav"));
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() > 0.5; }));
    player->command(ids::PlayPauseButton);
    ASSERT_TRUE(FlushSaves(5000)); // the paused place is on the disk before the files are compared
    const HSTREAM playing = app.currentStream;
    const auto data = readBytes(player->dataFile()), settings = readBytes(player->settingsFile());
    // A row, the open dialog, a path from outside: each is told once, and nothing changes.
    const std::vector<std::pair<const char*, std::function<void()>>> ways = {
        {"row", [&] { player->command(ids::NextButton); }},
        {"dialog", [&] { player->addFolder(media.file("mixed/2.mp3")); }},
        {"named path", [&] { OpenPathForCurrentBook(QByteArray::fromStdString(media.file("mixed/2.mp3"))); }}};
    for (const auto& [way, open] : ways) {
        const int warned = int(player->warnings().size());
        open();
        ASSERT_TRUE(SettleOpen());
        EXPECT_EQ(player->warnings().mid(warned), QStringList{QStringLiteral("Ошибка воспроизведения")}) << way;
        EXPECT_EQ(app.currentStream, playing) << way;
        EXPECT_EQ(std::string(app.bookRecord.path), media.file("mixed/1.wav")) << way;
        EXPECT_EQ(w->trackList()->count(), 3) << way;
        EXPECT_TRUE(readBytes(player->dataFile()) == data && readBytes(player->settingsFile()) == settings) << way;
    }
    player->command(ids::NextButton);
    EXPECT_EQ(SelectedRow(), 2);
    EXPECT_EQ(SlotPath(player->dataFile()), media.file("mixed/3.wav"));
    // Named on the command line: told, and the book resumes at its place.
    player->exitAndReset();
    const auto kept = readBytes(player->dataFile());
    ASSERT_TRUE(player->start(QByteArray::fromStdString(media.file("mixed/2.mp3"))));
    EXPECT_EQ(player->warnings().size(), 4);
    EXPECT_EQ(std::string(app.bookRecord.path), media.file("mixed/3.wav"));
    EXPECT_NE(app.currentStream, 0u);
    EXPECT_EQ(readBytes(player->dataFile()), kept);
}

// Next pressed far faster than files open: each press moves on from the row the last one asked
// for, the window never waits on a file, and only the final row is opened and heard.
TEST_F(PlaybackTest, AFloodOfNextEndsOnTheRightRowWithOneStream) {
    fs::create_directory(media.file("flood"));
    makeTone(media.file("flood/0.wav"), 440, 5, 44100, 1);
    for (int i = 1; i < 7; ++i)
        fs::copy_file(media.file("flood/0.wav"), media.file("flood/" + std::to_string(i) + ".wav"));
    player->addFolder(media.file("flood/0.wav"));
    const auto streams = [] { return capture("pactl list short sink-inputs | wc -l"); };
    const std::string before = streams();
    QElapsedTimer timer;
    qint64 longest = 0;
    for (int press = 0; press < 200; ++press) {
        timer.start();
        NextTrack();
        longest = std::max(longest, timer.elapsed());
    }
    EXPECT_LT(longest, 200);
    EXPECT_EQ(SelectedRow(), 200 % 7);
    ASSERT_TRUE(SettleOpen());
    EXPECT_EQ(std::string(app.bookRecord.path), media.file("flood/" + std::to_string(200 % 7) + ".wav"));
    EXPECT_TRUE(PumpUntil([&] { return streams() == before; })) << streams() << " streams against " << before;
}

// At a track's end 200 files that cannot play lie before the next good one: the walk over them
// is heard as a short silence, and the window answers all along.
TEST_F(PlaybackTest, TheAdvancePassesOverTwoHundredUnplayableFilesSoonAndTheWindowAnswers) {
    fs::create_directory(media.file("walk"));
    makeTone(media.file("walk/0.wav"), 440, 1, 44100, 1);
    makeUnplayableFiles(media.file("walk"), 1, 200);
    makeTone(media.file("walk/201.wav"), 1200, 2, 44100, 1);
    MonitorCapture heard(media.file("walk.raw"));
    player->addFolder(media.file("walk/0.wav"));
    QElapsedTimer sinceLast;
    qint64 longest = 0;
    sinceLast.start();
    ASSERT_TRUE(PumpUntil([&] {
        longest = std::max(longest, sinceLast.restart());
        return app.trackIndex == 201 && EngineSeconds() > 0.5;
    }, 60000));
    heard.stop();
    EXPECT_LT(longest, 200);
    const auto parts = heard.stretches(MonitorCapture::rate / 10);
    ASSERT_GE(parts.size(), 2u);
    EXPECT_NEAR(heard.dominantFrequency(parts[0].first + 2400, 4800), 440, 20);
    EXPECT_NEAR(heard.dominantFrequency(parts[1].first + 2400, 4800), 1200, 40);
    EXPECT_LT(double(parts[1].first - parts[0].last) / MonitorCapture::rate, 15.0);
}

// A one-file book with chapters of distinct tones: its chapters are rows under it, the heard
// one is current, and Next, Previous (the 3 s rule both ways), a seek and a click move by them.
TEST_F(PlaybackTest, ChaptersOfAFileAreRowsAndTransportStepsThroughThem) {
    fs::create_directory(media.file("book"));
    makeSteppedTone(media.file("book/1.m4b"), 300, 200, 4, 6, 44100, 1,
                    chapterArgs(media.file("meta.txt"), {{0, 6000, "Пролог"}, {6000, 12000, ""},
                                                         {12000, 18000, "Глава 3. Лес"}, {18000, 24000, "Эпилог"}}) +
                        " -c:a aac -f mp4");
    makeTone(media.file("book/2.wav"), 1500, 3, 44100, 1);
    player->addFolder(media.file("book/1.m4b"));
    QStringList rows;
    for (int i = 0; i < w->trackList()->count(); ++i)
        rows << w->trackList()->item(i)->text();
    EXPECT_EQ(rows, (QStringList{"1.m4b", "    Пролог — 0:00", "    Глава 2 — 0:06", "    Глава 3. Лес — 0:12",
                                 "    Эпилог — 0:18", "2.wav"}));
    EXPECT_EQ(w->statusText(0), QStringLiteral("   Всего в списке: 2"));

    // Each step: what is done, then the row made current, where playback is and the tone heard.
    struct Step {
        std::function<void()> act;
        int row;
        double from, to, hz;
        QString chapter; // in the title line
    };
    const std::vector<Step> steps = {
        {[] {}, 1, 0, 2, 300, "Пролог"},
        {NextTrack, 2, 6, 8, 500, "Глава 2"},
        {NextTrack, 3, 12, 14, 700, "Глава 3. Лес"},
        {PreviousTrack, 2, 6, 8, 500, "Глава 2"}, // within 3 s of its start: the chapter before
        {[] { SeekToSlider(11.5); }, 3, 12, 13.5, 700, "Глава 3. Лес"}, // playback crosses into the next chapter
        {[] {
             SeekToSlider(16.5);
             PumpUntil([] { return EngineSeconds() >= 16.5; });
             PreviousTrack(); // later in a chapter: its own start
         }, 3, 12, 14, 700, "Глава 3. Лес"},
        {[] { SeekToSlider(19); }, 4, 19, 21, 900, "Эпилог"},
        {NextTrack, 1, 0, 1.5, 1500, ""}, // after the last chapter: the next file, the chapter rows gone
        {PreviousTrack, 1, 0, 2, 300, "Пролог"},
        {[this] { w->trackList()->setCurrentRow(4); }, 4, 18, 20, 900, "Эпилог"}, // a click on a chapter row
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        steps[i].act();
        SettleOpen();
        ASSERT_TRUE(PumpUntil([&] {
            return SelectedRow() == steps[i].row && EngineSeconds() >= steps[i].from && EngineSeconds() < steps[i].to;
        })) << SelectedRow() << " at " << EngineSeconds();
        EXPECT_EQ(w->titleLine()->text(), steps[i].chapter.isEmpty() ? "book" : "book — " + steps[i].chapter);
        MonitorCapture heard(media.file("heard.raw"));
        Pump(300);
        heard.stop();
        EXPECT_NEAR(heard.dominantFrequency(heard.frameCount() - 4800, 4800), steps[i].hz, steps[i].hz * 0.05);
    }
    EXPECT_EQ(w->trackList()->count(), 6);
    EXPECT_TRUE(w->bookTabs()->tabToolTip(0).startsWith("book\n1.m4b, гл. 4, 0:1"));
}

// Ctrl+Left and Ctrl+Right move 15 s back and 30 s on in the files' own time, whichever control
// has the focus, over file starts and held at the book's ends; paused they stay paused, and
// playing at 2× the place they land on is heard.
TEST_F(PlaybackTest, JumpKeysMoveThroughTheFolderWhereverTheFocusIs) {
    fs::create_directory(media.file("jumps"));
    for (int i = 0; i < 3; ++i) // 10 s steps of 50 Hz
        makeSteppedTone(media.file("jumps/" + std::to_string(i) + ".wav"), 300 + 600 * i, 50, 4, 10, 44100, 1);
    player->addFolder(media.file("jumps/2.wav"));
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    QWidget *list = w->trackList(), *position = w->slider(ids::PositionSlider), *volume = w->slider(ids::VolumeSlider);
    QTest::keyClick(w->button(ids::NextButton), Qt::Key_P, Qt::ControlModifier);
    ASSERT_EQ(app.isPlaying, 0);
    const struct {
        QWidget* focus;
        Qt::Key key;
        double seekFirst; // -1: from where the last one landed
        int file;
        double at;
    } paused[] = {{list, Qt::Key_Left, 5, 1, 30},  {position, Qt::Key_Right, -1, 2, 20},
                  {volume, Qt::Key_Left, -1, 2, 5}, {w->button(ids::NextButton), Qt::Key_Left, 4, 1, 29},
                  {w->slider(ids::EqBand100), Qt::Key_Left, 10, 0, 35}, {w->bookTabs(), Qt::Key_Left, 6, 0, 0},
                  {list, Qt::Key_Right, -1, 0, 30}, {position, Qt::Key_Right, -1, 1, 20}, {volume, Qt::Key_Right, 30, 2, 20},
                  {list, Qt::Key_Right, -1, 2, 40}};
    for (const auto& row : paused) {
        SCOPED_TRACE(row.at);
        if (row.seekFirst >= 0)
            SeekToSlider(row.seekFirst);
        row.focus->setFocus();
        QTest::keyClick(row.focus, row.key, Qt::ControlModifier);
        ASSERT_TRUE(SettleOpen());
        EXPECT_EQ(app.trackIndex, row.file);
        EXPECT_NEAR(EngineSeconds(), row.at, 0.01);
        EXPECT_EQ(app.isPlaying, 0);
        EXPECT_EQ(QApplication::focusWidget(), row.focus);
        EXPECT_EQ(w->bookTabs()->currentIndex(), 0);
    }
    // Presses while the file before opens add up: from 0:05, 10 s into it, then 15 s more.
    SeekToSlider(5);
    QTest::keyClick(list, Qt::Key_Left, Qt::ControlModifier);
    QTest::keyClick(list, Qt::Key_Left, Qt::ControlModifier);
    EXPECT_TRUE(PumpUntil([] { return app.trackIndex == 1 && std::abs(EngineSeconds() - 15) < 0.01; }));
    player->command(ids::MenuSpeedFirst + 5);
    SeekToSlider(9);
    QTest::keyClick(list, Qt::Key_P, Qt::ControlModifier);
    for (auto [key, file, step, hz] : {std::tuple{Qt::Key_Left, 0, 30.0, 450.0}, {Qt::Key_Right, 1, 20.0, 1000.0}}) {
        QTest::keyClick(list, key, Qt::ControlModifier);
        ASSERT_TRUE(SettleOpen());
        MonitorCapture heard(media.file("jump.raw"));
        Pump(300);
        heard.stop();
        EXPECT_EQ(app.trackIndex, file);
        EXPECT_TRUE(app.isPlaying && EngineSeconds() >= step && EngineSeconds() < step + 10) << EngineSeconds();
        EXPECT_NEAR(heard.dominantFrequency(heard.frameCount() - 4800, 4800), hz, 20);
    }
}

// Levelling, heard against the quiet file (-32 dBFS) as it is: with it on, that file and a loud
// one (-16 dBFS) come to one level, the gain gliding in as the quiet one's measurement lands
// while it plays; a file damaged while it plays (junk once measured) and both files with
// levelling off are heard as they are. Measurements are kept across a restart; the measuring
// thread yields the CPU and the disk.
TEST_F(PlaybackTest, LevellingBringsQuietAndLoudFilesTogetherGlidingInAndLeavesOthersAsTheyAre) {
    const std::string book = media.file("lv"), cache = program.file("loudness.txt");
    fs::create_directory(book);
    // -32 and -16 dBFS peaks (ffmpeg's sine is at -18.06, -3 more in stereo); a low rate keeps
    // the measuring, which yields to any other work, short on a busy machine.
    makeTone(book + "/2.wav", 1000, 60, 16000, 2, "-af volume=-10.94dB");
    makeTone(book + "/3.wav", 1000, 60, 16000, 2, "-af volume=5.06dB");
    fs::copy_file(book + "/3.wav", book + "/1.wav");
    for (int id : {ids::EqBand100, ids::EqBand3k, ids::EqBand12k, ids::VolumeSlider})
        w->setSliderPosition(id, id == ids::VolumeSlider ? 0 : 10);
    w->setSliderPosition(ids::ReverbSlider, 20);
    const auto cacheText = [&] {
        const auto bytes = readBytes(cache);
        return std::string(bytes.begin(), bytes.end());
    };
    const auto cachedLines = [&](const std::string& start) {
        std::istringstream text(cacheText());
        int lines = 0;
        for (std::string line; std::getline(text, line);)
            lines += line.rfind(start, 0) == 0;
        return lines;
    };
    const auto toggle = [&] { player->command(ids::MenuLevelLoudness); };
    const auto waitForCache = [&](const std::string& start, int lines) {
        EXPECT_TRUE(PumpUntil([&] { return cachedLines(start) == lines; }, 60000)) << start;
    };
    fs::file_time_type kept;
    MonitorCapture heard(media.file("heard.raw"));
    const std::size_t start = heard.framesSoFar();
    // Each step: what is done, how far its file plays on before 0.3 s of it are marked, and the
    // level expected then against the quiet file as it is.
    const struct {
        std::function<void()> act;
        double after, db;
    } steps[] = {
        {[&] {
             toggle();
             player->addFolder(book + "/2.wav");
             waitForCache("-", 1);
             EXPECT_NE(cacheText().find("/2.wav\n"), std::string::npos) << "the file playing is measured first";
         }, 1.5, 14},
        {[&] {
             waitForCache("-", 3);
             NextTrack();
         }, 1.5, 14},
        {[&] {
             NextTrack(); // 1.wav, a copy of the loud one
             SettleOpen();
             toggle();
             writeBytes(book + "/junk", std::vector<unsigned char>(100000, 'x'));
             fs::rename(book + "/junk", book + "/1.wav");
             toggle();
             waitForCache("-\t", 1);
         }, 1.5, 16},
        {[&] {
             toggle();
             PreviousTrack();
         }, 1.5, 16},
        {PreviousTrack, 1.5, 0},
        {[&] {
             toggle();
             kept = fs::last_write_time(cache);
             player->exitAndReset();
             ASSERT_TRUE(Start());
         }, 1.5, 14},
    };
    std::vector<std::size_t> marks;
    for (const auto& step : steps) {
        step.act();
        SettleOpen();
        const double from = EngineSeconds();
        EXPECT_TRUE(PumpUntil([&] { return EngineSeconds() >= from + step.after; }));
        marks.push_back(heard.framesSoFar());
        EXPECT_TRUE(PumpUntil([&] { return heard.framesSoFar() > marks.back() + 14400; }));
    }
    heard.stop();
    EXPECT_EQ(fs::last_write_time(cache), kept) << "after a restart nothing was measured again";
    const auto db = [&](std::size_t from, std::size_t frames) { return 20 * std::log10(heard.peak(from, frames)); };
    for (std::size_t i = 0; i < marks.size(); ++i)
        EXPECT_NEAR(db(marks[i], 14400) - db(marks[4], 14400), steps[i].db, 1.0) << "step " << i;
    // Until it was measured the quiet file played as it is, then glided up: no 10 ms step of 1 dB.
    const long first = heard.firstSoundFrom(start, 0.001f);
    ASSERT_GE(first, 0);
    EXPECT_NEAR(db(std::size_t(first) + 100, 480) - db(marks[4], 14400), 0, 1.0);
    double steepest = 0;
    for (std::size_t f = std::size_t(first) + 580; f + 480 <= marks[0]; f += 480)
        if (const double a = heard.peak(f - 480, 480), b = heard.peak(f, 480); a > 1e-3 && b > 1e-3)
            steepest = std::max(steepest, std::fabs(20 * std::log10(b / a)));
    EXPECT_LT(steepest, 1.0);
    int idle = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        const int tid = std::stoi(task.path().filename());
        idle += name == "tw-loudness" && sched_getscheduler(tid) == SCHED_IDLE &&
                IOPRIO_PRIO_CLASS(syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, tid)) == IOPRIO_CLASS_IDLE;
    }
    EXPECT_EQ(idle, 1);
}

} // namespace
