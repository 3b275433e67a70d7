// Opening a track: the one way every track starts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Tells the listener that a file cannot be played.
void ReportUnplayable();
// Opens path for the current book off the window's thread; the previous track sounds on
// meanwhile. Once the new one is ready, accepted runs, the previous stream is released, the
// new track is shown and played, and the book's slot gets it with the place its playback
// starts at: startPosition (a resumed book's stored place), or the file's start when the
// engine refuses that place. A file that cannot be played changes nothing (book, slot, the
// previous track) and runs refused instead. A newer open replaces one not yet finished:
// then neither runs. A book picked up again goes backSeconds back from startPosition (SeekBack).
void OpenTrack(const std::string& path, std::int64_t startPosition = 0,
               std::function<void()> refused = ReportUnplayable, std::function<void()> accepted = {},
               double backSeconds = 0);
// The same, playback starting at a time in the file (negative: counted back from its end;
// held within the file) and going on only when play, else left paused there.
void OpenTrackAt(const std::string& path, double seconds, bool play, std::function<void()> refused,
                 std::function<void()> accepted);
// Status-bar part 0: the number of tracks in the list.
void ShowTrackCount();
// Frees the current stream, if any.
void ReleaseCurrentStream();
