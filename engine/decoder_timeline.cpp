// Packet stamps on our frame timeline, and landing the demuxer for a seek.
#include "engine/ffmpeg_decoder.h"

#include <algorithm>

namespace engine {

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

} // namespace engine
