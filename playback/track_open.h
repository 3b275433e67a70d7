// Opening a track: the one way every track starts.
#pragma once

#include <cstdint>
#include <string>

struct Hms {
    std::int32_t hours;
    std::int32_t minutes;
    std::int32_t seconds;
};

extern const char* const titleTemplate;

// Releases the current stream, records and saves the path, opens, plays and describes the file.
void OpenTrack(const std::string& path);
// Whole hours, minutes and seconds of t, each truncated toward zero.
Hms SplitHms(double seconds);
// The current book's folder name into app.textBuffer.
void FolderNameText();
// Frees the current stream, if any.
void ReleaseCurrentStream();
