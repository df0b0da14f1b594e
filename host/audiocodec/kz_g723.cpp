// G.723.1 over libavcodec's own coder: 240 samples <-> 24 bytes (20 at 5.3 kbit/s, 4 for a
// comfort-noise frame). The encoder only runs at 6.3 kbit/s; the decoder takes every rate.
#include "host/audiocodec/kz_codec_internal.h"

#include "host/CKZLogInterface.h"

#if KZ_CODEC_AVCODEC
#include "host/audiocodec/kz_avcodec.h"

#include <atomic>

namespace KZAUDIO {
namespace {

constexpr int kFrameSamples = 240;
constexpr int kMaxFrameBytes = 24;
constexpr int kEncodeBitRate = 6300;
constexpr int kRate53 = 0;

// The frame length is in the two low bits of the first octet: 6.3, 5.3, SID, untransmitted.
int FrameBytes(uint8_t first_octet) {
    constexpr int kBytes[4] = {24, 20, 4, 1};
    return kBytes[first_octet & 0x03];
}

struct G723Encoder : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::G723Encoder;
    G723Encoder() : HandleBase(kKind) { codec.OpenEncoder(AV_CODEC_ID_G723_1, kEncodeBitRate); }
    bool Ready() const { return codec.Ready() && codec.FrameSamples() == kFrameSamples; }
    detail::AvSpeechCodec codec;
};

struct G723Decoder : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::G723Decoder;
    G723Decoder() : HandleBase(kKind) { codec.OpenDecoder(AV_CODEC_ID_G723_1, 0); }
    bool Ready() const { return codec.Ready(); }
    detail::AvSpeechCodec codec;
};

} // namespace

KZCodecHandle G723_Encoder_Create() {
    return detail::Release(std::make_unique<G723Encoder>());
}
KZCodecHandle G723_Decoder_Create() {
    return detail::Release(std::make_unique<G723Decoder>());
}
void G723_Encoder_Destroy(KZCodecHandle handle) {
    detail::Destroy<G723Encoder>(handle);
}
void G723_Decoder_Destroy(KZCodecHandle handle) {
    detail::Destroy<G723Decoder>(handle);
}

void G723_SetBitRate(KZCodecHandle handle, int rate) {
    static std::atomic<bool> told{false};
    if (rate == kRate53 && detail::As<G723Encoder>(handle) && !told.exchange(true))
        KZAPI::CKZLogInterface::Log(
            KZAPI::CKZLogInterface::LOG_WARNING,
            "G723_SetBitRate: 5.3 kbit/s encoding is not available, encoding at 6.3 kbit/s");
}

int G723_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    G723Encoder* encoder = detail::As<G723Encoder>(handle);
    if (!encoder || !detail::ValidBuffers(linear, samples, out, capacity) || samples % kFrameSamples != 0)
        return 0;
    const int frames = samples / kFrameSamples;
    if (frames > capacity / kMaxFrameBytes) return 0;
    int written = 0;
    for (int i = 0; i < frames; ++i) {
        const int bytes =
            encoder->codec.EncodeFrame(linear + i * kFrameSamples, out + written, capacity - written);
        if (bytes <= 0) return 0;
        written += bytes;
    }
    return written;
}

int G723_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    G723Decoder* decoder = detail::As<G723Decoder>(handle);
    if (!decoder || !detail::ValidBuffers(in, bytes, linear, capacity)) return 0;
    int consumed = 0;
    int produced = 0;
    while (consumed < bytes && capacity - produced >= kFrameSamples) {
        const int frame_bytes = FrameBytes(in[consumed]);
        if (frame_bytes > bytes - consumed) break;
        const int samples =
            decoder->codec.DecodeFrame(in + consumed, frame_bytes, linear + produced, kFrameSamples);
        consumed += frame_bytes;
        produced += samples;
    }
    return produced;
}

} // namespace KZAUDIO

#else

namespace KZAUDIO {
KZCodecHandle G723_Encoder_Create() {
    return nullptr;
}
KZCodecHandle G723_Decoder_Create() {
    return nullptr;
}
void G723_Encoder_Destroy(KZCodecHandle) {}
void G723_Decoder_Destroy(KZCodecHandle) {}
void G723_SetBitRate(KZCodecHandle, int) {}
int G723_Encode(KZCodecHandle, const int16_t*, int, uint8_t*, int) {
    return 0;
}
int G723_Decode(KZCodecHandle, const uint8_t*, int, int16_t*, int) {
    return 0;
}
} // namespace KZAUDIO

#endif // KZ_CODEC_AVCODEC

namespace KZAUDIO {

int Ulaw2G723(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(G723_Encode, detail::Law::Ulaw, handle, law, bytes, out, capacity);
}
int Alaw2G723(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(G723_Encode, detail::Law::Alaw, handle, law, bytes, out, capacity);
}
int G7232Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(G723_Decode, detail::Law::Ulaw, handle, in, bytes, law, capacity);
}
int G7232Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(G723_Decode, detail::Law::Alaw, handle, in, bytes, law, capacity);
}

} // namespace KZAUDIO
