// The system bus edge of the power-off: a private dbus-daemon standing in for the system bus
// and a fake org.freedesktop.login1 that records PowerOff calls instead of switching off.
#pragma once

#include <sys/types.h>

#include <QString>
#include <QThread>
#include <memory>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace testsupport {

// One private bus for the whole test program. Qt connects to the system bus once per process
// and keeps that connection, so the bus must be up, and DBUS_SYSTEM_BUS_ADDRESS pointing at it,
// before anything in the process first asks for the system bus: call this at the start of
// every test that can reach a power-off. Throws std::runtime_error when the daemon fails.
class PrivateSystemBus {
public:
    static PrivateSystemBus& instance();
    const std::string& address() const { return address_; }
    ~PrivateSystemBus() { stopProcess(daemonPid_); }

private:
    PrivateSystemBus();
    TempDir dir_;
    std::string address_;
    pid_t daemonPid_ = -1;
};

// org.freedesktop.login1 on the private bus, served from its own thread so a blocking call
// made on the window's thread gets its answer. While no FakeLogind exists the name has no
// owner and a call fails as it does on a system without logind.
class FakeLogind {
public:
    enum class Answer { Accept, Refuse };

    struct PowerOffCall {
        bool interactive = true;
        // The bytes of each watched file at the moment the call arrived (empty when missing).
        std::vector<std::vector<unsigned char>> files;
    };

    // watchedFiles are read at every PowerOff call, before the answer goes out.
    explicit FakeLogind(Answer answer = Answer::Accept, std::vector<std::string> watchedFiles = {});
    ~FakeLogind();

    std::vector<PowerOffCall> calls() const;
    class Service;

private:
    QString connection_;
    QThread thread_;
    std::unique_ptr<Service> service_;
};

} // namespace testsupport
