// Texts of the displays: printf-style formatting with C's exact rules ("%0.2d" zero-fills to
// two digits), times split into hours, minutes and seconds, and file names.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <string_view>

QString FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct Hms {
    std::int32_t hours;
    std::int32_t minutes;
    std::int32_t seconds;
};
// Whole hours, minutes and seconds of t, each truncated toward zero.
Hms SplitHms(double seconds);

// A file or folder name or path (file system bytes) as the listener reads it: bytes that are not
// UTF-8 come from old Russian Windows archives, so they are read as Windows-1251; the one byte
// that code page leaves undefined shows as an escape ("\x98").
QString NameText(std::string_view bytes);
// The last component of a folder path (file system bytes), as the listener reads it.
QString FolderNameText(const std::string& folder);
