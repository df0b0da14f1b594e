// Voice-activity and beep analysers for 16-bit linear audio (8-48 kHz), fed frame by frame on a
// media thread: all their memory is taken when they are created.
//
// KZ_VAD: an energy and zero-crossing detector of our own, in 10 ms blocks. A block is loud when
// its RMS amplitude reaches `max_sound_level` (default 100, about -50 dBFS) and its
// level stands 6 dB above the noise floor; a voice starts only on blocks no more than
// `max_db_level` dB (default 20) below the loudest speech of the last seconds, or that much above
// the floor, and once on it also holds through syllable troughs near the speech's level. The
// floor follows the quietest blocks down at once and creeps up (fast while the blocks sound like
// noise: many zero crossings), so a steady hiss stops counting as voice within half a second.
// Voice starts on a block that much above the floor or after two loud blocks in a row, and ends
// after seven quiet ones, which bridges the
// closures inside words but not the pauses between phrases. A voice whose last 30 ms are one
// steady pure tone is judged a tone.
//
// KZ_BEEP: a steady single tone (one frequency within 3 %, nearly all of the energy in it) that
// lasts `min_ms` (default 150 ms), reported once per tone.
#pragma once

#include <cstdint>

namespace KZAPI {

enum : int { KZ_VAD_SILENCE = 0, KZ_VAD_VOICE = 1, KZ_VAD_TONE = 2 };

struct KZVADState;
using KZ_VAD_HANDLE = KZVADState*;

// Null on a rate outside 8000-48000 Hz. Levels of 0 or less take the defaults.
KZ_VAD_HANDLE KZ_VAD_Create(int rate, int max_db_level, int max_sound_level);
void KZ_VAD_Destroy(KZ_VAD_HANDLE handle);
void KZ_VAD_Feed(KZ_VAD_HANDLE handle, const int16_t* samples, int count);
// KZ_VAD_SILENCE, KZ_VAD_VOICE or KZ_VAD_TONE after the samples fed so far.
int KZ_VAD_GetVerdict(KZ_VAD_HANDLE handle);
void KZ_VAD_Reset(KZ_VAD_HANDLE handle);

struct KZBeepState;
using KZ_BEEP_HANDLE = KZBeepState*;

// Null on a rate outside 8000-48000 Hz; min_ms of 0 or less takes 150 ms.
KZ_BEEP_HANDLE KZ_BEEP_Create(int rate, int min_ms);
void KZ_BEEP_Destroy(KZ_BEEP_HANDLE handle);
// The frequency (Hz, rounded) of a beep that reached its length within these samples, else 0.
int KZ_BEEP_Process(KZ_BEEP_HANDLE handle, const int16_t* samples, int count);
void KZ_BEEP_Reset(KZ_BEEP_HANDLE handle);

} // namespace KZAPI
