// The listener's place survives: what reaches the disk while playing, at track changes and
// pauses and however the program ends; failed writes, long paths, unreachable files and the
// sleep timer across a suspend. Through the real window, engine and a
// private sound server; the endings through the real program in a process of its own.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <csignal>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include "books/book_slot_file.h"
#include "books/book_switch.h"
#include "books/last_heard.h"
#include "books/save_writer.h"
#include "playback/tick.h"
#include "playback/track_opener.h"
#include "playback/transport.h"
#include "sleep/sleep_timer.h"
#include "support/data_mount.h"
#include "support/qt/app_test.h"
#include "support/qt/fake_logind.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Mono 8 kHz tracks decode to 8000 bytes a second (a byte a sample).
constexpr int kRate = 8000;
// Flat equaliser, no reverb, full volume.
const std::vector<unsigned char> kSettings = int32Bytes({0, 0, 0, 0, 10, 10, 10, 20, 0});

std::vector<unsigned char> Slot(const std::string& dataFile, int book = 0) {
    return SlotOf(readBytes(dataFile), book);
}
double SlotSeconds(const std::string& dataFile, int book = 0) {
    return double(SlotPosition(Slot(dataFile, book))) / kRate;
}

// A book folder of tones at 440 Hz, one file per length; returns the files' paths.
std::vector<std::string> MakeBook(const std::string& folder, std::initializer_list<double> lengths) {
    fs::create_directories(folder);
    std::vector<std::string> files;
    for (double seconds : lengths) {
        files.push_back(folder + "/0" + std::to_string(files.size() + 1) + ".wav");
        makeTone(files.back(), 440, seconds, kRate, 1);
    }
    return files;
}

class ContinuityTest : public AppTest {
protected:
    void SetUp() override {
        PrivateSystemBus::instance();
        AppTest::SetUp();
        writeBytes(player->settingsFile(), kSettings);
    }
    void TearDown() override {
        AppTest::TearDown();
        SetClockSeam(nullptr);
        SetWallClockSeam(nullptr);
    }
    void startPlaying(const std::string& file, double atLeast = 0) {
        ASSERT_TRUE(Start());
        player->addFolder(file);
        ASSERT_NE(app.currentStream, 0u);
        ASSERT_TRUE(PumpUntil([&] { return EngineSeconds() >= atLeast; }));
    }
    std::string data() const { return player->dataFile(); }
};

TEST_F(ContinuityTest, TrackOpeningsTicksPausesAndLogindWriteTheSlotInPlace) {
    const auto others = joinBytes({bookSlotBytes("/книги/1.mp3", 1000), bookSlotBytes("/книги/2.mp3", 2000),
                                   bookSlotBytes("/книги/3.mp3", 3000), bookSlotBytes("/книги/4.mp3", 4000)});
    writeBytes(data(), joinBytes({std::vector<unsigned char>(272, 0), others}));
    // Every track opening saves the place where playback starts.
    const auto files = MakeBook(media.file("Повесть"), {3, 30});
    startPlaying(files[0], 1.2);
    player->command(ids::NextButton);
    ASSERT_TRUE(FlushSaves(5000));
    EXPECT_EQ(SlotPath(data()), files[1]);
    EXPECT_EQ(SlotSeconds(data()), 0);

    // The automatic advance: never ahead of what is heard of the new track.
    player->command(ids::PreviousButton);
    ASSERT_TRUE(PumpUntil([] { return app.trackIndex == 1 && app.currentStream != 0; }, 8000));
    ASSERT_TRUE(FlushSaves(5000));
    EXPECT_EQ(SlotPath(data()), files[1]);
    EXPECT_LE(SlotSeconds(data()), EngineSeconds());

    // While playing, the slot follows what is heard, never ahead of it; the other books' slots
    // stay as they were.
    ASSERT_TRUE(PumpUntil([&] { return SlotSeconds(data()) > 2; }));
    EXPECT_LE(SlotSeconds(data()), EngineSeconds());
    const auto bytes = readBytes(data());
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 272, bytes.end()), others);

    player->command(ids::PlayPauseButton);
    ASSERT_TRUE(FlushSaves(5000));
    EXPECT_NEAR(SlotSeconds(data()), EngineSeconds(), 0.01);
    // Paused, nothing else writes the slot: a rewritten slot is the save of logind's signal.
    auto sender = QDBusConnection::connectToBus(QString::fromStdString(PrivateSystemBus::instance().address()),
                                                QStringLiteral("logind-sender"));
    for (const char* name : {"PrepareForShutdown", "PrepareForSleep"}) {
        writeBytes(data(), bookSlotBytes("/нигде.mp3", 1));
        auto signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                 QStringLiteral("org.freedesktop.login1.Manager"), name);
        signal << true;
        ASSERT_TRUE(sender.send(signal));
        EXPECT_TRUE(PumpUntil([&] { return SlotPath(data()) == files[1]; }, 3000)) << name;
        EXPECT_EQ(Slot(data()), bookSlotBytes(files[1], app.bookRecord.position)) << name;
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("logind-sender"));
}

