#include "books/last_heard.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <time.h>
#include <unistd.h>

#include "app/app_state.h"
#include "books/file_io.h"
#include "books/save_writer.h"

namespace {

// A line per book of this many digits: every version of the file has the same length, so a
// write in place never leaves a longer one's tail behind.
constexpr int kDigits = 16;
constexpr std::size_t kLineBytes = kDigits + 1;

std::int64_t heardAt[kBookCount]{}; // 0: not known

std::function<std::int64_t()>& ClockSeam() {
    static std::function<std::int64_t()> seam;
    return seam;
}

std::string HeardPath() {
    const auto slash = app.bookSlotPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : app.bookSlotPath.substr(0, slash);
    return folder + "/heard.txt";
}

int CurrentBook() {
    const int book = app.settings.currentBook;
    return book >= 0 && book < kBookCount ? book : 0;
}

// Like the place written while playing: its bytes over the old ones, not synced.
int WriteInPlace(const std::string& path, const std::string& text) {
    const int fd = OpenRegularFile(path.c_str(), O_WRONLY | O_CREAT);
    if (fd < 0)
        return errno;
    errno = 0;
    const int error = pwrite(fd, text.data(), text.size(), 0) == ssize_t(text.size()) ? 0 : errno ? errno : ENOSPC;
    close(fd);
    return error;
}

} // namespace

void LoadLastHeard() {
    std::string bytes;
    ReadRegularFile(HeardPath(), kLineBytes * kBookCount, bytes);
    for (int book = 0; book < kBookCount; ++book) {
        heardAt[book] = 0;
        const std::size_t at = std::size_t(book) * kLineBytes;
        if (bytes.size() < at + kLineBytes || bytes[at + kDigits] != '\n')
            continue;
        std::int64_t value = 0;
        const char* end = bytes.data() + at + kDigits;
        const auto parsed = std::from_chars(bytes.data() + at, end, value);
        if (parsed.ec == std::errc() && parsed.ptr == end && value > 0)
            heardAt[book] = value;
    }
}

std::int64_t CurrentBookUnheardMs() {
    const std::int64_t at = heardAt[CurrentBook()];
    return at > 0 ? WallClockMs() - at : -1;
}

void NoteHeardNow() {
    heardAt[CurrentBook()] = WallClockMs();
}

void ForgetHeard() {
    heardAt[CurrentBook()] = 0;
}

void WriteLastHeard(bool durable) {
    std::string text;
    for (std::int64_t at : heardAt) {
        char line[kLineBytes + 1];
        std::snprintf(line, sizeof line, "%0*lld\n", kDigits, static_cast<long long>(at));
        text += line;
    }
    const std::string path = HeardPath();
    if (durable)
        HandOverWrite("heard", DataFile::LastHeard, path, [path, text] { return WriteFileAtomically(path, text); });
    else
        HandOverWrite("heard-place", DataFile::LastHeard, path, [path, text] { return WriteInPlace(path, text); });
}

std::int64_t WallClockMs() {
    if (ClockSeam())
        return ClockSeam()();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SetWallClockSeam(std::function<std::int64_t()> clock) {
    ClockSeam() = std::move(clock);
}
