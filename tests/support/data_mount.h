// A data folder on a failing share: a FUSE pass-through (data_mount.py) whose writes and syncs
// stall, or whose reads of chosen files fail with EIO, on demand.
#pragma once

#include <string>
#include <sys/types.h>

#include "support/fixtures.h"

namespace testsupport {

class DataMount {
public:
    DataMount();
    ~DataMount();
    DataMount(const DataMount&) = delete;
    DataMount& operator=(const DataMount&) = delete;
    // Why the mount could not be made (no /dev/fuse, no fusepy); empty once mounted.
    const std::string& failure() const { return failure_; }
    // The mounted folder, and the same files reached directly.
    const std::string& path() const { return mount_.path(); }
    std::string source(const std::string& name) const { return source_.file(name); }
    void stallWrites(bool on);
    void failReadsOf(const std::string& name);

private:
    TempDir source_, mount_, control_;
    pid_t pid_ = -1;
    std::string failure_;
};

} // namespace testsupport
