// Where a phrase begins: a pause in speech found in the decoded sound, so playback picked up
// a little earlier starts in the silence before a phrase rather than in the middle of a word.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/decoder.h"

namespace engine {

// The last pause in speech (at least 200 ms of sound 25 dB or more below the speech around it)
// that reaches into earliest..frame, at the moment a little before the speech after it resumes;
// never before earliest nor after frame. frame itself when there is none or the file cannot be
// read. Reads the file around that stretch: the decoder is left anywhere.
std::int64_t PhraseStart(Decoder& decoder, std::int64_t earliest, std::int64_t frame);

// A seek to frame, or with phraseFrom to the phrase start found from there (see PhraseStart).
// As Decoder::seek: false, and the decoder where it was, when the decoder refuses.
bool SeekToPhrase(Decoder& decoder, std::int64_t frame, std::optional<std::int64_t> phraseFrom);

} // namespace engine
