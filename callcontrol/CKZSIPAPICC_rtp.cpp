// The call's RTP: opened on the negotiated payload once the peer's media address is known,
// closed at release, hold or a media change. The port is bound first (taking the next port of
// the channel's block when another process holds it), then handed to the audio session.
#include "callcontrol/CKZSIPAPICC.h"

#include "callcontrol/GRTPSIPCCSession.h"
#include "callcontrol/KZRTPPortReservation.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "host/KZUDPRelay.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "media/KZCallCodec.h"
#include "server/CKZSIPServer.h"

#include <cstring>

using KZAPI::CKZLogInterface;

namespace {

constexpr size_t kPacketBufferFrames = 25;
constexpr size_t kCodecBufferFrames = 200;
constexpr uint16_t kPortUnknown = 0;
// Voice detection runs on the DSP's 8 kHz audio.
constexpr int kVADRate = 8000;
constexpr int kVADSamplesPerMs = kVADRate / 1000;

// The codec settings of the server, or of the configuration when there is no server.
KZCodecSettings codec_settings(const CKZSIPServer* server) {
    using KZAPI::CKZCfgInterface;
    KZCodecSettings settings;
    settings.speex_complexity = server ? server->GetSpeexComplexity()
                                       : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.speex.complexity", 3);
    settings.speex_quality =
        server ? server->GetSpeexQuality() : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.speex.quality", 8);
    settings.amr_mode =
        server ? server->GetAMRMode() : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.codec.amr.mode", 0);
    settings.amr_dtx =
        (server ? server->GetAMRDTX() : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.codec.amr.dtx", 0)) != 0;
    return settings;
}

bool has_media_address(const char* address, uint16_t port) {
    return address && *address && std::strcmp(address, "0.0.0.0") != 0 && port != kPortUnknown;
}

} // namespace

unsigned CKZSIPAPICC::OpenRTPSocket() {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (GetRelayItem() != KZAPI::KZ_RELAY_INVALID_HANDLE) {
        KZAPI::KZ_SetUDPRelayGroupItemSrc(GetRelayItem(), GetPeerRTPIPAddress(), GetPeerRTPIPPort());
        return 1;
    }
    if (GetProxyRelatedChanID() >= 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::OpenRTPSocket 2-1 %d",
                             GetProxyRelatedChanID());
        return 1;
    }
    if (m_rtp_running.load()) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                             "Trying to open RTP session when it is already opened!");
        return 1;
    }
    if (!has_media_address(m_peer_rtp_address, m_peer_rtp_port)) return 1;
    if (!m_rtp_socket->IsOpen() && !BindRTPPort()) return 0;
    bool started = false;
    {
        KZAPI::CMutexLock media(m_media_mutex);
        ConfigureRTPSession();
        OpenSRTPContexts();
        started = StartRTPSession();
        if (!started) CloseSRTPContexts();
        InitVInPreProcessHandle(static_cast<int>(FrameTimeMs()) * kVADSamplesPerMs, kVADRate);
        InitVOutPreProcessHandle(static_cast<int>(FrameTimeMs()) * kVADSamplesPerMs, kVADRate);
        m_last_rx_tick.store(0);
        m_pending_head = m_pending_count = 0;
        m_talkspurt_pending = false;
    }
    if (started) {
        StartDSPTimer(m_dsp_frame_ms);
        SetChannelDTMFDetection(true);
    }
    return started ? 1 : 0;
}

bool CKZSIPAPICC::BindRTPPort() {
    if (m_rtp_socket->Open(m_local_rtp_address, m_local_rtp_port)) return true;
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Channel %d cannot bind RTP port %s:%d",
                         ChannelNumber(), m_local_rtp_address, m_local_rtp_port);
    // Another process holds the port: the next port of the channel's block serves, and the
    // addresses not yet sent in an SDP follow it.
    const uint16_t taken = m_local_rtp_port;
    AutoSetRTPPort(Server());
    if (m_local_rtp_port == taken || !m_rtp_socket->Open(m_local_rtp_address, m_local_rtp_port)) return false;
    if (m_real_rtp_port == taken) m_real_rtp_port = m_local_rtp_port;
    if (m_sdp_via.sdp_port == taken) m_sdp_via.sdp_port = m_local_rtp_port;
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Channel %d uses RTP port %d instead", ChannelNumber(),
                         m_local_rtp_port);
    return true;
}

