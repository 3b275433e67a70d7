// The FFmpeg-backed decoder. Its work is spread over decoder.cpp (opening, reading),
// decoder_timeline.cpp (packet stamps and seeking) and decoder_bounds.cpp (where the
// stream starts and ends once trimmed).
#pragma once

#include "engine/decoder.h"
#include "engine/mp3_index.h"
#include "engine/ogg_links.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace engine {

// Every FFmpeg handle is owned by one of these.
struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwrFreer {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;

// Recognising a file, or refusing it, stays well under two seconds.
constexpr std::chrono::milliseconds kProbeDeadline{600};
constexpr std::int64_t kProbeBytes = 1 << 20;
constexpr std::int64_t kAnalyzeMicroseconds = 3'000'000;
constexpr int kMaxChannels = 8;
constexpr int kMinRate = 4000;
constexpr int kMaxRate = 768000;

constexpr std::int64_t kUnknown = INT64_MIN;
// A unit below any stream's start: positions the demuxer at the very beginning.
constexpr std::int64_t kFileStart = INT64_MIN / 4;

class FfmpegDecoder final : public Decoder {
public:
    int sampleRate() const override { return sampleRate_; }
    int channels() const override { return channels_; }
    std::int64_t lengthFrames() const override { return length_; }
    const std::vector<Chapter>& chapters() const override { return chapters_; }
    std::int64_t fileSize() const override { return fileSize_; }
    std::int64_t position() const override { return position_; }
    std::size_t read(float* out, std::size_t maxFrames) override;
    bool seek(std::int64_t frame) override;

    static std::unique_ptr<Decoder> create(const std::string& path);
    ~FfmpegDecoder() override { av_channel_layout_uninit(&resamplerLayout_); }

private:
    enum class Clock {
        Timestamps,      // packet timestamps convert exactly to frames
        OggPages,        // only a page's first packet has a trustworthy (granule) timestamp
        RoundedStamps,   // coarse timestamps (e.g. milliseconds): snapped to the codec's frame size
        Mp3FrameCounting, // timestamps after a seek are guesses: count frames from our own seek points
        BlockCounting     // fixed-size blocks (PCM or ADPCM in WAV or AIFF) whose byte rate may lie
                          // or be rounded: count blocks from the first
    };

    static int pastDeadline(void* opaque);
    bool openStream(const std::string& path);
    bool findStart();
    bool findEnd();
    // stampsAstray: half or more of the frames' stamps had to be mended (see placeFrame()).
    std::int64_t decodeTailEnd(bool& stampsAstray);
    std::int64_t flacTailEnd() const;
    bool positionDemuxer(std::int64_t wantU);
    bool seekToUnit(std::int64_t targetU);
    // Decodes the next frame into pending_; false at the end of the stream or on a hard error.
    bool decodeFrame();
    bool sendNextPacket();
    // After a hard read error mid-stream: puts the demuxer past the damage; false when nothing
    // further can be read.
    bool skipDamage();
    CodecPtr makeCodec(const AVStream& stream) const;
    // Whether packet_ is ours, switching the decoder to the packet's link when it starts one.
    bool takesPacket();
    std::int64_t stampPacket(const AVPacket& packet);
    // frame_ into pending_ in the stream's layout, rate and float format, whatever the frame's.
    bool convertFrame();
    bool resampleFrame();
    void mixFrameDown();
    std::int64_t prerollUnits() const;
    // Where the frame just received starts on the unit timeline; kUnknown when unplaceable.
    // A stamp that jumps away from the last frame's end is mended to follow on (and *mended set).
    std::int64_t placeFrame(bool* mended = nullptr) const;

    FormatPtr format_;
    CodecPtr codec_;
    PacketPtr packet_{av_packet_alloc()};
    FramePtr frame_{av_frame_alloc()};
    SwrPtr resampler_;
    AVChannelLayout resamplerLayout_{}; // what resampler_ takes in
    int resamplerRate_ = 0;
    int resamplerFormat_ = -1;
    int stream_ = -1;
    int codecStream_ = -1; // the stream codec_ was opened for
    AVRational timeBase_{1, 1};
    Clock clock_ = Clock::Timestamps;
    std::string path_;
    // Bounds each step of probing the file; cleared once it is known to be audio.
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();

    int sampleRate_ = 0;
    int channels_ = 0;
    std::int64_t fileSize_ = 0;
    std::int64_t length_ = 0;
    std::int64_t position_ = 0;
    std::vector<Chapter> chapters_;

    // The unit timeline: frames counted from the stream's own origin, before trimming.
    std::int64_t startU_ = 0;
    std::int64_t endU_ = 0;
    int codecFrameSize_ = 0;

    std::vector<OggLink> oggLinks_; // an Ogg file's (at least one); more than one: a chained file
    const OggLink& oggLinkAt(std::int64_t pos) const;
    std::int64_t oggLinkStartU(const OggLink& link) const;

    std::optional<Mp3Scan> mp3_;
    std::int64_t firstPacketPos_ = -1;
    std::int64_t samplesPerBlock_ = 0;
    std::int64_t mp3SamplesPerFrame_ = 1152;
    Mp3Clock mp3Clock_;

    bool flushed_ = false;       // the decoder has been told the stream ended
    bool endOfStream_ = false;   // and has given everything back
    std::int64_t lastEndU_ = kUnknown;
    std::int64_t lastPacketEndU_ = kUnknown;
    std::int64_t lastPacketPos_ = -1;
    bool fromFileStart_ = true; // read linearly from the start: every timestamp holds

    std::vector<float> pending_; // interleaved frames of the last decoded AVFrame
    std::int64_t pendingU_ = 0;  // unit of pending_'s first frame
    std::size_t pendingFrames_ = 0;
    std::size_t pendingOffset_ = 0;
};

} // namespace engine
