// Inside an established call: re-INVITEs from the remote, hold, transfer and redirection.
#include "callcontrol/CKZSIPAPICC.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/CKZServer.h"
#include "host/KZStrFunc.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "server/CKZSIPServer.h"
#include "server/SIPAddressParts.h"
#include "sipmsg/kz_sip_defs.h"

#include <cstdlib>
#include <cstring>
#include <string>

using KZAPI::CKZLogInterface;

// ---- media changes within the call ----

unsigned CKZSIPAPICC::OnReInvite(CKZSIPGroup* group) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_cur_msg) return 0;
    char value[CKZSIPGroup::kIEBufferSize] = "";
    int direction = RTP_SENDRECV;
    // A fax (image) offer leaves the audio as it is.
    if (!ReadCurIE(KZ_IE_SIP_IMAGE_PAYLOAD, value)) {
        if (m_media->GetPayloadTypesCount(*m_cur_msg) == 0) {
            // No offer: the 200 carries ours and the ACK brings the answer.
            m_rtp_direction = direction = RTP_NO_MEDIA;
            if (!IsBridged() && GetProxyRelatedChanID() < 0) CloseRTPSocket();
        } else {
            TakeRemoteDTMFAndVAD(false);
            // Bridged and relayed calls carry no media of their own: only the record changes.
            const MediaUpdate update =
                IsBridged() || GetProxyRelatedChanID() >= 0 ? MediaUpdate::StoreOnly : MediaUpdate::Refresh;
            if (TakePeerMedia(SDPKind::Offer, update, true) == MediaResult::Unusable) {
                if (group) group->SIP_Send4xx(m_cur_msg.get(), GetSIPConnID(), "488", "Not Acceptable Here");
                return 0;
            }
            direction = m_rtp_direction;
        }
    }
    if (ReadCurIE(KZ_IE_SIP_CONTACT, value)) SmartlyDecideRemoteContactID(value);
    if (SendResponseToCurrent(200, "OK", nullptr, 1, direction) != 0) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR,
            "Error: Failed to send SIP 'Ok' message when received a re-invite message for holding!");
        return 0;
    }
    ReportReInviteStatus(direction);
    return 1;
}

void CKZSIPAPICC::ReportReInviteStatus(int direction) {
    const bool hold = direction == RTP_SENDONLY || direction == RTP_RECVONLY;
    if (GetSIPStatus() == SIP_CALL_REMOTE_HELD) {
        SetSIPStatus(direction >= RTP_SENDONLY ? SIP_CALL_REMOTE_HOLD_ACCEPTED
                                               : SIP_CALL_REMOTE_UNHOLD_ACCEPTED);
        return;
    }
    if (hold) {
        if (GetSIPStatus() == SIP_CALL_HELD) OnCallHolding(0);
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Call holding ok!");
        SetSIPStatus(SIP_CALL_REMOTE_HOLD_ACCEPTED);
        return;
    }
    OnCallHolding(0);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Call reinviting ok!");
    SetSIPStatus(SIP_CALL_REINVITE_ACCEPTED);
}

unsigned CKZSIPAPICC::OnSDPChangeOK(CKZSIPGroup* group) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_cur_msg) return 0;
    const MediaUpdate update =
        IsBridged() || GetProxyRelatedChanID() >= 0 ? MediaUpdate::StoreOnly : MediaUpdate::Refresh;
    if (TakePeerMedia(SDPKind::Answer, update, true) == MediaResult::Unusable) {
        if (group) group->SIP_Send4xx(m_cur_msg.get(), GetSIPConnID(), "488", "Not Acceptable Here");
        return 0;
    }
    TakeRemoteDTMFAndVAD(false);
    return 1;
}

unsigned CKZSIPAPICC::OnSDPChangeAck(CKZSIPGroup*) {
    KZAPI::CMutexLock lock(GetCallMutex());
    // Only a 200 that carried this side's offer waits for an answer in the ACK.
    if (m_rtp_direction != RTP_NO_MEDIA || !m_cur_msg) return 1;
    TakeRemoteDTMFAndVAD(false);
    const MediaUpdate update =
        IsBridged() || GetProxyRelatedChanID() >= 0 ? MediaUpdate::StoreOnly : MediaUpdate::Reopen;
    return TakePeerMedia(SDPKind::Answer, update, false) == MediaResult::Taken ? 1 : 0;
}

