// Connects the window's signals (the listener's actions and the timer) to the handlers.
#pragma once

#include <QString>

class MainWindow;

void ConnectWindowSignals(MainWindow* window);
// Menu command: toggles the remaining-time display.
void ToggleRemainingTime();
// Menu command: the About box with the engine's version.
void ShowAbout();
// The engine in use: its name and dotted version, and on a second line the FFmpeg release.
QString EngineVersionText();
