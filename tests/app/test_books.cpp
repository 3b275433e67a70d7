// Books: switching tabs, resuming where a book stopped, and what the data files hold,
// through the real window, the real engine and a private sound server that is listened to.
#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QToolButton>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>

#include "app/app_state.h"
#include "support/fixtures.h"
#include "support/pulse_server.h"
#include "support/qt/player_harness.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Every book's file is a stepped tone: step k of book b sounds at BaseHz(b) + k * kStepHz for
// kStepSeconds. A few milliseconds of sound tell which book is heard; a step boundary tells
// where in the file the listener is.
constexpr double kStepSeconds = 0.5;
constexpr double kStepHz = 40;
constexpr int kSteps = 20; // 10 s a book
constexpr int kFileRate = 44100;
constexpr int kFileChannels = 2;
// The stream's byte unit: one byte per sample of every channel.
constexpr double kStreamBytesPerSecond = double(kFileRate) * kFileChannels;
double BaseHz(int book) { return 300 + 900 * book; } // bands of 760 Hz with 140 Hz between them

// Resume must land within 150 ms of where the listener stopped (a 100 ms tick plus an exact seek).
constexpr double kResumeTolerance = 0.150;
// How precisely the sound analysis below places a moment (10 ms windows, 5 ms apart).
constexpr double kMeasureTolerance = 0.025;

const char* const kFolderNames[kBookCount] = {"Повести", "Путешествия", "Стихи", "Сказки", "Очерки Севера"};

PulseServer& Sound() {
    static PulseServer server;
    server.makeMonitorRealTime();
    return server;
}

TempDir& ToneLibrary() {
    static TempDir dir;
    return dir;
}

// Made once per test program; tests copy them into their own folders.
const std::string& ToneFile(int book) {
    static std::string files[kBookCount];
    if (files[book].empty()) {
        const std::string path = ToneLibrary().file("book" + std::to_string(book) + (book % 2 ? ".flac" : ".wav"));
        makeSteppedTone(path, BaseHz(book), kStepHz, kSteps, kStepSeconds, kFileRate, kFileChannels,
                        "-af volume=0.5");
        files[book] = path;
    }
    return files[book];
}

// A file that sounds like no book: if it is ever opened by mistake, no book is heard.
const std::string& IntroFile() {
    static std::string file;
    if (file.empty()) {
        file = ToneLibrary().file("intro.wav");
        makeTone(file, 200, 1, kFileRate, kFileChannels);
    }
    return file;
}

std::vector<unsigned char> Int32s(std::initializer_list<std::int32_t> values) {
    std::vector<unsigned char> bytes;
    for (std::int32_t v : values)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<unsigned char>(std::uint32_t(v) >> (8 * i)));
    return bytes;
}

// Flat equaliser, no reverb, full volume: the sound heard is the file's own.
std::vector<unsigned char> SettingsBytes(int currentBook) {
    return Int32s({currentBook, 0, 0, 0, 10, 10, 10, 20, 0});
}

std::vector<unsigned char> SlotBytes(const std::string& path, std::int64_t position) {
    std::vector<unsigned char> slot(272, 0);
    std::copy(path.begin(), path.end(), slot.begin());
    for (int i = 0; i < 8; ++i)
        slot[264 + i] = static_cast<unsigned char>(std::uint64_t(position) >> (8 * i));
    return slot;
}

std::vector<unsigned char> SlotsBytes(const std::vector<std::vector<unsigned char>>& parts) {
    std::vector<unsigned char> bytes;
    for (const auto& slot : parts)
        bytes.insert(bytes.end(), slot.begin(), slot.end());
    return bytes;
}

std::vector<unsigned char> SlotOf(const std::vector<unsigned char>& file, int book) {
    if (file.size() < std::size_t(book + 1) * 272)
        return {};
    return {file.begin() + book * 272, file.begin() + (book + 1) * 272};
}

std::int64_t PositionIn(const std::vector<unsigned char>& slot) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value |= std::uint64_t(slot.at(264 + i)) << (8 * i);
    return std::int64_t(value);
}

double SlotSeconds(const std::string& dataFile, int book) {
    return double(PositionIn(SlotOf(readBytes(dataFile), book))) / kStreamBytesPerSecond;
}

// A slot naming path at some position: everything but the position is exact.
void ExpectSlotNames(const std::vector<unsigned char>& file, int book, const std::string& path) {
    const auto slot = SlotOf(file, book);
    ASSERT_EQ(slot.size(), 272u) << "slot " << book;
    auto expected = SlotBytes(path, PositionIn(slot));
    EXPECT_EQ(slot, expected) << "slot " << book;
}

// The place the engine reports as heard now, in seconds of the current file.
double EngineSeconds() {
    return double(BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE)) / kStreamBytesPerSecond;
}

