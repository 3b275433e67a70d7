#include "books/book_slot_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <time.h>
#include <unistd.h>

#include "app/app_state.h"
#include "books/data_file_warning.h"
#include "books/file_io.h"
#include "books/last_heard.h"
#include "books/save_writer.h"
#include "books/settings_file.h"

namespace {

// Far inside the promise that the slot on disk is never more than 5 s behind.
constexpr std::int64_t kPlaceWriteIntervalMs = 1000;
constexpr std::size_t kLongPathFileLimit = 1 << 16;
// How long a read of a slot waits for the writes handed over before it; a healthy disk takes
// a few milliseconds.
constexpr int kReadWaitMs = 100;
// A dying process waits no longer for its place to be written.
constexpr int kEmergencyWaitMs = 500;

int ValidBook(int book) {
    return (book >= 0 && book < kBookCount) ? book : 0;
}

off_t SlotOffset(int book) {
    return off_t(ValidBook(book)) * kBookSlotSize;
}

std::int64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void MarkUnusable(int error) {
    if (app.bookSlotFileUnusable)
        return;
    app.bookSlotFileUnusable = true;
    WarnDataFileUnusable(app.bookSlotPath, error);
}

// A damaged slot (no terminator, or not an absolute path) counts as an empty book.
void DiscardDamagedRecord(BookRecord& record) {
    const bool terminated = std::memchr(record.path, '\0', sizeof record.path) != nullptr;
    if (!terminated || (record.path[0] != '\0' && record.path[0] != '/'))
        record = BookRecord{};
}

std::string LongPathFile(const std::string& slotPath) {
    return slotPath.substr(0, slotPath.rfind('/') + 1) + "data.paths";
}

std::map<int, std::string> ReadLongPaths(const std::string& slotPath) {
    std::map<int, std::string> paths;
    std::string bytes;
    ReadRegularFile(LongPathFile(slotPath), kLongPathFileLimit, bytes);
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = bytes.find('\0', at);
        if (end == std::string::npos)
            break;
        const int book = bytes[at] - '0';
        if (book >= 0 && book < kBookCount && end > at + 1 && bytes[at + 1] == '/')
            paths[book] = bytes.substr(at + 1, end - at - 1);
        at = end + 1;
    }
    return paths;
}

// Brings the book's entry in the long-path file in line with longPath (on the writer thread).
int SyncLongPath(const std::string& slotPath, int book, const std::string& longPath) {
    auto paths = ReadLongPaths(slotPath);
    const auto found = paths.find(book);
    if (longPath.empty() ? found == paths.end() : (found != paths.end() && found->second == longPath))
        return 0;
    if (longPath.empty())
        paths.erase(found);
    else
        paths[book] = longPath;
    std::string bytes;
    for (const auto& [slot, path] : paths)
        bytes += char('0' + slot) + path + '\0';
    return WriteFileAtomically(LongPathFile(slotPath), bytes);
}

// Books whose slot on disk may not be paired with the record now kept: the long-path file could
// not take its path. A dying process then leaves the slot alone.
std::atomic<unsigned> unpairedBooks{0};

// One slot's 272 bytes and (when asked) the long-path file it goes with; on the writer thread.
// A record whose path is in that file is written only once the file holds the path (a record
// with its own path goes first, the file's stale entry after it): a failure, a full disk, leaves
// the old path with the old place.
struct SlotWrite {
    std::string slotPath;
    int book;
    BookRecord record;
    std::string longPath;
    bool durable, withLongPath;

    int operator()() const {
        const bool pathInFile = record.path[0] == '\0';
        if (withLongPath && pathInFile) {
            const int error = SyncLongPath(slotPath, book, longPath);
            const unsigned bit = 1u << book;
            error ? unpairedBooks.fetch_or(bit) : unpairedBooks.fetch_and(~bit);
            if (error)
                return error;
        }
        const int fd = OpenRegularFile(slotPath.c_str(), O_WRONLY | O_CREAT);
        if (fd < 0)
            return errno;
        int error = 0;
        errno = 0;
        if (pwrite(fd, &record, sizeof record, SlotOffset(book)) != ssize_t(sizeof record))
            error = errno ? errno : ENOSPC;
        else if (durable && fdatasync(fd) != 0)
            error = errno;
        close(fd);
        if (error == 0 && !pathInFile)
            unpairedBooks.fetch_and(~(1u << book));
        return error != 0 || !withLongPath || pathInFile ? error : SyncLongPath(slotPath, book, longPath);
    }
};

