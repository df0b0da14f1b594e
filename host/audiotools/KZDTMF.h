// KZ_DTMF: DTMF tone generation and detection on 16-bit linear audio (over spandsp's DTMF
// generator and receiver). Digits are the characters "0"-"9", "*", "#", "A"-"D"; their codes are
// the telephone-event numbers 0-9, 10 "*", 11 "#", 12-15 "A"-"D".
#pragma once

#include <cstdint>

namespace KZAPI {

struct KZDTMFState;
using KZ_DTMF_HANDLE = KZDTMFState*;

// A generator and detector for `rate` Hz (8000), `bits` per sample (16) and frames of
// `frame_samples`; null when the arguments are unusable.
KZ_DTMF_HANDLE KZ_DTMF_Create(int rate, int bits, int frame_samples);
void KZ_DTMF_Destroy(KZ_DTMF_HANDLE handle);

// Writes the digits as tones: each `duration_ms` of tone followed by `gap_ms` of silence, 16-bit
// linear samples at the handle's rate, -10 dBm0 for the low tone and -8 dBm0 for the high one. Returns the
// bytes written, or 0 when the buffer is too small for the whole string or a character is no DTMF digit
// (nothing is written then).
int KZ_DTMF_Gen_String_Tone(KZ_DTMF_HANDLE handle, uint8_t* buffer, int buffer_bytes, const char* digits,
                            int duration_ms, int gap_ms);

// Feeds `count` samples to the detector and returns the code of the digit whose tone is present
// at the end of them, or -1 while none is. A digit is seen once the receiver has held it for
// about 38 ms: tones of 30 ms and less never count, tones of 50 ms and more always do (40 ms ones
// depending on how they fall on the receiver's blocks). A digit that reached that and ended within
// these samples without having been returned yet is returned once. Speech and music are rejected
// by the receiver's level, twist and energy-concentration checks and by that minimum.
int KZ_DTMF_Detect_Single_N_1(KZ_DTMF_HANDLE handle, const int16_t* samples, int count);
// How long (ms) the receiver had held the digit the last KZ_DTMF_Detect_Single_N_1 returned, by
// the end of the samples fed; 0 when that call returned none. A digit is returned only some tens
// of ms after the receiver first holds it, so this tells how long it has really sounded (the
// receiver lags the tone's start by about as much as it lags its end).
int KZ_DTMF_Digit_Age_Ms(KZ_DTMF_HANDLE handle);
// Forgets the detector's history (a new stream).
void KZ_DTMF_Reset(KZ_DTMF_HANDLE handle);

// Code of a digit character (-1 for none; "a"-"d" are taken as "A"-"D") and the character of a
// code (0 for none); "X" (flash) is code 16, which has no tone.
int KZ_DTMF_CodeOfChar(char digit);
char KZ_DTMF_CharOfCode(int code);

} // namespace KZAPI
