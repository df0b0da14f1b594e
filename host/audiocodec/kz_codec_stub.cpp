// Placeholder bodies; replaced by the codec implementations.
#include "host/audiocodec/KZAudioCodec.h"

namespace KZAUDIO {

int Linear2Ulaw(const int16_t* linear, int samples, uint8_t* ulaw) {
    return 0;
}
int Linear2Alaw(const int16_t* linear, int samples, uint8_t* alaw) {
    return 0;
}
int Ulaw2Linear(const uint8_t* ulaw, int samples, int16_t* linear) {
    return 0;
}
int Alaw2Linear(const uint8_t* alaw, int samples, int16_t* linear) {
    return 0;
}
int Ulaw2Alaw(const uint8_t* ulaw, int samples, uint8_t* alaw) {
    return 0;
}
int Alaw2Ulaw(const uint8_t* alaw, int samples, uint8_t* ulaw) {
    return 0;
}
uint8_t LinearToUlaw(int16_t sample) {
    return 0;
}
uint8_t LinearToAlaw(int16_t sample) {
    return 0;
}
int16_t UlawToLinear(uint8_t code) {
    return 0;
}
int16_t AlawToLinear(uint8_t code) {
    return 0;
}
KZCodecHandle GSM_Create() {
    return nullptr;
}
void GSM_Destroy(KZCodecHandle handle) {}
int GSM_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int GSM_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int Ulaw2GSM(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int Alaw2GSM(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int GSM2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int GSM2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
KZCodecHandle g726_Create() {
    return nullptr;
}
void g726_Destroy(KZCodecHandle handle) {}
int g726_16_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int g726_24_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int g726_32_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int g726_40_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int g726_16_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int g726_24_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int g726_32_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int g726_40_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int g726_16_UlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int g726_24_UlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int g726_32_UlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int g726_40_UlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int g726_16_AlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int g726_24_AlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int g726_32_AlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int g726_40_AlawEncode(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int g726_16_UlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int g726_24_UlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int g726_32_UlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int g726_40_UlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int g726_16_AlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int g726_24_AlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int g726_32_AlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int g726_40_AlawDecode(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
KZCodecHandle G722_EncodeCreate(int bit_rate, int options) {
    return nullptr;
}
KZCodecHandle G722_DecodeCreate(int bit_rate, int options) {
    return nullptr;
}
void G722_EncodeDestroy(KZCodecHandle handle) {}
void G722_DecodeDestroy(KZCodecHandle handle) {}
int G722_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int G722_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
KZCodecHandle G729B_Encoder_Create(bool vad) {
    return nullptr;
}
KZCodecHandle G729B_Decoder_Create() {
    return nullptr;
}
void G729B_Encoder_Destroy(KZCodecHandle handle) {}
void G729B_Decoder_Destroy(KZCodecHandle handle) {}
int G729B_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int G729B_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int Ulaw2G729B(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int Alaw2G729B(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int G729B2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int G729B2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
KZCodecHandle G723_Encoder_Create() {
    return nullptr;
}
KZCodecHandle G723_Decoder_Create() {
    return nullptr;
}
void G723_Encoder_Destroy(KZCodecHandle handle) {}
void G723_Decoder_Destroy(KZCodecHandle handle) {}
void G723_SetBitRate(KZCodecHandle handle, int rate) {}
int G723_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int G723_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int Ulaw2G723(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int Alaw2G723(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int G7232Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int G7232Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
KZCodecHandle iLBC_Create(int frame_ms) {
    return nullptr;
}
void iLBC_Destroy(KZCodecHandle handle) {}
bool iLBC_CanEncode() {
    return false;
}
int iLBC_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int iLBC_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int Ulaw2iLBC(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int Alaw2iLBC(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int iLBC2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int iLBC2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
KZCodecHandle Speex_CreateEx(int complexity, int quality) {
    return nullptr;
}
void Speex_Destroy(KZCodecHandle handle) {}
int Speex_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int Speex_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int Ulaw2Speex(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int Alaw2Speex(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int Speex2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int Speex2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
KZCodecHandle GSMAMR_Create() {
    return nullptr;
}
void GSMAMR_Destroy(KZCodecHandle handle) {}
void GSMAMR_SetEncodeMode(KZCodecHandle handle, int mode) {}
void GSMAMR_SetDecodeMode(KZCodecHandle handle, int mode) {}
void GSMAMR_EnableDTX(KZCodecHandle handle, bool enable) {}
int GSMAMR_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int GSMAMR_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
int Ulaw2GSMAMR(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int Alaw2GSMAMR(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    return 0;
}
int GSMAMR2Ulaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
int GSMAMR2Alaw(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    return 0;
}
KZCodecHandle Opus_Encoder_Create(int clock, int channels, int application, int* error) {
    return nullptr;
}
KZCodecHandle Opus_Decoder_Create(int clock, int channels, int* error) {
    return nullptr;
}
void Opus_Encoder_Destroy(KZCodecHandle handle) {}
void Opus_Decoder_Destroy(KZCodecHandle handle) {}
int Opus_Encode(KZCodecHandle handle, const int16_t* linear, int samples, uint8_t* out, int capacity) {
    return 0;
}
int Opus_Decode(KZCodecHandle handle, const uint8_t* in, int bytes, int16_t* linear, int capacity) {
    return 0;
}
KZCodecHandle Speex_EC_Create(int frame_samples, int tail_samples) {
    return nullptr;
}
void Speex_EC_Destroy(KZCodecHandle handle) {}
void Speex_EC_Playback(KZCodecHandle handle, const int16_t* played) {}
void Speex_EC_Capture(KZCodecHandle handle, const int16_t* captured, int16_t* out) {}
void Speex_EC_Reset(KZCodecHandle handle) {}

} // namespace KZAUDIO
