#include "desktop/second_launch.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include "desktop/mpris.h"

bool RaiseRunningPlayer() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const QDBusMessage request =
        QDBusMessage::createMethodCall(mprisService, mprisPath, mprisRootInterface, QStringLiteral("Raise"));
    return bus.call(request, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage;
}
