// The sleep timer through the real window and engine: arming, the countdown on the status
// bar, and the firing that saves, ends the program and asks logind (a fake on a private
// system bus) to power off. The clock goes through its seam so no test waits minutes.
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <functional>
#include <optional>

#include "sleep/power_off.h"
#include "sleep/sleep_timer.h"
#include "support/qt/app_test.h"
#include "support/qt/fake_logind.h"
#include "support/qt/modal.h"
#include "ui/dialogs.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t ArmingTime = 1'700'000'000;
// Exit codes of the test's own loop endings, told apart from the player's 0.
constexpr int StepDone = 71;
constexpr int NothingEndedTheLoop = 72;

// The volume field (the ninth int32) of a settings file.
std::int32_t SavedVolume(const std::vector<unsigned char>& settings) {
    return settings.size() == 36 ? std::int32_t(settings[32] | settings[33] << 8 | settings[34] << 16 | settings[35] << 24)
                                 : -1;
}

// Runs the application's main loop, as the program does, with `step` inside it. Returns the
// loop's exit code: the player's own when it ended the program, NothingEndedTheLoop after ms.
int RunUntilProgramEnds(const std::function<void()>& step, int ms = 20000) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(NothingEndedTheLoop); });
    QTimer::singleShot(0, qApp, step);
    watchdog.start(ms);
    return QApplication::exec();
}

class SleepTest : public AppTest {
protected:
    void SetUp() override {
        // The private bus comes before anything in this process asks for the system bus.
        PrivateSystemBus::instance();
        SetClockSeam([this](clockid_t) { return clock; });
        AppTest::SetUp();
        ASSERT_TRUE(Start());
    }
    void TearDown() override {
        AppTest::TearDown();
        SetClockSeam(nullptr);
    }
    // After a firing, a fresh start.
    void restartIfEnded() {
        if (!app.exiting)
            return;
        player->exitAndReset();
        ASSERT_TRUE(Start());
    }

    // A playing track long enough to outlast any test.
    std::string trackPath() const { return media.file("Книга/01.wav"); }
    void openTrack() {
        if (!fs::exists(trackPath())) {
            fs::create_directories(media.file("Книга"));
            makeTone(trackPath(), 440, 120, 8000, 1);
        }
        player->addFolder(trackPath());
        ASSERT_NE(app.currentStream, 0u);
    }

    // Sets the wall clock and waits for a tick to read it.
    void tickAt(std::int64_t now) {
        clock = now;
        app.tickTime = -1;
        EXPECT_TRUE(PumpUntil([now] { return app.tickTime == now; }));
    }
    void armAt(std::int64_t now, const QString& entry, AppState::SleepEnd end = AppState::SleepEnd::PowerOff) {
        clock = now;
        ArmSleepTimer(entry, end);
    }
    // The left peak once another 1.5 s has played: the glide under way, and what was buffered, heard through.
    double levelHeard() {
        const std::int64_t from = app.bookRecord.position;
        EXPECT_TRUE(PumpUntil([&] { return app.bookRecord.position > from + 12000; }));
        return double(BASS_ChannelGetLevel(app.currentStream) & 0xFFFF);
    }

    // `step`, run in the main loop, leads to the firing: the program ends with 0, the track's
    // place and the settings already saved when logind (if any) was asked, once, to power off.
    void expectFiring(const FakeLogind* logind, const std::function<void()>& step) {
        EXPECT_EQ(RunUntilProgramEnds(step), 0);
        EXPECT_TRUE(app.exiting);
        EXPECT_EQ(app.currentStream, 0u);
        EXPECT_FALSE(w->isVisible());
        const auto data = readBytes(player->dataFile());
        EXPECT_EQ(SlotPath(player->dataFile()), trackPath());
        EXPECT_EQ(SlotPosition(SlotOf(data)), app.bookRecord.position);
        if (!logind)
            return;
        const auto calls = logind->calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_FALSE(calls[0].interactive);
        EXPECT_EQ(calls[0].files[0], data);
        EXPECT_EQ(calls[0].files[1], readBytes(player->settingsFile()));
    }

    std::int64_t slotPlace() const { return SlotPosition(SlotOf(readBytes(player->dataFile()))); }
    std::vector<std::string> dataFiles() const { return {player->dataFile(), player->settingsFile()}; }
    std::int64_t clock = ArmingTime;
};

