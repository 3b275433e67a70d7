// The small modal dialogs and boxes the main window opens. Each goes through a seam that
// tests can replace, so no modal box blocks a test; production code uses the same calls.
#pragma once

#include <functional>
#include <optional>
#include <QString>

class QWidget;

// Warning box captioned "Ошибка", owned by owner, its long lines shortened in the middle. While
// one is open, a further warning replaces its text and returns at once.
void ShowWarning(QWidget* owner, const QString& text);
// Replaces what ShowWarning does (nullptr restores the real box).
void SetWarningSeam(std::function<void(const QString& text)> seam);

// The open-file dialog with the playable-formats and all-files filters, starting at
// startPath. Returns the picked path, or nothing on cancel.
std::optional<QString> PickAudioFile(QWidget* owner, const QString& startPath);
void SetPickAudioFileSeam(std::function<std::optional<QString>(const QString& startPath)> seam);

// The About box (modal, no buttons, closes through its close box or Escape). versionText fills
// control 1035.
void RunAboutDialog(QWidget* owner, const QString& versionText);

// The sleep-timer dialog, asking when to power off or (pause) when to pause. Returns the entry's
// text (at most 7 characters) when OK or Enter was pressed, nothing when the dialog was closed
// (its close box or Escape).
std::optional<QString> RunSleepDialog(QWidget* owner, bool pause);
