// KZ_WAV_FILE and KZ_FILE: audio files through libsndfile.
//
// Reading hands out 8 kHz mono 16-bit linear audio whatever the file holds (any format libsndfile
// reads; other rates are resampled with speexdsp's resampler, several channels mixed down).
// Writing makes an 8 kHz mono WAV in mu-law, A-law or 16-bit linear from frames already in that
// format. Audio formats are the DSP's codes: 3 mu-law, 4 A-law, 5 or 7 16-bit linear.
#pragma once

#include <cstdint>

namespace KZAPI {

struct KZWavFileState;
using KZ_WAV_FILE_HANDLE = KZWavFileState*;

// Opens `path` for reading. data_bytes (may be null) receives the bytes of 8 kHz linear audio the
// file yields in all, 0 when unknown; the first start_offset of those bytes are skipped. A file of
// another rate yields its duration at 8 kHz, rounded to the nearest sample, time-aligned with the
// original (the resampler's delay is taken out). Null when the file cannot be opened or decoded.
KZ_WAV_FILE_HANDLE KZ_WAV_FILE_ROpen(const char* path, uint32_t* data_bytes, uint32_t start_offset);
// Reads up to `bytes` (rounded down to whole samples) of 8 kHz linear audio; 0 at the end.
int KZ_WAV_FILE_Read(KZ_WAV_FILE_HANDLE handle, uint8_t* out, int bytes);

// Creates `path` as an 8 kHz mono WAV of audio_format, or with `append` opens an existing one and
// continues after `offset` bytes of its audio data (at most all of it; what followed is cut off).
// Appending to a file that does not exist creates it; to a file of another encoding, rate or
// channel count fails. Null on failure.
KZ_WAV_FILE_HANDLE KZ_WAV_FILE_Open(const char* path, int audio_format, bool append, uint32_t offset);
// Writes `bytes` (whole samples; an odd byte of linear audio is dropped) of audio in the file's
// format; returns the bytes written.
int KZ_FILE_Write(KZ_WAV_FILE_HANDLE handle, const uint8_t* data, int bytes);

// Closes a file opened either way; a written file gets its final header. Null is ignored.
void KZ_WAV_FILE_Close(KZ_WAV_FILE_HANDLE handle);

} // namespace KZAPI
