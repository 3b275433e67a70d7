// The engine's own name, and the FFmpeg it decodes with. Its version number is BASS_GetVersion.
#pragma once

constexpr const char* TELLWICK_ENGINE_NAME = "Tellwick Audio";

// The FFmpeg release the engine runs on, as FFmpeg states it (may carry a packager's suffix).
const char* TELLWICK_FFmpegVersion();
