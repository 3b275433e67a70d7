#include "engine/decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

namespace engine {
namespace {

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
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr std::int64_t kUnknown = INT64_MIN;
// A unit below any stream's start: positions the demuxer at the very beginning.
constexpr std::int64_t kFileStart = INT64_MIN / 4;

void silenceFfmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// A Windows CD-track link: a tiny RIFF file of form "CDDA" that holds no audio.
bool isCdTrackLink(const std::string& path) {
    FilePtr file(std::fopen(path.c_str(), "rb"));
    unsigned char head[12] = {};
    if (!file || std::fread(head, 1, sizeof head, file.get()) != sizeof head)
        return false;
    return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "CDDA", 4) == 0;
}

// Forward-moving window over a file, for walking MP3 frame headers without FFmpeg's
// per-packet overhead.
class ChunkReader {
public:
    explicit ChunkReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")), buffer_(1 << 20) {}
    bool ok() const { return file_ != nullptr; }
    bool bytesAt(std::int64_t pos, unsigned char* out, std::size_t count) {
        if (pos < bufferStart_ || pos + std::int64_t(count) > bufferStart_ + std::int64_t(bufferFill_)) {
            if (fseeko(file_.get(), pos, SEEK_SET) != 0)
                return false;
            bufferStart_ = pos;
            bufferFill_ = std::fread(buffer_.data(), 1, buffer_.size(), file_.get());
            if (bufferFill_ < count)
                return false;
        }
        std::memcpy(out, buffer_.data() + (pos - bufferStart_), count);
        return true;
    }

private:
    FilePtr file_;
    std::vector<unsigned char> buffer_;
    std::int64_t bufferStart_ = 0;
    std::size_t bufferFill_ = 0;
};

struct Mp3FrameHeader {
    int frameBytes;
    int samplesPerFrame;
    int sampleRate;
    bool mpeg1;
    bool mono;
};

// Layer III frame headers only; free-format frames are not walkable and count as invalid.
std::optional<Mp3FrameHeader> parseMp3Header(const unsigned char* h) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return std::nullopt;
    const int version = (h[1] >> 3) & 3; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int layer = (h[1] >> 1) & 3;   // 1: Layer III
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return std::nullopt;
    static constexpr std::array<int, 15> kbpsMpeg1 = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static constexpr std::array<int, 15> kbpsMpeg2 = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static constexpr std::array<int, 3> rates = {44100, 48000, 32000};
    Mp3FrameHeader header{};
    header.mpeg1 = version == 3;
    header.sampleRate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    header.samplesPerFrame = header.mpeg1 ? 1152 : 576;
    const int kbps = (header.mpeg1 ? kbpsMpeg1 : kbpsMpeg2)[bitrateIndex];
    header.frameBytes = header.samplesPerFrame / 8 * kbps * 1000 / header.sampleRate + ((h[2] >> 1) & 1);
    header.mono = (h[3] >> 6) == 3;
    return header;
}

struct Mp3SeekPoint {
    std::int64_t pos;
    std::int64_t frameIndex;
};

struct Mp3Scan {
    std::int64_t frames = 0;
    std::vector<Mp3SeekPoint> seekPoints; // every kMp3PointSpacing frames
    std::int64_t endDiscard = 0;          // encoder padding at the end, as the LAME tag states it
};
constexpr std::int64_t kMp3PointSpacing = 32;