// Changes on every save: the settings file is written anew and renamed over the old one.
std::pair<ino_t, std::int64_t> FileIdentity(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return {0, 0};
    return {info.st_ino, std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

QStringList TabLabels(MainWindow* w) {
    QStringList labels;
    for (int i = 0; i < w->bookTabs()->count(); ++i)
        labels << w->bookTabs()->tabText(i);
    return labels;
}

QString StartLabel(int book) {
    return QStringLiteral("Книга  %1").arg(book + 1);
}

QString FolderLabel(int book) {
    return QString::fromUtf8(kFolderNames[book]).left(8);
}

int SelectedRow(MainWindow* w) {
    const auto selected = w->trackList()->selectedItems();
    return selected.size() == 1 ? w->trackList()->row(selected[0]) : -1;
}

// A listener's click on a tab; scrolls the tab bar first when the tab lies outside its view.
bool ClickTab(MainWindow* w, int index) {
    QTabBar* bar = w->bookTabs();
    for (int tries = 0; tries < 10 && !bar->rect().contains(bar->tabRect(index)); ++tries) {
        const Qt::ArrowType toward = bar->tabRect(index).left() < 0 ? Qt::LeftArrow : Qt::RightArrow;
        for (QToolButton* scroll : bar->findChildren<QToolButton*>())
            if (scroll->isVisible() && scroll->arrowType() == toward)
                QTest::mouseClick(scroll, Qt::LeftButton);
    }
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    return bar->currentIndex() == index;
}

// ----- Listening -----

// One stretch of one book heard without a break, placed in the book's file.
struct Heard {
    int book = -1;
    int firstStep = -1, lastStep = -1;
    std::size_t firstFrame = 0; // in the capture
    std::size_t lastFrame = 0;
    double startSeconds = NAN; // place in the file of the first frame heard
    double endSeconds = NAN;   // place in the file of the last frame heard
    double onsetHz = 0;        // frequency of the first 10 ms heard
};

std::string Describe(const std::vector<Heard>& heard) {
    std::ostringstream text;
    text.precision(3);
    for (const Heard& h : heard)
        text << "\n  book " << h.book + 1 << " steps " << h.firstStep << ".." << h.lastStep << " from " << h.startSeconds
             << " s to " << h.endSeconds << " s (capture " << double(h.firstFrame) / MonitorCapture::rate << " s.."
             << double(h.lastFrame) / MonitorCapture::rate << " s)";
    return text.str();
}

std::vector<int> Books(const std::vector<Heard>& heard) {
    std::vector<int> books;
    for (const Heard& h : heard)
        books.push_back(h.book);
    return books;
}

// Splits a capture into stretches of books. The sound is cut into 10 ms windows every 5 ms;
// a window whose frequency lies on one step of one book, as do the windows just before and
// after it, is "clear" (this drops windows that straddle a step boundary or a change of
// book). A stretch ends where another book is heard, where the step jumps other than to the
// next one, or after more than 50 ms without a clear window. A stretch is placed in its file
// by its step boundaries: its start lies before the first boundary by the time sound was
// heard in between (gaps of silence from a late sound server do not count), its end after
// the last one.
std::vector<Heard> ListenToBooks(const MonitorCapture& capture) {
    constexpr std::size_t hop = 240, span = 480, probe = 48;
    constexpr double rate = MonitorCapture::rate;
    constexpr float soundLevel = 0.05f;
    constexpr double classifyHz = 8;
    // The recorder's first moments may repeat what the sink held before it started.
    constexpr std::size_t settle = std::size_t(0.05 * rate);
    const std::size_t frames = capture.frameCount();

    std::vector<bool> silentBlock(frames / hop + 1, true);
    for (std::size_t block = 0; block * hop < frames; ++block)
        silentBlock[block] = capture.peak(block * hop, hop) < soundLevel;
    auto heardSeconds = [&](std::size_t from, std::size_t to) {
        std::size_t silent = 0;
        for (std::size_t block = (from + hop - 1) / hop; (block + 1) * hop <= to; ++block)
            silent += silentBlock[block] ? hop : 0;
        return (double(to) - double(from) - double(silent)) / rate;
    };

    struct Window {
        std::size_t frame;
        int book;
        int step;
    };
    std::vector<Window> windows;
    for (std::size_t frame = settle; frame + span <= frames; frame += hop) {
        Window window{frame, -1, -1};
        if (capture.peak(frame, span) >= soundLevel) {
            const double hz = capture.dominantFrequency(frame, span);
            for (int b = 0; b < kBookCount; ++b) {
                const int k = int(std::lround((hz - BaseHz(b)) / kStepHz));
                if (k >= 0 && k < kSteps && std::fabs(hz - (BaseHz(b) + k * kStepHz)) <= classifyHz) {
                    window.book = b;
                    window.step = k;
                }
            }
        }
        windows.push_back(window);
    }
    auto same = [](const Window& a, const Window& b) { return a.book == b.book && a.step == b.step; };
    std::vector<std::vector<Window>> runs;
    for (std::size_t i = 1; i + 1 < windows.size(); ++i) {
        const Window& window = windows[i];
        if (window.book < 0 || !same(window, windows[i - 1]) || !same(window, windows[i + 1]))
            continue;
        const bool continues = !runs.empty() && runs.back().back().book == window.book &&
                               (window.step == runs.back().back().step || window.step == runs.back().back().step + 1) &&
                               double(window.frame - runs.back().back().frame) <= 0.05 * rate;
        if (!continues)
            runs.emplace_back();
        runs.back().push_back(window);
    }

    std::vector<Heard> heard;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const auto& run = runs[r];
        Heard h;
        h.book = run.front().book;
        h.firstStep = run.front().step;
        h.lastStep = run.back().step;
        // The sound reaches beyond the clear windows (the first moments of a stream may not be
        // clean enough to classify), up to a silence or the neighbouring stretch.
        const std::size_t low = r > 0 ? heard.back().lastFrame + 1 : settle;
        std::size_t f = run.front().frame;
        while (f >= low + probe && capture.peak(f - probe, probe) >= soundLevel)
            f -= probe;
        while (capture.peak(f, 1) < soundLevel)
            ++f;
        h.firstFrame = f;
        h.onsetHz = capture.dominantFrequency(f, span);
        const std::size_t high = r + 1 < runs.size() ? runs[r + 1].front().frame : frames;
        f = run.back().frame + span;
        while (f + probe <= high && capture.peak(f, probe) >= soundLevel)
            f += probe;
        while (capture.peak(f - 1, 1) < soundLevel)
            --f;
        h.lastFrame = f - 1;
        for (std::size_t i = 1; i < run.size(); ++i) {
            if (run[i].step != run[i - 1].step + 1)
                continue;
            const std::size_t boundary = (run[i - 1].frame + run[i].frame + span) / 2;
            const double boundarySeconds = run[i].step * kStepSeconds;
            if (std::isnan(h.startSeconds))
                h.startSeconds = boundarySeconds - heardSeconds(h.firstFrame, boundary);
            h.endSeconds = boundarySeconds + heardSeconds(boundary, h.lastFrame);
        }
        heard.push_back(h);
    }
    return heard;
}

// The very first sound of a stretch is already the step of the place it starts at: nothing
// from elsewhere in the file (its start, say) is heard before it. Not decidable for a start
// within a window's length of a step boundary.
void ExpectFirstSoundAt(const Heard& heard) {
    const double intoStep = std::fmod(heard.startSeconds, kStepSeconds);
    if (intoStep < kMeasureTolerance || intoStep > kStepSeconds - kMeasureTolerance)
        return;
    const int step = int(heard.startSeconds / kStepSeconds);
    EXPECT_NEAR(heard.onsetHz, BaseHz(heard.book) + step * kStepHz, 8) << "first sound of a stretch from "
                                                                        << heard.startSeconds << " s";
}

// The listener stopped at `stopped` and was later heard again at `resumed`.
void ExpectResumedWhereStopped(const Heard& stopped, const Heard& resumed, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(resumed.book, stopped.book);
    ASSERT_FALSE(std::isnan(stopped.endSeconds)) << "too short to place where it stopped";
    ASSERT_FALSE(std::isnan(resumed.startSeconds)) << "too short to place where it resumed";
    EXPECT_NEAR(resumed.startSeconds, stopped.endSeconds, kResumeTolerance);
    // Never ahead of what was heard: nothing the listener has not heard is skipped.
    EXPECT_LE(resumed.startSeconds, stopped.endSeconds + kMeasureTolerance);
    ExpectFirstSoundAt(resumed);
}

// ----- Fixture -----

class BooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        Sound();
        for (int b = 0; b < kBookCount; ++b)
            ToneFile(b);
        IntroFile();
        writeBytes(program.file("tellwick.ini"), SettingsBytes(0));
        player = std::make_unique<PlayerHarness>(program.path());
    }
    void TearDown() override { player.reset(); }

    // The book's folder: an introduction file, then the book's stepped tone (row 1).
    std::string MakeBook(int book) {
        const std::string folder = media.file(kFolderNames[book]);
        fs::create_directories(folder);
        fs::copy_file(IntroFile(), folder + "/01 вступление.wav", fs::copy_options::overwrite_existing);
        const std::string file = folder + "/02 глава" + fs::path(ToneFile(book)).extension().string();
        fs::copy_file(ToneFile(book), file, fs::copy_options::overwrite_existing);
        return file;
    }

    bool Start() {
        if (!player->start())
            return false;
        w = player->window();
        return true;
    }

    // Gives each of the first `count` books its folder, through its tab and "Добавить папку",
    // playing each for `playMs`; the last one stays current.
    void LoadBooks(int count, int playMs) {
        for (int b = 0; b < count; ++b) {
            if (w->bookTabs()->currentIndex() != b) {
                ASSERT_TRUE(ClickTab(w, b));
            }
            player->addFolder(MakeBook(b));
            ASSERT_NE(app.currentStream, 0u);
            Pump(playMs);
        }
    }

    TempDir program;
    TempDir media;
    TempDir captures;
    std::unique_ptr<PlayerHarness> player;
    MainWindow* w = nullptr;
};

} // namespace

