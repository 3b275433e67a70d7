#include "desktop/second_launch.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>
#include <QUrl>

#include "desktop/mpris.h"

namespace {

// A player that has just taken the lock may not be on the bus yet: its name is asked for
// again until the deadline.
bool Call(QDBusConnection& bus, const QDeadlineTimer& deadline, const QString& interface, const QString& method,
          const QVariantList& arguments = {}) {
    QDBusMessage request = QDBusMessage::createMethodCall(mprisService, mprisPath, interface, method);
    request.setArguments(arguments);
    for (;;) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
        const QDBusMessage reply = bus.call(request, QDBus::Block, int(left));
        if (reply.type() == QDBusMessage::ReplyMessage)
            return true;
        if (QDBusError(reply).type() != QDBusError::ServiceUnknown)
            return false;
        QThread::msleep(100);
    }
}

} // namespace

bool HandOverToRunningPlayer(const QString& path) {
    const QDeadlineTimer deadline(3000);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!path.isEmpty()) {
        const QString uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded);
        if (!Call(bus, deadline, mprisPlayerInterface, QStringLiteral("OpenUri"), {uri}))
            return false;
    }
    return Call(bus, deadline, mprisRootInterface, QStringLiteral("Raise"));
}
