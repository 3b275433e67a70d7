#include "levelling/loudness_worker.h"

#include <QCoreApplication>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <linux/ioprio.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "books/file_io.h"
#include "books/folder_playlist.h"
#include "levelling/measure_loudness.h"

namespace {

constexpr std::size_t kCacheFileLimit = 16 << 20;

struct Entry {
    std::int64_t size, modified; // modified: ns since the epoch
    std::optional<double> lufs;
};
using Cache = std::map<std::string, Entry>;
using Unmeasured = std::vector<std::pair<std::string, Entry>>;

struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::uint64_t request = 0; // grows with every request and drop
    std::string wanted;        // empty after a drop
    // What the measuring thread is to do, for request `forRequest`.
    std::uint64_t forRequest = 0;
    Unmeasured unmeasured;
    std::string cacheFile;
    LoudnessNews news;
    bool measuring = false;
};

// Never destroyed: the threads may be inside a read while the process ends.
Shared& shared() {
    static Shared* s = new Shared;
    return *s;
}

// One line a file: LUFS (or "-"), size, modification time, path; tab-separated.
Cache ReadCache(const std::string& file) {
    Cache cache;
    std::string bytes;
    ReadRegularFile(file, kCacheFileLimit, bytes);
    std::istringstream in(bytes);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string lufs, path;
        Entry entry{};
        if (!std::getline(fields, lufs, '\t') || !(fields >> entry.size >> entry.modified) || fields.get() != '\t' ||
            !std::getline(fields, path) || path.empty())
            continue;
        char* end = nullptr;
        const double value = std::strtod(lufs.c_str(), &end);
        if (lufs != "-" && (end != lufs.c_str() + lufs.size() || lufs.empty()))
            continue;
        entry.lufs = lufs == "-" ? std::nullopt : std::optional(value);
        cache[path] = entry;
    }
    return cache;
}

void WriteCache(const std::string& file, const Cache& cache) {
    std::ostringstream out;
    out.precision(4);
    out << std::fixed;
    for (const auto& [path, entry] : cache) {
        if (path.find('\n') != std::string::npos)
            continue;
        if (entry.lufs)
            out << *entry.lufs;
        else
            out << '-';
        out << '\t' << entry.size << '\t' << entry.modified << '\t' << path << '\n';
    }
    // A cache: a write that fails costs a measurement next time, nothing more.
    WriteFileAtomically(file, out.str());
}

// path, then the playable files after it in its folder's order, then those before it.
std::vector<std::string> FilesFrom(const std::string& path) {
    namespace fs = std::filesystem;
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder.empty() ? "/" : folder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code typeError;
        std::string name = it->path().filename().string();
        if (name.front() != '.' && it->is_regular_file(typeError) && IsPlayableName(name))
            names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    const std::string own = path.substr(slash + 1);
    const auto at = std::find(names.begin(), names.end(), own);
    std::rotate(names.begin(), at == names.end() ? names.begin() : at, names.end());
    std::vector<std::string> files{path};
    for (const std::string& name : names)
        if (name != own)
            files.push_back(folder + "/" + name);
    return files;
}

void Post(const LoudnessNews& news, LoudnessResults results) {
    if (results.empty() || !QCoreApplication::instance())
        return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [news, results = std::move(results)] { news(results); }, Qt::QueuedConnection);
}

// Work that never competes with the listener's: the CPU only when nothing else wants it, the
// disk the same.
void LowerPriority() {
    pthread_setname_np(pthread_self(), "tw-loudness");
    const sched_param none{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
    syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0));
}

// The files already measured are looked up at once, at normal priority: a cache file and a folder
// are quickly read even on a busy machine. The rest goes to the measuring thread.
void LookUp(std::uint64_t request, const std::string& wanted, const std::string& cacheFile, const LoudnessNews& news) {
    const Cache cache = ReadCache(cacheFile);
    LoudnessResults known;
    Unmeasured unmeasured;
    for (const std::string& path : FilesFrom(wanted)) {
        struct stat file {};
        if (stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
            known.emplace_back(path, std::nullopt);
            continue;
        }
        const Entry key{file.st_size, std::int64_t(file.st_mtim.tv_sec) * 1'000'000'000 + file.st_mtim.tv_nsec, {}};
        const auto found = cache.find(path);
        if (found != cache.end() && found->second.size == key.size && found->second.modified == key.modified)
            known.emplace_back(path, found->second.lufs);
        else
            unmeasured.emplace_back(path, key);
    }
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    if (s.request != request)
        return;
    Post(news, std::move(known));
    s.forRequest = request;
    s.unmeasured = std::move(unmeasured);
    s.cacheFile = cacheFile;
    s.news = news;
    s.wake.notify_all();
}

void Measure() {
    LowerPriority();
    Shared& s = shared();
    std::uint64_t handled = 0;
    for (;;) {
        std::unique_lock lock(s.mutex);
        s.wake.wait(lock, [&] { return s.forRequest != handled; });
        handled = s.forRequest;
        const Unmeasured unmeasured = std::move(s.unmeasured);
        const std::string cacheFile = s.cacheFile;
        const LoudnessNews news = s.news;
        lock.unlock();
        // A newer request for another file ends this one; one for the file being measured does not.
        const auto superseded = [&](const std::string& path) {
            std::lock_guard guard(s.mutex);
            return s.request != handled && s.wanted != path;
        };
        // Read again: a file may have been measured since its look-up.
        Cache cache = ReadCache(cacheFile);
        for (auto [path, entry] : unmeasured) {
            if (superseded(path))
                break;
            const auto found = cache.find(path);
            if (found == cache.end() || found->second.size != entry.size || found->second.modified != entry.modified) {
                entry.lufs = MeasureLoudness(path, [&] { return superseded(path); });
                if (superseded(path))
                    break;
                cache[path] = entry;
                WriteCache(cacheFile, cache);
            }
            Post(news, {{path, cache[path].lufs}});
        }
    }
}

} // namespace

void RequestLoudness(const std::string& path, const std::string& cacheFile, LoudnessNews news) {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    const std::uint64_t request = ++s.request;
    s.wanted = path;
    if (!s.measuring) {
        s.measuring = true;
        std::thread(Measure).detach();
    }
    // A look-up left in a read of a hung share ends by itself; the next request has its own.
    std::thread(LookUp, request, path, cacheFile, std::move(news)).detach();
}

void DropLoudnessRequests() {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    ++s.request;
    s.wanted.clear();
}