// ---- hold ----

unsigned CKZSIPAPICC::Hold() {
    KZAPI::CMutexLock lock(GetCallMutex());
    const KZ_SIP_CALL_STATUS status = GetSIPStatus();
    // A hold or resume in flight is sent again only to answer its challenge.
    const bool challenged = m_credit_pending != Credit::None;
    if (status == SIP_CALL_CONNECTED || (status == SIP_CALL_HOLD_SENT && challenged))
        return SendHoldReInvite(RTP_SENDONLY, SIP_CALL_HOLD_SENT, "Sent re-invite to hold call.  ID:%d ...",
                                "Error: Failed to send re-invite to hold a call, connection ID is %d");
    if (status == SIP_CALL_HELD || (status == SIP_CALL_UNHOLD_SENT && challenged)) {
        const unsigned sent = SendHoldReInvite(
            RTP_SENDRECV, SIP_CALL_UNHOLD_SENT, "Sent re-invite to release a holded call.  ID:%d ...",
            "Error: Failed to send re-invite to release a holded call, connection ID is %d");
        // The 200 that answers it reports the call taken off hold.
        if (sent) SetRTPHeld(false);
        return sent;
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Cannot hold a call at this status.  ID:%d",
                         static_cast<int>(GetSIPConnID()));
    return 0;
}

unsigned CKZSIPAPICC::SendHoldReInvite(int direction, KZ_SIP_CALL_STATUS next, const char* sent_log,
                                       const char* failed_log) {
    char from[kTextSize], to[kTextSize], uri[kTextSize];
    BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::Hold szURIStr:%s", uri);
    const int id = static_cast<int>(GetSIPConnID());
    if (SendSIPRequestMsgEx("INVITE", from, to, uri, m_local_contact, 1, direction) != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, failed_log, id);
        return 0;
    }
    SetSIPStatus(next);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, sent_log, id);
    return 1;
}

unsigned CKZSIPAPICC::OnCallHolding(int held) {
    // The far end's hold arrives as a request (its re-INVITE or the ACK that completes it); this
    // side's is completed by a response.
    char method[CKZSIPGroup::kIEBufferSize] = "";
    ReportHolding(held != 0, ReadCurIE(KZ_IE_SIP_REQUEST_LINE_METHOD, method) && method[0] != '\0');
    return 1;
}

// ---- redirection ----

unsigned CKZSIPAPICC::RedirectTo(const char* target, const char* code, const char* text) {
    KZAPI::CMutexLock lock(GetCallMutex());
    const KZ_SIP_CALL_STATUS status = GetSIPStatus();
    if ((status != SIP_CALL_ACCEPTED && status != SIP_CALL_RINGING) || !m_cur_msg || !target || !code)
        return 0;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::RedirectTo szURIStr:%s", target);
    char contact[kTextSize];
    if (KZAPI::istarts_with(target, "<sip:"))
        KZAPI::str_cpy(contact, target, sizeof(contact));
    else
        KZAPI::s_printf(contact, sizeof(contact), "<sip:%s>", target);
    if (SendResponseToCurrent(std::atoi(code), text ? text : "", contact) != 0) {
        ResetCallStatus();
        return 0;
    }
    SetSIPStatus(SIP_CALL_REJECTED);
    return 1;
}

// ---- transfer: this side refers the far end elsewhere ----

