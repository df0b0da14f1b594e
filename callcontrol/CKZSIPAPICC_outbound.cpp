// The outbound call: placing the INVITE and following its provisional and final responses.
#include "callcontrol/CKZSIPAPICC.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "server/CKZSIPServer.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"

#include <cstdlib>
#include <cstring>
#include <string>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

constexpr uint16_t kDefaultSIPPort = 5060;
constexpr unsigned kKeepAliveTicks = 500;
constexpr const char* kKeepAliveText = "  \r\n";
constexpr const char* kDefaultCallerUA = "KZAPISIPUA";

bool is_set(const char* text) {
    return text && *text;
}

uint16_t port_or_default(const char* text) {
    const int port = is_set(text) ? std::atoi(text) : 0;
    return port > 0 && port <= 0xFFFF ? static_cast<uint16_t>(port) : kDefaultSIPPort;
}

// A SIP address split into its parts (copies: GetSIPAddressInfo works in place).
struct AddressParts {
    std::string user, host, port;
    bool ok = false;
};

AddressParts split_address(const char* text) {
    AddressParts parts;
    if (!is_set(text)) return parts;
    std::string buffer(text);
    char *user = nullptr, *host = nullptr, *port = nullptr;
    parts.ok = CKZSIPGroup::GetSIPAddressInfo(buffer.data(), &user, &host, &port) == 1;
    if (user) parts.user = user;
    if (host) parts.host = host;
    if (port) parts.port = port;
    return parts;
}

bool mentions_tcp(const char* text) {
    return text && KZAPI::contains_no_case(text, "transport=tcp");
}

} // namespace

// ---- placing the call ----

unsigned CKZSIPAPICC::SetupCall(const char* caller, const char* callee) {
    if (!is_set(caller) || !is_set(callee)) return 0;
    const AddressParts from = split_address(caller);
    const AddressParts to = split_address(callee);
    if (to.host.empty()) return 0;
    const ServerLock server_lock;
    KZAPI::CMutexLock lock(GetCallMutex());
    SetCalleeNum(callee);
    SetCallerNum(caller);
    SetToIP("", 0);
    return MakeSIPCall(from.user.empty() ? kDefaultCallerUA : from.user.c_str(), from.host.c_str(),
                       port_or_default(from.port.c_str()), to.user.c_str(), to.host.c_str(),
                       port_or_default(to.port.c_str()));
}

unsigned CKZSIPAPICC::SetupCallEx(const char* from, const char* to, const char* uri, const char* contact,
                                  const char* auth_name, const char* auth_password, const char* dest_address,
                                  uint16_t dest_port, int protocol, int srtp) {
    const ServerLock server_lock;
    KZAPI::CMutexLock lock(GetCallMutex());
    m_transport_protocol = protocol;
    m_srtp_on = srtp == 1 ? 1 : 0;
    m_media->SetSRTPInUse(m_srtp_on != 0);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "calling on protocol %d, using srtp %d", protocol, srtp);
    return MakeSIPCallEx(from, to, uri, contact, auth_name, auth_password, dest_address, dest_port);
}

CKZSIPAPICC::ServerLock::ServerLock() : m_mutex(Server() ? &Server()->GetServerMutex() : nullptr) {
    if (m_mutex) m_mutex->Lock();
}

CKZSIPAPICC::ServerLock::~ServerLock() {
    if (m_mutex) m_mutex->Unlock();
}

bool CKZSIPAPICC::CanPlaceCall() const {
    const int status = GetCallStatus();
    if (status == CALL_STATUS_IDLE || status == CALL_STATUS_RESERVED) return true;
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                         "trying to make a call on a non-idle or reserved channel! %d", status);
    return false;
}

