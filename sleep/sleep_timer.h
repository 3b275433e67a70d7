// The sleep timer: a countdown that saves, quits and powers the computer off, or one that fades
// and pauses, or a pause at the end of the chapter heard.
#pragma once

#include <cstdint>
#include <functional>
#include <time.h>
#include <QString>

#include "app/app_state.h"

// Menu commands: ask for the minutes and arm the countdown to power off or to pause; arm the
// pause at the end of the chapter; disarm whichever runs, the volume back if the fade had begun.
void OpenSleepDialog(AppState::SleepEnd end);
void PauseAtChapterEnd();
void CancelSleepTimer();
// Arms (or re-arms) the countdown from the entry's text; text that is not a positive number arms nothing.
void ArmSleepTimer(const QString& entry, AppState::SleepEnd end = AppState::SleepEnd::PowerOff);
// A play/pause press during the fade restarts the countdown at its full length with the volume
// back. True when that is all the press does: playback goes on instead of pausing.
bool ExtendSleepTimer();
// The tick's sleep step: shows the countdown and fires when the time is up.
void SleepStep();

// The countdown's clock in whole seconds: monotonic, so neither a suspend nor a change of the
// wall clock counts. Tests answer for every clock the system is asked about through the seam.
std::int64_t SleepClockSeconds();
void SetClockSeam(std::function<std::int64_t(clockid_t)> clock);
