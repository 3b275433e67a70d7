// The sleep timer through the real window and engine: arming, the countdown on the status
// bar, and the firing that saves, ends the program and asks logind (a fake on a private
// system bus) to power off. The wall clock goes through its seam so no test waits minutes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/app_state.h"
#include "sleep/power_off.h"
#include "sleep/sleep_timer.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/fake_logind.h"
#include "support/qt/player_harness.h"
#include "ui/control_ids.h"
#include "ui/dialogs.h"
#include "ui/main_window.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t ArmingTime = 1'700'000'000;
// Exit codes of the test's own loop endings, told apart from the player's 0.
constexpr int StepDone = 71;
constexpr int NothingEndedTheLoop = 72;

PulseServer& Sound() {
    static PulseServer server;
    return server;
}

// The countdown text as the listener reads it: minutes within the hour and seconds, each
// with its minus sign when negative and at least two digits.
QString Countdown(std::int64_t secondsLeft) {
    const auto part = [](std::int64_t value) {
        return QString(value < 0 ? "-" : "") + QString::number(std::llabs(value)).rightJustified(2, '0');
    };
    return QStringLiteral("Выключение:   ") + part(secondsLeft % 3600 / 60) + ":" + part(secondsLeft % 60);
}

std::int64_t SlotPosition(const std::vector<unsigned char>& dataFile, int slot) {
    std::int64_t position = 0;
    const std::size_t at = std::size_t(slot) * kBookSlotSize + offsetof(BookRecord, position);
    if (dataFile.size() >= at + sizeof position)
        std::memcpy(&position, dataFile.data() + at, sizeof position);
    return position;
}

std::int32_t SavedVolume(const std::vector<unsigned char>& settingsFile) {
    std::int32_t volume = 0;
    if (settingsFile.size() == sizeof(SettingsRecord))
        std::memcpy(&volume, settingsFile.data() + offsetof(SettingsRecord, volumePos), sizeof volume);
    return volume;
}

// Runs the application's main loop, as the program does, and does `step` inside it. Returns
// the loop's exit code: the player's own when it ended the program, NothingEndedTheLoop when
// nothing did within ms.
int RunUntilProgramEnds(const std::function<void()>& step, int ms = 8000) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(NothingEndedTheLoop); });
    QTimer::singleShot(0, qApp, step);
    watchdog.start(ms);
    return QApplication::exec();
}

// Does `step` inside the main loop (where modal dialogs run nested) and leaves the loop after it.
int RunInMainLoop(const std::function<void()>& step) {
    return RunUntilProgramEnds([step] {
        step();
        QCoreApplication::exit(StepDone);
    });
}

// Calls act with the modal dialog as soon as one is open (polling from the dialog's own loop).
void WhenModalOpens(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, tries, act = std::move(act)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal && ++*tries < 500)
            return;
        poll->stop();
        poll->deleteLater();
        if (modal)
            act(modal);
    });
    poll->start(10);
}

class SleepTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The private bus comes before anything in this process asks for the system bus.
        PrivateSystemBus::instance();
        Sound();
        SetWallClockSeam([this] { return clock; });
        player = std::make_unique<PlayerHarness>(program.path());
        ASSERT_TRUE(player->start());
        w = player->window();
    }
    void TearDown() override {
        player.reset();
        SetWallClockSeam(nullptr);
    }

    // A playing track long enough to outlast any test.
    void openTrack() {
        const std::string path = media.file("Книга/01.wav");
        if (!fs::exists(path)) {
            fs::create_directories(media.file("Книга"));
            makeTone(path, 440, 120, 8000, 1);
        }
        player->addFolder(path);
        ASSERT_NE(app.currentStream, 0u);
    }

    // Sets the wall clock and lets at least one tick run.
    void tickAt(std::int64_t now) {
        clock = now;
        Pump(160);
    }

    void armAt(std::int64_t now, const QString& entry) {
        clock = now;
        ArmSleepTimer(entry);
    }

    std::vector<std::string> dataFiles() const { return {player->dataFile(), player->settingsFile()}; }

    TempDir program;
    TempDir media;
    std::unique_ptr<PlayerHarness> player;
    MainWindow* w = nullptr;
    std::int64_t clock = ArmingTime;
};

} // namespace

