// Listening speed, one per book, kept in a small file of its own beside the data files.
#pragma once

// Reads every book's speed; a missing or damaged file (or line) means normal speed.
void LoadBookSpeeds();
// The current book's speed.
double CurrentSpeed();
// Sets the current book's speed (clamped to 0.5..3.0, in hundredths), applies it to the
// stream, shows it and saves the file. Menu, keys and MPRIS all come through here.
void SetSpeed(double speed);
// One step of 0.1x up (+1) or down (-1).
void StepSpeed(int direction);
// Applies the current book's speed to the current stream and shows it; at each track opening.
void ApplySpeed();
// Where the listener leaves a book (a tab switch, the exit): the sound stops and the place heard
// at that moment goes into the book's record. The tick's copy may be 100 ms old, which at 3x
// is 300 ms of the book.
void StopAtHeardPlace();
