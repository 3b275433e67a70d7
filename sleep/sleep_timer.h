// The sleep timer: a countdown that saves, quits and powers the computer off.
#pragma once

#include <cstdint>
#include <functional>
#include <time.h>
#include <QString>

// Menu command: asks for the minutes and arms the timer.
void OpenSleepDialog();
// Arms (or re-arms) the timer from the entry's text; text that is not a positive number arms nothing.
void ArmSleepTimer(const QString& entry);
// The tick's sleep step: shows the countdown and fires when the time is up.
void SleepStep();

// The countdown's clock in whole seconds: monotonic, so neither a suspend nor a change of the
// wall clock counts. Tests answer for every clock the system is asked about through the seam.
std::int64_t SleepClockSeconds();
void SetClockSeam(std::function<std::int64_t(clockid_t)> clock);
