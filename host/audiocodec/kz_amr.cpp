// AMR narrow band over opencore-amrnb, carried as RFC 4867 octet-aligned payloads: a codec mode
// request octet (15: no request), one table-of-contents octet per frame (F bit set on all but the
// last), then each frame's speech bits padded to the octet. opencore's own storage format is one
// such ToC octet followed by the padded speech bits, so frames pass between the two unchanged.
#include "host/audiocodec/kz_codec_internal.h"

#include <algorithm>
#include <array>

#if KZ_CODEC_AMR
extern "C" {
#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>
}

namespace KZAUDIO {
namespace {

constexpr int kFrameSamples = 160;
constexpr int kMaxFrames = 12;      // 240 ms in one payload
constexpr int kMaxStoredFrame = 32; // ToC octet + 31 octets of 12.2 kbit/s speech
constexpr uint8_t kNoModeRequest = 0xF0;
constexpr uint8_t kFollowBit = 0x80;
constexpr uint8_t kTocMask = 0x7C; // frame type and quality bit
constexpr int kNoData = 15;
constexpr int kHighestMode = 7;

// Speech octets per frame type (0..7 speech modes, 8 SID, 15 no data; others carry nothing).
constexpr std::array<int, 16> kSpeechBytes = {12, 13, 15, 17, 19, 20, 26, 31, 5, 0, 0, 0, 0, 0, 0, 0};

int FrameType(uint8_t toc) {
    return (toc >> 3) & 0x0F;
}

struct EncoderDeleter {
    void operator()(void* state) const { Encoder_Interface_exit(state); }
};
struct DecoderDeleter {
    void operator()(void* state) const { Decoder_Interface_exit(state); }
};

struct AmrCodec : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::Amr;
    AmrCodec() : HandleBase(kKind), encoder(Encoder_Interface_init(0)), decoder(Decoder_Interface_init()) {}
    bool Ready() const { return encoder && decoder; }
    std::unique_ptr<void, EncoderDeleter> encoder;
    std::unique_ptr<void, DecoderDeleter> decoder;
    int encode_mode = kHighestMode;
    int decode_mode = kHighestMode;
    bool dtx = false;
};

using StoredFrame = std::array<uint8_t, kMaxStoredFrame>;

} // namespace

KZCodecHandle GSMAMR_Create() {
    return detail::Release(std::make_unique<AmrCodec>());
}
void GSMAMR_Destroy(KZCodecHandle handle) {
    detail::Destroy<AmrCodec>(handle);
}

void GSMAMR_SetEncodeMode(KZCodecHandle handle, int mode) {
    if (AmrCodec* codec = detail::As<AmrCodec>(handle))
        codec->encode_mode = std::clamp(mode, 0, kHighestMode);
}

// Received frames name their own mode; this is kept only as what the call asked for.
void GSMAMR_SetDecodeMode(KZCodecHandle handle, int mode) {
    if (AmrCodec* codec = detail::As<AmrCodec>(handle))
        codec->decode_mode = std::clamp(mode, 0, kHighestMode);
}

// opencore fixes DTX when the encoder starts, so a change restarts it.
void GSMAMR_EnableDTX(KZCodecHandle handle, bool enable) {
    AmrCodec* codec = detail::As<AmrCodec>(handle);
    if (!codec || codec->dtx == enable) return;
    if (void* restarted = Encoder_Interface_init(enable ? 1 : 0)) {
        codec->encoder.reset(restarted);
        codec->dtx = enable;
    }
}

int GSMAMR_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    AmrCodec* codec = detail::As<AmrCodec>(handle);
    if (!codec || !detail::ValidBuffers(linear, samples, out, capacity) || samples % kFrameSamples != 0)
        return 0;
    const int frames = samples / kFrameSamples;
    if (frames > kMaxFrames) return 0;
    std::array<StoredFrame, kMaxFrames> stored;
    int payload_bytes = 1;
    bool any_speech = false;
    for (int i = 0; i < frames; ++i) {
        // opencore filters and scales the samples it is given in place: it gets a copy.
        std::array<short, kFrameSamples> speech;
        std::copy_n(linear + i * kFrameSamples, kFrameSamples, speech.begin());
        const int written = Encoder_Interface_Encode(
            codec->encoder.get(), static_cast<Mode>(codec->encode_mode), speech.data(), stored[i].data(), 0);
        if (written <= 0) return 0;
        payload_bytes += 1 + kSpeechBytes[FrameType(stored[i][0])];
        any_speech |= FrameType(stored[i][0]) != kNoData;
    }
    if (!any_speech || payload_bytes > capacity) return 0;
    uint8_t* cursor = out;
    *cursor++ = kNoModeRequest;
    for (int i = 0; i < frames; ++i)
        *cursor++ = (stored[i][0] & kTocMask) | (i + 1 < frames ? kFollowBit : 0);
    for (int i = 0; i < frames; ++i)
        cursor = std::copy_n(stored[i].begin() + 1, kSpeechBytes[FrameType(stored[i][0])], cursor);
    return static_cast<int>(cursor - out);
}

int GSMAMR_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    AmrCodec* codec = detail::As<AmrCodec>(handle);
    if (!codec || !detail::ValidBuffers(in, bytes, linear, capacity) || bytes < 2) return 0;
    // The ToC list runs from the second octet up to the first octet without the F bit.
    int frames = 0;
    while (frames < kMaxFrames && 1 + frames < bytes && (in[1 + frames++] & kFollowBit)) {
    }
    const uint8_t* speech = in + 1 + frames;
    const uint8_t* end = in + bytes;
    int produced = 0;
    for (int i = 0; i < frames && capacity - produced >= kFrameSamples; ++i) {
        const uint8_t toc = in[1 + i];
        const int length = kSpeechBytes[FrameType(toc)];
        if (end - speech < length) break;
        StoredFrame frame{};
        frame[0] = toc & kTocMask;
        std::copy_n(speech, length, frame.begin() + 1);
        speech += length;
        Decoder_Interface_Decode(codec->decoder.get(), frame.data(), linear + produced, 0);
        produced += kFrameSamples;
    }
    return produced;
}

} // namespace KZAUDIO

#else

namespace KZAUDIO {
KZCodecHandle GSMAMR_Create() {
    return nullptr;
}
void GSMAMR_Destroy(KZCodecHandle) {}
void GSMAMR_SetEncodeMode(KZCodecHandle, int) {}
void GSMAMR_SetDecodeMode(KZCodecHandle, int) {}
void GSMAMR_EnableDTX(KZCodecHandle, bool) {}
int GSMAMR_Encode(KZCodecHandle, const int16_t*, int, uint8_t*, int) {
    return 0;
}
int GSMAMR_Decode(KZCodecHandle, const uint8_t*, int, int16_t*, int) {
    return 0;
}
} // namespace KZAUDIO

#endif // KZ_CODEC_AMR

namespace KZAUDIO {

int Ulaw2GSMAMR(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(GSMAMR_Encode, detail::Law::Ulaw, handle, law, bytes, out, capacity);
}
int Alaw2GSMAMR(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return detail::EncodeFromLaw(GSMAMR_Encode, detail::Law::Alaw, handle, law, bytes, out, capacity);
}
int GSMAMR2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(GSMAMR_Decode, detail::Law::Ulaw, handle, in, bytes, law, capacity);
}
int GSMAMR2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return detail::DecodeToLaw(GSMAMR_Decode, detail::Law::Alaw, handle, in, bytes, law, capacity);
}

} // namespace KZAUDIO