// The records handed to the writer in this run: a read while the writer is stalled takes them
// rather than the older bytes on disk.
struct HandedOver {
    std::string slotPath;
    bool valid[kBookCount]{};
    BookRecord record[kBookCount]{};
    std::string longPath[kBookCount];
} handedOver;

void NoteHandedOver(int book, const BookRecord& record, const std::string& longPath) {
    if (handedOver.slotPath != app.bookSlotPath) {
        handedOver = HandedOver{};
        handedOver.slotPath = app.bookSlotPath;
    }
    handedOver.valid[book] = true;
    handedOver.record[book] = record;
    handedOver.longPath[book] = longPath;
}

// "slot" writes are synced along with the long-path file; "place" writes follow playback.
void HandOverSlot(const char* kind, bool durable) {
    const int book = ValidBook(app.settings.currentBook);
    NoteHandedOver(book, app.bookRecord, app.longPath);
    // A place write of a book on a long path keeps its entry there too: it may have overtaken
    // the slot write that brought it.
    const bool withLongPath = durable || app.bookRecord.path[0] == '\0';
    HandOverWrite(kind + std::to_string(book), DataFile::BookSlots, app.bookSlotPath,
                  SlotWrite{app.bookSlotPath, book, app.bookRecord, app.longPath, durable, withLongPath});
}

// What a dying process writes. Copy n is filled in buffer n % 2 before `latest` names it, so a
// reader that finds `latest` unchanged after taking a copy has a whole one.
struct EmergencyCopy {
    char path[4096];
    off_t offset;
    BookRecord record;
};
EmergencyCopy emergencyCopies[2];
std::atomic<long long> latestCopy{-1};
long long copiesMade = 0;

void NoteEmergencyCopy() {
    if (app.bookSlotFileUnusable || app.bookSlotPath.size() >= sizeof emergencyCopies[0].path) {
        latestCopy = -1;
        return;
    }
    EmergencyCopy& copy = emergencyCopies[++copiesMade % 2];
    std::memcpy(copy.path, app.bookSlotPath.c_str(), app.bookSlotPath.size() + 1);
    copy.offset = SlotOffset(app.settings.currentBook);
    copy.record = app.bookRecord;
    latestCopy = copiesMade;
}

// Async-signal-safe; runs on the writer thread, so it never meets another write of the slot.
void WriteEmergencyCopy() {
    for (int tries = 0; tries < 3; ++tries) {
        const long long latest = latestCopy.load();
        if (latest < 0)
            return;
        EmergencyCopy copy;
        std::memcpy(&copy, &emergencyCopies[latest % 2], sizeof copy);
        if (latestCopy.load() != latest)
            continue;
        if (copy.record.path[0] == '\0' && (unpairedBooks.load() & (1u << (copy.offset / kBookSlotSize))))
            return;
        const int fd = OpenRegularFile(copy.path, O_WRONLY);
        if (fd < 0)
            return;
        if (pwrite(fd, &copy.record, sizeof copy.record, copy.offset) == ssize_t(sizeof copy.record))
            fdatasync(fd);
        close(fd);
        return;
    }
}

} // namespace

bool ReadBookSlot(int book) {
    if (app.bookSlotFileUnusable)
        return false;
    book = ValidBook(book);
    // The writes handed over come first. A stalled folder: the book's last record handed over
    // stands for what its slot will hold.
    if (!FlushSaves(kReadWaitMs) && handedOver.slotPath == app.bookSlotPath && handedOver.valid[book]) {
        app.bookRecord = handedOver.record[book];
        app.longPath = handedOver.longPath[book];
        NoteEmergencyCopy();
        return true;
    }
    const int fd = OpenRegularFile(app.bookSlotPath.c_str(), O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT)
            CreateBookSlotFile();
        else
            MarkUnusable(errno);
        NoteEmergencyCopy();
        return false;
    }
    // Bytes beyond the end of a short file read as zero, never as the previous book's.
    BookRecord record{};
    const ssize_t got = pread(fd, &record, sizeof record, SlotOffset(book));
    const int error = errno;
    close(fd);
    // A file that cannot be read is not an empty one: it is left alone for the run.
    if (got < 0) {
        MarkUnusable(error);
        NoteEmergencyCopy();
        return false;
    }
    DiscardDamagedRecord(record);
    app.bookRecord = record;
    app.longPath.clear();
    if (record.path[0] == '\0') {
        const auto paths = ReadLongPaths(app.bookSlotPath);
        if (const auto found = paths.find(book); found != paths.end())
            app.longPath = found->second;
    }
    NoteEmergencyCopy();
    return true;
}