TEST(SleepCountdownText, ReadsAsTheListenerSeesIt) {
    // The helper above agrees with the texts the listener is promised.
    EXPECT_EQ(Countdown(300), QStringLiteral("Выключение:   05:00"));
    EXPECT_EQ(Countdown(5400), QStringLiteral("Выключение:   30:00"));
    EXPECT_EQ(Countdown(-1), QStringLiteral("Выключение:   00:-01"));
}

TEST_F(SleepTest, EntryIsReadAsAtoiOfItsFirstSevenCharacters) {
    struct Case {
        const char* entry;
        int minutes; // 0: arms nothing
    };
    const Case cases[] = {{"5", 5},     {"90", 90},       {"15min", 15}, {" 7", 7},   {"+4", 4},
                          {"0", 0},     {"-3", 0},        {"abc", 0},    {"", 0},     {"min15", 0},
                          {"007", 7},   {"12345678", 1234567}, {"9999999", 9999999}, {"\t 2x", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        app.sleepArmed = 0;
        app.sleepStart = 0;
        app.sleepDelaySeconds = 0;
        armAt(ArmingTime + 17, QString::fromUtf8(c.entry));
        if (c.minutes > 0) {
            EXPECT_EQ(app.sleepArmed, 1);
            EXPECT_EQ(app.sleepStart, ArmingTime + 17);
            EXPECT_EQ(app.sleepDelaySeconds, std::int64_t(c.minutes) * 60);
        } else {
            EXPECT_EQ(app.sleepArmed, 0);
            EXPECT_EQ(app.sleepStart, 0);
            EXPECT_EQ(app.sleepDelaySeconds, 0);
        }
    }

    // An entry that is not a positive number leaves a running timer as it was.
    armAt(ArmingTime, "5");
    for (const char* entry : {"0", "-3", "abc", ""}) {
        armAt(ArmingTime + 100, entry);
        EXPECT_EQ(app.sleepArmed, 1);
        EXPECT_EQ(app.sleepStart, ArmingTime);
        EXPECT_EQ(app.sleepDelaySeconds, 300);
    }
}

TEST_F(SleepTest, DialogArmsFromItsEntryAndEndsOnlyThroughOkOrClose) {
    openTrack();
    armAt(ArmingTime, "5");
    tickAt(ArmingTime);
    ASSERT_EQ(w->statusText(0), Countdown(300));

    bool seen = false;
    WhenModalOpens([&](QWidget* dialog) {
        seen = true;
        EXPECT_EQ(dialog->objectName(), QString::number(ids::SleepDialog));
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Выключение"));
        bool promptShown = false;
        for (QLabel* label : dialog->findChildren<QLabel*>())
            promptShown |= label->text() == QStringLiteral(" Выключить компьютер через (мин.): ");
        EXPECT_TRUE(promptShown);
        auto* entry = dialog->findChild<QLineEdit*>(QString::number(ids::SleepMinutesEdit));
        auto* ok = dialog->findChild<QPushButton*>(QString::number(ids::SleepOkButton));
        ASSERT_TRUE(entry && ok);
        EXPECT_TRUE(entry->text().isEmpty());
        EXPECT_EQ(ok->text(), QStringLiteral("OK"));
        EXPECT_FALSE(ok->isDefault());

        QTest::keyClicks(entry, "12345678");
        for (auto key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            QTest::keyClick(entry, key);
            QTest::keyClick(dialog, key);
        }
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(app.sleepDelaySeconds, 300);

        // The tick goes on while the dialog is open.
        clock = ArmingTime + 10;
        QTimer::singleShot(250, dialog, [&, dialog, ok] {
            EXPECT_EQ(w->statusText(0), Countdown(290));
            EXPECT_TRUE(dialog->isVisible());
            QTest::mouseClick(ok, Qt::LeftButton);
        });
    });
    EXPECT_EQ(RunInMainLoop([&] { player->command(ids::MenuSleepTimer); }), StepDone);
    EXPECT_TRUE(seen);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    // Re-armed from the moment of OK with the first seven characters.
    EXPECT_EQ(app.sleepArmed, 1);
    EXPECT_EQ(app.sleepStart, ArmingTime + 10);
    EXPECT_EQ(app.sleepDelaySeconds, 1234567 * 60);

    // Opened again: an empty entry; typing and closing arms nothing.
    seen = false;
    WhenModalOpens([&](QWidget* dialog) {
        seen = true;
        auto* entry = dialog->findChild<QLineEdit*>(QString::number(ids::SleepMinutesEdit));
        ASSERT_TRUE(entry);
        EXPECT_TRUE(entry->text().isEmpty());
        QTest::keyClicks(entry, "3");
        dialog->close();
    });
    clock = ArmingTime + 20;
    EXPECT_EQ(RunInMainLoop([&] { player->command(ids::MenuSleepTimer); }), StepDone);
    EXPECT_TRUE(seen);
    EXPECT_EQ(app.sleepStart, ArmingTime + 10);
    EXPECT_EQ(app.sleepDelaySeconds, 1234567 * 60);

    // OK on "15min" arms 15 minutes from that moment; OK on letters then changes nothing.
    const auto okWith = [&](const char* typed, std::int64_t now) {
        clock = now;
        WhenModalOpens([typed](QWidget* dialog) {
            auto* entry = dialog->findChild<QLineEdit*>(QString::number(ids::SleepMinutesEdit));
            auto* ok = dialog->findChild<QPushButton*>(QString::number(ids::SleepOkButton));
            ASSERT_TRUE(entry && ok);
            QTest::keyClicks(entry, typed);
            QTest::mouseClick(ok, Qt::LeftButton);
        });
        EXPECT_EQ(RunInMainLoop([&] { player->command(ids::MenuSleepTimer); }), StepDone);
    };
    okWith("15min", ArmingTime + 30);
    EXPECT_EQ(app.sleepStart, ArmingTime + 30);
    EXPECT_EQ(app.sleepDelaySeconds, 900);
    okWith("abc", ArmingTime + 35);
    EXPECT_EQ(app.sleepStart, ArmingTime + 30);
    EXPECT_EQ(app.sleepDelaySeconds, 900);
}

TEST_F(SleepTest, FiveMinutesCountDownAndFireOneSecondAfterZero) {
    openTrack();
    EXPECT_EQ(w->statusText(0), QStringLiteral("   Всего в списке: 1"));
    FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
    armAt(ArmingTime, "5");

    for (std::int64_t elapsed : {0, 1, 2, 59, 60, 61, 170, 299, 300}) {
        SCOPED_TRACE(elapsed);
        tickAt(ArmingTime + elapsed);
        EXPECT_EQ(app.tickTime, ArmingTime + elapsed);
        EXPECT_EQ(w->statusText(0), Countdown(300 - elapsed));
        EXPECT_FALSE(app.exiting);
    }
    EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:   00:00"));

    // Opening a track writes the count again; the next tick puts the countdown back.
    openTrack();
    EXPECT_EQ(w->statusText(0), QStringLiteral("   Всего в списке: 1"));
    tickAt(ArmingTime + 300);
    EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:   00:00"));
    EXPECT_TRUE(logind.calls().empty());

    const int exitCode = RunUntilProgramEnds([&] { clock = ArmingTime + 301; });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:   00:-01"));
    EXPECT_TRUE(app.exiting);
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_FALSE(w->isVisible());
    const auto calls = logind.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].interactive);
}

