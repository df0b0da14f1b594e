// KZ_TONE: call-progress tone detection (Goertzel filters and a cadence follower of our own:
// spandsp's supervisory tone receiver cannot tell 425 Hz from 440 Hz when the North-American and
// European tables are watched together). A table describes each tone by one or two frequencies
// and its cadence; the detector reports a cadenced tone once a whole on and off step of the right
// lengths (within 12 % and 60 ms) has been heard and the tone comes back, and a continuous tone
// after `on_ms` (1000 ms when 0), and never before it has outlasted every cadenced tone of the same
// frequencies. Tones below -45 dBFS are not looked for.
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
// or none of its entries is usable (frequencies within 100-3900 Hz, steps up to 60 s, a cadenced
// tone with an on step). Unusable entries are never reported.
KZ_TONE_HANDLE KZ_TONE_Create(const KZ_TONE_DEF* defs, int count);
void KZ_TONE_Destroy(KZ_TONE_HANDLE handle);
// Feeds samples; returns the index in the table of a tone recognised within them, -1 for none
// (when several were, the others come from the next calls). A tone is reported once per continuous
// occurrence (again after something else was heard, its cadence broke or its tone stopped).
int KZ_TONE_Process(KZ_TONE_HANDLE handle, const int16_t* samples, int count);
void KZ_TONE_Reset(KZ_TONE_HANDLE handle);

} // namespace KZAPI
