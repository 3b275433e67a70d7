// The rows of the track list: the current book's files in list order.
#pragma once

#include <functional>

#include "playback/track_open.h"

// Makes row current at once (trackIndex, the list's selection), so commands that follow go on
// from it, and opens its file (see OpenTrack). A row the list does not have changes nothing.
void OpenRow(int row, std::function<void()> refused = ReportUnplayable);
