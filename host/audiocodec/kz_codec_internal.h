// Shared plumbing of the codec library: typed opaque handles, argument checks and the law
// wrappers that put a G.711 face on every linear codec.
#pragma once

#include "host/audiocodec/KZAudioCodec.h"

#include <cstdint>
#include <memory>

namespace KZAUDIO::detail {

// Every handle starts with its kind, so that a handle of one codec handed to another is refused
// rather than misread.
enum class HandleKind : uint32_t {
    Gsm = 0x4B5A0001,
    G726,
    G722Encoder,
    G722Decoder,
    G729Encoder,
    G729Decoder,
    G723Encoder,
    G723Decoder,
    Ilbc,
    Speex,
    Amr,
    OpusEncoder,
    OpusDecoder,
    EchoCanceller,
};

struct HandleBase {
    explicit HandleBase(HandleKind handle_kind) : kind(handle_kind) {}
    virtual ~HandleBase() = default;
    HandleBase(const HandleBase&) = delete;
    HandleBase& operator=(const HandleBase&) = delete;
    const HandleKind kind;
};

template <class T> T* As(KZCodecHandle handle) {
    auto* base = static_cast<HandleBase*>(handle);
    return base && base->kind == T::kKind ? static_cast<T*>(base) : nullptr;
}

// Hands a fully built codec out as an opaque handle; one whose library refused to start is
// dropped and the caller gets the null "no codec" handle.
template <class T> KZCodecHandle Release(std::unique_ptr<T> codec) {
    if (!codec || !codec->Ready()) return nullptr;
    return static_cast<HandleBase*>(codec.release());
}

template <class T> void Destroy(KZCodecHandle handle) {
    std::unique_ptr<T> owned(As<T>(handle));
}

inline bool ValidBuffers(const void* in, int in_length, const void* out, int capacity) {
    return in && out && in_length > 0 && capacity > 0;
}

// The largest frame a law wrapper converts in one call: 240 ms, beyond any packet time used.
inline constexpr int kMaxLawSamples = 1920;

enum class Law { Ulaw, Alaw };

using LinearEncoder = int (*)(KZCodecHandle, const int16_t*, int, uint8_t*, int);
using LinearDecoder = int (*)(KZCodecHandle, const uint8_t*, int, int16_t*, int);

// law bytes -> linear -> encoder; returns the encoder's result.
int EncodeFromLaw(LinearEncoder encode, Law law, KZCodecHandle handle, const uint8_t* in, int bytes,
                  uint8_t* out, int capacity);
// decoder -> linear -> law bytes; returns the law bytes written.
int DecodeToLaw(LinearDecoder decode, Law law, KZCodecHandle handle, const uint8_t* in, int bytes,
                uint8_t* out, int capacity);

} // namespace KZAUDIO::detail