// With a system bus that takes the connection and never answers, as a wedged one does.
TEST_F(ContinuityTest, SignalsAndCrashesSaveTheLastTickPosition) {
    const auto files = MakeBook(media.file("Сказки"), {60});
    sockaddr_un wedged{AF_UNIX, {}};
    media.file("bus").copy(wedged.sun_path, sizeof wedged.sun_path - 1);
    const int bus = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(bus, reinterpret_cast<sockaddr*>(&wedged), sizeof wedged), 0);
    ASSERT_EQ(listen(bus, 16), 0);
    struct Case {
        const char* name;
        int signal;
        QProcess::ExitStatus status;
    };
    for (const Case& c : {Case{"SIGTERM", SIGTERM, QProcess::NormalExit}, {"SIGQUIT", SIGQUIT, QProcess::NormalExit},
                          {"SIGUSR1", SIGUSR1, QProcess::NormalExit}, {"SIGSEGV", SIGSEGV, QProcess::CrashExit},
                          {"SIGABRT", SIGABRT, QProcess::CrashExit}}) {
        PlayerProcess player({{"DBUS_SYSTEM_BUS_ADDRESS", QStringLiteral("unix:path=") + wedged.sun_path}});
        const std::string data = player.data();
        writeBytes(data, bookSlotBytes(files[0], 0));
        MonitorCapture capture(media.file("heard.raw"));
        player.start();
        ASSERT_TRUE(PumpUntil([&] { return SlotSeconds(data) > 0; }, 15000)) << c.name;
        // Every thread blocks the ending signals: the window's thread reads them in its turn.
        const std::string tasks = "/proc/" + std::to_string(player.process.processId()) + "/task";
        for (const auto& task : fs::directory_iterator(tasks)) {
            std::ifstream status(task.path() / "status");
            std::string line;
            while (std::getline(status, line) && line.rfind("SigBlk:", 0) != 0) {
            }
            const bool blocked = std::stoull(line.substr(7), nullptr, 16) >> (c.signal - 1) & 1;
            EXPECT_TRUE(blocked || c.status == QProcess::CrashExit) << c.name << line;
        }
        QTest::qSleep(1500);
        // Whatever names the book after the end was written by the ending itself.
        writeBytes(data, bookSlotBytes("/нигде.mp3", 1));
        kill(pid_t(player.process.processId()), c.signal);
        ASSERT_TRUE(player.process.waitForFinished(10000)) << c.name;
        EXPECT_EQ(player.process.exitStatus(), c.status) << c.name;
        EXPECT_TRUE(c.status == QProcess::CrashExit || player.process.exitCode() == 0) << c.name;
        capture.stop();
        const long first = capture.firstSoundFrom(0);
        ASSERT_GE(first, 0) << c.name;
        const double heardSeconds = double(capture.lastSoundFrom(std::size_t(first)) - first) / MonitorCapture::rate;
        EXPECT_EQ(SlotPath(data), files[0]) << c.name;
        // The last tick's place: never ahead of the sound, behind it by what a busy window
        // thread and the server's timing report may lag.
        EXPECT_LE(SlotSeconds(data), heardSeconds + 0.15) << c.name;
        EXPECT_GE(SlotSeconds(data), heardSeconds - 1.5) << c.name;
    }
    close(bus);
}

