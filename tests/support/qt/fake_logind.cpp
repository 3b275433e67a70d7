#include "support/qt/fake_logind.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace testsupport {

namespace {

const QString LogindService = QStringLiteral("org.freedesktop.login1");
const QString LogindPath = QStringLiteral("/org/freedesktop/login1");

} // namespace

PrivateSystemBus& PrivateSystemBus::instance() {
    static PrivateSystemBus bus;
    return bus;
}

PrivateSystemBus::PrivateSystemBus() {
    // Like a system bus, but anyone may own any name and send anything.
    const std::string socket = dir_.file("bus");
    std::ofstream(dir_.file("system.conf"))
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>unix:path=" << socket << "</listen><auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/></policy>\n"
           "</busconfig>\n";
    daemonPid_ = spawn({"dbus-daemon", "--config-file=" + dir_.file("system.conf"), "--nofork"});
    if (!WaitUntil([&] { return std::filesystem::exists(socket); }, 10000)) {
        stopProcess(daemonPid_);
        throw std::runtime_error("private dbus-daemon did not start");
    }
    address_ = "unix:path=" + socket;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

// The login manager object; it lives on the fake's own thread, so its connection answers while
// the caller's thread blocks.
class FakeLogind::Service : public QDBusVirtualObject {
public:
    Service(Answer answer, std::vector<std::string> watchedFiles) : answer_(answer), watchedFiles_(std::move(watchedFiles)) {}

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != LogindService + ".Manager" || message.member() != QStringLiteral("PowerOff"))
            return false;
        PowerOffCall call{message.arguments().value(0).toBool(), {}};
        for (const std::string& path : watchedFiles_)
            call.files.push_back(readBytes(path));
        {
            std::lock_guard<std::mutex> guard(lock);
            calls.push_back(std::move(call));
        }
        connection.send(answer_ == Answer::Accept
                            ? message.createReply()
                            : message.createErrorReply(QDBusError::AccessDenied, QStringLiteral("Interactive authentication required.")));
        return true;
    }

    QString introspect(const QString&) const override { return {}; }

    std::mutex lock;
    std::vector<PowerOffCall> calls;

private:
    Answer answer_;
    std::vector<std::string> watchedFiles_;
};

FakeLogind::FakeLogind(Answer answer, std::vector<std::string> watchedFiles)
    : service_(std::make_unique<Service>(answer, std::move(watchedFiles))) {
    static std::atomic<int> serial{0};
    connection_ = QStringLiteral("tellwick-fake-logind-%1").arg(++serial);
    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(PrivateSystemBus::instance().address()), connection_);
    if (!connection.registerVirtualObject(LogindPath, service_.get()) || !connection.registerService(LogindService)) {
        QDBusConnection::disconnectFromBus(connection_);
        throw std::runtime_error("fake logind cannot take its name on the private bus");
    }
    service_->moveToThread(&thread_);
    thread_.start();
}

FakeLogind::~FakeLogind() {
    QDBusConnection connection(connection_);
    connection.unregisterService(LogindService);
    connection.unregisterObject(LogindPath);
    QDBusConnection::disconnectFromBus(connection_);
    thread_.quit();
    thread_.wait();
}

std::vector<FakeLogind::PowerOffCall> FakeLogind::calls() const {
    std::lock_guard<std::mutex> guard(service_->lock);
    return service_->calls;
}

} // namespace testsupport
