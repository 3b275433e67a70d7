#include "app/keep_place.h"

#include <QDBusConnection>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTabBar>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/app_state.h"
#include "app/exit.h"
#include "books/book_slot_file.h"
#include "ui/main_window.h"

namespace {

int signalPipe[2] = {-1, -1};
struct sigaction previousActions[NSIG];

// Signals that end a program by default and do not come from a fault: the place is written
// here at once (the window's thread may be busy), then the window's thread exits as the close
// box does.
void OnEndingSignal(int) {
    const int saved = errno;
    EmergencySave();
    const char byte = 1;
    [[maybe_unused]] auto written = write(signalPipe[1], &byte, 1);
    errno = saved;
}

// A crash: write the place, then let the signal do what it did before (a core dump, or a
// sanitizer's report). A fault the kernel raised comes again when the handler returns.
void OnCrashSignal(int signal, siginfo_t* info, void*) {
    EmergencySave();
    sigaction(signal, &previousActions[signal], nullptr);
    if (info->si_code <= 0)
        raise(signal);
}

// Process-wide, set up by the first start; later starts in the same process (tests) only
// give the new window its own reader of the pair.
bool InstallHandlers() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                       SIGXFSZ, SIGPWR, SIGSTKFLT, SIGIO})
        sigaction(signal, &action, nullptr);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        sigaction(signal, &action, nullptr);
    // A write to a closed pipe or socket is an error the caller sees, not the end of the player.
    std::signal(SIGPIPE, SIG_IGN);

    // Installed once: a second install would take our own handler for the one to pass on to.
    struct sigaction crash {};
    crash.sa_sigaction = OnCrashSignal;
    sigemptyset(&crash.sa_mask);
    crash.sa_flags = SA_SIGINFO | SA_NODEFER;
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        sigaction(signal, &crash, &previousActions[signal]);
    return true;
}

void ExitOnEndingSignals(QObject* owner) {
    static const bool installed = InstallHandlers();
    if (!installed)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [notifier] {
        char byte;
        [[maybe_unused]] auto got = read(signalPipe[0], &byte, 1);
        notifier->setEnabled(false);
        ExitApp();
    });
}

// Watches the session's end and the tab row's wheel.
class SessionWatcher : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

public slots:
    // logind: the computer is about to shut down or sleep (start true), or has woken (false).
    void prepare(bool start) {
        if (start && !app.exiting)
            SaveState();
    }

protected:
    // The wheel over the tabs would switch books (and stop the one playing) on a slip of the
    // finger while scrolling the list: the tabs change only by a click or the keyboard.
    bool eventFilter(QObject* watched, QEvent* event) override {
        return event->type() == QEvent::Wheel || QObject::eventFilter(watched, event);
    }
};

} // namespace

void KeepPlaceThroughEndings(MainWindow* window) {
    ExitOnEndingSignals(window);
    // exit() without the window's exit: the display connection broke (the toolkit ends the
    // program with 1) or something else gave up. Writes nothing after a normal exit.
    static bool hooked = false;
    if (!hooked)
        hooked = std::atexit(EmergencySave) == 0;

    auto* watcher = new SessionWatcher(window);
    window->bookTabs()->installEventFilter(watcher);
    QDBusConnection bus = QDBusConnection::systemBus();
    for (const char* name : {"PrepareForShutdown", "PrepareForSleep"})
        bus.connect(QString(), QStringLiteral("/org/freedesktop/login1"),
                    QStringLiteral("org.freedesktop.login1.Manager"), QString::fromLatin1(name), watcher,
                    SLOT(prepare(bool)));
    // The session manager asks for the work to be kept before the session ends.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, window, [] {
        if (!app.exiting)
            SaveState();
    });
}

#include "keep_place.moc"
