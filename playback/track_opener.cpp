#include "playback/track_opener.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>

#include "playback/smart_rewind.h"

const char* const titleTemplate =
    "%IFV1(%ITRM(%TRCK),%ITRM(%TRCK). )%IFV2(%ITRM(%ARTI),%ICAP(%ITRM(%ARTI)),no artist) - "
    "%IFV2(%ITRM(%TITL),%ICAP(%ITRM(%TITL)),no title)%IFV1(%ITRM(%ALBM), - %IUPC(%ITRM(%ALBM)))"
    "%IFV1(%YEAR, %(%YEAR%))%IFV1(%ITRM(%GNRE), {%ITRM(%GNRE)})%IFV1(%ITRM(%CMNT), [%ITRM(%CMNT)])";

namespace {

using Clock = std::chrono::steady_clock;
// An opener busy this long is taken for stuck in a read (a hung share): it is left behind and
// the next request gets a thread of its own.
constexpr auto kStuckAfter = std::chrono::seconds(1);

struct Request {
    std::uint64_t id;
    std::string path;
    std::int64_t startPosition;
    double backSeconds;
    EffectLevels levels;
    std::optional<double> startSeconds;
};

struct Opener {
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<Request> next;
    std::uint64_t latest = 0; // the newest request's id
    std::uint64_t worker = 0; // the thread that takes requests; those left behind end after their open
    bool busy = false;
    Clock::time_point busySince;
};

// Never destroyed: a thread left behind in a read may come back after everything else has ended.
Opener& Shared() {
    static Opener* opener = new Opener;
    return *opener;
}

// Window's thread only.
std::uint64_t awaited = 0;
std::function<void(const OpenedTrack&)> awaitedDone;

OpenedTrack Open(const Request& request) {
    OpenedTrack track;
    // Only a regular file: a FIFO or a device named like a track would block.
    struct stat file;
    if (stat(request.path.c_str(), &file) != 0 || !S_ISREG(file.st_mode))
        return track;
    track.sizeMebibytes = float(double(file.st_size) / (1024.0 * 1024.0));
    track.stream = BASS_StreamCreateFile(false, request.path.c_str(), 0, 0, BASS_SAMPLE_8BITS);
    if (track.stream == 0)
        return track;
    // Before the seek: it may fill the server's buffer, and that sound must carry them.
    track.effects = AttachEffects(track.stream, request.levels);
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(track.stream, &info);
    track.sampleRate = info.freq;
    track.channels = info.chans;
    track.durationSeconds =
        BASS_ChannelBytes2Seconds(track.stream, BASS_ChannelGetLength(track.stream, BASS_POS_BYTE));
    track.fileBytes = BASS_StreamGetFilePosition(track.stream, BASS_FILEPOS_END);
    track.tags = TAGS_Read(track.stream, titleTemplate);
    if (const auto seconds = request.startSeconds) {
        const double length = track.durationSeconds;
        const auto start = std::int64_t(
            BASS_ChannelSeconds2Bytes(track.stream, std::clamp(*seconds < 0 ? length + *seconds : *seconds, 0.0, length)));
        if (start != 0 && BASS_ChannelSetPosition(track.stream, QWORD(start), BASS_POS_BYTE))
            track.startPosition = start;
    } else if (request.startPosition != 0 &&
               SeekBack(track.stream, QWORD(request.startPosition), request.backSeconds)) {
        // Going back, the phrase start is looked for here, where waiting on the file holds up nothing.
        track.startPosition = std::int64_t(BASS_ChannelGetPosition(track.stream, BASS_POS_BYTE));
    }
    return track;
}

void Deliver(std::uint64_t id, const OpenedTrack& track) {
    if (id != awaited) {
        BASS_StreamFree(track.stream);
        return;
    }
    const auto done = std::move(awaitedDone);
    awaitedDone = nullptr;
    done(track);
}

void Work(std::uint64_t self) {
    Opener& opener = Shared();
    std::unique_lock lock(opener.mutex);
    while (opener.worker == self) {
        if (!opener.next) {
            opener.wake.wait(lock);
            continue;
        }
        const Request request = std::move(*opener.next);
        opener.next.reset();
        opener.busy = true;
        opener.busySince = Clock::now();
        lock.unlock();
        const OpenedTrack track = Open(request);
        lock.lock();
        if (opener.worker == self)
            opener.busy = false;
        if (request.id == opener.latest)
            QMetaObject::invokeMethod(QCoreApplication::instance(), [id = request.id, track] { Deliver(id, track); },
                                      Qt::QueuedConnection);
        else
            BASS_StreamFree(track.stream);
    }
}

} // namespace

void RequestOpen(const std::string& path, std::int64_t startPosition, double backSeconds, const EffectLevels& levels,
                 std::function<void(const OpenedTrack&)> done, std::optional<double> startSeconds) {
    Opener& opener = Shared();
    std::lock_guard lock(opener.mutex);
    awaited = ++opener.latest;
    awaitedDone = std::move(done);
    opener.next = Request{awaited, path, startPosition, backSeconds, levels, startSeconds};
    if (opener.worker == 0 || (opener.busy && Clock::now() - opener.busySince > kStuckAfter)) {
        opener.busy = false;
        std::thread(Work, ++opener.worker).detach();
    }
    opener.wake.notify_all();
}

bool OpenPending() {
    return awaitedDone != nullptr;
}

void DropOpens() {
    Opener& opener = Shared();
    std::lock_guard lock(opener.mutex);
    awaited = ++opener.latest;
    awaitedDone = nullptr;
    opener.next.reset();
}
