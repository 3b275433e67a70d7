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

// Step k of book b's file sounds at BaseHz(b) + k * kStepHz for kStepSeconds: a few
// milliseconds of sound tell the book, a step boundary tells the place in the file.
constexpr double kStepSeconds = 0.5;
constexpr double kStepHz = 40;
constexpr int kSteps = 20; // 10 s a book
constexpr int kFileRate = 44100;
constexpr int kFileChannels = 2;
constexpr double kStreamBytesPerSecond = double(kFileRate) * kFileChannels; // a byte per sample
double BaseHz(int book) { return 300 + 900 * book; } // bands of 760 Hz with 140 Hz between them

// Resume lands within a 100 ms tick plus an exact seek; the analysis places a moment to 25 ms.
constexpr double kResumeTolerance = 0.150;
constexpr double kMeasureTolerance = 0.025;

const char* const kFolderNames[kBookCount] = {"Повести", "Путешествия", "Стихи", "Сказки", "Очерки Севера"};
const std::vector<unsigned char> kEmptySlot(272, 0);

PulseServer& Sound() {
    static PulseServer server;
    server.makeMonitorRealTime();
    return server;
}

// Made once per program; tests copy them. The intro sounds like no book.
struct ToneFiles {
    TempDir dir;
    std::string book[kBookCount];
    std::string intro = dir.file("intro.wav");
    ToneFiles() {
        for (int b = 0; b < kBookCount; ++b) {
            book[b] = dir.file("book" + std::to_string(b) + (b % 2 ? ".flac" : ".wav"));
            makeSteppedTone(book[b], BaseHz(b), kStepHz, kSteps, kStepSeconds, kFileRate, kFileChannels,
                            "-af volume=0.5");
        }
        makeTone(intro, 200, 1, kFileRate, kFileChannels);
    }
};
const ToneFiles& Tones() {
    static ToneFiles tones;
    return tones;
}

// Flat equaliser, no reverb, full volume: the sound heard is the file's own.
std::vector<unsigned char> SettingsBytes(int currentBook) {
    return int32Bytes({currentBook, 0, 0, 0, 10, 10, 10, 20, 0});
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
    EXPECT_EQ(slot, bookSlotBytes(path, PositionIn(slot))) << "slot " << book;
}

// The place the engine reports as heard now, in seconds of the current file.
double EngineSeconds() {
    return double(BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE)) / kStreamBytesPerSecond;
}

