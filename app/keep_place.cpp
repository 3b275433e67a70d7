#include "app/keep_place.h"

#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTabBar>
#include <csignal>
#include <cstdlib>
#include <dbus/dbus.h>
#include <string>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>

#include "app/app_state.h"
#include "app/exit.h"
#include "books/book_slot_file.h"
#include "ui/main_window.h"

namespace {

// Ending signals, read in the window's turn; made once a process.
int endingSignalsFd = -1;
struct sigaction previousActions[NSIG];

// A crash: write the place, then let the signal do what it did before (a core dump, or a
// sanitizer's report). A fault the kernel raised comes again when the handler returns.
void OnCrashSignal(int signal, siginfo_t* info, void*) {
    EmergencySave();
    sigaction(signal, &previousActions[signal], nullptr);
    if (info->si_code <= 0)
        raise(signal);
}

// Signals that end a program by default and do not come from a fault.
sigset_t EndingSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                       SIGXFSZ, SIGPWR, SIGSTKFLT, SIGIO})
        sigaddset(&set, signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        sigaddset(&set, signal);
    return set;
}

// Once a process; later starts in the same process (tests) only give their window a reader.
bool InstallHandlers() {
    // Blocked on every thread since main() (BlockEndingSignals) and read from a descriptor by
    // the window's thread between its own steps: the exit never runs beside a write, and no
    // thread made later can take one with its mask left open.
    const sigset_t ending = EndingSignals();
    endingSignalsFd = signalfd(-1, &ending, SFD_NONBLOCK | SFD_CLOEXEC);
    if (endingSignalsFd < 0)
        pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
    // A write to a closed pipe or socket is an error the caller sees, not the end of the player.
    std::signal(SIGPIPE, SIG_IGN);

    // Installed once: a second install would take our own handler for the one to pass on to.
    struct sigaction crash {};
    crash.sa_sigaction = OnCrashSignal;
    sigemptyset(&crash.sa_mask);
    crash.sa_flags = SA_SIGINFO | SA_NODEFER;
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        sigaction(signal, &crash, &previousActions[signal]);
    return endingSignalsFd >= 0;
}

// An ending signal exits as the close box does, saving the place heard.
void ExitOnEndingSignals(QObject* owner) {
    static const bool installed = InstallHandlers();
    if (!installed)
        return;
    auto* notifier = new QSocketNotifier(endingSignalsFd, QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [notifier] {
        signalfd_siginfo received;
        [[maybe_unused]] auto got = read(endingSignalsFd, &received, sizeof received);
        notifier->setEnabled(false);
        ExitApp();
    });
}

// The wheel over the tabs would switch books (and stop the one playing) on a slip of the
// finger while scrolling the list: the tabs change only by a click or the keyboard.
class TabWheelFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        return event->type() == QEvent::Wheel || QObject::eventFilter(watched, event);
    }
};

// logind's notices that the computer is about to shut down or sleep, on a connection of this
// thread's own for the life of the process. Connecting can take 25 s on a wedged system bus, and
// Qt's one bus thread would hold the desktop controls and the exit for as long.
void WatchLogind() {
    // Opened by address: libdbus's own way to the system bus holds a lock of the whole process,
    // the one Qt's connections need, until the bus answers.
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    DBusConnection* bus =
        dbus_connection_open_private(address ? address : "unix:path=/var/run/dbus/system_bus_socket", nullptr);
    if (!bus)
        return;
    dbus_connection_set_exit_on_disconnect(bus, false);
    const char* const manager = "org.freedesktop.login1.Manager";
    const char* const members[] = {"PrepareForShutdown", "PrepareForSleep"};
    const bool registered = dbus_bus_register(bus, nullptr);
    for (const char* member : members)
        if (registered)
            dbus_bus_add_match(bus, (std::string("type='signal',path='/org/freedesktop/login1',interface='") + manager +
                                     "',member='" + member + "'").c_str(), nullptr);
    while (registered && dbus_connection_read_write(bus, -1)) {
        while (DBusMessage* message = dbus_connection_pop_message(bus)) {
            dbus_bool_t start = false;
            if ((dbus_message_is_signal(message, manager, members[0]) ||
                 dbus_message_is_signal(message, manager, members[1])) &&
                dbus_message_get_args(message, nullptr, DBUS_TYPE_BOOLEAN, &start, DBUS_TYPE_INVALID) && start)
                QMetaObject::invokeMethod(qApp, [] {
                    if (app.startedUp && !app.exiting)
                        SaveState();
                }, Qt::QueuedConnection);
            dbus_message_unref(message);
        }
    }
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
}

// Once a process; later starts (tests) reuse these.
bool WatchProcessEndings() {
    // exit() without the window's exit: the display connection broke (the toolkit ends the
    // program with 1) or something else gave up. Writes nothing after a normal exit.
    std::atexit(EmergencySave);
    std::thread(WatchLogind).detach();
    return true;
}

} // namespace

void BlockEndingSignals() {
    const sigset_t ending = EndingSignals();
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
}

void KeepPlaceThroughEndings(MainWindow* window) {
    ExitOnEndingSignals(window);
    [[maybe_unused]] static const bool watched = WatchProcessEndings();
    window->bookTabs()->installEventFilter(new TabWheelFilter(window));
    // The session manager asks for the work to be kept before the session ends.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, window, [] {
        if (app.startedUp && !app.exiting)
            SaveState();
    });
}
