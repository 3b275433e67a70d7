#include "playback/smart_rewind.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "app/app_state.h"
#include "books/last_heard.h"

namespace {

// How far back a book goes on, by how long it went unheard.
struct Band {
    std::int64_t belowMs;
    double backSeconds;
};
constexpr Band kBands[] = {{5'000, 0}, {60'000, 3}, {600'000, 8}, {3'600'000, 15}};
constexpr double kLongestBackSeconds = 30;
// A phrase start is looked for this far before the place gone back to.
constexpr double kPhraseSearchSeconds = 2;

// Where the listener paused which stream; the stream is still paused there unless it moved.
struct Stop {
    HSTREAM stream = 0;
    QWORD position = 0;
};
Stop stopped;

QWORD ChapterStart(HSTREAM stream, QWORD position) {
    const DWORD count = BASS_ChannelGetChapters(stream, nullptr, 0);
    if (count == 0 || count == DWORD(-1))
        return 0;
    std::vector<TELLWICK_CHAPTER> chapters(count);
    BASS_ChannelGetChapters(stream, chapters.data(), count);
    QWORD start = 0;
    for (const TELLWICK_CHAPTER& chapter : chapters)
        if (chapter.start <= position)
            start = chapter.start;
    return start;
}

} // namespace

double ResumeBackSeconds() {
    const std::int64_t unheard = CurrentBookUnheardMs();
    if (!app.options.smartRewind || unheard < 0)
        return 0;
    for (const Band& band : kBands)
        if (unheard < band.belowMs)
            return band.backSeconds;
    return kLongestBackSeconds;
}

bool SeekBack(HSTREAM stream, QWORD position, double backSeconds) {
    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    if (backSeconds <= 0 || length == QWORD(-1) || position > length)
        return BASS_ChannelSetPosition(stream, position, BASS_POS_BYTE);
    const QWORD start = ChapterStart(stream, position);
    const QWORD back = BASS_ChannelSeconds2Bytes(stream, backSeconds);
    const QWORD search = BASS_ChannelSeconds2Bytes(stream, kPhraseSearchSeconds);
    const QWORD target = position - start > back ? position - back : start;
    const QWORD earliest = target - start > search ? target - search : start;
    return BASS_ChannelSetPositionAtPause(stream, target, earliest, BASS_POS_BYTE);
}

void NoteStopped(QWORD position) {
    stopped = {app.currentStream, position};
    NoteHeardNow();
}

void RewindForResume() {
    const Stop stop = std::exchange(stopped, Stop{});
    if (app.currentStream == 0 || stop.stream != app.currentStream)
        return;
    const double back = ResumeBackSeconds();
    if (back > 0 && BASS_ChannelGetPosition(app.currentStream, BASS_POS_BYTE) == stop.position)
        SeekBack(app.currentStream, stop.position, back);
}

void NoteBookLeft(QWORD position) {
    if (app.isPlaying)
        NoteHeardNow();
    else if (stopped.stream == app.currentStream && position != stopped.position)
        ForgetHeard(); // moved while paused: it goes on from the place the listener chose
}