// What a slot keeps is the place heard at most a tick before the engine's last report.
void ExpectKeptAt(double kept, double heardLast) {
    EXPECT_LE(kept, heardLast);
    EXPECT_GE(kept, heardLast - kResumeTolerance);
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

// Tabs of books loaded in this run show their folder's first 8 characters, the others "Книга  N".
QStringList ExpectedLabels(std::initializer_list<int> loaded) {
    QStringList labels;
    for (int b = 0; b < kBookCount; ++b)
        labels << QStringLiteral("Книга  %1").arg(b + 1);
    for (int b : loaded)
        labels[b] = QString::fromUtf8(kFolderNames[b]).left(8);
    return labels;
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
    std::size_t firstFrame = 0, lastFrame = 0; // in the capture
    double startSeconds = NAN, endSeconds = NAN; // places in the file of the first and last frame heard
    double onsetHz = 0;                          // frequency of the first 10 ms heard
};

std::string Describe(const std::vector<Heard>& heard) {
    std::ostringstream text;
    text.precision(3);
    for (const Heard& h : heard)
        text << "\n  book " << h.book + 1 << " from " << h.startSeconds << " s to " << h.endSeconds << " s";
    return text.str();
}

std::vector<int> Books(const std::vector<Heard>& heard) {
    std::vector<int> books;
    for (const Heard& h : heard)
        books.push_back(h.book);
    return books;
}

// Splits a capture into stretches of books. 10 ms windows every 5 ms; a window is "clear" when
// its frequency lies on one step of one book, as do its neighbours' (this drops windows
// straddling a step boundary or a change of book). A stretch ends where another book is heard,
// the step jumps other than to the next, or after 50 ms without a clear window. It is placed
// in its file by its step boundaries, counting only time sound was heard (a late sound
// server's gaps of silence do not count).
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
                if (k >= 0 && k < kSteps && std::fabs(hz - (BaseHz(b) + k * kStepHz)) <= classifyHz)
                    window = {frame, b, k};
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
        // The sound reaches beyond the clear windows, up to a silence or the neighbouring stretch.
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

// The very first sound of a stretch is already the step it starts in: nothing from elsewhere
// in the file is heard before it (undecidable within a window's length of a boundary).
void ExpectFirstSoundAt(const Heard& heard) {
    const double intoStep = std::fmod(heard.startSeconds, kStepSeconds);
    if (intoStep < kMeasureTolerance || intoStep > kStepSeconds - kMeasureTolerance)
        return;
    const int step = int(heard.startSeconds / kStepSeconds);
    EXPECT_NEAR(heard.onsetHz, BaseHz(heard.book) + step * kStepHz, 8) << "stretch from " << heard.startSeconds << " s";
}

// Heard at `startSeconds` exactly (a stored place), from its first sound.
void ExpectStartsAt(const Heard& heard, double startSeconds) {
    EXPECT_NEAR(heard.startSeconds, startSeconds, kMeasureTolerance);
    ExpectFirstSoundAt(heard);
}

// The listener stopped at `stopped` and was later heard again at `resumed`: near, and never ahead.
void ExpectResumedWhereStopped(const Heard& stopped, const Heard& resumed, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(resumed.book, stopped.book);
    ASSERT_FALSE(std::isnan(stopped.endSeconds)) << "too short to place where it stopped";
    ASSERT_FALSE(std::isnan(resumed.startSeconds)) << "too short to place where it resumed";
    EXPECT_NEAR(resumed.startSeconds, stopped.endSeconds, kResumeTolerance);
    EXPECT_LE(resumed.startSeconds, stopped.endSeconds + kMeasureTolerance);
    ExpectFirstSoundAt(resumed);
}

// ----- Fixture -----

class BooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        Sound();
        Tones();
        writeBytes(program.file("tellwick.ini"), SettingsBytes(0));
        player = std::make_unique<PlayerHarness>(program.path());
    }
    void TearDown() override { player.reset(); }

    // The book's folder: an introduction, then the book's stepped tone (row 1).
    std::string BookFile(int book) const {
        return media.file(kFolderNames[book]) + "/02 глава" + fs::path(Tones().book[book]).extension().string();
    }
    std::string MakeBook(int book) {
        fs::create_directories(media.file(kFolderNames[book]));
        fs::copy_file(Tones().intro, media.file(kFolderNames[book]) + "/01 вступление.wav",
                      fs::copy_options::overwrite_existing);
        fs::copy_file(Tones().book[book], BookFile(book), fs::copy_options::overwrite_existing);
        return BookFile(book);
    }

    bool Start() {
        if (!player->start())
            return false;
        w = player->window();
        return true;
    }

    // Gives each of the first `count` books its folder through its tab and "Добавить папку",
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

    // After a switch to a book that cannot play: no stream, nothing listed or shown, no
    // warning; only `books` were heard, then silence (5 ms past the analysis's last frame).
    void ExpectSilentAfter(MonitorCapture& capture, const std::vector<int>& books) {
        capture.stop();
        EXPECT_EQ(app.currentStream, 0u);
        EXPECT_EQ(w->trackList()->count(), 0);
        EXPECT_TRUE(player->warnings().isEmpty());
        const auto heard = ListenToBooks(capture);
        ASSERT_EQ(Books(heard), books) << Describe(heard);
        EXPECT_LT(capture.lastSoundFrom(heard.back().lastFrame + 240), 0);
    }

    TempDir program;
    TempDir media;
    TempDir captures;
    std::unique_ptr<PlayerHarness> player;
    MainWindow* w = nullptr;
};

} // namespace

// ===== Switching =====

