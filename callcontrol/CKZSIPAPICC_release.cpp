// Call release: hanging up in every status, answering the remote's BYE or CANCEL, and bringing
// the record back to idle.
#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZChannel.h"
#include "host/CKZServer.h"
#include "media/CKZDXSoundChannel.h"

#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPServer.h"
#include "server/SIPElement.h"
#include "sipmsg/kz_sip_defs.h"

#include <cstdlib>
#include <cstring>
#include <string>

using KZAPI::CKZLogInterface;

namespace {

// A call that ends takes its channel off the local sound device, so that the next call on the
// channel starts off it.
void LeaveSoundDevice(KZAPI::CKZChannel* channel) {
    const auto* sound = dynamic_cast<const CKZDXSoundChannel*>(channel);
    if (!sound || !sound->IsDXSoundOpen()) return;
    if (KZAPI::CKZServer* server = KZAPI::CKZServer::GetServerObj()) server->StopDXAudio(channel);
}

constexpr uint16_t kDefaultSIPPort = 5060;
constexpr int kBusyCode = 486;
constexpr const char* kBusyText = "Busy Here";
// "kzsrv.sip.outbound.via.type": where a CANCEL goes when the call names no peer.
enum : int { VIA_NONE = 0, VIA_ACCOUNT_PROXY = 1, VIA_OUTBOUND_PROXY = 2 };

// Host and port of a proxy text ("host", "host:port", "sip:host:port"); false without a host.
bool proxy_address(const char* proxy, char* address, size_t size, uint16_t& port) {
    char copy[CKZSIPGroup::kIEBufferSize];
    KZAPI::str_cpy(copy, proxy ? proxy : "", sizeof(copy));
    char *user = nullptr, *host = nullptr, *port_text = nullptr;
    if (CKZSIPGroup::GetSIPAddressInfo(copy, &user, &host, &port_text) != 1 || !host || !*host) return false;
    KZAPI::str_cpy(address, host, size);
    const int number = port_text ? std::atoi(port_text) : 0;
    port = number > 0 && number <= 0xFFFF ? static_cast<uint16_t>(number) : kDefaultSIPPort;
    return true;
}

} // namespace

unsigned CKZSIPAPICC::DisconnectCall() {
    KZAPI::CMutexLock lock(GetCallMutex());
    CKZCallControl::DisconnectCall();
    const unsigned sent = DisconnectSIPCall();
    if (sent) SetStatus(CALL_STATUS_DISCONNECTED);
    return sent;
}

CKZSIPAPICC::Release CKZSIPAPICC::ReleaseFor(KZ_SIP_CALL_STATUS status) const {
    switch (status) {
    case SIP_CALL_CONNECTED:
    case SIP_CALL_NOTIFY_ACCEPTED:
    case SIP_CALL_NOTIFY_SENT:
    case SIP_CALL_FINAL_NOTIFY_SENT:
        return Release::Bye;
    case SIP_CALL_ANSWERED:
        if (!IsOutbound()) return Release::Bye;
        break;
    case SIP_CALL_RECEIVED_TRYING:
    case SIP_CALL_RECEIVED_RINGING:
    case SIP_CALL_RECEIVED_SESSION_PROGRESS:
        return Release::Cancel;
    case SIP_CALL_ACCEPTED:
    case SIP_CALL_RINGING:
        return Release::ErrorResponse;
    case SIP_CALL_CALLING:
        return Release::ByeThenReset;
    default:
        if (status >= SIP_CALL_HOLD_SENT && status <= SIP_CALL_REMOTE_UNHOLD_ACCEPTED) return Release::Bye;
        break;
    }
    return GetCallStatus() == CALL_STATUS_OFFERED ? Release::ErrorResponse : Release::None;
}

unsigned CKZSIPAPICC::DisconnectSIPCall() {
    char uri[kTextSize];
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::DisconnectSIPCall szURIStr:%s", uri);
    StopAppTimer();
    CloseRTPSocket();
    LeaveSoundDevice(GetChannel());
    const Release release = ReleaseFor(GetSIPStatus());
    const int connection = static_cast<int>(GetSIPConnID());
    switch (release) {
    case Release::None:
        return 0;
    case Release::ByeThenReset:
        // Nothing came back for the INVITE yet: the BYE is a courtesy, the call ends here.
        SendRelease(Release::Bye);
        ResetCallStatus();
        return 0;
    default:
        break;
    }
    if (SendRelease(release) != 0) {
        if (release == Release::Bye)
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                                 "Error: Failed to disconnect a call, connection ID is %d", connection);
        else if (release == Release::Cancel)
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                                 "Error: Failed to cancel a call, connection ID is %d", connection);
        ResetCallStatus();
        return 0;
    }
    if (release == Release::ErrorResponse) {
        SetSIPStatus(SIP_CALL_REJECTED); // the ACK completes the release
        return 1;
    }
    SetSIPStatus(release == Release::Bye ? SIP_CALL_BYE_SENT : SIP_CALL_CANCEL_SENT);
    SetStatus(CALL_STATUS_DISCONNECTED);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Disconnecting from %s   ID:%d ...", m_peer_sip_address,
                         static_cast<int>(GetSIPConnID()));
    return 1;
}