std::uint32_t bigEndian32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The Xing/Info frame that FFmpeg skips before firstAudioPos: its frame count and the
// LAME tag's end padding. The padding counts only when the file still holds that many frames.
struct XingInfo {
    std::int64_t frames = -1;
    std::int64_t endPadding = 0;
};
XingInfo readXingInfo(ChunkReader& reader, std::int64_t firstAudioPos) {
    XingInfo info;
    std::int64_t pos = 0;
    unsigned char id3[10];
    if (reader.bytesAt(0, id3, 10) && std::memcmp(id3, "ID3", 3) == 0) {
        const std::int64_t size = (id3[6] & 0x7f) << 21 | (id3[7] & 0x7f) << 14 | (id3[8] & 0x7f) << 7 | (id3[9] & 0x7f);
        pos = 10 + size + ((id3[5] & 0x10) ? 10 : 0);
    }
    unsigned char frame[256];
    for (; pos < firstAudioPos; ++pos) {
        if (!reader.bytesAt(pos, frame, 4))
            return info;
        if (parseMp3Header(frame))
            break;
    }
    const auto header = pos < firstAudioPos ? parseMp3Header(frame) : std::nullopt;
    if (!header || !reader.bytesAt(pos, frame, sizeof frame))
        return info;
    const int tagOffset = 4 + (header->mpeg1 ? (header->mono ? 17 : 32) : (header->mono ? 9 : 17));
    const unsigned char* tag = frame + tagOffset;
    if (std::memcmp(tag, "Xing", 4) != 0 && std::memcmp(tag, "Info", 4) != 0)
        return info;
    const std::uint32_t flags = bigEndian32(tag + 4);
    int offset = 8;
    if (flags & 1) {
        info.frames = bigEndian32(tag + offset);
        offset += 4;
    }
    offset += (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
    const unsigned char* lame = tag + offset;
    if (tagOffset + offset + 24 > int(sizeof frame))
        return info;
    if (std::memcmp(lame, "LAME", 4) == 0 || std::memcmp(lame, "Lavf", 4) == 0 || std::memcmp(lame, "Lavc", 4) == 0) {
        const int padding = (lame[22] & 0x0f) << 8 | lame[23];
        // FFmpeg's decoder already delivers 529 samples of the padding's share as delay.
        info.endPadding = std::max(0, padding - 529);
    }
    return info;
}

bool isTrailingTag(const unsigned char* p) {
    return std::memcmp(p, "TAG", 3) == 0 || std::memcmp(p, "APETAGEX", 8) == 0 || std::memcmp(p, "LYRICS", 6) == 0;
}

// Walks every frame header from the first audio frame FFmpeg delivers, so that each
// seek point knows its exact frame number.
std::optional<Mp3Scan> scanMp3(const std::string& path, std::int64_t firstAudioPos, int sampleRate, std::int64_t fileSize) {
    ChunkReader reader(path);
    if (!reader.ok())
        return std::nullopt;
    Mp3Scan scan;
    unsigned char h[8];
    if (!reader.bytesAt(firstAudioPos, h, 4) || !parseMp3Header(h) || parseMp3Header(h)->sampleRate != sampleRate)
        return std::nullopt;
    std::int64_t pos = firstAudioPos;
    while (pos + 4 <= fileSize && reader.bytesAt(pos, h, std::min<std::int64_t>(8, fileSize - pos))) {
        auto header = parseMp3Header(h);
        if (!header || header->sampleRate != sampleRate) {
            if (pos + 8 <= fileSize && isTrailingTag(h))
                break;
            // Damaged stretch: resync on two consecutive headers, as a parser would.
            std::int64_t next = pos + 1;
            const std::int64_t limit = std::min(fileSize - 4, pos + 65536);
            for (; next < limit; ++next) {
                unsigned char a[4], b[4];
                if (!reader.bytesAt(next, a, 4))
                    break;
                auto candidate = parseMp3Header(a);
                if (candidate && candidate->sampleRate == sampleRate &&
                    reader.bytesAt(next + candidate->frameBytes, b, 4) && parseMp3Header(b))
                    break;
            }
            if (next >= limit)
                break;
            pos = next;
            continue;
        }
        if (pos + header->frameBytes > fileSize)
            break; // a cut-off last frame still decodes partly; FFmpeg counts it, so do we
        if (scan.frames % kMp3PointSpacing == 0)
            scan.seekPoints.push_back({pos, scan.frames});
        ++scan.frames;
        pos += header->frameBytes;
    }
    const XingInfo xing = readXingInfo(reader, firstAudioPos);
    if (xing.frames == scan.frames)
        scan.endDiscard = xing.endPadding;
    return scan;
}

class FfmpegDecoder final : public Decoder {
public:
    int sampleRate() const override { return sampleRate_; }
    int channels() const override { return channels_; }
    std::int64_t lengthFrames() const override { return length_; }
    std::int64_t fileSize() const override { return fileSize_; }
    std::int64_t position() const override { return position_; }
    std::size_t read(float* out, std::size_t maxFrames) override;
    bool seek(std::int64_t frame) override;

    static std::unique_ptr<Decoder> create(const std::string& path);

private:
    enum class Clock {
        Timestamps,      // packet timestamps convert exactly to frames
        OggPages,        // only a page's first packet has a trustworthy (granule) timestamp
        RoundedStamps,   // coarse timestamps (e.g. milliseconds): snapped to the codec's frame size
        Mp3FrameCounting // timestamps after a seek are guesses: count frames from our own seek points
    };

    bool openStream(const std::string& path);
    bool findStart();
    bool findEnd();
    std::int64_t decodeTailEnd();
    bool positionDemuxer(std::int64_t wantU);
    bool seekToUnit(std::int64_t targetU);
    // Decodes the next frame into pending_; false at the end of the stream or on a hard error.
    bool decodeFrame();
    bool sendNextPacket();
    std::int64_t stampPacket(const AVPacket& packet);
    bool convertFrame();
    std::int64_t prerollUnits() const;

    FormatPtr format_;
    CodecPtr codec_;
    PacketPtr packet_{av_packet_alloc()};
    FramePtr frame_{av_frame_alloc()};
    SwrPtr resampler_;
    int stream_ = -1;
    AVRational timeBase_{1, 1};
    Clock clock_ = Clock::Timestamps;
    std::string path_;

    int sampleRate_ = 0;
    int channels_ = 0;
    std::int64_t fileSize_ = 0;
    std::int64_t length_ = 0;
    std::int64_t position_ = 0;

    // The unit timeline: frames counted from the stream's own origin, before trimming.
    std::int64_t startU_ = 0;
    std::int64_t endU_ = 0;
    int codecFrameSize_ = 0;

    std::optional<Mp3Scan> mp3_;
    std::int64_t mp3FirstPos_ = -1;
    std::int64_t mp3SamplesPerFrame_ = 1152;
    std::int64_t mp3NextU_ = 0;

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

bool FfmpegDecoder::openStream(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return false;
    format_.reset(raw);
    if (avformat_find_stream_info(format_.get(), nullptr) < 0)
        return false;
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ < 0 || !codec)
        return false;
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        format_->streams[i]->discard = int(i) == stream_ ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    const AVStream* stream = format_->streams[stream_];
    timeBase_ = stream->time_base;
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_ || avcodec_parameters_to_context(codec_.get(), stream->codecpar) < 0)
        return false;
    sampleRate_ = stream->codecpar->sample_rate;
    // Packets go in stamped with our own frame units, and trimming is ours too.
    codec_->pkt_timebase = AVRational{1, sampleRate_};
    codec_->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;
    codec_->thread_count = 1;
    if (sampleRate_ <= 0 || avcodec_open2(codec_.get(), codec, nullptr) < 0)
        return false;
    sampleRate_ = codec_->sample_rate > 0 ? codec_->sample_rate : sampleRate_;
    channels_ = codec_->ch_layout.nb_channels;
    if (channels_ <= 0)
        return false;
    codecFrameSize_ = codec_->frame_size;

    if (std::strcmp(format_->iformat->name, "mp3") == 0 && codec_->codec_id == AV_CODEC_ID_MP3)
        clock_ = Clock::Mp3FrameCounting;
    else if (std::strcmp(format_->iformat->name, "ogg") == 0 && codec_->codec_id == AV_CODEC_ID_VORBIS)
        clock_ = Clock::OggPages;
    else if ((std::int64_t(sampleRate_) * timeBase_.num) % timeBase_.den == 0)
        clock_ = Clock::Timestamps;
    else
        clock_ = Clock::RoundedStamps;
    return true;
}