TEST_F(BooksTest, BooksThatCannotPlayStaySilentAndKeepTheirSlots) {
    // Book 4 names a file that is not audio; the short file has no slot for book 5.
    const std::string broken = media.file("Сломанная/broken.mp3");
    fs::create_directories(fs::path(broken).parent_path());
    writeBytes(broken, std::vector<unsigned char>(4000, 0x5A));
    const auto brokenSlot = bookSlotBytes(broken, 12345);
    writeBytes(program.file("data.dat"), joinBytes({kEmptySlot, kEmptySlot, kEmptySlot, brokenSlot}));
    ASSERT_TRUE(Start());
    player->addFolder(MakeBook(0));
    Pump(1200);

    // An empty book: book 1 is put away, stops at the click, and nothing follows.
    MonitorCapture empty(captures.file("empty.raw"));
    Pump(400);
    ASSERT_TRUE(ClickTab(w, 1));
    Pump(600);
    ExpectSilentAfter(empty, {0});
    EXPECT_EQ(TabLabels(w), ExpectedLabels({0}));
    const auto data = readBytes(player->dataFile());
    EXPECT_EQ(SlotOf(data, 3), brokenSlot);
    player->exitAndReset();
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(1));
    EXPECT_EQ(readBytes(player->dataFile()), data);

    // A book whose file has gone: silent, no warning, its tab still named.
    ASSERT_TRUE(Start());
    player->addFolder(MakeBook(1));
    Pump(700);
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(900);
    ASSERT_TRUE(ClickTab(w, 1));
    const auto slotA = SlotOf(readBytes(player->dataFile()), 0);
    const std::string hidden = BookFile(0) + ".away";
    fs::rename(BookFile(0), hidden);
    MonitorCapture silence(captures.file("silence.raw"));
    Pump(400);
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(700);
    ExpectSilentAfter(silence, {1});
    EXPECT_EQ(TabLabels(w), ExpectedLabels({0, 1}));

    // Exit and a new start leave its slot exactly as it was.
    player->exitAndReset();
    EXPECT_EQ(SlotOf(readBytes(player->dataFile()), 0), slotA);
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(0));
    ASSERT_TRUE(Start());
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_EQ(w->bookTabs()->currentIndex(), 0);
    EXPECT_TRUE(player->warnings().isEmpty());

    // Once the file is back, selecting the tab resumes at the kept place.
    fs::rename(hidden, BookFile(0));
    ASSERT_TRUE(ClickTab(w, 1));
    Pump(300);
    MonitorCapture resumed(captures.file("resumed.raw"));
    Pump(300);
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(900);
    resumed.stop();
    ASSERT_NE(app.currentStream, 0u);
    EXPECT_EQ(std::string(app.bookRecord.path), BookFile(0));
    const auto back = ListenToBooks(resumed);
    ASSERT_EQ(Books(back), (std::vector<int>{1, 0}));
    ExpectStartsAt(back[1], double(PositionIn(slotA)) / kStreamBytesPerSecond);

    // The file that is not audio: one warning, nothing plays, and nothing holds the file open.
    ASSERT_TRUE(ClickTab(w, 3));
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_EQ(player->warnings(), QStringList{QStringLiteral("Ошибка воспроизведения")});
    EXPECT_EQ(w->bookTabs()->tabText(3), ExpectedLabels({})[3]);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        EXPECT_NE(fs::read_symlink(entry.path(), error).string(), broken);
    }
    player->exitAndReset();
    EXPECT_EQ(SlotOf(readBytes(player->dataFile()), 3), brokenSlot);
}

