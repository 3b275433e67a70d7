// Books: switching tabs, resuming where a book stopped, and what the data files hold,
// through the real window, the real engine and a private sound server that is listened to.
// Plays last as long as the engine says they were heard, not a wall-clock time, and every
// place is measured from the recording: a busy machine cannot change the verdict.
#include <cmath>

#include "support/qt/app_test.h"

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

// A kept place is taken where the book is left, never ahead of what was heard (a loaded machine
// may delay the leaving); the analysis places a moment to 25 ms.
constexpr double kResumeTolerance = 0.4;
constexpr double kMeasureTolerance = 0.025;

const char* const kFolderNames[kBookCount] = {"Повести", "Путешествия", "Стихи", "Сказки", "Очерки Севера"};
const std::vector<unsigned char> kEmptySlot(272, 0);

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
std::vector<unsigned char> SettingsBytes(int currentBook, int volume = 0, int reverb = 20) {
    return int32Bytes({currentBook, 0, 0, 0, 10, 10, 10, reverb, volume});
}

double SlotSeconds(const std::string& dataFile, int book) {
    return double(SlotPosition(SlotOf(readBytes(dataFile), book))) / kStreamBytesPerSecond;
}

// A slot naming path at some position: everything but the position is exact.
void ExpectSlotNames(const std::vector<unsigned char>& file, int book, const std::string& path) {
    const auto slot = SlotOf(file, book);
    ASSERT_EQ(slot.size(), 272u) << "slot " << book;
    EXPECT_EQ(slot, bookSlotBytes(path, SlotPosition(slot))) << "slot " << book;
}

// Lets the current book be heard for `seconds` more of its file.
void PlayFor(double seconds) {
    const double from = EngineSeconds();
    ASSERT_TRUE(PumpUntil([&] { return app.currentStream && EngineSeconds() >= from + seconds; }))
        << "the book did not play on from " << from << " s";
}

// What a slot keeps is the place heard when the book was left: from the engine's last report
// before that on (the sound tells it is not ahead of what was heard).
void ExpectKeptAt(double kept, double heardLast) {
    EXPECT_GE(kept, heardLast);
    EXPECT_LE(kept, heardLast + kResumeTolerance);
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

// ----- Listening -----

// One stretch of one book heard without a break, placed in the book's file.
struct Heard {
    int book = -1;
    std::size_t firstFrame = 0, lastFrame = 0; // in the capture
    double startSeconds = NAN, endSeconds = NAN; // places in the file of the first and last frame heard
    double onsetHz = 0;                          // frequency of the first 10 ms heard
};

std::vector<int> Books(const std::vector<Heard>& heard) {
    std::vector<int> books;
    for (const Heard& h : heard)
        books.push_back(h.book);
    return books;
}

// Splits a capture into stretches of books. 10 ms windows every 5 ms; a window is "clear" when
// its frequency lies on one step of one book, as do its neighbours' (this drops windows
// straddling a step boundary or a change of book). A stretch ends where another book is heard,
// the step jumps other than to the next, or after 50 ms of sound without a clear window or a
// silence of 250 ms (a pause; a sink starved by a busy machine falls silent for less). It is placed
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

    auto heardSeconds = [&](std::size_t from, std::size_t to) { return capture.soundSeconds(from, to, soundLevel); };

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
                               double(window.frame - runs.back().back().frame) <= 0.25 * rate &&
                               heardSeconds(runs.back().back().frame, window.frame) <= 0.05;
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

class BooksTest : public AppTest {
protected:
    void SetUp() override {
        Tones();
        AppTest::SetUp();
        writeBytes(player->settingsFile(), SettingsBytes(0));
    }

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

    // Selects a tab and, when the book plays, lets it be heard for `seconds`.
    void Select(int book, double seconds = 0.8) {
        ASSERT_TRUE(ClickTab(w, book));
        if (app.currentStream && app.isPlaying)
            PlayFor(seconds);
    }
    // A folder for the current tab through "Добавить папку"; the book then plays for `seconds`.
    void Load(int book, double seconds = 0.8) {
        player->addFolder(MakeBook(book));
        ASSERT_NE(app.currentStream, 0u);
        PlayFor(seconds);
    }
    // Silence for `ms`, enough to split what is heard into stretches.
    static void Quiet(int ms = 400) { Pump(ms); }

    // After a switch to a book that cannot play: no stream, nothing listed or shown, no
    // warning; only `books` were heard, then silence.
    void ExpectSilentAfter(MonitorCapture& capture, const std::vector<int>& books) {
        Quiet(600);
        capture.stop();
        EXPECT_EQ(app.currentStream, 0u);
        EXPECT_EQ(w->trackList()->count(), 0);
        EXPECT_TRUE(player->warnings().isEmpty());
        const auto heard = ListenToBooks(capture);
        ASSERT_EQ(Books(heard), books);
        EXPECT_LT(capture.lastSoundFrom(heard.back().lastFrame + 240), 0);
    }

    TempDir captures;
};

} // namespace