std::int64_t FfmpegDecoder::stampPacket(const AVPacket& packet) {
    const AVRational units{1, sampleRate_};
    std::int64_t duration = packet.duration > 0 ? av_rescale_q(packet.duration, timeBase_, units) : 0;
    std::int64_t u = kUnknown;
    if (clock_ == Clock::Mp3FrameCounting) {
        u = mp3NextU_;
        mp3NextU_ += mp3SamplesPerFrame_;
        duration = mp3SamplesPerFrame_;
    } else if (clock_ == Clock::OggPages) {
        // FFmpeg derives the other packets' times from block sizes it guesses wrong after a
        // seek; the decoder's own frame counts carry the timeline from page to page instead.
        const bool pageStart = packet.pos != lastPacketPos_;
        lastPacketPos_ = packet.pos;
        if ((pageStart || fromFileStart_) && packet.pts != AV_NOPTS_VALUE)
            u = av_rescale_q(packet.pts, timeBase_, units);
    } else if (packet.pts != AV_NOPTS_VALUE) {
        u = av_rescale_q(packet.pts, timeBase_, units);
    }
    if (u != kUnknown && duration > 0 && clock_ == Clock::Timestamps)
        lastPacketEndU_ = u + duration;
    return u;
}

bool FfmpegDecoder::sendNextPacket() {
    while (true) {
        const int got = av_read_frame(format_.get(), packet_.get());
        if (got < 0) {
            if (got != AVERROR_EOF && !avio_feof(format_->pb))
                return false;
            avcodec_send_packet(codec_.get(), nullptr);
            flushed_ = true;
            return true;
        }
        if (packet_->stream_index != stream_) {
            av_packet_unref(packet_.get());
            continue;
        }
        const std::int64_t u = stampPacket(*packet_);
        packet_->pts = packet_->dts = u == kUnknown ? AV_NOPTS_VALUE : u;
        packet_->duration = 0;
        const int sent = avcodec_send_packet(codec_.get(), packet_.get());
        av_packet_unref(packet_.get());
        // A damaged packet is skipped; the gap it leaves is filled with silence by read().
        return sent >= 0 || sent == AVERROR(EAGAIN) || sent == AVERROR_INVALIDDATA;
    }
}

