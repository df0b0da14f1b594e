// The inbound call: the offered INVITE, account matching, Replaces, and the provisional and
// final answers the host asks for. Also the small readers both call directions share.
#include "callcontrol/CKZSIPAPICC.h"

#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "server/CKZSIPServer.h"
#include "sipmsg/kz_sip_defs.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

using KZAPI::CKZLogInterface;

namespace {

constexpr int kFallbackDTMFPayload = 101;
// The stack's result for a message with an invalid element (the complement of its event code).
constexpr uint32_t kInvalidElementResult = ~static_cast<uint32_t>(0x570B);

bool is_set(const char* text) {
    return text && *text;
}

struct UserAndHost {
    std::string user, host;
};

UserAndHost user_and_host(const char* text) {
    UserAndHost parts;
    if (!is_set(text)) return parts;
    std::string buffer(text);
    char *user = nullptr, *host = nullptr, *port = nullptr;
    CKZSIPGroup::GetSIPAddressInfo(buffer.data(), &user, &host, &port);
    if (user) parts.user = user;
    if (host) parts.host = host;
    return parts;
}

// The value of "name" up to the next ';' (empty when the parameter is absent).
std::string parameter_value(std::string_view text, std::string_view name) {
    const size_t at = KZAPI::find_no_case(text, name);
    if (at == std::string_view::npos) return {};
    const std::string_view rest = text.substr(at + name.size());
    return std::string(rest.substr(0, rest.find(';')));
}

// The From, To, Call-ID and top Via of the offered INVITE: every answer needs all four.
struct InviteParties {
    char from[CKZSIPGroup::kIEBufferSize] = "";
    char to[CKZSIPGroup::kIEBufferSize] = "";
    char call_id[CKZSIPGroup::kIEBufferSize] = "";
    char via[CKZSIPGroup::kIEBufferSize] = "";
    char uri[CKZSIPGroup::kIEBufferSize] = "";
};

bool read_parties(sip_msg* invite, InviteParties& parties, bool need_uri) {
    if (!invite) return false;
    const bool uri_ok = CKZSIPGroup::MSG_GetIE_STR(invite, KZ_IE_SIP_REQUEST_LINE_URI, 0, parties.uri) == 0;
    return CKZSIPGroup::MSG_GetIE_STR(invite, KZ_IE_SIP_FROM, 0, parties.from) == 0 &&
           CKZSIPGroup::MSG_GetIE_STR(invite, KZ_IE_SIP_TO, 0, parties.to) == 0 &&
           CKZSIPGroup::MSG_GetIE_STR(invite, KZ_IE_SIP_CALLID, 0, parties.call_id) == 0 &&
           CKZSIPGroup::MSG_GetIE_STR(invite, KZ_IE_SIP_VIA_ADDRESS, 0, parties.via) == 0 &&
           (uri_ok || !need_uri);
}

} // namespace

// ---- readers shared by the call flows ----

bool CKZSIPAPICC::ReadCurIE(uint32_t element, char* buffer, unsigned size) const {
    buffer[0] = '\0';
    return m_cur_msg && CKZSIPGroup::MSG_GetIE_STR(m_cur_msg.get(), element, 0, buffer, size) == 0;
}

bool CKZSIPAPICC::CurMsgHasBody() const {
    char length[CKZSIPGroup::kIEBufferSize] = "";
    if (ReadCurIE(KZ_IE_SIP_CONTENT_LENGTH, length)) return std::atoi(length) > 0;
    char body[CKZSIPGroup::kIEBufferSize] = "";
    return ReadCurIE(KZ_IE_SIP_BODY, body) || ReadCurIE(KZ_IE_SIP_PAYLOAD, body);
}

void CKZSIPAPICC::StoreDialogIDs() {
    char value[CKZSIPGroup::kIEBufferSize] = "";
    if (ReadCurIE(KZ_IE_SIP_CALLID, value)) SetCallID(value);
    if (ReadCurIE(KZ_IE_SIP_FROM_TAG, value)) SetFromTag(value);
    if (ReadCurIE(KZ_IE_SIP_TO_TAG, value)) SetToTag(value);
}

bool CKZSIPAPICC::IsBridged() const {
    const KZAPI::CKZChannel* channel = GetChannel();
    return channel && channel->IsConnected() && channel->GetPeerChannel();
}

CKZSIPAPICC* CKZSIPAPICC::BridgedPartner() const {
    if (!IsBridged()) return nullptr;
    KZAPI::CKZChannel* peer = GetChannel()->GetPeerChannel();
    return dynamic_cast<CKZSIPAPICC*>(peer->GetCallControl());
}