TEST_F(SleepTest, NinetyMinutesShowTheMinutesWithinTheHour) {
    openTrack();
    FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
    armAt(ArmingTime, "90");
    for (std::int64_t elapsed : {0, 1, 1799, 1800, 1801, 1860, 5399, 5400}) {
        SCOPED_TRACE(elapsed);
        tickAt(ArmingTime + elapsed);
        EXPECT_EQ(w->statusText(0), Countdown(5400 - elapsed));
    }
    EXPECT_TRUE(logind.calls().empty());
    EXPECT_FALSE(app.exiting);
    EXPECT_EQ(RunUntilProgramEnds([&] { clock = ArmingTime + 5401; }), 0);
    EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:   00:-01"));
    EXPECT_EQ(logind.calls().size(), 1u);
}

TEST_F(SleepTest, FiringSavesTheLastTickPositionAndSlidersBeforeAskingForPowerOff) {
    openTrack();
    FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
    QSlider* volume = w->slider(ids::VolumeSlider);
    const int newVolume = volume->value() == volume->minimum() ? volume->minimum() + 1 : volume->minimum();
    w->setSliderPosition(ids::VolumeSlider, newVolume);
    armAt(ArmingTime, "1");
    tickAt(ArmingTime + 30);
    Pump(900);
    // Nothing has saved the playing position or the moved slider yet.
    EXPECT_EQ(SlotPosition(readBytes(player->dataFile()), 0), 0);
    EXPECT_NE(SavedVolume(readBytes(player->settingsFile())), newVolume);

    EXPECT_EQ(RunUntilProgramEnds([&] { clock = ArmingTime + 61; }), 0);
    const auto calls = logind.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].interactive);
    // At the moment logind was asked, the files already held the firing tick's state.
    const std::int64_t firingPosition = app.bookRecord.position;
    EXPECT_GT(firingPosition, 0);
    EXPECT_EQ(SlotPosition(calls[0].files[0], 0), firingPosition);
    EXPECT_EQ(SavedVolume(calls[0].files[1]), newVolume);
    EXPECT_EQ(calls[0].files[0], readBytes(player->dataFile()));
    EXPECT_EQ(calls[0].files[1], readBytes(player->settingsFile()));

    // A later close (the window's or the harness's Exit) saves nothing more.
    writeBytes(player->dataFile(), {1, 2, 3});
    player->command(ids::MenuExit);
    player->exitAndReset();
    EXPECT_EQ(readBytes(player->dataFile()), (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(logind.calls().size(), 1u);
}

TEST_F(SleepTest, PausedPlaybackStillCountsDownAndFires) {
    openTrack();
    FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
    player->command(ids::PlayPauseButton);
    ASSERT_EQ(app.isPlaying, 0);
    armAt(ArmingTime, "2");
    tickAt(ArmingTime + 45);
    EXPECT_EQ(w->statusText(0), Countdown(75));
    EXPECT_EQ(RunUntilProgramEnds([&] { clock = ArmingTime + 121; }), 0);
    ASSERT_EQ(logind.calls().size(), 1u);
    EXPECT_EQ(SlotPosition(logind.calls()[0].files[0], 0), app.bookRecord.position);
}

TEST_F(SleepTest, WithoutAStreamNothingIsShownOrCheckedUntilATrackOpens) {
    FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
    ASSERT_EQ(app.currentStream, 0u);
    const QString before = w->statusText(0);
    armAt(ArmingTime, "1");
    tickAt(ArmingTime + 30);
    tickAt(ArmingTime + 600);
    EXPECT_EQ(w->statusText(0), before);
    EXPECT_EQ(app.tickTime, 0);
    EXPECT_FALSE(app.exiting);
    EXPECT_TRUE(logind.calls().empty());

    // The time ran on from the arming: the first tick of the new track fires.
    const int exitCode = RunUntilProgramEnds([&] { openTrack(); });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(w->statusText(0), Countdown(60 - 600));
    ASSERT_EQ(logind.calls().size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(logind.calls()[0].files[0].data())),
              media.file("Книга/01.wav"));
}

