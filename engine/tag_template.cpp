#include "engine/tag_template.h"

#include "engine/cp1251.h"

#include <taglib/fileref.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/wavfile.h>
#include <taglib/tag.h>
#include <taglib/tstring.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace engine {
namespace {

// Text up to the first NUL, as TagLib's own Latin-1 readers do.
TagLib::String decodeCp1251(const TagLib::ByteVector& data) {
    std::wstring text;
    text.reserve(data.size());
    for (char c : data) {
        if (c == '\0')
            break;
        text.push_back(static_cast<wchar_t>(Cp1251ToUnicode(static_cast<unsigned char>(c))));
    }
    return TagLib::String(text);
}

class Id3v1Cp1251Handler : public TagLib::ID3v1::StringHandler {
public:
    TagLib::String parse(const TagLib::ByteVector& data) const override {
        return decodeCp1251(data).stripWhiteSpace();
    }
};

class Id3v2Cp1251Handler : public TagLib::ID3v2::Latin1StringHandler {
public:
    TagLib::String parse(const TagLib::ByteVector& data) const override { return decodeCp1251(data); }
};

// TagLib keeps these handlers in process-wide pointers, so they are set once for everyone.
void installCp1251Handlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const Id3v1Cp1251Handler id3v1;
        static const Id3v2Cp1251Handler id3v2;
        TagLib::ID3v1::Tag::setStringHandler(&id3v1);
        TagLib::ID3v2::Tag::setLatin1StringHandler(&id3v2);
        av_log_set_level(AV_LOG_QUIET);
    });
}

// ---- UTF-8 ----------------------------------------------------------------

constexpr char32_t kReplacement = 0xFFFD;

// Malformed bytes each become U+FFFD, so nothing is lost silently and nothing over-reads.
std::u32string decodeUtf8(const std::string& text) {
    std::u32string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        int extra = (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 0;
        if (extra == 0 || i + extra >= text.size()) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        char32_t cp = lead & (0x3F >> extra);
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr char32_t kMinForLength[] = {0, 0x80, 0x800, 0x10000};
        if (!valid || cp < kMinForLength[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

std::string encodeUtf8(const std::u32string& text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t cp : text) {
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            cp = kReplacement;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

// TagLib keeps UTF-16 units: its own UTF-8 form joins surrogate pairs (emoji and the like).
std::u32string fromTagString(const TagLib::String& text) { return decodeUtf8(text.to8Bit(true)); }

std::u32string fromNumber(unsigned int value) {
    if (value == 0)
        return {};
    std::string digits = std::to_string(value);
    return std::u32string(digits.begin(), digits.end());
}

// Text that is not valid UTF-8 read as Windows-1251, which is what Russian Windows tools
// wrote; nullopt for valid UTF-8.
std::optional<std::u32string> cp1251IfNotUtf8(const std::string& bytes) {
    if (encodeUtf8(decodeUtf8(bytes)) == bytes)
        return std::nullopt;
    std::u32string text;
    for (char c : bytes)
        text.push_back(Cp1251ToUnicode(static_cast<unsigned char>(c)));
    return text;
}

// ---- Case mapping (ASCII, Latin-1, Latin Extended-A, Cyrillic) -------------

char32_t toUpper(char32_t c) {
    if (c >= U'a' && c <= U'z')
        return c - 0x20;
    if (c < 0x80)
        return c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return c - 0x20;
    if (c == 0xFF)
        return 0x178;
    if (c == 0x131)  // dotless i
        return U'I';
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return (c & 1) ? c - 1 : c;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1) ? c : c - 1;
    if (c == 0x17F)  // long s
        return U'S';
    if (c >= 0x430 && c <= 0x44F)
        return c - 0x20;
    if (c >= 0x450 && c <= 0x45F)
        return c - 0x50;
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x4FF))
        return (c & 1) ? c - 1 : c;
    if (c >= 0x4C1 && c <= 0x4CE)
        return (c & 1) ? c : c - 1;
    if (c == 0x4CF)
        return 0x4C0;
    return c;
}

char32_t toLower(char32_t c) {
    if (c >= U'A' && c <= U'Z')
        return c + 0x20;
    if (c < 0x80)
        return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 0x20;
    if (c == 0x178)
        return 0xFF;
    if (c == 0x130)  // dotted capital I
        return U'i';
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return (c & 1) ? c : c + 1;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1) ? c + 1 : c;
    if (c >= 0x410 && c <= 0x42F)
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F)
        return c + 0x50;
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x4FF))
        return (c & 1) ? c : c + 1;
    if (c >= 0x4C1 && c <= 0x4CE)
        return (c & 1) ? c + 1 : c;
    if (c == 0x4C0)
        return 0x4CF;
    return c;
}

