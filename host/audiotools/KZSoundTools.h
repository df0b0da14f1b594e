// Small sample tools on 16-bit linear audio: mixing, a gain control with a limiter and a level
// and pitch analyser.
#pragma once

#include <cstdint>

namespace KZAPI {

// Mixes `input_count` inputs of `samples` samples each into `out` (which may be one of them),
// saturating at the 16-bit range. Returns `samples`, 0 on bad arguments.
int KZ_SND_Mix(int16_t* out, const int16_t* const* inputs, int input_count, int samples);

// A fixed gain (a factor, 1.0 unchanged) applied with a soft limiter so that a loud frame does
// not clip.
struct KZAGC4State;
using KZ_AGC4_HANDLE = KZAGC4State*;
KZ_AGC4_HANDLE KZ_AGC4_Create(float factor);
void KZ_AGC4_Destroy(KZ_AGC4_HANDLE handle);
void KZ_AGC4_Process(KZ_AGC4_HANDLE handle, int16_t* samples, int count);

// Level and dominant frequency of a stream of 8 kHz linear audio, measured over what was fed
// since the last reset.
struct KZ_PCM_ANALYSIS {
    double rms_dbfs = -120.0; // root mean square level, dB relative to full scale
    double peak_dbfs = -120.0;
    double dominant_hz = 0.0; // the strongest frequency (0 when silent)
    uint64_t samples = 0;
};
struct KZPCMAnalyzerState;
using KZ_PCM_ANALYZER_HANDLE = KZPCMAnalyzerState*;
KZ_PCM_ANALYZER_HANDLE KZ_PCM_ANALYZER_Create(int rate);
void KZ_PCM_ANALYZER_Destroy(KZ_PCM_ANALYZER_HANDLE handle);
void KZ_PCM_ANALYZER_Feed(KZ_PCM_ANALYZER_HANDLE handle, const int16_t* samples, int count);
KZ_PCM_ANALYSIS KZ_PCM_ANALYZER_Result(KZ_PCM_ANALYZER_HANDLE handle);
void KZ_PCM_ANALYZER_Reset(KZ_PCM_ANALYZER_HANDLE handle);

} // namespace KZAPI
