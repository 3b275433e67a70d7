#include "levelling/measure_loudness.h"

#include <ebur128.h>

#include <cmath>
#include <vector>

#include "engine/bass.h"

namespace {

constexpr DWORD kBlockFrames = 16384;

// The decoding stream and the meter, freed together.
struct Meter {
    HSTREAM stream = 0;
    ebur128_state* state = nullptr;
    ~Meter() {
        if (state)
            ebur128_destroy(&state);
        BASS_StreamFree(stream);
    }
};

} // namespace

std::optional<double> MeasureLoudness(const std::string& path, const std::function<bool()>& abandon) {
    Meter meter;
    const HSTREAM stream = meter.stream = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_STREAM_DECODE);
    BASS_CHANNELINFO info{};
    if (!BASS_ChannelGetInfo(stream, &info) || info.chans == 0)
        return std::nullopt;
    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    // Most stereo audiobooks carry one voice in both channels: measured as one channel counted
    // twice, at half the cost, until the channels part (then again from the start as two).
    bool twin = info.chans == 2;
    meter.state = ebur128_init(twin ? 1 : info.chans, info.freq, EBUR128_MODE_I);
    if (!meter.state || (twin && ebur128_set_channel(meter.state, 0, EBUR128_DUAL_MONO) != EBUR128_SUCCESS))
        return std::nullopt;
    std::vector<float> block(std::size_t(kBlockFrames) * info.chans);
    QWORD frames = 0;
    for (;;) {
        if (abandon())
            return std::nullopt;
        const DWORD got = BASS_ChannelGetData(stream, block.data(), DWORD(block.size() * sizeof(float)) | BASS_DATA_FLOAT);
        if (got == DWORD(-1))
            break;
        const std::size_t count = got / sizeof(float) / info.chans;
        if (twin) {
            std::size_t i = 0;
            for (; i < count && block[2 * i] == block[2 * i + 1]; ++i)
                block[i] = block[2 * i];
            if (i < count) {
                twin = false;
                ebur128_destroy(&meter.state);
                meter.state = ebur128_init(2, info.freq, EBUR128_MODE_I);
                if (!meter.state || !BASS_ChannelSetPosition(stream, 0, BASS_POS_BYTE))
                    return std::nullopt;
                frames = 0;
                continue;
            }
        }
        ebur128_add_frames_float(meter.state, block.data(), count);
        frames += count;
    }
    double lufs = 0;
    if (frames * info.chans < length || ebur128_loudness_global(meter.state, &lufs) != EBUR128_SUCCESS ||
        !std::isfinite(lufs))
        return std::nullopt;
    return lufs;
}
