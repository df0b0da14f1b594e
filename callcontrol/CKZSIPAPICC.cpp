// The call control's record and life cycle: start and stop with the channel, reset after every
// call, the current message, the route set and the local RTP port.
#include "callcontrol/CKZSIPAPICC.h"

#include "callcontrol/GRTPSIPCCSession.h"
#include "callcontrol/KZRTPPortReservation.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "include/kzsipapi.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "media/KZCallCodec.h"
#include "server/CKZSIPServer.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"

#include <cstdlib>
#include <cstring>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

constexpr unsigned short kDefaultSIPPort = 5060;
constexpr int kDefaultRTPStart = 28400;
constexpr int kDefaultRTPPortSpace = 4;
constexpr unsigned kAllConferenceBits = 0xFFFFFFFF;
// The group asks STUN for the public RTP address only while the second value of its stack
// record (in the record's order: address, SIP port, transports) is at most this.
constexpr int kMappedAddressLimit = 8;

bool is_set(const char* text) {
    return text && *text;
}

// The address a host's own interfaces offer when nothing better is known.
const char* first_local_address() {
    const char* address = KZAPI::CKZServer::GetFirstLocalPublicIP();
    return is_set(address) ? address : KZAPI::CKZServer::GetLocalIP(0);
}

bool has_configured_public_address(const CKZSIPGroup* group) {
    const char* address = group ? group->GetUsePublicIPInRTP() : "";
    return is_set(address) && std::strcmp(address, "0") != 0;
}

// The public address and port STUN finds for the RTP port, when the group would ask for one.
CKZSIPAPICC::MappedRTPAddress map_rtp_address(CKZSIPGroup* group, const KZ_SIPProtocolConfig& config,
                                              uint16_t rtp_port) {
    CKZSIPAPICC::MappedRTPAddress mapped;
    if (!group || has_configured_public_address(group) || group->IsUsingNATAddr() ||
        config.sip_port > kMappedAddressLimit)
        return mapped;
    KZAPI::str_cpy(mapped.address, config.local_address, sizeof(mapped.address));
    mapped.port = rtp_port;
    mapped.found = group->GetMappedPublicIPAndPort(0, mapped.address, mapped.port) == 1;
    return mapped;
}

bool is_redirection(int code) {
    return code >= 300 && code <= 305;
}

} // namespace

CKZSIPAPICC::CKZSIPAPICC()
    : m_media(std::make_unique<CKZSIPMediaNegotiation>(KZMediaSettings::FromConfiguration())),
      m_rtp_socket(std::make_unique<KZRTPPortReservation>()),
      m_rtp_session(std::make_unique<GRTPSIPCCSession>()),
      m_video_session(std::make_unique<GRTPSIPCCVSession>()), m_codec(std::make_unique<KZCallCodec>()) {
    SetProxyRelatedChanID(kNoProxyChannel);
    GenerateCryptoEncoderKey();
}

CKZSIPAPICC::~CKZSIPAPICC() {
    KillAppTimer();
    StopDSPTimer();
    m_rtp_session->SetOwner(nullptr, nullptr);
    m_rtp_session->Stop();
}

CKZSIPServer* CKZSIPAPICC::Server() {
    return dynamic_cast<CKZSIPServer*>(KZAPI::CKZServer::GetServerObj());
}

CKZSIPGroup* CKZSIPAPICC::Group() {
    CKZSIPServer* server = Server();
    return server ? server->GetSIPGroup() : nullptr;
}

int CKZSIPAPICC::ChannelNumber() const {
    const KZAPI::CKZChannel* channel = GetChannel();
    return channel ? channel->GetChannelNumber() : 0;
}

