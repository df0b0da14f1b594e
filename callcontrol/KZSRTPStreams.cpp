#include "callcontrol/KZSRTPStreams.h"

#include "host/CKZLogInterface.h"

using KZAPI::CKZLogInterface;

void KZSRTPStreams::Open(const KZAPIExLibrary* library, const Keys& keys) {
    Close();
    if (!library) return;
    m_unprotect = library->unprotect;
    m_protect = library->protect;
    m_free_decoder = library->free_decoder;
    m_free_encoder = library->free_encoder;
    m_protect_rtcp = library->protect_rtcp;
    m_unprotect_rtcp = library->unprotect_rtcp;
    char error_text[KZAPIExLibrary::kErrorTextSize] = "";
    int error = 0;
    if (library->create_decoder) {
        m_decoder = library->create_decoder(keys.decoder_key, keys.decoder_suite, &error, error_text);
        if (m_decoder)
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                                 "CKZSIPAPICC::OpenRTPSocket Open RTP Init Decoder %s", keys.decoder_suite);
        else
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                                 "CKZSIPAPICC::OpenRTPSocket Open RTP Error Init Decoder %d:%s", error,
                                 error_text);
    }
    error = 0;
    error_text[0] = '\0';
    if (library->create_encoder) {
        m_encoder = library->create_encoder(keys.encoder_key, keys.encoder_suite, keys.local_ssrc, &error,
                                            error_text);
        if (m_encoder)
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                                 "CKZSIPAPICC::OpenRTPSocket Open RTP Init Encoder %s", keys.encoder_suite);
        else
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                                 "CKZSIPAPICC::OpenRTPSocket Open RTP Error Init Encoder %d:%s", error,
                                 error_text);
    }
}

void KZSRTPStreams::Close() {
    if (m_decoder && m_free_decoder) m_free_decoder(m_decoder);
    if (m_encoder && m_free_encoder) m_free_encoder(m_encoder);
    m_decoder = m_encoder = nullptr;
}

int KZSRTPStreams::Protect(int payload_type, const uint8_t* payload, int length, bool marker,
                           uint32_t timestamp_increment) {
    if (!m_encoder || !m_protect || length < 0 || length > KZAPIEX_MAX_PAYLOAD_BYTES) return 0;
    return m_protect(m_encoder, payload_type, payload, length, marker ? 1 : 0, timestamp_increment,
                     m_encoded.data());
}

int KZSRTPStreams::Unprotect(const uint8_t* packet, int length, uint8_t* output) {
    if (!m_decoder || !m_unprotect || length > kMaxPacketBytes) return 0;
    return m_unprotect(m_decoder, packet, length, output);
}

int KZSRTPStreams::ProtectRTCP(uint8_t* packet, int length, int capacity) {
    if (!m_encoder || !m_protect_rtcp || length > KZAPIEX_MAX_RTCP_BYTES ||
        length + KZAPIEX_SRTCP_OVERHEAD > capacity)
        return 0;
    return m_protect_rtcp(m_encoder, packet, length, packet);
}

int KZSRTPStreams::UnprotectRTCP(uint8_t* packet, int length) {
    if (!m_decoder || !m_unprotect_rtcp || length > kMaxPacketBytes) return 0;
    return m_unprotect_rtcp(m_decoder, packet, length, packet);
}

void KZSRTPStreams::SkipFrame(uint32_t timestamp_increment) {
    if (m_encoder && m_protect) m_protect(m_encoder, 0, nullptr, 0, 0, timestamp_increment, nullptr);
}