unsigned CKZSIPAPICC::TransferTo(const char* target, int dest_channel) {
    if (!target || !*target) return 0;
    CKZSIPAPICC* destination = dest_channel >= 0 ? CallControlOfChannel(dest_channel) : nullptr;
    if (dest_channel >= 0 && (!destination || destination == this)) return 0;
    KZAPI::CMutexLock lock(GetCallMutex());
    const KZ_SIP_CALL_STATUS status = GetSIPStatus();
    const bool challenged = m_credit_pending != Credit::None;
    if (status == SIP_CALL_CONNECTED || status == SIP_CALL_HELD ||
        (status == SIP_CALL_REFER_SENT && challenged)) {
        char value[kTextSize];
        if (KZAPI::istarts_with(target, "<sip:"))
            KZAPI::str_cpy(value, target, sizeof(value));
        else
            KZAPI::s_printf(value, sizeof(value), "<sip:%s>", target);
        m_dest_transfer_cc = destination;
        return SendSIPRefer(Group(), value, destination ? 1 : 0);
    }
    CKZSIPServer* server = Server();
    if ((status == SIP_CALL_ACCEPTED || status == SIP_CALL_RINGING) && server && server->IsSIPServerModel() &&
        m_cur_msg) {
        // A server hands an unanswered call to its proxy instead of referring it.
        const int handed = server->Proxy_TransferCall(GetSIPConnID(), m_cur_msg.get(), Group(), target,
                                                      m_peer_sip_address, m_peer_sip_port);
        ResetCallStatus();
        return handed > 0 ? 1 : 0;
    }
    return 0;
}

CKZSIPAPICC* CKZSIPAPICC::CallControlOfChannel(int channel_number) {
    KZAPI::CKZServer* server = KZAPI::CKZServer::GetServerObj();
    if (!server) return nullptr;
    for (int i = 0; i < server->GetNumOfChannels(); ++i) {
        KZAPI::CKZChannel* channel = server->GetChannel(i);
        if (channel && channel->GetChannelNumber() == channel_number)
            return dynamic_cast<CKZSIPAPICC*>(channel->GetCallControl());
    }
    return nullptr;
}

// "<sip:user@host:port>" from the target, with the destination call's dialog as an escaped
// Replaces header inside the brackets for an attended transfer.
void CKZSIPAPICC::BuildReferTo(const char* target, char* out, size_t size) const {
    const SIPAddressParts parts(target);
    std::string value = "<sip:";
    if (!parts.user.empty()) value += parts.user + "@";
    value += parts.host;
    if (!parts.port.empty()) value += ":" + parts.port;
    if (const CKZSIPAPICC* destination = m_dest_transfer_cc) {
        // The far end's new INVITE names the dialog as its recipient knows it: its own tag as
        // to-tag, this side's as from-tag.
        const bool outbound = destination->IsOutbound();
        const char* remote_tag = outbound ? destination->GetToTag() : destination->GetFromTag();
        const char* local_tag = outbound ? destination->GetFromTag() : destination->GetToTag();
        char dialog[3 * kTextSize + 32], escaped[sizeof(dialog) * 3];
        KZAPI::s_printf(dialog, sizeof(dialog), "%s;to-tag=%s;from-tag=%s", destination->GetCallID(),
                        remote_tag, local_tag);
        KZAPI::KZ_Replace_Alt_Chars(dialog, escaped, sizeof(escaped));
        value += std::string("?Replaces=") + escaped;
    }
    value += ">";
    KZAPI::str_cpy(out, value.c_str(), size);
}

unsigned CKZSIPAPICC::SendSIPRefer(CKZSIPGroup*, const char* target, int attended) {
    KZAPI::CMutexLock lock(GetCallMutex());
    // Without a target the last REFER goes again (it drew a challenge).
    const std::string wanted = target ? target : m_transfer_source;
    if (wanted.empty()) return 0;
    if (!attended && target) m_dest_transfer_cc = nullptr;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "****CKZSIPAPICC::SendSIPRefer m_pDestTransferChanCC is %d****",
                         m_dest_transfer_cc ? 1 : 0);
    const SIPMessagePtr message = AllocSIPMessage();
    if (!message) return 0;
    char from[kTextSize], to[kTextSize], uri[kTextSize], refer_to[2 * kTextSize + 4 * kTextSize];
    BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));
    BuildReferTo(wanted.c_str(), refer_to, sizeof(refer_to));
    // The contact with its transport is kept: the NOTIFYs of the refer subscription come to it.
    char contact[sizeof(m_local_contact)];
    ContactForTransport(m_local_contact, contact, sizeof(contact));
    KZAPI::str_cpy(m_local_contact, contact, sizeof(m_local_contact));
    const char* referred_by = std::strstr(from, "<sip:");
    sip_msg* refer = message.get();
    uint32_t result = AddCommonRequestElements(refer, "REFER", from, to, uri, m_local_contact);
    result |= CKZSIPGroup::MSG_SetIE_STR(refer, KZ_IE_SIP_REFER_TO, 0, refer_to);
    result |= CKZSIPGroup::MSG_SetIE_STR(refer, KZ_IE_SIP_REFERRED_BY, 0, referred_by ? referred_by : from);
    if (result != 0 || SendInDialogRequest(refer, "REFER") != 0) return 0;
    SetSIPStatus(SIP_CALL_REFER_SENT);
    KZAPI::str_cpy(m_transfer_source, wanted.c_str(), sizeof(m_transfer_source));
    return 1;
}

