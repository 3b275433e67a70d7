// The engine's operation set over a table of channels and effects.
// Lock order: the table's mutex, then a channel's mutex, then its queue's or the sound
// server's main loop. The table's mutex is never held while waiting for a channel's threads,
// because a sync procedure running on one may call back into the engine.
#include "engine/bass.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "engine/channel.h"
#include "engine/pulse_output.h"
#include "engine/tag_template.h"

using engine::Channel;

namespace {

constexpr auto connectTimeout = std::chrono::milliseconds(1000);
// Direct-output capability level the player asks for; reported lower when the server lacks something.
constexpr DWORD fullOutputSupport = 9;
constexpr DWORD partialOutputSupport = 7;
constexpr QWORD invalidQword = static_cast<QWORD>(-1);
constexpr DWORD invalidDword = static_cast<DWORD>(-1);
// BASS_ChannelGetData keeps flags in the top bits of the length.
constexpr DWORD dataLengthMask = 0x0FFFFFFF;

struct EffectEntry {
    DWORD stream;
    std::weak_ptr<Channel> channel;
    int index;
};

struct EngineState {
    std::mutex mutex;
    std::shared_ptr<engine::PulseConnection> server;
    std::unordered_map<DWORD, std::shared_ptr<Channel>> channels;
    std::unordered_map<DWORD, EffectEntry> effects;
    DWORD nextHandle = 1;

    DWORD newHandle() {
        const DWORD h = nextHandle++;
        if (nextHandle == 0)
            nextHandle = 1;
        return h;
    }
};

EngineState& state() {
    static EngineState s;
    return s;
}

std::shared_ptr<Channel> findChannel(DWORD handle) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.channels.find(handle);
    return it == s.channels.end() ? nullptr : it->second;
}

} // namespace

BOOL BASS_Init(int, DWORD, DWORD, void*, const void*) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (s.server)
        return 0;
    s.server = engine::PulseConnection::open(connectTimeout);
    return s.server ? 1 : 0;
}

BOOL BASS_GetInfo(BASS_INFO* info) {
    if (!info)
        return 0;
    *info = BASS_INFO{};
    std::shared_ptr<engine::PulseContext> pulse;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        pulse = s.server ? s.server->current() : nullptr;
    }
    if (!pulse)
        return 0;
    info->dsver = pulse->supportsPlayerFeatures() ? fullOutputSupport : partialOutputSupport;
    info->freq = static_cast<DWORD>(pulse->serverRate());
    info->latency = pulse->sinkLatencyMs();
    info->minbuf = engine::PulseStream::bufferMs;
    info->minrate = 1;
    info->maxrate = PA_RATE_MAX;
    info->speakers = 2;
    return 1;
}

DWORD BASS_PluginLoad(const char*, DWORD) {
    // Every decoder is built in.
    return 0;
}

DWORD BASS_GetVersion() { return (TELLWICK_ENGINE_INTERFACE << 16) | TELLWICK_ENGINE_RELEASE; }

BOOL BASS_Free() {
    auto& s = state();
    std::unordered_map<DWORD, std::shared_ptr<Channel>> channels;
    {
        std::lock_guard lock(s.mutex);
        if (!s.server && s.channels.empty())
            return 0;
        channels.swap(s.channels);
        s.effects.clear();
        s.server.reset(); // the connection closes when its last stream is gone
    }
    for (auto& [handle, channel] : channels)
        channel->shutdown();
    return 1;
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
    if (mem || !file || offset != 0 || length != 0)
        return 0;
    const std::string path = static_cast<const char*>(file);
    auto& s = state();
    const bool decoding = (flags & BASS_STREAM_DECODE) != 0;
    std::shared_ptr<engine::PulseConnection> server;
    if (!decoding) {
        std::lock_guard lock(s.mutex);
        if (!s.server)
            return 0;
        server = s.server;
    }
    // Opening decodes and prefills: done outside the table's lock.
    auto channel = decoding ? Channel::openDecoding(path) : Channel::openPlaying(path, server);
    if (!channel)
        return 0;
    {
        std::lock_guard lock(s.mutex);
        if (decoding || s.server == server) {
            const HSTREAM handle = s.newHandle();
            s.channels.emplace(handle, channel);
            return handle;
        }
    }
    channel->shutdown(); // the engine was freed meanwhile
    return 0;
}

