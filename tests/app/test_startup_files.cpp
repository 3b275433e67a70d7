// Start-up, exit and the two data files, through the real window and engine.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "app/startup.h"
#include "books/save_writer.h"
#include "support/data_mount.h"
#include "support/qt/app_test.h"
#include "support/qt/fake_logind.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Nine little-endian int32 fields: book, remaining time, two reserved, three bands, reverb, volume.
const auto kDefaultSettings = int32Bytes({0, 0, 0, 0, 10, 10, 10, 10, 10});
const int kSliders[] = {ids::EqBand100, ids::EqBand3k, ids::EqBand12k, ids::ReverbSlider, ids::VolumeSlider};

using StartupTest = AppTest;

TEST_F(StartupTest, EngineThatRefusesToStartShowsOneMessageAndTouchesNoFile) {
    const std::string previous = std::getenv("PULSE_SERVER");
    setenv("PULSE_SERVER", ("unix:" + program.file("no-such-socket")).c_str(), 1);
    EXPECT_FALSE(Start());
    setenv("PULSE_SERVER", previous.c_str(), 1);
    EXPECT_EQ(player->warnings(), QStringList{QStringLiteral("Ошибка инициализации")});
    EXPECT_FALSE(fs::exists(player->dataFile()));
    EXPECT_FALSE(fs::exists(player->settingsFile()));
}

// A first start writes both files at once: five empty books, the default settings. Then stored
// settings, the tab and sliders they give, and what Exit writes back after the volume is moved
// to 30: reserved fields kept, a short file's missing fields 0, out-of-range values brought to
// the nearer end. The tab's slot names no file, or a relative path: an empty book.
TEST_F(StartupTest, FirstStartWritesBothFilesAndSettingsAreRestoredAndWrittenBack) {
    ASSERT_TRUE(Start());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(w->bookTabs()->tabText(i), QStringLiteral("Книга  %1").arg(i + 1));
    ASSERT_TRUE(FlushSaves(5000));
    EXPECT_EQ(readBytes(player->dataFile()), std::vector<unsigned char>(1360, 0));
    EXPECT_EQ(readBytes(player->settingsFile()), kDefaultSettings);
    player->exitAndReset();
    const struct {
        std::vector<unsigned char> stored;
        int tab;
        std::vector<int> sliders;
        std::vector<unsigned char> written;
    } rows[] = {
        {int32Bytes({3, 7, 0x11223344, -5, 0, 20, 4, 16, 55}), 3, {0, 20, 4, 16, 55},
         int32Bytes({3, 7, 0x11223344, -5, 0, 20, 4, 16, 30})},
        {int32Bytes({9, 0, 0, 0, 99}), 0, {20, 0, 0, 0, 0}, int32Bytes({0, 0, 0, 0, 20, 0, 0, 0, 30})},
    };
    makeTone(media.file("a.wav"), 440, 1, 44100, 1);
    const auto storedSlots = joinBytes({bookSlotBytes("", 0), std::vector<unsigned char>(544, 0), bookSlotBytes("a.wav", 0)});
    for (const auto& row : rows) {
        writeBytes(player->dataFile(), storedSlots);
        writeBytes(player->settingsFile(), row.stored);
        ASSERT_TRUE(Start());
        EXPECT_EQ(w->bookTabs()->currentIndex(), row.tab);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(w->slider(kSliders[i])->value(), row.sliders[i]) << i;
        EXPECT_TRUE(player->warnings().isEmpty());
        EXPECT_EQ(w->trackList()->count(), 0);
        EXPECT_EQ(w->bookTabs()->tabText(row.tab), QStringLiteral("Книга  %1").arg(row.tab + 1));
        w->setSliderPosition(ids::VolumeSlider, 30);
        player->exitAndReset();
        EXPECT_EQ(readBytes(player->settingsFile()), row.written);
    }
}

