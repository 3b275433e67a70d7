#include "support/fixtures.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

TempDir::TempDir() : path_((std::filesystem::temp_directory_path() / "tellwick-test-XXXXXX").string()) {
    if (!mkdtemp(path_.data()))
        throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool WaitUntil(const std::function<bool()>& done, int deadlineMs, int pollMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

int run(const std::string& command) {
    int status = std::system((command + " 1>&2").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string capture(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::string shellQuote(const std::string& text) {
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            const std::string& stdinPath, const std::string& stdoutPath) {
    // Everything the child needs is built before fork: after it only async-signal-safe calls.
    std::vector<std::string> strings = extraEnv;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (std::none_of(extraEnv.begin(), extraEnv.end(),
                         [&](const std::string& x) { return entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0; }))
            strings.push_back(entry);
    }
    strings.insert(strings.end(), argv.begin(), argv.end());
    std::vector<char*> envp, args;
    for (std::size_t i = 0; i < strings.size(); ++i)
        (i < strings.size() - argv.size() ? envp : args).push_back(strings[i].data());
    envp.push_back(nullptr);
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("cannot start " + argv[0]);
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int in = open(stdinPath.c_str(), O_RDONLY);
        const int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (getppid() != parent || in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0)
            _exit(127);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

void stopProcess(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    if (!WaitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 2000, 10)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

// Encodes an ffmpeg lavfi source to path, or throws.
static void encode(const std::string& source, int channels, const std::string& extraArgs, const std::string& path) {
    const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i " + shellQuote(source) + " -ac " +
                                std::to_string(channels) + " " + extraArgs + " " + shellQuote(path);
    if (run(command) != 0)
        throw std::runtime_error("fixture command failed: " + command);
}

void makeTone(const std::string& path, double hz, double seconds, int rate, int channels, const std::string& extraArgs) {
    std::ostringstream src;
    src << "sine=frequency=" << hz << ":sample_rate=" << rate << ":duration=" << seconds;
    encode(src.str(), channels, extraArgs, path);
}

void makeSteppedTone(const std::string& path, double baseHz, double stepHz, int steps, double stepSeconds, int rate,
                     int channels, const std::string& extraArgs) {
    // The frequency jumps at every step boundary.
    std::ostringstream src;
    src << "aevalsrc=exprs=sin(2*PI*(" << baseHz << "+" << stepHz << "*floor(t/" << stepSeconds
        << "))*t):sample_rate=" << rate << ":duration=" << steps * stepSeconds;
    encode(src.str(), channels, extraArgs, path);
}

std::string chapterArgs(const std::string& metaPath, const std::vector<ChapterMark>& marks) {
    std::ofstream meta(metaPath, std::ios::binary);
    meta << ";FFMETADATA1\n";
    for (const ChapterMark& m : marks) {
        meta << "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" << m.startMs << "\nEND=" << m.endMs << "\ntitle=";
        for (char c : m.title)
            meta << (std::strchr("=;#\\\n", c) ? "\\" : "") << c;
        meta << "\n";
    }
    return " -i " + shellQuote(metaPath) + " -map 0:a -map_chapters 1";
}

std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void makeUnplayableFiles(const std::string& folder, int first, int count) {
    std::vector<unsigned char> junk(100'000), text;
    std::generate(junk.begin(), junk.end(), [state = 12345u]() mutable { return (state = state * 1103515245u + 12345u) >> 24; });
    for (const std::string line = "Глава первая. Не звук.\n"; text.size() < 4000;)
        text.insert(text.end(), line.begin(), line.end());
    for (int i = 0; i < count; ++i) {
        const std::string path = folder + "/" + std::to_string(first + i) + ".mp3";
        writeBytes(path, i % 4 == 1 ? junk : i % 4 == 3 ? text : std::vector<unsigned char>{});
        if (i % 4 == 0 && run("fallocate -l 8M " + shellQuote(path)) != 0)
            throw std::runtime_error("cannot preallocate " + path);
    }
}

std::vector<unsigned char> int32Bytes(std::initializer_list<std::int32_t> values) {
    std::vector<unsigned char> bytes;
    for (std::int32_t v : values)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<unsigned char>(std::uint32_t(v) >> (8 * i)));
    return bytes;
}

std::vector<unsigned char> bookSlotBytes(const std::string& path, std::int64_t position) {
    std::vector<unsigned char> slot(272, 0);
    std::copy(path.begin(), path.end(), slot.begin());
    for (int i = 0; i < 8; ++i)
        slot[264 + i] = static_cast<unsigned char>(std::uint64_t(position) >> (8 * i));
    return slot;
}

std::vector<unsigned char> joinBytes(std::initializer_list<std::vector<unsigned char>> parts) {
    std::vector<unsigned char> bytes;
    for (const auto& part : parts)
        bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

double dominantFrequency(const float* samples, std::size_t count, int sampleRate) {
    // Count rising zero crossings with linear interpolation between samples.
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < count; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            double t = (i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
            if (first < 0)
                first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2)
        return 0;
    return (crossings - 1) * sampleRate / (last - first);
}

double rms(const float* samples, std::size_t count) {
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return count ? std::sqrt(sum / count) : 0;
}

} // namespace testsupport