// 0 when the release message was handed to the stack.
unsigned CKZSIPAPICC::SendRelease(Release release) {
    switch (release) {
    case Release::Bye:
    case Release::ByeThenReset:
        return SendByeInDialog();
    case Release::Cancel:
        return SendSIPCancel();
    case Release::ErrorResponse: {
        const bool has_cause = GetDisconnectCauseCode() > 0 && *GetDisconnectCauseText();
        return SendResponseToCurrent(has_cause ? GetDisconnectCauseCode() : kBusyCode,
                                     has_cause ? GetDisconnectCauseText() : kBusyText);
    }
    case Release::None:
        break;
    }
    return 0;
}

unsigned CKZSIPAPICC::SendByeInDialog() {
    char from[kTextSize], to[kTextSize], uri[kTextSize];
    BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));
    return SendSIPRequestMsgEx("BYE", from, to, uri, m_local_contact, 0, RTP_SENDRECV) == 0 ? 0 : 1;
}

unsigned CKZSIPAPICC::SendResponseToCurrent(int code, const char* text, const char* contact,
                                            unsigned with_sdp, int direction) {
    sip_msg* request = GetCurSIPMsg();
    if (!request) return 1;
    const std::string via = sip_element(request, KZ_IE_SIP_VIA_ADDRESS);
    const std::string call_id = sip_element(request, KZ_IE_SIP_CALLID);
    const std::string to = sip_element(request, KZ_IE_SIP_TO);
    const std::string from = sip_element(request, KZ_IE_SIP_FROM);
    return SendSIPResponseMsg(request, code, text, via.c_str(), call_id.c_str(), to.c_str(), from.c_str(),
                              contact ? contact : m_local_contact, with_sdp, direction) == 0
               ? 0
               : 1;
}

unsigned CKZSIPAPICC::ReleaseCall() {
    StopAppTimer();
    KZAPI::CMutexLock lock(GetCallMutex());
    CloseRTPSocket();
    LeaveSoundDevice(GetChannel());
    const KZ_SIP_CALL_STATUS status = GetSIPStatus();
    const bool unanswered = status == SIP_CALL_ACCEPTED || status == SIP_CALL_RINGING ||
                            status == SIP_CALL_ANSWERED || GetCallStatus() == CALL_STATUS_ANSWERING;
    if (unanswered) {
        // The current message is the CANCEL: the INVITE's transaction ends with 487, then the
        // CANCEL itself is answered.
        SetSIPStatus(SIP_CALL_REMOTE_CANCELLED);
        SendResponseToCurrent(487, "Request Terminated");
    } else {
        SetSIPStatus(SIP_CALL_REMOTE_RELEASED);
    }
    SendResponseToCurrent(200, "OK");
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Call terminated!");
    return 1;
}

unsigned CKZSIPAPICC::SendSIPCancel() {
    char from[kTextSize], to[kTextSize], uri[kTextSize];
    BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::SendSIPCancel szURIStr:%s", uri);
    CKZSIPGroup* group = Group();
    const SIPMessagePtr message = AllocSIPMessage();
    uint32_t connection = 0;
    if (!group || !message || group->GetConnectionId(&connection) != 0) {
        ResetCallStatus();
        return CKZSIPGroup::kFailure;
    }
    sip_msg* cancel = message.get();
    const CKZSIPServer* server = Server();
    const struct {
        uint32_t id;
        const char* value;
    } elements[] = {
        {KZ_IE_SIP_REQUEST_LINE_METHOD, "CANCEL"},
        {KZ_IE_SIP_REQUEST_LINE_PROTVERSION, "SIP/2.0"},
        {KZ_IE_SIP_TO, to},
        {KZ_IE_SIP_FROM, from},
        {KZ_IE_SIP_TO_TAG, server && !server->GetToTagFromRingForCancel() ? "" : GetToTag()},
        {KZ_IE_SIP_CONTACT, m_local_contact},
        {KZ_IE_SIP_VIA_PROTOCOL, m_transport_protocol > 0 ? "SIP/2.0/TCP" : "SIP/2.0/UDP"},
        {KZ_IE_SIP_REQUEST_LINE_URI, uri},
        {KZ_IE_SIP_MAX_FORWARDS, "70"},
        {KZ_IE_SIP_USER_AGENT, group->GetSIPUserAgent()},
    };
    for (const auto& e : elements)
        if (e.value && *e.value) CKZSIPGroup::MSG_AddIE_STR(cancel, e.id, 0, e.value);
    char via[kAddressSize + 8];
    KZAPI::s_printf(via, sizeof(via), "%s:%d", m_sdp_via.via_address, m_sdp_via.via_port);
    CKZSIPGroup::MSG_AddIE_STR(cancel, KZ_IE_SIP_VIA_ADDRESS, 0, via);
    AddCreditIntoRequest(group, cancel, nullptr, "CANCEL");
    // A CANCEL repeats its INVITE's nonce use; it carries no count of its own.
    CKZSIPGroup::MSG_RemoveIE_STR(cancel, KZ_IE_SIP_WWW_AUTH_RESP_NC, 0);
    CKZSIPGroup::MSG_RemoveIE_STR(cancel, KZ_IE_SIP_PROXY_AUTH_RESP_NC, 0);
    AddTransportElements(cancel, nullptr);

    char address[kAddressSize] = "";
    uint16_t port = 0;
    ChooseCancelDestination(address, sizeof(address), port);
    const uint32_t result = CKZSIPGroup::SendCancel(
        group->GetSIPHandle(), cancel, *address ? address : nullptr, port, connection, GetSIPConnID());
    if (result == 0)
        SetSIPConnID(connection); // the answers to the CANCEL come under the new id
    else
        ResetCallStatus();
    return result;
}