unsigned CKZSIPAPICC::MakeSIPCall(const char* caller_ua, const char* caller_address, uint16_t caller_port,
                                  const char* callee_ua, const char* remote_address, uint16_t remote_port) {
    KZAPI::CMutexLock lock(GetCallMutex());
    m_placed_by_setup_call = 1;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "MakeSIPCall CallerUA:%s CallerSIPIPAddr:%s CallerSIPIPPort:%d CalleeUA:%s "
                         "remoteSIPIPAddr:%s remoteSIPPort:%d",
                         caller_ua ? caller_ua : "", caller_address ? caller_address : "", caller_port,
                         callee_ua ? callee_ua : "", remote_address ? remote_address : "", remote_port);
    if (!CanPlaceCall() || !is_set(remote_address)) return 0;
    // A call placed again after a redirection or transfer does not inherit that release's cause.
    SetDisconnectCause(0, "");
    CKZSIPGroup* group = Group();
    KZAPI::str_cpy(m_peer_sip_address, remote_address, sizeof(m_peer_sip_address));
    m_peer_sip_port = remote_port;
    m_media->ResetDefaultPayloadInfo();
    ChooseOutboundAccount(caller_address, caller_ua, remote_address);

    char from[kTextSize] = "";
    if (is_set(GetCallerNum()))
        KZAPI::str_cpy(from, GetCallerNum(), sizeof(from));
    else
        BuildOutboundFrom(caller_ua, from, sizeof(from));
    SetCallerNum(from);
    BuildLocalContactID(AccountInUse() ? &m_account : nullptr, group, remote_address, from);

    char to[kTextSize] = "";
    if (is_set(GetCalleeNum()))
        KZAPI::str_cpy(to, GetCalleeNum(), sizeof(to));
    else if (is_set(callee_ua))
        KZAPI::s_printf(to, sizeof(to), "<sip:%s@%s:%d>", callee_ua, remote_address, remote_port);
    else
        KZAPI::s_printf(to, sizeof(to), "<sip:%s:%d>", remote_address, remote_port);
    SetCalleeNum(to);
    KZAPI::str_cpy(m_peer_contact, to, sizeof(m_peer_contact));
    char uri[kTextSize] = "";
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));

    if (!TakeNewConnectionID()) return 0;
    DynamicallyDecideSDPAndViaAddrForRequest(group, m_sdp_via, remote_address, nullptr, caller_address,
                                             AccountInUse() ? &m_account : nullptr);
    TakeBridgedDTMFPayload();
    char dest[kAddressSize] = "";
    uint16_t dest_port = 0;
    ProxyDestination(true, dest, sizeof(dest), dest_port);
    return SendInvite(from, to, uri, dest, dest_port, false);
}

