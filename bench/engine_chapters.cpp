// Chapters on a 20-hour m4b (8 kHz mono AAC, so it is quick to make) of 300 chapters, each
// opening with 200 ms of a marker tone and going on in a tone of its own, so the sound tells
// where playback is:
// - what its chapter marks cost when it opens: with 3,000 chapters in both of its lists and
//   without any, best of five each;
// - on a private PulseAudio: opening it and resuming at 19:59:00 to the first sound heard, and
//   a chapter jump to the new chapter heard, with where it landed against the chapter's start.
// Usage: bench_engine_chapters [folder]  (the books are made there once and kept; a temporary
// folder when not given)
#include "engine/bass.h"
#include "engine/decoder.h"
#include "result.h"
#include "sink_listener.h"
#include "support/pulse_server.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 8000;
constexpr int kChapters = 300;
constexpr int kChapterSeconds = 240; // 300 of them: 20 hours
constexpr double kMarkerSeconds = 0.2;
constexpr double kMarkerHz = 1400;
constexpr double kResumeSeconds = 19 * 3600 + 59 * 60;
const double kTones[] = {500, 800, 1100, kMarkerHz};

double bodyHz(int chapter) { return kTones[chapter % 3]; }

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

void writeChapters(const fs::path& path, int count) {
    std::ofstream meta(path);
    meta << ";FFMETADATA1\n";
    const long long lengthMs = 1000LL * kChapters * kChapterSeconds;
    for (int i = 0; i < count; ++i)
        meta << "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" << lengthMs * i / count << "\nEND=" << lengthMs * (i + 1) / count
             << "\ntitle=Глава " << i + 1 << "\n";
}

// The book, its tones written straight into the encoder.
bool makeBook(const fs::path& dir) {
    writeChapters(dir / "300.txt", kChapters);
    writeChapters(dir / "3000.txt", 3000);
    const std::string ffmpeg = "ffmpeg -nostdin -loglevel error -y ";
    FILE* encoder = popen((ffmpeg + "-f f32le -ar 8000 -ac 1 -i - -i " + (dir / "300.txt").string() +
                           " -map 0:a -map_chapters 1 -c:a aac -aac_coder fast -b:a 8k -f mp4 " +
                           (dir / "book.m4b").string()).c_str(), "w");
    if (!encoder)
        return false;
    std::vector<float> second(kRate);
    double phase = 0;
    const long long chapterFrames = 1LL * kRate * kChapterSeconds;
    for (long long frame = 0; frame < chapterFrames * kChapters;) {
        for (float& sample : second) {
            const long long within = frame % chapterFrames;
            const double hz = within < kMarkerSeconds * kRate ? kMarkerHz : bodyHz(int(frame / chapterFrames));
            phase = std::fmod(phase + 2 * M_PI * hz / kRate, 2 * M_PI);
            sample = float(0.5 * std::sin(phase));
            ++frame;
        }
        if (std::fwrite(second.data(), sizeof(float), second.size(), encoder) != second.size())
            break;
    }
    // Both chapter lists of the same sound, or none.
    return pclose(encoder) == 0 &&
           std::system((ffmpeg + "-i " + (dir / "book.m4b").string() + " -i " + (dir / "3000.txt").string() +
                        " -map 0:a -map_chapters 1 -c copy -f mp4 " + (dir / "marked.m4b").string()).c_str()) == 0 &&
           std::system((ffmpeg + "-i " + (dir / "book.m4b").string() + " -map 0:a -map_chapters -1 -c copy -f mp4 " +
                        (dir / "plain.m4b").string()).c_str()) == 0;
}

double bestOpenMs(const std::string& path, std::size_t& chapters) {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        auto decoder = engine::Decoder::open(path);
        best = std::min(best, msSince(start));
        chapters = decoder ? decoder->chapters().size() : 0;
    }
    return best;
}

// The sink heard in 5 ms windows, each named by the book's tone it sounds (0: silence or none).
constexpr std::size_t kWindow = SinkListener::rate / 200;

std::vector<double> tonesOf(const std::vector<float>& samples) {
    std::vector<double> tones;
    for (std::size_t at = 0; at + kWindow <= samples.size(); at += kWindow) {
        const float* x = samples.data() + at;
        double energy = 0;
        for (std::size_t i = 0; i < kWindow; ++i)
            energy += double(x[i]) * x[i];
        double best = 0, bestPower = 0;
        for (double hz : kTones) {
            // Goertzel: the power at hz, 1 for a pure tone at hz against the window's energy.
            const double w = 2 * std::cos(2 * M_PI * hz / SinkListener::rate);
            double s1 = 0, s2 = 0;
            for (std::size_t i = 0; i < kWindow; ++i) {
                const double s0 = x[i] + w * s1 - s2;
                s2 = s1;
                s1 = s0;
            }
            const double power = (s1 * s1 + s2 * s2 - w * s1 * s2) / (energy * kWindow / 2 + 1e-12);
            if (power > bestPower)
                bestPower = power, best = hz;
        }
        tones.push_back(energy / kWindow > 0.01 && bestPower > 0.5 ? best : 0);
    }
    return tones;
}

double windowsMs(std::size_t windows) { return double(windows) * 1000.0 * kWindow / SinkListener::rate; }

