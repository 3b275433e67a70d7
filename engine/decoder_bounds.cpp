// Where a stream's audio starts and ends once encoder delay and padding are trimmed.
#include "engine/ffmpeg_decoder.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace engine {
namespace {

struct FlacFrame {
    std::int64_t pos, firstSample, samples;
};

std::uint8_t flacCrc8(const unsigned char* p, std::size_t n) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = std::uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// A FLAC frame header at p (n bytes readable), checked by its CRC; fixedBlock is the block
// size of fixed-size streams, whose frames are numbered by frame rather than by sample.
std::optional<FlacFrame> parseFlacFrame(const unsigned char* p, std::size_t n, std::int64_t fixedBlock) {
    if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8 || (p[3] & 1) || (p[3] >> 4) >= 11)
        return std::nullopt;
    const int sizeCode = p[2] >> 4, rateCode = p[2] & 0x0F;
    if (sizeCode == 0 || rateCode == 15)
        return std::nullopt;
    // The frame or sample number, UTF-8 style: the lead byte's high ones count its bytes.
    int extra = 0;
    while (extra < 8 && (p[4] << extra) & 0x80)
        ++extra;
    if (extra == 1 || extra == 8 || std::size_t(4 + extra + 4) > n)
        return std::nullopt;
    std::int64_t number = extra == 0 ? p[4] : p[4] & (0x7F >> extra);
    const int numberBytes = extra == 0 ? 1 : extra;
    for (int i = 1; i < numberBytes; ++i) {
        if ((p[4 + i] & 0xC0) != 0x80)
            return std::nullopt;
        number = number << 6 | (p[4 + i] & 0x3F);
    }
    std::size_t at = 4 + std::size_t(numberBytes);
    std::int64_t samples = sizeCode == 1   ? 192
                           : sizeCode <= 5 ? 576 << (sizeCode - 2)
                           : sizeCode >= 8 ? 256 << (sizeCode - 8)
                                           : 0; // 6 and 7: the size follows
    if (sizeCode == 6)
        samples = p[at++] + 1;
    else if (sizeCode == 7)
        samples = (p[at] << 8 | p[at + 1]) + 1, at += 2;
    at += rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0;
    if (at >= n || flacCrc8(p, at) != p[at])
        return std::nullopt;
    const bool variable = p[1] & 1;
    if (!variable && fixedBlock <= 0)
        return std::nullopt;
    return FlacFrame{0, variable ? number : number * fixedBlock, samples};
}

} // namespace

