// Smart rewind: a book picked up again after it went unheard (a pause, another book, a restart)
// goes on a little before where it stopped, by how long that was, and from the start of the
// phrase there, so the listener does not come back into the middle of a sentence.
#pragma once

#include "engine/bass.h"

// How far back the current book goes on, in seconds of the file, by how long it went unheard;
// 0 with the option off or the moment unknown.
double ResumeBackSeconds();
// Any thread: seeks stream to position, or with backSeconds to that much earlier, never before
// the start of the chapter (or file) holding position, and then into a pause in speech within the
// 2 s before that place, never before that start either. False when the stream refuses position.
bool SeekBack(HSTREAM stream, QWORD position, double backSeconds);

// The listener paused the current stream at position.
void NoteStopped(QWORD position);
// Before a paused stream plays again: it goes back when due, once, unless the listener has moved
// the place meanwhile.
void RewindForResume();
// The listener leaves the current book (another book, the exit) with its stream at position.
void NoteBookLeft(QWORD position);