unsigned CKZSIPAPICC::MakeSIPCallEx(const char* from, const char* to, const char* uri, const char* contact,
                                    const char* auth_name, const char* auth_password,
                                    const char* dest_address, uint16_t dest_port) {
    KZAPI::CMutexLock lock(GetCallMutex());
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "MakeSIPCallEx FROM:%s To:%s URI:%s Contact:%s AuthName:%s DestIP:%s DestPort:%d",
                         from ? from : "", to ? to : "", uri ? uri : "", contact ? contact : "",
                         auth_name ? auth_name : "", dest_address ? dest_address : "", dest_port);
    m_placed_by_setup_call = 0;
    KZAPI::str_cpy(m_setup_uri, uri ? uri : "", sizeof(m_setup_uri));
    KZAPI::str_cpy(m_setup_contact, contact ? contact : "", sizeof(m_setup_contact));
    KZAPI::str_cpy(m_setup_auth_name, auth_name ? auth_name : "", sizeof(m_setup_auth_name));
    KZAPI::str_cpy(m_setup_auth_password, auth_password ? auth_password : "", sizeof(m_setup_auth_password));
    CKZSIPGroup* group = Group();
    if (m_transport_protocol == 0 && (mentions_tcp(contact) || mentions_tcp(to) || mentions_tcp(uri)))
        TakeStreamTransport();
    if (!CanPlaceCall()) return 0;
    SetDisconnectCause(0, "");
    if (!is_set(from)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CKZSIPAPICC::MakeSIPCallEx From string is null.");
        return 0;
    }
    if (!is_set(to)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CKZSIPAPICC::MakeSIPCallEx To string is null.");
        return 0;
    }
    const bool has_uri = is_set(uri);
    const bool has_dest = is_set(dest_address);
    const char* target = has_uri ? uri : to;
    const AddressParts remote = split_address(target);
    if (remote.host.empty()) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CKZSIPAPICC::MakeSIPCallEx remote sip address string is null.");
        return 0;
    }
    SetCalleeNum(to);
    SetCallerNum(from);
    // An address the application gives is where the call goes, whatever the far end's Contact says.
    SetToIP(has_dest ? dest_address : "", has_dest ? dest_port : 0);
    m_contact_locked = has_dest || has_uri ? 1 : 0;
    KZAPI::str_cpy(m_peer_sip_address, remote.host.c_str(), sizeof(m_peer_sip_address));
    m_peer_sip_port = port_or_default(remote.port.c_str());
    m_media->ResetDefaultPayloadInfo();

    // The From names the account only when the application left the routing to it.
    const AddressParts caller = has_uri || has_dest ? AddressParts{} : split_address(from);
    ChooseOutboundAccount(caller.host.c_str(), caller.user.c_str(), m_peer_sip_address);
    if (is_set(auth_name))
        KZAPI::str_cpy(m_account.authorization_user, auth_name, sizeof(m_account.authorization_user));
    if (is_set(auth_password)) KZAPI::str_cpy(m_account.password, auth_password, sizeof(m_account.password));

    if (is_set(contact))
        KZAPI::str_cpy(m_local_contact, contact, sizeof(m_local_contact));
    else
        BuildLocalContactID(AccountInUse() ? &m_account : nullptr, group,
                            has_dest ? dest_address : m_peer_sip_address, has_dest ? nullptr : from);
    KZAPI::str_cpy(m_peer_contact, target, sizeof(m_peer_contact));
    char request_uri[kTextSize] = "";
    BuildSIPRequestURI(m_peer_contact, request_uri, sizeof(request_uri));

    if (!TakeNewConnectionID()) return 0;
    DynamicallyDecideSDPAndViaAddrForRequest(group, m_sdp_via, m_peer_sip_address, nullptr, nullptr,
                                             AccountInUse() ? &m_account : nullptr);
    TakeBridgedDTMFPayload();
    char dest[kAddressSize] = "";
    uint16_t port = 0;
    if (has_dest) {
        KZAPI::str_cpy(dest, dest_address, sizeof(dest));
        port = dest_port ? dest_port : kDefaultSIPPort;
    } else {
        ProxyDestination(!has_uri, dest, sizeof(dest), port);
    }
    return SendInvite(from, to, request_uri, dest, port, true);
}

// The account of the caller's domain and user when given, else the one whose domain is the
// server the call goes to; its transport and SRTP choice become the call's.
void CKZSIPAPICC::ChooseOutboundAccount(const char* caller_domain, const char* caller_user,
                                        const char* server_address) {
    ClearAccount();
    const CKZSIPServer* server = Server();
    const kz_sip_user_reg_profile* account = nullptr;
    if (server && is_set(caller_domain))
        account = server->GetUserRegProfile(caller_domain, caller_user, CKZSIPServer::LOOKUP_ANY);
    if (server && !account)
        account = server->GetUserRegProfile(server_address, nullptr, CKZSIPServer::LOOKUP_ANY);
    if (account) UseAccount(*account);
    ApplySRTPTypeOverride();
}

