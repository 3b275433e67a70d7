// The end of a track: the engine reports it on its own thread; the advance runs on the
// window's thread as one unit.
#pragma once

#include "engine/bass.h"

// Arms the end-of-stream sync of stream, and the one telling that the sound server is away.
void ArmTrackEnd(HSTREAM stream);
// The advance: release the stream and open the next row that plays (wrapping).
void OnTrackEnd();
