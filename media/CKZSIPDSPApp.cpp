// Frame conversion between the DSP's audio formats and RTP payloads. Each codec is a row of one
// table (its coding functions per sample form and its frame rules); G.711 and the formats that
// already are the payload (GSM frames, raw G.726) are handled before the table. Frames pass
// through stack buffers only: nothing is allocated per frame.
#include "media/CKZSIPDSPApp.h"

#include "host/CKZDSP.h"
#include "host/audiocodec/KZAudioCodec.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

using KZAUDIO::KZCodecHandle;

// 240 ms of 8 kHz audio, more than any packet time carries.
constexpr int kMaxFrameSamples = 1920;
using LinearBuffer = std::array<int16_t, kMaxFrameSamples>;
static_assert(sizeof(LinearBuffer) == kMaxFrameSamples * sizeof(int16_t) && sizeof(LinearBuffer) <= 4096,
              "a frame buffer stays small enough for the stack");

constexpr int kGsmFrameBytes = 33;
constexpr int kGsmFrameSamples = 160;
constexpr int kOpusCode = 114;
constexpr int kStaticG726Code = 2;
constexpr int kFirstRawG726Format = 9; // 9..12: raw G.726 at 16/24/32/40 kbit/s
constexpr int kUnknownG726Format = 13;

enum class Form { Ulaw, Alaw, Linear, Gsm, Other };

Form FormOf(int format) {
    if (format == KZAPI::KZ_AUDIO_FORMAT_ULAW) return Form::Ulaw;
    if (format == KZAPI::KZ_AUDIO_FORMAT_ALAW) return Form::Alaw;
    if (KZAPI::IsLinearAudioFormat(format)) return Form::Linear;
    if (format == KZAPI::KZ_AUDIO_FORMAT_GSM) return Form::Gsm;
    return Form::Other;
}

bool IsLaw(Form form) {
    return form == Form::Ulaw || form == Form::Alaw;
}

// ---- sample forms ----

// Linear bytes in a frame may sit at any alignment, so they are copied, never cast.
int LoadLinear(const uint8_t* in, int bytes, LinearBuffer& samples) {
    const int count = bytes / 2;
    if (count <= 0 || count > kMaxFrameSamples) return 0;
    std::memcpy(samples.data(), in, count * sizeof(int16_t));
    return count;
}

int StoreLinear(const LinearBuffer& samples, int count, uint8_t* out) {
    std::memcpy(out, samples.data(), count * sizeof(int16_t));
    return count * 2;
}

int Expand(Form law, const uint8_t* in, int bytes, int16_t* linear) {
    return law == Form::Ulaw ? KZAUDIO::Ulaw2Linear(in, bytes, linear)
                             : KZAUDIO::Alaw2Linear(in, bytes, linear);
}

int Compress(Form law, const int16_t* linear, int samples, uint8_t* out) {
    return law == Form::Ulaw ? KZAUDIO::Linear2Ulaw(linear, samples, out)
                             : KZAUDIO::Linear2Alaw(linear, samples, out);
}

int Copy(const uint8_t* in, int bytes, uint8_t* out, int capacity) {
    if (bytes > capacity) return 0;
    std::memcpy(out, in, bytes);
    return bytes;
}

// Law, linear and law-to-law conversions of any length, a stack buffer at a time.
int ConvertSamples(Form from, const uint8_t* in, int bytes, Form to, uint8_t* out, int capacity) {
    if (from == to && from != Form::Other && from != Form::Gsm) return Copy(in, bytes, out, capacity);
    if (IsLaw(from) && IsLaw(to)) {
        if (bytes > capacity) return 0;
        return from == Form::Ulaw ? KZAUDIO::Ulaw2Alaw(in, bytes, out) : KZAUDIO::Alaw2Ulaw(in, bytes, out);
    }
    LinearBuffer samples;
    if (IsLaw(from) && to == Form::Linear) {
        if (bytes * 2 > capacity) return 0;
        for (int done = 0; done < bytes; done += kMaxFrameSamples) {
            const int count =
                Expand(from, in + done, std::min(kMaxFrameSamples, bytes - done), samples.data());
            StoreLinear(samples, count, out + done * 2);
        }
        return bytes * 2;
    }
    if (from == Form::Linear && IsLaw(to)) {
        const int total = bytes / 2;
        if (total <= 0 || total > capacity) return 0;
        for (int done = 0; done < total; done += kMaxFrameSamples) {
            const int count =
                LoadLinear(in + done * 2, std::min(kMaxFrameSamples, total - done) * 2, samples);
            Compress(to, samples.data(), count, out + done);
        }
        return total;
    }
    return 0;
}

