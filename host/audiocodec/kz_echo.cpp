// The Speex echo canceller (speexdsp's multi-delay block filter) at 8 kHz.
#include "host/audiocodec/kz_codec_internal.h"

#if KZ_CODEC_SPEEX
#include <speex/speex_echo.h>

#include <algorithm>
#include <vector>

namespace KZAUDIO {
namespace {

constexpr int kSampleRate = 8000;
// Frames beyond 100 ms or tails beyond 2 s are not echo cancellation any more.
constexpr int kMaxFrameSamples = 800;
constexpr int kMaxTailSamples = 16000;

struct EchoStateDeleter {
    void operator()(SpeexEchoState* state) const { speex_echo_state_destroy(state); }
};

struct EchoCanceller : detail::HandleBase {
    static constexpr auto kKind = detail::HandleKind::EchoCanceller;
    EchoCanceller(int frame_samples, int tail_samples)
        : HandleBase(kKind), state(speex_echo_state_init(frame_samples, tail_samples)),
          captured(frame_samples) {
        int rate = kSampleRate;
        if (state) speex_echo_ctl(state.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    }
    bool Ready() const { return state != nullptr; }
    std::unique_ptr<SpeexEchoState, EchoStateDeleter> state;
    // The captured frame is copied first so that the output may overwrite the input.
    std::vector<spx_int16_t> captured;
};

} // namespace

KZCodecHandle Speex_EC_Create(int frame_samples, int tail_samples) {
    if (frame_samples <= 0 || frame_samples > kMaxFrameSamples || tail_samples <= 0 ||
        tail_samples > kMaxTailSamples)
        return nullptr;
    return detail::Release(std::make_unique<EchoCanceller>(frame_samples, tail_samples));
}

void Speex_EC_Destroy(KZCodecHandle handle) {
    detail::Destroy<EchoCanceller>(handle);
}

void Speex_EC_Playback(KZCodecHandle handle, const int16_t* played) {
    EchoCanceller* canceller = detail::As<EchoCanceller>(handle);
    if (canceller && played) speex_echo_playback(canceller->state.get(), played);
}

void Speex_EC_Capture(KZCodecHandle handle, const int16_t* captured, int16_t* out) {
    EchoCanceller* canceller = detail::As<EchoCanceller>(handle);
    if (!canceller || !captured || !out) return;
    std::copy_n(captured, canceller->captured.size(), canceller->captured.begin());
    speex_echo_capture(canceller->state.get(), canceller->captured.data(), out);
}

void Speex_EC_Reset(KZCodecHandle handle) {
    if (EchoCanceller* canceller = detail::As<EchoCanceller>(handle))
        speex_echo_state_reset(canceller->state.get());
}

} // namespace KZAUDIO

#else

namespace KZAUDIO {
KZCodecHandle Speex_EC_Create(int, int) {
    return nullptr;
}
void Speex_EC_Destroy(KZCodecHandle) {}
void Speex_EC_Playback(KZCodecHandle, const int16_t*) {}
void Speex_EC_Capture(KZCodecHandle, const int16_t*, int16_t*) {}
void Speex_EC_Reset(KZCodecHandle) {}
} // namespace KZAUDIO

#endif // KZ_CODEC_SPEEX