// A "transport=tcp" address asks for a stream: TCP when the stack runs it, else TLS.
void CKZSIPAPICC::TakeStreamTransport() {
    CKZSIPGroup* group = Group();
    KZ_SIPProtocolConfig config{};
    if (!group || group->GetConfig(&config) != 0) return;
    if (config.transport_mask & KZ_SIP_TRANSPORT_TCP)
        m_transport_protocol = 1;
    else if (config.transport_mask & KZ_SIP_TRANSPORT_TLS)
        m_transport_protocol = 2;
}

void CKZSIPAPICC::ApplySRTPTypeOverride() {
    const CKZSIPServer* server = Server();
    const int srtp_type =
        server ? server->GetSRTPType() : CKZCfgInterface::CFG_GetIntValue("kzsrv.srtp.type", 1);
    if (srtp_type == 2) m_srtp_on = 1;
    m_media->SetSRTPInUse(m_srtp_on != 0);
}

void CKZSIPAPICC::BuildOutboundFrom(const char* caller_ua, char* from, size_t size) const {
    const CKZSIPGroup* group = Group();
    const char* real_address = group ? group->GetRealPublicSIPIP() : m_local_sip_address;
    const int real_port = group ? group->GetRealPublicSIPPort() : m_local_sip_port;
    if (!AccountInUse()) {
        if (is_set(caller_ua))
            KZAPI::s_printf(from, size, "<sip:%s@%s:%d>", caller_ua, real_address, real_port);
        else
            KZAPI::s_printf(from, size, "<sip:%s:%d>", real_address, real_port);
        return;
    }
    char display[kTextSize + 2] = "";
    if (is_set(m_account.display_name))
        KZAPI::s_printf(display, sizeof(display), "\"%s\"", m_account.display_name);
    const bool has_user = is_set(m_account.user_name), has_domain = is_set(m_account.domain);
    if (has_user && has_domain)
        KZAPI::s_printf(from, size, "%s<sip:%s@%s>", display, m_account.user_name, m_account.domain);
    else if (has_user)
        KZAPI::s_printf(from, size, "%s<sip:%s@%s:%d>", display, m_account.user_name, real_address,
                        real_port);
    else if (has_domain)
        KZAPI::s_printf(from, size, "%s<sip:%s>", display, m_account.domain);
    else
        KZAPI::s_printf(from, size, "%s<sip:%s:%d>", display, real_address, real_port);
}

bool CKZSIPAPICC::TakeNewConnectionID() {
    CKZSIPGroup* group = Group();
    uint32_t connection = 0;
    if (!group || group->GetConnectionId(&connection) != 0 || connection == 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Error: Failed to GetConnectionId!");
        return false;
    }
    SetSIPConnID(connection);
    m_media->SetCallId(static_cast<int>(connection));
    return true;
}

void CKZSIPAPICC::TakeBridgedDTMFPayload() {
    const int method = GetDTMFMethod();
    if (method != 2 && method != 3) return;
    CKZSIPAPICC* partner = BridgedPartner();
    if (!partner) return;
    if (partner->GetCallStatus() == CALL_STATUS_OFFERED && partner->GetCurSIPMsg())
        SetCallDTMFPayload(m_media->GetRFC2833DTMFPayload(*partner->GetCurSIPMsg()));
    else if (partner->GetCallStatus() == CALL_STATUS_CONNECTED)
        SetCallDTMFPayload(partner->GetDTMFPayload());
}

// The outbound proxy a new INVITE goes through, by "kzsrv.sip.outbound.via.type"; false (and an
// empty address) when the stack routes by the request URI.
bool CKZSIPAPICC::ProxyDestination(bool account_allowed, char* address, size_t size, uint16_t& port) {
    address[0] = '\0';
    port = 0;
    const CKZSIPServer* server = Server();
    const int via_type = server ? server->GetOutboundViaType() : 0;
    AddressParts proxy;
    if ((via_type == 0 || via_type == 1) && account_allowed && AccountInUse()) {
        proxy = split_address(m_account.proxy);
        if (!proxy.host.empty()) {
            KZAPI::str_cpy(m_peer_sip_address, proxy.host.c_str(), sizeof(m_peer_sip_address));
            m_peer_sip_port = port_or_default(proxy.port.c_str());
        }
    } else if (via_type == 2 && server) {
        proxy = split_address(server->GetOutboundViaProxy());
    }
    if (proxy.host.empty()) return false;
    KZAPI::str_cpy(address, proxy.host.c_str(), size);
    port = port_or_default(proxy.port.c_str());
    return true;
}

