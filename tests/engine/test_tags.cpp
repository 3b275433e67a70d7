// Tag template expansion against real files tagged at test time by ffmpeg, or with
// tag bytes built here the way old Windows taggers wrote them (Windows-1251).
#include "engine/tag_template.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <tuple>
#include <vector>

using namespace testsupport;
using engine::expandTagTemplate;

namespace {

// The player's title line template, exactly as the player passes it.
const std::string kTitleTemplate =
    "%IFV1(%ITRM(%TRCK),%ITRM(%TRCK). )%IFV2(%ITRM(%ARTI),%ICAP(%ITRM(%ARTI)),no artist) - "
    "%IFV2(%ITRM(%TITL),%ICAP(%ITRM(%TITL)),no title)%IFV1(%ITRM(%ALBM), - %IUPC(%ITRM(%ALBM)))"
    "%IFV1(%YEAR, %(%YEAR%))%IFV1(%ITRM(%GNRE), {%ITRM(%GNRE)})%IFV1(%ITRM(%CMNT), [%ITRM(%CMNT)])";

using Bytes = std::vector<unsigned char>;

std::string meta(const std::string& key, const std::string& value) {
    return "-metadata " + shellQuote(key + "=" + value) + " ";
}

// mp3 carries ID3v2.3 plus an ID3v1 block, AIFF its ID3v2 chunk; "bare" is an mp3 with no tag at all.
std::string makeTagged(const TempDir& dir, const std::string& name, const std::string& ext,
                       const std::string& metadata) {
    const std::string muxer = ext == "mp3"    ? "-id3v2_version 3 -write_id3v1 1 "
                              : ext == "aiff" ? "-write_id3v2 1 "
                              : ext == "bare" ? "-id3v2_version 0 -write_id3v1 0 "
                                              : "";
    const std::string path = dir.file(name + "." + (ext == "bare" ? "mp3" : ext));
    makeTone(path, 440, 0.3, 44100, 1, "-map_metadata -1 -fflags +bitexact " + muxer + metadata);
    return path;
}

// Windows-1251 bytes of UTF-8 text, converted by the system's iconv.
Bytes cp1251(const std::string& utf8) {
    const std::string out = capture("printf '%s' " + shellQuote(utf8) + " | iconv -f UTF-8 -t CP1251");
    return Bytes(out.begin(), out.end());
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// ID3v1.1: "TAG", title 30, artist 30, album 30, year 4, comment 28, 0, track, genre.
Bytes id3v1Block(const std::array<Bytes, 5>& fields, unsigned char track, unsigned char genre) {
    Bytes block(128, 0);
    std::copy_n("TAG", 3, block.begin());
    const std::size_t offsets[] = {3, 33, 63, 93, 97};
    for (int i = 0; i < 5; ++i)
        std::copy(fields[i].begin(), fields[i].end(), block.begin() + offsets[i]);
    block[126] = track, block[127] = genre;
    return block;
}

// An ID3v2.3 tag of text frames whose encoding byte is 0 ("Latin-1").
Bytes id3v23Latin1Tag(const std::vector<std::pair<std::string, Bytes>>& frames) {
    Bytes body;
    for (const auto& [id, text] : frames) {
        append(body, Bytes(id.begin(), id.end()));
        for (int shift : {24, 16, 8, 0})
            body.push_back(static_cast<unsigned char>((text.size() + 1) >> shift));
        append(body, {0, 0, 0});  // flags, encoding
        append(body, text);
    }
    Bytes tag = {'I', 'D', '3', 3, 0, 0};
    for (int shift : {21, 14, 7, 0})  // sync-safe size
        tag.push_back(static_cast<unsigned char>((body.size() >> shift) & 0x7F));
    append(tag, body);
    return tag;
}

} // namespace

// Fully tagged in every format, partly tagged (gaps filled), untagged or unreadable (empty text);
// Windows-1251 text outside ID3.
TEST(TitleTemplate, FilledFromWhatTheFileHas) {
    TempDir dir;
    const std::string common = meta("track", "3") + meta("artist", "  лев толстой ") + meta("title", "война и мир") +
                               meta("album", " том первый") + meta("genre", "Audiobook");
    const std::string full = "3. Лев Толстой - Война И Мир - ТОМ ПЕРВЫЙ (1869) {Audiobook}";
    std::vector<std::pair<std::string, std::string>> cases = {
        {makeTagged(dir, "title", "mp3", meta("title", "the title")), "no artist - The Title"},
        {makeTagged(dir, "artist", "flac", meta("artist", "some one")), "Some One - no title"},
        {makeTagged(dir, "year", "ogg", meta("date", "2001")), "no artist - no title (2001)"},
        {makeTagged(dir, "track", "m4a", meta("track", "12")), "12. no artist - no title"},
        {makeTagged(dir, "blank", "flac", meta("title", "x") + meta("album", "   ")), "no artist - X"},  // blank once trimmed
        // Digits and apostrophes stay inside a word, other punctuation starts one; tag values
        // holding the template's own characters stay plain text.
        {makeTagged(dir, "edges", "ogg", meta("title", "вОЙНА и мир-2 ёлка") + meta("artist", "1st o'neil (the) «ёж»,x") +
                                              meta("genre", " \t лев  толстой  ") + meta("comment", "a, b (c) %TITL %(")),
         "1st O'neil (The) «Ёж»,X - Война И Мир-2 Ёлка {лев  толстой} [a, b (c) %TITL %(]"},
        {makeTagged(dir, "bare", "bare", ""), ""}, {dir.file("missing.mp3"), ""}, {dir.file("encoder.mp3"), ""},
        {dir.file("fake.mp3"), ""}};
    // WavPack's APEv2 names the year "Year"; ffmpeg cannot put a comment where WMA and AIFF readers look.
    for (const auto& [ext, yearKey, comment] : {std::tuple{"mp3", "date", true}, {"flac", "date", true}, {"ogg", "date", true},
                                                {"opus", "date", true}, {"m4a", "date", true}, {"m4b", "date", true},
                                                {"wav", "date", true}, {"wv", "year", true}, {"wma", "WM/Year", false},
                                                {"aiff", "date", false}}) {
        const std::string tags = common + meta(yearKey, "1869") + (comment ? meta("comment", "read by X") : "");
        cases.emplace_back(makeTagged(dir, "full", ext, tags), full + (comment ? " [read by X]" : ""));
        if (std::string(ext) == "m4a" || std::string(ext) == "wma" || std::string(ext) == "wv")
            cases.emplace_back(makeTagged(dir, "untagged", ext, ""), "");
    }
    // Windows-1251 bytes where UTF-8 is declared, or (RIFF INFO) no encoding at all.
    const Bytes title = cp1251("война и мир"), artist = cp1251("лев толстой");
    for (const char* ext : {"wav", "flac", "ogg", "opus", "wv", "m4a"})
        cases.emplace_back(makeTagged(dir, "cp1251", ext, meta("title", std::string(title.begin(), title.end())) +
                                                          meta("artist", std::string(artist.begin(), artist.end()))),
                           "Лев Толстой - Война И Мир");
    // An ID3v2 tag holding only the encoder's name is still no tag of ours.
    makeTone(dir.file("encoder.mp3"), 440, 0.3, 44100, 1, "-map_metadata -1 -id3v2_version 3");
    writeBytes(dir.file("fake.mp3"), Bytes(4096, 'x'));
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(expandTagTemplate(path, kTitleTemplate), expected) << path;
}

// Old Windows taggers wrote Windows-1251 into ID3v1 and into ID3v2 frames marked Latin-1.
TEST(CyrillicTags, Windows1251Id3v1AndId3v2Frames) {
    TempDir dir;
    // 101 is "Speech" in the ID3v1 genre list.
    const Bytes v1 = id3v1Block({cp1251("война и мир"), cp1251("лев толстой"), cp1251("том первый"), cp1251("1869"),
                                 cp1251("читает Клюквин")}, 3, 101);
    for (const auto& [before, after, tmpl, expected] :
         {std::tuple{Bytes{}, v1, kTitleTemplate, std::string("3. Лев Толстой - Война И Мир - ТОМ ПЕРВЫЙ (1869) {Speech} [читает Клюквин]")},
          {id3v23Latin1Tag({{"TIT2", cp1251("Ёлка №5 «ёж»")}}), Bytes{}, std::string("%TITL"), std::string("Ёлка №5 «ёж»")}}) {
        // A bare mp3 with the hand-built tag bytes before and after its audio.
        const std::string path = makeTagged(dir, "bare", "bare", "");
        Bytes file = before;
        append(file, readBytes(path));
        append(file, after);
        writeBytes(path, file);
        EXPECT_EQ(expandTagTemplate(path, tmpl), expected);
    }
}
