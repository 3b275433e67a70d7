#include "books/settings_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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

// Opens without blocking on a FIFO or a device; anything but a regular file is refused.
std::FILE* OpenRegular(const std::string& path, int flags, const char* mode) {
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        return fdopen(fd, mode);
    if (fd >= 0) {
        close(fd);
        errno = EISDIR;
    }
    return nullptr;
}

// Writes the record to a temporary file beside the settings file and renames it over,
// so a crash mid-save never leaves a truncated file. A failure is shown and tried again
// at the next save.
void WriteSettingsFile() {
    const std::string temp = app.settingsPath + ".tmp";
    std::FILE* file = OpenRegular(temp, O_WRONLY | O_CREAT | O_TRUNC, "wb");
    bool ok = file && std::fwrite(&app.settings, sizeof app.settings, 1, file) == 1 && std::fflush(file) == 0 &&
              fdatasync(fileno(file)) == 0;
    int error = errno;
    if (file)
        ok = (std::fclose(file) == 0) && ok;
    if (ok && std::rename(temp.c_str(), app.settingsPath.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok && file)
        std::remove(temp.c_str());
    NoteWriteOutcome(DataFile::Settings, app.settingsPath, ok ? 0 : error);
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
    std::FILE* file = OpenRegular(app.settingsPath, O_RDONLY, "rb");
    if (!file) {
        // Exists but cannot be read: never taken for a missing file, never overwritten.
        // Missing after a failed creation: the defaults stand and the next save tries again.
        if (errno != ENOENT)
            MarkUnusable(errno);
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
