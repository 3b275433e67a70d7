#include "levelling/levelling.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "app/app_state.h"
#include "levelling/loudness_worker.h"

namespace {

// The top of the range audiobooks are produced at.
constexpr double kTargetLufs = -18;
// A quiet recording is raised this much at most: beyond it, its noise would be raised as well.
constexpr double kMostBoostDb = 15;
constexpr double kMostCutDb = -20;

// Window's thread only: what the measuring thread has told of each file.
std::unordered_map<std::string, std::optional<double>> loudness;
std::string playing;
// Grows whenever what was told may have gone stale: news asked for before is dropped.
int asked = 0;

// Looked at afresh next time: a file changed meanwhile gets no stale gain.
void Forget() {
    DropLoudnessRequests();
    loudness.clear();
    ++asked;
}

void ApplyGain() {
    if (app.currentStream == 0)
        return;
    float value = TELLWICK_LEVEL_OFF;
    if (app.options.levelLoudness) {
        // Until a file is measured it plays as it is; one that cannot be measured stays so.
        const auto found = loudness.find(playing);
        value = found == loudness.end() || !found->second
                    ? 0.0f
                    : float(std::clamp(kTargetLufs - *found->second, kMostCutDb, kMostBoostDb));
    }
    BASS_ChannelSetAttribute(app.currentStream, TELLWICK_ATTRIB_LEVEL, value);
}

void Measured(const LoudnessResults& results) {
    bool current = false;
    for (const auto& [path, lufs] : results) {
        loudness[path] = lufs;
        current = current || path == playing;
    }
    if (current)
        ApplyGain();
}

void AskForLoudness() {
    if (!app.options.levelLoudness || playing.empty()) {
        Forget();
        return;
    }
    const auto slash = app.bookSlotPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : app.bookSlotPath.substr(0, slash);
    RequestLoudness(playing, folder + "/loudness.txt", [request = asked](const LoudnessResults& results) {
        if (request == asked)
            Measured(results);
    });
}

} // namespace

void LevelTrack(const std::string& path) {
    playing = path;
    ApplyGain();
    AskForLoudness();
}

void LevellingSwitched() {
    ApplyGain();
    AskForLoudness();
}

void StopLevelling() {
    Forget();
    playing.clear();
}
