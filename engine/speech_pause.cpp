#include "engine/speech_pause.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace engine {

namespace {

// Levels are taken over blocks of 10 ms: short enough to place a pause's end, long enough
// that a waveform's zero crossings do not read as silence.
constexpr double kBlockSeconds = 0.01;
// Sound read on each side of the stretch searched, for the level of the speech around it.
constexpr double kContextSeconds = 1.0;
constexpr double kPauseSeconds = 0.2;
constexpr double kPauseDepthDb = 25;
// The level of speech: that of its louder tenth, so pauses and soft consonants do not lower it.
constexpr double kSpeechQuantile = 0.9;
// Silence heard before the phrase, so its first sound is never clipped.
constexpr double kLeadSeconds = 0.1;

} // namespace

std::int64_t PhraseStart(Decoder& decoder, std::int64_t earliest, std::int64_t frame) {
    const int channels = decoder.channels();
    const std::int64_t block = std::max<std::int64_t>(1, std::llround(decoder.sampleRate() * kBlockSeconds));
    const std::int64_t context = std::llround(decoder.sampleRate() * kContextSeconds);
    const std::int64_t from = std::max<std::int64_t>(0, earliest - context);
    const std::int64_t to = std::min(decoder.lengthFrames(), frame + context);
    if (earliest >= frame || !decoder.seek(from))
        return frame;

    // The mean square of each block, all channels together.
    std::vector<double> power;
    std::vector<float> samples(static_cast<std::size_t>(block * channels));
    for (std::int64_t at = from; at < to; at += block) {
        const auto wanted = static_cast<std::size_t>(std::min(block, to - at));
        std::size_t got = 0;
        while (got < wanted) {
            const std::size_t n = decoder.read(samples.data() + got * channels, wanted - got);
            if (n == 0)
                break;
            got += n;
        }
        if (got < wanted)
            break; // the file ends early here: what was read is all there is
        double sum = 0;
        for (std::size_t i = 0; i < got * channels; ++i)
            sum += double(samples[i]) * samples[i];
        power.push_back(sum / double(got * channels));
    }
    if (power.empty())
        return frame;
    std::vector<double> sorted = power;
    const auto quantile = sorted.begin() + static_cast<std::ptrdiff_t>(double(sorted.size() - 1) * kSpeechQuantile);
    std::nth_element(sorted.begin(), quantile, sorted.end());
    const double quiet = *quantile * std::pow(10.0, -kPauseDepthDb / 10);

    // From the latest run of quiet blocks back, the first long enough that reaches into the stretch.
    const auto minBlocks = static_cast<std::size_t>(std::llround(kPauseSeconds / kBlockSeconds));
    const std::int64_t lead = std::llround(decoder.sampleRate() * kLeadSeconds);
    for (std::size_t end = power.size(); end > 0;) {
        if (power[end - 1] > quiet) {
            --end;
            continue;
        }
        std::size_t start = end;
        while (start > 0 && power[start - 1] <= quiet)
            --start;
        const std::int64_t runStart = from + std::int64_t(start) * block;
        const std::int64_t runEnd = from + std::int64_t(end) * block;
        if (runEnd <= earliest)
            break;
        if (end - start >= minBlocks && runStart < frame)
            return std::clamp(runEnd - lead, std::max(earliest, runStart), frame);
        end = start;
    }
    return frame;
}

bool SeekToPhrase(Decoder& decoder, std::int64_t frame, std::optional<std::int64_t> phraseFrom) {
    if (!phraseFrom)
        return decoder.seek(frame);
    if (frame < 0 || frame > decoder.lengthFrames())
        return false;
    const std::int64_t before = decoder.position();
    if (decoder.seek(PhraseStart(decoder, *phraseFrom, frame)))
        return true;
    decoder.seek(before); // the search has moved it
    return false;
}

} // namespace engine
