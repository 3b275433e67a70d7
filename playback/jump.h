// Jumps back and forward in the book: by the files' own time whatever the speed, over the
// starts of a folder's files, never past the book's start or end (forward near the end goes to
// the end, where the book ends as when heard through).
#pragma once

// Moves the place by seconds (negative: back). Playback goes on, or stays paused.
void JumpBy(double seconds);