// ---- codec functions in the shapes the table needs ----

using LawCoder = int (*)(KZCodecHandle, const uint8_t*, int, uint8_t*, int);
using LinearEncoder = int (*)(KZCodecHandle, const int16_t*, int, uint8_t*, int);
using LinearDecoder = int (*)(KZCodecHandle, const uint8_t*, int, int16_t*, int);

// A law face for codecs the library codes from linear only.
template <LinearEncoder Encode, Form Law>
int EncodeViaLinear(KZCodecHandle handle, const uint8_t* law, int bytes, uint8_t* out, int capacity) {
    LinearBuffer samples;
    if (bytes > kMaxFrameSamples) return 0;
    return Encode(handle, samples.data(), Expand(Law, law, bytes, samples.data()), out, capacity);
}

// A null `in` is passed on: the Opus decoder conceals a lost frame.
template <LinearDecoder Decode, Form Law>
int DecodeViaLinear(KZCodecHandle handle, const uint8_t* in, int bytes, uint8_t* law, int capacity) {
    LinearBuffer samples;
    const int count = Decode(handle, in, bytes, samples.data(), std::min(capacity, kMaxFrameSamples));
    return count > 0 ? Compress(Law, samples.data(), count, law) : 0;
}

// One codec as the conversions see it.
struct PayloadCodec {
    int code;
    LawCoder ulaw_encode;
    LawCoder alaw_encode;
    LinearEncoder linear_encode;
    LawCoder ulaw_decode;
    LawCoder alaw_decode;
    LinearDecoder linear_decode;
    int law_frame = 0;                 // law bytes an encoder takes (linear: twice as many); 0 = any
    bool linear_frame_minimum = false; // the linear frame is a minimum rather than exact
    int encode_capacity = 0;           // least room for one payload
    int decode_input = 1;              // least payload bytes
    int decode_unit = 1;               // payload bytes are decoded in whole units of this size
    int decode_law_capacity = 0;       // least room for law output (linear: twice as much)
    bool conceals_loss = false;        // decodes a null payload
};

using namespace KZAUDIO;

#define KZ_G726_ROW(code, kbps)                                                                              \
    PayloadCodec {                                                                                           \
        code, g726_##kbps##_UlawEncode, g726_##kbps##_AlawEncode, g726_##kbps##_Encode,                      \
            g726_##kbps##_UlawDecode, g726_##kbps##_AlawDecode, g726_##kbps##_Decode                         \
    }

