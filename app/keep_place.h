// The place heard last reaches the disk however the program ends: a signal, a crash, the
// display going away, the session or the computer shutting down.
#pragma once

class MainWindow;

// Called in main() before any thread starts, so every thread inherits the block: ending signals
// are then taken by the window's thread alone, which reads them (KeepPlaceThroughEndings).
// Programs it starts would inherit the block too: the player starts none.
void BlockEndingSignals();
// Installs the signal handlers, the exit hook and the session watchers for window's run; made
// before start-up reads anything, so its boxes answer the ending signals too.
void KeepPlaceThroughEndings(MainWindow* window);
