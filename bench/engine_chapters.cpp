// What chapter marks cost when a file opens: a 20-hour m4b (low-rate mono AAC, so it is quick
// to make) opened with 3,000 chapters in both of its lists and without any, best of five each.
#include "engine/decoder.h"
#include "result.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

double bestOpenMs(const std::string& path, std::size_t& chapters) {
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto decoder = engine::Decoder::open(path);
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        chapters = decoder ? decoder->chapters().size() : 0;
    }
    return best;
}

} // namespace

int main() {
    char tmpl[] = "/tmp/tellwick-bench-XXXXXX";
    const std::filesystem::path dir = mkdtemp(tmpl);
    {
        std::ofstream meta(dir / "meta.txt");
        meta << ";FFMETADATA1\n";
        for (int i = 0; i < 3000; ++i)
            meta << "[CHAPTER]\nTIMEBASE=1/1000\nSTART=" << i * 24000LL << "\nEND=" << (i + 1) * 24000LL
                 << "\ntitle=Глава " << i + 1 << "\n";
    }
    const std::string tone = "ffmpeg -nostdin -loglevel error -y -f lavfi -i anullsrc=r=8000:cl=mono:d=72000 ";
    const std::string in = (dir / "meta.txt").string();
    if (std::system((tone + "-i " + in + " -map 0:a -map_chapters 1 -c:a aac -b:a 8k -f mp4 " +
                     (dir / "marked.m4b").string()).c_str()) != 0 ||
        std::system((tone + "-c:a aac -b:a 8k -f mp4 " + (dir / "plain.m4b").string()).c_str()) != 0)
        return 1;
    std::size_t marked = 0, plain = 0;
    const double withMs = bestOpenMs((dir / "marked.m4b").string(), marked);
    const double withoutMs = bestOpenMs((dir / "plain.m4b").string(), plain);
    Result("chapters: open a 20-hour m4b with 3000 chapters", withMs, "ms");
    Result("chapters: open it without chapters", withoutMs, "ms");
    Result("chapters: what 3000 chapters add", withMs - withoutMs, "ms", "<20");
    Result("chapters: all 3000 read", marked == 3000 && plain == 0 ? 1 : 0, "", ">=1");
    std::filesystem::remove_all(dir);
    return 0;
}
