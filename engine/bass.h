// Tellwick's audio engine: the operation set the player calls.
//
// The position unit: lengths and positions are "bytes" of an 8-bit stream, that is frames x
// channels (seconds x sample rate x channels) at the file's own rate and channel count.
// Inside the engine everything counts frames: file frames (the file's rate) or output
// frames (the server's rate); only this interface multiplies by the channel count. The sound
// itself stays float all the way to the output.
//
// Every call may come from any thread and none waits on a file or the sound server beyond a
// short bound, except BASS_Init, BASS_GetInfo and BASS_StreamCreateFile (which reads the
// file's header and opens its stream: call it off a thread that must stay responsive).
// Only sync procedures run on an engine thread.
#pragma once

#include <cstdint>

using DWORD = std::uint32_t;
using QWORD = std::uint64_t;
using BOOL = int;
using HSTREAM = DWORD;
using HCHANNEL = DWORD;
using HFX = DWORD;
using HSYNC = DWORD;

using SYNCPROC = void(HSYNC handle, DWORD channel, DWORD data, void* user);

// One chapter of a file: where it starts (in bytes) and its title (UTF-8, never empty).
struct TELLWICK_CHAPTER {
    QWORD start;
    const char* title;
};

// Flags for BASS_StreamCreateFile.
constexpr DWORD BASS_SAMPLE_8BITS = 1;
// A decoding channel: never reaches the sound server; read it with BASS_ChannelGetData.
constexpr DWORD BASS_STREAM_DECODE = 0x200000;

constexpr DWORD BASS_POS_BYTE = 0;
constexpr DWORD BASS_ATTRIB_VOL = 2;
// Listening speed as percent faster than normal, pitch kept: -50..+200 (0.5x..3x). At 0 the
// stretcher is out of the chain; positions always count the file's own time.
constexpr DWORD BASS_ATTRIB_TEMPO = 0x10000;
// Playing streams: 1 hears every pause in the speech longer than 0.6 s as 0.3 s (measured after
// the speed change, crossfaded); 0 takes the stage out of the chain. Heard at once either way;
// positions always count the file's own time.
constexpr DWORD BASS_ATTRIB_SHORTEN_PAUSES = 0x20100;
// Loudness levelling: a gain in dB (-20..+15) after the effects, before the volume, followed by
// a true-peak limiter at -1 dBTP that delays the sound by 1.6 ms. A new gain glides in over 1 s
// of listening (at once before the first sound). Out of the chain until first set; a value
// below -100 (TELLWICK_LEVEL_OFF) glides back to 0 dB and takes both out again.
constexpr DWORD TELLWICK_ATTRIB_LEVEL = 0x10010;
constexpr float TELLWICK_LEVEL_OFF = -1000.0f;
constexpr DWORD BASS_SYNC_END = 2;
// Called with data 1 when the sound server has been away for a few seconds while the stream
// plays (the stream goes on by itself if the server comes back), and with data 0 when it is back.
constexpr DWORD BASS_SYNC_DEV_FAIL = 14;
// Called with data 0 when a playing stream has had nothing to play for 2 s because its file
// gives no data (a hung network share), and with data 1 once its sound flows again.
constexpr DWORD BASS_SYNC_STALL = 6;
constexpr DWORD BASS_FILEPOS_END = 2;
constexpr DWORD BASS_FX_DX8_PARAMEQ = 7;
constexpr DWORD BASS_FX_DX8_REVERB = 8;
// BASS_ChannelGetData: the length is in bytes of 32-bit float samples.
constexpr DWORD BASS_DATA_FLOAT = 0x40000000;

// Interface level in the high 16 bits of BASS_GetVersion, the engine's release in the low.
constexpr DWORD TELLWICK_ENGINE_INTERFACE = 0x0205;
constexpr DWORD TELLWICK_ENGINE_RELEASE = 0x0100;

struct BASS_INFO {
    DWORD flags;
    DWORD hwsize;
    DWORD hwfree;
    DWORD freesam;
    DWORD free3d;
    DWORD minrate;
    DWORD maxrate;
    BOOL eax;
    DWORD minbuf;
    DWORD dsver;   // 9 when the output supports everything the player uses
    DWORD latency; // ms
    DWORD initflags;
    DWORD speakers;
    DWORD freq;    // output sample rate
};

struct BASS_CHANNELINFO {
    DWORD freq;
    DWORD chans;
    DWORD flags;
    DWORD ctype;
    DWORD origres;
    DWORD plugin;
    DWORD sample;
    const char* filename;
};

struct BASS_DX8_PARAMEQ {
    float fCenter;    // Hz, 80..16000
    float fBandwidth; // semitones, 1..36
    float fGain;      // dB, -15..+15
};

struct BASS_DX8_REVERB {
    float fInGain;          // dB, -96..0
    float fReverbMix;       // dB, -96..0 (0 = all reverb)
    float fReverbTime;      // ms, 0.001..3000
    float fHighFreqRTRatio; // 0.001..0.999
};

BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* window, const void* clsid);
BOOL BASS_GetInfo(BASS_INFO* info);
DWORD BASS_PluginLoad(const char* file, DWORD flags);
DWORD BASS_GetVersion();
BOOL BASS_Free();

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags);
BOOL BASS_StreamFree(HSTREAM handle);
QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode);

HFX BASS_ChannelSetFX(DWORD handle, DWORD type, int priority);
BOOL BASS_FXGetParameters(HFX handle, void* params);
BOOL BASS_FXSetParameters(HFX handle, const void* params);

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
// Glides an attribute to value over time milliseconds of listening; BASS_ATTRIB_VOL only.
BOOL BASS_ChannelSlideAttribute(DWORD handle, DWORD attrib, float value, DWORD time);
BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);
QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode);
BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode);
// As BASS_ChannelSetPosition, but when a pause in speech (at least 200 ms of sound 25 dB or more
// below the speech around it) reaches into earliest..pos, the channel goes into the last such
// pause instead, a tenth of a second before the speech after it: a phrase is then heard from
// its start. Never before earliest (an earliest after pos counts as pos). The search reads the
// file on a playing stream's decoding thread, so the call waits no longer than
// BASS_ChannelSetPosition; a decoding channel's is read on the caller's thread.
BOOL BASS_ChannelSetPositionAtPause(DWORD handle, QWORD pos, QWORD earliest, DWORD mode);
// The file's chapters in order, read when the stream was created: the first starts at 0, each
// ends where the next starts, the last at the stream's length. Copies up to max of them into
// chapters (which may be null when max is 0) and returns how many the file has: 0 for a file
// that plays as one piece, (DWORD)-1 for a bad handle. Titles live as long as the stream.
DWORD BASS_ChannelGetChapters(DWORD handle, TELLWICK_CHAPTER* chapters, DWORD max);
double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
// Seconds of listening that shortened pauses have saved on the stream so far, counting the
// pauses heard; -1 for a bad handle.
double BASS_ChannelGetTimeSaved(DWORD handle);
QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double seconds);
HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC* proc, void* user);
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
BOOL BASS_ChannelPause(DWORD handle);
DWORD BASS_ChannelGetLevel(DWORD handle);
// Decoding channels only: runs decode and effects into buffer. Returns bytes written,
// or (DWORD)-1 at the end or on error.
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);

// Expands a tag template against the stream's file tags. Returns UTF-8 text that stays
// valid until the next call from the same thread; empty when the file has no tags.
const char* TAGS_Read(DWORD handle, const char* fmt);
