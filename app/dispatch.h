// Connects the window's signals (the listener's actions and the timer) to the handlers.
#pragma once

#include <QString>

class MainWindow;

void ConnectWindowSignals(MainWindow* window);
// Menu command: toggles the remaining-time display.
void ToggleRemainingTime();
// Menu command: the About box with the engine's version.
void ShowAbout();
// "BASS ver. %x.%X" of the engine's version, with every '0' shown as '.'.
QString EngineVersionText();
