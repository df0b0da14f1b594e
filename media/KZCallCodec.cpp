#include "media/KZCallCodec.h"

#include "host/audiocodec/KZAudioCodec.h"

using namespace KZAUDIO;

namespace {

constexpr int kG722BitRate = 64000;
constexpr int kG722EightKiloHertz = 1;
constexpr int kOpusVoIP = 2048;
constexpr unsigned kG723LowRate = 5300;

enum Code : int {
    GSM = 3,
    G723 = 4,
    G722 = 9,
    G729 = 18,
    G726_16 = 96,
    G726_40 = 99,
    SPEEX = 102,
    ILBC20 = 103,
    ILBC30 = 104,
    AMR = 105,
    OPUS = 114
};

} // namespace

void KZCallCodec::Open(const KZAPI::StaticPayloadInfo& payload, const KZCodecSettings& settings) {
    Close();
    m_code = KZAPI::PayloadCodecCode(payload);
    if (m_code == GSM) {
        m_encoder = GSM_Create();
        m_decoder = GSM_Create();
    } else if (m_code >= G726_16 && m_code <= G726_40) {
        m_encoder = g726_Create();
        m_decoder = g726_Create();
    } else if (m_code == G722) {
        m_encoder = G722_EncodeCreate(kG722BitRate, kG722EightKiloHertz);
        m_decoder = G722_DecodeCreate(kG722BitRate, kG722EightKiloHertz);
    } else if (m_code == G729) {
        m_encoder = G729B_Encoder_Create(false);
        m_decoder = G729B_Decoder_Create();
    } else if (m_code == ILBC20 || m_code == ILBC30) {
        m_encoder = iLBC_Create(static_cast<int>(payload.m_uFrameDuration));
        m_decoder = iLBC_Create(static_cast<int>(payload.m_uFrameDuration));
    } else if (m_code == SPEEX) {
        m_encoder = m_decoder = Speex_CreateEx(settings.speex_complexity, settings.speex_quality);
    } else if (m_code == AMR) {
        m_encoder = m_decoder = GSMAMR_Create();
        GSMAMR_SetEncodeMode(m_encoder, settings.amr_mode);
        GSMAMR_SetDecodeMode(m_encoder, settings.amr_mode);
        GSMAMR_EnableDTX(m_encoder, settings.amr_dtx);
    } else if (m_code == G723) {
        m_encoder = G723_Encoder_Create();
        m_decoder = G723_Decoder_Create();
        if (payload.m_uBitRate == kG723LowRate) G723_SetBitRate(m_encoder, 0);
    } else if (m_code == OPUS) {
        const int clock = static_cast<int>(payload.m_uClockRate);
        const int channels = static_cast<int>(payload.m_uChannels);
        m_encoder = Opus_Encoder_Create(clock, channels, kOpusVoIP, nullptr);
        m_decoder = Opus_Decoder_Create(clock, channels, nullptr);
    }
}

void KZCallCodec::Close() {
    switch (m_code) {
    case GSM:
        GSM_Destroy(m_encoder);
        GSM_Destroy(m_decoder);
        break;
    case G722:
        G722_EncodeDestroy(m_encoder);
        G722_DecodeDestroy(m_decoder);
        break;
    case G729:
        G729B_Encoder_Destroy(m_encoder);
        G729B_Decoder_Destroy(m_decoder);
        break;
    case ILBC20:
    case ILBC30:
        iLBC_Destroy(m_encoder);
        iLBC_Destroy(m_decoder);
        break;
    case SPEEX:
        Speex_Destroy(m_encoder);
        break;
    case AMR:
        GSMAMR_Destroy(m_encoder);
        break;
    case G723:
        G723_Encoder_Destroy(m_encoder);
        G723_Decoder_Destroy(m_decoder);
        break;
    case OPUS:
        Opus_Encoder_Destroy(m_encoder);
        Opus_Decoder_Destroy(m_decoder);
        break;
    default:
        if (m_code >= G726_16 && m_code <= G726_40) {
            g726_Destroy(m_encoder);
            g726_Destroy(m_decoder);
        }
        break;
    }
    m_encoder = m_decoder = nullptr;
    m_code = -1;
}
