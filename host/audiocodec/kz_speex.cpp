// Speex narrow band (RFC 5574): 160 samples per frame, several frames of one call packed into one
// payload, padded to the octet with the in-band terminator.
#include "host/audiocodec/kz_codec_internal.h"

#include <algorithm>
#include <array>

#if KZ_CODEC_SPEEX
#include <speex/speex.h>

namespace KZAUDIO {
namespace {

constexpr int kFrameSamples = 160;
// A payload larger than this is not Speex from any peer (and would only grow the bit buffer).
constexpr int kMaxPayloadBytes = 1500;
constexpr int kTerminatorBits = 5;

struct SpeexStateDeleter {
    void operator()(void* state) const { speex_encoder_destroy(state); }
};
struct SpeexDecoderDeleter {
    void operator()(void* state) const { speex_decoder_destroy(state); }
};

struct SpeexCodec : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::Speex;
    SpeexCodec(int complexity, int quality)
        : HandleBase(kKind), encoder(speex_encoder_init(&speex_nb_mode)),
          decoder(speex_decoder_init(&speex_nb_mode)) {
        speex_bits_init(&encode_bits);
        speex_bits_init(&decode_bits);
        if (!Ready()) return;
        int value = std::clamp(complexity, 1, 10);
        speex_encoder_ctl(encoder.get(), SPEEX_SET_COMPLEXITY, &value);
        value = std::clamp(quality, 0, 10);
        speex_encoder_ctl(encoder.get(), SPEEX_SET_QUALITY, &value);
        int enhance = 1;
        speex_decoder_ctl(decoder.get(), SPEEX_SET_ENH, &enhance);
    }
    ~SpeexCodec() override {
        speex_bits_destroy(&encode_bits);
        speex_bits_destroy(&decode_bits);
    }
    bool Ready() const { return encoder && decoder; }
    std::unique_ptr<void, SpeexStateDeleter> encoder;
    std::unique_ptr<void, SpeexDecoderDeleter> decoder;
    SpeexBits encode_bits{};
    SpeexBits decode_bits{};
};

} // namespace

KZCodecHandle Speex_CreateEx(int complexity, int quality) {
    return detail::Release(std::make_unique<SpeexCodec>(complexity, quality));
}
void Speex_Destroy(KZCodecHandle handle) {
    detail::Destroy<SpeexCodec>(handle);
}

int Speex_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    SpeexCodec* codec = detail::As<SpeexCodec>(handle);
    if (!codec || !detail::ValidBuffers(linear, samples, out, capacity) || samples % kFrameSamples != 0)
        return 0;
    // The coded size depends on the signal, so room is checked once the bits are known.
    speex_bits_reset(&codec->encode_bits);
    for (int i = 0; i < samples / kFrameSamples; ++i) {
        // speex_encode_int takes a writable frame; the caller's samples stay untouched.
        std::array<spx_int16_t, kFrameSamples> frame;
        std::copy_n(linear + i * kFrameSamples, kFrameSamples, frame.begin());
        speex_encode_int(codec->encoder.get(), frame.data(), &codec->encode_bits);
    }
    speex_bits_insert_terminator(&codec->encode_bits);
    if (speex_bits_nbytes(&codec->encode_bits) > capacity) return 0;
    return speex_bits_write(&codec->encode_bits, reinterpret_cast<char*>(out), capacity);
}

int Speex_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    SpeexCodec* codec = detail::As<SpeexCodec>(handle);
    if (!codec || !detail::ValidBuffers(in, bytes, linear, capacity) || bytes > kMaxPayloadBytes) return 0;
    speex_bits_read_from(&codec->decode_bits, reinterpret_cast<const char*>(in), bytes);
    int produced = 0;
    while (capacity - produced >= kFrameSamples &&
           speex_bits_remaining(&codec->decode_bits) >= kTerminatorBits) {
        if (speex_decode_int(codec->decoder.get(), &codec->decode_bits, linear + produced) != 0) break;
        produced += kFrameSamples;
    }
    return produced;
}

} // namespace KZAUDIO

#else

namespace KZAUDIO {
KZCodecHandle Speex_CreateEx(int, int) {
    return nullptr;
}
void Speex_Destroy(KZCodecHandle) {}
int Speex_Encode(KZCodecHandle, const int16_t*, int, uint8_t*, int) {
    return 0;
}
int Speex_Decode(KZCodecHandle, const uint8_t*, int, int16_t*, int) {
    return 0;
}
} // namespace KZAUDIO

#endif // KZ_CODEC_SPEEX

namespace KZAUDIO {

int Ulaw2Speex(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(Speex_Encode, detail::Law::Ulaw, handle, law, bytes, out, capacity);
}
int Alaw2Speex(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(Speex_Encode, detail::Law::Alaw, handle, law, bytes, out, capacity);
}
int Speex2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(Speex_Decode, detail::Law::Ulaw, handle, in, bytes, law, capacity);
}
int Speex2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(Speex_Decode, detail::Law::Alaw, handle, in, bytes, law, capacity);
}

} // namespace KZAUDIO
