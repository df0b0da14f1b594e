#include "host/audiotools/KZSoundTools.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace KZAPI {

namespace {

// The limiter keeps peaks at -1 dBFS and lets the gain recover at 20 dB per second (at 8 kHz).
constexpr float kLimitPeak = 0.891f * 32767.0f;
constexpr float kReleasePerSample = 1.000288f;

int16_t Saturate(int32_t value) {
    return static_cast<int16_t>(std::clamp<int32_t>(value, INT16_MIN, INT16_MAX));
}

} // namespace

int KZ_SND_Mix(int16_t* out, const int16_t* const* inputs, int input_count, int samples) {
    if (out == nullptr || inputs == nullptr || input_count <= 0 || samples <= 0) return 0;
    for (int input = 0; input < input_count; ++input) {
        if (inputs[input] == nullptr) return 0;
    }
    for (int i = 0; i < samples; ++i) {
        int32_t sum = 0;
        for (int input = 0; input < input_count; ++input)
            sum += inputs[input][i];
        out[i] = Saturate(sum);
    }
    return samples;
}

// The applied gain follows the wanted factor, except that a frame whose peak would pass the limit
// gets just the gain that brings it to the limit from its first sample; afterwards the gain creeps
// back up, so loud passages are turned down without clipping and without pumping.
struct KZAGC4State {
    float factor = 1.0f;
    float gain = 1.0f;
};

KZ_AGC4_HANDLE KZ_AGC4_Create(float factor) {
    if (!std::isfinite(factor) || factor < 0.0f) return nullptr;
    auto state = std::make_unique<KZAGC4State>();
    state->factor = factor;
    state->gain = factor;
    return state.release();
}

void KZ_AGC4_Destroy(KZ_AGC4_HANDLE handle) {
    std::unique_ptr<KZAGC4State> owned(handle);
}

void KZ_AGC4_Process(KZ_AGC4_HANDLE handle, int16_t* samples, int count) {
    if (handle == nullptr || samples == nullptr || count <= 0) return;
    int peak = 0;
    for (int i = 0; i < count; ++i)
        peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
    float ceiling = handle->factor;
    if (peak > 0) ceiling = std::min(ceiling, kLimitPeak / static_cast<float>(peak));
    handle->gain = std::min(handle->gain, ceiling);
    for (int i = 0; i < count; ++i) {
        samples[i] = Saturate(static_cast<int32_t>(std::lround(samples[i] * handle->gain)));
        handle->gain = std::min(handle->gain * kReleasePerSample, ceiling);
    }
}

} // namespace KZAPI
