// What the listener is told about the data files.
#pragma once

#include <string>

enum class DataFile { BookSlots = 1, Settings = 2, Speeds = 4, Options = 8, LastHeard = 16 };

// A data file that exists but cannot be read: shown once at the moment it is found, after
// which the file is left alone for the run. `error` is an errno value.
void WarnDataFileUnusable(const std::string& path, int error);
// The outcome of a write (error 0 = written), on the window's thread. A failure puts a notice
// on the title line instead of the track's title, without stopping anything; the title comes
// back once every data file has been written again, unless something else has been shown since.
void NoteWriteOutcome(DataFile file, const std::string& path, int error);
