// The loudness of the files a listener plays, measured once on a thread of its own at idle CPU
// and disk priority, and kept in a cache file beside the data files: a file whose size or
// modification time has changed since is measured again.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Files and their LUFS (nothing for a file that cannot be measured).
using LoudnessResults = std::vector<std::pair<std::string, std::optional<double>>>;
using LoudnessNews = std::function<void(const LoudnessResults& results)>;

// Replaces what the thread was asked before: path first, then the other playable files of its
// folder, each reaching news on the window's thread (those already in the cache together, at
// once). A file being measured for an earlier request is left unless it is path.
void RequestLoudness(const std::string& path, const std::string& cacheFile, LoudnessNews news);
// The thread stops measuring and waits for the next request, without waiting for it here.
void DropLoudnessRequests();
