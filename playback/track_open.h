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

// Releases the current stream, opens, describes and plays the file, and saves it with the
// place its playback starts at. A resumed book passes its stored byte position: playback
// starts there (or at the start of the file when the engine refuses it). False when the file
// cannot be played: the listener is told, unless `advancing` (the automatic advance, which
// goes on to the next file and leaves the slot alone).
bool OpenTrack(const std::string& path, std::int64_t startPosition = 0, bool advancing = false);
// Whole hours, minutes and seconds of t, each truncated toward zero.
Hms SplitHms(double seconds);
// The current book's folder name into app.textBuffer.
void FolderNameText();
// Frees the current stream, if any.
void ReleaseCurrentStream();
