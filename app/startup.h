// Start-up: the window's initialisation, the engine's plug-ins and the run of the player.
#pragma once

#include <QString>

extern const QString appTitle;

// Sets up the window's controls, starts the engine, restores the settings and resumes the
// current book, or opens openPath for it when one is given and exists.
// False when the engine could not start (the listener has been told).
bool InitMainWindow(const QByteArray& openPath = {});
void LoadEnginePlugins();
// Creates the window, connects its signals to the handlers, initialises and shows it.
// Returns false when start-up failed or an exit was asked for during it (the window is gone then).
bool StartPlayer(const QByteArray& openPath = {});
// The whole program after the single-instance check: StartPlayer and the event loop.
int RunPlayer(const QByteArray& openPath = {});
