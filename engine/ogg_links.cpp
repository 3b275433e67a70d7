#include "engine/ogg_links.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace engine {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::int64_t littleEndian(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return std::int64_t(v);
}

} // namespace

std::vector<OggLink> scanOggLinks(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    std::vector<OggLink> links{{0, 0}};
    if (!file)
        return links;
    // Each link has its own serial number: when the last page has the first page's, there is
    // one link and no need to walk the whole file.
    unsigned char first[27];
    std::vector<unsigned char> tail(65536 + 27);
    if (std::fread(first, 1, sizeof first, file.get()) != sizeof first || fseeko(file.get(), 0, SEEK_END) != 0)
        return links;
    const std::int64_t size = ftello(file.get());
    const std::int64_t tailStart = std::max<std::int64_t>(0, size - std::int64_t(tail.size()));
    if (fseeko(file.get(), tailStart, SEEK_SET) != 0)
        return links;
    tail.resize(std::fread(tail.data(), 1, tail.size(), file.get()));
    for (std::size_t i = tail.size() >= 27 ? tail.size() - 27 + 1 : 0; i-- > 0;) {
        if (std::memcmp(tail.data() + i, "OggS", 4) == 0) {
            if (std::memcmp(tail.data() + i + 14, first + 14, 4) == 0)
                return links;
            break;
        }
    }
    links.clear();
    // Opus timestamps leave out the pre-skip that its granules count.
    std::int64_t lastGranule = 0, preSkip = 0;
    std::int64_t pos = 0;
    unsigned char header[27 + 255], payload[19];
    while (fseeko(file.get(), pos, SEEK_SET) == 0 && std::fread(header, 1, 27, file.get()) == 27 &&
           std::memcmp(header, "OggS", 4) == 0) {
        const int segments = header[26];
        if (std::fread(header + 27, 1, segments, file.get()) != std::size_t(segments))
            break;
        std::int64_t body = 0;
        for (int i = 0; i < segments; ++i)
            body += header[27 + i];
        if (header[5] & 0x02) { // first page of a link
            const std::int64_t offset = links.empty() ? 0 : links.back().offset + lastGranule - preSkip;
            links.push_back({pos, offset});
            lastGranule = 0;
            const std::size_t got = std::fread(payload, 1, sizeof payload, file.get());
            preSkip = got >= 12 && std::memcmp(payload, "OpusHead", 8) == 0 ? littleEndian(payload + 10, 2) : 0;
        }
        const std::int64_t granule = littleEndian(header + 6, 8);
        if (granule != -1)
            lastGranule = granule;
        pos += 27 + segments + body;
    }
    if (links.empty())
        links.push_back({0, 0});
    return links;
}

} // namespace engine
