// A file or folder named from outside the open-file dialog: the command line, a launch
// handed over to the running player, a desktop client, a drop on the window.
#pragma once

#include <QString>
#include <functional>

#include "playback/track_open.h"

// Opens path for the current book as picking it in "Добавить папку" does; a folder opens
// its first track in list order. A relative path is taken from the working folder. A path
// that does not exist, or a folder without tracks, is reported and changes nothing.
// Returns whether a file is being opened; one that cannot be played runs refused.
bool OpenPathForCurrentBook(const QString& path, std::function<void()> refused = ReportUnplayable);
