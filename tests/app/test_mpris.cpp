// Desktop control over MPRIS: the real playerctl and D-Bus tools on a private bus drive the
// real window, and the private sound server tells what was heard.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDropEvent>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QMimeData>
#include <QUrl>
#include <QWindow>
#include <cmath>

#include "app/single_instance.h"
#include "app/startup.h"
#include "desktop/dropped_files.h"
#include "desktop/mpris.h"
#include "playback/track_opener.h"
#include "ui/dialogs.h"
#include "support/qt/app_test.h"
#include "support/qt/fake_logind.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Second k of the book's first file sounds at 400 + 100 k Hz; its second file at 3000 Hz.
constexpr double kStepHz = 100;
double StepHz(int second) { return 400 + kStepHz * second; }
constexpr double kNextHz = 3000;
constexpr double kNineHz = 2000;
constexpr double kOldHz = 1200;
constexpr long kRate = MonitorCapture::rate;
const QString kBinary = QStringLiteral(TELLWICK_BINARY_DIR "/tellwick");

struct Finished {
    int exitCode;
    QString out, err;
};

// Runs a program to its end while the window keeps answering the bus.
Finished RunToEnd(const QString& program, const QStringList& args, const std::string& workingFolder = ".") {
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(workingFolder));
    process.start(program, args);
    EXPECT_TRUE(PumpUntil([&] { return process.state() == QProcess::NotRunning; }, 10000)) << program.toStdString();
    process.waitForFinished(1000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()).trimmed(),
            QString::fromUtf8(process.readAllStandardError())};
}

QString Playerctl(const QStringList& args) {
    const Finished run = RunToEnd(QStringLiteral("playerctl"), QStringList{"-p", "tellwick"} + args);
    EXPECT_EQ(run.exitCode, 0) << args.join(' ').toStdString() << ": " << run.err.toStdString();
    return run.out;
}

// The first frame at or after from whose 20 ms block sounds at hz; -1 when none does.
long FirstHeard(const MonitorCapture& capture, long from, double hz) {
    const long block = kRate / 50;
    for (long f = from; f + block <= long(capture.frameCount()); f += block / 4)
        if (capture.peak(f, block) > 0.01 && std::abs(capture.dominantFrequency(f, block) - hz) < kStepHz / 4)
            return f;
    return -1;
}

// A book of two files, and another folder whose first track in list order is 9.wav.
struct Book {
    TempDir dir;
    std::string first = dir.file("book/1.flac");
    std::string second = dir.file("book/2.wav");
    std::string other = dir.file("Другая книга");
    std::string nine = other + "/9.wav";
    // Named in Windows-1251, as unpacked from an old archive: "Книга/Глава 1.wav".
    std::string old = dir.file("\xca\xed\xe8\xe3\xe0");
    std::string oldFirst = old + "/\xc3\xeb\xe0\xe2\xe0 1.wav";
    Book() {
        fs::create_directory(old);
        makeTone(oldFirst, kOldHz, 3, 44100, 2);
        fs::create_directory(dir.file("book"));
        fs::create_directory(other);
        makeTone(other + "/10.wav", 1500, 3, 44100, 2);
        makeTone(nine, kNineHz, 3, 44100, 2);
        writeBytes(other + "/0 notes.txt", {'x'});
        makeSteppedTone(first, 400, kStepHz, 14, 1.0, 44100, 2,
                        "-af volume=0.5 -metadata title=' Глава первая ' -metadata artist='Лев Толстой' "
                        "-metadata album='Война и мир'");
        makeTone(second, kNextHz, 3, 44100, 2);
    }
};

class MprisTest : public AppTest {
protected:
    static void SetUpTestSuite() {
        StartSound();
        // The private bus is this process's session bus and every client's.
        setenv("DBUS_SESSION_BUS_ADDRESS", PrivateSystemBus::instance().address().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime().path().c_str(), 1);
    }
    void SetUp() override {
        AppTest::SetUp();
        // No reverb, whose tail would make a level depend on where it is measured.
        writeBytes(player->settingsFile(), int32Bytes({0, 0, 0, 0, 10, 10, 10, 20, 0}));
        ASSERT_TRUE(Start());
        AcceptDroppedFiles();
        static bool published = false;
        if (!std::exchange(published, true))
            PublishMpris();
        ASSERT_TRUE(PumpUntil([] { return RunToEnd("playerctl", {"-l"}).out.split('\n').contains("tellwick"); }));
    }
    static const TempDir& runtime() {
        static TempDir dir;
        return dir;
    }
    static const Book& book() {
        static Book made;
        return made;
    }
};

} // namespace

