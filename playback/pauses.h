// Shorter pauses: the listener's option applied to the stream, and the listening time it saves,
// counted over the whole run (every book and file together).
#pragma once

#include "engine/bass.h"

// Applies the option to the current stream; at each track opening and when the option is toggled.
void ApplyPauseShortening();
// Adds what the stream's shortened pauses have saved to the run's count; before it is freed.
void KeepTimeSaved(HSTREAM stream);
// Once the run's saving reaches a minute, the time part's tooltip tells it.
void ShowTimeSaved();