// First window from `from` on that sounds one of `hz`; tones.size() when none does.
std::size_t firstOf(const std::vector<double>& tones, std::size_t from, std::initializer_list<double> hz) {
    for (std::size_t i = from; i < tones.size(); ++i)
        if (std::find(hz.begin(), hz.end(), tones[i]) != hz.end())
            return i;
    return tones.size();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

double worst(const std::vector<double>& v) {
    double w = -1;
    for (double x : v)
        w = std::max(w, std::abs(x));
    return w;
}

bool listen(const std::string& book) {
    if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) {
        std::fprintf(stderr, "the engine cannot reach the private sound server\n");
        return false;
    }
    SinkListener listener;
    // Open and resume, as the player does on starting: the first sound, and its tone.
    std::vector<double> firstSoundMs;
    int rightChapter = 0;
    HSTREAM playing = 0;
    for (int round = 0; round < 5; ++round) {
        BASS_StreamFree(playing);
        sleepMs(300);
        const std::size_t from = listener.frames();
        const auto start = Clock::now();
        playing = BASS_StreamCreateFile(false, book.c_str(), 0, 0, BASS_SAMPLE_8BITS);
        BASS_ChannelSetPosition(playing, BASS_ChannelSeconds2Bytes(playing, kResumeSeconds), BASS_POS_BYTE);
        BASS_ChannelPlay(playing, false);
        sleepMs(800);
        if (const auto heard = listener.firstSoundAfter(start))
            firstSoundMs.push_back(std::chrono::duration<double, std::milli>(*heard - start).count());
        const auto tones = tonesOf(listener.samplesSince(from));
        const std::size_t first = firstOf(tones, 0, {kTones[0], kTones[1], kTones[2], kMarkerHz});
        rightChapter += first + 20 < tones.size() && tones[first + 20] == bodyHz(kChapters - 1);
    }
    std::vector<TELLWICK_CHAPTER> chapters(kChapters);
    if (BASS_ChannelGetChapters(playing, chapters.data(), kChapters) != kChapters) {
        std::fprintf(stderr, "the book does not show its %d chapters\n", kChapters);
        return false;
    }
    // Chapter jumps, each from where the last one left (first the last chapter): the chapter
    // before each target sounds other than the one left, so that the first new sound tells an
    // early landing from the old sound.
    std::vector<double> heardMs, landingMs;
    for (const int target : {298, 151, 12, 251, 74}) {
        const double previous = bodyHz(target - 1);
        const std::size_t from = listener.frames();
        const auto call = Clock::now();
        BASS_ChannelSetPosition(playing, chapters[std::size_t(target)].start, BASS_POS_BYTE);
        sleepMs(800);
        const auto tones = tonesOf(listener.samplesSince(from));
        // The first sound of the new place (the chapter before's end when landing early), the
        // marker that opens the chapter, and the chapter's own tone after it.
        const std::size_t fresh = firstOf(tones, 0, {previous, kMarkerHz});
        const std::size_t marker = firstOf(tones, fresh, {kMarkerHz});
        const std::size_t body = firstOf(tones, marker, {bodyHz(target)});
        if (fresh == tones.size() || body == tones.size()) {
            std::printf("jump to chapter %d: not heard\n", target + 1);
            continue;
        }
        const auto arrival = listener.arrivalOf(from + kWindow * (marker < body ? marker : fresh));
        heardMs.push_back(arrival ? std::chrono::duration<double, std::milli>(*arrival - call).count() : -1);
        // The marker lasts 200 ms from the chapter's start: what is heard of it, and of the
        // chapter before it, tells where playback landed.
        landingMs.push_back(kMarkerSeconds * 1000 - windowsMs(body - fresh));
        std::printf("jump to chapter %d: heard after %.0f ms, landed %+.0f ms from its start\n", target + 1,
                    heardMs.back(), landingMs.back());
    }
    BASS_StreamFree(playing);
    BASS_Free();
    Result("chapters: open + resume at 19:59:00 of 20 h, to first sound", median(firstSoundMs), "ms", "<300");
    std::printf("worst of %zu: %.0f ms\n", firstSoundMs.size(), worst(firstSoundMs));
    Result("chapters: resumed in the right chapter (by its tone)", rightChapter, "of 5", ">=5");
    Result("chapters: jump, call to the new chapter heard", median(heardMs), "ms", "<100");
    std::printf("worst of %zu: %.0f ms\n", heardMs.size(), worst(heardMs));
    Result("chapters: jump, farthest landing from the chapter start", worst(landingMs), "ms", "<=50");
    Result("chapters: jumps heard", double(heardMs.size()), "of 5", ">=5");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    char tmpl[] = "/tmp/tellwick-bench-XXXXXX";
    const bool kept = argc > 1;
    const fs::path dir = kept ? fs::path(argv[1]) : fs::path(mkdtemp(tmpl));
    if (!(kept && fs::exists(dir / "plain.m4b")) && !makeBook(dir)) {
        std::fprintf(stderr, "could not make the book\n");
        return 1;
    }
    std::size_t marked = 0, plain = 0;
    const double withMs = bestOpenMs((dir / "marked.m4b").string(), marked);
    const double withoutMs = bestOpenMs((dir / "plain.m4b").string(), plain);
    Result("chapters: open a 20-hour m4b with 3000 chapters", withMs, "ms");
    Result("chapters: open it without chapters", withoutMs, "ms");
    Result("chapters: what 3000 chapters add", withMs - withoutMs, "ms", "<20");
    Result("chapters: all 3000 read", marked == 3000 && plain == 0 ? 1 : 0, "", ">=1");
    bool heard = false;
    try {
        testsupport::PulseServer server(testsupport::PulseServer::Kind::PulseAudio);
        server.makeMonitorRealTime();
        heard = listen((dir / "book.m4b").string());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sound server: %s\n", e.what());
    }
    if (!kept)
        fs::remove_all(dir);
    return heard ? 0 : 1;
}