bool CKZSIPAPICC::AccountInUse() const {
    return is_set(m_account.user_name) || is_set(m_account.domain);
}

void CKZSIPAPICC::ClearAccount() {
    m_account.display_name[0] = m_account.user_name[0] = m_account.domain[0] = m_account.proxy[0] = '\0';
    m_account.authorization_user[0] = m_account.password[0] = '\0';
    m_account.own_contact[0] = m_account.return_contact[0] = m_account.received_address[0] = '\0';
    m_account.user_id[0] = '\0';
    m_account.received_port = 0;
    m_account.state = kz_sip_user_reg_profile::UNREGISTERED;
    m_account.transport = m_account.srtp = 0;
}

// The call works on its own copy: the server's account may change while the call runs.
void CKZSIPAPICC::UseAccount(const kz_sip_user_reg_profile& account) {
    KZAPI::str_cpy(m_account.display_name, account.display_name, sizeof(m_account.display_name));
    KZAPI::str_cpy(m_account.user_name, account.user_name, sizeof(m_account.user_name));
    KZAPI::str_cpy(m_account.domain, account.domain, sizeof(m_account.domain));
    KZAPI::str_cpy(m_account.proxy, account.proxy, sizeof(m_account.proxy));
    KZAPI::str_cpy(m_account.authorization_user, account.authorization_user,
                   sizeof(m_account.authorization_user));
    KZAPI::str_cpy(m_account.password, account.password, sizeof(m_account.password));
    KZAPI::str_cpy(m_account.own_contact, account.own_contact, sizeof(m_account.own_contact));
    KZAPI::str_cpy(m_account.return_contact, account.return_contact, sizeof(m_account.return_contact));
    KZAPI::str_cpy(m_account.received_address, account.received_address, sizeof(m_account.received_address));
    KZAPI::str_cpy(m_account.user_id, account.user_id, sizeof(m_account.user_id));
    m_account.received_port = account.received_port;
    m_account.state = account.state;
    m_account.lifetime = account.lifetime;
    m_account.register_flag = account.register_flag;
    m_account.transport = account.transport;
    m_account.srtp = account.srtp;
    m_transport_protocol = account.transport;
    m_srtp_on = account.srtp ? 1 : 0;
    m_media->SetSRTPInUse(m_srtp_on != 0);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "Using user profile: displayname(%s),username(%s),domain(%s),proxy(%s),expire(%d),"
                         "prot(%d), srtp(%d)",
                         account.display_name, account.user_name, account.domain, account.proxy,
                         account.lifetime, account.transport, account.srtp);
}

void CKZSIPAPICC::SetCallDTMFPayload(int payload) {
    m_dtmf_payload = payload;
    m_media->SetDTMFPayload(payload);
}

// The RFC 2833 payload (for the methods that carry digits as events) and silence suppression of
// the current message's session description.
void CKZSIPAPICC::TakeRemoteDTMFAndVAD(bool from_bridged_partner) {
    if (!m_cur_msg) return;
    const int method = GetDTMFMethod();
    if (method == 2 || method == 3) {
        CKZSIPAPICC* partner = from_bridged_partner ? BridgedPartner() : nullptr;
        if (partner)
            SetCallDTMFPayload(partner->GetCallStatus() == CALL_STATUS_CONNECTED ? partner->GetDTMFPayload()
                                                                                 : kFallbackDTMFPayload);
        else
            SetCallDTMFPayload(m_media->GetRFC2833DTMFPayload(*m_cur_msg));
    }
    m_remote_vad = m_media->GetVADType(*m_cur_msg) ? 1 : 0;
    m_media->SetRemoteVADEnabled(m_remote_vad != 0);
}

