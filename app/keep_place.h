// The place heard last reaches the disk however the program ends: a signal, a crash, the
// display going away, the session or the computer shutting down.
#pragma once

class MainWindow;

// Installs the signal handlers, the exit hook and the session watchers for window's run.
void KeepPlaceThroughEndings(MainWindow* window);
