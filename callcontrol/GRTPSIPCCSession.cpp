#include "callcontrol/GRTPSIPCCSession.h"

#include "callcontrol/CKZSIPAPICC.h"
#include "server/CKZSIPServer.h"

#include <cstring>

namespace {

constexpr uint8_t kCommonDTMFPayload = 101;

bool is_bare_telephone_event(const KZAPI::KZRTPPacket& packet, int server_dtmf_payload) {
    const int length = packet.GetPacketLength();
    const int type = packet.GetPayloadType();
    return (length == 16 || length == 18) && (type == kCommonDTMFPayload || type == server_dtmf_payload);
}

} // namespace

void GRTPSIPCCSession::SetOwner(CKZSIPAPICC* owner, CKZSIPServer* server) {
    KZAPI::CMutexLock lock(GetSessionMutex());
    m_owner = owner;
    m_server = server;
}

void GRTPSIPCCSession::ClearFirstPacketMark() {
    KZAPI::CMutexLock lock(GetSessionMutex());
    m_first_packet_seen = false;
    m_first_packet_ms = 0;
}

void GRTPSIPCCSession::OnRTPPacket(const KZAPI::KZRTPPacket& received, const char* address, uint16_t port) {
    if (!m_owner || !m_server) return;
    CKZSIPAPICC& owner = *m_owner;
    if (!m_server->GetDynCheckRemoteRTPAddr() &&
        (std::strcmp(address, owner.GetPeerRTPIPAddress()) != 0 || port != owner.GetPeerRTPIPPort()))
        return;
    // An SRTP packet goes on in its RTP form; one that does not unprotect goes on as it came.
    KZAPI::KZRTPPacket decoded;
    uint8_t* buffer = owner.SRTPDecodeBuffer();
    const int length = owner.DecodeSRTP(received.GetPacketData(), received.GetPacketLength(), buffer);
    const KZAPI::KZRTPPacket& packet = length > 0 && decoded.Parse(buffer, length) ? decoded : received;
    if (SortPacket(owner, packet)) return;
    CheckSource(owner, packet, address, port);
}

bool GRTPSIPCCSession::SortPacket(CKZSIPAPICC& owner, const KZAPI::KZRTPPacket& packet) {
    const int direction = owner.GetRTPDirection();
    if (direction != CKZSIPAPICC::RTP_SENDRECV && direction != CKZSIPAPICC::RTP_RECVONLY) return false;
    const int type = packet.GetPayloadType();
    const int dtmf = owner.GetDTMFPayload();
    if (dtmf >= 0 && type == dtmf) {
        owner.OnRTPDTMFPacket(packet);
        return true;
    }
    if (type == owner.GetRxPayloadType()) {
        owner.AddRTPPacketToRxJB(packet.GetSequenceNumber(), packet.GetTimestamp(), packet.GetPayloadData(),
                                 packet.GetPayloadLength());
        return false;
    }
    if (is_bare_telephone_event(packet, m_server->GetDefaultDTMFPayload())) {
        Log(LOG_WARNING, "Frame(%u, %u, %d, %d) is regarded as DTMF payload type", packet.GetSequenceNumber(),
            packet.GetTimestamp(), type, packet.GetPayloadLength());
        owner.OnRTPDTMFPacket(packet);
        return false;
    }
    Log(LOG_ERROR,
        "Frame(Seq:%u, TS:%u, Payload:%d, PacketLen:%d, PayloadLen:%d) cannot be added into RxJB becasue it "
        "is "
        "expecting %d payload type!",
        packet.GetSequenceNumber(), packet.GetTimestamp(), type, packet.GetPacketLength(),
        packet.GetPayloadLength(), owner.GetRxPayloadType());
    return false;
}

void GRTPSIPCCSession::CheckSource(CKZSIPAPICC& owner, const KZAPI::KZRTPPacket& packet, const char* address,
                                   uint16_t port) {
    const uint64_t now = GetSessionDurationMs();
    if (m_first_packet_seen && now - m_first_packet_ms > kSourceCheckMs) return;
    if (!m_first_packet_seen) {
        m_first_packet_seen = true;
        m_first_packet_ms = now;
    }
    if (m_server->GetDynCheckRemoteRTPAddr())
        owner.CheckRTPPacketFromAddr(packet.GetPayloadLength(), address, port, now - m_first_packet_ms,
                                     packet.GetSSRC());
    else
        owner.SetRemoteSSRC(packet.GetSSRC());
}

void GRTPSIPCCSession::OnRTCPReport(const char* report) {
    if (m_owner) Log(LOG_TRACE, "RTCP Report:[%s]", report);
}

// On a call with SRTP, RTCP is SRTCP both ways: a report that does not unprotect is dropped
// (RFC 3711 3.4), and none goes out in the clear.
int GRTPSIPCCSession::TransformIncomingRTCP(uint8_t* packet, int length) {
    return m_owner ? m_owner->DecodeSRTCP(packet, length) : length;
}

int GRTPSIPCCSession::TransformOutgoingRTCP(uint8_t* packet, int length, int capacity) {
    return m_owner ? m_owner->EncodeSRTCP(packet, length, capacity) : length;
}