std::array<std::string, kBookCount> StoredBookPaths() {
    std::array<std::string, kBookCount> paths;
    if (app.bookSlotFileUnusable)
        return paths;
    BookRecord records[kBookCount]{};
    const int fd = OpenRegularFile(app.bookSlotPath.c_str(), O_RDONLY);
    if (fd >= 0) {
        const bool read = pread(fd, records, sizeof records, 0) >= 0;
        close(fd);
        if (!read)
            return paths;
    }
    const auto longPaths = ReadLongPaths(app.bookSlotPath);
    for (int book = 0; book < kBookCount; ++book) {
        // What was handed over to be written stands for what the slot will hold.
        if (handedOver.slotPath == app.bookSlotPath && handedOver.valid[book]) {
            records[book] = handedOver.record[book];
            paths[book] = handedOver.longPath[book];
        } else if (const auto found = longPaths.find(book); found != longPaths.end()) {
            paths[book] = found->second;
        }
        DiscardDamagedRecord(records[book]);
        if (records[book].path[0] != '\0')
            paths[book] = records[book].path;
    }
    return paths;
}

void CreateBookSlotFile() {
    for (int book = 0; book < kBookCount; ++book)
        NoteHandedOver(book, app.bookRecord, std::string());
    // Only a file still missing when its turn comes: a slot write handed over earlier has
    // made one already.
    HandOverWrite("slots", DataFile::BookSlots, app.bookSlotPath, [path = app.bookSlotPath, record = app.bookRecord] {
        const int fd = OpenRegularFile(path.c_str(), O_WRONLY | O_CREAT | O_EXCL);
        if (fd < 0)
            return errno == EEXIST ? 0 : errno;
        int error = 0;
        errno = 0;
        for (int book = 0; book < kBookCount && error == 0; ++book)
            if (pwrite(fd, &record, sizeof record, SlotOffset(book)) != ssize_t(sizeof record))
                error = errno ? errno : ENOSPC;
        close(fd);
        return error;
    });
}

void WriteBookSlot() {
    if (app.bookSlotFileUnusable)
        return;
    NoteEmergencyCopy();
    HandOverSlot("slot", true);
    WriteLastHeard(true);
    app.slotWrittenAt = MonotonicMs();
}

void SaveState() {
    WriteBookSlot();
    SaveSettings();
}

std::string CurrentBookPath() {
    return app.longPath.empty() ? std::string(app.bookRecord.path) : app.longPath;
}

void RecordBookPath(const std::string& path) {
    if (path.size() < sizeof app.bookRecord.path) {
        if (path.c_str() != app.bookRecord.path)
            std::memcpy(app.bookRecord.path, path.c_str(), path.size() + 1);
        app.longPath.clear();
    } else {
        app.bookRecord.path[0] = '\0';
        app.longPath = path;
    }
}

void KeepPlace() {
    NoteEmergencyCopy();
    if (!app.isPlaying || app.bookSlotFileUnusable)
        return;
    const std::int64_t now = MonotonicMs();
    if (now - app.slotWrittenAt < kPlaceWriteIntervalMs)
        return;
    app.slotWrittenAt = now;
    HandOverSlot("place", false);
    NoteHeardNow();
    WriteLastHeard(false);
}

void WritePlaceNow() {
    WriteBookSlot();
}

void EmergencySave() {
    if (latestCopy.load() >= 0)
        RunUrgentWrite(WriteEmergencyCopy, kEmergencyWaitMs);
}

void DisarmEmergencySave() {
    latestCopy = -1;
}