TEST_F(MprisTest, PlayerctlPausesSeeksAndSkipsAsHeard) {
    MonitorCapture capture(program.file("heard.raw"));
    player->addFolder(book().first);
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() > 0.5; }));

    EXPECT_EQ(Playerctl({"status"}), "Playing");
    Playerctl({"pause"});
    const long pausedAt = long(capture.framesSoFar());
    EXPECT_EQ(Playerctl({"status"}), "Paused");
    Pump(1500);
    const long playAt = long(capture.framesSoFar());
    Playerctl({"play"});
    EXPECT_EQ(Playerctl({"status"}), "Playing");
    const double resumedFrom = EngineSeconds();
    ASSERT_TRUE(PumpUntil([&] { return EngineSeconds() > resumedFrom + 0.5; }));

    const long seekAt = long(capture.framesSoFar());
    Playerctl({"position", "10.4"});
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() > 11.5; }));

    const long nextAt = long(capture.framesSoFar());
    Playerctl({"next"});
    ASSERT_TRUE(PumpUntil([] { return app.trackIndex == 1 && !OpenPending() && EngineSeconds() > 0.5; }));
    capture.stop();
    EXPECT_GE(FirstHeard(capture, nextAt, kNextHz), nextAt);

    // Pause: the sound stops within the output's latency and comes back only after play.
    EXPECT_GE(capture.firstSoundFrom(pausedAt + kRate / 2), playAt);
    // Position 10.4: second 10 is heard from 0.4 s into it, 0.6 s before second 11.
    const long landed = FirstHeard(capture, seekAt, StepHz(10));
    ASSERT_GE(landed, 0);
    EXPECT_NEAR(double(FirstHeard(capture, landed, StepHz(11)) - landed) / kRate, 0.6, 0.05);
}

