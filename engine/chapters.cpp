#include "engine/chapters.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cstring>

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

} // namespace

std::vector<Chapter> readChapters(const AVFormatContext& format, int sampleRate, std::int64_t lengthFrames) {
    std::vector<Chapter> marks;
    marks.reserve(format.nb_chapters);
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