// ===== Switching =====

TEST_F(BooksTest, SwitchToAnEmptyBookPutsTheCurrentOneAwayAndPlaysNothing) {
    ASSERT_TRUE(Start());
    const std::string fileA = MakeBook(0);
    player->addFolder(fileA);
    Pump(1200);
    MonitorCapture capture(captures.file("empty.raw"));
    Pump(400);
    const double before = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 1));
    Pump(600);
    capture.stop();

    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_EQ(w->trackList()->count(), 0);
    EXPECT_TRUE(w->titleLine()->text().isEmpty());
    EXPECT_EQ(TabLabels(w), (QStringList{FolderLabel(0), StartLabel(1), StartLabel(2), StartLabel(3), StartLabel(4)}));
    EXPECT_TRUE(player->warnings().isEmpty());
    // Book 1 went into its slot; the other slots are as they were, empty.
    auto data = readBytes(player->dataFile());
    ASSERT_EQ(data.size(), 1360u);
    ExpectSlotNames(data, 0, fileA);
    const double saved = SlotSeconds(player->dataFile(), 0);
    EXPECT_LE(saved, before);
    EXPECT_GE(saved, before - kResumeTolerance);
    EXPECT_EQ(std::vector<unsigned char>(data.begin() + 272, data.end()), std::vector<unsigned char>(1088, 0));
    // The save came before the change of book.
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(0));
    // Book 1 stops at the click, and nothing follows it.
    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), std::vector<int>{0}) << Describe(heard);
    // (the wave may be cut where it lies below the analysis level: 5 ms on, all is silent)
    EXPECT_LT(capture.lastSoundFrom(heard[0].lastFrame + 240), 0);

    player->exitAndReset();
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(1));
    EXPECT_EQ(readBytes(player->dataFile()), data);
}

