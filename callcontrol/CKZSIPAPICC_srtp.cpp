// SRTP on the call's audio: the encoder key this side announces, the contexts made from the
// negotiated keys when RTP opens, protection of every packet sent and unprotection of every
// packet received. The cryptography itself is the extension library's.
#include "callcontrol/CKZSIPAPICC.h"

#include "callcontrol/GRTPSIPCCSession.h"
#include "host/CKZLogInterface.h"
#include "host/KZSecureRandom.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "server/CKZSIPServer.h"

#include <cstring>

using KZAPI::CKZLogInterface;

void CKZSIPAPICC::GenerateCryptoEncoderKey() {
    uint8_t material[CKZSIPMediaNegotiation::kMaxEncoderKeyMaterial];
    if (!KZAPI::KZ_SecureRandomBytes(material, sizeof(material))) {
        // Without the kernel's generator there is no key worth announcing.
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CKZSIPAPICC::GenerateCryptoEncoderKey no random source");
        m_media->SetEncoderCrypto(m_media->EncoderCryptoSuite(), "");
        return;
    }
    m_media->SetEncoderKeyMaterial(material, sizeof(material));
    explicit_bzero(material, sizeof(material));
}

void CKZSIPAPICC::ResetSRTP() {
    m_srtp_on = 0;
    m_media->SetSRTPInUse(false);
    m_media->SetEncoderCrypto(CKZSIPMediaNegotiation::kDefaultEncoderSuite, "");
    GenerateCryptoEncoderKey();
}

void CKZSIPAPICC::OpenSRTPContexts() {
    if (!m_media->IsSRTPInUse()) return;
    const CKZSIPServer* server = Server();
    m_srtp.Open(server ? &server->GetExtensionLibrary() : nullptr,
                {m_media->DecoderCryptoKey(), m_media->DecoderCryptoSuite(), m_media->EncoderCryptoKey(),
                 m_media->EncoderCryptoSuite(), m_local_ssrc});
    m_srtp_active.store(true);
}

// Runs once the session is stopped, so no received packet is being unprotected.
void CKZSIPAPICC::CloseSRTPContexts() {
    if (!m_srtp_active.exchange(false)) return;
    // The key stays for the whole call; a stream that opens again under it takes a new SSRC, so
    // its packets never reuse a keystream of the stream that ended here.
    if (m_srtp.CanProtect()) m_local_ssrc = 0;
    m_srtp.Close();
}

int CKZSIPAPICC::DecodeSRTP(const uint8_t* packet, int length, uint8_t* output) {
    if (!m_srtp_active.load() || !m_srtp.CanUnprotect()) return 0;
    const int decoded = m_srtp.Unprotect(packet, length, output);
    if (decoded > 0) return decoded;
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                         "CKZSIPAPICC::DecodeSRTP original len:%d, decoded len:%d", length, decoded);
    return 0;
}

int CKZSIPAPICC::DecodeSRTCP(uint8_t* packet, int length) {
    // A direction whose context failed carries plain RTP, and so plain RTCP.
    if (!m_srtp_active.load() || !m_srtp.CanUnprotect()) return length;
    const int decoded = m_srtp.UnprotectRTCP(packet, length);
    if (decoded < 1)
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CKZSIPAPICC::DecodeSRTCP original len:%d, decoded len:%d", length, decoded);
    return decoded;
}

int CKZSIPAPICC::EncodeSRTCP(uint8_t* packet, int length, int capacity) {
    if (!m_srtp_active.load() || !m_srtp.CanProtect()) return length;
    const int encoded = m_srtp.ProtectRTCP(packet, length, capacity);
    if (encoded < 1)
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CKZSIPAPICC::EncodeSRTCP error in encoder %d",
                             encoded);
    return encoded;
}

// Each copy of a repeated packet is protected on its own, with its own sequence number: an
// identical copy would be a replay to the receiver. The timestamp advances after the last.
int CKZSIPAPICC::SendSRTPPacket(int payload_type, const uint8_t* data, int length, bool marker,
                                uint32_t timestamp_increment, int count) {
    int sent = 0;
    for (int copy = 0; copy < count; ++copy) {
        const bool last = copy + 1 == count;
        const int encoded =
            m_srtp.Protect(payload_type, data, length, marker, last ? timestamp_increment : 0);
        if (encoded < 1) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                                 "CKZSIPAPICC::SendRTPDataPacket error in encoder %d", encoded);
            return 0;
        }
        sent = m_rtp_session->SendRTPRawPacket(m_srtp.EncodedPacket(), encoded, copy == 0);
    }
    return sent > 0 ? length : 0;
}