bool isSpace(char32_t c) {
    return c == U' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200B) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000 || c == 0xFEFF;
}

// Letters, digits and apostrophes keep a word going; anything else ends it,
// so "war-and-peace" and "(война)" capitalise like separate words.
bool continuesWord(char32_t c) {
    if (c < 0x80)
        return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'\'';
    if (c == 0x2019)  // typographic apostrophe
        return true;
    if (isSpace(c))
        return false;
    bool latin1Symbol = (c >= 0x80 && c <= 0xBF) || c == 0xD7 || c == 0xF7;
    bool punctuationBlock = (c >= 0x2000 && c <= 0x206F) || (c >= 0x3000 && c <= 0x303F);
    return !latin1Symbol && !punctuationBlock;
}

std::u32string trimmed(const std::u32string& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::u32string upperCased(std::u32string text) {
    for (char32_t& c : text)
        c = toUpper(c);
    return text;
}

std::u32string wordsCapitalised(std::u32string text) {
    bool inWord = false;
    for (char32_t& c : text) {
        c = inWord ? toLower(c) : toUpper(c);
        inWord = continuesWord(c);
    }
    return text;
}

// ---- Template expansion -----------------------------------------------------

struct TagValues {
    std::u32string track, artist, title, album, year, genre, comment;
};

// Deeper nesting than this is kept as literal text, so a hostile template cannot exhaust the stack.
constexpr int kMaxNesting = 64;

class Expander {
public:
    Expander(const std::u32string& tmpl, const TagValues& values) : text_(tmpl), values_(values) {}

    std::u32string expandAll() { return expandSequence(false, 0); }

private:
    const std::u32string& text_;
    const TagValues& values_;
    std::size_t pos_ = 0;

    bool atEnd() const { return pos_ >= text_.size(); }

    bool nameAt(std::size_t at, const char* name) const {
        for (std::size_t k = 0; k < 4; ++k) {
            if (at + k >= text_.size() || text_[at + k] != static_cast<char32_t>(name[k]))
                return false;
        }
        return true;
    }

    const std::u32string* valueNamedAt(std::size_t at) const {
        if (nameAt(at, "TRCK")) return &values_.track;
        if (nameAt(at, "ARTI")) return &values_.artist;
        if (nameAt(at, "TITL")) return &values_.title;
        if (nameAt(at, "ALBM")) return &values_.album;
        if (nameAt(at, "YEAR")) return &values_.year;
        if (nameAt(at, "GNRE")) return &values_.genre;
        if (nameAt(at, "CMNT")) return &values_.comment;
        return nullptr;
    }

    enum class Operation { None, IfValue, IfValueElse, Trim, Capitalise, Upper };

    Operation operationNamedAt(std::size_t at) const {
        if (nameAt(at, "IFV1")) return Operation::IfValue;
        if (nameAt(at, "IFV2")) return Operation::IfValueElse;
        if (nameAt(at, "ITRM")) return Operation::Trim;
        if (nameAt(at, "ICAP")) return Operation::Capitalise;
        if (nameAt(at, "IUPC")) return Operation::Upper;
        return Operation::None;
    }

    // Inside an argument list a top-level ',' or ')' ends the argument; elsewhere both are literal.
    std::u32string expandSequence(bool insideArguments, int depth) {
        std::u32string out;
        while (!atEnd()) {
            char32_t c = text_[pos_];
            if (insideArguments && (c == U',' || c == U')'))
                break;
            if (c != U'%') {
                out.push_back(c);
                ++pos_;
                continue;
            }
            std::size_t name = pos_ + 1;
            if (name < text_.size() && (text_[name] == U'(' || text_[name] == U')')) {
                out.push_back(text_[name]);
                pos_ += 2;
                continue;
            }
            if (const std::u32string* value = valueNamedAt(name)) {
                out += *value;
                pos_ += 5;
                continue;
            }
            Operation op = operationNamedAt(name);
            std::size_t open = name + 4;
            if (op != Operation::None && open < text_.size() && text_[open] == U'(' && depth < kMaxNesting) {
                pos_ = open + 1;
                out += apply(op, readArguments(depth + 1));
                continue;
            }
            // A lone '%', an unknown name or an operation without its '(' stays as written.
            out.push_back(c);
            ++pos_;
        }
        return out;
    }

    // A missing ')' closes the list at the end of the template.
    std::vector<std::u32string> readArguments(int depth) {
        std::vector<std::u32string> args;
        for (;;) {
            args.push_back(expandSequence(true, depth));
            if (atEnd())
                break;
            char32_t separator = text_[pos_++];
            if (separator == U')')
                break;
        }
        return args;
    }

    static std::u32string apply(Operation op, std::vector<std::u32string> args) {
        // Missing arguments read as empty text; extra ones are ignored.
        args.resize(3);
        switch (op) {
        case Operation::IfValue:
            return args[0].empty() ? std::u32string() : args[1];
        case Operation::IfValueElse:
            return args[0].empty() ? args[2] : args[1];
        case Operation::Trim:
            return trimmed(args[0]);
        case Operation::Capitalise:
            return wordsCapitalised(args[0]);
        case Operation::Upper:
            return upperCased(args[0]);
        case Operation::None:
            break;
        }
        return {};
    }
};

// FileRef's tag() merges every tag a file carries, except for WAV, whose tag() is
// only its ID3v2 chunk; its RIFF INFO list is consulted after that.
std::vector<const TagLib::Tag*> tagsOf(TagLib::File* file) {
    if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file))
        return {wav->ID3v2Tag(), wav->InfoTag()};
    return {file->tag()};
}

