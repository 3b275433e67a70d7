#include "books/save_writer.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <sys/eventfd.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "app/app_state.h"

namespace {

struct Job {
    std::string key;
    DataFile file;
    std::string path;
    std::function<int()> write;
};

struct Writer {
    std::mutex lock;
    std::condition_variable idle;
    std::deque<Job> pending;
    bool busy = false;
    int wake = -1;
    pthread_t thread{};
    std::atomic<void (*)()> urgent{nullptr};
    std::atomic<bool> urgentDone{false};
};

// Made once and never destroyed: the thread may still be inside a write while the process ends.
std::atomic<Writer*> writer{nullptr};

void Report(const Job& job, int error) {
    if (!QCoreApplication::instance())
        return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [file = job.file, path = job.path, error] {
            if (!app.exiting)
                NoteWriteOutcome(file, path, error);
        },
        Qt::QueuedConnection);
}

void Run(std::deque<Job>& jobs) {
    for (; !jobs.empty(); jobs.pop_front())
        Report(jobs.front(), jobs.front().write());
}

void SetIdle(Writer& w) {
    std::lock_guard guard(w.lock);
    w.busy = false;
    if (w.pending.empty())
        w.idle.notify_all();
}

// The thread that hands writes over may be the one a signal stopped while it held the lock:
// then only the urgent write is made.
void RunUrgent(Writer& w) {
    void (*urgent)() = w.urgent.exchange(nullptr);
    if (!urgent)
        return;
    std::deque<Job> earlier;
    for (int tries = 0; tries < 50; ++tries) {
        if (w.lock.try_lock()) {
            earlier.swap(w.pending);
            w.busy = true;
            w.lock.unlock();
            break;
        }
        usleep(1000);
    }
    Run(earlier);
    urgent();
    w.urgentDone = true;
    SetIdle(w);
}

void* Loop(void* arg) {
    Writer& w = *static_cast<Writer*>(arg);
    for (;;) {
        pollfd wake{w.wake, POLLIN, 0};
        if (poll(&wake, 1, -1) <= 0)
            continue;
        std::uint64_t count;
        [[maybe_unused]] auto got = read(w.wake, &count, sizeof count);
        for (;;) {
            RunUrgent(w);
            std::deque<Job> one;
            {
                std::lock_guard guard(w.lock);
                if (w.pending.empty())
                    break;
                one.push_back(std::move(w.pending.front()));
                w.pending.pop_front();
                w.busy = true;
            }
            Run(one);
            SetIdle(w);
        }
    }
    return nullptr;
}

void Wake(const Writer& w) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(w.wake, &one, sizeof one);
}

Writer* Started() {
    if (Writer* w = writer.load())
        return w;
    auto* w = new Writer;
    w->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Ending signals are for the window's thread; the thread inherits the mask it starts with.
    sigset_t all, previous;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    const bool started = w->wake >= 0 && pthread_create(&w->thread, nullptr, Loop, w) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        if (w->wake >= 0)
            close(w->wake);
        delete w;
        return nullptr;
    }
    pthread_detach(w->thread);
    pthread_setname_np(w->thread, "data-writer");
    writer = w;
    return w;
}

} // namespace

void HandOverWrite(const std::string& key, DataFile file, const std::string& path, std::function<int()> write) {
    Writer* w = Started();
    if (!w) {
        NoteWriteOutcome(file, path, write());
        return;
    }
    {
        std::lock_guard guard(w->lock);
        std::erase_if(w->pending, [&](const Job& job) { return job.key == key && job.path == path; });
        w->pending.push_back({key, file, path, std::move(write)});
    }
    Wake(*w);
}

bool FlushSaves(int timeoutMs) {
    Writer* w = writer.load();
    if (!w)
        return true;
    std::unique_lock guard(w->lock);
    return w->idle.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [w] { return w->pending.empty() && !w->busy; });
}

void RunUrgentWrite(void (*urgent)(), int waitMs) {
    Writer* w = writer.load();
    if (!w || pthread_equal(pthread_self(), w->thread)) {
        urgent();
        return;
    }
    w->urgentDone = false;
    w->urgent = urgent;
    Wake(*w);
    const timespec step{0, 5'000'000};
    for (int waited = 0; waited < waitMs && !w->urgentDone; waited += 5)
        nanosleep(&step, nullptr);
}
