// The sleep timer: a countdown that saves, quits and powers the computer off.
#pragma once

#include <cstdint>
#include <functional>
#include <QString>

// Menu command: asks for the minutes and arms the timer.
void OpenSleepDialog();
// Arms (or re-arms) the timer from the entry's text; text that is not a positive number arms nothing.
void ArmSleepTimer(const QString& entry);
// The tick's sleep step: shows the countdown and fires when the time is up.
void SleepStep();

// The wall clock in whole seconds since the epoch; tests drive it through the seam.
std::int64_t WallClockSeconds();
void SetWallClockSeam(std::function<std::int64_t()> clock);