TEST_F(ContinuityTest, FailedWritesAreShownWithoutABoxAndTriedAgain) {
    const auto files = MakeBook(media.file("Путешествия"), {30, 30});
    startPlaying(files[0], 0.3);
    const QString title = w->titleLine()->text();
    // No data file can be written: the slot file is a folder, the others' temporaries too.
    fs::rename(data(), data() + ".kept");
    fs::create_directory(data());
    for (const char* name : {"tellwick.ini.tmp", "speeds.txt.tmp"})
        fs::create_directory(program.file(name));
    player->command(ids::NextButton);
    ASSERT_NE(app.currentStream, 0u);
    EXPECT_TRUE(PumpUntil([&] { return app.failedWrites == 3; }));
    player->command(ids::MenuSpeedFirst + 5);
    EXPECT_TRUE(PumpUntil([&] { return app.failedWrites == 7; }));
    const QString shown = w->titleLine()->text();
    EXPECT_EQ(shown, QString::fromStdString("Не удаётся сохранить место в книге: файл «" + program.file("speeds.txt") +
                                            "» — это не обычный файл. Повторю при следующем сохранении."));
    Pump(1300);

    // The cause passes: the next saves write them all and the title comes back.
    fs::remove(data());
    fs::rename(data() + ".kept", data());
    for (const char* name : {"tellwick.ini.tmp", "speeds.txt.tmp"})
        fs::remove(program.file(name));
    player->command(ids::NextButton);
    player->command(ids::MenuSpeedFirst + 1);
    EXPECT_TRUE(PumpUntil([&] { return app.failedWrites == 0; }));
    EXPECT_EQ(w->titleLine()->text(), title);
    EXPECT_EQ(Slot(data()), bookSlotBytes(files[0], 0));
    const std::string speeds = "1\n1\n1\n1\n1\n";
    EXPECT_EQ(readBytes(program.file("speeds.txt")), std::vector<unsigned char>(speeds.begin(), speeds.end()));
    EXPECT_TRUE(player->warnings().isEmpty());
}

// The data folder on a share that stalls: saves are handed over and the window goes on, a book
// left and come back to resumes from what was handed over, the exit waits 2 s at most; once the
// share answers, the latest records reach it.
TEST_F(ContinuityTest, AStalledDataFolderHoldsUpNeitherTheWindowNorTheExit) {
    DataMount share;
    if (!share.failure.empty())
        GTEST_SKIP() << "NOT RUN, FUSE cannot be used here: " << share.failure;
    writeBytes(share.source.file("tellwick.ini"), kSettings);
    player.reset();
    player = std::make_unique<PlayerHarness>(share.path.path());
    const auto files = MakeBook(media.file("Поэмы"), {30});
    startPlaying(files[0], 1.0);
    ASSERT_TRUE(FlushSaves(5000));
    share.stallWrites(true);
    // Should the window wait for the share after all, the share answers after 10 s.
    std::jthread safety([&](std::stop_token stop) {
        for (int i = 0; i < 1000 && !stop.stop_requested(); ++i)
            QTest::qSleep(10);
        share.stallWrites(false);
    });
    QElapsedTimer timer;
    timer.start();
    SaveState();
    WritePlaceNow();
    EXPECT_LT(timer.elapsed(), 200);
    // Each switch opens or releases a stream besides.
    timer.restart();
    ASSERT_TRUE(ClickTab(w, 1));
    const std::int64_t left = SlotPosition(SlotOf(readBytes(share.source.file("data.dat"))));
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_GT(app.bookRecord.position, left) << "resumed from the place handed over, not the older one on the share";
    timer.restart();
    player->command(ids::MenuExit);
    EXPECT_LT(timer.elapsed(), 3000);
    const std::int64_t kept = app.bookRecord.position;
    share.stallWrites(false);
    ASSERT_TRUE(FlushSaves(10000));
    EXPECT_EQ(SlotOf(readBytes(share.source.file("data.dat"))), bookSlotBytes(files[0], kept));
}

