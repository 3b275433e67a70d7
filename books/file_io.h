// File access for the player's own files: never blocks on a FIFO or a device, and a file
// replaced whole is either its old or its new content after a crash.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

// open(2) with O_NONBLOCK and O_CLOEXEC added, refusing anything but a regular file (errno
// EISDIR). Async-signal-safe.
int OpenRegularFile(const char* path, int flags, mode_t mode = 0644);
// Reads up to `limit` bytes from the start of a regular file into `bytes`. 0 or an errno
// value; a read error is an error, not a short file.
int ReadRegularFile(const std::string& path, std::size_t limit, std::string& bytes);
// Replaces the file's content: a synced temporary beside it is renamed over it and the folder
// synced. 0 or an errno value.
int WriteFileAtomically(const std::string& path, std::string_view bytes);
