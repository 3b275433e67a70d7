#include "books/book_slot_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "app/app_state.h"
#include "books/data_file_warning.h"
#include "books/settings_file.h"

namespace {

// Far inside the promise that the slot on disk is never more than 5 s behind.
constexpr std::int64_t kPlaceWriteIntervalMs = 1000;
constexpr std::size_t kLongPathFileLimit = 1 << 16;

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

// Opens a data file without ever blocking on a FIFO or a device: anything but a regular
// file is refused (errno EISDIR).
int OpenRegular(const char* path, int flags) {
    const int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

// Writes one slot's 272 bytes; errno tells why when it fails.
bool WriteSlotBytes(const BookRecord& record, int book, bool durable) {
    const int fd = OpenRegular(app.bookSlotPath.c_str(), O_WRONLY | O_CREAT);
    if (fd < 0)
        return false;
    bool ok = pwrite(fd, &record, sizeof record, SlotOffset(book)) == ssize_t(sizeof record);
    if (ok && durable)
        ok = fdatasync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return ok;
}

std::string LongPathFile() {
    return app.bookSlotPath.substr(0, app.bookSlotPath.rfind('/') + 1) + "data.paths";
}

std::map<int, std::string> ReadLongPaths() {
    std::map<int, std::string> paths;
    const int fd = OpenRegular(LongPathFile().c_str(), O_RDONLY);
    if (fd < 0)
        return paths;
    std::string bytes(kLongPathFileLimit, '\0');
    const ssize_t got = read(fd, bytes.data(), bytes.size());
    close(fd);
    bytes.resize(got > 0 ? std::size_t(got) : 0);
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

// Brings the current slot's entry in the long-path file in line with app.longPath; the file
// is replaced whole through a synced temporary, so a crash leaves the old or the new one.
bool SyncLongPath() {
    auto paths = ReadLongPaths();
    const int book = ValidBook(app.settings.currentBook);
    const auto found = paths.find(book);
    if (app.longPath.empty() ? found == paths.end() : (found != paths.end() && found->second == app.longPath))
        return true;
    if (app.longPath.empty())
        paths.erase(found);
    else
        paths[book] = app.longPath;
    std::string bytes;
    for (const auto& [slot, path] : paths)
        bytes += char('0' + slot) + path + '\0';
    const std::string temp = LongPathFile() + ".tmp";
    const int fd = OpenRegular(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return false;
    bool ok = write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && fdatasync(fd) == 0;
    int error = errno;
    close(fd);
    if (ok && rename(temp.c_str(), LongPathFile().c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok)
        unlink(temp.c_str());
    errno = error;
    return ok;
}

// What a dying process writes: published whole through `latest`, so a signal that arrives
// while the next copy is being filled still finds a complete one.
struct EmergencyCopy {
    char path[4096];
    off_t offset;
    BookRecord record;
};
EmergencyCopy emergencyCopies[2];
std::atomic<int> latestCopy{-1};

void NoteEmergencyCopy() {
    if (app.bookSlotFileUnusable || app.bookSlotPath.size() >= sizeof emergencyCopies[0].path) {
        latestCopy = -1;
        return;
    }
    const int next = latestCopy.load() == 0 ? 1 : 0;
    EmergencyCopy& copy = emergencyCopies[next];
    std::memcpy(copy.path, app.bookSlotPath.c_str(), app.bookSlotPath.size() + 1);
    copy.offset = SlotOffset(app.settings.currentBook);
    copy.record = app.bookRecord;
    latestCopy = next;
}

} // namespace

bool ReadBookSlot(int book) {
    if (app.bookSlotFileUnusable)
        return false;
    const int fd = OpenRegular(app.bookSlotPath.c_str(), O_RDONLY);
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
    [[maybe_unused]] const ssize_t got = pread(fd, &record, sizeof record, SlotOffset(book));
    close(fd);
    DiscardDamagedRecord(record);
    app.bookRecord = record;
    app.longPath.clear();
    if (record.path[0] == '\0') {
        const auto paths = ReadLongPaths();
        if (const auto found = paths.find(ValidBook(book)); found != paths.end())
            app.longPath = found->second;
    }
    NoteEmergencyCopy();
    return true;
}

void CreateBookSlotFile() {
    const int fd = OpenRegular(app.bookSlotPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    bool ok = fd >= 0;
    for (int book = 0; book < kBookCount && ok; ++book)
        ok = pwrite(fd, &app.bookRecord, sizeof app.bookRecord, SlotOffset(book)) == ssize_t(sizeof app.bookRecord);
    const int error = errno;
    if (fd >= 0)
        close(fd);
    NoteWriteOutcome(DataFile::BookSlots, app.bookSlotPath, ok ? 0 : error);
}

void WriteBookSlot() {
    if (app.bookSlotFileUnusable)
        return;
    NoteEmergencyCopy();
    const bool ok = WriteSlotBytes(app.bookRecord, app.settings.currentBook, true) && SyncLongPath();
    NoteWriteOutcome(DataFile::BookSlots, app.bookSlotPath, ok ? 0 : errno);
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
    const bool ok = WriteSlotBytes(app.bookRecord, app.settings.currentBook, false);
    NoteWriteOutcome(DataFile::BookSlots, app.bookSlotPath, ok ? 0 : errno);
}

void WritePlaceNow() {
    if (app.bookSlotFileUnusable)
        return;
    NoteEmergencyCopy();
    const bool ok = WriteSlotBytes(app.bookRecord, app.settings.currentBook, true);
    NoteWriteOutcome(DataFile::BookSlots, app.bookSlotPath, ok ? 0 : errno);
    app.slotWrittenAt = MonotonicMs();
}

void EmergencySave() {
    const int latest = latestCopy.load();
    if (latest < 0)
        return;
    const EmergencyCopy& copy = emergencyCopies[latest];
    const int fd = open(copy.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        pwrite(fd, &copy.record, sizeof copy.record, copy.offset) == ssize_t(sizeof copy.record))
        fdatasync(fd);
    close(fd);
}

void DisarmEmergencySave() {
    latestCopy = -1;
}
