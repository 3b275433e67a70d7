// One player at a time: an exclusive lock on a file named after the window title.
#pragma once

#include <QString>

// True when this process now holds the lock (kept until the process ends).
// False when another process holds it or the lock file cannot be opened.
bool AcquireSingleInstanceLock(const QString& title);
