// Test fixtures made on disk at test time with ffmpeg, sox and espeak-ng.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A fresh folder under the system temp dir, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Polls done() every pollMs until it holds or deadlineMs have passed; returns its last answer.
bool WaitUntil(const std::function<bool()>& done, int deadlineMs = 15000, int pollMs = 5);

// Runs a shell command: its exit status (0 = success; output goes to stderr), or what it printed.
int run(const std::string& command);
std::string capture(const std::string& command);
std::string shellQuote(const std::string& text);

// Starts a program (no shell) with extra environment entries and stdin/stdout from/to files;
// it gets SIGTERM if this process dies. stopProcess ends it (SIGTERM, then SIGKILL) and sets pid to -1.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
            const std::string& stdinPath = "/dev/null", const std::string& stdoutPath = "/dev/null");
void stopProcess(pid_t& pid);

// A pure tone from ffmpeg, encoded by the extension of path; extraArgs go before the output name.
void makeTone(const std::string& path, double hz, double seconds, int rate, int channels,
              const std::string& extraArgs = "");

// Step k lasts stepSeconds at baseHz + k * stepHz, so the frequency heard tells the position.
void makeSteppedTone(const std::string& path, double baseHz, double stepHz, int steps,
                     double stepSeconds, int rate, int channels, const std::string& extraArgs = "");

// Writes chapter marks to an ffmetadata file at metaPath; returns the ffmpeg arguments (after the
// audio input, before the output) that put them into the output.
struct ChapterMark {
    int startMs, endMs;
    std::string title;
};
std::string chapterArgs(const std::string& metaPath, const std::vector<ChapterMark>& marks);

// count files named .mp3 that no decoder takes, in turn: a preallocated unfinished download
// (8 MB of zeros), 100 KB of random junk, an empty file, a page of text. Named first + i.
void makeUnplayableFiles(const std::string& folder, int first, int count);

std::vector<unsigned char> readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// The player's data files, built byte by byte: the settings file is little-endian int32 fields;
// a book slot is 272 bytes, the path NUL-padded, then the position as a little-endian int64 at 264.
std::vector<unsigned char> int32Bytes(std::initializer_list<std::int32_t> values);
std::vector<unsigned char> bookSlotBytes(const std::string& path, std::int64_t position);
std::vector<unsigned char> joinBytes(std::initializer_list<std::vector<unsigned char>> parts);

// Dominant frequency of a block of mono samples by rising zero crossings (about 1% for clean tones).
double dominantFrequency(const float* samples, std::size_t count, int sampleRate);
double rms(const float* samples, std::size_t count);

} // namespace testsupport
