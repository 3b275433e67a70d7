// What the engine tells of the current stream on its own threads, brought to the window's
// thread: the end of the track, the sound server away and back, the file stalled and flowing.
#pragma once

#include <string>

#include "engine/bass.h"

// Arms the news of stream, which plays the file at path.
void ArmStreamNews(HSTREAM stream, const std::string& path);
// What the end of the current track does (the advance); set once at start-up.
void SetTrackEndHandler(void (*handler)());
