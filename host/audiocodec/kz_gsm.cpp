// GSM 06.10 full rate over libgsm: 160 samples <-> 33 bytes.
#include "host/audiocodec/kz_codec_internal.h"

#if KZ_CODEC_GSM
extern "C" {
#include <gsm.h>
}

#include <algorithm>
#include <array>

namespace KZAUDIO {
namespace {

constexpr int kFrameSamples = 160;
constexpr int kFrameBytes = 33;
static_assert(sizeof(gsm_frame) == kFrameBytes);

struct GsmStateDeleter {
    void operator()(gsm_state* state) const { gsm_destroy(state); }
};
using GsmState = std::unique_ptr<gsm_state, GsmStateDeleter>;

// libgsm keeps encoder and decoder history in one state, so each direction has its own.
struct GsmCodec : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::Gsm;
    GsmCodec() : HandleBase(kKind), encoder(gsm_create()), decoder(gsm_create()) {}
    bool Ready() const { return encoder && decoder; }
    GsmState encoder;
    GsmState decoder;
};

} // namespace

KZCodecHandle GSM_Create() {
    return detail::Release(std::make_unique<GsmCodec>());
}

void GSM_Destroy(KZCodecHandle handle) {
    detail::Destroy<GsmCodec>(handle);
}

int GSM_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    GsmCodec* codec = detail::As<GsmCodec>(handle);
    if (!codec || !detail::ValidBuffers(linear, samples, out, capacity) || samples % kFrameSamples != 0)
        return 0;
    const int frames = samples / kFrameSamples;
    if (frames > capacity / kFrameBytes) return 0;
    std::array<gsm_signal, kFrameSamples> frame;
    for (int i = 0; i < frames; ++i) {
        std::copy_n(linear + i * kFrameSamples, kFrameSamples, frame.begin());
        gsm_encode(codec->encoder.get(), frame.data(), out + i * kFrameBytes);
    }
    return frames * kFrameBytes;
}

int GSM_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    GsmCodec* codec = detail::As<GsmCodec>(handle);
    if (!codec || !detail::ValidBuffers(in, bytes, linear, capacity)) return 0;
    const int frames = std::min(bytes / kFrameBytes, capacity / kFrameSamples);
    gsm_frame frame;
    int decoded = 0;
    for (; decoded < frames; ++decoded) {
        std::copy_n(in + decoded * kFrameBytes, kFrameBytes, frame);
        if (gsm_decode(codec->decoder.get(), frame, linear + decoded * kFrameSamples) != 0) break;
    }
    return decoded * kFrameSamples;
}

} // namespace KZAUDIO
#else
namespace KZAUDIO {
KZCodecHandle GSM_Create() {
    return nullptr;
}
void GSM_Destroy(KZCodecHandle) {}
int GSM_Encode(KZCodecHandle, const int16_t*, int, uint8_t*, int) {
    return 0;
}
int GSM_Decode(KZCodecHandle, const uint8_t*, int, int16_t*, int) {
    return 0;
}
} // namespace KZAUDIO
#endif // KZ_CODEC_GSM

namespace KZAUDIO {

int Ulaw2GSM(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(GSM_Encode, detail::Law::Ulaw, handle, law, bytes, out, capacity);
}
int Alaw2GSM(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(GSM_Encode, detail::Law::Alaw, handle, law, bytes, out, capacity);
}
int GSM2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(GSM_Decode, detail::Law::Ulaw, handle, in, bytes, law, capacity);
}
int GSM2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(GSM_Decode, detail::Law::Alaw, handle, in, bytes, law, capacity);
}

} // namespace KZAUDIO
