// iLBC: libavcodec's decoder for 20 ms (38-byte, 160-sample) and 30 ms (50-byte, 240-sample)
// frames. There is no encoder, and iLBC_CanEncode() says so, so calls never offer to send it.
#include "host/audiocodec/kz_codec_internal.h"

#if KZ_CODEC_AVCODEC
#include "host/audiocodec/kz_avcodec.h"

namespace KZAUDIO {
namespace {

struct IlbcMode {
    int frame_ms;
    int frame_bytes;
    int frame_samples;
};
constexpr IlbcMode kMode20{20, 38, 160};
constexpr IlbcMode kMode30{30, 50, 240};

struct IlbcCodec : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::Ilbc;
    explicit IlbcCodec(const IlbcMode& frame_mode) : HandleBase(kKind) { Switch(frame_mode); }
    bool Ready() const { return decoder.Ready(); }
    void Switch(const IlbcMode& frame_mode) {
        mode = frame_mode;
        decoder = detail::AvSpeechCodec();
        decoder.OpenDecoder(AV_CODEC_ID_ILBC, mode.frame_bytes);
    }
    // The mode is told by the packet length (RFC 3952), whatever was negotiated.
    void FollowPacket(int bytes) {
        const IlbcMode& other = mode.frame_ms == 20 ? kMode30 : kMode20;
        if (bytes % mode.frame_bytes != 0 && bytes % other.frame_bytes == 0) Switch(other);
    }
    IlbcMode mode{};
    detail::AvSpeechCodec decoder;
};

} // namespace

KZCodecHandle iLBC_Create(int frame_ms) {
    if (frame_ms != kMode20.frame_ms && frame_ms != kMode30.frame_ms) return nullptr;
    return detail::Release(std::make_unique<IlbcCodec>(frame_ms == 20 ? kMode20 : kMode30));
}
void iLBC_Destroy(KZCodecHandle handle) {
    detail::Destroy<IlbcCodec>(handle);
}

int iLBC_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    IlbcCodec* codec = detail::As<IlbcCodec>(handle);
    if (!codec || !detail::ValidBuffers(in, bytes, linear, capacity)) return 0;
    codec->FollowPacket(bytes);
    int produced = 0;
    for (int consumed = 0; bytes - consumed >= codec->mode.frame_bytes; consumed += codec->mode.frame_bytes) {
        if (capacity - produced < codec->mode.frame_samples) break;
        const int samples = codec->decoder.DecodeFrame(in + consumed, codec->mode.frame_bytes,
                                                       linear + produced, codec->mode.frame_samples);
        if (samples <= 0) break;
        produced += samples;
    }
    return produced;
}

} // namespace KZAUDIO

#else

namespace KZAUDIO {
KZCodecHandle iLBC_Create(int) {
    return nullptr;
}
void iLBC_Destroy(KZCodecHandle) {}
int iLBC_Decode(KZCodecHandle, const uint8_t*, int, int16_t*, int) {
    return 0;
}
} // namespace KZAUDIO

#endif // KZ_CODEC_AVCODEC

namespace KZAUDIO {

bool iLBC_CanEncode() {
    return false;
}
int iLBC_Encode(KZCodecHandle, const int16_t*, int, uint8_t*, int) {
    return 0;
}
int Ulaw2iLBC(KZCodecHandle, const uint8_t*, int, uint8_t*, int) {
    return 0;
}
int Alaw2iLBC(KZCodecHandle, const uint8_t*, int, uint8_t*, int) {
    return 0;
}
int iLBC2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(iLBC_Decode, detail::Law::Ulaw, handle, in, bytes, law, capacity);
}
int iLBC2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(iLBC_Decode, detail::Law::Alaw, handle, in, bytes, law, capacity);
}

} // namespace KZAUDIO
