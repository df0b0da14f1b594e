// KZAudioCodec: the speech codecs calls carry, behind one small C-like interface.
//
// Linear samples are signed 16-bit at 8 kHz, law samples one byte each. Handles are opaque and a
// null handle means "no codec": every call given one produces nothing. Every encoder and decoder
// writes at most `capacity` bytes (encoders, law decoders) or `capacity` samples (linear
// decoders) and returns what it wrote; 0 or less means nothing was produced (refused input,
// too little room, no codec). Decoders to linear return sample counts, everything else bytes.
//
// Frames: GSM 160 samples <-> 33 bytes; G.729 80 samples <-> 10 bytes (several frames per call
// are coded in turn); G.723.1 240 samples <-> 24 bytes (20 at 5.3 kbit/s); G.722 (8 kHz input,
// the low sub-band) n samples <-> n bytes at 64 kbit/s; G.726 at 16/24/32/40 kbit/s n samples <->
// n*2/8 .. n*5/8 bytes (RFC 3551 packing); Speex and AMR 160 samples per frame; iLBC 160 (20 ms)
// or 240 (30 ms) samples; Opus any of 2.5..60 ms at the 8 kHz interface rate, carried at its own
// RTP clock.
#pragma once

#include <cstdint>

namespace KZAUDIO {

using KZCodecHandle = void*;

// ---- G.711 (no handle). Each returns the samples converted. ----
int Linear2Ulaw(const int16_t* linear, int samples, uint8_t* ulaw);
int Linear2Alaw(const int16_t* linear, int samples, uint8_t* alaw);
int Ulaw2Linear(const uint8_t* ulaw, int samples, int16_t* linear);
int Alaw2Linear(const uint8_t* alaw, int samples, int16_t* linear);
int Ulaw2Alaw(const uint8_t* ulaw, int samples, uint8_t* alaw);
int Alaw2Ulaw(const uint8_t* alaw, int samples, uint8_t* ulaw);
// Single-sample forms for tight loops.
uint8_t LinearToUlaw(int16_t sample);
uint8_t LinearToAlaw(int16_t sample);
int16_t UlawToLinear(uint8_t code);
int16_t AlawToLinear(uint8_t code);

// ---- GSM 06.10 ----
KZCodecHandle GSM_Create();
void GSM_Destroy(KZCodecHandle handle);
int GSM_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int GSM_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int Ulaw2GSM(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int Alaw2GSM(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int GSM2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int GSM2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);

// ---- G.726 (one handle for both directions; the rate of the call used decides the state) ----
KZCodecHandle g726_Create();
void g726_Destroy(KZCodecHandle handle);
int g726_16_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int g726_24_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int g726_32_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int g726_40_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int g726_16_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int g726_24_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int g726_32_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int g726_40_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int g726_16_UlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int g726_24_UlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int g726_32_UlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int g726_40_UlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int g726_16_AlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int g726_24_AlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int g726_32_AlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int g726_40_AlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int g726_16_UlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int g726_24_UlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int g726_32_UlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int g726_40_UlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int g726_16_AlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int g726_24_AlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int g726_32_AlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int g726_40_AlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);

// ---- G.722 at 64 kbit/s; options 1 = 8 kHz interface (the low sub-band only) ----
KZCodecHandle G722_EncodeCreate(int bit_rate, int options);
KZCodecHandle G722_DecodeCreate(int bit_rate, int options);
void G722_EncodeDestroy(KZCodecHandle handle);
void G722_DecodeDestroy(KZCodecHandle handle);
int G722_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int G722_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);

// ---- G.729 annex B ----
KZCodecHandle G729B_Encoder_Create(bool vad);
KZCodecHandle G729B_Decoder_Create();
void G729B_Encoder_Destroy(KZCodecHandle handle);
void G729B_Decoder_Destroy(KZCodecHandle handle);
int G729B_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int G729B_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int Ulaw2G729B(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int Alaw2G729B(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int G729B2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int G729B2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);

// ---- G.723.1 ----
KZCodecHandle G723_Encoder_Create();
KZCodecHandle G723_Decoder_Create();
void G723_Encoder_Destroy(KZCodecHandle handle);
void G723_Decoder_Destroy(KZCodecHandle handle);
// 0 = 5.3 kbit/s, 1 = 6.3 kbit/s.
void G723_SetBitRate(KZCodecHandle handle, int rate);
int G723_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int G723_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int Ulaw2G723(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int Alaw2G723(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int G7232Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int G7232Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);

// ---- iLBC (20 or 30 ms frames). Decoding only: the encoder produces nothing, and
// iLBC_CanEncode() says so, so that a call never offers what it cannot send. ----
KZCodecHandle iLBC_Create(int frame_ms);
void iLBC_Destroy(KZCodecHandle handle);
bool iLBC_CanEncode();
int iLBC_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int iLBC_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int Ulaw2iLBC(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int Alaw2iLBC(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int iLBC2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int iLBC2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);

// ---- Speex narrow band (one handle both ways) ----
KZCodecHandle Speex_CreateEx(int complexity, int quality);
void Speex_Destroy(KZCodecHandle handle);
int Speex_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int Speex_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int Ulaw2Speex(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int Alaw2Speex(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int Speex2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int Speex2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);

// ---- AMR narrow band, RFC 4867 octet-aligned payloads (one handle both ways) ----
KZCodecHandle GSMAMR_Create();
void GSMAMR_Destroy(KZCodecHandle handle);
// Modes 0..7 (4.75 .. 12.2 kbit/s).
void GSMAMR_SetEncodeMode(KZCodecHandle handle, int mode);
void GSMAMR_SetDecodeMode(KZCodecHandle handle, int mode);
void GSMAMR_EnableDTX(KZCodecHandle handle, bool enable);
int GSMAMR_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
int GSMAMR_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);
int Ulaw2GSMAMR(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int Alaw2GSMAMR(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity);
int GSMAMR2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);
int GSMAMR2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity);

// ---- Opus. `clock` is the RTP clock of the stream (48000); samples cross this interface at
// 8 kHz. application 2048 is VoIP. error (may be null) receives the library's error code. ----
KZCodecHandle Opus_Encoder_Create(int clock, int channels, int application, int* error);
KZCodecHandle Opus_Decoder_Create(int clock, int channels, int* error);
void Opus_Encoder_Destroy(KZCodecHandle handle);
void Opus_Decoder_Destroy(KZCodecHandle handle);
int Opus_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity);
// A null `in` conceals one lost frame of `capacity` samples at most (20 ms is 160).
int Opus_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity);

// ---- Speex echo canceller: frame samples and tail samples at 8 kHz ----
KZCodecHandle Speex_EC_Create(int frame_samples, int tail_samples);
void Speex_EC_Destroy(KZCodecHandle handle);
// What was played to the loudspeaker, one frame.
void Speex_EC_Playback(KZCodecHandle handle, const int16_t* played);
// One captured frame in, the echo-cancelled frame out (may be the same buffer).
void Speex_EC_Capture(KZCodecHandle handle, const int16_t* captured, int16_t* out);
void Speex_EC_Reset(KZCodecHandle handle);

} // namespace KZAUDIO