bool FfmpegDecoder::decodeFrame() {
    while (!endOfStream_) {
        const int got = avcodec_receive_frame(codec_.get(), frame_.get());
        if (got == 0) {
            std::int64_t u = frame_->pts != AV_NOPTS_VALUE ? frame_->pts : lastEndU_;
            if (u != kUnknown && clock_ == Clock::RoundedStamps && codecFrameSize_ > 0)
                u = (u + codecFrameSize_ / 2) / codecFrameSize_ * codecFrameSize_;
            if (u == kUnknown || !convertFrame()) {
                av_frame_unref(frame_.get());
                continue; // cannot be placed on the timeline (just after a seek)
            }
            pendingU_ = u;
            lastEndU_ = u + std::int64_t(pendingFrames_);
            av_frame_unref(frame_.get());
            return true;
        }
        if (got == AVERROR_EOF) {
            endOfStream_ = true;
            break;
        }
        if (got != AVERROR(EAGAIN))
            continue; // a decoding error inside one frame: the next one may be fine
        if (flushed_) {
            endOfStream_ = true;
            break;
        }
        if (!sendNextPacket())
            return false;
    }
    return false;
}

bool FfmpegDecoder::convertFrame() {
    if (frame_->ch_layout.nb_channels != channels_ || frame_->nb_samples <= 0)
        return false;
    if (!resampler_ || frame_->format != codec_->sample_fmt) {
        SwrContext* raw = nullptr;
        if (swr_alloc_set_opts2(&raw, &frame_->ch_layout, AV_SAMPLE_FMT_FLT, frame_->sample_rate, &frame_->ch_layout,
                                AVSampleFormat(frame_->format), frame_->sample_rate, 0, nullptr) < 0)
            return false;
        resampler_.reset(raw);
        if (swr_init(resampler_.get()) < 0) {
            resampler_.reset();
            return false;
        }
    }
    pending_.resize(std::size_t(frame_->nb_samples) * channels_);
    auto* out = reinterpret_cast<std::uint8_t*>(pending_.data());
    const int converted = swr_convert(resampler_.get(), &out, frame_->nb_samples,
                                      const_cast<const std::uint8_t**>(frame_->extended_data), frame_->nb_samples);
    if (converted < 0)
        return false;
    pendingFrames_ = std::size_t(converted);
    pendingOffset_ = 0;
    return converted > 0;
}

