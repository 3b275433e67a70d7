// A data folder on a failing share: a FUSE pass-through (data_mount.py) of `source` at `path`
// whose writes and syncs stall, or whose reads of chosen files fail with EIO, on demand.
#pragma once

#include "support/fixtures.h"

namespace testsupport {

struct DataMount {
    DataMount();
    ~DataMount();
    void stallWrites(bool on);
    void failReadsOf(const std::string& name);
    TempDir source, path, control;
    pid_t pid = -1;
    std::string failure; // why it could not be mounted (no /dev/fuse, no fusepy); empty once mounted
};

} // namespace testsupport
