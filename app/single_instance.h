// One player at a time: exclusive locks on files named after the window title, one in the
// runtime folder and one in the data folder.
#pragma once

#include <QString>

// False when another process holds a lock; true otherwise, also when no lock could be had
// at all (the player then runs unguarded rather than not at all).
bool AcquireSingleInstanceLock(const QString& title);
// True when no lock could be had.
bool SingleInstanceUnguarded();