template <typename Field>
std::u32string firstText(const std::vector<const TagLib::Tag*>& tags, Field field) {
    for (const TagLib::Tag* tag : tags) {
        if (tag && !(tag->*field)().isEmpty())
            return fromTagString((tag->*field)());
    }
    return {};
}

template <typename Field>
std::u32string firstNumber(const std::vector<const TagLib::Tag*>& tags, Field field) {
    for (const TagLib::Tag* tag : tags) {
        if (tag && (tag->*field)() != 0)
            return fromNumber((tag->*field)());
    }
    return {};
}

// TagLib drops text that claims to be UTF-8 and is not (Vorbis and FLAC comments, APEv2, MP4,
// RIFF INFO, which declares no encoding at all); FFmpeg keeps its bytes. Fills the fields
// TagLib left empty from those.
void fillFromInvalidUtf8(const std::string& path, TagValues& values) {
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return;
    raw->format_probesize = 1 << 20;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return; // avformat_open_input freed the context
    const std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> format(
        raw, [](AVFormatContext* c) { avformat_close_input(&c); });
    std::vector<const AVDictionary*> dictionaries{format->metadata};
    for (unsigned i = 0; i < format->nb_streams; ++i)
        dictionaries.push_back(format->streams[i]->metadata);
    for (auto [key, field] : {std::pair{"artist", &values.artist}, {"title", &values.title}, {"album", &values.album},
                              {"genre", &values.genre}, {"comment", &values.comment}}) {
        for (const AVDictionary* dictionary : dictionaries) {
            const AVDictionaryEntry* entry = field->empty() ? av_dict_get(dictionary, key, nullptr, 0) : nullptr;
            if (auto text = entry ? cp1251IfNotUtf8(entry->value) : std::nullopt)
                *field = *text;
        }
    }
}

} // namespace

std::string expandTagTemplate(const std::string& path, const std::string& tmpl) {
    installCp1251Handlers();
    // Audio properties are not needed: skipping them spares a scan of the stream.
    TagLib::FileRef file(path.c_str(), false);
    if (file.isNull() || !file.file()->isValid())
        return {};
    const std::vector<const TagLib::Tag*> tags = tagsOf(file.file());
    TagValues values{firstNumber(tags, &TagLib::Tag::track),  firstText(tags, &TagLib::Tag::artist),
                     firstText(tags, &TagLib::Tag::title),    firstText(tags, &TagLib::Tag::album),
                     firstNumber(tags, &TagLib::Tag::year),   firstText(tags, &TagLib::Tag::genre),
                     firstText(tags, &TagLib::Tag::comment)};
    if (values.artist.empty() || values.title.empty() || values.album.empty() || values.genre.empty() ||
        values.comment.empty())
        fillFromInvalidUtf8(path, values);
    const bool untagged = values.track.empty() && values.artist.empty() && values.title.empty() &&
                          values.album.empty() && values.year.empty() && values.genre.empty() &&
                          values.comment.empty();
    if (untagged)
        return {};
    std::u32string pattern = decodeUtf8(tmpl);
    return encodeUtf8(Expander(pattern, values).expandAll());
}

} // namespace engine