unsigned CKZSIPAPICC::OnReferNotify(CKZSIPGroup* group) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_cur_msg) return 0;
    char event[CKZSIPGroup::kIEBufferSize] = "", state[CKZSIPGroup::kIEBufferSize] = "",
         code[CKZSIPGroup::kIEBufferSize] = "", text[CKZSIPGroup::kIEBufferSize] = "";
    ReadCurIE(KZ_IE_SIP_EVENT, event);
    ReadCurIE(KZ_IE_SIP_SUBSCRIPTION_STATE, state);
    ReadCurIE(KZ_IE_SIP_FRAG_SIP_CODE, code);
    ReadCurIE(KZ_IE_SIP_FRAG_SIP_CODE_TXT, text);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::OnReferNotify %s, %s, %s, %s", event,
                         state, code, text);
    if (!group) return 0;
    if (!KZAPI::contains_no_case(event, "refer")) {
        group->SIP_Send4xx(m_cur_msg.get(), GetSIPConnID(), "488", "Not Acceptable Here");
        return 0;
    }
    const int status = std::atoi(code);
    if (status > 0) ReportTransferProgress(status, text);
    group->SIP_SendOK(m_cur_msg.get(), GetSIPConnID(), false, "", -1);
    OnReferNotifyOutcome(status, state);
    return 1;
}

void CKZSIPAPICC::OnReferNotifyOutcome(int code, const char* state) {
    const bool succeeded = code >= 200 && code < 300;
    if (!m_dest_transfer_cc) {
        // Blind: the far end's new call answered, so this side leaves; a failure keeps the call.
        if (succeeded) {
            SetSIPStatus(SIP_CALL_CONNECTED);
            DisconnectCall();
        } else if (code >= 300) {
            SetSIPStatus(SIP_CALL_CONNECTED);
        }
        return;
    }
    // Attended: the subscription's expiry bounds how long the consultation call is kept waiting.
    const char* expires = KZAPI::contains_no_case(state, "active") ? std::strstr(state, "expires=") : nullptr;
    if (code == 100 && expires && std::atoi(expires + std::strlen("expires=")) > 0) {
        StartAppTimer(static_cast<unsigned>(std::atoi(expires + std::strlen("expires="))) * 1000u);
    } else if (succeeded && KZAPI::contains_no_case(state, "terminated")) {
        StopAppTimer();
        m_dest_transfer_cc = nullptr;
        SetSIPStatus(SIP_CALL_CONNECTED);
        DisconnectCall();
    } else if (code >= 300) {
        StopAppTimer();
        m_dest_transfer_cc = nullptr;
        SetSIPStatus(SIP_CALL_CONNECTED);
    }
}

// ---- transfer: the far end refers this side elsewhere ----