unsigned CKZSIPAPICC::Start() {
    CKZSIPGroup* group = Group();
    KZ_SIPProtocolConfig config{};
    uint16_t rtp_port = 0;
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        ReadGroupAddresses(group, config);
        rtp_port = m_local_rtp_port;
    }
    // Asking STUN is network I/O: it runs without the call lock.
    const MappedRTPAddress mapped = map_rtp_address(group, config, rtp_port);
    KZAPI::CMutexLock lock(GetCallMutex());
    DecideRealRTPAddress(group, mapped);
    BuildLocalContact();
    ClearDialogData();
    const char* real_sip = group ? group->GetRealPublicSIPIP() : m_local_sip_address;
    const uint16_t real_sip_port = group ? group->GetRealPublicSIPPort() : m_local_sip_port;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Local SIP Address: %s:%d  Real SIP Address: %s:%d",
                         m_local_sip_address, m_local_sip_port, real_sip, real_sip_port);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Local RTP Address: %s:%d  Real RTP Address: %s:%d",
                         m_local_rtp_address, m_local_rtp_port, m_real_rtp_address, m_real_rtp_port);
    KZAPI::str_cpy(m_sdp_via.sdp_address, m_real_rtp_address, sizeof(m_sdp_via.sdp_address));
    m_sdp_via.sdp_port = m_real_rtp_port;
    KZAPI::str_cpy(m_sdp_via.via_address, real_sip, sizeof(m_sdp_via.via_address));
    m_sdp_via.via_port = real_sip_port;
    const CKZSIPServer* server = Server();
    SetDTMFMethod(server ? server->GetDTMFType()
                         : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.dtmf.method", 3));
    CKZCallControl::Start();
    SetAppTimer();
    return 1;
}

void CKZSIPAPICC::ReadGroupAddresses(CKZSIPGroup* group, KZ_SIPProtocolConfig& config) {
    config.sip_port = kDefaultSIPPort;
    if (!group || group->GetConfig(&config) != 0)
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                             "CKZSIPAPICC::Start no SIP stack configuration, channel %d uses defaults",
                             ChannelNumber());
    KZAPI::str_cpy(m_local_sip_address, config.local_address, sizeof(m_local_sip_address));
    KZAPI::str_cpy(m_local_rtp_address, config.local_address, sizeof(m_local_rtp_address));
    KZAPI::str_cpy(m_real_rtp_address, config.local_address, sizeof(m_real_rtp_address));
    m_local_sip_port = static_cast<uint16_t>(config.sip_port);
    AutoSetRTPPort(Server());
    m_real_rtp_port = m_local_rtp_port;
}

void CKZSIPAPICC::DecideRealRTPAddress(const CKZSIPGroup* group, const MappedRTPAddress& mapped) {
    if (has_configured_public_address(group)) {
        KZAPI::str_cpy(m_real_rtp_address, group->GetUsePublicIPInRTP(), sizeof(m_real_rtp_address));
    } else if (mapped.found) {
        KZAPI::str_cpy(m_real_rtp_address, mapped.address, sizeof(m_real_rtp_address));
        m_real_rtp_port = mapped.port;
    } else if (!is_set(m_real_rtp_address)) {
        // The configured local address was copied in already; only an empty one needs a fallback.
        KZAPI::str_cpy(m_real_rtp_address, first_local_address(), sizeof(m_real_rtp_address));
    }
}

void CKZSIPAPICC::BuildLocalContact() {
    const CKZSIPGroup* group = Group();
    const char* address = group ? group->GetRealPublicSIPIP() : m_local_sip_address;
    const int port = group ? group->GetRealPublicSIPPort() : m_local_sip_port;
    KZAPI::s_printf(m_local_contact, sizeof(m_local_contact), "<sip:KZAPISIPUA-CH%d@%s:%d>", ChannelNumber(),
                    address, port);
}

void CKZSIPAPICC::ClearDialogData() {
    m_peer_contact[0] = '\0';
    m_refer_to[0] = m_transfer_source[0] = m_refer_contact[0] = '\0';
    m_replaces_call_id[0] = m_replaces_from_tag[0] = m_replaces_to_tag[0] = '\0';
    m_contact_locked = m_contact_decided = 0;
}

unsigned CKZSIPAPICC::Stop() {
    KZAPI::CMutexLock lock(GetCallMutex());
    KillAppTimer();
    CKZCallControl::Stop();
    FreeSIPMsg();
    return 1;
}

