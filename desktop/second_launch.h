// A second launch while a player runs: the running one takes over its work and comes forward.
#pragma once

#include <QString>

// Over the session bus: hands path (when given; relative to this process's working folder)
// to the running player to open for its current book, then asks it to bring its window
// forward. Each call waits a bounded time; false when there was no bus or no answer.
bool HandOverToRunningPlayer(const QString& path);
