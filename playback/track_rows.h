// The rows of the track list: the current book's files in list order, and under the file
// playing, when it has chapters, a row for each chapter. trackIndex counts files only; this is
// the one place that maps rows to files and chapters.
#pragma once

#include <functional>

#include "engine/bass.h"
#include "playback/track_open.h"

// Makes the file's row current at once (trackIndex, the list's selection), so commands that
// follow go on from it, and opens the file (see OpenTrack). A file the list does not have
// changes nothing.
void OpenRow(int file, std::function<void()> refused = ReportUnplayable);
// The same, with the place and the playing as OpenTrackAt has them.
void OpenRowAt(int file, double seconds, bool play, std::function<void()> refused, std::function<void()> accepted);
// The listener chose a row: a file's row opens the file, a chapter's row plays from its start.
void ChooseRow(int row);
// Lists the current stream's chapters under the row of the file it plays (trackIndex).
void ShowChapters();
// The chapter at position in the current stream; -1 for a file without chapters.
int ChapterAt(QWORD position);
// Plays the current stream from the start of chapter i, its row current.
void PlayChapter(int chapter);
// Makes the row of the chapter heard at position current when playback has crossed into another.
void FollowChapter(QWORD position);
