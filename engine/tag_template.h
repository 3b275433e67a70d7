// Expands a tag template (%TITL, %IFV2(...), ...) against a file's tags.
#pragma once

#include <string>

namespace engine {

// Returns UTF-8 text; empty when the file has no tags (or cannot be read).
// 8-bit tag text (ID3v1, ID3v2 Latin-1 frames) is read as Windows-1251, and so is text
// elsewhere (RIFF INFO, Vorbis and FLAC comments, APEv2, MP4) that is not valid UTF-8.
std::string expandTagTemplate(const std::string& path, const std::string& tmpl);

} // namespace engine
