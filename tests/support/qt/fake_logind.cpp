#include "support/qt/fake_logind.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QThread>
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
const QString LogindManager = QStringLiteral("org.freedesktop.login1.Manager");

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

PrivateSystemBus::~PrivateSystemBus() { stopProcess(daemonPid_); }

struct FakeLogind::Record {
    std::mutex lock;
    std::vector<PowerOffCall> calls;
};

namespace {

// The login manager object; runs on its own thread, so its connection answers while the
// caller's thread blocks.
class LogindObject : public QDBusVirtualObject {
public:
    LogindObject(FakeLogind::Answer answer, std::vector<std::string> watchedFiles,
                 std::shared_ptr<FakeLogind::Record> record)
        : answer_(answer), watchedFiles_(std::move(watchedFiles)), record_(std::move(record)) {}

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != LogindManager || message.member() != QStringLiteral("PowerOff"))
            return false;
        FakeLogind::PowerOffCall call;
        call.interactive = message.arguments().value(0).toBool();
        for (const std::string& path : watchedFiles_)
            call.files.push_back(readBytes(path));
        {
            std::lock_guard<std::mutex> guard(record_->lock);
            record_->calls.push_back(std::move(call));
        }
        if (answer_ == FakeLogind::Answer::Accept)
            connection.send(message.createReply());
        else
            connection.send(message.createErrorReply(QDBusError::AccessDenied,
                                                     QStringLiteral("Interactive authentication required.")));
        return true;
    }

    QString introspect(const QString&) const override { return {}; }

private:
    FakeLogind::Answer answer_;
    std::vector<std::string> watchedFiles_;
    std::shared_ptr<FakeLogind::Record> record_;
};

} // namespace

FakeLogind::FakeLogind(Answer answer, std::vector<std::string> watchedFiles) : record_(std::make_shared<Record>()) {
    static std::atomic<int> serial{0};
    connectionName_ = "tellwick-fake-logind-" + std::to_string(++serial);
    const QString name = QString::fromStdString(connectionName_);
    QDBusConnection connection = QDBusConnection::connectToBus(
        QString::fromStdString(PrivateSystemBus::instance().address()), name);
    if (!connection.isConnected())
        throw std::runtime_error("fake logind cannot reach the private bus");

    thread_ = std::make_unique<QThread>();
    thread_->start();
    service_ = new LogindObject(answer, std::move(watchedFiles), record_);
    service_->moveToThread(thread_.get());
    if (!connection.registerVirtualObject(LogindPath, service_) || !connection.registerService(LogindService)) {
        release();
        throw std::runtime_error("fake logind cannot take its name on the private bus");
    }
}

FakeLogind::~FakeLogind() {
    release();
}

void FakeLogind::release() {
    const QString name = QString::fromStdString(connectionName_);
    {
        QDBusConnection connection(name);
        connection.unregisterService(LogindService);
        connection.unregisterObject(LogindPath);
    }
    QDBusConnection::disconnectFromBus(name);
    thread_->quit();
    thread_->wait();
    delete service_;
}

std::vector<FakeLogind::PowerOffCall> FakeLogind::calls() const {
    std::lock_guard<std::mutex> guard(record_->lock);
    return record_->calls;
}

} // namespace testsupport
