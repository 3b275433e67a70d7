#include "engine/ffmpeg_decoder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

namespace engine {
namespace {

void silenceFfmpeg() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Reading this much of a file's zeros still costs less than the probe it spares.
constexpr std::int64_t kZeroScanBytes = 16 << 20;

// What a file cannot be is told far more cheaply than by a probe, which an unfinished download
// of zeros keeps searching for a tenth of a second or more: a Windows CD-track link (a RIFF
// file of form "CDDA", which holds no audio), or a file of nothing but zeros. Holes (sparse or
// preallocated, unwritten space) are passed over without reading. Zeros before audio, however
// many, are left to the probe, which finds frames behind them.
bool refusedByItsContent(const std::string& path, std::int64_t size) {
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return true;
    std::vector<unsigned char> block(1 << 16);
    const ssize_t head = ::pread(file.fd, block.data(), block.size(), 0);
    if (head >= 12 && std::memcmp(block.data(), "RIFF", 4) == 0 && std::memcmp(block.data() + 8, "CDDA", 4) == 0)
        return true;
    std::int64_t scanned = 0;
    off_t at = 0;
    while (at < size && scanned < kZeroScanBytes) {
        off_t data = ::lseek(file.fd, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            return true; // only holes from here on
        data = data < 0 ? at : data; // a file system that cannot tell holes: read everything
        const ssize_t got = ::pread(file.fd, block.data(), block.size(), data);
        if (got <= 0)
            return got == 0;
        if (std::any_of(block.begin(), block.begin() + got, [](unsigned char b) { return b != 0; }))
            return false;
        scanned += got;
        at = data + got;
    }
    return at >= size;
}

} // namespace

int FfmpegDecoder::pastDeadline(void* opaque) {
    const auto* self = static_cast<const FfmpegDecoder*>(opaque);
    return std::chrono::steady_clock::now() > self->deadline_;
}

bool FfmpegDecoder::openStream(const std::string& path) {
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return false;
    // A file that is not what its name says (an unfinished download of zeros) can keep a
    // demuxer searching for minutes: bound both the bytes looked at and the time.
    deadline_ = std::chrono::steady_clock::now() + kProbeDeadline;
    raw->interrupt_callback = AVIOInterruptCB{&FfmpegDecoder::pastDeadline, this};
    raw->probesize = kProbeBytes;
    raw->max_analyze_duration = kAnalyzeMicroseconds;
    raw->format_probesize = kProbeBytes;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return false; // avformat_open_input freed the context
    format_.reset(raw);
    deadline_ = std::chrono::steady_clock::now() + kProbeDeadline;
    const bool found = avformat_find_stream_info(format_.get(), nullptr) >= 0;
    // Past the probe every read is a real decode, which a slow machine must be allowed to finish.
    deadline_ = std::chrono::steady_clock::time_point::max();
    if (!found)
        return false;
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(format_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ < 0 || !codec)
        return false;
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        format_->streams[i]->discard = int(i) == stream_ ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    const AVStream* stream = format_->streams[stream_];
    timeBase_ = stream->time_base;
    sampleRate_ = stream->codecpar->sample_rate;
    if (sampleRate_ <= 0 || !(codec_ = makeCodec(*stream)))
        return false;
    codecStream_ = stream_;
    sampleRate_ = codec_->sample_rate > 0 ? codec_->sample_rate : sampleRate_;
    // More channels than the effects and the output take are mixed down to a pair at once.
    channels_ = codec_->ch_layout.nb_channels > kMaxChannels ? 2 : codec_->ch_layout.nb_channels;
    // Effects and buffers are sized by these; no decoder really produces rates outside them.
    if (channels_ <= 0 || sampleRate_ < kMinRate || sampleRate_ > kMaxRate)
        return false;
    codecFrameSize_ = codec_->frame_size;

    if (std::strcmp(format_->iformat->name, "ogg") == 0)
        oggLinks_ = scanOggLinks(path);
    if (std::strcmp(format_->iformat->name, "mp3") == 0 && codec_->codec_id == AV_CODEC_ID_MP3)
        clock_ = Clock::Mp3FrameCounting;
    else if (std::strcmp(format_->iformat->name, "ogg") == 0 && codec_->codec_id == AV_CODEC_ID_VORBIS)
        clock_ = Clock::OggPages;
    else if ((std::strcmp(format_->iformat->name, "wav") == 0 || std::strcmp(format_->iformat->name, "aiff") == 0) &&
             codec_->block_align > 0 && codec_->codec_id >= AV_CODEC_ID_FIRST_AUDIO &&
             codec_->codec_id < AV_CODEC_ID_AMR_NB)
        clock_ = Clock::BlockCounting;
    else if ((std::int64_t(sampleRate_) * timeBase_.num) % timeBase_.den == 0)
        clock_ = Clock::Timestamps;
    else
        clock_ = Clock::RoundedStamps;
    return true;
}

CodecPtr FfmpegDecoder::makeCodec(const AVStream& stream) const {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    CodecPtr context(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!context || avcodec_parameters_to_context(context.get(), stream.codecpar) < 0)
        return nullptr;
    // Packets go in stamped with our own frame units, and trimming is ours too.
    context->pkt_timebase = AVRational{1, sampleRate_};
    context->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;
    context->thread_count = 1;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return nullptr;
    return context;
}

bool FfmpegDecoder::takesPacket() {
    const int index = packet_->stream_index;
    if (index == codecStream_)
        return true;
    // A later link of a chained Ogg file may come as a stream of its own, with its own headers.
    const AVStream* stream = format_->streams[index];
    if (oggLinks_.size() <= 1 || stream->codecpar->codec_id != codec_->codec_id ||
        av_cmp_q(stream->time_base, timeBase_) != 0)
        return false;
    CodecPtr next = makeCodec(*stream);
    if (!next)
        return false;
    codec_ = std::move(next);
    codecStream_ = index;
    return true;
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
        if (!takesPacket()) {
            av_packet_unref(packet_.get());
            continue;
        }
        const std::int64_t u = stampPacket(*packet_);
        packet_->pts = packet_->dts = u == kUnknown ? AV_NOPTS_VALUE : u;
        packet_->duration = 0;
        const int sent = avcodec_send_packet(codec_.get(), packet_.get());
        av_packet_unref(packet_.get());
        // A damaged packet is skipped, whatever the decoder calls its fault (damage can look
        // like a feature it lacks); the gap it leaves is filled with silence by read().
        return sent != AVERROR(ENOMEM);
    }
}

bool FfmpegDecoder::decodeFrame() {
    while (!endOfStream_) {
        const int got = avcodec_receive_frame(codec_.get(), frame_.get());
        if (got == 0) {
            const std::int64_t u = placeFrame();
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

std::unique_ptr<Decoder> FfmpegDecoder::create(const std::string& path) {
    silenceFfmpeg();
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return nullptr;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size == 0 || refusedByItsContent(path, std::int64_t(size)))
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
    decoder->chapters_ = readChapters(*decoder->format_, decoder->sampleRate_, decoder->length_);
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
        if (decodeFrame() || (!endOfStream_ && skipDamage()))
            continue;
        if (!endOfStream_)
            break; // nothing readable after here
        // The stream ended a little short of the computed end (a damaged tail): pad.
        std::fill_n(out + written * channels_, room * channels_, 0.0f);
        written += room;
        position_ += std::int64_t(room);
    }
    return written;
}

bool FfmpegDecoder::skipDamage() {
    // The demuxer stopped on damage: land further on, each time twice as far, and let read()
    // fill the gap with silence. A landing must bring at least one frame not yet read.
    const std::int64_t fromU = startU_ + position_;
    for (std::int64_t step = sampleRate_ / 2; fromU + step < endU_; step *= 2) {
        if (positionDemuxer(fromU + step) && decodeFrame() && pendingU_ + std::int64_t(pendingFrames_) > fromU)
            return true;
    }
    return false;
}

bool FfmpegDecoder::seek(std::int64_t frame) {
    if (frame < 0 || frame > length_)
        return false;
    // The end needs nothing decoded (and a damaged last frame may not decode at all).
    if (frame < length_ && !seekToUnit(startU_ + frame)) {
        seekToUnit(startU_ + position_); // back where reading was
        return false;
    }
    position_ = frame;
    return true;
}

std::unique_ptr<Decoder> Decoder::open(const std::string& path) {
    return FfmpegDecoder::create(path);
}

} // namespace engine
