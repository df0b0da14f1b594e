// The call's RTP port: reserved (bound) while the call has media. The media engine sends and
// receives on the reserved sockets.
#include "callcontrol/CKZSIPAPICC.h"

#include "callcontrol/KZRTPPortReservation.h"
#include "host/CKZLogInterface.h"
#include "media/CKZSIPMediaNegotiation.h"

using KZAPI::CKZLogInterface;

unsigned CKZSIPAPICC::OpenRTPSocket() {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (m_rtp_socket->IsOpen()) return 1;
    if (m_rtp_socket->Open(m_local_rtp_address, m_local_rtp_port)) return 1;
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Channel %d cannot bind RTP port %s:%d",
                         ChannelNumber(), m_local_rtp_address, m_local_rtp_port);
    // Another process holds the port: the next port of the channel's block serves, and the
    // addresses not yet sent in an SDP follow it.
    const uint16_t taken = m_local_rtp_port;
    AutoSetRTPPort(Server());
    if (m_local_rtp_port == taken || !m_rtp_socket->Open(m_local_rtp_address, m_local_rtp_port)) return 0;
    if (m_real_rtp_port == taken) m_real_rtp_port = m_local_rtp_port;
    if (m_sdp_via.sdp_port == taken) m_sdp_via.sdp_port = m_local_rtp_port;
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Channel %d uses RTP port %d instead", ChannelNumber(),
                         m_local_rtp_port);
    return 1;
}

unsigned CKZSIPAPICC::CloseRTPSocket() {
    KZAPI::CMutexLock lock(GetCallMutex());
    m_rtp_socket->Close();
    return 1;
}

unsigned CKZSIPAPICC::IsRTPSocketOpen() {
    KZAPI::CMutexLock lock(GetCallMutex());
    return m_rtp_socket->IsOpen() ? 1 : 0;
}

int CKZSIPAPICC::GetCurrentAudioCodec() {
    KZAPI::CMutexLock lock(GetCallMutex());
    return m_media->GetCurrentAudioCodec();
}
