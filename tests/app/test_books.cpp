// Books: switching tabs, resuming where a book stopped, and what the data files hold, through
// the real window, the real engine and a private sound server that is listened to. Plays last
// as long as the engine says they were heard, not a wall-clock time, and every place is
// measured from the recording: a busy machine cannot change the verdict.
#include <QProgressBar>
#include <cmath>

#include "books/save_writer.h"
#include "support/qt/app_test.h"
#include "ui/controls.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Step k of book b's file sounds at BaseHz(b) + k * kStepHz for kStepSeconds: a few
// milliseconds of sound tell the book, a step boundary tells the place in the file.
constexpr double kStepSeconds = 0.5, kStepHz = 40;
constexpr int kSteps = 20; // 10 s a book
constexpr double kStreamBytesPerSecond = 44100 * 2; // 8-bit stereo: a byte per sample
double BaseHz(int book) { return 300 + 900 * book; } // bands of 760 Hz with 140 Hz between them
// A kept place is taken where the book is left, never ahead of what was heard (a loaded machine
// may delay the leaving); the analysis places a moment to 25 ms.
constexpr double kResumeTolerance = 0.4, kMeasureTolerance = 0.025;

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
            makeSteppedTone(book[b], BaseHz(b), kStepHz, kSteps, kStepSeconds, 44100, 2, "-af volume=0.5");
        }
        makeTone(intro, 200, 1, 44100, 2);
    }
};
const ToneFiles& Tones() {
    static ToneFiles tones;
    return tones;
}

// Flat equaliser, no reverb: the sound heard is the file's own.
std::vector<unsigned char> SettingsBytes(int currentBook) {
    return int32Bytes({currentBook, 0, 0, 0, 10, 10, 10, 20, 0});
}

double SlotSeconds(const std::vector<unsigned char>& file, int book) {
    return double(SlotPosition(SlotOf(file, book))) / kStreamBytesPerSecond;
}

// A slot naming path at some position: everything but the position is exact.
void ExpectSlotNames(const std::vector<unsigned char>& file, int book, const std::string& path) {
    const auto slot = SlotOf(file, book);
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

// One stretch of one book heard without a break, placed in the book's file.
struct Heard {
    int book;
    std::size_t firstFrame, lastFrame = 0;       // in the capture
    double onsetHz;                              // of the first 10 ms heard
    double startSeconds = NAN, endSeconds = NAN; // places in the file of the first and last frame heard
    std::size_t boundary = 0;                    // the last step boundary heard, and its place
    double boundarySeconds = NAN;
};

// Splits the capture where another book is heard or the step jumps other than to the next; a
// book whose steps go on across a silence (a sink starved by a busy machine) is one stretch.
// 10 ms windows every 5 ms count when their frequency lies on one step of one book, as do their
// neighbours' (this drops windows straddling a step boundary or a change of book). Places come
// from step boundaries, counting only time sound was heard.
std::vector<Heard> ListenToBooks(const MonitorCapture& capture) {
    constexpr std::size_t hop = 240, span = 480;
    constexpr float level = 0.05f;
    // The recorder's first moments may repeat what the sink held before it started.
    constexpr std::size_t settle = MonitorCapture::rate / 20;
    const auto heardSeconds = [&](std::size_t from, std::size_t to) { return capture.soundSeconds(from, to, level); };
    const auto classify = [&](std::size_t frame) {
        const double hz = capture.dominantFrequency(frame, span);
        for (int b = 0; b < kBookCount; ++b) {
            const int k = int(std::lround((hz - BaseHz(b)) / kStepHz));
            if (k >= 0 && k < kSteps && std::fabs(hz - (BaseHz(b) + k * kStepHz)) <= 8)
                return b * kSteps + k;
        }
        return -1;
    };
    std::vector<Heard> heard;
    int step = -1;
    std::size_t clear = 0; // the last clear window
    for (const auto& stretch : capture.stretches(MonitorCapture::rate / 4, level)) {
        if (stretch.last < settle + span)
            continue;
        const std::size_t begin = std::max(stretch.first, settle);
        std::vector<int> windows;
        for (std::size_t f = begin; f + span <= stretch.last; f += hop)
            windows.push_back(classify(f));
        bool heardHere = false;
        for (std::size_t i = 1; i + 1 < windows.size(); ++i) {
            const int id = windows[i];
            if (id < 0 || id != windows[i - 1] || id != windows[i + 1])
                continue;
            const std::size_t frame = begin + i * hop;
            const bool continues = !heard.empty() && heard.back().book == id / kSteps &&
                                   (id % kSteps == step || id % kSteps == step + 1);
            if (!continues) {
                if (heardHere)
                    heard.back().lastFrame = frame - 1;
                const std::size_t first = heardHere ? frame : begin;
                heard.push_back({id / kSteps, first, 0, capture.dominantFrequency(first, span)});
            } else if (id % kSteps == step + 1) {
                Heard& h = heard.back();
                h.boundary = (clear + frame + span) / 2;
                h.boundarySeconds = (id % kSteps) * kStepSeconds;
                if (std::isnan(h.startSeconds))
                    h.startSeconds = h.boundarySeconds - heardSeconds(h.firstFrame, h.boundary);
            }
            step = id % kSteps;
            clear = frame;
            heardHere = true;
        }
        if (heardHere)
            heard.back().lastFrame = stretch.last;
    }
    for (Heard& h : heard)
        h.endSeconds = h.boundarySeconds + heardSeconds(h.boundary, h.lastFrame);
    return heard;
}

std::vector<int> Books(const std::vector<Heard>& heard) {
    std::vector<int> books;
    for (const Heard& h : heard)
        books.push_back(h.book);
    return books;
}

// Heard from `startSeconds` of its file, and its very first sound is already that step's:
// nothing from elsewhere in the file came before it (undecidable right at a boundary).
void ExpectStartsAt(const Heard& heard, double startSeconds, double tolerance = kMeasureTolerance) {
    EXPECT_NEAR(heard.startSeconds, startSeconds, tolerance);
    const double intoStep = std::fmod(heard.startSeconds, kStepSeconds);
    if (intoStep > kMeasureTolerance && intoStep < kStepSeconds - kMeasureTolerance) {
        EXPECT_NEAR(heard.onsetHz, BaseHz(heard.book) + int(heard.startSeconds / kStepSeconds) * kStepHz, 8)
            << "stretch from " << heard.startSeconds << " s";
    }
}

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

    TempDir captures;
};

} // namespace