unsigned CKZSIPAPICC::OnRefer(CKZSIPGroup* group) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_cur_msg || !group) return 0;
    char to[CKZSIPGroup::kIEBufferSize] = "", refer_to[CKZSIPGroup::kIEBufferSize] = "";
    ReadCurIE(KZ_IE_SIP_TO, to);
    if (!ReadCurIE(KZ_IE_SIP_REFER_TO, refer_to) || !refer_to[0]) {
        group->SIP_Send4xx(m_cur_msg.get(), GetSIPConnID(), "400", "Bad Request");
        return 0;
    }
    TakeReferTarget(refer_to);
    KZAPI::str_cpy(m_transfer_source, to, sizeof(m_transfer_source));
    ReadCurIE(KZ_IE_SIP_CONTACT, m_refer_contact, sizeof(m_refer_contact));
    const bool attended = m_replaces_call_id[0] != '\0';
    if (GetAutoTransfer() != 0) SetAutoTransfer(attended ? 2 : 1);
    OnCallTransfering(m_refer_to, m_replaces_call_id, m_replaces_from_tag, m_replaces_to_tag);

    if (GetAutoTransfer() == 0) {
        ClearTransferFields();
        group->SIP_Send4xx(m_cur_msg.get(), GetSIPConnID(), "488", "Not Acceptable Here");
        return 0;
    }
    if (SendResponseToCurrent(202, "Accepted") != 0) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR,
            "Error: Failed to send SIP '202' message when received a refer message for transfering!");
        ClearTransferFields();
        return 0;
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Accepted transfering!");
    SetSIPStatus(SIP_CALL_REFER_RECEIVED);
    SendSIPTransferNotify(group, "refer", "active;expires=60", "SIP/2.0", "100", "Trying");
    // A blind transfer is placed once this call ends: the far end hears at once that it may go.
    if (GetAutoTransfer() == 1)
        SendSIPTransferNotify(group, "refer", "terminated;reason=noresource", "SIP/2.0", "200", "OK");
    if (KZAPI::CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.set.refer.addr", 1) == 0) SetAutoTransfer(1);
    return 1;
}

// The Refer-To value becomes the target; a Replaces header inside it (escaped, after "?") is cut
// off and read into the replaces fields.
void CKZSIPAPICC::TakeReferTarget(const char* refer_to) {
    m_replaces_call_id[0] = m_replaces_from_tag[0] = m_replaces_to_tag[0] = '\0';
    if (!KZAPI::contains_no_case(refer_to, "Replaces=")) {
        KZAPI::str_cpy(m_refer_to, refer_to, sizeof(m_refer_to));
        return;
    }
    char plain[CKZSIPGroup::kIEBufferSize];
    KZAPI::KZ_Check_Alt_Chars(refer_to, plain, sizeof(plain));
    std::string target = plain;
    const size_t question = target.find('?');
    std::string headers = question == std::string::npos ? "" : target.substr(question + 1);
    target = target.substr(0, question);
    if (!target.empty() && target.front() == '<' && target.back() != '>') target += ">";
    KZAPI::str_cpy(m_refer_to, target.c_str(), sizeof(m_refer_to));
    // Other URI headers may follow Replaces after "&".
    const size_t replaces = KZAPI::find_no_case(headers, "Replaces=");
    headers = replaces == std::string::npos ? "" : headers.substr(replaces);
    headers = headers.substr(0, headers.find_first_of("&>"));
    ParseReplaces(headers.c_str());
}

void CKZSIPAPICC::ClearTransferFields() {
    m_refer_to[0] = m_transfer_source[0] = m_refer_contact[0] = '\0';
    m_replaces_call_id[0] = m_replaces_from_tag[0] = m_replaces_to_tag[0] = '\0';
}

unsigned CKZSIPAPICC::SendSIPTransferNotify(CKZSIPGroup*, const char* event, const char* state,
                                            const char* version, const char* code, const char* text) {
    KZAPI::CMutexLock lock(GetCallMutex());
    const SIPMessagePtr message = AllocSIPMessage();
    if (!message) return 0;
    char from[kTextSize], to[kTextSize], uri[kTextSize];
    BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));
    sip_msg* notify = message.get();
    uint32_t result = AddCommonRequestElements(notify, "NOTIFY", from, to, uri, m_local_contact);
    const struct {
        uint32_t id;
        const char* value;
    } elements[] = {
        {KZ_IE_SIP_EVENT, event},
        {KZ_IE_SIP_SUBSCRIPTION_STATE, state},
        {KZ_IE_SIP_FRAG_SIP_VERSION, version},
        {KZ_IE_SIP_FRAG_SIP_CODE, code},
        {KZ_IE_SIP_FRAG_SIP_CODE_TXT, text},
    };
    for (const auto& e : elements)
        if (e.value && *e.value) result |= CKZSIPGroup::MSG_SetIE_STR(notify, e.id, 0, e.value);
    if (result != 0 || SendInDialogRequest(notify, "NOTIFY") != 0) return 0;
    SetSIPStatus(SIP_CALL_NOTIFY_SENT);
    return 1;
}

