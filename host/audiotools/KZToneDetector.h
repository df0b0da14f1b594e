// KZ_TONE: call-progress tone detection (over spandsp's supervisory tone receiver). A table
// describes each tone by one or two frequencies and its cadence; the detector reports a tone
// once its cadence has been heard (a continuous tone after `on_ms`).
#pragma once

#include <cstdint>

namespace KZAPI {

struct KZ_TONE_DEF {
    static constexpr int kNameChars = 32;
    char name[kNameChars] = ""; // "dial", "ringback", "busy", "congestion", ...
    int frequency1 = 0;         // Hz
    int frequency2 = 0;         // Hz, 0 for a single tone
    int on_ms = 0;              // tone length of one cadence step
    int off_ms = 0;             // silence after it; 0 for a continuous tone
};

struct KZToneDetectorState;
using KZ_TONE_HANDLE = KZToneDetectorState*;

// A detector of the tones in `defs` for 8 kHz 16-bit linear audio; null when the table is empty
// or unusable.
KZ_TONE_HANDLE KZ_TONE_Create(const KZ_TONE_DEF* defs, int count);
void KZ_TONE_Destroy(KZ_TONE_HANDLE handle);
// Feeds samples; returns the index in the table of a tone recognised within them, -1 for none.
// A tone is reported once per continuous occurrence (again after something else was heard).
int KZ_TONE_Process(KZ_TONE_HANDLE handle, const int16_t* samples, int count);
void KZ_TONE_Reset(KZ_TONE_HANDLE handle);

} // namespace KZAPI