const PayloadCodec kPayloadCodecs[] = {
    {3, Ulaw2GSM, Alaw2GSM, GSM_Encode, GSM2Ulaw, GSM2Alaw, GSM_Decode, 160, false, 33, 33, 1, 160},
    {4, Ulaw2G723, Alaw2G723, G723_Encode, G7232Ulaw, G7232Alaw, G723_Decode, 240, false, 24, 20, 1, 240},
    {9, EncodeViaLinear<G722_Encode, Form::Ulaw>, EncodeViaLinear<G722_Encode, Form::Alaw>, G722_Encode,
     DecodeViaLinear<G722_Decode, Form::Ulaw>, DecodeViaLinear<G722_Decode, Form::Alaw>, G722_Decode, 160,
     true, 20, 1, 1, 160},
    {18, Ulaw2G729B, Alaw2G729B, G729B_Encode, G729B2Ulaw, G729B2Alaw, G729B_Decode, 160, false, 20, 10, 10,
     80},
    KZ_G726_ROW(96, 16),
    KZ_G726_ROW(97, 24),
    KZ_G726_ROW(98, 32),
    KZ_G726_ROW(99, 40),
    KZ_G726_ROW(kStaticG726Code, 32),
    {102, Ulaw2Speex, Alaw2Speex, Speex_Encode, Speex2Ulaw, Speex2Alaw, Speex_Decode},
    {103, Ulaw2iLBC, Alaw2iLBC, iLBC_Encode, iLBC2Ulaw, iLBC2Alaw, iLBC_Decode},
    {104, Ulaw2iLBC, Alaw2iLBC, iLBC_Encode, iLBC2Ulaw, iLBC2Alaw, iLBC_Decode},
    {105, Ulaw2GSMAMR, Alaw2GSMAMR, GSMAMR_Encode, GSMAMR2Ulaw, GSMAMR2Alaw, GSMAMR_Decode},
    {kOpusCode, EncodeViaLinear<Opus_Encode, Form::Ulaw>, EncodeViaLinear<Opus_Encode, Form::Alaw>,
     Opus_Encode, DecodeViaLinear<Opus_Decode, Form::Ulaw>, DecodeViaLinear<Opus_Decode, Form::Alaw>,
     Opus_Decode, 0, false, 0, 1, 1, 0, true},
};

#undef KZ_G726_ROW

const PayloadCodec* FindCodec(int code) {
    const auto found = std::find_if(std::begin(kPayloadCodecs), std::end(kPayloadCodecs),
                                    [code](const PayloadCodec& codec) { return codec.code == code; });
    return found != std::end(kPayloadCodecs) ? found : nullptr;
}

bool IsG726(int code) {
    return (code >= 96 && code <= 99) || code == kStaticG726Code;
}

// The raw G.726 host format carrying the same rate as a G.726 payload.
int RawG726Format(int code) {
    return code == kStaticG726Code ? kFirstRawG726Format + 2 : kFirstRawG726Format + (code - 96);
}

bool IsRawG726Format(int format) {
    return format >= kFirstRawG726Format && format <= kUnknownG726Format;
}

// ---- one frame through a codec ----

bool LinearFrameFits(const PayloadCodec& codec, int bytes) {
    if (codec.law_frame == 0) return true;
    return codec.linear_frame_minimum ? bytes >= codec.law_frame * 2 : bytes == codec.law_frame * 2;
}

int EncodeFrame(const PayloadCodec& codec, Form from, const uint8_t* in, int bytes, KZCodecHandle encoder,
                uint8_t* out, int capacity) {
    if (capacity < codec.encode_capacity) return 0;
    if (IsLaw(from)) {
        if (codec.law_frame != 0 && bytes != codec.law_frame) return 0;
        return (from == Form::Ulaw ? codec.ulaw_encode : codec.alaw_encode)(encoder, in, bytes, out,
                                                                            capacity);
    }
    if (from != Form::Linear || !LinearFrameFits(codec, bytes)) return 0;
    LinearBuffer samples;
    const int count = LoadLinear(in, bytes, samples);
    return count > 0 ? codec.linear_encode(encoder, samples.data(), count, out, capacity) : 0;
}

int DecodeFrame(const PayloadCodec& codec, KZCodecHandle decoder, const uint8_t* in, int bytes, Form to,
                uint8_t* out, int capacity) {
    if (in && bytes < codec.decode_input) return 0;
    const int usable = in ? bytes / codec.decode_unit * codec.decode_unit : 0;
    if (IsLaw(to)) {
        if (capacity < codec.decode_law_capacity) return 0;
        return (to == Form::Ulaw ? codec.ulaw_decode : codec.alaw_decode)(decoder, in, usable, out, capacity);
    }
    if (to != Form::Linear || capacity < codec.decode_law_capacity * 2) return 0;
    LinearBuffer samples;
    const int count =
        codec.linear_decode(decoder, in, usable, samples.data(), std::min(capacity / 2, kMaxFrameSamples));
    return count > 0 ? StoreLinear(samples, count, out) : 0;
}