unsigned CKZSIPAPICC::SendInvite(const char* from, const char* to, const char* uri, const char* dest_address,
                                 uint16_t dest_port, bool log_uri) {
    const int result = SendSIPRequestMsg("INVITE", from, to, uri, m_local_contact, 1, RTP_SENDRECV,
                                         is_set(dest_address) ? dest_address : nullptr, dest_port);
    if (result != 0) {
        ResetCallStatus();
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Error: Failed to initiate call!");
        return 0;
    }
    SetSIPStatus(SIP_CALL_CALLING);
    SetStatus(CALL_STATUS_CALLING);
    SetCallDirection(CALL_OUTBOUND);
    if (log_uri)
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Calling %s(uri:%s) ...", to, uri);
    else
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Calling %s ...", to);
    return 1;
}

// ---- provisional responses ----

unsigned CKZSIPAPICC::OnTrying() {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (GetSIPStatus() != SIP_CALL_CALLING) return 0;
    StoreDialogIDs();
    SetSIPStatus(SIP_CALL_RECEIVED_TRYING);
    StartSIPStatusTimer();
    return 1;
}

unsigned CKZSIPAPICC::OnRinging() {
    KZAPI::CMutexLock lock(GetCallMutex());
    // A 180 that brings a session description is early media, exactly like a 183.
    if (CurMsgHasBody()) return OnSessionProgress();
    StoreDialogIDs();
    TakeContactFromProvisional();
    if (RequiresPRACK()) SendSIPPrack();
    SetSIPStatus(SIP_CALL_RECEIVED_RINGING);
    SetStatus(CALL_STATUS_RINGING);
    StartSIPStatusTimer();
    CKZSIPAPICC* partner = BridgedPartner();
    if (partner && partner->GetCallStatus() != CALL_STATUS_CONNECTED && !partner->IsOutbound())
        partner->RingCall();
    return 1;
}

unsigned CKZSIPAPICC::OnSessionProgress() {
    KZAPI::CMutexLock lock(GetCallMutex());
    // Without a session description a 183 says nothing the call can use.
    if (!CurMsgHasBody()) return 1;
    CKZCallControl::OnSessionProgress();
    StopAppTimer();
    StoreDialogIDs();
    TakeContactFromProvisional();
    if (CKZSIPAPICC* partner = BridgedPartner()) {
        if (m_cur_msg && m_media->GetRemoteRTPAddrFromSIPMsg(*m_cur_msg)) {
            KZAPI::str_cpy(m_peer_rtp_address, m_media->RemoteAudio().address, sizeof(m_peer_rtp_address));
            m_peer_rtp_port = static_cast<uint16_t>(m_media->RemoteAudio().port);
        }
        if (partner->GetCallStatus() != CALL_STATUS_CONNECTED && !partner->IsOutbound())
            PassProgressToPartner(partner);
        return 1;
    }
    if (CKZSIPAPICC* related = ProxyRelatedCallControl()) {
        PassProgressToPartner(related);
        return 1;
    }
    // A second 183 neither reopens media nor draws another PRACK.
    if (GetSIPStatus() == SIP_CALL_RECEIVED_SESSION_PROGRESS) return 1;
    if (RequiresPRACK()) SendSIPPrack();
    SetSIPStatus(SIP_CALL_RECEIVED_SESSION_PROGRESS);
    StartSIPStatusTimer();
    if (TakePeerMedia(SDPKind::Answer, MediaUpdate::Refresh, false) != MediaResult::Taken) return 1;
    // Early media on the local sound device arrives with the audio work.
    return 1;
}