TEST_F(SleepTest, CountdownFollowsTheWallClockBackAndForward) {
    openTrack();
    FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
    armAt(ArmingTime, "10");
    tickAt(ArmingTime + 60);
    EXPECT_EQ(w->statusText(0), Countdown(540));
    // Set back: more time left than was armed.
    tickAt(ArmingTime - 120);
    EXPECT_EQ(w->statusText(0), Countdown(720));
    tickAt(ArmingTime + 600);
    EXPECT_EQ(w->statusText(0), Countdown(0));
    EXPECT_TRUE(logind.calls().empty());
    // Set forward well past the end: the next tick fires.
    EXPECT_EQ(RunUntilProgramEnds([&] { clock = ArmingTime + 3 * 3600; }), 0);
    EXPECT_EQ(w->statusText(0), Countdown(600 - 3 * 3600));
    EXPECT_EQ(logind.calls().size(), 1u);
}

TEST_F(SleepTest, ReArmingRestartsFromThatMomentWithTheNewLength) {
    openTrack();
    FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
    armAt(ArmingTime, "5");
    tickAt(ArmingTime + 200);
    EXPECT_EQ(w->statusText(0), Countdown(100));
    armAt(ArmingTime + 200, "2");
    tickAt(ArmingTime + 200);
    EXPECT_EQ(w->statusText(0), Countdown(120));
    // Past the first timer's end, but not the second's.
    tickAt(ArmingTime + 320);
    EXPECT_EQ(w->statusText(0), Countdown(0));
    EXPECT_FALSE(app.exiting);
    EXPECT_EQ(RunUntilProgramEnds([&] { clock = ArmingTime + 321; }), 0);
    EXPECT_EQ(logind.calls().size(), 1u);
}

