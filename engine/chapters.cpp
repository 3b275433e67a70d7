#include "engine/chapters.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <string_view>
#include <utility>

namespace engine {
namespace {

constexpr std::size_t kMaxTitleCharacters = 200;
// Marks closer than this are one place to a listener (and one row in a list).
constexpr double kMinChapterSeconds = 0.5;

// Valid UTF-8 with control characters as spaces, runs of spaces as one, trimmed and cut
// after kMaxTitleCharacters characters; invalid bytes are dropped.
std::string cleanTitle(const char* raw) {
    std::string out;
    if (!raw)
        return out;
    const auto* s = reinterpret_cast<const unsigned char*>(raw);
    const std::size_t n = std::strlen(raw);
    std::size_t characters = 0;
    for (std::size_t i = 0; i < n && characters < kMaxTitleCharacters;) {
        const unsigned char c = s[i];
        const int length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && i + length <= n;
        std::uint32_t code = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        for (int k = 1; valid && k < length; ++k) {
            valid = (s[i + k] & 0xC0) == 0x80;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past Unicode are not characters.
        static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= kLeast[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!valid) {
            ++i;
            continue;
        }
        if (code < 0x20 || code == ' ' || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029) {
            if (!out.empty() && out.back() != ' ') {
                out += ' ';
                ++characters;
            }
        } else {
            out.append(raw + i, std::size_t(length));
            ++characters;
        }
        i += std::size_t(length);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::uint32_t id3Number(const char* p, bool syncSafe) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return syncSafe ? std::uint32_t(b[0] & 0x7F) << 21 | (b[1] & 0x7F) << 14 | (b[2] & 0x7F) << 7 | (b[3] & 0x7F)
                    : std::uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
}

// ID3v2 unsynchronisation undone: each FF 00 back to FF.
std::string resynced(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out += bytes[i];
        if (bytes[i] == '\xFF' && i + 1 < bytes.size() && bytes[i + 1] == 0)
            ++i;
    }
    return out;
}

// Calls take(id, formatFlags, body) for each frame of an ID3v2.3 or 2.4 frame list.
template <class Take>
void eachId3Frame(std::string_view frames, int version, Take take) {
    for (std::size_t at = 0; at + 10 <= frames.size() && frames[at] != 0;) {
        const std::size_t size = id3Number(frames.data() + at + 4, version == 4);
        if (size > frames.size() - at - 10)
            return;
        take(frames.substr(at, 4), static_cast<unsigned char>(frames[at + 9]), frames.substr(at + 10, size));
        at += 10 + size;
    }
}

// A text frame's first character is not the terminator (FFmpeg keeps no empty text).
bool holdsText(std::string_view frame) {
    if (frame.size() < 2)
        return false;
    const char encoding = frame[0];
    std::string_view text = frame.substr(1);
    if (encoding == 1 || encoding == 2) {
        if (text.size() >= 2 && (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF"))
            text.remove_prefix(2);
        return text.size() >= 2 && (text[0] || text[1]);
    }
    return text[0] != 0;
}

// The CHAP frames of the ID3v2 tags at a file's start that carry no title (none, or an empty
// one), as (start in ms, element id in UTF-8): FFmpeg titles such a chapter with its element id
// ("ch2"), a name meant for programs, not for listeners.
using Marks = std::set<std::pair<std::int64_t, std::string>>;
Marks untitledId3Chapters(const char* path) {
    Marks untitled;
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const std::streamoff fileSize = file.tellg();
    file.seekg(0);
    char header[10];
    // FFmpeg reads every tag that follows on from the first.
    while (file.read(header, 10) && std::string_view(header, 3) == "ID3") {
        const int version = header[3];
        const unsigned char flags = static_cast<unsigned char>(header[5]);
        const std::uint32_t size = id3Number(header + 6, true);
        if (std::streamoff(size) > fileSize - file.tellg())
            break; // a damaged size: no more than the file holds is read
        std::string tag(size, '\0');
        if (!file.read(tag.data(), std::streamsize(size)))
            break;
        if (flags & 0x10)
            file.ignore(10); // a footer
        if (version != 3 && version != 4)
            continue; // 2.2 has no chapters
        if (version == 3 && (flags & 0x80))
            tag = resynced(tag); // 2.3 unsynchronises the whole tag, 2.4 each frame
        std::string_view frames = tag;
        if ((flags & 0x40) && frames.size() >= 4) { // an extended header (2.3 leaves its size field out of its size)
            const std::size_t extended = id3Number(tag.data(), version == 4) + (version == 3 ? 4 : 0);
            frames.remove_prefix(std::min(frames.size(), extended));
        }
        eachId3Frame(frames, version, [&](std::string_view id, unsigned char format, std::string_view body) {
            // Compressed or encrypted frames are past reading here.
            if (id != "CHAP" || (format & (version == 3 ? 0xC0 : 0x0C)))
                return;
            std::string plain; // holds a resynchronised body
            if (version == 3 && (format & 0x20))
                body.remove_prefix(std::min<std::size_t>(1, body.size())); // a group id
            if (version == 4) {
                const std::size_t groupAndLength = ((format & 0x40) ? 1 : 0) + ((format & 0x01) ? 4 : 0);
                body.remove_prefix(std::min(groupAndLength, body.size()));
                if ((format & 0x02) || (flags & 0x80))
                    body = plain = resynced(body);
            }
            const std::size_t idEnd = body.find('\0');
            if (idEnd == std::string_view::npos || body.size() - idEnd - 1 < 16)
                return;
            bool titled = false;
            eachId3Frame(body.substr(idEnd + 17), version, [&](std::string_view inner, unsigned char, std::string_view text) {
                titled = titled || (inner == "TIT2" && holdsText(text));
            });
            if (titled)
                return;
            std::string elementId; // Latin-1, as FFmpeg reads it
            for (const char c : body.substr(0, idEnd)) {
                const auto b = static_cast<unsigned char>(c);
                elementId += b < 0x80 ? std::string(1, c) : std::string{char(0xC0 | b >> 6), char(0x80 | (b & 0x3F))};
            }
            untitled.emplace(id3Number(body.data() + idEnd + 1, false), std::move(elementId));
        });
    }
    return untitled;
}

} // namespace

std::vector<Chapter> readChapters(const AVFormatContext& format, int sampleRate, std::int64_t lengthFrames) {
    std::vector<Chapter> marks;
    marks.reserve(format.nb_chapters);
    const AVRational milliseconds{1, 1000};
    // ID3v2 chapters count in milliseconds; other lists mostly do not, and need no look at tags.
    const bool maybeId3 = format.url && std::any_of(format.chapters, format.chapters + format.nb_chapters,
                                                    [&](const AVChapter* c) { return !av_cmp_q(c->time_base, milliseconds); });
    const Marks untitled = maybeId3 ? untitledId3Chapters(format.url) : Marks{};
    for (unsigned i = 0; i < format.nb_chapters; ++i) {
        const AVChapter* c = format.chapters[i];
        if (!c || c->time_base.num <= 0 || c->time_base.den <= 0 || c->start == AV_NOPTS_VALUE)
            continue;
        // A mark that says it ends where it starts marks nothing; an end before the start is
        // only a broken end field, and the next mark tells the end anyway.
        if (c->end == c->start)
            continue;
        const std::int64_t start = av_rescale_q_rnd(c->start, c->time_base, AVRational{1, sampleRate},
                                                    AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
        if (start >= lengthFrames)
            continue;
        const AVDictionaryEntry* title = av_dict_get(c->metadata, "title", nullptr, 0);
        if (title && !av_cmp_q(c->time_base, milliseconds) && untitled.count({c->start, title->value}))
            title = nullptr;
        marks.push_back({std::max<std::int64_t>(start, 0), cleanTitle(title ? title->value : nullptr)});
    }
    std::stable_sort(marks.begin(), marks.end(),
                     [](const Chapter& a, const Chapter& b) { return a.startFrame < b.startFrame; });

    const auto minLength = std::int64_t(kMinChapterSeconds * sampleRate);
    std::vector<Chapter> chapters;
    for (Chapter& mark : marks) {
        if (mark.startFrame > lengthFrames - minLength)
            break;
        if (!chapters.empty() && mark.startFrame - chapters.back().startFrame < minLength) {
            // One place marked twice (both of a file's chapter lists, or a copy): one chapter,
            // named by the first mark that has a name.
            if (chapters.back().title.empty())
                chapters.back().title = std::move(mark.title);
            continue;
        }
        chapters.push_back(std::move(mark));
    }
    if (chapters.size() < 2)
        return {};
    chapters.front().startFrame = 0;
    for (std::size_t i = 0; i < chapters.size(); ++i)
        if (chapters[i].title.empty())
            chapters[i].title = "Глава " + std::to_string(i + 1);
    return chapters;
}

} // namespace engine
