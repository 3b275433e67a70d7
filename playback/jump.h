// Jumps back and forward in the book: by the files' own time whatever the speed, over the
// starts of a folder's files, held at the book's ends.
#pragma once

// Moves the place by seconds (negative: back). Playback goes on, or stays paused.
void JumpBy(double seconds);
