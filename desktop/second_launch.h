// A second launch while a player runs: the running one takes over its work and comes forward.
#pragma once

#include <QByteArray>

// Over the session bus: hands path (when given, the file system's bytes; relative to this process's working folder)
// to the running player to open for its current book, then asks it to bring its window
// forward. Waits at most 3 s in all; false when there was no bus or no answer in time.
bool HandOverToRunningPlayer(const QByteArray& path);
