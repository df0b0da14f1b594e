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