void CKZSIPAPICC::PassProgressToPartner(CKZSIPAPICC* partner) {
    if (!partner->SessionProgressCall(static_cast<void*>(m_cur_msg.get()))) partner->RingCall();
}

bool CKZSIPAPICC::RequiresPRACK() const {
    const CKZSIPServer* server = Server();
    const bool use_prack =
        server ? server->GetUsePRACK() : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.use.prack", 0) != 0;
    if (!use_prack) return false;
    char require[CKZSIPGroup::kIEBufferSize] = "", rseq[CKZSIPGroup::kIEBufferSize] = "";
    return ReadCurIE(KZ_IE_SIP_REQUIRE, require) && KZAPI::contains_no_case(require, "100rel") &&
           ReadCurIE(KZ_IE_SIP_RSEQ, rseq) && rseq[0];
}

void CKZSIPAPICC::TakeContactFromProvisional() {
    const CKZSIPServer* server = Server();
    const bool from_ring =
        server ? server->GetRemoteContactAddrFromRing()
               : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.get.remote.contact.from.ring", 0) != 0;
    char contact[CKZSIPGroup::kIEBufferSize] = "";
    if (from_ring && ReadCurIE(KZ_IE_SIP_CONTACT, contact)) SmartlyDecideRemoteContactID(contact);
}

// ---- the final response ----

unsigned CKZSIPAPICC::OnConnect() {
    KZAPI::CMutexLock lock(GetCallMutex());
    StopAppTimer();
    return CKZCallControl::OnConnect();
}

unsigned CKZSIPAPICC::SendConnAck() {
    KZAPI::CMutexLock lock(GetCallMutex());
    char contact[CKZSIPGroup::kIEBufferSize] = "";
    if (GetSIPStatus() != SIP_CALL_HOLD_SENT && ReadCurIE(KZ_IE_SIP_CONTACT, contact))
        SmartlyDecideRemoteContactID(contact);
    TakeRemoteDTMFAndVAD(false);
    char uri[kTextSize] = "", from[kTextSize] = "", to[kTextSize] = "";
    BuildRequestURIFromPeer(uri, sizeof(uri), true);
    BuildRouteInfoFromRequest(0, GetFromIP(), GetFromPort());
    BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));

    const MediaResult media = TakePeerMedia(SDPKind::Answer, MediaUpdate::Refresh, false);
    if (media == MediaResult::SocketFailed) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Error: Failed to open RTP socket!");
        return GiveUpConnect(from, to, uri);
    }
    // Early media already flowing carries the call when the 200 brings nothing usable.
    if (media == MediaResult::Unusable && !IsRTPSocketOpen()) return GiveUpConnect(from, to, uri);

    if (SendSIPRequestMsgEx("ACK", from, to, uri, m_local_contact, 0, RTP_SENDRECV) != 0)
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Error: Failed to send SIP 'Ack' message!");
    SetSIPStatus(SIP_CALL_CONNECTED);
    StoreDialogIDs();
    if (CKZSIPAPICC* origin = m_org_transfer_cc) {
        m_org_transfer_cc = nullptr;
        origin->DoTransfer2(Group(), 1);
    }
    return 1;
}

unsigned CKZSIPAPICC::GiveUpConnect(const char* from, const char* to, const char* uri) {
    SendSIPRequestMsgEx("CANCEL", from, to, uri, m_local_contact, 0, RTP_SENDRECV);
    SetSIPStatus(SIP_CALL_IDLE);
    SetStatus(CALL_STATUS_IDLE);
    return 0;
}

void CKZSIPAPICC::BuildRequestURIFromPeer(char* uri, size_t size, bool cut_parameters) {
    BuildSIPRequestURI(m_peer_contact, uri, size);
    if (!cut_parameters) return;
    if (char* parameters = std::strchr(uri, ';')) *parameters = '\0';
}

