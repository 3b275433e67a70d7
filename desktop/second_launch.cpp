#include "desktop/second_launch.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QUrl>

#include "desktop/mpris.h"

namespace {

bool Call(QDBusConnection& bus, const QString& interface, const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage request = QDBusMessage::createMethodCall(mprisService, mprisPath, interface, method);
    request.setArguments(arguments);
    return bus.call(request, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage;
}

} // namespace

bool HandOverToRunningPlayer(const QString& path) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (!path.isEmpty()) {
        const QString uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded);
        if (!Call(bus, mprisPlayerInterface, QStringLiteral("OpenUri"), {uri}))
            return false;
    }
    return Call(bus, mprisRootInterface, QStringLiteral("Raise"));
}