// Typed into the dialog, then OK, the close box, Enter or Escape (also in About). OK and Enter
// re-arm from their own moment, not the opening's, with the first seven characters; an entry that
// is not a positive number, or closing, leaves the running timer as it was. The tick goes on while
// the dialog is open.
TEST_F(SleepTest, DialogArmsFromTheMomentOfOkAndTheTickRunsWhileItIsOpen) {
    openTrack();
    armAt(ArmingTime, "5");
    constexpr auto Off = AppState::SleepEnd::PowerOff, Pause = AppState::SleepEnd::Pause;
    const char* const longWait = "Выключение:  20576:07:00"; // 1234567 minutes
    const struct {
        int command;
        const char* typed;
        int end; // 0: a click on OK, 1: the close box, else the key pressed
        const char* shownWhileOpen;
        int minutes;
        AppState::SleepEnd armed;
    } rows[] = {{ids::MenuSleepTimer, "12345678", 0, "Выключение:  04:50", 1234567, Off},
                {ids::MenuSleepTimer, "-3", 0, longWait, 1234567, Off}, {ids::MenuSleepTimer, "abc", 0, longWait, 1234567, Off},
                {ids::MenuSleepTimer, "3", 1, longWait, 1234567, Off}, {ids::MenuPauseTimer, "2", Qt::Key_Return, longWait, 2, Pause},
                {ids::MenuSleepTimer, "3", Qt::Key_Escape, "Пауза:  02:00", 2, Pause},
                {ids::MenuAbout, "", Qt::Key_Escape, "Пауза:  02:00", 2, Pause}};
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        clock = ArmingTime;
        WhenModalOpens([&](QWidget* dialog) {
            QWidget* entry = dialog->findChild<QLineEdit*>(QString::number(ids::SleepMinutesEdit));
            QTest::keyClicks(entry ? entry : dialog, row.typed);
            tickAt(ArmingTime + 10);
            EXPECT_EQ(w->statusText(0), QString::fromUtf8(row.shownWhileOpen));
            if (row.end == 0)
                QTest::mouseClick(dialog->findChild<QPushButton*>(QString::number(ids::SleepOkButton)), Qt::LeftButton);
            else
                row.end == 1 ? (void)dialog->close() : QTest::keyClick(entry ? entry : dialog, Qt::Key(row.end));
        });
        EXPECT_EQ(RunUntilProgramEnds([&] {
                      player->command(row.command);
                      QCoreApplication::exit(StepDone);
                  }),
                  StepDone);
        EXPECT_EQ(app.sleepStart, ArmingTime + 10);
        EXPECT_EQ(app.sleepDelaySeconds, row.minutes * 60);
        EXPECT_EQ(app.sleepEnd, row.armed);
    }
}

// Armed for 90 minutes with playback paused (the time runs on all the same): the countdown shows
// hours while an hour or more is left, and the firing follows one second past zero.
TEST_F(SleepTest, CountdownShowsHoursRunsWhilePausedAndFiresOnlyPastZero) {
    const std::pair<std::int64_t, const char*> ticks[] = {
        {0, "1:30:00"}, {1, "1:29:59"}, {1801, "59:59"}, {5399, "00:01"}, {5400, "00:00"}};
    openTrack();
    player->command(ids::PlayPauseButton);
    FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
    armAt(ArmingTime, "90");
    for (const auto& [at, shown] : ticks) {
        tickAt(ArmingTime + at);
        EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:  ") + shown) << at;
    }
    EXPECT_TRUE(!app.exiting && logind.calls().empty());
    expectFiring(&logind, [this] { clock = ArmingTime + 5401; });
    EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:  00:-01"));
}

// Whatever logind answers, or with none on the bus, and with the sleep dialog, the About box or
// the real open-file dialog open: the box's loop ends, nothing it would have done happens, the
// firing saves the place and a moved slider no one saved yet and ends the program.
TEST_F(SleepTest, FiringEndsAnOpenBoxAndSavesBeforeAskingForPowerOffWhateverTheAnswer) {
    const std::pair<std::optional<FakeLogind::Answer>, int> rows[] = {
        {FakeLogind::Answer::Accept, ids::MenuSleepTimer}, {FakeLogind::Answer::Refuse, ids::MenuAbout},
        {std::nullopt, ids::AddFolderButton}}; // the real dialog from here on
    for (const auto& [answer, command] : rows) {
        SCOPED_TRACE(command);
        openTrack();
        if (command == ids::AddFolderButton)
            SetPickAudioFileSeam(nullptr);
        std::optional<FakeLogind> logind;
        if (answer)
            logind.emplace(*answer, dataFiles());
        const int newVolume = w->slider(ids::VolumeSlider)->value() == 0 ? 1 : 0;
        w->setSliderPosition(ids::VolumeSlider, newVolume);
        // Armed for a minute, a few ticks played.
        armAt(ArmingTime, "1");
        tickAt(ArmingTime + 10);
        EXPECT_TRUE(PumpUntil([] { return app.bookRecord.position > 0; }));
        EXPECT_NE(SavedVolume(readBytes(player->settingsFile())), newVolume);
        bool opened = false;
        WhenModalOpens([&](QWidget* modal) {
            opened = true;
            // Typed but not confirmed: the firing must not arm it afterwards.
            if (auto* entry = modal->findChild<QLineEdit*>(QString::number(ids::SleepMinutesEdit)))
                QTest::keyClicks(entry, "30");
            clock = ArmingTime + 61;
        });
        expectFiring(logind ? &*logind : nullptr, [&, command = command] { player->command(command); });
        EXPECT_TRUE(opened);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_EQ(app.sleepDelaySeconds, 60);
        EXPECT_GT(app.bookRecord.position, 0);
        EXPECT_EQ(SavedVolume(readBytes(player->settingsFile())), newVolume);
        ASSERT_NO_FATAL_FAILURE(restartIfEnded());
    }
}