unsigned CKZSIPAPICC::ResetCallStatus() {
    KZAPI::CMutexLock lock(GetCallMutex());
    // Only a record that held a call moves to the next RTP port: a second reset in a row must
    // leave the record as the first one left it.
    const bool held_call = GetSIPStatus() != SIP_CALL_IDLE || GetSIPConnID() != 0;
    CKZCallControl::ResetCallStatus();
    m_packet_time_ms = 20;
    BuildLocalContact();
    ClearDialogData();
    m_peer_sip_address[0] = m_peer_rtp_address[0] = '\0';
    m_peer_sip_port = m_peer_rtp_port = 0;
    m_sdp_session_id[0] = m_sdp_session_version[0] = '\0';
    SetStatus(CALL_STATUS_IDLE);
    SetSIPStatus(SIP_CALL_IDLE);
    SetSIPConnID(0);
    m_credit_sent = 0;
    m_rtp_direction = m_video_direction = RTP_SENDRECV;
    m_rtp_force_dir = kRTPDirNotForced;
    m_dtmf_payload = kDTMFPayloadUnknown;
    m_remote_vad = 0;
    m_keep_alive_ticks = 0;
    m_local_ssrc = 0; // every call is a new RTP stream
    m_continue_rtp = false;
    m_next_rtp_sequence = 0;
    m_next_rtp_timestamp = 0;
    SetProxyRelatedChanID(kNoProxyChannel);
    m_preset_audio_codec = kNoPresetCodec;
    if (KZAPI::CKZChannel* channel = GetChannel()) channel->SetConfBitMask(kAllConferenceBits);
    StopAppTimer();
    ResetRoutes();
    if (held_call) AutoSetRTPPort(Server());
    ResetSRTP();
    return 1;
}

unsigned CKZSIPAPICC::OnCallIdle() {
    return CKZCallControl::OnCallIdle();
}

unsigned CKZSIPAPICC::SetAudioCodec(int codec) {
    KZAPI::CMutexLock lock(GetCallMutex());
    m_preset_audio_codec = codec;
    return 1;
}

int CKZSIPAPICC::GetLastMsgCode() {
    return m_last_msg_code;
}