TEST_F(MprisTest, MetadataVolumeRateAndSignalsFollowThePlayer) {
    QProcess monitor;
    monitor.start("dbus-monitor", {"--session", "type='signal',path='/org/mpris/MediaPlayer2'"});
    ASSERT_TRUE(PumpUntil([&] { return monitor.bytesAvailable() > 0; }));
    MonitorCapture capture(program.file("volume.raw"));
    player->addFolder(book().first);
    const QString format = "{{mpris:trackid}}|{{mpris:length}}|{{xesam:title}}|{{xesam:artist}}|{{xesam:album}}|"
                           "{{xesam:url}}";
    const QStringList first = Playerctl({"metadata", "--format", format}).split('|');
    EXPECT_EQ(first.mid(1), (QStringList{"14000000", "Глава первая", "Лев Толстой", "Война и мир",
                                         QString::fromStdString("file://" + book().first)}));

    // Volume 0.5 moves the slider to 50, and the sound drops from the slider's old level.
    ASSERT_TRUE(PumpUntil([] { return EngineSeconds() > 0.5; }));
    const double before = 1 - w->slider(ids::VolumeSlider)->value() / 100.0;
    const long changedAt = long(capture.framesSoFar());
    const double changedSeconds = EngineSeconds();
    Playerctl({"volume", "0.5"});
    EXPECT_EQ(w->slider(ids::VolumeSlider)->value(), 50);
    // Heard well past what was buffered at the change; the last window ends with the last sound.
    ASSERT_TRUE(PumpUntil([&] { return EngineSeconds() > changedSeconds + 1.2; }));
    capture.stop();
    const long window = kRate / 10, last = capture.lastSoundFrom(std::size_t(changedAt));
    const double ratio = capture.peak(changedAt - window, window) / capture.peak(last - window, window);
    EXPECT_NEAR(20 * std::log10(ratio), 20 * std::log10(before / 0.5), 1.0);

    // A file without tags: its name, and its folder for the book; a new track id.
    Playerctl({"next"});
    const QStringList second = Playerctl({"metadata", "--format", format}).split('|');
    EXPECT_NE(second[0], first[0]);
    EXPECT_EQ(second.mid(1), (QStringList{"3000000", "2.wav", "", "book",
                                          QString::fromStdString("file://" + book().second)}));

    // The rate is the speed, within its limits.
    const auto property = [](const QString& method, const QString& name, const QStringList& value = {}) {
        const Finished run = RunToEnd("dbus-send", QStringList{"--session", "--print-reply", "--dest=" + mprisService,
                                                               mprisPath, "org.freedesktop.DBus.Properties." + method,
                                                               "string:" + mprisPlayerInterface, "string:" + name} + value);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        return run.out.simplified().section(' ', -1);
    };
    EXPECT_EQ((QStringList{property("Get", "MinimumRate"), property("Get", "MaximumRate"), property("Get", "Rate")}),
              (QStringList{"0.5", "3", "1"}));
    property("Set", "Rate", {"variant:double:1.75"});
    EXPECT_EQ(w->speedLabel()->text(), QStringLiteral("1,75×"));
    EXPECT_EQ(property("Get", "Rate"), "1.75");
    // Rate 0 is a pause, and the speed stays.
    property("Set", "Rate", {"variant:double:0"});
    EXPECT_EQ((QStringList{Playerctl({"status"}), property("Get", "Rate")}), (QStringList{"Paused", "1.75"}));

    // One seek by the listener, one by a client, one by a book resumed mid-track on a switch
    // back to it: each announced once, with the place; every change announced.
    QTest::keyClick(w->slider(ids::PositionSlider), Qt::Key_Home);
    Playerctl({"position", "2.4"});
    const double left = EngineSeconds();
    EXPECT_NEAR(left, 2.4, 0.05);
    Playerctl({"pause"});
    ASSERT_TRUE(ClickTab(w, 1) && ClickTab(w, 0));
    Playerctl({"play"});
    QString all;
    EXPECT_TRUE(PumpUntil([&] {
        all += QString::fromUtf8(monitor.readAllStandardOutput());
        return all.contains("\"Paused\"") && all.lastIndexOf("\"Playing\"") > all.indexOf("\"Paused\"");
    }));
    monitor.terminate();
    ASSERT_TRUE(monitor.waitForFinished(3000));
    all += QString::fromUtf8(monitor.readAllStandardOutput());
    EXPECT_EQ(all.count("member=Seeked"), 3) << all.toStdString();
    EXPECT_NEAR(all.section("member=Seeked", -1).section("int64 ", 1).section('\n', 0, 0).toDouble() / 1e6, left, 0.2);
    for (const char* expected : {"\"Metadata\"", "\"Volume\"", "\"Playing\"", "\"Rate\"", "Глава первая", "2.wav"})
        EXPECT_TRUE(all.contains(QString::fromUtf8(expected))) << expected;

    // Each kind of file the player lists is offered under the type the desktop gives it.
    const QString offered = RunToEnd("dbus-send", {"--session", "--print-reply", "--dest=" + mprisService, mprisPath,
                                                   "org.freedesktop.DBus.Properties.Get", "string:" + mprisRootInterface,
                                                   "string:SupportedMimeTypes"}).out;
    int n = 0;
    for (const std::string kind : {"mp3", "flac", "wav", "m4a", "ogg -c:a libvorbis", "ogg -c:a libopus",
                                  "opus", "mka -c:a flac"}) {
        const std::string file = program.file(std::to_string(++n) + "." + kind.substr(0, kind.find(' ')));
        makeTone(file, 440, 1, 48000, 2, kind.find(' ') == std::string::npos ? "" : kind.substr(kind.find(' ')));
        const QString type = QString::fromStdString(testsupport::capture("gio info -a standard::content-type " + shellQuote(file)));
        EXPECT_TRUE(offered.contains('"' + type.section(": ", -1).trimmed() + '"')) << kind << type.toStdString();
    }
}

// In a file with chapters Next and Previous step through them; the title names the chapter,
// the length stays the file's.
TEST_F(MprisTest, NextAndPreviousStepThroughChaptersAndTheTitleNamesThem) {
    const std::string path = media.file("book.m4b");
    makeTone(path, 440, 8, 44100, 1,
             chapterArgs(media.file("meta.txt"), {{0, 4000, "Начало"}, {4000, 8000, "Конец"}}) +
                 " -metadata title=Книга -c:a aac -f mp4");
    player->addFolder(path);
    const QStringList format = {"metadata", "--format", "{{xesam:title}}|{{mpris:length}}"};
    EXPECT_TRUE(PumpUntil([&] { return Playerctl(format).startsWith("Книга — Начало|"); }));
    Playerctl({"next"});
    EXPECT_TRUE(PumpUntil([&] { return Playerctl(format).startsWith("Книга — Конец|80"); }));
    EXPECT_GE(EngineSeconds(), 4.0);
    Playerctl({"previous"}); // within 3 s of the chapter's start: the one before
    EXPECT_TRUE(PumpUntil([&] { return Playerctl(format).startsWith("Книга — Начало|"); }));
    EXPECT_LT(EngineSeconds(), 3.0);
}