CKZSIPAPICC::MediaResult CKZSIPAPICC::TakePeerMedia(SDPKind kind, MediaUpdate update,
                                                    bool prefer_current_payload) {
    if (!m_cur_msg) return MediaResult::Unusable;
    char address[kAddressSize] = "";
    int port = 0, direction = RTP_SENDRECV;
    StaticPayloadInfo chosen;
    const StaticPayloadInfo* current = prefer_current_payload ? m_media->CurrentAudioPayload() : nullptr;
    m_media->SetCallId(static_cast<int>(GetSIPConnID()));
    const int read = kind == SDPKind::Offer
                         ? m_media->GetRemoteRTPInfoFromInvite(*m_cur_msg, address, sizeof(address), &port,
                                                               &chosen, &direction, current)
                         : m_media->GetRemoteRTPInfoFromOK(*m_cur_msg, address, sizeof(address), &port,
                                                           &chosen, &direction, current);
    if (!read) return MediaResult::Unusable;
    const StaticPayloadInfo* before = m_media->CurrentAudioPayload();
    const bool new_payload = !before || KZAPI::PayloadCodecCode(*before) != KZAPI::PayloadCodecCode(chosen) ||
                             before->m_uPayload != chosen.m_uPayload;
    // With the same payload a new address only re-points the media; a new payload needs the port
    // opened afresh for the new codec.
    if (update == MediaUpdate::Reopen || (update == MediaUpdate::Refresh && new_payload)) CloseRTPSocket();
    KZAPI::str_cpy(m_peer_rtp_address, address, sizeof(m_peer_rtp_address));
    m_peer_rtp_port = static_cast<uint16_t>(port);
    m_rtp_direction = direction;
    m_media->SetCurrentAudioPayload(chosen);
    KZAPI::str_cpy(m_media->RemoteAudio().address, address, sizeof(m_media->RemoteAudio().address));
    m_media->RemoteAudio().port = port;
    m_media->RemoteAudio().direction = direction;
    if (update != MediaUpdate::StoreOnly && !IsRTPSocketOpen() && !OpenRTPSocket())
        return MediaResult::SocketFailed;
    return MediaResult::Taken;
}

// ---- the offer ----

unsigned CKZSIPAPICC::OnOffered(void* from_arg, void* to_arg) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_cur_msg) return 0;
    char value[CKZSIPGroup::kIEBufferSize] = "";
    if (ReadCurIE(KZ_IE_SIP_CONTACT, value)) SmartlyDecideRemoteContactID(value);
    StoreDialogIDs();
    if (ReadCurIE(KZ_IE_SIP_REPLACES, value)) ParseReplaces(value);
    ReadCurIE(KZ_IE_SIP_VIA_ADDRESS, m_via_address, sizeof(m_via_address));
    ReadCurIE(KZ_IE_SIP_REQUEST_LINE_URI, m_dest_address, sizeof(m_dest_address));
    ReadCurIE(KZ_IE_SIP_RAW_MESSAGE, m_raw_invite, sizeof(m_raw_invite));
    char from[CKZSIPGroup::kIEBufferSize] = "", to[CKZSIPGroup::kIEBufferSize] = "";
    ReadCurIE(KZ_IE_SIP_FROM, from);
    ReadCurIE(KZ_IE_SIP_TO, to);
    SetCallerNum(from);
    SetCalleeNum(to);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Incoming call from %s to %s - Offered", from, to);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Via address:%s", m_via_address);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CALL ID:%d, the remote SIP address is %s:%d",
                         static_cast<int>(GetSIPConnID()), m_peer_sip_address, m_peer_sip_port);

    MatchInboundAccount(m_dest_address, to);
    BuildLocalContactID(AccountInUse() ? &m_account : nullptr, Group(), GetFromIP(), m_dest_address);
    m_media->SetCallId(static_cast<int>(GetSIPConnID()));
    if (m_media->GetRemoteRTPAddrFromSIPMsg(*m_cur_msg)) {
        KZAPI::str_cpy(m_peer_rtp_address, m_media->RemoteAudio().address, sizeof(m_peer_rtp_address));
        m_peer_rtp_port = static_cast<uint16_t>(m_media->RemoteAudio().port);
    }
    ReadCurIE(KZ_IE_SIP_P_ASSERTED_IDENTITY, m_p_asserted_identity, sizeof(m_p_asserted_identity));
    ReadCurIE(KZ_IE_SIP_P_CHARGING_VECTOR, m_p_charging_vector, sizeof(m_p_charging_vector));
    ReadCurIE(KZ_IE_SIP_REMOTE_PARTY_ID, m_remote_party_id, sizeof(m_remote_party_id));

    const unsigned offered = CKZCallControl::OnOffered(from_arg, to_arg);
    if (AccountInUse())
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Using user profile: %s,%s,%s,%s,%d",
                             m_account.display_name, m_account.user_name, m_account.domain, m_account.proxy,
                             m_account.lifetime);
    return offered;
}

