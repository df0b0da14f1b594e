// The status timers and the release decision: a call left too long in a status that waits for
// the far end is ended, with the timeout as disconnect cause.
#include "callcontrol/CKZSIPAPICC.h"

#include "host/CKZLogInterface.h"

using KZAPI::CKZLogInterface;

namespace {

struct StatusTimeout {
    KZ_SIP_CALL_STATUS status;
    unsigned period_ms;
    const char* log_text;
    const char* cause_text;
};

// The statuses that wait for the far end, how long they wait, and what the expiry says.
constexpr StatusTimeout kStatusTimeouts[] = {
    {SIP_CALL_ANSWERED, 5000, "Disconnect call because of no ACK response!", "No ACK response, Time-out"},
    {SIP_CALL_RECEIVED_TRYING, 30000, "Disconnect call because of RECEIVED_TRYING timeout!",
     "Trying Time-out"},
    {SIP_CALL_RECEIVED_RINGING, 120000, "Disconnect call because of RECEIVED_RINGING timeout!",
     "Ringing Time-out"},
    {SIP_CALL_RECEIVED_SESSION_PROGRESS, 120000,
     "Disconnect call because of RECEIVED_SESSION_PROGRESS timeout!", "Session Progress Time-out"},
    {SIP_CALL_NOTIFY_ACCEPTED, 3000, "Received Notify OK, but remote didn't disconnect in 3 seconds!",
     "Notify OK no disconnect Time-out"},
};

const StatusTimeout* find_timeout(KZ_SIP_CALL_STATUS status) {
    for (const auto& timeout : kStatusTimeouts)
        if (timeout.status == status) return &timeout;
    return nullptr;
}

} // namespace

unsigned CKZSIPAPICC::GetSIPStatusTimeout(KZ_SIP_CALL_STATUS status) {
    const StatusTimeout* timeout = find_timeout(status);
    return timeout ? timeout->period_ms : 0;
}

unsigned CKZSIPAPICC::StartSIPStatusTimer() {
    const unsigned period = GetSIPStatusTimeout(GetSIPStatus());
    return period ? StartAppTimer(period) : 0;
}

void CKZSIPAPICC::OnAppTimer() {
    CKZSIPAPICC* destination = nullptr;
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        const KZ_SIP_CALL_STATUS status = GetSIPStatus();
        if (status == SIP_CALL_REFER_SENT)
            destination = EndUnansweredAttendedTransfer();
        else if (const StatusTimeout* timeout = find_timeout(status))
            DisconnectOnTimeout(timeout->log_text, timeout->cause_text);
    }
    // The consultation call is ended outside this call's lock: it takes its own.
    if (destination) destination->DisconnectCall();
}

void CKZSIPAPICC::DisconnectOnTimeout(const char* log_text, const char* cause_text) {
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "%s", log_text);
    SetDisconnectCause(kTimeoutCauseCode, cause_text);
    DisconnectSIPCall();
}

CKZSIPAPICC* CKZSIPAPICC::EndUnansweredAttendedTransfer() {
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                         "Attended transfer -> sent REFER, but trying expired. So "
                         "disconnect the dest channel, and keep this call");
    CKZSIPAPICC* destination = m_dest_transfer_cc;
    if (destination) destination->SetSIPStatus(SIP_CALL_CONNECTED);
    SetSIPStatus(SIP_CALL_CONNECTED);
    m_dest_transfer_cc = nullptr;
    return destination;
}

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
