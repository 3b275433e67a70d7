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
    void armAt(std::int64_t now, const QString& entry) {
        clock = now;
        ArmSleepTimer(entry);
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

    std::vector<std::string> dataFiles() const { return {player->dataFile(), player->settingsFile()}; }
    std::int64_t clock = ArmingTime;
};

// Typed into the dialog, then OK or the window closed. OK re-arms from its own moment, not the
// opening's, with the first seven characters; an entry that is not a positive number, or
// closing, leaves the running timer as it was. The tick goes on while the dialog is open.
TEST_F(SleepTest, DialogArmsFromTheMomentOfOkAndTheTickRunsWhileItIsOpen) {
    openTrack();
    armAt(ArmingTime, "5");
    const struct {
        const char* typed;
        bool ok;
        const char* shownWhileOpen;
    } rows[] = {{"12345678", true, "04:50"}, {"-3", true, "07:00"}, {"abc", true, "07:00"}, {"3", false, "07:00"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed);
        clock = ArmingTime;
        WhenModalOpens([&](QWidget* dialog) {
            auto* entry = dialog->findChild<QLineEdit*>(QString::number(ids::SleepMinutesEdit));
            auto* ok = dialog->findChild<QPushButton*>(QString::number(ids::SleepOkButton));
            ASSERT_TRUE(entry && ok);
            QTest::keyClicks(entry, row.typed);
            tickAt(ArmingTime + 10);
            EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:   ") + row.shownWhileOpen);
            row.ok ? QTest::mouseClick(ok, Qt::LeftButton) : (void)dialog->close();
        });
        EXPECT_EQ(RunUntilProgramEnds([&] {
                      player->command(ids::MenuSleepTimer);
                      QCoreApplication::exit(StepDone);
                  }),
                  StepDone);
        EXPECT_EQ(app.sleepStart, ArmingTime + 10);
        EXPECT_EQ(app.sleepDelaySeconds, 1234567 * 60);
    }
}

// Each case a run of steps at seconds since ArmingTime: an arming, or a tick and the countdown
// it shows; the firing follows one second past zero.
TEST_F(SleepTest, CountdownFollowsPausesAndReArmingAndFiresOnlyPastZero) {
    struct Step {
        std::int64_t at;
        const char* arm; // nullptr: a tick
        const char* shown;
    };
    const struct {
        bool paused;
        std::vector<Step> steps;
        std::int64_t firesAt;
    } cases[] = {
        {false, {{0, "5", ""}, {0, nullptr, "05:00"}, {1, nullptr, "04:59"}, {61, nullptr, "03:59"},
                 {299, nullptr, "00:01"}, {300, nullptr, "00:00"}}, 301},
        {true, {{0, "2", ""}, {45, nullptr, "01:15"}}, 121}, // paused: the time runs on
        {false, {{0, "5", ""}, {200, nullptr, "01:40"}, {200, "2", ""}, {200, nullptr, "02:00"}, {320, nullptr, "00:00"}},
         321}};
    for (const auto& [paused, steps, firesAt] : cases) {
        SCOPED_TRACE(firesAt);
        ASSERT_NO_FATAL_FAILURE(restartIfEnded());
        openTrack();
        if (paused)
            player->command(ids::PlayPauseButton);
        FakeLogind logind(FakeLogind::Answer::Accept, dataFiles());
        for (const Step& step : steps) {
            if (step.arm) {
                armAt(ArmingTime + step.at, step.arm);
            } else {
                tickAt(ArmingTime + step.at);
                EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:   ") + step.shown) << step.at;
            }
        }
        EXPECT_FALSE(app.exiting);
        EXPECT_TRUE(logind.calls().empty());
        expectFiring(&logind, [this, at = firesAt] { clock = ArmingTime + at; });
        EXPECT_EQ(w->statusText(0), QStringLiteral("Выключение:   00:-01"));
    }
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

} // namespace
