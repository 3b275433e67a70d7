#include "support/qt/fake_logind.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QThread>
#include <atomic>
#include <cstdio>
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

std::vector<unsigned char> bytesIfPresent(const std::string& path) {
    return std::filesystem::exists(path) ? readBytes(path) : std::vector<unsigned char>{};
}

} // namespace

PrivateSystemBus& PrivateSystemBus::instance() {
    static PrivateSystemBus bus;
    return bus;
}

PrivateSystemBus::PrivateSystemBus() {
    const std::string config = dir_.file("system.conf");
    {
        // Like a system bus, but anyone may own any name and send anything.
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>system</type>\n"
               "  <listen>unix:path=" << dir_.file("bus") << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n"
               "    <allow own=\"*\"/>\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
    }
    int addressPipe[2];
    if (pipe2(addressPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const std::string configArg = "--config-file=" + config;
    const pid_t parent = getpid();
    daemonPid_ = fork();
    if (daemonPid_ < 0)
        throw std::runtime_error("cannot start dbus-daemon");
    if (daemonPid_ == 0) {
        // A test program that crashes or is killed must not leave its bus behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent || dup2(addressPipe[1], 1) < 0)
            _exit(127);
        execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--print-address", nullptr);
        _exit(127);
    }
    close(addressPipe[1]);
    // The daemon prints its address once listening; a daemon that fails closes the pipe.
    FILE* out = fdopen(addressPipe[0], "r");
    char line[512] = {};
    if (!fgets(line, sizeof line, out))
        line[0] = 0;
    fclose(out);
    address_ = line;
    if (!address_.empty() && address_.back() == '\n')
        address_.pop_back();
    if (address_.empty()) {
        kill(daemonPid_, SIGKILL);
        waitpid(daemonPid_, nullptr, 0);
        throw std::runtime_error("private dbus-daemon did not start");
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateSystemBus::~PrivateSystemBus() {
    kill(daemonPid_, SIGTERM);
    waitpid(daemonPid_, nullptr, 0);
}

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
            call.files.push_back(bytesIfPresent(path));
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