TEST_F(BooksTest, OnlyTheListenersChangeOfTabSwitchesAndUnusablePlacesPlayFromTheStart) {
    const std::string fileA = MakeBook(0), fileB = MakeBook(1), fileD = MakeBook(3);
    const double placed = 2.3;
    const std::int64_t lengthBytes = std::int64_t(kSteps * kStepSeconds * kStreamBytesPerSecond);
    // Book 1 beyond its file's end, book 2 at a negative place, book 3 damaged (no terminator),
    // book 4 at 2.3 s; book 5 lies beyond the end of the short file.
    const auto stored = joinBytes({bookSlotBytes(fileA, lengthBytes + 88200), bookSlotBytes(fileB, -88200),
                                   std::vector<unsigned char>(272, 'x'),
                                   bookSlotBytes(fileD, std::llround(placed * kStreamBytesPerSecond))});
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
    EXPECT_GT(EngineSeconds(), before + 0.3);

    // The arrow key on the focused tab bar is a listener's change: book 4 is put away, and the
    // missing slot 5 is an empty book.
    w->bookTabs()->setFocus();
    const double leaving = EngineSeconds();
    QTest::keyClick(w->bookTabs(), Qt::Key_Right);
    EXPECT_EQ(w->bookTabs()->currentIndex(), 4);
    EXPECT_EQ(app.settings.currentBook, 4);
    EXPECT_EQ(app.currentStream, 0u);
    const double saved = SlotSeconds(player->dataFile(), 3);
    ExpectKeptAt(saved, leaving);
    Pump(300);

    // Places beyond the end or before the start play from the start; the damaged slot is empty.
    ASSERT_TRUE(ClickTab(w, 0));
    Pump(900);
    ASSERT_TRUE(ClickTab(w, 1));
    Pump(900);
    const double leftB = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 2));
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_TRUE(player->warnings().isEmpty());
    Pump(300);
    capture.stop();

    // Book 4 unbroken by the click on its own tab, from the stored place to where it was left.
    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{3, 0, 1}));
    ExpectStartsAt(heard[0], placed);
    EXPECT_NEAR(heard[0].endSeconds, saved, kResumeTolerance);
    EXPECT_GE(heard[0].endSeconds, saved - kMeasureTolerance);
    EXPECT_NEAR(heard[1].startSeconds, 0, kMeasureTolerance);
    EXPECT_NEAR(heard[2].startSeconds, 0, kMeasureTolerance);

    // The damaged slot is saved as the empty book it counts as; book 5 did not inherit book 4.
    player->exitAndReset();
    const auto data = readBytes(player->dataFile());
    ASSERT_EQ(data.size(), 1360u);
    ExpectSlotNames(data, 0, fileA);
    ExpectSlotNames(data, 1, fileB);
    EXPECT_NEAR(double(PositionIn(SlotOf(data, 1))) / kStreamBytesPerSecond, leftB, kResumeTolerance);
    EXPECT_EQ(SlotOf(data, 2), kEmptySlot);
    ExpectSlotNames(data, 3, fileD);
    EXPECT_EQ(SlotOf(data, 4), kEmptySlot);
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(2));
}

TEST_F(BooksTest, DataFilesHoldEachBookAfterEachStep) {
    fs::remove(program.file("tellwick.ini"));
    const auto settings = [](int book, int volume = 10) { return int32Bytes({book, 0, 0, 0, 10, 10, 10, 10, volume}); };
    const std::string fileA = MakeBook(0), fileB = MakeBook(1), fileC = MakeBook(2);
    // Leaves the current book for `tab`; the slot it went into must hold where it was heard.
    const auto leaveFor = [&](int tab) {
        const int leaving = w->bookTabs()->currentIndex();
        const double heard = EngineSeconds();
        EXPECT_TRUE(ClickTab(w, tab));
        const std::int64_t kept = PositionIn(SlotOf(readBytes(player->dataFile()), leaving));
        ExpectKeptAt(kept / kStreamBytesPerSecond, heard);
        return kept;
    };

    // First start: five empty slots, default settings. A folder for book 1: its slot names the
    // file at the start.
    ASSERT_TRUE(Start());
    EXPECT_EQ(readBytes(player->dataFile()), std::vector<unsigned char>(1360, 0));
    EXPECT_EQ(readBytes(player->settingsFile()), settings(0));
    player->addFolder(fileA);
    const auto loadedA = joinBytes({bookSlotBytes(fileA, 0), kEmptySlot, kEmptySlot, kEmptySlot, kEmptySlot});
    EXPECT_EQ(readBytes(player->dataFile()), loadedA);
    EXPECT_EQ(readBytes(player->settingsFile()), settings(0));
    Pump(1300);

    // Book 2 (empty) selected: book 1 saved with its place; the settings still name book 1.
    const std::int64_t placeA = leaveFor(1);
    EXPECT_EQ(readBytes(player->dataFile()),
              joinBytes({bookSlotBytes(fileA, placeA), kEmptySlot, kEmptySlot, kEmptySlot, kEmptySlot}));
    EXPECT_EQ(readBytes(player->settingsFile()), settings(0));

    // A folder for book 2: its slot at the start; now the settings name book 2.
    player->addFolder(fileB);
    EXPECT_EQ(readBytes(player->dataFile()),
              joinBytes({bookSlotBytes(fileA, placeA), bookSlotBytes(fileB, 0), kEmptySlot, kEmptySlot, kEmptySlot}));
    EXPECT_EQ(readBytes(player->settingsFile()), settings(1));

    // Back to book 1: book 2 saved with its place, book 1 read back unchanged.
    Pump(800);
    const std::int64_t placeB = leaveFor(0);
    EXPECT_EQ(readBytes(player->dataFile()),
              joinBytes({bookSlotBytes(fileA, placeA), bookSlotBytes(fileB, placeB), kEmptySlot, kEmptySlot, kEmptySlot}));
    EXPECT_EQ(readBytes(player->settingsFile()), settings(0));

    // Volume moved, then Exit: book 1 with its new place, the slider in the settings.
    Pump(700);
    w->setSliderPosition(ids::VolumeSlider, 30);
    const double leaving = EngineSeconds();
    player->exitAndReset();
    const std::int64_t placeA2 = PositionIn(SlotOf(readBytes(player->dataFile()), 0));
    ExpectKeptAt(placeA2 / kStreamBytesPerSecond, leaving);
    EXPECT_GT(placeA2, placeA);
    EXPECT_EQ(readBytes(player->dataFile()),
              joinBytes({bookSlotBytes(fileA, placeA2), bookSlotBytes(fileB, placeB), kEmptySlot, kEmptySlot, kEmptySlot}));
    EXPECT_EQ(readBytes(player->settingsFile()), settings(0, 30));

    // Book 3 gets a folder and the slot file is deleted while it plays; selecting book 1 saves a
    // new file with slots only up to book 3's, and book 1 is empty now.
    ASSERT_TRUE(Start());
    ASSERT_TRUE(ClickTab(w, 2));
    player->addFolder(fileC);
    Pump(600);
    fs::remove(player->dataFile());
    const double leavingC = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(app.currentStream, 0u);
    const auto data = readBytes(player->dataFile());
    ASSERT_EQ(data.size(), 816u);
    EXPECT_EQ(std::vector<unsigned char>(data.begin(), data.begin() + 544), std::vector<unsigned char>(544, 0));
    ExpectSlotNames(data, 2, fileC);
    EXPECT_NEAR(PositionIn(SlotOf(data, 2)) / kStreamBytesPerSecond, leavingC, kResumeTolerance);
    EXPECT_EQ(readBytes(player->settingsFile()), settings(2, 30));
}

