// When each book was last heard, by the wall clock, so a book picked up again (also the next
// evening, after a restart) knows how long it went unheard. Kept in "heard.txt" beside the data
// files, written with the place: in place while playing, replaced whole and synced when the
// place is synced.
#pragma once

#include <cstdint>
#include <functional>

// Reads the file; a missing or damaged file (or line) leaves that book's moment unknown.
void LoadLastHeard();
// Milliseconds since the current book was last heard; -1 when that is not known.
std::int64_t CurrentBookUnheardMs();
// The current book is heard at this moment.
void NoteHeardNow();
// The current book's moment no longer counts (the listener chose the place to go on from).
void ForgetHeard();
// Hands the file to the writer: synced and replaced whole (durable), or written in place.
void WriteLastHeard(bool durable);

// The wall clock in milliseconds since the epoch; tests answer for it through the seam.
std::int64_t WallClockMs();
void SetWallClockSeam(std::function<std::int64_t()> clock);
