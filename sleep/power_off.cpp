#include "sleep/power_off.h"

#include <QDBusConnection>
#include <QDBusMessage>

bool PowerOff() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PowerOff"));
    // false: no interactive authentication; the system's policy decides.
    request << false;
    const QDBusMessage reply = bus.call(request, QDBus::Block, 10000);
    return reply.type() == QDBusMessage::ReplyMessage;
}