TEST_F(BooksTest, DeletedFileStaysSilentAndKeepsItsPlaceUntilItIsBack) {
    ASSERT_TRUE(Start());
    LoadBooks(2, 700);
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(900);
    ASSERT_TRUE(ClickTab(w, 1));
    const auto slotA = SlotOf(readBytes(player->dataFile()), 0);
    const std::string fileA = MakeBook(0);
    const std::string hidden = fileA + ".away";
    fs::rename(fileA, hidden);

    MonitorCapture silence(captures.file("silence.raw"));
    Pump(400);
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(700);
    silence.stop();
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_EQ(w->trackList()->count(), 0);
    EXPECT_TRUE(w->titleLine()->text().isEmpty());
    // Loaded earlier in this run, the tab keeps its folder's name.
    EXPECT_EQ(w->bookTabs()->tabText(0), FolderLabel(0));
    EXPECT_TRUE(player->warnings().isEmpty());
    const auto heard = ListenToBooks(silence);
    ASSERT_EQ(Books(heard), std::vector<int>{1}) << Describe(heard); // book 2 until the click, then nothing
    EXPECT_LT(silence.lastSoundFrom(heard[0].lastFrame + 240), 0);

    // Exit and a new start leave its slot exactly as it was.
    player->exitAndReset();
    EXPECT_EQ(SlotOf(readBytes(player->dataFile()), 0), slotA);
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(0));
    ASSERT_TRUE(Start());
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_EQ(w->bookTabs()->currentIndex(), 0);
    EXPECT_TRUE(player->warnings().isEmpty());

    // Once the file is back, selecting the tab resumes at the kept place.
    fs::rename(hidden, fileA);
    ASSERT_TRUE(ClickTab(w, 1));
    Pump(300);
    MonitorCapture resumed(captures.file("resumed.raw"));
    Pump(300);
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(900);
    resumed.stop();
    ASSERT_NE(app.currentStream, 0u);
    EXPECT_EQ(std::string(app.bookRecord.path), fileA);
    const auto back = ListenToBooks(resumed);
    ASSERT_EQ(Books(back), (std::vector<int>{1, 0})) << Describe(back);
    EXPECT_NEAR(back[1].startSeconds, double(PositionIn(slotA)) / kStreamBytesPerSecond, kMeasureTolerance);
    ExpectFirstSoundAt(back[1]);
}

TEST_F(BooksTest, SwitchingWhilePausedStartsTheOtherBookPlayingAndKeepsThePausedPlace) {
    ASSERT_TRUE(Start());
    LoadBooks(2, 700);
    MonitorCapture capture(captures.file("paused.raw"));
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(1200);
    player->command(ids::PlayPauseButton);
    ASSERT_EQ(app.isPlaying, 0);
    Pump(500);
    ASSERT_TRUE(ClickTab(w, 1));
    EXPECT_EQ(app.isPlaying, 1);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPause);
    Pump(900);
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(app.isPlaying, 1);
    Pump(900);
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{0, 1, 0})) << Describe(heard);
    // The pause is heard as a silence before the switch.
    EXPECT_GT(double(heard[1].firstFrame - heard[0].lastFrame) / MonitorCapture::rate, 0.4);
    ExpectResumedWhereStopped(heard[0], heard[2], "book 1, paused then left");
}