unsigned CKZSIPAPICC::SendSIPAck() {
    KZAPI::CMutexLock lock(GetCallMutex());
    char uri[kTextSize] = "", from[kTextSize] = "", to[kTextSize] = "";
    BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
    BuildRequestURIFromPeer(uri, sizeof(uri), false);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::SendSIPAck szURIStr:%s", uri);
    const KZ_SIP_CALL_STATUS status = GetSIPStatus();
    // The hold exchanges keep the route set the dialog was set up with.
    if (status != SIP_CALL_HOLD_SENT && status != SIP_CALL_UNHOLD_SENT)
        BuildRouteInfoFromRequest(0, GetFromIP(), GetFromPort());
    if (SendSIPRequestMsgEx("ACK", from, to, uri, m_local_contact, 0, RTP_SENDRECV) != 0) ResetCallStatus();
    return 1;
}

unsigned CKZSIPAPICC::SendSIPPrack() {
    KZAPI::CMutexLock lock(GetCallMutex());
    char rseq[CKZSIPGroup::kIEBufferSize] = "", cseq[CKZSIPGroup::kIEBufferSize] = "",
         method[CKZSIPGroup::kIEBufferSize] = "", from[CKZSIPGroup::kIEBufferSize] = "",
         to[CKZSIPGroup::kIEBufferSize] = "", call_id[CKZSIPGroup::kIEBufferSize] = "";
    if (!ReadCurIE(KZ_IE_SIP_RSEQ, rseq) || !ReadCurIE(KZ_IE_SIP_CSEQ_NUMBER, cseq) ||
        !ReadCurIE(KZ_IE_SIP_CSEQ_METHOD, method) || !ReadCurIE(KZ_IE_SIP_FROM, from) ||
        !ReadCurIE(KZ_IE_SIP_TO, to) || !ReadCurIE(KZ_IE_SIP_CALLID, call_id))
        return 0;
    char uri[kTextSize] = "";
    BuildRequestURIFromPeer(uri, sizeof(uri), false);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::SendSIPPrack szURIStr:%s %s", uri, rseq);
    BuildRouteInfoFromRequest(0, GetFromIP(), GetFromPort());
    SIPMessagePtr prack = AllocSIPMessage();
    CKZSIPGroup* group = Group();
    if (!prack || !group) return 0;

    char rack[3 * CKZSIPGroup::kIEBufferSize] = "", via[kAddressSize + 8] = "", number[16] = "";
    KZAPI::s_printf(rack, sizeof(rack), "%s %s %s", rseq, cseq, method);
    KZAPI::s_printf(via, sizeof(via), "%s:%d", m_sdp_via.via_address, m_sdp_via.via_port);
    KZAPI::s_printf(number, sizeof(number), "%u", static_cast<unsigned>(m_local_sequence++));
    sip_msg* m = prack.get();
    uint32_t failed = 0;
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_FROM, 0, from);
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_TO, 0, to);
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_REQUEST_LINE_URI, 0, uri);
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_REQUEST_LINE_METHOD, 0, "PRACK");
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, "SIP/2.0");
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_USER_AGENT, 0, group->GetSIPUserAgent());
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_MAX_FORWARDS, 0, "70");
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_CONTACT, 0, m_local_contact);
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_VIA_PROTOCOL, 0,
                                         m_transport_protocol > 0 ? "SIP/2.0/TCP" : "SIP/2.0/UDP");
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_VIA_ADDRESS, 0, via);
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_CALLID, 0, call_id);
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_RACK, 0, rack);
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_CSEQ_NUMBER, 0, number);
    failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_CSEQ_METHOD, 0, "PRACK");
    for (int i = 0; i < GetRouteCount(); ++i)
        failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_ROUTE, static_cast<unsigned>(i), GetRoute(i));
    if (m_transport_protocol > 0) {
        char protocol[16] = "";
        KZAPI::s_printf(protocol, sizeof(protocol), "%d", m_transport_protocol);
        failed |= CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_PROTOCOL, 0, protocol);
    }
    if (failed != 0) return 0;
    return CKZSIPGroup::SendMessage(group->GetSIPHandle(), m, nullptr, 0, GetSIPConnID()) == 0 ? 1 : 0;
}