TEST_F(BooksTest, BooksThatCannotPlayStaySilentAndKeepTheirSlots) {
    // Book 4 names a file that is not audio; the short file has no slot for book 5.
    const std::string broken = media.file("Сломанная/broken.mp3");
    fs::create_directories(fs::path(broken).parent_path());
    writeBytes(broken, std::vector<unsigned char>(4000, 0x5A));
    const auto brokenSlot = bookSlotBytes(broken, 12345);
    writeBytes(program.file("data.dat"), joinBytes({kEmptySlot, kEmptySlot, kEmptySlot, brokenSlot}));
    ASSERT_TRUE(Start());
    Load(0, 1.0);

    // An empty book: book 1 is put away, stops at the click, and nothing follows.
    MonitorCapture empty(captures.file("empty.raw"));
    PlayFor(0.3);
    Select(1);
    ExpectSilentAfter(empty, {0});
    EXPECT_EQ(TabLabels(w), ExpectedLabels({0}));
    const auto data = readBytes(player->dataFile());
    EXPECT_EQ(SlotOf(data, 3), brokenSlot);
    player->exitAndReset();
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(1));
    EXPECT_EQ(readBytes(player->dataFile()), data);

    // A book whose file has gone: silent, no warning, its tab still named.
    ASSERT_TRUE(Start());
    Load(1, 0.6);
    Select(0);
    Select(1);
    const auto slotA = SlotOf(readBytes(player->dataFile()), 0);
    const std::string hidden = BookFile(0) + ".away";
    fs::rename(BookFile(0), hidden);
    MonitorCapture silence(captures.file("silence.raw"));
    PlayFor(0.3);
    Select(0);
    ExpectSilentAfter(silence, {1});
    EXPECT_EQ(TabLabels(w), ExpectedLabels({0, 1}));

    // Exit and a new start leave its slot exactly as it was, still silent.
    player->exitAndReset();
    EXPECT_EQ(SlotOf(readBytes(player->dataFile()), 0), slotA);
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(0));
    ASSERT_TRUE(Start());
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_TRUE(player->warnings().isEmpty());

    // The file that is not audio: one warning, and nothing plays.
    ASSERT_TRUE(ClickTab(w, 3));
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_EQ(player->warnings(), QStringList{QStringLiteral("Ошибка воспроизведения")});
    EXPECT_EQ(w->bookTabs()->tabText(3), ExpectedLabels({})[3]);
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
    Quiet();

    // Selecting the stored tab at start-up is the program's own doing: book 4 resumes as stored.
    ASSERT_TRUE(Start());
    EXPECT_EQ(w->bookTabs()->currentIndex(), 3);
    ASSERT_NE(app.currentStream, 0u);
    EXPECT_EQ(readBytes(player->dataFile()), stored);
    PlayFor(0.7);

    // A click on the tab already selected: the same stream, playing on.
    const HSTREAM stream = app.currentStream;
    Select(3, 0.5);
    EXPECT_EQ(app.currentStream, stream);

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
    Quiet();

    // Places beyond the end or before the start play from the start; the damaged slot is empty.
    Select(0);
    Select(1);
    const double leftB = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 2));
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_TRUE(player->warnings().isEmpty());
    Quiet();
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
    ExpectKeptAt(double(SlotPosition(SlotOf(data, 1))) / kStreamBytesPerSecond, leftB);
    EXPECT_EQ(SlotOf(data, 2), kEmptySlot);
    ExpectSlotNames(data, 3, fileD);
    EXPECT_EQ(SlotOf(data, 4), kEmptySlot);
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(2));
}

TEST_F(BooksTest, NextStartLoadsOnlyTheCurrentBookAndALostSlotFileIsWrittenAnew) {
    writeBytes(player->dataFile(), joinBytes({bookSlotBytes(MakeBook(0), 0), bookSlotBytes(MakeBook(1), 0)}));
    writeBytes(player->settingsFile(), SettingsBytes(1, 30));
    // Only the current book is loaded: its tab alone is named, its file selected.
    ASSERT_TRUE(Start());
    EXPECT_EQ(TabLabels(w), ExpectedLabels({1}));
    ASSERT_EQ(w->trackList()->selectedItems().size(), 1);
    EXPECT_EQ(w->trackList()->row(w->trackList()->selectedItems()[0]), 1);
    // Book 3 gets a folder and the slot file is deleted while it plays; selecting book 1 saves a
    // new file with slots only up to book 3's, and book 1 is empty now.
    ASSERT_TRUE(ClickTab(w, 2));
    Load(2, 0.6);
    fs::remove(player->dataFile());
    ASSERT_TRUE(ClickTab(w, 0));
    EXPECT_EQ(app.currentStream, 0u);
    const auto data = readBytes(player->dataFile());
    ASSERT_EQ(data.size(), 816u);
    EXPECT_EQ(std::vector<unsigned char>(data.begin(), data.begin() + 544), std::vector<unsigned char>(544, 0));
    ExpectSlotNames(data, 2, BookFile(2));
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(2, 30));
}

TEST_F(BooksTest, FiveBooksSwitchedInARowEachResumeWhereTheyStopped) {
    ASSERT_TRUE(Start());
    MonitorCapture capture(captures.file("five.raw"));
    // When each book is first left: the place the engine reported just before the click, and
    // the place its slot received.
    std::vector<double> engineLeft(kBookCount, NAN), slotLeft(kBookCount, NAN);
    auto leaveFor = [&](int book) {
        const int leaving = w->bookTabs()->currentIndex();
        if (std::isnan(engineLeft[leaving]))
            engineLeft[leaving] = EngineSeconds();
        Select(book);
        if (std::isnan(slotLeft[leaving]))
            slotLeft[leaving] = SlotSeconds(player->dataFile(), leaving);
    };
    for (int b = 0; b < kBookCount; ++b) {
        if (b > 0) {
            ASSERT_NO_FATAL_FAILURE(leaveFor(b));
        }
        Load(b);
    }
    // Book 5 is paused; switching away starts the next book playing.
    player->command(ids::PlayPauseButton);
    ASSERT_EQ(app.isPlaying, 0);
    Quiet(600);
    for (int b = 0; b < kBookCount; ++b)
        ASSERT_NO_FATAL_FAILURE(leaveFor(b));
    EXPECT_EQ(app.isPlaying, 1);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPause);
    EXPECT_EQ(TabLabels(w), ExpectedLabels({0, 1, 2, 3, 4}));
    EXPECT_EQ(TabLabels(w)[1], QStringLiteral("Путешест"));
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