// Floods from the bus: calls sent without waiting for answers. 1,000 Next end on the row the
// count gives, and the player still answers; failed opens while a box is open show no other box,
// the latest message taking its place; a 100 KB path is shortened to fit the screen.
TEST_F(MprisTest, FloodsOfCallsAreTakenTogetherAndFailedOpensShowOneBoxThatFits) {
    const TempDir seven;
    for (int i = 0; i < 7; ++i)
        makeTone(seven.file(std::to_string(i) + ".wav"), 300 + 100 * i, 30, 44100, 2);
    player->addFolder(seven.file("0.wav"));
    QDBusConnection bus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "flood");
    for (int i = 0; i < 1000; ++i)
        bus.send(QDBusMessage::createMethodCall(mprisService, mprisPath, mprisPlayerInterface, "Next"));
    EXPECT_EQ(Playerctl({"status"}), "Playing");
    EXPECT_TRUE(PumpUntil([&] { return app.trackIndex == 1000 % 7 && SlotPath(player->dataFile()) == seven.file("6.wav"); }));
    EXPECT_EQ(w->trackList()->currentRow(), 1000 % 7);

    SetWarningSeam(nullptr);
    const QString farPath = "нет/" + QString(100000, 'x') + "/1.mp3";
    const auto openUri = [&](const QString& path) {
        QDBusMessage call = QDBusMessage::createMethodCall(mprisService, mprisPath, mprisPlayerInterface, "OpenUri");
        bus.send(call << "file:///" + path);
    };
    int most = 0;
    bool more = true;
    QStringList shown;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QList<QMessageBox*> boxes;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible())
                boxes << box;
        most = std::max(most, int(boxes.size()));
        // The rest fail while the first box is open.
        for (QMessageBox* box : boxes)
            for (int i = 2; i <= 30 && box->text().endsWith("/missing/1.mp3") && more; ++i)
                openUri("missing/" + QString::number(i) + ".mp3"), more = i < 30;
        const auto last = std::find_if(boxes.begin(), boxes.end(), [](QMessageBox* box) {
            return box->text().contains("/30.mp3") || box->text().contains("/нет/");
        });
        if (last == boxes.end())
            return;
        const QSize size = (*last)->frameGeometry().size();
        EXPECT_EQ(size.boundedTo((*last)->screen()->availableGeometry().size()), size);
        shown << (*last)->text();
        for (QMessageBox* box : boxes)
            box->done(0);
    });
    poll.start(10);
    openUri("missing/1.mp3");
    EXPECT_TRUE(PumpUntil([&] { return !shown.isEmpty(); }));
    openUri(farPath);
    EXPECT_TRUE(PumpUntil([&] { return shown.size() == 2; }));
    EXPECT_EQ(most, 1);
    EXPECT_EQ(shown.value(0), "Файл или папка не найдены:\n/missing/30.mp3");
    EXPECT_TRUE(shown.value(1).startsWith("Файл или папка не найдены:\n/нет/xxx"));
    QDBusConnection::disconnectFromBus("flood");
}