bool CKZSIPAPICC::IsOKWithSDPForInvite() {
    KZAPI::CMutexLock lock(GetCallMutex());
    char method[CKZSIPGroup::kIEBufferSize] = "";
    return ReadCurIE(KZ_IE_SIP_CSEQ_METHOD, method) && KZAPI::iequals(method, "INVITE");
}

// ---- redirection and keep-alive ----

unsigned CKZSIPAPICC::On3xxResponse(CKZSIPGroup*, const KZSIPEvent* event) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.handle.3xx", 0) == 0) return 0;
    const int code = event ? static_cast<int>(event->code & 0xFFF) : m_last_msg_code;
    if (code != 300 && code != 302) return 0;
    char from[CKZSIPGroup::kIEBufferSize] = "", contact[CKZSIPGroup::kIEBufferSize] = "",
         to[CKZSIPGroup::kIEBufferSize] = "";
    if (!ReadCurIE(KZ_IE_SIP_CONTACT, contact)) return 0;
    ReadCurIE(KZ_IE_SIP_FROM, from);
    ReadCurIE(KZ_IE_SIP_TO, to);
    KZAPI::str_cpy(m_transfer_source, from, sizeof(m_transfer_source));
    const AddressParts target = split_address(contact);
    if (target.host.empty()) {
        // "user" alone: the user at the host the call was addressed to.
        const AddressParts callee = split_address(to);
        const std::string& user = target.user;
        if (!callee.port.empty())
            KZAPI::s_printf(m_refer_to, sizeof(m_refer_to), "<sip:%s@%s:%s>", user.c_str(),
                            callee.host.c_str(), callee.port.c_str());
        else
            KZAPI::s_printf(m_refer_to, sizeof(m_refer_to), "<sip:%s@%s>", user.c_str(), callee.host.c_str());
    } else if (target.user.empty()) {
        if (!target.port.empty())
            KZAPI::s_printf(m_refer_to, sizeof(m_refer_to), "<sip:%s:%s>", target.host.c_str(),
                            target.port.c_str());
        else
            KZAPI::s_printf(m_refer_to, sizeof(m_refer_to), "<sip:%s>", target.host.c_str());
    } else {
        KZAPI::str_cpy(m_refer_to, contact, sizeof(m_refer_to));
    }
    return 1;
}

void CKZSIPAPICC::SendKeepAliveMsgForOutboundCall() {
    const CKZSIPServer* server = Server();
    const bool enabled = server ? server->GetSendKeepAliveMsg()
                                : CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.keep.alive.msg", 1) != 0;
    if (!enabled) return;
    if (m_keep_alive_ticks.fetch_add(1) < kKeepAliveTicks) return;
    // Runs on the media tick, which signalling may be waiting for while it holds the call lock:
    // when the lock is taken the packet goes on a later tick.
    if (!GetCallMutex().TryLock()) return;
    std::lock_guard lock(GetCallMutex(), std::adopt_lock);
    // Streams keep their own connection open; only a UDP peer's NAT binding needs the packets.
    if (!is_set(m_peer_sip_address) || m_peer_sip_port == 0 || m_transport_protocol > 0) return;
    CKZSIPGroup* group = Group();
    if (!group) return;
    CKZSIPGroup::SendExternalMessage(group->GetSIPHandle(), kKeepAliveText, m_peer_sip_address,
                                     m_peer_sip_port, 0, nullptr);
    m_keep_alive_ticks = 0;
}
