#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string LockPath(const QString& title) {
    const QByteArray digest = QCryptographicHash::hash(title.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/tellwick-" + digest.toStdString() + ".lock";
    return QDir::tempPath().toStdString() + "/tellwick-" + std::to_string(getuid()) + "-" + digest.toStdString() +
           ".lock";
}

} // namespace

bool AcquireSingleInstanceLock(const QString& title) {
    // The descriptor stays open for the whole run; the kernel drops the lock when the
    // process ends, even after a crash, so a stale file never blocks a start.
    const int fd = open(LockPath(title).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true;
}
