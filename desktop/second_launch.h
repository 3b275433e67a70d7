// A second launch while a player runs: the running one comes forward instead.
#pragma once

// Asks the running player, over the session bus, to bring its window forward. Waits a
// bounded time; false when there was no bus or no answer.
bool RaiseRunningPlayer();
