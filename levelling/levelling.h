// Loudness levelling as the listener switches it: every file brought to one loudness by a gain
// on its stream, once its loudness is known.
#pragma once

#include <string>

// A file opened for playing at path, its stream current and not yet heard: it gets the gain of
// its measured loudness at once, and is measured first if it has not been.
void LevelTrack(const std::string& path);
// The menu item was switched: the current stream glides to or from its gain.
void LevellingSwitched();
// At exit: nothing more is measured or applied in this run.
void StopLevelling();