TEST_F(ContinuityTest, PathsLongerThanTheRecordAreRememberedBesideIt) {
    std::string folder = media.path();
    for (int i = 0; i < 4; ++i)
        folder += "/Очень длинное название папки с аудиокнигой номер " + std::to_string(i);
    const auto files = MakeBook(folder, {30});
    ASSERT_GE(files[0].size(), sizeof app.bookRecord.path);
    const auto other = bookSlotBytes("/книги/другая.mp3", 777);
    writeBytes(data(), joinBytes({std::vector<unsigned char>(272, 0), other}));
    startPlaying(files[0], 1.3);
    player->exitAndReset();
    EXPECT_TRUE(player->warnings().isEmpty());
    EXPECT_EQ(SlotPath(data()), "");
    EXPECT_GT(SlotSeconds(data()), 0.5);
    EXPECT_EQ(Slot(data(), 1), other);
    const std::string entry = "0" + files[0] + '\0';
    EXPECT_EQ(readBytes(program.file("data.paths")), std::vector<unsigned char>(entry.begin(), entry.end()));

    // Resumed where it stopped; a path that fits then takes the slot as ever.
    const double saved = SlotSeconds(data());
    ASSERT_TRUE(Start());
    ASSERT_NE(app.currentStream, 0u);
    EXPECT_GE(EngineSeconds(), saved - 0.01);
    const auto shortBook = MakeBook(media.file("Стихи"), {30});
    player->addFolder(shortBook[0]);
    player->exitAndReset();
    EXPECT_EQ(SlotPath(data()), shortBook[0]);
    EXPECT_TRUE(readBytes(program.file("data.paths")).empty());

    // A track change on a full data disk: the path file cannot take the new track, so the slot
    // keeps the old track's place; the title line says so, and a restart plays the old track there.
    DataMount share;
    if (!share.failure.empty())
        GTEST_SKIP() << "NOT RUN, FUSE cannot be used here: " << share.failure;
    makeTone(folder + "/02.wav", 880, 30, kRate, 1);
    player.reset();
    player = std::make_unique<PlayerHarness>(share.path.path());
    startPlaying(files[0], 1.3);
    ASSERT_TRUE(FlushSaves(5000));
    share.fill(true);
    const double kept = SlotSeconds(share.source.file("data.dat"));
    player->command(ids::NextButton);
    EXPECT_TRUE(PumpUntil([&] { return w->titleLine()->text().startsWith("Не удаётся сохранить"); }));
    player->exitAndReset();
    share.fill(false);
    EXPECT_GE(SlotSeconds(share.source.file("data.dat")), kept);
    MonitorCapture capture(media.file("resumed.raw"));
    ASSERT_TRUE(Start());
    EXPECT_EQ(app.longPath, files[0]);
    EXPECT_GE(EngineSeconds(), kept - 0.01);
    ASSERT_TRUE(PumpUntil([&] { return capture.framesSoFar() > 2 * MonitorCapture::rate; }));
    capture.stop();
    const long heard = capture.firstSoundFrom(0);
    ASSERT_GE(heard, 0);
    EXPECT_NEAR(capture.dominantFrequency(std::size_t(heard) + 4800, 9600), 440, 20);
}

TEST_F(ContinuityTest, UnreachableBookFilesAreNamedAndUnplayableTracksPassedOver) {
    const std::string missing = "/не-подключено/Моя книга/01.mp3";
    writeBytes(data(), bookSlotBytes(missing, 12345));
    ASSERT_TRUE(Start());
    EXPECT_EQ(w->titleLine()->text(), QString::fromStdString("Файл книги недоступен: " + missing));
    EXPECT_EQ(w->bookTabs()->tabText(0), QStringLiteral("Моя книг"));
    player->exitAndReset();
    EXPECT_EQ(readBytes(data()), bookSlotBytes(missing, 12345));

    // Not audio, then gone: the advance goes on to the fourth file.
    const auto files = MakeBook(media.file("Пьесы"), {1, 1, 1, 30});
    writeBytes(files[1], {'n', 'o', 't'});
    startPlaying(files[0]);
    fs::remove(files[2]);
    ASSERT_TRUE(PumpUntil([] { return app.trackIndex == 3 && app.currentStream != 0; }, 8000));
    EXPECT_EQ(SlotPath(data()), files[3]);

    // A whole round without a playable file stops, saying so once.
    const auto gone = MakeBook(media.file("Басни"), {1, 1});
    player->addFolder(gone[0]);
    fs::remove(gone[0]);
    fs::remove(gone[1]);
    EXPECT_TRUE(PumpUntil([&] {
        return w->titleLine()->text() ==
               QStringLiteral("Ни один файл книги не удаётся воспроизвести, воспроизведение остановлено.");
    }, 8000));
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_TRUE(player->warnings().isEmpty());
}