TEST_F(BooksTest, TabLabelsShowFolderNamesOnceTheirBookHasLoaded) {
    const std::string files[4] = {MakeBook(0), MakeBook(1), MakeBook(2), MakeBook(3)};
    writeBytes(program.file("data.dat"), SlotsBytes({SlotBytes(files[0], 0), SlotBytes("", 0), SlotBytes(files[2], 0),
                                                     SlotBytes(files[3], 0), SlotBytes("", 0)}));
    writeBytes(program.file("tellwick.ini"), SettingsBytes(2));
    ASSERT_TRUE(Start());
    EXPECT_EQ(w->bookTabs()->currentIndex(), 2);
    EXPECT_EQ(TabLabels(w), (QStringList{StartLabel(0), StartLabel(1), FolderLabel(2), StartLabel(3), StartLabel(4)}));
    // The folder is listed with the book's file selected.
    ASSERT_EQ(w->trackList()->count(), 2);
    EXPECT_EQ(SelectedRow(w), 1);
    EXPECT_EQ(w->trackList()->item(1)->text(), QString::fromStdString(fs::path(files[2]).filename().string()));

    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(TabLabels(w), (QStringList{FolderLabel(0), StartLabel(1), FolderLabel(2), StartLabel(3), StartLabel(4)}));
    ASSERT_TRUE(ClickTab(w, 4));
    EXPECT_EQ(TabLabels(w), (QStringList{FolderLabel(0), StartLabel(1), FolderLabel(2), StartLabel(3), StartLabel(4)}));
    ASSERT_TRUE(ClickTab(w, 3));
    EXPECT_EQ(TabLabels(w), (QStringList{FolderLabel(0), StartLabel(1), FolderLabel(2), FolderLabel(3), StartLabel(4)}));
    // A book given its folder on a tab that never had one.
    ASSERT_TRUE(ClickTab(w, 1));
    player->addFolder(files[1]);
    EXPECT_EQ(TabLabels(w),
              (QStringList{FolderLabel(0), FolderLabel(1), FolderLabel(2), FolderLabel(3), StartLabel(4)}));
    EXPECT_EQ(FolderLabel(1), QStringLiteral("Путешест"));

    // After a restart only the current book's tab is named again.
    player->exitAndReset();
    ASSERT_TRUE(Start());
    EXPECT_EQ(TabLabels(w), (QStringList{StartLabel(0), FolderLabel(1), StartLabel(2), StartLabel(3), StartLabel(4)}));
}

TEST_F(BooksTest, OnlyTheListenersChangeOfTabSwitchesBooks) {
    const std::string fileD = MakeBook(3);
    const std::int64_t placed = std::int64_t(23) * kFileRate * kFileChannels / 10; // 2.3 s
    const auto stored = SlotsBytes({std::vector<unsigned char>(272 * 3, 0), SlotBytes(fileD, placed),
                                   std::vector<unsigned char>(272, 0)});
    writeBytes(program.file("data.dat"), stored);
    writeBytes(program.file("tellwick.ini"), SettingsBytes(3));
    MonitorCapture capture(captures.file("selection.raw"));
    Pump(300);

    // Selecting the stored tab at start-up is the program's own doing: book 4 resumes as stored.
    ASSERT_TRUE(Start());
    EXPECT_EQ(w->bookTabs()->currentIndex(), 3);
    ASSERT_NE(app.currentStream, 0u);
    EXPECT_EQ(readBytes(player->dataFile()), stored);
    Pump(700);

    // A click on the tab already selected: no save, the same stream, playing on.
    const HSTREAM stream = app.currentStream;
    const auto settingsBefore = FileIdentity(player->settingsFile());
    const double before = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 3));
    Pump(500);
    EXPECT_EQ(app.currentStream, stream);
    EXPECT_EQ(FileIdentity(player->settingsFile()), settingsBefore);
    EXPECT_EQ(readBytes(player->dataFile()), stored);
    EXPECT_GT(EngineSeconds(), before + 0.3);

    // The arrow key on the focused tab bar is a listener's change: book 4 is put away.
    w->bookTabs()->setFocus();
    const double leaving = EngineSeconds();
    QTest::keyClick(w->bookTabs(), Qt::Key_Right);
    EXPECT_EQ(w->bookTabs()->currentIndex(), 4);
    EXPECT_EQ(app.settings.currentBook, 4);
    EXPECT_EQ(app.currentStream, 0u);
    const double saved = SlotSeconds(player->dataFile(), 3);
    EXPECT_LE(saved, leaving);
    EXPECT_GE(saved, leaving - kResumeTolerance);
    Pump(300);
    capture.stop();

    // One stretch of book 4, unbroken by the click, from the stored place to where it was left.
    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), std::vector<int>{3}) << Describe(heard);
    EXPECT_NEAR(heard[0].startSeconds, double(placed) / kStreamBytesPerSecond, kMeasureTolerance);
    ExpectFirstSoundAt(heard[0]);
    EXPECT_NEAR(heard[0].endSeconds, saved, kResumeTolerance);
    EXPECT_GE(heard[0].endSeconds, saved - kMeasureTolerance);
}

