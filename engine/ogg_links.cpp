#include "engine/ogg_links.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

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

// Page headers are a few dozen bytes every few kilobytes: read in large blocks and
// skip bodies inside the block, so the walk costs one pass over the file.
class PageReader {
public:
    explicit PageReader(std::FILE* file) : file_(file), buffer_(1 << 20) {}
    // `count` bytes at `pos`; nullptr past the end of the file.
    const unsigned char* at(std::int64_t pos, std::size_t count) {
        if (pos < start_ || pos + std::int64_t(count) > start_ + std::int64_t(fill_)) {
            if (fseeko(file_, pos, SEEK_SET) != 0)
                return nullptr;
            start_ = pos;
            fill_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
            if (fill_ < count)
                return nullptr;
        }
        return buffer_.data() + (pos - start_);
    }

private:
    std::FILE* file_;
    std::vector<unsigned char> buffer_;
    std::int64_t start_ = 0;
    std::size_t fill_ = 0;
};

} // namespace

std::vector<OggLink> scanOggLinks(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    std::vector<OggLink> links;
    if (file) {
        // Every page is walked: a link need not have a serial number of its own (the same
        // file joined twice, or encoders that number every stream alike), but each starts
        // with a page marked as a stream's first.
        PageReader reader(file.get());
        // Opus timestamps leave out the pre-skip that its granules count.
        std::int64_t lastGranule = 0, preSkip = 0;
        std::int64_t pos = 0;
        while (const unsigned char* header = reader.at(pos, 27)) {
            if (std::memcmp(header, "OggS", 4) != 0)
                break;
            const std::int64_t granule = littleEndian(header + 6, 8);
            const bool firstOfLink = header[5] & 0x02;
            const int segments = header[26];
            const unsigned char* lacing = reader.at(pos + 27, std::size_t(segments));
            if (!lacing)
                break;
            std::int64_t body = 0;
            for (int i = 0; i < segments; ++i)
                body += lacing[i];
            const std::int64_t bodyPos = pos + 27 + segments;
            if (firstOfLink) {
                const std::int64_t offset = links.empty() ? 0 : links.back().offset + lastGranule - preSkip;
                links.push_back({pos, offset});
                lastGranule = 0;
                const unsigned char* payload = body >= 12 ? reader.at(bodyPos, 12) : nullptr;
                preSkip = payload && std::memcmp(payload, "OpusHead", 8) == 0 ? littleEndian(payload + 10, 2) : 0;
            }
            if (granule != -1)
                lastGranule = granule;
            pos = bodyPos + body;
        }
    }
    if (links.empty())
        links.push_back({0, 0});
    return links;
}

} // namespace engine