// Data files that cannot be read: a FIFO is never waited on (a reader waiting there would be
// released by the writer this test opens), and a read error is not an empty book: the slot file
// is named in a warning and left as it is for the run.
TEST_F(StartupTest, UnreadableDataFilesNeitherHoldUpTheStartNorReadAsEmpty) {
    ASSERT_EQ(mkfifo(program.file("speeds.txt").c_str(), 0600), 0);
    std::atomic<bool> readerWaited = false;
    std::jthread release([&](std::stop_token stop) {
        for (int fd = -1; !stop.stop_requested(); QTest::qSleep(10))
            if ((fd = open(program.file("speeds.txt").c_str(), O_WRONLY | O_NONBLOCK)) >= 0)
                readerWaited = close(fd) == 0;
    });
    ASSERT_TRUE(Start());
    EXPECT_FALSE(readerWaited);
    EXPECT_FALSE(w->speedLabel()->isVisible()) << "normal speed";
    player->exitAndReset();

    DataMount share;
    if (!share.failure.empty())
        GTEST_SKIP() << "NOT RUN, FUSE cannot be used here: " << share.failure;
    const auto stored = joinBytes({bookSlotBytes("/книги/глава.mp3", 4000), std::vector<unsigned char>(1088, 0)});
    writeBytes(share.source.file("data.dat"), stored);
    share.failReadsOf("data.dat");
    player.reset();
    player = std::make_unique<PlayerHarness>(share.path.path());
    ASSERT_TRUE(Start());
    ASSERT_EQ(player->warnings().size(), 1);
    EXPECT_TRUE(player->warnings()[0].startsWith(QString::fromStdString("Не удаётся прочитать файл «" + share.path.path() + "/data.dat»")));
    player->exitAndReset();
    EXPECT_EQ(readBytes(share.source.file("data.dat")), stored);
}

// A desktop client's Quit while a start-up box is open (the settings cannot be read, before the
// book is; the book's file will not play) ends the program at once, every slot as it was.
TEST_F(StartupTest, QuitDuringAStartUpBoxEndsTheProgramAndKeepsTheSlots) {
    const std::string bus = PrivateSystemBus::instance().address();
    fs::create_directory(media.file("book"));
    writeBytes(media.file("book/01.mp3"), {'n', 'o', 't'});
    for (const bool unreadableSettings : {true, false}) {
        PlayerProcess player({{"DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(bus)}});
        const auto stored = joinBytes({bookSlotBytes(media.file("book/01.mp3"), 12345), bookSlotBytes("/книги/2.mp3", 2000)});
        writeBytes(player.data(), stored);
        if (unreadableSettings) {
            fs::remove(player.folder.file("tellwick.ini"));
            fs::create_directory(player.folder.file("tellwick.ini"));
        }
        player.start();
        auto client = QDBusConnection::connectToBus(QString::fromStdString(bus), QStringLiteral("quit-sender"));
        const QString service = QStringLiteral("org.mpris.MediaPlayer2.tellwick");
        ASSERT_TRUE(PumpUntil([&] { return client.interface()->isServiceRegistered(service).value(); }));
        client.send(QDBusMessage::createMethodCall(service, QStringLiteral("/org/mpris/MediaPlayer2"),
                                                   QStringLiteral("org.mpris.MediaPlayer2"), QStringLiteral("Quit")));
        EXPECT_TRUE(player.process.waitForFinished(10000)) << unreadableSettings;
        EXPECT_EQ(player.process.exitCode(), 0) << unreadableSettings;
        EXPECT_EQ(readBytes(player.data()), stored) << unreadableSettings;
        QDBusConnection::disconnectFromBus(QStringLiteral("quit-sender"));
    }
}

// Starts after the first in one process reuse what the first set up: no descriptor more, and a crash
// still ends the program the way the signal does (handlers do not chain to themselves).
TEST_F(StartupTest, LaterStartsInOneProcessReuseTheEndingHandlers) {
    const auto sockets = [] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
            count += fs::read_symlink(entry.path()).string().find_first_of(":[") != std::string::npos;
        return count;
    };
    std::vector<int> counts;
    for (int run = 0; run < 3; ++run) {
        ASSERT_TRUE(Start());
        player->exitAndReset();
        counts.push_back(sockets());
    }
    EXPECT_EQ(counts[2], counts[1]);
    ASSERT_TRUE(Start());
    const pid_t child = fork();
    if (child == 0) {
        raise(SIGABRT);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
}

} // namespace