TEST_F(BooksTest, UnusableSlotsStaySilentAndPlacesBeyondTheEndPlayFromTheStart) {
    const std::string fileA = MakeBook(0), fileB = MakeBook(1);
    const std::string broken = media.file("Сломанная/broken.mp3");
    fs::create_directories(fs::path(broken).parent_path());
    writeBytes(broken, std::vector<unsigned char>(4000, 0x5A));
    const std::int64_t lengthBytes = std::int64_t(kSteps * kStepSeconds * kStreamBytesPerSecond);
    // Book 1 beyond its file's end, book 2 at a negative place, book 3 damaged (no terminator),
    // book 4 names a file that is not audio; book 5 lies beyond the end of the short file.
    const auto brokenSlot = SlotBytes(broken, 12345);
    writeBytes(program.file("data.dat"),
               SlotsBytes({SlotBytes(fileA, lengthBytes + 88200), SlotBytes(fileB, -88200),
                           std::vector<unsigned char>(272, 'x'), brokenSlot}));
    MonitorCapture capture(captures.file("unusable.raw"));
    Pump(300);
    ASSERT_TRUE(Start());
    Pump(900);
    ASSERT_TRUE(ClickTab(w, 1));
    Pump(900);
    const double leftB = EngineSeconds();

    ASSERT_TRUE(ClickTab(w, 2));
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_TRUE(player->warnings().isEmpty());
    ASSERT_TRUE(ClickTab(w, 3));
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_EQ(player->warnings(), QStringList{QStringLiteral("Ошибка воспроизведения")});
    EXPECT_EQ(w->bookTabs()->tabText(3), StartLabel(3));
    // The file was tested and tried, and nothing holds it open.
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        EXPECT_NE(fs::read_symlink(entry.path(), error).string(), broken);
    }
    ASSERT_TRUE(ClickTab(w, 4));
    EXPECT_EQ(app.currentStream, 0u);
    Pump(300);
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{0, 1})) << Describe(heard);
    EXPECT_NEAR(heard[0].startSeconds, 0, kMeasureTolerance);
    EXPECT_NEAR(heard[1].startSeconds, 0, kMeasureTolerance);

    // The damaged slot was saved as the empty book it counts as; book 5 stayed empty and did
    // not inherit the book before it.
    player->exitAndReset();
    const auto data = readBytes(player->dataFile());
    ASSERT_EQ(data.size(), 1360u);
    ExpectSlotNames(data, 0, fileA);
    ExpectSlotNames(data, 1, fileB);
    EXPECT_NEAR(double(PositionIn(SlotOf(data, 1))) / kStreamBytesPerSecond, leftB, kResumeTolerance);
    EXPECT_EQ(SlotOf(data, 2), std::vector<unsigned char>(272, 0));
    EXPECT_EQ(SlotOf(data, 3), brokenSlot);
    EXPECT_EQ(SlotOf(data, 4), std::vector<unsigned char>(272, 0));
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(4));
}

