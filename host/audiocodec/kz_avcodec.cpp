#include "host/audiocodec/kz_avcodec.h"

#if KZ_CODEC_AVCODEC

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

namespace KZAUDIO::detail {
namespace {

constexpr int kSampleRate = 8000;

// Bad packets are normal on a network; the library's own complaints would only flood stderr.
void QuietLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

int16_t FromFloat(float sample) {
    return static_cast<int16_t>(std::lrint(std::clamp(sample, -1.0f, 1.0f) * 32767.0f));
}

} // namespace

bool AvSpeechCodec::Open(const AVCodec* codec) {
    QuietLibrary();
    if (!codec) return false;
    if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
        context_.reset();
        return false;
    }
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) context_.reset();
    return Ready();
}

bool AvSpeechCodec::OpenDecoder(AVCodecID id, int block_align) {
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec) return false;
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) return false;
    context_->sample_rate = kSampleRate;
    context_->block_align = block_align;
    av_channel_layout_default(&context_->ch_layout, 1);
    return Open(codec);
}

bool AvSpeechCodec::OpenEncoder(AVCodecID id, int bit_rate) {
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec) return false;
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) return false;
    context_->sample_rate = kSampleRate;
    context_->bit_rate = bit_rate;
    context_->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&context_->ch_layout, 1);
    if (!Open(codec)) return false;
    frame_->nb_samples = context_->frame_size;
    frame_->format = AV_SAMPLE_FMT_S16;
    frame_->sample_rate = kSampleRate;
    if (av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout) < 0 || context_->frame_size <= 0 ||
        av_frame_get_buffer(frame_.get(), 0) < 0)
        context_.reset();
    return Ready();
}

int AvSpeechCodec::FrameSamples() const {
    return context_ ? context_->frame_size : 0;
}

int AvSpeechCodec::CopyOutSamples(int16_t* linear, int capacity) const {
    const int samples = frame_->nb_samples;
    if (samples <= 0 || samples > capacity) return 0;
    // Mono: the first plane holds the samples whether the format is planar or not.
    const uint8_t* data = frame_->extended_data[0];
    switch (frame_->format) {
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P:
        std::memcpy(linear, data, samples * sizeof(int16_t));
        return samples;
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_FLTP: {
        const auto* floats = reinterpret_cast<const float*>(data);
        std::transform(floats, floats + samples, linear, FromFloat);
        return samples;
    }
    default:
        return 0;
    }
}

int AvSpeechCodec::DecodeFrame(const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    if (!Ready() || bytes <= 0 || bytes > kMaxCodedFrame) return 0;
    std::memcpy(input_.data(), in, bytes);
    std::fill(input_.begin() + bytes, input_.end(), 0);
    packet_->data = input_.data();
    packet_->size = bytes;
    if (avcodec_send_packet(context_.get(), packet_.get()) < 0) return 0;
    int samples = 0;
    while (avcodec_receive_frame(context_.get(), frame_.get()) == 0) {
        if (samples == 0) samples = CopyOutSamples(linear, capacity);
        av_frame_unref(frame_.get());
    }
    return samples;
}

int AvSpeechCodec::EncodeFrame(const int16_t* linear, uint8_t* out, int capacity) {
    if (!Ready() || av_frame_make_writable(frame_.get()) < 0) return 0;
    std::memcpy(frame_->data[0], linear, frame_->nb_samples * sizeof(int16_t));
    frame_->pts = next_pts_;
    next_pts_ += frame_->nb_samples;
    if (avcodec_send_frame(context_.get(), frame_.get()) < 0) return 0;
    int written = 0;
    while (avcodec_receive_packet(context_.get(), packet_.get()) == 0) {
        if (written == 0 && packet_->size <= capacity) {
            std::memcpy(out, packet_->data, packet_->size);
            written = packet_->size;
        }
        av_packet_unref(packet_.get());
    }
    return written;
}

} // namespace KZAUDIO::detail

#endif // KZ_CODEC_AVCODEC
