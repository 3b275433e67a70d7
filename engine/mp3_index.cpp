#include "engine/mp3_index.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

namespace engine {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Forward-moving window over a file, for walking MP3 frame headers without FFmpeg's
// per-packet overhead.
class ChunkReader {
public:
    explicit ChunkReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")), buffer_(1 << 20) {}
    bool ok() const { return file_ != nullptr; }
    bool bytesAt(std::int64_t pos, unsigned char* out, std::size_t count) {
        if (pos < bufferStart_ || pos + std::int64_t(count) > bufferStart_ + std::int64_t(bufferFill_)) {
            if (fseeko(file_.get(), pos, SEEK_SET) != 0)
                return false;
            bufferStart_ = pos;
            bufferFill_ = std::fread(buffer_.data(), 1, buffer_.size(), file_.get());
            if (bufferFill_ < count)
                return false;
        }
        std::memcpy(out, buffer_.data() + (pos - bufferStart_), count);
        return true;
    }

private:
    FilePtr file_;
    std::vector<unsigned char> buffer_;
    std::int64_t bufferStart_ = 0;
    std::size_t bufferFill_ = 0;
};

constexpr std::int64_t kMp3PointSpacing = 32;

std::uint32_t bigEndian32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The Xing/Info frame that FFmpeg skips before firstAudioPos: its frame count and the
// LAME tag's end padding. The padding counts only when the file still holds that many frames.
struct XingInfo {
    std::int64_t frames = -1;
    std::int64_t endPadding = 0;
};
XingInfo readXingInfo(ChunkReader& reader, std::int64_t firstAudioPos) {
    XingInfo info;
    std::int64_t pos = 0;
    unsigned char id3[10];
    if (reader.bytesAt(0, id3, 10) && std::memcmp(id3, "ID3", 3) == 0) {
        const std::int64_t size = (id3[6] & 0x7f) << 21 | (id3[7] & 0x7f) << 14 | (id3[8] & 0x7f) << 7 | (id3[9] & 0x7f);
        pos = 10 + size + ((id3[5] & 0x10) ? 10 : 0);
    }
    unsigned char frame[256];
    for (; pos < firstAudioPos; ++pos) {
        if (!reader.bytesAt(pos, frame, 4))
            return info;
        if (parseMp3Header(frame))
            break;
    }
    const auto header = pos < firstAudioPos ? parseMp3Header(frame) : std::nullopt;
    if (!header || !reader.bytesAt(pos, frame, sizeof frame))
        return info;
    const int tagOffset = 4 + (header->mpeg1 ? (header->mono ? 17 : 32) : (header->mono ? 9 : 17));
    const unsigned char* tag = frame + tagOffset;
    if (std::memcmp(tag, "Xing", 4) != 0 && std::memcmp(tag, "Info", 4) != 0)
        return info;
    const std::uint32_t flags = bigEndian32(tag + 4);
    int offset = 8;
    if (flags & 1) {
        info.frames = bigEndian32(tag + offset);
        offset += 4;
    }
    offset += (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
    const unsigned char* lame = tag + offset;
    if (tagOffset + offset + 24 > int(sizeof frame))
        return info;
    if (std::memcmp(lame, "LAME", 4) == 0 || std::memcmp(lame, "Lavf", 4) == 0 || std::memcmp(lame, "Lavc", 4) == 0) {
        const int padding = (lame[22] & 0x0f) << 8 | lame[23];
        // FFmpeg's decoder already delivers 529 samples of the padding's share as delay.
        info.endPadding = std::max(0, padding - 529);
    }
    return info;
}

// The first place in [from, limit) where a frame header is followed by another at the same
// rate, as a parser would resync; -1 when there is none.
std::int64_t findFrames(ChunkReader& reader, std::int64_t from, std::int64_t limit) {
    for (std::int64_t pos = from; pos < limit; ++pos) {
        unsigned char a[4], b[4];
        if (!reader.bytesAt(pos, a, 4))
            break;
        const auto candidate = parseMp3Header(a);
        if (!candidate || !reader.bytesAt(pos + candidate->frameBytes, b, 4))
            continue;
        const auto next = parseMp3Header(b);
        if (next && next->sampleRate == candidate->sampleRate)
            return pos;
    }
    return -1;
}

bool isTrailingTag(const unsigned char* p) {
    return std::memcmp(p, "TAG", 3) == 0 || std::memcmp(p, "APETAGEX", 8) == 0 || std::memcmp(p, "LYRICS", 6) == 0;
}

} // namespace

std::optional<Mp3FrameHeader> parseMp3Header(const unsigned char* h) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return std::nullopt;
    const int version = (h[1] >> 3) & 3; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int layer = (h[1] >> 1) & 3;   // 1: Layer III
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return std::nullopt;
    static constexpr std::array<int, 15> kbpsMpeg1 = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static constexpr std::array<int, 15> kbpsMpeg2 = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static constexpr std::array<int, 3> rates = {44100, 48000, 32000};
    Mp3FrameHeader header{};
    header.mpeg1 = version == 3;
    header.sampleRate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    header.samplesPerFrame = header.mpeg1 ? 1152 : 576;
    const int kbps = (header.mpeg1 ? kbpsMpeg1 : kbpsMpeg2)[bitrateIndex];
    header.frameBytes = header.samplesPerFrame / 8 * kbps * 1000 / header.sampleRate + ((h[2] >> 1) & 1);
    header.mono = (h[3] >> 6) == 3;
    return header;
}

std::optional<Mp3Scan> scanMp3(const std::string& path, std::int64_t firstAudioPos, int sampleRate, std::int64_t fileSize) {
    ChunkReader reader(path);
    if (!reader.ok())
        return std::nullopt;
    Mp3Scan scan;
    unsigned char h[8];
    // FFmpeg looks only 64 KiB past the tags for the first frame; beyond that (zeros, junk or
    // an APEv2 tag in front) its first packet starts before the frames, so find them.
    std::int64_t pos = firstAudioPos;
    if (!reader.bytesAt(pos, h, 4) || !parseMp3Header(h))
        pos = findFrames(reader, firstAudioPos, fileSize - 4);
    if (pos < 0)
        return std::nullopt;
    Mp3Clock clock;
    while (pos + 4 <= fileSize && reader.bytesAt(pos, h, std::min<std::int64_t>(8, fileSize - pos))) {
        auto header = parseMp3Header(h);
        if (!header) {
            if (pos + 8 <= fileSize && isTrailingTag(h))
                break;
            // Damaged stretch: resync, as a parser would.
            pos = findFrames(reader, pos + 1, std::min(fileSize - 4, pos + 65536));
            if (pos < 0)
                break;
            continue;
        }
        if (pos + header->frameBytes > fileSize)
            break; // a cut-off last frame still decodes partly; FFmpeg counts it, so do we
        if (scan.frames % kMp3PointSpacing == 0)
            scan.seekPoints.push_back({pos, clock});
        ++scan.frames;
        clock.advance(*header, sampleRate);
        pos += header->frameBytes;
    }
    scan.units = clock.unit();
    const XingInfo xing = readXingInfo(reader, firstAudioPos);
    if (xing.frames == scan.frames)
        scan.endDiscard = xing.endPadding;
    return scan;
}

} // namespace engine