TEST_F(BooksTest, DataFilesHoldEachBookAfterEachStep) {
    fs::remove(program.file("tellwick.ini"));
    const std::vector<unsigned char> empty(272, 0);
    const auto defaults = [](int book) { return Int32s({book, 0, 0, 0, 10, 10, 10, 10, 10}); };
    const std::string fileA = MakeBook(0), fileB = MakeBook(1), fileC = MakeBook(2);

    // 1. First start: five empty slots, default settings.
    ASSERT_TRUE(Start());
    EXPECT_EQ(readBytes(player->dataFile()), std::vector<unsigned char>(1360, 0));
    EXPECT_EQ(readBytes(player->settingsFile()), defaults(0));

    // 2. A folder for book 1: its slot names the file at the start.
    player->addFolder(fileA);
    auto step2 = SlotsBytes({SlotBytes(fileA, 0), empty, empty, empty, empty});
    EXPECT_EQ(readBytes(player->dataFile()), step2);
    EXPECT_EQ(readBytes(player->settingsFile()), defaults(0));

    // 3. Playing writes no file.
    Pump(1300);
    EXPECT_EQ(readBytes(player->dataFile()), step2);

    // 4. Book 2 (empty) selected: book 1 saved with its place; the settings still name book 1.
    double leaving = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 1));
    auto data = readBytes(player->dataFile());
    ASSERT_EQ(data.size(), 1360u);
    ExpectSlotNames(data, 0, fileA);
    const std::int64_t placeA = PositionIn(SlotOf(data, 0));
    EXPECT_LE(placeA / kStreamBytesPerSecond, leaving);
    EXPECT_GE(placeA / kStreamBytesPerSecond, leaving - kResumeTolerance);
    const auto step4 = SlotsBytes({SlotBytes(fileA, placeA), empty, empty, empty, empty});
    EXPECT_EQ(data, step4);
    EXPECT_EQ(readBytes(player->settingsFile()), defaults(0));

    // 5. A folder for book 2: its slot at the start; now the settings name book 2.
    player->addFolder(fileB);
    EXPECT_EQ(readBytes(player->dataFile()),
              SlotsBytes({SlotBytes(fileA, placeA), SlotBytes(fileB, 0), empty, empty, empty}));
    EXPECT_EQ(readBytes(player->settingsFile()), defaults(1));

    // 6. Back to book 1: book 2 saved with its place, book 1 read back unchanged.
    Pump(800);
    leaving = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 0));
    data = readBytes(player->dataFile());
    const std::int64_t placeB = PositionIn(SlotOf(data, 1));
    EXPECT_LE(placeB / kStreamBytesPerSecond, leaving);
    EXPECT_GE(placeB / kStreamBytesPerSecond, leaving - kResumeTolerance);
    EXPECT_EQ(data, SlotsBytes({SlotBytes(fileA, placeA), SlotBytes(fileB, placeB), empty, empty, empty}));
    EXPECT_EQ(readBytes(player->settingsFile()), defaults(0));

    // 7. Volume moved, then Exit: book 1 with its new place, the slider in the settings.
    Pump(700);
    w->setSliderPosition(ids::VolumeSlider, 30);
    leaving = EngineSeconds();
    player->exitAndReset();
    data = readBytes(player->dataFile());
    const std::int64_t placeA2 = PositionIn(SlotOf(data, 0));
    EXPECT_LE(placeA2 / kStreamBytesPerSecond, leaving);
    EXPECT_GE(placeA2 / kStreamBytesPerSecond, leaving - kResumeTolerance);
    EXPECT_GT(placeA2, placeA);
    EXPECT_EQ(data, SlotsBytes({SlotBytes(fileA, placeA2), SlotBytes(fileB, placeB), empty, empty, empty}));
    EXPECT_EQ(readBytes(player->settingsFile()), Int32s({0, 0, 0, 0, 10, 10, 10, 10, 30}));

    // 8. Book 3 gets a folder; the slot file is deleted while it plays; book 1 selected: the
    // save recreates the file with only slots up to book 3's, and book 1 is empty now.
    ASSERT_TRUE(Start());
    ASSERT_TRUE(ClickTab(w, 2));
    player->addFolder(fileC);
    Pump(600);
    fs::remove(player->dataFile());
    leaving = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(app.currentStream, 0u);
    data = readBytes(player->dataFile());
    ASSERT_EQ(data.size(), 816u);
    EXPECT_EQ(std::vector<unsigned char>(data.begin(), data.begin() + 544), std::vector<unsigned char>(544, 0));
    ExpectSlotNames(data, 2, fileC);
    EXPECT_NEAR(PositionIn(SlotOf(data, 2)) / kStreamBytesPerSecond, leaving, kResumeTolerance);
    EXPECT_EQ(readBytes(player->settingsFile()), Int32s({2, 0, 0, 0, 10, 10, 10, 10, 30}));
}

// ===== Resume accuracy, by ear =====

TEST_F(BooksTest, TabSwitchResumesEachBookWhereTheListenerStopped) {
    ASSERT_TRUE(Start());
    MonitorCapture capture(captures.file("two.raw"));
    LoadBooks(2, 1100); // book 1 to 1.1 s, then book 2 from the start
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(1300);
    ASSERT_TRUE(ClickTab(w, 1));
    Pump(800);
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{0, 1, 0, 1})) << Describe(heard);
    ExpectResumedWhereStopped(heard[0], heard[2], "book 1");
    ExpectResumedWhereStopped(heard[1], heard[3], "book 2");
}

TEST_F(BooksTest, FiveBooksSwitchedInARowEachResumeWhereTheyStopped) {
    ASSERT_TRUE(Start());
    MonitorCapture capture(captures.file("five.raw"));
    // Where each book was left: the place the engine reported just before the click, and
    // the place its slot received.
    std::vector<double> engineWhenLeft(kBookCount), slotWhenLeft(kBookCount);
    auto select = [&](int book) {
        const int leaving = w->bookTabs()->currentIndex();
        engineWhenLeft[leaving] = EngineSeconds();
        if (!ClickTab(w, book))
            return false;
        slotWhenLeft[leaving] = SlotSeconds(player->dataFile(), leaving);
        return true;
    };
    for (int b = 0; b < kBookCount; ++b) {
        if (b > 0) {
            ASSERT_TRUE(select(b));
        }
        player->addFolder(MakeBook(b));
        Pump(800);
    }
    std::vector<double> engineBefore = engineWhenLeft, slotBefore = slotWhenLeft;
    for (int b = 0; b < kBookCount; ++b) {
        engineBefore[b] = engineWhenLeft[b];
        slotBefore[b] = slotWhenLeft[b];
        ASSERT_TRUE(select(b));
        // The resumed book's first moment is the place its slot held.
        EXPECT_NEAR(EngineSeconds(), slotBefore[b], kMeasureTolerance) << "book " << b + 1;
        Pump(800);
    }
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4})) << Describe(heard);
    for (int b = 0; b < kBookCount; ++b) {
        SCOPED_TRACE("book " + std::to_string(b + 1));
        ExpectResumedWhereStopped(heard[b], heard[kBookCount + b], "switched away and back");
        // What the slot kept is the place heard at most a tick before the click...
        EXPECT_LE(slotBefore[b], engineBefore[b]);
        EXPECT_GE(slotBefore[b], engineBefore[b] - kResumeTolerance);
        // ...and the sound resumes exactly there.
        EXPECT_NEAR(heard[kBookCount + b].startSeconds, slotBefore[b], kMeasureTolerance);
    }
}

