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
// A resumed book passes its stored byte position: playback starts there (or at the start of
// the file when the engine refuses it).
void OpenTrack(const std::string& path, std::int64_t startPosition = 0);
// Whole hours, minutes and seconds of t, each truncated toward zero.
Hms SplitHms(double seconds);
// The current book's folder name into app.textBuffer.
void FolderNameText();
// Frees the current stream, if any.
void ReleaseCurrentStream();
