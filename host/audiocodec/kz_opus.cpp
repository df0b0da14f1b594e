// Opus over libopus. Samples cross this interface at 8 kHz whatever the stream's RTP clock (48 kHz
// by RFC 7587): the encoder runs at 8 kHz, mono (any Opus decoder plays mono packets), and the
// decoder at 8 kHz with one channel, so that libopus folds a stereo stream down.
#include "host/audiocodec/kz_codec_internal.h"

#include <algorithm>

#if KZ_CODEC_OPUS
#include <opus.h>

namespace KZAUDIO {
namespace {

constexpr int kSampleRate = 8000;
constexpr int kChannels = 1;
constexpr int kStepSamples = 20;       // 2.5 ms, the finest Opus frame
constexpr int kMaxPacketSamples = 960; // 120 ms, the longest packet a decoder may meet
constexpr int kDefaultConcealSamples = 160;

// 2.5 to 60 ms: the frames the encoder takes.
bool ValidEncoderFrame(int samples) {
    constexpr int kSizes[] = {20, 40, 80, 160, 320, 480};
    return std::find(std::begin(kSizes), std::end(kSizes), samples) != std::end(kSizes);
}

void Report(int* error, int code) {
    if (error) *error = code;
}

struct EncoderDeleter {
    void operator()(OpusEncoder* state) const { opus_encoder_destroy(state); }
};
struct DecoderDeleter {
    void operator()(OpusDecoder* state) const { opus_decoder_destroy(state); }
};

struct OpusEncoderHandle : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::OpusEncoder;
    OpusEncoderHandle(int application, int* error)
        : HandleBase(kKind), state(opus_encoder_create(kSampleRate, kChannels, application, error)) {}
    bool Ready() const { return state != nullptr; }
    std::unique_ptr<OpusEncoder, EncoderDeleter> state;
};

struct OpusDecoderHandle : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::OpusDecoder;
    explicit OpusDecoderHandle(int* error)
        : HandleBase(kKind), state(opus_decoder_create(kSampleRate, kChannels, error)) {}
    bool Ready() const { return state != nullptr; }
    std::unique_ptr<OpusDecoder, DecoderDeleter> state;
    int last_packet_samples = kDefaultConcealSamples;
};

// A lost packet is concealed for as long as the last one lasted, within the room given, in whole
// 2.5 ms steps as libopus requires.
int Conceal(OpusDecoderHandle* decoder, int16_t* linear, int capacity) {
    const int samples = std::min(decoder->last_packet_samples, capacity) / kStepSamples * kStepSamples;
    if (samples <= 0) return 0;
    return std::max(0, opus_decode(decoder->state.get(), nullptr, 0, linear, samples, 0));
}

} // namespace

// The clock and channel count describe the stream; they change nothing in how it is coded here.
KZCodecHandle Opus_Encoder_Create(int clock, int channels, int application, int* error) {
    int code = OPUS_OK;
    KZCodecHandle handle = detail::Release(std::make_unique<OpusEncoderHandle>(application, &code));
    Report(error, code);
    return handle;
}

KZCodecHandle Opus_Decoder_Create(int clock, int channels, int* error) {
    int code = OPUS_OK;
    KZCodecHandle handle = detail::Release(std::make_unique<OpusDecoderHandle>(&code));
    Report(error, code);
    return handle;
}

void Opus_Encoder_Destroy(KZCodecHandle handle) {
    detail::Destroy<OpusEncoderHandle>(handle);
}
void Opus_Decoder_Destroy(KZCodecHandle handle) {
    detail::Destroy<OpusDecoderHandle>(handle);
}

// libopus writes at most `capacity` bytes and reports a buffer too small as an error.
int Opus_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    OpusEncoderHandle* encoder = detail::As<OpusEncoderHandle>(handle);
    if (!encoder || !detail::ValidBuffers(linear, samples, out, capacity) || !ValidEncoderFrame(samples))
        return 0;
    return std::max(0, static_cast<int>(opus_encode(encoder->state.get(), linear, samples, out, capacity)));
}

int Opus_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    OpusDecoderHandle* decoder = detail::As<OpusDecoderHandle>(handle);
    if (!decoder || !linear || capacity <= 0) return 0;
    if (!in) return Conceal(decoder, linear, capacity);
    if (bytes <= 0) return 0;
    const int samples =
        opus_decode(decoder->state.get(), in, bytes, linear, std::min(capacity, kMaxPacketSamples), 0);
    if (samples <= 0) return 0;
    decoder->last_packet_samples = samples;
    return samples;
}

} // namespace KZAUDIO

#else

namespace KZAUDIO {
KZCodecHandle Opus_Encoder_Create(int, int, int, int* error) {
    if (error) *error = -1;
    return nullptr;
}
KZCodecHandle Opus_Decoder_Create(int, int, int* error) {
    if (error) *error = -1;
    return nullptr;
}
void Opus_Encoder_Destroy(KZCodecHandle) {}
void Opus_Decoder_Destroy(KZCodecHandle) {}
int Opus_Encode(KZCodecHandle, const int16_t*, int, uint8_t*, int) {
    return 0;
}
int Opus_Decode(KZCodecHandle, const uint8_t*, int, int16_t*, int) {
    return 0;
}
} // namespace KZAUDIO

#endif // KZ_CODEC_OPUS