TEST_F(ContinuityTest, SleepTimerCountsNeitherSuspendNorWallClockJumps) {
    // Outlive the test: the seam is cleared only after the player is gone.
    static std::int64_t wall, monotonic, boot;
    wall = 1'700'000'000, monotonic = boot = 5000;
    SetClockSeam([](clockid_t id) { return id == CLOCK_MONOTONIC ? monotonic : id == CLOCK_BOOTTIME ? boot : wall; });
    const auto files = MakeBook(media.file("Притчи"), {120});
    startPlaying(files[0]);
    ArmSleepTimer(QStringLiteral("1"));
    const QString armed = QStringLiteral("Выключение:  01:00");
    ASSERT_TRUE(PumpUntil([&] { return w->statusText(0) == armed; }, 3000));
    // A night suspended (all clocks but the monotonic one run on), then the wall clock set forward.
    for (const auto& [wallStep, bootStep] : {std::pair{8 * 3600, 8 * 3600}, {3 * 3600, 0}}) {
        wall += wallStep;
        boot += bootStep;
        Pump(500);
        EXPECT_FALSE(app.exiting);
        EXPECT_EQ(w->statusText(0), armed);
    }
    monotonic += 61;
    EXPECT_TRUE(PumpUntil([] { return app.exiting; }, 3000));
}

// A book picked up again after a pause, a restart or a seek: where it goes on, told by the tone
// heard (300 Hz + 40 Hz a second). The wall clock goes through its seam, so no row waits.
TEST_F(ContinuityTest, ABookPickedUpAgainGoesBackByHowLongItWentUnheard) {
    static std::int64_t wall = 1'700'000'000'000;
    SetWallClockSeam([] { return wall; });
    fs::create_directory(media.file("Роман"));
    const std::string book = media.file("Роман/1.m4b");
    // The second chapter from 40 s; at 50.9-51.5 s a pause in speech (-40 dB), at 52-52.4 s a
    // stretch too loud (-20 dB) to be one.
    makeSteppedTone(book, 300, 40, 70, 1, 22050, 1,
                    chapterArgs(media.file("meta.txt"), {{0, 40000, "Первая"}, {40000, 70000, "Вторая"}}) +
                        " -af \"volume=0.01:enable='between(t,50.9,51.5)',volume=0.1:enable='between(t,52,52.4)'\""
                        " -c:a alac -f mp4");
    const auto press = [this] { player->command(ids::PlayPauseButton); };
    const auto restart = [this] {
        player->exitAndReset();
        ASSERT_TRUE(Start());
    };
    const auto tabs = [this] { ASSERT_TRUE(ClickTab(w, 1) && ClickTab(w, 0)); };
    struct Row {
        const char* name;
        double pauseAt;
        std::function<void()> whilePaused;
        int unheardSeconds;
        std::function<void()> resume;
        int heardSecond;    // the second of the file heard first
        double quietBefore; // seconds of the pause heard before it
    };
    const std::vector<Row> rows = {
        {"under 5 s", 20.3, {}, 4, press, 20, 0},
        {"5 s to 1 min", 20.3, {}, 59, press, 17, 0},
        {"1 to 10 min, another book meanwhile", 30.3, {}, 599, tabs, 22, 0},
        {"10 min to 1 h, restarted", 30.3, {}, 3599, restart, 15, 0},
        {"1 h or more, the next evening", 35.3, {}, 20 * 3600, restart, 5, 0},
        {"not before the chapter's start", 42.3, {}, 3600, restart, 40, 0},
        {"into the pause in speech", 60.5, {}, 300, press, 51, 0.1},
        {"moved while paused", 20.3, [] { SeekToSlider(25.3); }, 60, press, 25, 0},
        {"option off", 20.3, [this] { player->command(ids::MenuSmartRewind); }, 60, press, 20, 0},
    };
    startPlaying(book);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SeekToSlider(row.pauseAt);
        ASSERT_TRUE(PumpUntil([&] { return EngineSeconds() >= row.pauseAt; }));
        press();
        if (row.whilePaused)
            row.whilePaused();
        wall += row.unheardSeconds * 1000;
        Pump(300);
        MonitorCapture heard(media.file("heard.raw"));
        row.resume();
        ASSERT_TRUE(PumpUntil([&] { return EngineSeconds() > row.heardSecond + 0.9; }));
        Pump(300);
        heard.stop();
        // The tone itself from 10 ms after the first sound on: past a click a null sink may let
        // through as the stream starts again, and past the pause's soft sound.
        const long first = heard.firstSoundFrom(0, 0.0005);
        ASSERT_GE(first, 0);
        const long loud = heard.firstSoundFrom(std::size_t(first) + 480, 0.03);
        ASSERT_GE(loud, 0);
        EXPECT_NEAR(heard.soundSeconds(0, SIZE_MAX, 0.0005) - heard.soundSeconds(0, SIZE_MAX, 0.03), row.quietBefore,
                    0.03);
        EXPECT_NEAR(heard.dominantFrequency(std::size_t(loud) + 2400, 9600), 300 + 40 * row.heardSecond, 15);
    }
}

