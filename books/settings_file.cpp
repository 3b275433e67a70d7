#include "books/settings_file.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app_state.h"
#include "books/data_file_warning.h"
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

// Writes the record to a temporary file beside the settings file and renames it over,
// so a crash mid-save never leaves a truncated file.
void WriteSettingsFile() {
    const std::string temp = app.settingsPath + ".tmp";
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file) {
        MarkUnusable(errno);
        return;
    }
    bool ok = std::fwrite(&app.settings, sizeof app.settings, 1, file) == 1 && std::fflush(file) == 0 &&
              fdatasync(fileno(file)) == 0;
    int error = errno;
    ok = (std::fclose(file) == 0) && ok;
    if (ok && std::rename(temp.c_str(), app.settingsPath.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        std::remove(temp.c_str());
        MarkUnusable(error);
    }
}

} // namespace

void LoadSettings() {
    struct stat info;
    if (stat(app.settingsPath.c_str(), &info) != 0 && errno == ENOENT) {
        app.settings = SettingsRecord{};
        for (int i = 0; i < 5; ++i)
            PositionField(i) = 10;
        MoveSlidersToRecord();
        WriteSettingsFile();
    }
    std::FILE* file = std::fopen(app.settingsPath.c_str(), "rb");
    if (!file || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        // Exists but cannot be read: never taken for a missing file, never overwritten.
        MarkUnusable(file ? EISDIR : errno);
        if (file)
            std::fclose(file);
        return;
    }
    // A short file leaves the fields it does not cover as they were.
    (void)std::fread(&app.settings, 1, sizeof app.settings, file);
    std::fclose(file);
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