std::int64_t FfmpegDecoder::prerollUnits() const {
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec_->codec_id);
    if (descriptor && (descriptor->props & AV_CODEC_PROP_LOSSLESS))
        return 0; // every lossless frame decodes on its own
    // MDCT overlap, the MP3 bit reservoir (up to several frames back at low rates), SBR and
    // Opus state all settle well within this.
    const std::int64_t frameSize = clock_ == Clock::Mp3FrameCounting ? mp3SamplesPerFrame_ : std::max(codecFrameSize_, 1024);
    return std::max<std::int64_t>(sampleRate_ / 5, 10 * frameSize);
}

// Puts the demuxer at or before unit wantU and resets the decoder.
bool FfmpegDecoder::positionDemuxer(std::int64_t wantU) {
    avcodec_flush_buffers(codec_.get());
    flushed_ = endOfStream_ = false;
    lastEndU_ = kUnknown;
    lastPacketPos_ = -1;
    fromFileStart_ = wantU == kFileStart;
    pendingFrames_ = pendingOffset_ = 0;
    if (clock_ == Clock::Mp3FrameCounting) {
        const auto& points = mp3_->seekPoints;
        auto it = std::upper_bound(points.begin(), points.end(), wantU, [&](std::int64_t u, const Mp3SeekPoint& p) {
            return u < p.frameIndex * mp3SamplesPerFrame_;
        });
        const Mp3SeekPoint point = it == points.begin() ? Mp3SeekPoint{mp3FirstPos_, 0} : *std::prev(it);
        mp3NextU_ = point.frameIndex * mp3SamplesPerFrame_;
        return av_seek_frame(format_.get(), stream_, point.pos, AVSEEK_FLAG_BYTE) >= 0;
    }
    const std::int64_t ts = av_rescale_q(wantU, AVRational{1, sampleRate_}, timeBase_);
    if (avformat_seek_file(format_.get(), stream_, INT64_MIN, ts, ts, 0) >= 0)
        return true;
    return av_seek_frame(format_.get(), stream_, ts, AVSEEK_FLAG_BACKWARD) >= 0;
}

// Lands so that the decoded frames reach targetU with settled decoder state; backs off
// further when the demuxer came down after the target.
bool FfmpegDecoder::seekToUnit(std::int64_t targetU) {
    std::int64_t margin = prerollUnits();
    for (int attempt = 0; attempt < 6; ++attempt) {
        const bool fromStart = attempt == 5 || targetU - margin <= startU_ - prerollUnits();
        const bool placed = positionDemuxer(fromStart ? kFileStart : targetU - margin);
        margin = margin * 4 + sampleRate_;
        if (!placed) {
            // FFmpeg cannot always seek into a file's last frame; an earlier point can.
            if (fromStart)
                return false;
            continue;
        }
        if (!decodeFrame()) {
            if (fromStart || targetU >= endU_)
                return endOfStream_;
            continue; // nothing placeable after this point (Ogg: no later page start)
        }
        if (pendingU_ <= targetU || fromStart)
            return true;
    }
    return false;
}