void CKZSIPAPICC::ChooseCancelDestination(char* address, size_t size, uint16_t& port) {
    if (HasForcedDestination()) {
        KZAPI::str_cpy(address, GetToIP(), size);
        port = GetToPort();
        return;
    }
    if (*m_peer_sip_address && m_peer_sip_port) {
        KZAPI::str_cpy(address, m_peer_sip_address, size);
        port = m_peer_sip_port;
        return;
    }
    const CKZSIPServer* server = Server();
    const int via_type = server ? server->GetOutboundViaType() : VIA_NONE;
    const bool found = via_type == VIA_ACCOUNT_PROXY ? proxy_address(m_account.proxy, address, size, port)
                       : via_type == VIA_OUTBOUND_PROXY
                           ? proxy_address(server->GetOutboundViaProxy(), address, size, port)
                           : false;
    if (!found) {
        address[0] = '\0';
        port = 0;
    }
}

bool CKZSIPAPICC::IsOKMsgForCancel() {
    sip_msg* response = GetCurSIPMsg();
    const std::string method = sip_element(response, KZ_IE_SIP_CSEQ_METHOD);
    if (KZAPI::iequals(method, "CANCEL")) return true;
    if (KZAPI::iequals(method, "INVITE")) return false;
    // Without a readable CSeq only the body tells: the 200 for the INVITE carries the answer.
    return sip_element(response, KZ_IE_SDP_VERSION).empty() &&
           sip_element(response, KZ_IE_SDP_MEDIA_TYPE).empty();
}

unsigned CKZSIPAPICC::OnDisconnect() {
    // The host answers the remote's BYE or CANCEL (ReleaseCall) while it is the current message.
    CKZCallControl::OnDisconnect();
    return OnRelComp();
}

unsigned CKZSIPAPICC::OnRelease() {
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        CloseRTPSocket();
        LeaveSoundDevice(GetChannel());
        ResetKeepingTransfer();
        CKZCallControl::OnRelease();
    }
    ContinuePendingTransfer();
    return 1;
}

unsigned CKZSIPAPICC::OnRelComp() {
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        ResetKeepingTransfer();
        CKZCallControl::OnRelComp();
    }
    ContinuePendingTransfer();
    return 1;
}

void CKZSIPAPICC::ResetKeepingTransfer() {
    const std::string refer_to = m_refer_to, source = m_transfer_source, contact = m_refer_contact;
    const std::string call_id = m_replaces_call_id, from_tag = m_replaces_from_tag,
                      to_tag = m_replaces_to_tag;
    ResetCallStatus();
    KZAPI::str_cpy(m_refer_to, refer_to.c_str(), sizeof(m_refer_to));
    KZAPI::str_cpy(m_transfer_source, source.c_str(), sizeof(m_transfer_source));
    KZAPI::str_cpy(m_refer_contact, contact.c_str(), sizeof(m_refer_contact));
    KZAPI::str_cpy(m_replaces_call_id, call_id.c_str(), sizeof(m_replaces_call_id));
    KZAPI::str_cpy(m_replaces_from_tag, from_tag.c_str(), sizeof(m_replaces_from_tag));
    KZAPI::str_cpy(m_replaces_to_tag, to_tag.c_str(), sizeof(m_replaces_to_tag));
}

// A transfer call that ends tells the call that asked for it; a stored transfer or redirection
// target is placed now that this call is over.
void CKZSIPAPICC::ContinuePendingTransfer() {
    if (CKZSIPAPICC* origin = m_org_transfer_cc) {
        m_org_transfer_cc = nullptr;
        origin->DoTransfer2(Group(), 0);
    }
    DoTransfer();
}
