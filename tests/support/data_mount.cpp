#include "support/data_mount.h"

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

bool Mounted(const std::string& path) {
    struct stat here, parent;
    return stat(path.c_str(), &here) == 0 && stat((path + "/..").c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
}

} // namespace

DataMount::DataMount() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        failure_ = "/dev/fuse cannot be opened";
        return;
    }
    pid_ = spawn({"/usr/bin/python3", std::string(TELLWICK_SOURCE_DIR) + "/tests/support/data_mount.py",
                  source_.path(), mount_.path(), control_.path()});
    if (!WaitUntil([&] { return Mounted(mount_.path()); }, 10000))
        failure_ = "data_mount.py did not mount (fuse3 and python3-fusepy needed)";
}

DataMount::~DataMount() {
    stallWrites(false);
    run("fusermount3 -u -z " + shellQuote(mount_.path()));
    stopProcess(pid_);
}

void DataMount::stallWrites(bool on) {
    if (on)
        std::ofstream(control_.file("hang"));
    else
        std::remove(control_.file("hang").c_str());
}

void DataMount::failReadsOf(const std::string& name) {
    std::ofstream(control_.file("eio"), std::ios::app) << name << '\n';
}

} // namespace testsupport
