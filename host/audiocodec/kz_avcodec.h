// A mono 8 kHz speech codec of libavcodec (G.723.1, the iLBC decoder), coding one frame per call
// with a packet and a frame kept for the codec's lifetime.
#pragma once

#if KZ_CODEC_AVCODEC

#include <array>
#include <cstdint>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace KZAUDIO::detail {

class AvSpeechCodec {
public:
    // The largest coded frame handed to a decoder (iLBC 30 ms: 50 bytes).
    static constexpr int kMaxCodedFrame = 64;

    bool OpenDecoder(AVCodecID id, int block_align);
    bool OpenEncoder(AVCodecID id, int bit_rate);
    bool Ready() const { return context_ != nullptr; }
    // The samples of one frame (encoders).
    int FrameSamples() const;

    // One coded frame in, its samples out when they fit in `capacity`; returns the samples.
    int DecodeFrame(const uint8_t* in, int bytes, int16_t* linear, int capacity);
    // FrameSamples() samples in, the coded frame out when it fits in `capacity`; returns its bytes.
    int EncodeFrame(const int16_t* linear, uint8_t* out, int capacity);

private:
    struct ContextDeleter {
        void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
    };
    struct FrameDeleter {
        void operator()(AVFrame* frame) const { av_frame_free(&frame); }
    };
    struct PacketDeleter {
        void operator()(AVPacket* packet) const { av_packet_free(&packet); }
    };

    bool Open(const AVCodec* codec);
    int CopyOutSamples(int16_t* linear, int capacity) const;

    std::unique_ptr<AVCodecContext, ContextDeleter> context_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    int64_t next_pts_ = 0;
    // libavcodec reads a little past the end of a packet, so input is copied into a padded buffer.
    std::array<uint8_t, kMaxCodedFrame + AV_INPUT_BUFFER_PADDING_SIZE> input_{};
};

} // namespace KZAUDIO::detail

#endif // KZ_CODEC_AVCODEC
