// The codecs of the codec library as a call uses them: how each is made, what one frame of it
// takes and gives, and what each must keep of a test signal.
#pragma once

#include "host/audiocodec/KZAudioCodec.h"

#include <functional>
#include <memory>

namespace kztest {

using KZAUDIO::KZCodecHandle;
using CodecEncoder = int (*)(KZCodecHandle, const int16_t*, int, uint8_t*, int);
using CodecDecoder = int (*)(KZCodecHandle, const uint8_t*, int, int16_t*, int);
using CodecDestroyer = void (*)(KZCodecHandle);
using OwnedCodec = std::unique_ptr<void, CodecDestroyer>;

struct CodecCase {
    const char* name;
    int code;   // the payload code a call names it by (dynamic ones by the codec's mark)
    bool built; // its build switch is on
    std::function<KZCodecHandle()> make_encoder, make_decoder;
    CodecDestroyer destroy_encoder, destroy_decoder;
    CodecEncoder encode;
    CodecDecoder decode;
    int frame_samples; // samples per encode call
    int frame_bytes;   // bytes per call, 0 when the size follows the signal
    int payload_bytes; // bytes of a call's payload from one frame, 0 when it follows the signal
    int room;          // capacity handed to the encoder
    bool sample_coder; // codes sample by sample rather than in frames
    // Waveform coders are held to a sine's SNR; every coder to a correlation with speech, coded
    // on its own and as a call's payload (lowered a little for the G.711 step on the law side).
    double min_sine_snr_db, min_speech_correlation, min_call_correlation;
};

// Thresholds sit a few dB (or a few hundredths) under what each codec delivers on the test signals
// (the codec test prints the figures). ADPCM gains about 6 dB per bit of code word, and G.722's
// 6-bit low band beats 5-bit G.726-40. The analysis-by-synthesis coders keep the speech's shape
// rather than each sample: their correlation with the input, after their delay (40 to 80
// samples), stays above 0.85.
inline const CodecCase kCodecs[] = {
    // clang-format off
    {"GSM", 3, KZ_CODEC_GSM != 0, KZAUDIO::GSM_Create, KZAUDIO::GSM_Create, KZAUDIO::GSM_Destroy, KZAUDIO::GSM_Destroy, KZAUDIO::GSM_Encode, KZAUDIO::GSM_Decode, 160, 33, 33, 33, false, 0, 0.90, 0.90},
    {"G.726-16", 96, KZ_CODEC_G722_G726 != 0, KZAUDIO::g726_Create, KZAUDIO::g726_Create, KZAUDIO::g726_Destroy, KZAUDIO::g726_Destroy, KZAUDIO::g726_16_Encode, KZAUDIO::g726_16_Decode, 160, 40, 40, 40, true, 19, 0.80, 0.80},
    {"G.726-24", 97, KZ_CODEC_G722_G726 != 0, KZAUDIO::g726_Create, KZAUDIO::g726_Create, KZAUDIO::g726_Destroy, KZAUDIO::g726_Destroy, KZAUDIO::g726_24_Encode, KZAUDIO::g726_24_Decode, 160, 60, 60, 60, true, 23, 0.90, 0.90},
    {"G.726-32", 98, KZ_CODEC_G722_G726 != 0, KZAUDIO::g726_Create, KZAUDIO::g726_Create, KZAUDIO::g726_Destroy, KZAUDIO::g726_Destroy, KZAUDIO::g726_32_Encode, KZAUDIO::g726_32_Decode, 160, 80, 80, 80, true, 32, 0.97, 0.97},
    {"G.726-40", 99, KZ_CODEC_G722_G726 != 0, KZAUDIO::g726_Create, KZAUDIO::g726_Create, KZAUDIO::g726_Destroy, KZAUDIO::g726_Destroy, KZAUDIO::g726_40_Encode, KZAUDIO::g726_40_Decode, 160, 100, 100, 100, true, 38, 0.98, 0.98},
    {"G.722", 9, KZ_CODEC_G722_G726 != 0, [] { return KZAUDIO::G722_EncodeCreate(64000, 1); }, [] { return KZAUDIO::G722_DecodeCreate(64000, 1); }, KZAUDIO::G722_EncodeDestroy, KZAUDIO::G722_DecodeDestroy, KZAUDIO::G722_Encode, KZAUDIO::G722_Decode, 160, 160, 160, 160, true, 40, 0.99, 0.98},
    {"G.729", 18, KZ_CODEC_G729 != 0, [] { return KZAUDIO::G729B_Encoder_Create(false); }, KZAUDIO::G729B_Decoder_Create, KZAUDIO::G729B_Encoder_Destroy, KZAUDIO::G729B_Decoder_Destroy, KZAUDIO::G729B_Encode, KZAUDIO::G729B_Decode, 160, 20, 20, 20, false, 0, 0.85, 0.85},
    {"G.723.1", 4, KZ_CODEC_AVCODEC != 0, KZAUDIO::G723_Encoder_Create, KZAUDIO::G723_Decoder_Create, KZAUDIO::G723_Encoder_Destroy, KZAUDIO::G723_Decoder_Destroy, KZAUDIO::G723_Encode, KZAUDIO::G723_Decode, 240, 24, 24, 24, false, 0, 0.93, 0.90},
    {"Speex", 102, KZ_CODEC_SPEEX != 0, [] { return KZAUDIO::Speex_CreateEx(3, 8); }, [] { return KZAUDIO::Speex_CreateEx(3, 8); }, KZAUDIO::Speex_Destroy, KZAUDIO::Speex_Destroy, KZAUDIO::Speex_Encode, KZAUDIO::Speex_Decode, 160, 38, 38, 62, false, 0, 0.88, 0.85},
    {"AMR 12.2", 105, KZ_CODEC_AMR != 0, KZAUDIO::GSMAMR_Create, KZAUDIO::GSMAMR_Create, KZAUDIO::GSMAMR_Destroy, KZAUDIO::GSMAMR_Destroy, KZAUDIO::GSMAMR_Encode, KZAUDIO::GSMAMR_Decode, 160, 33, 0, 33, false, 0, 0.88, 0.85},
    {"Opus", 114, KZ_CODEC_OPUS != 0, [] { return KZAUDIO::Opus_Encoder_Create(48000, 1, 2048, nullptr); }, [] { return KZAUDIO::Opus_Decoder_Create(48000, 1, nullptr); }, KZAUDIO::Opus_Encoder_Destroy, KZAUDIO::Opus_Decoder_Destroy, KZAUDIO::Opus_Encode, KZAUDIO::Opus_Decode, 160, 0, 0, 1275, false, 0, 0.90, 0.90},
    // clang-format on
};

} // namespace kztest
