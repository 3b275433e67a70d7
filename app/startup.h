// Start-up: the window's initialisation, the engine's plug-ins and the run of the player.
#pragma once

#include <QString>

extern const QString appTitle;

// Sets up the window's controls, starts the engine, restores the settings and resumes the
// current book. False when the engine could not start (the listener has been told).
bool InitMainWindow();
void LoadEnginePlugins();
// Creates the window, connects its signals to the handlers, initialises and shows it.
// Returns false when start-up failed (the window is gone then).
bool StartPlayer();
// The whole program after the single-instance check: StartPlayer and the event loop.
int RunPlayer();