bool FfmpegDecoder::findStart() {
    // The first packet tells where MP3 audio starts; the first frame's side data tells how
    // much encoder delay to drop.
    while (true) {
        const int got = av_read_frame(format_.get(), packet_.get());
        if (got < 0)
            return false;
        if (packet_->stream_index == stream_)
            break;
        av_packet_unref(packet_.get());
    }
    mp3FirstPos_ = packet_->pos;
    if (clock_ == Clock::Mp3FrameCounting && packet_->data && packet_->size >= 4) {
        if (auto header = parseMp3Header(packet_->data))
            mp3SamplesPerFrame_ = header->samplesPerFrame;
    }
    const std::int64_t u = stampPacket(*packet_);
    packet_->pts = packet_->dts = u == kUnknown ? AV_NOPTS_VALUE : u;
    packet_->duration = 0;
    avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());

    frame_->pts = AV_NOPTS_VALUE;
    std::int64_t skip = 0;
    // decodeFrame() unrefs the frame, so catch the side data on the way.
    while (true) {
        const int got = avcodec_receive_frame(codec_.get(), frame_.get());
        if (got == AVERROR(EAGAIN)) {
            if (flushed_ || !sendNextPacket())
                return false;
            continue;
        }
        if (got == AVERROR_EOF)
            return false;
        if (got < 0)
            continue;
        if (frame_->pts == AV_NOPTS_VALUE || frame_->nb_samples <= 0) {
            av_frame_unref(frame_.get());
            continue;
        }
        if (const AVFrameSideData* side = av_frame_get_side_data(frame_.get(), AV_FRAME_DATA_SKIP_SAMPLES))
            if (side->size >= 4)
                skip = std::int64_t(side->data[0]) | std::int64_t(side->data[1]) << 8 | std::int64_t(side->data[2]) << 16 |
                       std::int64_t(side->data[3]) << 24;
        std::int64_t firstU = frame_->pts;
        if (codecFrameSize_ <= 0)
            codecFrameSize_ = frame_->nb_samples;
        if (clock_ == Clock::RoundedStamps)
            firstU = (firstU + codecFrameSize_ / 2) / codecFrameSize_ * codecFrameSize_;
        startU_ = firstU + skip;
        av_frame_unref(frame_.get());
        return true;
    }
}

bool FfmpegDecoder::findEnd() {
    if (clock_ == Clock::Mp3FrameCounting) {
        mp3_ = scanMp3(path_, mp3FirstPos_, sampleRate_, fileSize_);
        if (!mp3_ || mp3_->frames == 0)
            return false;
        endU_ = mp3_->frames * mp3SamplesPerFrame_ - mp3_->endDiscard;
        return true;
    }
    const AVStream* stream = format_->streams[stream_];
    std::int64_t estimateU = kUnknown;
    if (stream->duration > 0) {
        const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        estimateU = av_rescale_q(start + stream->duration, timeBase_, AVRational{1, sampleRate_});
    } else if (format_->duration > 0) {
        estimateU = av_rescale(format_->duration, sampleRate_, AV_TIME_BASE);
    }
    // Back off further when the tail holds no frame we can place on the timeline.
    std::int64_t back = std::max<std::int64_t>(prerollUnits(), 2 * std::int64_t(sampleRate_));
    std::int64_t endU = kUnknown;
    for (int attempt = 0; attempt < 6 && endU == kUnknown; ++attempt, back *= 4) {
        const bool fromStart = estimateU == kUnknown || attempt == 5 || estimateU - back <= startU_;
        if (!positionDemuxer(fromStart ? kFileStart : estimateU - back)) {
            if (fromStart)
                return false;
            continue;
        }
        endU = decodeTailEnd();
        if (fromStart)
            break;
    }
    if (endU == kUnknown)
        return false;
    // Containers that trim the last packet by its duration (MP4 edit lists) give the true end.
    if (lastPacketEndU_ != kUnknown && lastPacketEndU_ > startU_)
        endU = std::min(endU, lastPacketEndU_);
    endU_ = endU;
    return true;
}

