#include "playback/speed.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>
#include <string>

#include "app/app_state.h"
#include "books/file_io.h"
#include "books/save_writer.h"
#include "engine/tempo.h"
#include "playback/smart_rewind.h"
#include "ui/main_window.h"

namespace {

constexpr double kStep = 0.1;
constexpr std::size_t kSpeedsFileLimit = 4096;

std::string SpeedsPath() {
    const auto slash = app.bookSlotPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : app.bookSlotPath.substr(0, slash);
    return folder + "/speeds.txt";
}

double Normalised(double speed) {
    return std::round(std::clamp(speed, engine::Tempo::minSpeed, engine::Tempo::maxSpeed) * 100) / 100;
}

// One line per book, a plain decimal with a point whatever the locale; written on the writer
// thread, a failure shown as the other data files' are.
void SaveBookSpeeds() {
    std::string text;
    for (double speed : app.bookSpeeds) {
        char number[32];
        const auto end = std::to_chars(number, number + sizeof number, speed).ptr;
        text.append(number, end).push_back('\n');
    }
    const std::string path = SpeedsPath();
    HandOverWrite("speeds", DataFile::Speeds, path, [path, text] { return WriteFileAtomically(path, text); });
}

void ShowSpeed() {
    if (app.mainWindow)
        app.mainWindow->showSpeed(CurrentSpeed());
}

} // namespace

void LoadBookSpeeds() {
    std::fill(std::begin(app.bookSpeeds), std::end(app.bookSpeeds), 1.0);
    // Never blocks on a FIFO; a file that cannot be read means normal speeds, like a missing one.
    std::string bytes;
    ReadRegularFile(SpeedsPath(), kSpeedsFileLimit, bytes);
    std::istringstream in(bytes);
    std::string line;
    for (double& speed : app.bookSpeeds) {
        if (!std::getline(in, line))
            break;
        double value = 0;
        const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
        if (error == std::errc() && end == line.data() + line.size() && value >= engine::Tempo::minSpeed &&
            value <= engine::Tempo::maxSpeed)
            speed = Normalised(value);
    }
    ShowSpeed();
}

double CurrentSpeed() {
    const int book = app.settings.currentBook;
    return book >= 0 && book < kBookCount ? app.bookSpeeds[book] : 1.0;
}

void SetSpeed(double speed) {
    const int book = app.settings.currentBook;
    if (std::isnan(speed) || book < 0 || book >= kBookCount)
        return;
    speed = Normalised(speed);
    if (speed != app.bookSpeeds[book]) {
        app.bookSpeeds[book] = speed;
        SaveBookSpeeds();
    }
    ApplySpeed();
}

void StepSpeed(int direction) {
    SetSpeed(CurrentSpeed() + direction * kStep);
}

void ApplySpeed() {
    if (app.currentStream != 0)
        BASS_ChannelSetAttribute(app.currentStream, BASS_ATTRIB_TEMPO, float((CurrentSpeed() - 1.0) * 100.0));
    ShowSpeed();
}

void StopAtHeardPlace() {
    if (app.currentStream == 0)
        return;
    BASS_ChannelPause(app.currentStream);
    const QWORD position = BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE);
    if (position != QWORD(-1))
        app.bookRecord.position = std::int64_t(position);
    NoteBookLeft(position);
}
