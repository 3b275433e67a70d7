// Packet stamps on our frame timeline, and landing the demuxer for a seek.
#include "engine/ffmpeg_decoder.h"

#include <algorithm>
#include <cstdlib>

namespace engine {

const OggLink& FfmpegDecoder::oggLinkAt(std::int64_t pos) const {
    auto it = std::upper_bound(oggLinks_.begin(), oggLinks_.end(), pos,
                               [](std::int64_t p, const OggLink& link) { return p < link.pos; });
    return it == oggLinks_.begin() ? oggLinks_.front() : *std::prev(it);
}

std::int64_t FfmpegDecoder::oggLinkStartU(const OggLink& link) const {
    return av_rescale_q(link.offset, timeBase_, AVRational{1, sampleRate_});
}

std::int64_t FfmpegDecoder::stampPacket(const AVPacket& in) {
    const AVRational units{1, sampleRate_};
    AVPacket packet = in; // only its fields are read
    if (oggLinks_.size() > 1 && packet.pts != AV_NOPTS_VALUE)
        packet.pts += oggLinkAt(packet.pos).offset; // each link's timeline starts again at zero
    std::int64_t duration = packet.duration > 0 ? av_rescale_q(packet.duration, timeBase_, units) : 0;
    std::int64_t u = kUnknown;
    if (clock_ == Clock::Mp3FrameCounting) {
        u = mp3Clock_.unit();
        const auto header = packet.size >= 4 ? parseMp3Header(packet.data) : std::nullopt;
        mp3Clock_.advance(header ? *header : Mp3FrameHeader{0, int(mp3SamplesPerFrame_), sampleRate_, true, false},
                          sampleRate_);
        duration = mp3Clock_.unit() - u;
    } else if (clock_ == Clock::BlockCounting) {
        if (packet.pos >= firstPacketPos_ && samplesPerBlock_ > 0)
            u = (packet.pos - firstPacketPos_) / codec_->block_align * samplesPerBlock_;
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

std::int64_t FfmpegDecoder::placeFrame(bool* mended) const {
    std::int64_t u = frame_->pts != AV_NOPTS_VALUE ? frame_->pts : lastEndU_;
    if (u != kUnknown && clock_ == Clock::RoundedStamps && codecFrameSize_ > 0)
        u = (u + codecFrameSize_ / 2) / codecFrameSize_ * codecFrameSize_;
    // A lost packet moves the next frame on by a packet or two; a jump of more than a
    // quarter second, either way, is a damaged timestamp: the frame follows on from the last one.
    // Ogg pages carry checksums, so there a jump forward is pages gone missing, and the sound
    // after them keeps its place.
    const bool lostPages = !oggLinks_.empty() && u > lastEndU_;
    if (u != kUnknown && lastEndU_ != kUnknown && clock_ != Clock::Mp3FrameCounting &&
        std::abs(u - lastEndU_) > sampleRate_ / 4 && !lostPages) {
        u = lastEndU_;
        if (mended)
            *mended = true;
    }
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
        auto it = std::upper_bound(points.begin(), points.end(), wantU,
                                   [&](std::int64_t u, const Mp3SeekPoint& p) { return u < p.clock.unit(); });
        const Mp3SeekPoint point = it == points.begin() ? Mp3SeekPoint{firstPacketPos_, {}} : *std::prev(it);
        mp3Clock_ = point.clock;
        return av_seek_frame(format_.get(), stream_, point.pos, AVSEEK_FLAG_BYTE) >= 0;
    }
    if (oggLinks_.size() > 1) {
        // Timestamps restart in every link, so the demuxer cannot search them: start at the
        // link holding wantU and decode forward, every timestamp holding on the way.
        auto it = std::upper_bound(oggLinks_.begin(), oggLinks_.end(), wantU,
                                   [&](std::int64_t u, const OggLink& link) { return u < oggLinkStartU(link); });
        const OggLink& link = it == oggLinks_.begin() ? oggLinks_.front() : *std::prev(it);
        fromFileStart_ = true;
        return av_seek_frame(format_.get(), stream_, link.pos, AVSEEK_FLAG_BYTE) >= 0;
    }
    if (clock_ == Clock::BlockCounting && samplesPerBlock_ > 0) {
        const std::int64_t block = std::max<std::int64_t>(0, wantU / samplesPerBlock_);
        return av_seek_frame(format_.get(), stream_, firstPacketPos_ + block * codec_->block_align, AVSEEK_FLAG_BYTE) >= 0;
    }
    const std::int64_t ts = av_rescale_q(wantU, AVRational{1, sampleRate_}, timeBase_);
    if (avformat_seek_file(format_.get(), stream_, INT64_MIN, ts, ts, 0) >= 0)
        return true;
    if (wantU == kFileStart) {
        // Some demuxers (AC-3, TTA, WavPack) refuse a timestamp far below the stream's start.
        const std::int64_t start = format_->streams[stream_]->start_time;
        const std::int64_t first = start != AV_NOPTS_VALUE ? start : 0;
        return avformat_seek_file(format_.get(), stream_, INT64_MIN, first, first, 0) >= 0 ||
               av_seek_frame(format_.get(), stream_, first, AVSEEK_FLAG_BACKWARD) >= 0;
    }
    return av_seek_frame(format_.get(), stream_, ts, AVSEEK_FLAG_BACKWARD) >= 0;
}

// Lands so that the decoded frames reach targetU with settled decoder state; backs off
// further when the demuxer came down after the target, or could not read on to it.
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
        if (pendingU_ > targetU) {
            if (fromStart)
                return true;
            continue;
        }
        // Decodes on to the frame holding the target (read() would, to skip to it): damage on
        // the way that stops the demuxer makes this landing useless, and a seek only succeeds
        // when reads can go on from the target.
        bool reading = true;
        while (reading && pendingU_ + std::int64_t(pendingFrames_) <= targetU)
            reading = decodeFrame();
        if (reading || endOfStream_)
            return true;
        if (fromStart)
            return false;
    }
    return false;
}

} // namespace engine
