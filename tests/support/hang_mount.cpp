#include "support/hang_mount.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace testsupport {

namespace {

bool mounted(const std::string& path) {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, rest;
    while (mounts >> device >> point && std::getline(mounts, rest))
        if (point == path)
            return true;
    return false;
}

} // namespace

std::string HangMount::mount(const std::string& source) {
    const int fuse = open("/dev/fuse", O_RDWR);
    if (fuse < 0) {
        failure_ = "/dev/fuse cannot be opened";
        return {};
    }
    close(fuse);
    const std::string point = dir_.file("mnt");
    std::filesystem::create_directories(point);
    std::filesystem::create_directories(dir_.file("control"));
    // Debian's fusepy module lives with the system's python, not a python found first on PATH.
    pid_ = spawn({"/usr/bin/python3", TELLWICK_SOURCE_DIR "/tests/support/hang_mount.py", source, point,
                  dir_.file("control")},
                 {}, "/dev/null", dir_.file("log"));
    bool exited = false;
    WaitUntil([&] { return mounted(point) || (exited = waitpid(pid_, nullptr, WNOHANG) == pid_); }, 10000, 20);
    if (!mounted(point)) {
        failure_ = "the FUSE mount did not come up (python3-fusepy, fuse3 and a usable /dev/fuse are needed)";
        if (exited)
            pid_ = -1;
        stopProcess(pid_);
        return {};
    }
    mountPoint_ = point;
    return point;
}

void HangMount::hang(bool on) {
    const std::string flag = dir_.file("control/hang");
    if (on)
        std::ofstream{flag};
    else
        std::filesystem::remove(flag);
}

HangMount::~HangMount() {
    if (pid_ <= 0)
        return;
    hang(false);
    if (!mountPoint_.empty())
        run("fusermount3 -u -z " + shellQuote(mountPoint_));
    // The pass-through ends by itself once unmounted.
    if (!WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, 3000, 20))
        stopProcess(pid_);
    pid_ = -1;
}

} // namespace testsupport