BOOL BASS_StreamFree(HSTREAM handle) {
    auto& s = state();
    std::shared_ptr<Channel> channel;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.channels.find(handle);
        if (it == s.channels.end())
            return 0;
        channel = std::move(it->second);
        s.channels.erase(it);
        std::erase_if(s.effects, [handle](const auto& entry) { return entry.second.stream == handle; });
    }
    channel->shutdown();
    return 1;
}

QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
    auto channel = findChannel(handle);
    if (!channel || mode != BASS_FILEPOS_END)
        return invalidQword;
    return static_cast<QWORD>(channel->fileSize());
}

HFX BASS_ChannelSetFX(DWORD handle, DWORD type, int) {
    auto channel = findChannel(handle);
    if (!channel)
        return 0;
    const int index = channel->addEffect(type);
    if (index < 0)
        return 0;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.channels.find(handle);
    if (it == s.channels.end() || it->second != channel)
        return 0;
    const HFX fx = s.newHandle();
    s.effects.emplace(fx, EffectEntry{handle, channel, index});
    return fx;
}

static std::pair<std::shared_ptr<Channel>, int> findEffect(HFX handle) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.effects.find(handle);
    if (it == s.effects.end())
        return {nullptr, -1};
    return {it->second.channel.lock(), it->second.index};
}

BOOL BASS_FXGetParameters(HFX handle, void* params) {
    auto [channel, index] = findEffect(handle);
    return channel && channel->effectParameters(index, params) ? 1 : 0;
}

BOOL BASS_FXSetParameters(HFX handle, const void* params) {
    auto [channel, index] = findEffect(handle);
    return channel && channel->setEffectParameters(index, params) ? 1 : 0;
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    auto channel = findChannel(handle);
    if (!channel || std::isnan(value))
        return 0;
    if (attrib == BASS_ATTRIB_VOL)
        channel->setVolume(value);
    else if (attrib == BASS_ATTRIB_TEMPO)
        channel->setSpeed(1.0 + static_cast<double>(value) / 100.0);
    else if (attrib == BASS_ATTRIB_SHORTEN_PAUSES && !channel->isDecoding())
        channel->setPauseShortening(value != 0);
    else if (attrib == TELLWICK_ATTRIB_LEVEL)
        channel->setLevel(value >= -100.0f, value);
    else
        return 0;
    return 1;
}

BOOL BASS_ChannelSlideAttribute(DWORD handle, DWORD attrib, float value, DWORD time) {
    auto channel = findChannel(handle);
    if (!channel || std::isnan(value) || attrib != BASS_ATTRIB_VOL)
        return 0;
    channel->setVolume(value, time / 1000.0);
    return 1;
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    auto channel = findChannel(handle);
    if (!channel || !info)
        return 0;
    *info = BASS_CHANNELINFO{};
    info->freq = static_cast<DWORD>(channel->rate());
    info->chans = static_cast<DWORD>(channel->channels());
    info->flags = channel->isDecoding() ? BASS_STREAM_DECODE : BASS_SAMPLE_8BITS;
    info->origres = 32;
    // The path lives as long as the stream.
    info->filename = channel->path().c_str();
    return 1;
}

DWORD BASS_ChannelGetChapters(DWORD handle, TELLWICK_CHAPTER* chapters, DWORD max) {
    auto channel = findChannel(handle);
    if (!channel || (max && !chapters))
        return invalidDword;
    const auto& all = channel->chapters();
    for (std::size_t i = 0; i < all.size() && i < max; ++i)
        chapters[i] = {static_cast<QWORD>(all[i].startFrame * channel->channels()), all[i].title.c_str()};
    return static_cast<DWORD>(all.size());
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    auto channel = findChannel(handle);
    if (!channel || mode != BASS_POS_BYTE)
        return invalidQword;
    return static_cast<QWORD>(channel->lengthFrames() * channel->channels());
}

QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    auto channel = findChannel(handle);
    if (!channel || mode != BASS_POS_BYTE)
        return invalidQword;
    const std::int64_t frame = channel->positionFrames();
    return frame < 0 ? invalidQword : static_cast<QWORD>(frame * channel->channels());
}

static BOOL SetPosition(DWORD handle, QWORD pos, std::optional<QWORD> earliest, DWORD mode) {
    auto channel = findChannel(handle);
    if (!channel || mode != BASS_POS_BYTE)
        return 0;
    const auto bytes = static_cast<std::int64_t>(pos);
    if (bytes < 0 || bytes > channel->lengthFrames() * channel->channels())
        return 0;
    std::optional<std::int64_t> phraseFrom;
    if (earliest)
        phraseFrom = static_cast<std::int64_t>(std::min(*earliest, pos)) / channel->channels();
    return channel->seek(bytes / channel->channels(), phraseFrom) ? 1 : 0;
}

BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) { return SetPosition(handle, pos, std::nullopt, mode); }

BOOL BASS_ChannelSetPositionAtPause(DWORD handle, QWORD pos, QWORD earliest, DWORD mode) {
    return SetPosition(handle, pos, earliest, mode);
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
    auto channel = findChannel(handle);
    if (!channel)
        return -1;
    return static_cast<double>(pos) / (static_cast<double>(channel->rate()) * channel->channels());
}

double BASS_ChannelGetTimeSaved(DWORD handle) {
    auto channel = findChannel(handle);
    return channel ? channel->timeSaved() : -1;
}

QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double seconds) {
    auto channel = findChannel(handle);
    if (!channel || !(seconds >= 0) || seconds > 1e12)
        return invalidQword;
    const auto frames = static_cast<QWORD>(std::floor(seconds * channel->rate()));
    return frames * static_cast<QWORD>(channel->channels());
}

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD, SYNCPROC* proc, void* user) {
    auto channel = findChannel(handle);
    if (!channel || (type != BASS_SYNC_END && type != BASS_SYNC_DEV_FAIL && type != BASS_SYNC_STALL) || !proc || channel->isDecoding())
        return 0;
    HSYNC sync;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        sync = s.newHandle();
    }
    channel->setSync(type, sync, handle, proc, user);
    return sync;
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    auto channel = findChannel(handle);
    if (!channel)
        return 0;
    if (restart && !channel->seek(0))
        return 0;
    return channel->play() ? 1 : 0;
}

BOOL BASS_ChannelPause(DWORD handle) {
    auto channel = findChannel(handle);
    return channel && channel->pause() ? 1 : 0;
}

DWORD BASS_ChannelGetLevel(DWORD handle) {
    auto channel = findChannel(handle);
    return channel ? channel->level() : invalidDword;
}

DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    auto channel = findChannel(handle);
    if (!channel || !buffer || !(length & BASS_DATA_FLOAT) || !channel->isDecoding())
        return invalidDword;
    const std::size_t frameBytes = sizeof(float) * static_cast<std::size_t>(channel->channels());
    const std::size_t frames = (length & dataLengthMask) / frameBytes;
    if (frames == 0)
        return 0;
    const long got = channel->readProcessed(static_cast<float*>(buffer), frames);
    if (got <= 0)
        return invalidDword;
    return static_cast<DWORD>(static_cast<std::size_t>(got) * frameBytes);
}

const char* TAGS_Read(DWORD handle, const char* fmt) {
    thread_local std::string text;
    auto channel = findChannel(handle);
    text = channel && fmt ? engine::expandTagTemplate(channel->path(), fmt) : std::string();
    return text.c_str();
}
