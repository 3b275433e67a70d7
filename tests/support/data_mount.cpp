#include "support/data_mount.h"

#include <fstream>
#include <sys/stat.h>

namespace testsupport {

DataMount::DataMount() {
    pid = spawn({"/usr/bin/python3", std::string(TELLWICK_SOURCE_DIR) + "/tests/support/data_mount.py", source.path(),
                 path.path(), control.path()});
    struct stat here, parent;
    if (!WaitUntil([&] { return stat(path.path().c_str(), &here) == 0 && stat(control.path().c_str(), &parent) == 0 &&
                                here.st_dev != parent.st_dev; }, 10000))
        failure = "data_mount.py did not mount (/dev/fuse, fuse3 and python3-fusepy are needed)";
}

DataMount::~DataMount() {
    stallWrites(false);
    stallReads(false);
    run("fusermount3 -u -z " + shellQuote(path.path()));
    stopProcess(pid);
}

void DataMount::stallWrites(bool on) {
    on ? void(std::ofstream(control.file("hang"))) : void(std::remove(control.file("hang").c_str()));
}

void DataMount::stallReads(bool on) {
    on ? void(std::ofstream(control.file("hang-reads"))) : void(std::remove(control.file("hang-reads").c_str()));
}

void DataMount::fill(bool on) {
    on ? void(std::ofstream(control.file("full"))) : void(std::remove(control.file("full").c_str()));
}

void DataMount::failReadsOf(const std::string& name) {
    std::ofstream(control.file("eio"), std::ios::app) << name << '\n';
}

} // namespace testsupport