void CKZSIPAPICC::ParseReplaces(const char* value) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::OnOffered INVITE has Replaces tag: %s",
                         value);
    std::string_view text(value);
    if (KZAPI::istarts_with(text, "Replaces=")) text.remove_prefix(std::strlen("Replaces="));
    const size_t end = text.find(';');
    std::string_view call_id = text.substr(0, end);
    while (!call_id.empty() && call_id.back() == ';')
        call_id.remove_suffix(1);
    const std::string_view parameters = end == std::string_view::npos ? std::string_view() : text.substr(end);
    KZAPI::str_cpy(m_replaces_call_id, std::string(call_id).c_str(), sizeof(m_replaces_call_id));
    KZAPI::str_cpy(m_replaces_to_tag, parameter_value(parameters, "to-tag=").c_str(),
                   sizeof(m_replaces_to_tag));
    KZAPI::str_cpy(m_replaces_from_tag, parameter_value(parameters, "from-tag=").c_str(),
                   sizeof(m_replaces_from_tag));
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPAPICC::OnOffered INVITE has Replaces tag(%s, %s, %s)", m_replaces_call_id,
                         m_replaces_to_tag, m_replaces_from_tag);
}

void CKZSIPAPICC::MatchInboundAccount(const char* uri, const char* to) {
    ClearAccount();
    const CKZSIPServer* server = Server();
    const kz_sip_user_reg_profile* account = nullptr;
    for (const char* address : {uri, to}) {
        if (account || !server) break;
        const UserAndHost parts = user_and_host(address);
        if (!parts.host.empty())
            account = server->GetUserRegProfile(parts.host.c_str(), parts.user.c_str(),
                                                CKZSIPServer::LOOKUP_REGISTERING);
    }
    if (!account) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "CKZSIPAPICC::OnOffered No SIP account matched for this new call");
        return;
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPAPICC::OnOffered SIP account(%s@%s) is matched for this new call",
                         account->user_name, account->domain);
    UseAccount(*account);
}

unsigned CKZSIPAPICC::OnSetup() {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!is_set(m_replaces_call_id)) return CKZCallControl::OnSetup();
    // A call that replaces one of ours is taken at once: the caller already talks to us.
    if (AnswerCall()) SetStatus(CALL_STATUS_ANSWERING);
    return 1;
}

// ---- answers ----

unsigned CKZSIPAPICC::SendProvisional(int code, const char* text, KZ_SIP_CALL_STATUS status,
                                      unsigned with_sdp) {
    InviteParties parties;
    if (!read_parties(m_cur_msg.get(), parties, false)) return 0;
    const int direction = with_sdp ? RTP_SENDRECV : RTP_NO_MEDIA;
    if (SendSIPResponseMsg(m_cur_msg.get(), code, text, parties.via, parties.call_id, parties.to,
                           parties.from, m_local_contact, with_sdp, direction) != 0)
        return 0;
    SetSIPStatus(status);
    return 1;
}

unsigned CKZSIPAPICC::AcceptCall() {
    KZAPI::CMutexLock lock(GetCallMutex());
    return SendProvisional(100, "Trying", SIP_CALL_ACCEPTED, 0);
}

unsigned CKZSIPAPICC::RingCall() {
    KZAPI::CMutexLock lock(GetCallMutex());
    return SendProvisional(180, "Ringing", SIP_CALL_RINGING, 0);
}

unsigned CKZSIPAPICC::SessionProgressCall(const char* file) {
    KZAPI::CMutexLock lock(GetCallMutex());
    const KZ_SIP_CALL_STATUS status = GetSIPStatus();
    if (status != SIP_CALL_ACCEPTED && status != SIP_CALL_RINGING) return 0;
    if (IsBridged()) GetChannel()->RTPFullDuplexDisconnect();
    InviteParties parties;
    if (!read_parties(m_cur_msg.get(), parties, true)) return 0;
    SetCallerNum(parties.from);
    SetCalleeNum(parties.to);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CALL ID:%d, the remote SIP address is %s:%d",
                         static_cast<int>(GetSIPConnID()), m_peer_sip_address, m_peer_sip_port);
    if (m_media->GetPayloadTypesCount(*m_cur_msg) == 0) {
        m_rtp_direction = RTP_NO_MEDIA;
        return 0;
    }
    TakeRemoteDTMFAndVAD(false);
    if (TakePeerMedia(SDPKind::Offer, MediaUpdate::StoreOnly, false) != MediaResult::Taken) return 0;
    DynamicallyDecideSDPAndViaAddrForRequest(Group(), m_sdp_via, GetFromIP(), m_peer_rtp_address, parties.uri,
                                             AccountInUse() ? &m_account : nullptr);
    if (!OpenRTPSocket()) return 0;
    if (is_set(file))
        CKZLogInterface::Log(
            CKZLogInterface::LOG_WARNING,
            "CKZSIPAPICC::SessionProgressCall early media file %s is not played: no audio control", file);
    return SendProvisional(183, "Session Progress", SIP_CALL_RINGING, 1);
}

