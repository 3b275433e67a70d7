#include "desktop/second_launch.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QThread>

#include "books/open_path.h"
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

bool HandOverToRunningPlayer(const QByteArray& path) {
    const QDeadlineTimer deadline(3000);
    // A connection of its own, closed before the process ends: a reply still awaited is then
    // dropped rather than handled while the program is being torn down.
    const QString name = QStringLiteral("tellwick-hand-over");
    bool handed = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        // Percent-encoded, a name that is not UTF-8 reaches the player byte for byte.
        const QString uri = FileUriOf(path);
        handed = bus.isConnected() &&
                 (path.isEmpty() || Call(bus, deadline, mprisPlayerInterface, QStringLiteral("OpenUri"), {uri})) &&
                 Call(bus, deadline, mprisRootInterface, QStringLiteral("Raise"));
    }
    QDBusConnection::disconnectFromBus(name);
    return handed;
}
