// G.726 ADPCM at 16/24/32/40 kbit/s over spandsp. Code words are packed as RFC 3551 carries them:
// the first code word in the least significant bits of the first octet (spandsp's "right"
// packing; its "left" packing is the big-endian AAL2 form). Law variants let spandsp code the
// law samples itself, which keeps G.726's synchronous tandem adjustment.
#include "host/audiocodec/kz_codec_internal.h"

#include <algorithm>
#include <cstdint>

#if KZ_CODEC_G722_G726
#include <cinttypes>
extern "C" {
#include <spandsp/telephony.h> // declares what the codec headers use

#include <spandsp/g726.h>
}
#endif

namespace KZAUDIO {
namespace {

enum class External { Linear, Ulaw, Alaw };

#if KZ_CODEC_G722_G726

int SpandspCoding(External coding) {
    switch (coding) {
    case External::Ulaw:
        return G726_ENCODING_ULAW;
    case External::Alaw:
        return G726_ENCODING_ALAW;
    case External::Linear:
        break;
    }
    return G726_ENCODING_LINEAR;
}

struct G726StateDeleter {
    void operator()(g726_state_t* state) const { g726_free(state); }
};

// One direction of the codec; restarted whenever the call names another rate or sample coding.
class G726Direction {
public:
    g726_state_t* StateFor(int bits, External coding) {
        if (!state_ || bits != bits_ || coding != coding_) {
            state_.reset(g726_init(nullptr, bits * 8000, SpandspCoding(coding), G726_PACKING_RIGHT));
            bits_ = bits;
            coding_ = coding;
        }
        return state_.get();
    }

private:
    std::unique_ptr<g726_state_t, G726StateDeleter> state_;
    int bits_ = 0;
    External coding_ = External::Linear;
};

struct G726Codec : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::G726;
    G726Codec() : HandleBase(kKind) {}
    bool Ready() const { return true; }
    G726Direction encoder;
    G726Direction decoder;
};

// Whole octets only: a group is the fewest samples whose code words fill whole octets (8 code
// words at 24 and 40 kbit/s), so no bits are left over in the codec between packets.
constexpr int GroupSamples(int bits) {
    return bits % 2 != 0 ? 8 : bits == 2 ? 4 : 2;
}
constexpr int GroupBytes(int bits) {
    return GroupSamples(bits) * bits / 8;
}

// samples: linear samples or law bytes, sized by `coding`.
int Encode(KZCodecHandle handle, int bits, External coding, const void* samples, int count, uint8_t* out,
           int capacity) {
    G726Codec* codec = detail::As<G726Codec>(handle);
    if (!codec || !detail::ValidBuffers(samples, count, out, capacity) || count % GroupSamples(bits) != 0)
        return 0;
    if (count / GroupSamples(bits) * GroupBytes(bits) > capacity) return 0;
    g726_state_t* state = codec->encoder.StateFor(bits, coding);
    if (!state) return 0;
    return g726_encode(state, out, static_cast<const int16_t*>(samples), count);
}

// out: linear samples or law bytes, sized by `coding`; decodes the whole groups that fit.
int Decode(KZCodecHandle handle, int bits, External coding, const uint8_t* in, int bytes, void* out,
           int capacity) {
    G726Codec* codec = detail::As<G726Codec>(handle);
    if (!codec || !detail::ValidBuffers(in, bytes, out, capacity)) return 0;
    const int groups = std::min(bytes / GroupBytes(bits), capacity / GroupSamples(bits));
    if (groups <= 0) return 0;
    g726_state_t* state = codec->decoder.StateFor(bits, coding);
    if (!state) return 0;
    return g726_decode(state, static_cast<int16_t*>(out), in, groups * GroupBytes(bits));
}

#else

int Encode(KZCodecHandle, int, External, const void*, int, uint8_t*, int) {
    return 0;
}
int Decode(KZCodecHandle, int, External, const uint8_t*, int, void*, int) {
    return 0;
}

#endif // KZ_CODEC_G722_G726

} // namespace

#if KZ_CODEC_G722_G726
KZCodecHandle g726_Create() {
    return detail::Release(std::make_unique<G726Codec>());
}
void g726_Destroy(KZCodecHandle handle) {
    detail::Destroy<G726Codec>(handle);
}
#else
KZCodecHandle g726_Create() {
    return nullptr;
}
void g726_Destroy(KZCodecHandle) {}
#endif

// The rate and the sample coding of each entry point.
#define KZ_G726_RATE(kbps)                                                                                   \
    int g726_##kbps##_Encode(KZCodecHandle h, const int16_t* linear, int samples, uint8_t* out,              \
                             int capacity) {                                                                 \
        return Encode(h, kbps / 8, External::Linear, linear, samples, out, capacity);                        \
    }                                                                                                        \
    int g726_##kbps##_UlawEncode(KZCodecHandle h, const uint8_t* law, int bytes, uint8_t* out,               \
                                 int capacity) {                                                             \
        return Encode(h, kbps / 8, External::Ulaw, law, bytes, out, capacity);                               \
    }                                                                                                        \
    int g726_##kbps##_AlawEncode(KZCodecHandle h, const uint8_t* law, int bytes, uint8_t* out,               \
                                 int capacity) {                                                             \
        return Encode(h, kbps / 8, External::Alaw, law, bytes, out, capacity);                               \
    }                                                                                                        \
    int g726_##kbps##_Decode(KZCodecHandle h, const uint8_t* in, int bytes, int16_t* linear, int capacity) { \
        return Decode(h, kbps / 8, External::Linear, in, bytes, linear, capacity);                           \
    }                                                                                                        \
    int g726_##kbps##_UlawDecode(KZCodecHandle h, const uint8_t* in, int bytes, uint8_t* law,                \
                                 int capacity) {                                                             \
        return Decode(h, kbps / 8, External::Ulaw, in, bytes, law, capacity);                                \
    }                                                                                                        \
    int g726_##kbps##_AlawDecode(KZCodecHandle h, const uint8_t* in, int bytes, uint8_t* law,                \
                                 int capacity) {                                                             \
        return Decode(h, kbps / 8, External::Alaw, in, bytes, law, capacity);                                \
    }

KZ_G726_RATE(16)
KZ_G726_RATE(24)
KZ_G726_RATE(32)
KZ_G726_RATE(40)

#undef KZ_G726_RATE

} // namespace KZAUDIO
