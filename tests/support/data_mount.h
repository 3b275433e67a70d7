// A data folder on a failing share: a FUSE pass-through (data_mount.py) of `source` at `path`
// whose writes and syncs stall, reads stall, reads of chosen files fail with EIO, or new blocks
// fail with ENOSPC (a full disk), on demand. Needs /dev/fuse, fuse3 and python3-fusepy.
#pragma once

#include "support/fixtures.h"

namespace testsupport {

struct DataMount {
    DataMount();
    ~DataMount();
    void stallWrites(bool on);
    void stallReads(bool on);
    void failReadsOf(const std::string& name);
    void fill(bool on);
    TempDir source, path, control;
    pid_t pid = -1;
    std::string failure; // why it could not be mounted (no /dev/fuse, no fusepy); empty once mounted
};

} // namespace testsupport