int CKZSIPAPICC::GetAutoAnswer() {
    SetAutoAnswer(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.answercall", 0));
    return m_auto_answer;
}

int CKZSIPAPICC::GetAutoAccept() {
    SetAutoAccept(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.acceptcall", 1));
    return m_auto_accept;
}

int CKZSIPAPICC::GetAutoRing() {
    SetAutoRing(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.ringcall", 1));
    return m_auto_ring;
}

int CKZSIPAPICC::GetDND() {
    SetDND(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.dnd", 0));
    return m_dnd;
}

// ---- current message ----

unsigned CKZSIPAPICC::SetCurSIPMsg(const KZSIPEvent* event, unsigned reason) {
    if (!event) return 0;
    FreeSIPMsg();
    char address[kAddressSize] = "";
    unsigned size = sizeof(address);
    unsigned short port = 0;
    sip_msg* message = nullptr;
    if (CKZSIPGroup::GetMessage(event->stack, &message, address, &size, &port) != 0 || !message) return 0;
    return SetCurSIPMsg(event, message, address, port, reason);
}

unsigned CKZSIPAPICC::SetCurSIPMsg(const KZSIPEvent* event, sip_msg* message, const char* address,
                                   unsigned short port, unsigned reason) {
    TakeMessage(event, message, address, port);
    if (!event) return 1;
    if (event->event_type == KZ_EVENT_SIP_MESSAGE_RESPONSE)
        RecordResponse(event, reason);
    else if (event->event_type == KZ_EVENT_SIP_MESSAGE_REQUEST)
        RecordRequest(event, reason);
    else if (reason)
        SetDisconnectCause(static_cast<int>(event->code), kz_sip_event_name(event->event_type));
    return 1;
}

void CKZSIPAPICC::TakeMessage(const KZSIPEvent* event, sip_msg* message, const char* address,
                              unsigned short port) {
    if (message != m_cur_msg.get()) {
        FreeSIPMsg();
        m_cur_msg.reset(message);
    }
    SetFromIP(address, port ? port : kDefaultSIPPort);
    DumpSIPMessage(message);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::SetCurSIPMsg pevent->prot = %d",
                         event ? event->protocol : 0);
}

void CKZSIPAPICC::RecordResponse(const KZSIPEvent* event, unsigned reason) {
    m_last_msg_code = static_cast<int>(event->code & 0xFFF);
    KZAPI::str_cpy(m_last_msg_text, event->raw_text, sizeof(m_last_msg_text));
    if (!reason) return;
    char text[CKZSIPGroup::kIEBufferSize] = "";
    CKZSIPGroup::MSG_GetIE_STR(m_cur_msg.get(), KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, text);
    SetDisconnectCause(m_last_msg_code, text);
    char contact[CKZSIPGroup::kIEBufferSize] = "";
    if (is_redirection(m_last_msg_code) &&
        CKZSIPGroup::MSG_GetIE_STR(m_cur_msg.get(), KZ_IE_SIP_CONTACT, 0, contact) == 0) {
        AppendDisconnectCauseText(" - ");
        AppendDisconnectCauseText(contact);
    }
}

void CKZSIPAPICC::RecordRequest(const KZSIPEvent* event, unsigned reason) {
    const int method = static_cast<int>((event->code >> 24) & 0xFF);
    m_last_msg_code = -method;
    char value[CKZSIPGroup::kIEBufferSize] = "";
    if (reason) {
        CKZSIPGroup::MSG_GetIE_STR(m_cur_msg.get(), KZ_IE_SIP_REQUEST_LINE_METHOD, 0, value);
        SetDisconnectCause(method, value);
    }
    if (CKZSIPGroup::MSG_GetIE_STR(m_cur_msg.get(), KZ_IE_SIP_PROTOCOL, 0, value) == 0)
        m_transport_protocol = std::atoi(value);
    if (CKZSIPGroup::MSG_GetIE_STR(m_cur_msg.get(), KZ_IE_SIP_SSL_TYPE, 0, value) == 0)
        m_tls_type = std::atoi(value);
}

unsigned CKZSIPAPICC::FreeSIPMsg() {
    sip_msg* message = m_cur_msg.release();
    if (message && CKZSIPGroup::FreeMessage(message) != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Error: Failed to free incoming SIP message!");
        return 0;
    }
    return 1;
}

void CKZSIPAPICC::DumpSIPMessage(sip_msg* message) {
    CKZSIPGroup::DumpSIPMessage(message);
}

// ---- route set and RTP port ----

void CKZSIPAPICC::AddRoute(const char* route, int order) {
    if (!is_set(route)) return;
    // Order 0 puts the route first (a response's Record-Route read backwards), else last.
    if (order == 0)
        m_routes.insert(m_routes.begin(), route);
    else
        m_routes.emplace_back(route);
}

void CKZSIPAPICC::ResetRoutes() {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Route is reseted! %d",
                         static_cast<int>(m_routes.size()));
    m_routes.clear();
}

const char* CKZSIPAPICC::GetRoute(int index) const {
    if (index < 0 || index >= GetRouteCount()) return "";
    return m_routes[static_cast<size_t>(index)].c_str();
}

void CKZSIPAPICC::AutoSetRTPPort(const CKZSIPServer* server) {
    const int start = server ? server->GetRTPRange().start
                             : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.rtpstartrange", kDefaultRTPStart);
    const int space =
        server ? server->GetRTPPortSpace()
               : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.rtp.port.space", kDefaultRTPPortSpace);
    ++m_rtp_port_turn;
    if (2 * m_rtp_port_turn >= space) m_rtp_port_turn = 0;
    m_local_rtp_port = static_cast<uint16_t>(start + ChannelNumber() * space + 2 * m_rtp_port_turn);
}