// A FLAC stream that does not state its length (streaming encoders leave it 0): its frames
// carry their sample numbers, so the last one in the file's tail tells where it ends.
std::int64_t FfmpegDecoder::flacTailEnd() const {
    if (codec_->codec_id != AV_CODEC_ID_FLAC || codec_->extradata_size < 18)
        return kUnknown;
    const unsigned char* info = codec_->extradata;
    const std::int64_t minBlock = info[0] << 8 | info[1], maxBlock = info[2] << 8 | info[3];
    const std::int64_t maxFrameBytes = info[7] << 16 | info[8] << 8 | info[9];
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path_.c_str(), "rb"));
    // The last frame and the one before it, whatever their size.
    const std::int64_t tailBytes = std::clamp<std::int64_t>(3 * maxFrameBytes, 1 << 16, 1 << 22);
    const std::int64_t from = std::max<std::int64_t>(0, fileSize_ - tailBytes);
    std::vector<unsigned char> tail(std::size_t(fileSize_ - from));
    if (!file || fseeko(file.get(), from, SEEK_SET) != 0)
        return kUnknown;
    tail.resize(std::fread(tail.data(), 1, tail.size(), file.get()));
    std::vector<FlacFrame> frames;
    for (std::size_t i = 0; i + 1 < tail.size(); ++i) {
        if (auto frame = parseFlacFrame(tail.data() + i, tail.size() - i, minBlock == maxBlock ? maxBlock : 0)) {
            frame->pos = std::int64_t(i);
            frames.push_back(*frame);
        }
    }
    // Sync codes also turn up inside audio data: the last true frame is the last one that
    // follows on exactly from an earlier one.
    for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame)
        for (auto before = std::next(frame); before != frames.rend(); ++before)
            if (before->firstSample + before->samples == frame->firstSample)
                return frame->firstSample + frame->samples;
    return kUnknown;
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
    firstPacketPos_ = packet_->pos;
    // Blocks all last alike: a PCM block is one frame; otherwise the first packet's duration
    // over its size gives every block's.
    if (clock_ == Clock::BlockCounting && codec_->codec_id < AV_CODEC_ID_ADPCM_IMA_QT)
        samplesPerBlock_ = 1;
    else if (clock_ == Clock::BlockCounting && packet_->size > 0 && packet_->duration > 0)
        samplesPerBlock_ = av_rescale_q(packet_->duration, timeBase_, AVRational{1, sampleRate_}) *
                           codec_->block_align / packet_->size;
    if (clock_ == Clock::Mp3FrameCounting && packet_->data && packet_->size >= 4) {
        if (auto header = parseMp3Header(packet_->data)) {
            // The stream plays at its first frame's rate; later frames are resampled to it.
            mp3SamplesPerFrame_ = header->samplesPerFrame;
            sampleRate_ = header->sampleRate;
        }
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
        mp3_ = scanMp3(path_, firstPacketPos_, sampleRate_, fileSize_);
        if (!mp3_ || mp3_->frames == 0)
            return false;
        endU_ = mp3_->units - mp3_->endDiscard;
        return true;
    }
    const AVStream* stream = format_->streams[stream_];
    std::int64_t estimateU = kUnknown;
    if (oggLinks_.size() > 1) {
        // After a seek the demuxer meets a link of an unknown serial as a new stream, but
        // when reading on into one it can only replace a lone stream: once two exist, a
        // third link would be lost. Visiting every link first makes each a stream of its own.
        for (auto link = oggLinks_.begin() + 1; link != oggLinks_.end(); ++link) {
            if (av_seek_frame(format_.get(), stream_, link->pos, AVSEEK_FLAG_BYTE) >= 0 &&
                av_read_frame(format_.get(), packet_.get()) >= 0)
                av_packet_unref(packet_.get());
        }
        // The header's duration is the first link's; the last link starts where it says.
        estimateU = oggLinkStartU(oggLinks_.back()) + std::max<std::int64_t>(prerollUnits(), 2 * std::int64_t(sampleRate_));
    } else if (clock_ == Clock::BlockCounting && samplesPerBlock_ > 0) {
        // The header's byte rate is not to be trusted; the blocks up to the file's end are.
        estimateU = (fileSize_ - firstPacketPos_) / codec_->block_align * samplesPerBlock_;
    } else if (const std::int64_t flacEnd = stream->duration > 0 ? kUnknown : flacTailEnd(); flacEnd != kUnknown) {
        estimateU = flacEnd;
    } else if (stream->duration > 0) {
        const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        estimateU = av_rescale_q(start + stream->duration, timeBase_, AVRational{1, sampleRate_});
    } else if (format_->duration > 0) {
        estimateU = av_rescale(format_->duration, sampleRate_, AV_TIME_BASE);
    }
    // Back off further when the tail holds no frame we can place on the timeline.
    std::int64_t back = std::max<std::int64_t>(prerollUnits(), 2 * std::int64_t(sampleRate_));
    std::int64_t endU = kUnknown;
    bool wholeFile = false, stampsAstray = false;
    for (int attempt = 0; attempt < 6 && endU == kUnknown; ++attempt, back *= 4) {
        wholeFile = estimateU == kUnknown || attempt == 5 || estimateU - back <= startU_;
        if (!positionDemuxer(wholeFile ? kFileStart : estimateU - back)) {
            if (wholeFile)
                return false;
            continue;
        }
        endU = decodeTailEnd(stampsAstray);
        if (wholeFile)
            break;
    }
    // How few bytes a second of sound takes tells nothing (silence packs into almost none);
    // whether the tail's stamps follow on from one another as its frames do does. When half or
    // more had to be mended there (a damaged time scale makes every one jump), the first is no
    // more to be trusted than the rest, and the file decoded through tells the end; a stamp
    // damaged here and there is mended on the way and costs no such decode.
    if (stampsAstray && !wholeFile && positionDemuxer(kFileStart))
        endU = decodeTailEnd(stampsAstray);
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
std::int64_t FfmpegDecoder::decodeTailEnd(bool& stampsAstray) {
    lastPacketEndU_ = kUnknown;
    std::int64_t endU = kUnknown;
    int placed = 0, mended = 0;
    stampsAstray = false;
    while (true) {
        const int got = avcodec_receive_frame(codec_.get(), frame_.get());
        if (got == 0) {
            bool wasMended = false;
            const std::int64_t u = placeFrame(&wasMended);
            placed += u != kUnknown;
            mended += wasMended;
            stampsAstray = mended * 2 >= placed;
            if (u != kUnknown && frame_->nb_samples > 0) {
                std::int64_t discard = 0;
                if (const AVFrameSideData* side = av_frame_get_side_data(frame_.get(), AV_FRAME_DATA_SKIP_SAMPLES))
                    if (side->size >= 8)
                        discard = std::int64_t(side->data[4]) | std::int64_t(side->data[5]) << 8 |
                                  std::int64_t(side->data[6]) << 16 | std::int64_t(side->data[7]) << 24;
                lastEndU_ = u + av_rescale(frame_->nb_samples, sampleRate_, std::max(frame_->sample_rate, 1));
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

} // namespace engine
