#include "books/settings_file.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "app/app_state.h"
#include "books/data_file_warning.h"
#include "books/file_io.h"
#include "books/save_writer.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

#include <QSlider>

namespace {

constexpr int kSliderIds[5] = {ids::EqBand100, ids::EqBand3k, ids::EqBand12k, ids::ReverbSlider, ids::VolumeSlider};

void MarkUnusable(int error) {
    if (app.settingsFileUnusable)
        return;
    app.settingsFileUnusable = true;
    WarnDataFileUnusable(app.settingsPath, error);
}

std::int32_t& PositionField(int slider) {
    return slider < 4 ? app.settings.effectPos[slider] : app.settings.volumePos;
}

void MoveSlidersToRecord() {
    for (int i = 0; i < 5; ++i)
        app.mainWindow->setSliderPosition(kSliderIds[i], PositionField(i));
}

// Hands the record over to replace the file atomically; a failure is shown and tried again at
// the next save.
void WriteSettingsFile() {
    const std::string bytes(reinterpret_cast<const char*>(&app.settings), sizeof app.settings);
    HandOverWrite("settings", DataFile::Settings, app.settingsPath,
                  [path = app.settingsPath, bytes] { return WriteFileAtomically(path, bytes); });
}

} // namespace

void LoadSettings() {
    struct stat info;
    if (stat(app.settingsPath.c_str(), &info) != 0 && errno == ENOENT) {
        app.settings = SettingsRecord{};
        for (int i = 0; i < 5; ++i)
            PositionField(i) = 10;
        MoveSlidersToRecord();
        // Written on the writer thread; until then the defaults stand, as after a failed creation.
        WriteSettingsFile();
        return;
    }
    std::string bytes;
    if (const int error = ReadRegularFile(app.settingsPath, sizeof app.settings, bytes); error != 0) {
        // Exists but cannot be read: never taken for a missing file, never overwritten.
        // Missing after all (removed meanwhile): the defaults stand and the next save writes it.
        if (error != ENOENT)
            MarkUnusable(error);
        return;
    }
    // A short file leaves the fields it does not cover as they were.
    std::memcpy(&app.settings, bytes.data(), bytes.size());
    if (app.settings.currentBook < 0 || app.settings.currentBook >= kBookCount)
        app.settings.currentBook = 0;
    app.mainWindow->selectTab(app.settings.currentBook);
    if (app.settings.showRemaining != 0)
        app.mainWindow->setRemainingChecked(true);
    MoveSlidersToRecord();
    // Out-of-range positions stand at the nearer end of the slider; that is what gets saved.
}

void SaveSettings() {
    for (int i = 0; i < 5; ++i)
        PositionField(i) = app.mainWindow->slider(kSliderIds[i])->value();
    if (app.settingsFileUnusable)
        return;
    WriteSettingsFile();
}
