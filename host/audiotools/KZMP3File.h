// KZ_MP3_FILE: MP3 files, read through libmpg123 and written through LAME. Reading hands out
// 8 kHz mono 16-bit linear audio (resampled with speexdsp's resampler from the file's rate,
// channels mixed down); writing encodes 16-bit linear audio of the rate given at opening into a
// file that states its exact length twice: LAME's Info tag (encoder delay and padding, for gapless
// players) and an ID3v2 TLEN tag in front (for readers such as sox that ignore the former).
#pragma once

#include <cstdint>

namespace KZAPI {

struct KZMP3FileState;
using KZ_MP3_FILE_HANDLE = KZMP3FileState*;

// Null when the file cannot be opened or is no MP3 (its audio must begin with decodable frames).
KZ_MP3_FILE_HANDLE KZ_MP3_FILE_ROpen(const char* path);
// Reads up to `bytes` (whole samples) of 8 kHz linear audio; 0 at the end, below 0 on an error.
// The resampler's delay is taken out, so the audio starts where the file's does.
int KZ_MP3_FILE_Read(KZ_MP3_FILE_HANDLE handle, uint8_t* out, int bytes);

// Creates `path` for mono audio at `rate` Hz encoded at `bitrate_kbps`; null on failure.
KZ_MP3_FILE_HANDLE KZ_MP3_FILE_WOpen(const char* path, int rate, int bitrate_kbps);
// Encodes `bytes` of 16-bit linear audio; returns the bytes taken (below 0 on an error).
int KZ_MP3_FILE_Write(KZ_MP3_FILE_HANDLE handle, const uint8_t* linear, int bytes);

// Closes either kind; a written file is flushed first. Null is ignored.
void KZ_MP3_FILE_Close(KZ_MP3_FILE_HANDLE handle);

} // namespace KZAPI
