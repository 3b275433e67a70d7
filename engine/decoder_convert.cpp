// Decoded frames into the stream's own layout: a file whose channel count or rate changes
// part-way (chapters joined end to end) keeps playing in the layout it opened with.
#include "engine/ffmpeg_decoder.h"

#include <algorithm>
#include <cmath>

namespace engine {
namespace {

// Beyond this a float sample is damage, not sound (decoders overshoot full scale a little).
constexpr float kLoudestSample = 2.0f;

// One sample of any FFmpeg sample format, as float.
float sampleAt(const AVFrame& frame, int channel, int index) {
    const auto format = AVSampleFormat(frame.format);
    const bool planar = av_sample_fmt_is_planar(format);
    const std::uint8_t* base = frame.extended_data[planar ? channel : 0];
    const std::size_t at = planar ? std::size_t(index) : std::size_t(index) * frame.ch_layout.nb_channels + channel;
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8: return (base[at] - 128) / 128.0f;
    case AV_SAMPLE_FMT_S16: return reinterpret_cast<const std::int16_t*>(base)[at] / 32768.0f;
    case AV_SAMPLE_FMT_S32: return float(reinterpret_cast<const std::int32_t*>(base)[at] / 2147483648.0);
    case AV_SAMPLE_FMT_S64: return float(double(reinterpret_cast<const std::int64_t*>(base)[at]) / 9223372036854775808.0);
    case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float*>(base)[at];
    case AV_SAMPLE_FMT_DBL: return float(reinterpret_cast<const double*>(base)[at]);
    default: return 0.0f;
    }
}

} // namespace

bool FfmpegDecoder::convertFrame() {
    if (frame_->nb_samples <= 0 || frame_->ch_layout.nb_channels <= 0)
        return false;
    if (frame_->ch_layout.nb_channels > kMaxChannels) {
        if (frame_->sample_rate != sampleRate_)
            return false;
        mixFrameDown();
    } else if (!resampleFrame()) {
        return false;
    }
    // A damaged float file must not poison the effects' state: no NaN, nothing absurd.
    for (std::size_t i = 0; i < pendingFrames_ * std::size_t(channels_); ++i) {
        float& v = pending_[i];
        v = std::isfinite(v) ? std::clamp(v, -kLoudestSample, kLoudestSample) : 0.0f;
    }
    pendingOffset_ = 0;
    return pendingFrames_ > 0;
}

bool FfmpegDecoder::resampleFrame() {
    const int inRate = frame_->sample_rate > 0 ? frame_->sample_rate : sampleRate_;
    if (!resampler_ || inRate != resamplerRate_ || frame_->format != resamplerFormat_ ||
        av_channel_layout_compare(&frame_->ch_layout, &resamplerLayout_) != 0) {
        AVChannelLayout outLayout{};
        if (frame_->ch_layout.nb_channels == channels_)
            av_channel_layout_copy(&outLayout, &frame_->ch_layout);
        else
            av_channel_layout_default(&outLayout, channels_);
        SwrContext* raw = nullptr;
        const int made = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLT, sampleRate_, &frame_->ch_layout,
                                             AVSampleFormat(frame_->format), inRate, 0, nullptr);
        av_channel_layout_uninit(&outLayout);
        resampler_.reset(raw);
        if (made < 0 || swr_init(resampler_.get()) < 0) {
            resampler_.reset();
            return false;
        }
        av_channel_layout_uninit(&resamplerLayout_);
        av_channel_layout_copy(&resamplerLayout_, &frame_->ch_layout);
        resamplerRate_ = inRate;
        resamplerFormat_ = frame_->format;
    }
    const int room = swr_get_out_samples(resampler_.get(), frame_->nb_samples);
    if (room <= 0)
        return false;
    pending_.resize(std::size_t(room) * channels_);
    auto* out = reinterpret_cast<std::uint8_t*>(pending_.data());
    const int converted = swr_convert(resampler_.get(), &out, room,
                                      const_cast<const std::uint8_t**>(frame_->extended_data), frame_->nb_samples);
    pendingFrames_ = converted > 0 ? std::size_t(converted) : 0;
    return converted >= 0;
}

// Channel c goes to output channel c mod channels_, at equal power over the channels sharing it.
void FfmpegDecoder::mixFrameDown() {
    const int in = frame_->ch_layout.nb_channels;
    const std::size_t frames = std::size_t(frame_->nb_samples);
    pending_.assign(frames * channels_, 0.0f);
    for (int c = 0; c < in; ++c) {
        const int o = c % channels_;
        const float gain = 1.0f / std::sqrt(float((in - o + channels_ - 1) / channels_));
        for (std::size_t i = 0; i < frames; ++i)
            pending_[i * channels_ + o] += gain * sampleAt(*frame_, c, int(i));
    }
    pendingFrames_ = frames;
}

} // namespace engine
