#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "app/data_paths.h"
#include "books/file_io.h"

namespace {

enum class Lock { Held, Busy, Unavailable };

bool unguarded = false;

Lock LockFile(const std::string& path) {
    // The descriptor stays open for the whole run; the kernel drops the lock when the
    // process ends, even after a crash, so a stale file never blocks a start.
    const int fd = OpenRegularFile(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0)
        return Lock::Unavailable;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return Lock::Held;
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? Lock::Busy : Lock::Unavailable;
}

std::string RuntimeLockPath(const std::string& digest) {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/tellwick-" + digest + ".lock";
    return QDir::tempPath().toStdString() + "/tellwick-" + std::to_string(getuid()) + "-" + digest + ".lock";
}

} // namespace

bool AcquireSingleInstanceLock(const QString& title) {
    const std::string digest =
        QCryptographicHash::hash(title.toUtf8(), QCryptographicHash::Sha1).toHex().left(16).toStdString();
    // The runtime folder can be stale or missing (after su, over ssh, in a container); the
    // data folder's lock, taken as well, keeps one player per data folder all the same.
    const Lock runtime = LockFile(RuntimeLockPath(digest));
    const Lock data = LockFile(DataFolder() + "/.tellwick-" + digest + ".lock");
    if (runtime == Lock::Busy || data == Lock::Busy)
        return false;
    unguarded = runtime == Lock::Unavailable && data == Lock::Unavailable;
    return true;
}

bool SingleInstanceUnguarded() {
    return unguarded;
}
