// The opener: files are opened for playing on a thread of its own, so a slow or hung file or
// sound server never holds up the window. The newest request wins.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "engine/bass.h"
#include "playback/effects.h"

extern const char* const titleTemplate;

// A file opened, described and set up, not yet heard.
struct OpenedTrack {
    HSTREAM stream = 0; // 0: the file cannot be played
    StreamEffects effects{};
    std::int64_t startPosition = 0; // where playback starts: 0 when the engine refused the place asked for
    float sizeMebibytes = 0;
    DWORD sampleRate = 0;
    DWORD channels = 0;
    double durationSeconds = 0;
    QWORD fileBytes = 0;
    std::string tags; // the title template expanded; empty for a file without tags
};

// Opens path with levels, placed at startPosition less backSeconds (SeekBack), and hands the
// result to done on the window's thread. A request not yet started when a newer one comes is
// dropped; a result for a request that another has followed is freed, and its done never runs.
// With startSeconds the place is a time instead: seconds into the file, or when negative
// counted back from its end (only the open learns the length), held within the file.
void RequestOpen(const std::string& path, std::int64_t startPosition, double backSeconds, const EffectLevels& levels,
                 std::function<void(const OpenedTrack&)> done, std::optional<double> startSeconds = std::nullopt);
// A request whose result has not reached the window yet.
bool OpenPending();
// At exit: every request so far is dropped without waiting; results still to come are freed.
void DropOpens();