TEST_F(BooksTest, RestartResumesWhicheverOfFiveBooksWasCurrent) {
    ASSERT_TRUE(Start());
    LoadBooks(kBookCount, 600);
    // Book 5 plays on as listening begins; each book is then selected, played, exited and
    // started again.
    MonitorCapture capture(captures.file("restart.raw"));
    Pump(400);
    std::vector<double> slotAfterExit(kBookCount);
    for (int b = 0; b < kBookCount; ++b) {
        if (w->bookTabs()->currentIndex() != b) {
            ASSERT_TRUE(ClickTab(w, b));
        }
        Pump(800);
        // Book 3 is left paused: the place kept is where the pause began.
        if (b == 2) {
            player->command(ids::PlayPauseButton);
            Pump(400);
        }
        player->exitAndReset();
        EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(b));
        slotAfterExit[b] = SlotSeconds(player->dataFile(), b);
        Pump(300);
        ASSERT_TRUE(Start());
        EXPECT_EQ(w->bookTabs()->currentIndex(), b);
        EXPECT_EQ(w->bookTabs()->tabText(b), FolderLabel(b));
        EXPECT_EQ(SelectedRow(w), 1);
        ASSERT_NE(app.currentStream, 0u);
        Pump(800);
    }
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{4, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4})) << Describe(heard);
    ExpectResumedWhereStopped(heard[0], heard[9], "book 5 switched away and back");
    for (int b = 0; b < kBookCount; ++b) {
        const Heard& beforeExit = heard[1 + 2 * b];
        const Heard& afterStart = heard[2 + 2 * b];
        ExpectResumedWhereStopped(beforeExit, afterStart, "book " + std::to_string(b + 1) + " across a restart");
        EXPECT_NEAR(afterStart.startSeconds, slotAfterExit[b], kMeasureTolerance) << "book " << b + 1;
    }
}

TEST_F(BooksTest, TerminationSavesTheHeardPlaceAndTheNextRunResumesThere) {
    const std::string installed = program.file("tellwick");
    fs::copy_file(std::string(TELLWICK_BINARY_DIR) + "/tellwick", installed);
    const std::string fileA = MakeBook(0);
    const std::int64_t placed = std::int64_t(33) * kFileRate * kFileChannels / 10; // 3.3 s
    writeBytes(program.file("data.dat"),
               SlotsBytes({SlotBytes(fileA, placed), std::vector<unsigned char>(272 * 4, 0)}));
    TempDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.path()));
    env.insert("QT_QPA_PLATFORM", "offscreen");

    // Runs the player until it has resumed its book (the open rewrites the settings file),
    // lets it play 1.5 s, then sends SIGTERM.
    auto runAndTerminate = [&](int run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const auto settingsBefore = FileIdentity(program.file("tellwick.ini"));
        QProcess player;
        player.setProcessEnvironment(env);
        player.start(QString::fromStdString(installed), {});
        ASSERT_TRUE(player.waitForStarted());
        for (int i = 0; i < 200 && FileIdentity(program.file("tellwick.ini")) == settingsBefore; ++i)
            QTest::qSleep(10);
        ASSERT_NE(FileIdentity(program.file("tellwick.ini")), settingsBefore);
        QTest::qSleep(1500);
        player.terminate();
        ASSERT_TRUE(player.waitForFinished(5000));
        EXPECT_EQ(player.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(player.exitCode(), 0);
    };

    MonitorCapture capture(captures.file("sigterm.raw"));
    QTest::qSleep(300);
    runAndTerminate(1);
    const double afterFirst = SlotSeconds(program.file("data.dat"), 0);
    EXPECT_NEAR(afterFirst - double(placed) / kStreamBytesPerSecond, 1.5, 0.3);
    EXPECT_EQ(readBytes(program.file("tellwick.ini")), SettingsBytes(0));
    QTest::qSleep(300);
    runAndTerminate(2);
    const double afterSecond = SlotSeconds(program.file("data.dat"), 0);
    EXPECT_NEAR(afterSecond - afterFirst, 1.5, 0.3);
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{0, 0})) << Describe(heard);
    EXPECT_NEAR(heard[0].startSeconds, double(placed) / kStreamBytesPerSecond, kMeasureTolerance);
    ExpectFirstSoundAt(heard[0]);
    // The place saved at SIGTERM is what was heard last, at most a tick earlier.
    EXPECT_LE(afterFirst, heard[0].endSeconds + kMeasureTolerance);
    EXPECT_GE(afterFirst, heard[0].endSeconds - kResumeTolerance);
    EXPECT_NEAR(heard[1].startSeconds, afterFirst, kMeasureTolerance);
    ExpectResumedWhereStopped(heard[0], heard[1], "across SIGTERM");
}