// A book on a share whose reads hang: the window answers throughout, says why nothing is heard,
// and playback goes on from the same place once reads return; opening a track there waits on
// nothing either.
TEST_F(ContinuityTest, AHungShareNeitherFreezesTheWindowNorLosesThePlace) {
    DataMount share;
    if (!share.failure.empty())
        GTEST_SKIP() << "NOT RUN, FUSE unusable here: " << share.failure;
    MakeBook(share.source.path(), {60, 60});
    const std::string point = share.path.path();
    startPlaying(point + "/01.wav", 1);
    const QString title = w->titleLine()->text();
    // Released by a watchdog too, so a window that does freeze fails the test instead of hanging it.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        WaitUntil([&] { return done.load(); }, 30000, 50);
        share.stallReads(false);
    });
    qint64 longest = 0;
    const auto timed = [&](const std::function<void()>& handler) {
        QElapsedTimer timer;
        timer.start();
        handler();
        longest = std::max(longest, timer.elapsed());
    };
    const auto answering = [&](const std::function<bool()>& until, int ms) {
        return PumpUntil([&] { return timed([] { QCoreApplication::processEvents(); }), until(); }, ms);
    };
    const QString stalled = QString::fromStdString("Файл книги не отвечает: " + point + "/01.wav");
    share.stallReads(true);
    EXPECT_TRUE(answering([&] { return w->titleLine()->text() == stalled; }, 8000));
    const double stalledAt = EngineSeconds();
    for (const auto& handler : {TogglePlayPause, TickHandler, TogglePlayPause})
        timed(handler);
    share.stallReads(false);
    EXPECT_TRUE(answering([&] { return w->titleLine()->text() == title; }, 8000));
    EXPECT_NEAR(EngineSeconds(), stalledAt, 0.5);
    EXPECT_TRUE(answering([&] { return EngineSeconds() > stalledAt + 1; }, 8000));

    // Leaving the book and coming back, then the next track, all while reads hang.
    share.stallReads(true);
    for (const auto& handler : std::vector<std::function<void()>>{[] { SwitchBook(1); }, [] { SwitchBook(0); }, NextTrack})
        timed(handler);
    EXPECT_FALSE(answering([] { return !OpenPending(); }, 1000));
    share.stallReads(false);
    EXPECT_TRUE(SettleOpen());
    EXPECT_EQ(SlotPath(data()), point + "/02.wav");
    EXPECT_LT(longest, 200);
    done = true;
    watchdog.join();
}

} // namespace
