// A file's integrated loudness (EBU R128), decoded through the engine.
#pragma once

#include <functional>
#include <optional>
#include <string>

// LUFS, or nothing for a file that cannot be measured: refused by the engine, cut short by a
// read error, or without sound above the standard's absolute gate. Stops early (with nothing)
// once abandon() says so; it is asked between blocks of a fraction of a second of sound.
std::optional<double> MeasureLoudness(const std::string& path, const std::function<bool()>& abandon);
