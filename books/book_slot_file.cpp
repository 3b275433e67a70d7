#include "books/book_slot_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app_state.h"
#include "books/data_file_warning.h"
#include "books/settings_file.h"

namespace {

int ValidBook(int book) {
    return (book >= 0 && book < kBookCount) ? book : 0;
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

bool IsRegularFile(std::FILE* file) {
    struct stat info;
    return fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
}

bool WriteRecordAt(std::FILE* file, long offset) {
    return std::fseek(file, offset, SEEK_SET) == 0 &&
           std::fwrite(&app.bookRecord, sizeof app.bookRecord, 1, file) == 1 && std::fflush(file) == 0;
}

} // namespace

bool ReadBookSlot(int book) {
    if (app.bookSlotFileUnusable)
        return false;
    std::FILE* file = std::fopen(app.bookSlotPath.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT)
            CreateBookSlotFile();
        else
            MarkUnusable(errno);
        return false;
    }
    if (!IsRegularFile(file)) {
        std::fclose(file);
        MarkUnusable(EISDIR);
        return false;
    }
    // Bytes beyond the end of a short file read as zero, never as the previous book's.
    BookRecord record{};
    if (std::fseek(file, long(ValidBook(book)) * kBookSlotSize, SEEK_SET) == 0)
        (void)std::fread(&record, 1, sizeof record, file);
    std::fclose(file);
    DiscardDamagedRecord(record);
    app.bookRecord = record;
    return true;
}

void CreateBookSlotFile() {
    std::FILE* file = std::fopen(app.bookSlotPath.c_str(), "w+b");
    if (!file) {
        MarkUnusable(errno);
        return;
    }
    bool ok = true;
    for (int book = 0; book < kBookCount && ok; ++book)
        ok = WriteRecordAt(file, long(book) * kBookSlotSize);
    const int error = errno;
    std::fclose(file);
    if (!ok)
        MarkUnusable(error);
}

void WriteBookSlot() {
    if (app.bookSlotFileUnusable)
        return;
    std::FILE* file = std::fopen(app.bookSlotPath.c_str(), "r+b");
    if (!file && errno == ENOENT)
        file = std::fopen(app.bookSlotPath.c_str(), "w+b");
    if (!file) {
        MarkUnusable(errno);
        return;
    }
    const bool ok = WriteRecordAt(file, long(ValidBook(app.settings.currentBook)) * kBookSlotSize);
    const int error = errno;
    std::fclose(file);
    if (!ok)
        MarkUnusable(error);
}

void SaveState() {
    WriteBookSlot();
    SaveSettings();
}