// ===== Resume accuracy, by ear =====

TEST_F(BooksTest, FiveBooksSwitchedInARowEachResumeWhereTheyStopped) {
    ASSERT_TRUE(Start());
    MonitorCapture capture(captures.file("five.raw"));
    // When each book is first left: the place the engine reported just before the click, and
    // the place its slot received.
    std::vector<double> engineLeft(kBookCount, NAN), slotLeft(kBookCount, NAN);
    auto select = [&](int book) {
        const int leaving = w->bookTabs()->currentIndex();
        const double engine = EngineSeconds();
        ASSERT_TRUE(ClickTab(w, book));
        if (std::isnan(engineLeft[leaving])) {
            engineLeft[leaving] = engine;
            slotLeft[leaving] = SlotSeconds(player->dataFile(), leaving);
        }
    };
    for (int b = 0; b < kBookCount; ++b) {
        if (b > 0) {
            ASSERT_NO_FATAL_FAILURE(select(b));
        }
        player->addFolder(MakeBook(b));
        Pump(800);
    }
    // Book 5 is paused; switching away starts the next book playing.
    player->command(ids::PlayPauseButton);
    ASSERT_EQ(app.isPlaying, 0);
    Pump(500);
    ASSERT_NO_FATAL_FAILURE(select(0));
    EXPECT_EQ(app.isPlaying, 1);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPause);
    EXPECT_EQ(TabLabels(w), ExpectedLabels({0, 1, 2, 3, 4}));
    EXPECT_EQ(TabLabels(w)[1], QStringLiteral("Путешест"));
    for (int b = 0; b < kBookCount; ++b) {
        if (b > 0) {
            ASSERT_NO_FATAL_FAILURE(select(b));
        }
        // The resumed book's first moment is the place its slot held.
        EXPECT_NEAR(EngineSeconds(), slotLeft[b], kMeasureTolerance) << "book " << b + 1;
        Pump(800);
    }
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4}));
    // The pause is heard as a silence before the switch.
    EXPECT_GT(double(heard[5].firstFrame - heard[4].lastFrame) / MonitorCapture::rate, 0.4);
    for (int b = 0; b < kBookCount; ++b) {
        SCOPED_TRACE("book " + std::to_string(b + 1));
        ExpectResumedWhereStopped(heard[b], heard[kBookCount + b], "switched away and back");
        ExpectKeptAt(slotLeft[b], engineLeft[b]);
        EXPECT_NEAR(heard[kBookCount + b].startSeconds, slotLeft[b], kMeasureTolerance);
    }
}

