// G.722 over spandsp. With option 1 the interface runs at 8 kHz: the encoder codes each sample
// as the low sub-band (high band silent) and the decoder returns the low sub-band, one sample per
// byte, which any wide-band G.722 peer plays as the lower half of its band.
#include "host/audiocodec/kz_codec_internal.h"

#include <algorithm>

#if KZ_CODEC_G722_G726
#include <cinttypes>
extern "C" {
#include <spandsp/telephony.h> // declares what the codec headers use

#include <spandsp/g722.h>
}

namespace KZAUDIO {
namespace {

constexpr int kEightKhzOption = 1;
static_assert(kEightKhzOption == G722_SAMPLE_RATE_8000);

bool ValidRate(int bit_rate) {
    return bit_rate == 64000 || bit_rate == 56000 || bit_rate == 48000;
}

// Linear samples per coded byte: one at the 8 kHz interface, two at 16 kHz.
int SamplesPerByte(int options) {
    return (options & kEightKhzOption) ? 1 : 2;
}

struct G722EncoderDeleter {
    void operator()(g722_encode_state_t* state) const { g722_encode_free(state); }
};
struct G722DecoderDeleter {
    void operator()(g722_decode_state_t* state) const { g722_decode_free(state); }
};

struct G722Encoder : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::G722Encoder;
    G722Encoder(int bit_rate, int interface_options)
        : HandleBase(kKind), options(interface_options & kEightKhzOption),
          state(ValidRate(bit_rate) ? g722_encode_init(nullptr, bit_rate, options) : nullptr) {}
    bool Ready() const { return state != nullptr; }
    const int options;
    std::unique_ptr<g722_encode_state_t, G722EncoderDeleter> state;
};

struct G722Decoder : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::G722Decoder;
    G722Decoder(int bit_rate, int interface_options)
        : HandleBase(kKind), options(interface_options & kEightKhzOption),
          state(ValidRate(bit_rate) ? g722_decode_init(nullptr, bit_rate, options) : nullptr) {}
    bool Ready() const { return state != nullptr; }
    const int options;
    std::unique_ptr<g722_decode_state_t, G722DecoderDeleter> state;
};

} // namespace

KZCodecHandle G722_EncodeCreate(int bit_rate, int options) {
    return detail::Release(std::make_unique<G722Encoder>(bit_rate, options));
}
KZCodecHandle G722_DecodeCreate(int bit_rate, int options) {
    return detail::Release(std::make_unique<G722Decoder>(bit_rate, options));
}
void G722_EncodeDestroy(KZCodecHandle handle) {
    detail::Destroy<G722Encoder>(handle);
}
void G722_DecodeDestroy(KZCodecHandle handle) {
    detail::Destroy<G722Decoder>(handle);
}

int G722_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    G722Encoder* codec = detail::As<G722Encoder>(handle);
    if (!codec || !detail::ValidBuffers(linear, samples, out, capacity)) return 0;
    const int per_byte = SamplesPerByte(codec->options);
    if (samples % per_byte != 0 || samples / per_byte > capacity) return 0;
    return g722_encode(codec->state.get(), out, linear, samples);
}

int G722_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    G722Decoder* codec = detail::As<G722Decoder>(handle);
    if (!codec || !detail::ValidBuffers(in, bytes, linear, capacity)) return 0;
    const int usable = std::min(bytes, capacity / SamplesPerByte(codec->options));
    if (usable <= 0) return 0;
    return g722_decode(codec->state.get(), linear, in, usable);
}

} // namespace KZAUDIO

#else

namespace KZAUDIO {
KZCodecHandle G722_EncodeCreate(int, int) {
    return nullptr;
}
KZCodecHandle G722_DecodeCreate(int, int) {
    return nullptr;
}
void G722_EncodeDestroy(KZCodecHandle) {}
void G722_DecodeDestroy(KZCodecHandle) {}
int G722_Encode(KZCodecHandle, const int16_t*, int, uint8_t*, int) {
    return 0;
}
int G722_Decode(KZCodecHandle, const uint8_t*, int, int16_t*, int) {
    return 0;
}
} // namespace KZAUDIO

#endif // KZ_CODEC_G722_G726