// Decodes from the demuxer's place to the end: where the last frame ends, less the padding
// the container asks to drop.
std::int64_t FfmpegDecoder::decodeTailEnd() {
    lastPacketEndU_ = kUnknown;
    std::int64_t endU = kUnknown;
    while (true) {
        const int got = avcodec_receive_frame(codec_.get(), frame_.get());
        if (got == 0) {
            std::int64_t u = frame_->pts != AV_NOPTS_VALUE ? frame_->pts : lastEndU_;
            if (u != kUnknown && clock_ == Clock::RoundedStamps && codecFrameSize_ > 0)
                u = (u + codecFrameSize_ / 2) / codecFrameSize_ * codecFrameSize_;
            if (u != kUnknown && frame_->nb_samples > 0) {
                std::int64_t discard = 0;
                if (const AVFrameSideData* side = av_frame_get_side_data(frame_.get(), AV_FRAME_DATA_SKIP_SAMPLES))
                    if (side->size >= 8)
                        discard = std::int64_t(side->data[4]) | std::int64_t(side->data[5]) << 8 |
                                  std::int64_t(side->data[6]) << 16 | std::int64_t(side->data[7]) << 24;
                lastEndU_ = u + frame_->nb_samples;
                endU = std::max(endU, lastEndU_ - discard);
            }
            av_frame_unref(frame_.get());
            continue;
        }
        if (got == AVERROR(EAGAIN) && !flushed_) {
            if (!sendNextPacket())
                return endU;
            continue;
        }
        if (got != AVERROR(EAGAIN) && got != AVERROR_EOF)
            continue;
        return endU;
    }
}

std::unique_ptr<Decoder> FfmpegDecoder::create(const std::string& path) {
    silenceFfmpeg();
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return nullptr;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size == 0 || isCdTrackLink(path))
        return nullptr;
    std::unique_ptr<FfmpegDecoder> decoder(new FfmpegDecoder());
    if (!decoder->packet_ || !decoder->frame_)
        return nullptr;
    decoder->path_ = path;
    decoder->fileSize_ = std::int64_t(size);
    if (!decoder->openStream(path) || !decoder->findStart() || !decoder->findEnd())
        return nullptr;
    decoder->length_ = decoder->endU_ - decoder->startU_;
    if (decoder->length_ <= 0 || !decoder->seekToUnit(decoder->startU_))
        return nullptr;
    decoder->position_ = 0;
    return decoder;
}

std::size_t FfmpegDecoder::read(float* out, std::size_t maxFrames) {
    std::size_t written = 0;
    while (written < maxFrames && position_ < length_) {
        const std::size_t room = std::min<std::size_t>(maxFrames - written, std::size_t(length_ - position_));
        if (pendingOffset_ < pendingFrames_) {
            const std::int64_t at = pendingU_ + std::int64_t(pendingOffset_) - startU_;
            const std::size_t available = pendingFrames_ - pendingOffset_;
            if (at < position_) {
                pendingOffset_ += std::min<std::size_t>(available, std::size_t(position_ - at));
            } else if (at > position_) {
                // A packet went missing: keep the timeline with silence.
                const std::size_t gap = std::min<std::size_t>(room, std::size_t(at - position_));
                std::fill_n(out + written * channels_, gap * channels_, 0.0f);
                written += gap;
                position_ += std::int64_t(gap);
            } else {
                const std::size_t count = std::min(room, available);
                std::memcpy(out + written * channels_, pending_.data() + pendingOffset_ * channels_,
                            count * channels_ * sizeof(float));
                pendingOffset_ += count;
                written += count;
                position_ += std::int64_t(count);
            }
            continue;
        }
        if (decodeFrame())
            continue;
        if (!endOfStream_)
            break; // read error: stop here
        // The stream ended a little short of the computed end (a damaged tail): pad.
        std::fill_n(out + written * channels_, room * channels_, 0.0f);
        written += room;
        position_ += std::int64_t(room);
    }
    return written;
}

bool FfmpegDecoder::seek(std::int64_t frame) {
    if (frame < 0 || frame > length_)
        return false;
    if (!seekToUnit(startU_ + frame))
        return false;
    position_ = frame;
    return true;
}

} // namespace

std::unique_ptr<Decoder> Decoder::open(const std::string& path) {
    return FfmpegDecoder::create(path);
}

} // namespace engine
