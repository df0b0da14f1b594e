// G.711 mu-law and A-law, the segment-and-mantissa companding of the ITU recommendation, and the
// law faces of the other codecs.
#include "host/audiocodec/kz_codec_internal.h"

#include <algorithm>
#include <array>
#include <bit>

namespace KZAUDIO {
namespace {

constexpr int kUlawBias = 0x84;
constexpr int kUlawClip = 32635;

constexpr uint8_t EncodeUlaw(int sample) {
    const uint8_t mask = sample < 0 ? 0x7F : 0xFF;
    int magnitude = std::min(sample < 0 ? -sample : sample, kUlawClip) + kUlawBias;
    // The bias lifts every magnitude to at least 2^7, so the segment is the bit width above 8.
    const int segment = std::bit_width(static_cast<unsigned>(magnitude)) - 8;
    const int mantissa = (magnitude >> (segment + 3)) & 0x0F;
    return static_cast<uint8_t>(((segment << 4) | mantissa) ^ mask);
}

constexpr int16_t DecodeUlaw(uint8_t code) {
    const int inverted = ~code & 0xFF;
    const int magnitude = ((((inverted & 0x0F) << 3) + kUlawBias) << ((inverted & 0x70) >> 4)) - kUlawBias;
    return static_cast<int16_t>((inverted & 0x80) ? -magnitude : magnitude);
}

constexpr uint8_t EncodeAlaw(int sample) {
    // A-law codes 13-bit magnitudes; negative values are folded as one's complement.
    int value = sample >> 3;
    uint8_t mask = 0xD5;
    if (value < 0) {
        value = -value - 1;
        mask = 0x55;
    }
    const int segment = std::max(0, static_cast<int>(std::bit_width(static_cast<unsigned>(value))) - 5);
    if (segment > 7) return static_cast<uint8_t>(0x7F ^ mask);
    const int mantissa = (segment == 0 ? value >> 1 : value >> segment) & 0x0F;
    return static_cast<uint8_t>(((segment << 4) | mantissa) ^ mask);
}

constexpr int16_t DecodeAlaw(uint8_t code) {
    const int folded = code ^ 0x55;
    const int segment = (folded & 0x70) >> 4;
    int magnitude = (folded & 0x0F) << 4;
    if (segment == 0)
        magnitude += 8;
    else
        magnitude = (magnitude + 0x108) << (segment - 1);
    return static_cast<int16_t>((folded & 0x80) ? magnitude : -magnitude);
}

template <class F> constexpr auto MakeTable(F convert) {
    std::array<decltype(convert(uint8_t{})), 256> table{};
    for (int code = 0; code < 256; ++code)
        table[code] = convert(static_cast<uint8_t>(code));
    return table;
}

constexpr auto kUlawToLinear = MakeTable(DecodeUlaw);
constexpr auto kAlawToLinear = MakeTable(DecodeAlaw);
constexpr auto kUlawToAlaw = MakeTable([](uint8_t code) { return EncodeAlaw(DecodeUlaw(code)); });
constexpr auto kAlawToUlaw = MakeTable([](uint8_t code) { return EncodeUlaw(DecodeAlaw(code)); });

static_assert(EncodeUlaw(0) == 0xFF && EncodeAlaw(0) == 0xD5, "silence codes");
static_assert(EncodeUlaw(32767) == 0x80 && EncodeUlaw(-32768) == 0x00, "mu-law clipping");
static_assert(EncodeAlaw(32767) == 0xAA && EncodeAlaw(-32768) == 0x2A, "A-law clipping");

template <class In, class Out, class F> int ConvertAll(const In* in, int samples, Out* out, F convert) {
    if (!in || !out || samples <= 0) return 0;
    std::transform(in, in + samples, out, convert);
    return samples;
}

} // namespace

uint8_t LinearToUlaw(int16_t sample) {
    return EncodeUlaw(sample);
}
uint8_t LinearToAlaw(int16_t sample) {
    return EncodeAlaw(sample);
}
int16_t UlawToLinear(uint8_t code) {
    return kUlawToLinear[code];
}
int16_t AlawToLinear(uint8_t code) {
    return kAlawToLinear[code];
}

int Linear2Ulaw(const int16_t* linear, int samples, uint8_t* ulaw) {
    return ConvertAll(linear, samples, ulaw, EncodeUlaw);
}
int Linear2Alaw(const int16_t* linear, int samples, uint8_t* alaw) {
    return ConvertAll(linear, samples, alaw, EncodeAlaw);
}
int Ulaw2Linear(const uint8_t* ulaw, int samples, int16_t* linear) {
    return ConvertAll(ulaw, samples, linear, [](uint8_t code) { return kUlawToLinear[code]; });
}
int Alaw2Linear(const uint8_t* alaw, int samples, int16_t* linear) {
    return ConvertAll(alaw, samples, linear, [](uint8_t code) { return kAlawToLinear[code]; });
}
int Ulaw2Alaw(const uint8_t* ulaw, int samples, uint8_t* alaw) {
    return ConvertAll(ulaw, samples, alaw, [](uint8_t code) { return kUlawToAlaw[code]; });
}
int Alaw2Ulaw(const uint8_t* alaw, int samples, uint8_t* ulaw) {
    return ConvertAll(alaw, samples, ulaw, [](uint8_t code) { return kAlawToUlaw[code]; });
}

namespace detail {

int EncodeFromLaw(LinearEncoder encode, Law law, KZCodecHandle handle, const uint8_t* in, int bytes,
                  uint8_t* out, int capacity) {
    if (!handle || !ValidBuffers(in, bytes, out, capacity) || bytes > kMaxLawSamples) return 0;
    std::array<int16_t, kMaxLawSamples> linear;
    if (law == Law::Ulaw)
        Ulaw2Linear(in, bytes, linear.data());
    else
        Alaw2Linear(in, bytes, linear.data());
    return encode(handle, linear.data(), bytes, out, capacity);
}

int DecodeToLaw(LinearDecoder decode, Law law, KZCodecHandle handle, const uint8_t* in, int bytes,
                uint8_t* out, int capacity) {
    if (!handle || !ValidBuffers(in, bytes, out, capacity)) return 0;
    std::array<int16_t, kMaxLawSamples> linear;
    const int samples = decode(handle, in, bytes, linear.data(), std::min(capacity, kMaxLawSamples));
    if (samples <= 0) return 0;
    return law == Law::Ulaw ? Linear2Ulaw(linear.data(), samples, out)
                            : Linear2Alaw(linear.data(), samples, out);
}

} // namespace detail
} // namespace KZAUDIO