// Into the fade (15 s to go), then: a pause timer runs out and only pauses, keeping the place where
// the fade began; a play/pause press restarts the timer's full minute; cancelling disarms it. The
// volume comes back each time.
TEST_F(SleepTest, InTheFadeAPressRestartsCancelDisarmsAndAPauseTimerOnlyPauses) {
    for (const int command : {0, ids::PlayPauseButton, ids::MenuCancelTimer}) {
        SCOPED_TRACE(command);
        openTrack();
        FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
        tickAt(ArmingTime);
        const double full = levelHeard();
        armAt(ArmingTime, "1", command == ids::PlayPauseButton ? AppState::SleepEnd::PowerOff : AppState::SleepEnd::Pause);
        tickAt(ArmingTime + 30);
        const std::int64_t fadeStart = app.bookRecord.position;
        tickAt(ArmingTime + 45);
        EXPECT_LT(levelHeard(), full / 10);
        if (command)
            player->command(command);
        tickAt(ArmingTime + 61);
        EXPECT_TRUE(!app.exiting && logind.calls().empty());
        EXPECT_EQ(app.isPlaying, command != 0);
        EXPECT_EQ(w->menuAction(ids::MenuCancelTimer)->isEnabled(), command == ids::PlayPauseButton);
        EXPECT_EQ(w->statusText(0), command == ids::PlayPauseButton ? "Выключение:  00:44" : "   Всего в списке: 1");
        if (!command) {
            EXPECT_TRUE(PumpUntil([&] { return app.bookRecord.position == fadeStart && slotPlace() == fadeStart; }));
            player->command(ids::PlayPauseButton);
        }
        EXPECT_NEAR(levelHeard(), full, full * 0.05);
    }
}

// Chapters of a tone each: armed in the first, the pause comes at the second's start, kept as the
// place, none of the second heard; moved to the last chapter after arming, it comes at the end of
// the file, before the next file sounds. No quitting.
TEST_F(SleepTest, PauseAtTheEndOfTheChapterHeard) {
    fs::create_directory(media.file("book"));
    makeSteppedTone(media.file("book/1.m4b"), 300, 300, 3, 3, 44100, 1,
                    chapterArgs(media.file("meta.txt"), {{0, 3000, "Один"}, {3000, 6000, "Два"}, {6000, 9000, "Три"}}) +
                        " -c:a aac -f mp4");
    makeTone(media.file("book/2.wav"), 1500, 3, 44100, 1);
    for (const auto& [row, pausedAt, notHeardHz] : {std::tuple{-1, 3.0, 600.0}, {3, 9.0, 1500.0}}) {
        SCOPED_TRACE(row);
        player->addFolder(media.file("book/1.m4b"));
        MonitorCapture heard(media.file("heard.raw"));
        player->command(ids::MenuPauseAtChapterEnd);
        if (row >= 0)
            w->trackList()->setCurrentRow(row);
        EXPECT_TRUE(PumpUntil([this] { return w->statusText(0).startsWith("До конца главы:  00:0"); }));
        ASSERT_TRUE(PumpUntil([] { return !app.isPlaying; }));
        Pump(300);
        heard.stop();
        EXPECT_NEAR(EngineSeconds(), pausedAt, row < 0 ? 0.001 : 0.2);
        EXPECT_TRUE(PumpUntil([this] { return slotPlace() == app.bookRecord.position; }));
        for (std::size_t f = 0; f + 960 <= heard.frameCount(); f += 480)
            EXPECT_TRUE(heard.peak(f, 960) < 0.01 || std::abs(heard.dominantFrequency(f, 960) - notHeardHz) > 100) << f;
        EXPECT_TRUE(!app.exiting && !app.sleepArmed && app.trackIndex == 0);
    }
}

} // namespace