TEST_F(SleepTest, RefusedOrUnservedPowerOffStillEndsTheProgramSaved) {
    openTrack();
    {
        FakeLogind logind(FakeLogind::Answer::Refuse, dataFiles());
        armAt(ArmingTime, "1");
        tickAt(ArmingTime + 10);
        Pump(400);
        EXPECT_EQ(RunUntilProgramEnds([&] { clock = ArmingTime + 61; }), 0);
        ASSERT_EQ(logind.calls().size(), 1u);
        EXPECT_GT(app.bookRecord.position, 0);
        EXPECT_EQ(SlotPosition(logind.calls()[0].files[0], 0), app.bookRecord.position);
    }
    // No logind on the bus at all.
    player->exitAndReset();
    ASSERT_TRUE(player->start());
    w = player->window();
    openTrack();
    armAt(ArmingTime, "1");
    tickAt(ArmingTime + 10);
    Pump(400);
    EXPECT_EQ(RunUntilProgramEnds([&] { clock = ArmingTime + 61; }), 0);
    EXPECT_TRUE(app.exiting);
    EXPECT_GT(app.bookRecord.position, 0);
    EXPECT_EQ(SlotPosition(readBytes(player->dataFile()), 0), app.bookRecord.position);
}

TEST(PowerOff, ReportsWhetherLogindAcceptedTheRequest) {
    PrivateSystemBus::instance();
    {
        FakeLogind logind(FakeLogind::Answer::Accept);
        EXPECT_TRUE(PowerOff());
        ASSERT_EQ(logind.calls().size(), 1u);
        EXPECT_FALSE(logind.calls()[0].interactive);
    }
    {
        FakeLogind logind(FakeLogind::Answer::Refuse);
        EXPECT_FALSE(PowerOff());
        EXPECT_EQ(logind.calls().size(), 1u);
    }
    EXPECT_FALSE(PowerOff());
}

// Firing while a modal box is open: the box's loop ends, the state is saved, the main loop
// ends with 0 and logind is asked once.
class SleepFiringUnderModalTest : public SleepTest {
protected:
    void fireWhile(int command, const std::function<void(QWidget*)>& checkModal,
                   const std::function<void()>& beforeCommand = [] {}) {
        openTrack();
        FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
        armAt(ArmingTime, "1");
        tickAt(ArmingTime + 5);
        Pump(400);
        bool opened = false;
        WhenModalOpens([&](QWidget* modal) {
            opened = true;
            checkModal(modal);
            clock = ArmingTime + 61;
        });
        EXPECT_EQ(RunUntilProgramEnds([&] {
                      beforeCommand();
                      player->command(command);
                  }),
                  0);
        EXPECT_TRUE(opened);
        EXPECT_TRUE(app.exiting);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        EXPECT_EQ(w->statusText(0), Countdown(-1));
        const auto calls = logind.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_FALSE(calls[0].interactive);
        EXPECT_GT(app.bookRecord.position, 0);
        EXPECT_EQ(SlotPosition(calls[0].files[0], 0), app.bookRecord.position);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(calls[0].files[0].data())), media.file("Книга/01.wav"));
        // Nothing the box would have done happens after the firing.
        EXPECT_EQ(app.sleepDelaySeconds, 60);
        player->exitAndReset();
        EXPECT_EQ(calls[0].files[0], readBytes(player->dataFile()));
    }
};

TEST_F(SleepFiringUnderModalTest, SleepDialogOpen) {
    fireWhile(ids::MenuSleepTimer, [](QWidget* modal) {
        EXPECT_EQ(modal->objectName(), QString::number(ids::SleepDialog));
        // Typed but not confirmed: the firing must not arm it afterwards.
        QTest::keyClicks(modal->findChild<QLineEdit*>(QString::number(ids::SleepMinutesEdit)), "30");
    });
}

TEST_F(SleepFiringUnderModalTest, AboutBoxOpen) {
    fireWhile(ids::MenuAbout, [](QWidget* modal) {
        EXPECT_EQ(modal->objectName(), QString::number(ids::AboutDialog));
    });
}

TEST_F(SleepFiringUnderModalTest, FileDialogOpen) {
    fireWhile(
        ids::AddFolderButton, [](QWidget* modal) { EXPECT_NE(qobject_cast<QFileDialog*>(modal), nullptr); },
        // The real open-file dialog, not the harness's answer.
        [] { SetPickAudioFileSeam(nullptr); });
}
