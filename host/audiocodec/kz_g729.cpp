// G.729 annex B over bcg729: 80 samples <-> 10 bytes per frame; with voice-activity detection
// the encoder sends 2-byte comfort-noise (SID) frames or nothing during silence.
#include "host/audiocodec/kz_codec_internal.h"

#include <algorithm>

#if KZ_CODEC_G729
extern "C" {
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
}

namespace KZAUDIO {
namespace {

constexpr int kFrameSamples = 80;
constexpr int kFrameBytes = 10;
constexpr int kSidBytes = 2;

struct EncoderDeleter {
    void operator()(bcg729EncoderChannelContextStruct* state) const { closeBcg729EncoderChannel(state); }
};
struct DecoderDeleter {
    void operator()(bcg729DecoderChannelContextStruct* state) const { closeBcg729DecoderChannel(state); }
};

struct G729Encoder : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::G729Encoder;
    explicit G729Encoder(bool vad) : HandleBase(kKind), state(initBcg729EncoderChannel(vad ? 1 : 0)) {}
    bool Ready() const { return state != nullptr; }
    std::unique_ptr<bcg729EncoderChannelContextStruct, EncoderDeleter> state;
};

struct G729Decoder : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::G729Decoder;
    G729Decoder() : HandleBase(kKind), state(initBcg729DecoderChannel()) {}
    bool Ready() const { return state != nullptr; }
    std::unique_ptr<bcg729DecoderChannelContextStruct, DecoderDeleter> state;
};

} // namespace

KZCodecHandle G729B_Encoder_Create(bool vad) {
    return detail::Release(std::make_unique<G729Encoder>(vad));
}
KZCodecHandle G729B_Decoder_Create() {
    return detail::Release(std::make_unique<G729Decoder>());
}
void G729B_Encoder_Destroy(KZCodecHandle handle) {
    detail::Destroy<G729Encoder>(handle);
}
void G729B_Decoder_Destroy(KZCodecHandle handle) {
    detail::Destroy<G729Decoder>(handle);
}

// Room is checked for full speech frames, the most a frame can take.
int G729B_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    G729Encoder* codec = detail::As<G729Encoder>(handle);
    if (!codec || !detail::ValidBuffers(linear, samples, out, capacity) || samples % kFrameSamples != 0)
        return 0;
    const int frames = samples / kFrameSamples;
    if (frames > capacity / kFrameBytes) return 0;
    int written = 0;
    for (int i = 0; i < frames; ++i) {
        uint8_t length = 0;
        bcg729Encoder(codec->state.get(), linear + i * kFrameSamples, out + written, &length);
        written += length;
    }
    return written;
}

// Decodes the 10-byte frames that fit, and a trailing SID frame as comfort noise.
int G729B_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    G729Decoder* codec = detail::As<G729Decoder>(handle);
    if (!codec || !detail::ValidBuffers(in, bytes, linear, capacity)) return 0;
    int consumed = 0;
    int produced = 0;
    while (capacity - produced >= kFrameSamples) {
        const int left = bytes - consumed;
        const int length = left >= kFrameBytes ? kFrameBytes : left == kSidBytes ? kSidBytes : 0;
        if (length == 0) break;
        bcg729Decoder(codec->state.get(), in + consumed, static_cast<uint8_t>(length), 0,
                      length == kSidBytes ? 1 : 0, 0, linear + produced);
        consumed += length;
        produced += kFrameSamples;
    }
    return produced;
}

} // namespace KZAUDIO

#else

namespace KZAUDIO {
KZCodecHandle G729B_Encoder_Create(bool) {
    return nullptr;
}
KZCodecHandle G729B_Decoder_Create() {
    return nullptr;
}
void G729B_Encoder_Destroy(KZCodecHandle) {}
void G729B_Decoder_Destroy(KZCodecHandle) {}
int G729B_Encode(KZCodecHandle, const int16_t*, int, uint8_t*, int) {
    return 0;
}
int G729B_Decode(KZCodecHandle, const uint8_t*, int, int16_t*, int) {
    return 0;
}
} // namespace KZAUDIO

#endif // KZ_CODEC_G729

namespace KZAUDIO {

int Ulaw2G729B(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(G729B_Encode, detail::Law::Ulaw, handle, law, bytes, out, capacity);
}
int Alaw2G729B(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(G729B_Encode, detail::Law::Alaw, handle, law, bytes, out, capacity);
}
int G729B2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(G729B_Decode, detail::Law::Ulaw, handle, in, bytes, law, capacity);
}
int G729B2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(G729B_Decode, detail::Law::Alaw, handle, in, bytes, law, capacity);
}

} // namespace KZAUDIO