TEST_F(MprisTest, FilesAndFoldersOpenFromAClientADropOrASecondLaunchAndQuitSaves) {
    auto open = [](const std::vector<std::string>& named) {
        Playerctl({"open", "file://" + QByteArray::fromStdString(named[0]).toPercentEncoding("/")});
    };
    // This process stands for the running player: it holds the lock a launch looks for. A launch
    // hands over the first path, relative to its working folder, brings the window forward and
    // ends with 0.
    ASSERT_TRUE(AcquireSingleInstanceLock(appTitle));
    auto launch = [this](const std::vector<std::string>& named) {
        w->showMinimized();
        ASSERT_TRUE(PumpUntil([&] { return w->isMinimized(); }));
        // The names go as bytes, UTF-8 or not.
        const auto octal = [](const std::string& bytes) {
            QString escaped;
            for (const unsigned char c : bytes)
                escaped += QString::asprintf("\\%03o", c);
            return escaped;
        };
        const Finished second = RunToEnd("/bin/sh", {"-c", R"sh(exec "$0" "$(printf "$1")" "$(printf "$2")")sh", kBinary,
                                                     octal(named[0]), octal(named[1])}, book().dir.path());
        EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
        EXPECT_TRUE(PumpUntil([&] { return !w->isMinimized() && w->isVisible() && w->isActiveWindow(); }));
    };
    // Dragged from a file manager over a control: the window's own routing finds the target.
    auto dropOn = [&](QWidget* control) {
        return [this, control](const std::vector<std::string>& named) {
            QMimeData data;
            QList<QUrl> urls;
            for (const std::string& path : named)
                urls << QUrl::fromLocalFile(QString::fromStdString(path));
            data.setUrls(urls);
            const QPoint at = control->mapTo(w, control->rect().center());
            QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(w->windowHandle(), &enter);
            EXPECT_TRUE(enter.isAccepted());
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(w->windowHandle(), &drop);
        };
    };
    const struct {
        const char* how;
        std::function<void(const std::vector<std::string>&)> act;
        std::vector<std::string> named;
        std::string opened;
        double hz;
    } rows[] = {
        {"client, a file", open, {book().first}, book().first, StepHz(0)},
        {"client, a folder", open, {book().other}, book().nine, kNineHz},
        {"client, a folder named in cp1251", open, {book().old}, book().oldFirst, kOldHz},
        {"drop on the list, a file", dropOn(w->trackList()), {book().second}, book().second, kNextHz},
        {"second launch, a file and a folder", launch, {"book/1.flac", "Другая книга"}, book().first, StepHz(0)},
        {"second launch, a file named in cp1251", launch, {book().oldFirst.substr(book().dir.path().size() + 1), "x"},
         book().oldFirst, kOldHz},
        {"drop on the tabs, a folder and a file", dropOn(w->bookTabs()), {book().other, book().first}, book().nine,
         kNineHz},
    };
    MonitorCapture capture(program.file("opened.raw"));
    std::vector<long> marks;
    for (const auto& row : rows) {
        marks.push_back(long(capture.framesSoFar()));
        row.act(row.named);
        EXPECT_TRUE(PumpUntil([&] { return app.bookRecord.path == row.opened && EngineSeconds() > 0.5; })) << row.how;
        EXPECT_EQ(SlotPath(player->dataFile()), row.opened) << row.how;
        // Names that are not UTF-8 read as Windows-1251.
        const bool old = row.opened == book().oldFirst;
        EXPECT_EQ(w->trackList()->currentItem()->text().toStdString(),
                  old ? "Глава 1.wav" : fs::path(row.opened).filename().string()) << row.how;
        EXPECT_EQ(w->titleLine()->text() == "Книга", old) << row.how;
    }
    marks.push_back(long(capture.framesSoFar()));
    capture.stop();
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const long heard = FirstHeard(capture, marks[i], rows[i].hz);
        EXPECT_GE(heard, marks[i]) << rows[i].how;
        EXPECT_LT(heard, marks[i + 1]) << rows[i].how;
    }

    // A path that is not there: one message, and the book stays as it was.
    const auto saved = readBytes(player->dataFile());
    open({book().dir.file("нет такой.mp3")});
    EXPECT_TRUE(PumpUntil([&] { return !player->warnings().isEmpty(); }));
    ASSERT_EQ(player->warnings().size(), 1);
    EXPECT_TRUE(player->warnings()[0].contains(QString::fromStdString(book().dir.file("нет такой.mp3"))));
    EXPECT_EQ(readBytes(player->dataFile()), saved);
    EXPECT_EQ(app.bookRecord.path, book().nine);

    // Quit saves the place and ends as the menu's Exit does.
    const Finished quit = RunToEnd("dbus-send", {"--session", "--print-reply", "--dest=" + mprisService, mprisPath,
                                                 mprisRootInterface + ".Quit"});
    EXPECT_EQ(quit.exitCode, 0) << quit.err.toStdString();
    EXPECT_TRUE(app.exiting);
    EXPECT_GT(app.bookRecord.position, 0);
    EXPECT_EQ(SlotOf(readBytes(player->dataFile())), bookSlotBytes(book().nine, app.bookRecord.position));
}

TEST(DesktopEntry, IsValidAndOffersWhatThePlayerOpens) {
    const std::string entry = TELLWICK_SOURCE_DIR "/resources/tellwick.desktop";
    EXPECT_EQ(run("desktop-file-validate " + shellQuote(entry)), 0);
    const std::string lines = capture("grep -E '^(Exec|MimeType)=' " + shellQuote(entry));
    EXPECT_EQ(QString::fromStdString(lines).split('\n', Qt::SkipEmptyParts),
              (QStringList{"Exec=tellwick %f", "MimeType=" + mprisMimeTypes.join(';') + ';'}));
}
