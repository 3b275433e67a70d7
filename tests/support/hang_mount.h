// A FUSE pass-through of a folder whose reads block on demand, as a stalled network share's do
// (tests/support/hang_mount.py). Needs /dev/fuse and fusermount3.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/fixtures.h"

namespace testsupport {

class HangMount {
public:
    HangMount() = default;
    // Releases any hang, then unmounts (lazily, so a reader still inside lets go later).
    ~HangMount();
    HangMount(const HangMount&) = delete;
    HangMount& operator=(const HangMount&) = delete;

    // Mounts source; returns the mount point, or an empty string (with the reason in
    // failure()) where FUSE cannot be used.
    std::string mount(const std::string& source);
    const std::string& failure() const { return failure_; }
    // While on, every read of a file under the mount point blocks.
    void hang(bool on);

private:
    TempDir dir_;
    std::string mountPoint_;
    std::string failure_;
    pid_t pid_ = -1;
};

} // namespace testsupport