TEST_F(BooksTest, OnlyTheListenersChangeOfTabSwitchesAndUnusablePlacesPlayFromTheStart) {
    const std::string fileA = MakeBook(0), fileB = MakeBook(1), fileD = MakeBook(3);
    const double placed = 2.3;
    // Book 1 beyond its file's end, book 2 at a negative place, book 3 damaged (no terminator),
    // book 4 at 2.3 s; book 5 lies beyond the end of the short file.
    const auto stored = joinBytes({bookSlotBytes(fileA, std::int64_t(11 * kStreamBytesPerSecond)),
                                   bookSlotBytes(fileB, -88200), std::vector<unsigned char>(272, 'x'),
                                   bookSlotBytes(fileD, std::llround(placed * kStreamBytesPerSecond))});
    writeBytes(program.file("data.dat"), stored);
    writeBytes(program.file("tellwick.ini"), SettingsBytes(3));
    MonitorCapture capture(captures.file("selection.raw"));
    Pump(400);

    // Selecting the stored tab at start-up is the program's own doing: book 4 resumes as stored,
    // and a click on the tab already selected plays on in the same stream.
    ASSERT_TRUE(Start());
    EXPECT_EQ(w->bookTabs()->currentIndex(), 3);
    EXPECT_EQ(readBytes(player->dataFile()), stored);
    // Every tab names its book's folder from the slot at once, the whole name in its tip.
    QStringList labels;
    for (int i = 0; i < kBookCount; ++i)
        labels << w->bookTabs()->tabText(i);
    EXPECT_EQ(labels, (QStringList{"Повести", "Путешест", "Книга  3", "Сказки", "Книга  5"}));
    EXPECT_EQ(w->bookTabs()->tabToolTip(1), QStringLiteral("Путешествия"));
    PlayFor(0.7);
    const HSTREAM stream = app.currentStream;
    Select(3, 0.5);
    EXPECT_EQ(app.currentStream, stream);

    // The arrow key on the focused tab bar is a listener's change: book 4 is put away, and the
    // missing slot 5 is an empty book.
    w->bookTabs()->setFocus();
    const double leaving = EngineSeconds();
    QTest::keyClick(w->bookTabs(), Qt::Key_Right);
    EXPECT_EQ(w->bookTabs()->currentIndex(), 4);
    EXPECT_EQ(app.currentStream, 0u);
    // The empty book: no time, no level, the play image, and the list's hint.
    EXPECT_TRUE(w->statusText(3).isEmpty() && w->meter(ids::LeftMeter)->value() == 0);
    EXPECT_EQ(w->button(ids::PlayPauseButton)->property("iconId").toInt(), ids::IconPlay);
    EXPECT_EQ(w->trackList()->accessibleDescription(), TrackList::EmptyHint);
    ASSERT_TRUE(FlushSaves(5000));
    const double saved = SlotSeconds(readBytes(player->dataFile()), 3);
    ExpectKeptAt(saved, leaving);
    Pump(400);

    // Places beyond the end or before the start play from the start; the damaged slot is empty.
    Select(0);
    Select(1);
    const double leftB = EngineSeconds();
    ASSERT_TRUE(ClickTab(w, 2));
    EXPECT_EQ(app.currentStream, 0u);
    EXPECT_TRUE(player->warnings().isEmpty());
    Pump(400);
    capture.stop();

    // Book 4 unbroken by the click on its own tab, from the stored place to where it was left.
    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{3, 0, 1}));
    ExpectStartsAt(heard[0], placed);
    EXPECT_NEAR(heard[0].endSeconds, saved, kResumeTolerance);
    EXPECT_GE(heard[0].endSeconds, saved - kMeasureTolerance);
    ExpectStartsAt(heard[1], 0);
    ExpectStartsAt(heard[2], 0);
    // The tip of a book heard in this run keeps the place it was left at.
    EXPECT_TRUE(w->bookTabs()->tabToolTip(3).startsWith("Сказки\n02 глава.flac, 0:0")) << w->bookTabs()->tabToolTip(3).toStdString();

    // The damaged slot is saved as the empty book it counts as; book 5 did not inherit book 4.
    player->exitAndReset();
    const auto data = readBytes(player->dataFile());
    ASSERT_EQ(data.size(), 1360u);
    ExpectSlotNames(data, 0, fileA);
    ExpectSlotNames(data, 1, fileB);
    ExpectKeptAt(SlotSeconds(data, 1), leftB);
    EXPECT_EQ(SlotOf(data, 2), kEmptySlot);
    ExpectSlotNames(data, 3, fileD);
    EXPECT_EQ(SlotOf(data, 4), kEmptySlot);
    EXPECT_EQ(readBytes(player->settingsFile()), SettingsBytes(2));
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
        ASSERT_TRUE(FlushSaves(5000));
        if (std::isnan(slotLeft[leaving]))
            slotLeft[leaving] = SlotSeconds(readBytes(player->dataFile()), leaving);
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
    Pump(600);
    for (int b = 0; b < kBookCount; ++b)
        ASSERT_NO_FATAL_FAILURE(leaveFor(b));
    EXPECT_EQ(app.isPlaying, 1);
    QStringList labels;
    for (int i = 0; i < kBookCount; ++i)
        labels << w->bookTabs()->tabText(i);
    EXPECT_EQ(labels, (QStringList{"Повести", "Путешест", "Стихи", "Сказки", "Очерки С"}));
    capture.stop();

    // The pause is heard as a silence; each book is heard again from where it stopped, never
    // ahead, and from the place its slot kept.
    const auto heard = ListenToBooks(capture);
    ASSERT_EQ(Books(heard), (std::vector<int>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4}));
    EXPECT_GT(double(heard[5].firstFrame - heard[4].lastFrame) / MonitorCapture::rate, 0.4);
    for (int b = 0; b < kBookCount; ++b) {
        SCOPED_TRACE("book " + std::to_string(b + 1));
        const Heard &stopped = heard[b], &resumed = heard[kBookCount + b];
        ASSERT_FALSE(std::isnan(stopped.endSeconds) || std::isnan(resumed.startSeconds)) << "too short to place";
        ExpectStartsAt(resumed, stopped.endSeconds, kResumeTolerance);
        EXPECT_LE(resumed.startSeconds, stopped.endSeconds + kMeasureTolerance);
        ExpectKeptAt(slotLeft[b], engineLeft[b]);
        EXPECT_NEAR(resumed.startSeconds, slotLeft[b], kMeasureTolerance);
    }

    // The slot file deleted while book 4 plays: leaving it writes a new file that holds only its
    // slot, the books before it empty.
    ASSERT_TRUE(ClickTab(w, 3));
    fs::remove(player->dataFile());
    ASSERT_TRUE(ClickTab(w, 0));
    ASSERT_TRUE(FlushSaves(5000));
    const auto rewritten = readBytes(player->dataFile());
    ASSERT_EQ(rewritten.size(), 1088u);
    EXPECT_EQ(std::vector<unsigned char>(rewritten.begin(), rewritten.begin() + 816), std::vector<unsigned char>(816, 0));
    ExpectSlotNames(rewritten, 3, BookFile(3));
}