// GSM frames from the DSP onto a G.711 payload: one frame decoded with the call's GSM handle.
int GsmFrameToLaw(Form law, KZCodecHandle gsm, const uint8_t* in, int bytes, uint8_t* out, int capacity) {
    if (bytes < kGsmFrameBytes || capacity < kGsmFrameSamples) return 0;
    return (law == Form::Ulaw ? GSM2Ulaw : GSM2Alaw)(gsm, in, kGsmFrameBytes, out, kGsmFrameSamples);
}

} // namespace

int CKZSIPDSPApp::AudioFormatCode2RTPPayload(int host_format, const uint8_t* input, int input_length,
                                             const KZAPI::StaticPayloadInfo& payload, void* encoder,
                                             uint8_t* output, int capacity) {
    if (!input || !output || input_length <= 0 || capacity <= 0) return 0;
    const int code = KZAPI::PayloadCodecCode(payload);
    const Form from = FormOf(host_format);
    if (code == 0 || code == 8) {
        const Form law = code == 0 ? Form::Ulaw : Form::Alaw;
        if (from == Form::Gsm) return GsmFrameToLaw(law, encoder, input, input_length, output, capacity);
        return ConvertSamples(from, input, input_length, law, output, capacity);
    }
    if ((code == 3 && from == Form::Gsm) || (IsG726(code) && host_format == RawG726Format(code)))
        return Copy(input, input_length, output, capacity);
    const PayloadCodec* codec = FindCodec(code);
    return codec ? EncodeFrame(*codec, from, input, input_length, encoder, output, capacity) : 0;
}

int CKZSIPDSPApp::RTPPayload2AudioFormatCode(const KZAPI::StaticPayloadInfo& payload, void* decoder,
                                             const uint8_t* input, int input_length, int host_format,
                                             uint8_t* output, int capacity) {
    if (!output || capacity <= 0) return 0;
    const int code = KZAPI::PayloadCodecCode(payload);
    const PayloadCodec* codec = FindCodec(code);
    if (!input)
        return codec && codec->conceals_loss
                   ? DecodeFrame(*codec, decoder, nullptr, 0, FormOf(host_format), output, capacity)
                   : 0;
    if (input_length <= 0) return 0;
    const Form to = FormOf(host_format);
    if (code == 0 || code == 8)
        return ConvertSamples(code == 0 ? Form::Ulaw : Form::Alaw, input, input_length, to, output, capacity);
    if (IsG726(code) && IsRawG726Format(host_format))
        return host_format == RawG726Format(code) ? Copy(input, input_length, output, capacity) : 0;
    if (code == 3 && to == Form::Gsm)
        return input_length >= kGsmFrameBytes ? Copy(input, kGsmFrameBytes, output, capacity) : 0;
    return codec ? DecodeFrame(*codec, decoder, input, input_length, to, output, capacity) : 0;
}

int CKZSIPDSPApp::ConvertAudioFormat(int from_format, const uint8_t* input, int input_length, int to_format,
                                     void* gsm, uint8_t* output, int capacity) {
    if (!input || !output || input_length <= 0 || capacity <= 0) return 0;
    const Form from = FormOf(from_format);
    const Form to = FormOf(to_format);
    if (from == Form::Gsm && to == Form::Gsm) return Copy(input, input_length, output, capacity);
    const PayloadCodec* gsm_codec = FindCodec(3);
    if (to == Form::Gsm) return EncodeFrame(*gsm_codec, from, input, input_length, gsm, output, capacity);
    if (from == Form::Gsm) return DecodeFrame(*gsm_codec, gsm, input, input_length, to, output, capacity);
    return ConvertSamples(from, input, input_length, to, output, capacity);
}

uint8_t CKZSIPDSPApp::SilenceValue(int host_format) {
    switch (FormOf(host_format)) {
    case Form::Ulaw:
        return 0xFF;
    case Form::Alaw:
        return 0xD5;
    default:
        return 0;
    }
}
