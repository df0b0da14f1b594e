#include "media/CKZSIPToneControl.h"

#include "host/CKZDSP.h"

#include <algorithm>
#include <cstring>

namespace {

// Samples converted per step: 100 ms at 8 kHz, more than any DSP frame.
constexpr int kChunkSamples = 800;

} // namespace

void CKZSIPToneControl::OnRxBufArrived(uint16_t, uint32_t, const uint8_t* data, int length) {
    if (!IsToneDetectionRunning() || !data || length <= 0) return;
    const int format = GetDSPAudioFormat();
    const bool linear = KZAPI::IsLinearAudioFormat(format);
    if (!linear && format != KZAPI::KZ_AUDIO_FORMAT_ULAW && format != KZAPI::KZ_AUDIO_FORMAT_ALAW) return;
    const KZAPI::CKZDSP* dsp = GetObjDSP();
    const unsigned frame_ms = dsp ? dsp->GetFrameTime() : 0;
    const int bytes_per_sample = linear ? 2 : 1;
    int16_t samples[kChunkSamples];
    static_assert(sizeof(samples) == kChunkSamples * sizeof(int16_t));
    // Linear frames are copied (the frame need not be aligned for int16_t); law frames are
    // expanded to linear, since the detector measures 16-bit sample energy.
    for (int offset = 0; offset + bytes_per_sample <= length;) {
        const int count = std::min(kChunkSamples, (length - offset) / bytes_per_sample);
        int produced = count;
        if (linear) {
            std::memcpy(samples, data + offset, static_cast<size_t>(count) * sizeof(int16_t));
        } else {
            const int written =
                ConvertAudioFormat(format, data + offset, count, KZAPI::KZ_AUDIO_FORMAT_LINEAR16, nullptr,
                                   reinterpret_cast<uint8_t*>(samples), sizeof(samples));
            produced = written / static_cast<int>(sizeof(int16_t));
        }
        if (produced > 0) ProcessToneSamples(samples, produced, 8000, frame_ms);
        offset += count * bytes_per_sample;
    }
}