TEST_F(BooksTest, RestartResumesWhicheverOfFiveBooksWasCurrent) {
    ASSERT_TRUE(Start());
    LoadBooks(kBookCount, 600);
    // Book 5 plays on as listening begins; each book is then selected, played, exited and
    // started again.
    MonitorCapture capture(captures.file("restart.raw"));
    // Long enough to cross two step boundaries, so the place where book 5 stops can be told.
    Pump(1200);
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
        // Only the current book has loaded: its tab alone is named, its file selected in its folder.
        EXPECT_EQ(w->bookTabs()->currentIndex(), b);
        EXPECT_EQ(TabLabels(w), ExpectedLabels({b}));
        EXPECT_EQ(SelectedRow(w), 1);
        EXPECT_EQ(w->trackList()->item(1)->text().toStdString(), fs::path(BookFile(b)).filename().string());
        ASSERT_NE(app.currentStream, 0u);
        Pump(800);
    }
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{4, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4}));
    ExpectResumedWhereStopped(heard[0], heard[9], "book 5 switched away and back");
    for (int b = 0; b < kBookCount; ++b) {
        ExpectResumedWhereStopped(heard[1 + 2 * b], heard[2 + 2 * b], "book " + std::to_string(b + 1) + " across a restart");
        EXPECT_NEAR(heard[2 + 2 * b].startSeconds, slotAfterExit[b], kMeasureTolerance) << "book " << b + 1;
    }
}

TEST_F(BooksTest, TerminationSavesTheHeardPlaceAndTheNextRunResumesThere) {
    const std::string installed = program.file("tellwick");
    fs::copy_file(std::string(TELLWICK_BINARY_DIR) + "/tellwick", installed);
    const double placed = 3.3;
    writeBytes(program.file("data.dat"),
               joinBytes({bookSlotBytes(MakeBook(0), std::int64_t(placed * kStreamBytesPerSecond)),
                          std::vector<unsigned char>(272 * 4, 0)}));
    TempDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.path()));
    env.insert("QT_QPA_PLATFORM", "offscreen");

    // Runs the player until it has resumed its book (the open rewrites the settings file),
    // lets it play 1.5 s, sends SIGTERM, and returns the place then saved.
    auto runAndTerminate = [&] {
        const auto settingsBefore = FileIdentity(program.file("tellwick.ini"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QString::fromStdString(installed), {});
        EXPECT_TRUE(process.waitForStarted());
        for (int i = 0; i < 200 && FileIdentity(program.file("tellwick.ini")) == settingsBefore; ++i)
            QTest::qSleep(10);
        EXPECT_NE(FileIdentity(program.file("tellwick.ini")), settingsBefore);
        QTest::qSleep(1500);
        process.terminate();
        EXPECT_TRUE(process.waitForFinished(5000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        EXPECT_EQ(readBytes(program.file("tellwick.ini")), SettingsBytes(0));
        return SlotSeconds(program.file("data.dat"), 0);
    };

    MonitorCapture capture(captures.file("sigterm.raw"));
    QTest::qSleep(300);
    const double afterFirst = runAndTerminate();
    EXPECT_NEAR(afterFirst - placed, 1.5, 0.3);
    QTest::qSleep(300);
    EXPECT_NEAR(runAndTerminate() - afterFirst, 1.5, 0.3);
    capture.stop();

    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{0, 0}));
    ExpectStartsAt(heard[0], placed);
    // The place saved at SIGTERM is what was heard last, at most a tick earlier.
    EXPECT_LE(afterFirst, heard[0].endSeconds + kMeasureTolerance);
    EXPECT_GE(afterFirst, heard[0].endSeconds - kResumeTolerance);
    EXPECT_NEAR(heard[1].startSeconds, afterFirst, kMeasureTolerance);
    ExpectResumedWhereStopped(heard[0], heard[1], "across SIGTERM");
}
