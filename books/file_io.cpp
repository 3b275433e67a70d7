#include "books/file_io.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int CloseKeepingError(int fd, int error) {
    close(fd);
    return error;
}

} // namespace

int OpenRegularFile(const char* path, int flags, mode_t mode) {
    // Checked before opening too: opening some devices has effects of its own.
    struct stat info;
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    const int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

int ReadRegularFile(const std::string& path, std::size_t limit, std::string& bytes) {
    bytes.clear();
    const int fd = OpenRegularFile(path.c_str(), O_RDONLY);
    if (fd < 0)
        return errno;
    bytes.resize(limit);
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = read(fd, bytes.data() + got, limit - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            bytes.clear();
            return CloseKeepingError(fd, errno);
        }
        if (n == 0)
            break;
        got += std::size_t(n);
    }
    bytes.resize(got);
    return CloseKeepingError(fd, 0);
}

int WriteFileAtomically(const std::string& path, std::string_view bytes) {
    const std::string temp = path + ".tmp";
    const int fd = OpenRegularFile(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return errno;
    int error = 0;
    errno = 0;
    if (write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        error = errno ? errno : ENOSPC;
    else if (fdatasync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temp.c_str());
        return error;
    }
    // The rename itself reaches the disk only with its folder.
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return 0;
}