unsigned CKZSIPAPICC::SessionProgressCall(void* message) {
    KZAPI::CMutexLock lock(GetCallMutex());
    auto* progress = static_cast<sip_msg*>(message);
    const int method = GetDTMFMethod();
    if (progress && m_preset_audio_codec != kNoPresetCodec && (method == 2 || method == 3))
        SetCallDTMFPayload(m_media->GetRFC2833DTMFPayload(*progress));
    if (IsBridged())
        DynamicallyDecideSDPAndViaAddrForRequest(Group(), m_sdp_via, GetFromIP(), m_peer_rtp_address,
                                                 m_dest_address, AccountInUse() ? &m_account : nullptr);
    return SendProvisional(183, "Session Progress", SIP_CALL_RINGING, 1);
}

unsigned CKZSIPAPICC::AnswerCall() {
    KZAPI::CMutexLock lock(GetCallMutex());
    m_media->ResetDefaultPayloadInfo();
    if (GetCallStatus() != CALL_STATUS_OFFERED) return 0;
    // The answer replaces early media: its port is opened afresh for the negotiated codec.
    if (GetSIPStatus() == SIP_CALL_RINGING && IsRTPSocketOpen()) CloseRTPSocket();
    InviteParties parties;
    if (!read_parties(m_cur_msg.get(), parties, false)) return 0;
    SetCallerNum(parties.from);
    SetCalleeNum(parties.to);
    if (m_media->GetPayloadTypesCount(*m_cur_msg) > 0) {
        TakeRemoteDTMFAndVAD(true);
        if (TakePeerMedia(SDPKind::Offer, MediaUpdate::StoreOnly, false) != MediaResult::Taken) {
            SetDisconnectCause(488, "Not Acceptable Here");
            DisconnectSIPCall();
            return 0;
        }
    } else {
        // No offer: the 200 carries ours and the ACK brings the answer.
        m_rtp_direction = RTP_NO_MEDIA;
    }
    DynamicallyDecideSDPAndViaAddrForRequest(Group(), m_sdp_via, GetFromIP(), m_peer_rtp_address, parties.uri,
                                             AccountInUse() ? &m_account : nullptr);
    if (m_rtp_direction != RTP_NO_MEDIA && !OpenRTPSocket()) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Error: Failed to open RTP socket!");
        return 0;
    }
    const int result = SendSIPResponseMsg(m_cur_msg.get(), 200, "OK", parties.via, parties.call_id,
                                          parties.to, parties.from, m_local_contact, 1, m_rtp_direction);
    SetCallDirection(CALL_INBOUND);
    if (result != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Error: Failed to send SIP 'Ok' message!");
        if (static_cast<uint32_t>(result) == kInvalidElementResult) OnDisconnect();
        return 0;
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Incoming call from %s to %s  - Accepted", parties.from,
                         parties.to);
    SetSIPStatus(SIP_CALL_ANSWERED);
    StartSIPStatusTimer();
    char contact[CKZSIPGroup::kIEBufferSize] = "";
    if (ReadCurIE(KZ_IE_SIP_CONTACT, contact)) SmartlyDecideRemoteContactID(contact);
    BuildRouteInfoFromRequest(1, GetFromIP(), GetFromPort());
    return 1;
}

unsigned CKZSIPAPICC::OnConnAck() {
    KZAPI::CMutexLock lock(GetCallMutex());
    char contact[CKZSIPGroup::kIEBufferSize] = "";
    if (ReadCurIE(KZ_IE_SIP_CONTACT, contact)) SmartlyDecideRemoteContactID(contact);
    SetSIPStatus(SIP_CALL_CONNECTED);
    StopAppTimer(); // the ACK the answer waited for came
    StoreDialogIDs();
    CKZCallControl::OnConnAck();
    if (is_set(m_replaces_call_id)) EndReplacedCall();
    return 1;
}

void CKZSIPAPICC::EndReplacedCall() {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::OnConnAck m_sReplacesCID is %s",
                         m_replaces_call_id);
    const CKZSIPServer* server = Server();
    KZAPI::CKZChannel* channel = server ? server->GetChannelBySIPCallID(m_replaces_call_id) : nullptr;
    m_replaces_call_id[0] = m_replaces_from_tag[0] = m_replaces_to_tag[0] = '\0';
    if (!channel) return;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPAPICC::OnConnAck find channel %d for m_sReplacesCID",
                         channel->GetChannelNumber());
    KZAPI::CKZCallControl* replaced = channel->GetCallControl();
    CKZSIPCallControlI* sip = AsSIPCallControl(replaced);
    if (replaced && replaced != this && sip && sip->GetSIPStatus() != SIP_CALL_IDLE)
        replaced->DisconnectCall();
}