void CKZSIPAPICC::ConfigureRTPSession() {
    CKZSIPServer* server = Server();
    m_rtp_session->Reset();
    m_rtp_session->SetOwner(nullptr, nullptr);
    m_rtp_session->ClearFirstPacketMark();
    m_rtp_session->SetOwner(this, server);
    const StaticPayloadInfo* current = m_media->CurrentAudioPayload();
    m_rtp_payload = current ? *current : StaticPayloadInfo{};
    m_rx_payload_type.store(static_cast<int>(m_rtp_payload.m_uPayload));
    m_rtp_session->SetDefaultPayloadType(static_cast<uint8_t>(m_rtp_payload.m_uPayload));
    m_rtp_session->SetDefaultMark(false);
    m_rtp_session->SetDefaultTimestampIncrement(m_rtp_payload.m_uClockRate / 1000 * FrameTimeMs());
    m_rtp_session->SetNominalSendInterval(FrameTimeMs());
    m_rtp_session->SetLocalPort(m_local_rtp_port);
    m_rtp_session->SetLocalAddress(m_local_rtp_address);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPAPICC::OpenRTPSocket Open RTP %s:%d, RTP Session:%x", m_local_rtp_address,
                         m_local_rtp_port,
                         static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_rtp_session.get())));
    m_rtp_session->ClearDestinations();
    m_rtp_session->AddDestination(m_peer_rtp_address, m_peer_rtp_port);
    {
        KZAPI::CMutexLock session(m_rtp_session->GetSessionMutex());
        KZAPI::str_cpy(m_expected_address, m_peer_rtp_address, sizeof(m_expected_address));
        m_expected_port = m_peer_rtp_port;
        m_switch_pending.store(false);
        m_source_confirmed.store(false);
    }
    m_rtp_session->SetPollMode(server ? server->GetUseRTPPoll() : true);
    if (m_local_ssrc == 0) CreateNewLocalRtpSSRC();
    m_rtp_session->SetLocalSSRC(m_local_ssrc);
    if (m_continue_rtp) m_rtp_session->ContinueStream(m_next_rtp_sequence, m_next_rtp_timestamp);
    m_continue_rtp = false;
}

bool CKZSIPAPICC::StartRTPSession() {
    int rtp_fd = -1;
    int rtcp_fd = -1;
    m_rtp_socket->Release(&rtp_fd, &rtcp_fd);
    if (!m_rtp_session->Start(rtp_fd, rtcp_fd)) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR, "RTP session started failed! Payload:%d, StampInc:%u, %d = > %s:%d",
            static_cast<int>(m_rtp_payload.m_uPayload), m_rtp_payload.m_uClockRate / 1000 * FrameTimeMs(),
            m_local_rtp_port, m_peer_rtp_address, m_peer_rtp_port);
        return false;
    }
    m_rtp_running.store(true);
    ResetDSPJB(true);
    const size_t frame = m_rtp_payload.m_uFrameSize;
    AllocRTPPacketBuffer(frame * kPacketBufferFrames);
    AllocRTPCodecBuffer(frame * kCodecBufferFrames);
    m_codec->Open(m_rtp_payload, codec_settings(Server()));
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "RTP session started successfully! RTP Session:%x",
                         static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_rtp_session.get())));
    return true;
}

unsigned CKZSIPAPICC::CloseRTPSocket() {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (GetProxyRelatedChanID() >= 0) return 1;
    m_rtp_socket->Close();
    if (!m_rtp_running.load()) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "RTP session is already closed!");
        return 1;
    }
    {
        KZAPI::CMutexLock media(m_media_mutex);
        m_rtp_running.store(false);
        FreeVInPreProcessHandle();
        FreeVOutPreProcessHandle();
        m_next_rtp_sequence = m_rtp_session->GetNextSequenceNumber();
        m_next_rtp_timestamp = m_rtp_session->GetNextTimestamp();
        m_video_session->Stop();
        // Stopped before it lets go of this call: its last report (the BYE) is still protected.
        StopRTPSessionKeepingPorts();
        m_rtp_session->SetOwner(nullptr, nullptr);
        CloseSRTPContexts();
        ResetDSPJB(false);
        m_codec->Close();
    }
    StopDSPTimer();
    SetChannelDTMFDetection(false);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "RTP session stopped successfully!");
    m_last_rx_tick.store(0);
    return 1;
}

// The next call on this port takes the bound pair again instead of binding new sockets.
void CKZSIPAPICC::StopRTPSessionKeepingPorts() {
    int rtp_fd = -1, rtcp_fd = -1;
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    m_rtp_session->StopKeepingSockets(&rtp_fd, &rtcp_fd, &ipv4, &port);
    if (rtp_fd >= 0) KZRTPPortReservation::Recycle(ipv4, port, rtp_fd, rtcp_fd);
}

unsigned CKZSIPAPICC::IsRTPSocketOpen() {
    KZAPI::CMutexLock lock(GetCallMutex());
    return m_rtp_running.load() ? 1 : 0;
}

int CKZSIPAPICC::GetCurrentAudioCodec() {
    KZAPI::CMutexLock lock(GetCallMutex());
    return m_media->GetCurrentAudioCodec();
}