// Places the call a release left pending: a followed redirection or a received REFER. Auto-transfer
// 1 places it from this channel, 2 from an idle one whose call reports back through DoTransfer2.
unsigned CKZSIPAPICC::DoTransfer() {
    const ServerLock server_lock; // the call placed reads the server's accounts
    std::string source, target;
    int mode = 0;
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        if (m_refer_to[0] == '\0') return 0;
        source = m_transfer_source;
        target = m_refer_to;
        mode = GetAutoTransfer();
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::DoTransfer %s -> %s (auto transfer %d)",
                         source.c_str(), target.c_str(), mode);
    // Another channel's call is set up outside this call's lock: that call reports back into
    // this one under its own lock (DoTransfer2), so holding both here would invert the order.
    CKZSIPAPICC* other = mode == 2 ? IdleTransferCallControl() : nullptr;
    // This call may already be over and its own channel the idle one: place it from here.
    if (other == this) other = nullptr, mode = 1;
    unsigned placed = 0;
    if (mode == 2 && other) {
        other->SetOrgTransferChanCallControl(this);
        placed = other->SetupCall(source.c_str(), target.c_str());
    }
    KZAPI::CMutexLock lock(GetCallMutex());
    if (mode == 1) placed = SetupCall(source.c_str(), target.c_str());
    ClearTransferFields();
    m_org_transfer_cc = nullptr;
    return placed;
}

void CKZSIPAPICC::SetOrgTransferChanCallControl(CKZSIPAPICC* origin) {
    KZAPI::CMutexLock lock(GetCallMutex());
    m_org_transfer_cc = origin == this ? nullptr : origin;
    if (!m_org_transfer_cc) return;
    KZAPI::str_cpy(m_replaces_call_id, origin->m_replaces_call_id, sizeof(m_replaces_call_id));
    KZAPI::str_cpy(m_replaces_from_tag, origin->m_replaces_from_tag, sizeof(m_replaces_from_tag));
    KZAPI::str_cpy(m_replaces_to_tag, origin->m_replaces_to_tag, sizeof(m_replaces_to_tag));
    KZAPI::str_cpy(m_refer_contact, origin->m_refer_contact, sizeof(m_refer_contact));
}

CKZSIPAPICC* CKZSIPAPICC::IdleTransferCallControl() {
    KZAPI::CKZServer* server = KZAPI::CKZServer::GetServerObj();
    KZAPI::CKZChannel* channel =
        server ? server->GetIdleChannel(KIND_SIP, KZAPI::CKZChannel::DIRECTION_OUT) : nullptr;
    return channel ? dynamic_cast<CKZSIPAPICC*>(channel->GetCallControl()) : nullptr;
}

// The transfer call placed for the far end's REFER has connected (result 1) or ended without
// connecting (0): the far end hears the outcome and the refer subscription ends.
unsigned CKZSIPAPICC::DoTransfer2(CKZSIPGroup* group, int result) {
    KZAPI::CMutexLock lock(GetCallMutex());
    const unsigned sent =
        result ? SendSIPTransferNotify(group, "refer", "terminated;reason=noresource", "SIP/2.0", "200", "OK")
               : SendSIPTransferNotify(group, "refer", "terminated;reason=noresource", "SIP/2.0", "503",
                                       "Service Unavailable");
    SetSIPStatus(result ? SIP_CALL_FINAL_NOTIFY_SENT : SIP_CALL_CONNECTED);
    return sent;
}
