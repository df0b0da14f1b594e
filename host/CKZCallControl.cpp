#include "host/CKZCallControl.h"

namespace KZAPI {

namespace {
std::atomic<CKZCallEventSink*> g_event_sink{nullptr};
} // namespace

void CKZCallControl::SetEventSink(CKZCallEventSink* sink) {
    g_event_sink.store(sink);
}

CKZCallEventSink* CKZCallControl::GetEventSink() {
    return g_event_sink.load();
}

void CKZCallControl::OnStatusChanged(int old_status, int new_status) {
    if (CKZCallEventSink* sink = GetEventSink()) sink->OnCallStatus(*this, old_status, new_status);
}

unsigned CKZCallControl::ResetCallStatus() {
    ResetCall();
    return 1;
}

unsigned CKZCallControl::OnOffered(void*, void*) {
    SetDisconnectCause(0, "");
    SetStatus(CALL_STATUS_OFFERED);
    return 1;
}

unsigned CKZCallControl::OnSetup() {
    if (GetDND()) {
        SetDisconnectCause(kDNDCauseCode, kDNDCauseText);
        DisconnectCall();
        return 1;
    }
    if (GetAutoAnswer()) return AnswerOffered();
    if (GetAutoAccept()) AcceptCall();
    if (GetAutoRing()) RingCall();
    return 1;
}

unsigned CKZCallControl::AnswerOffered() {
    CMutexLock lock(GetCallMutex()); // the ACK that connects the call waits for this lock
    if (GetCallStatus() != CALL_STATUS_OFFERED || !AnswerCall()) return 0;
    if (GetCallStatus() == CALL_STATUS_OFFERED) SetStatus(CALL_STATUS_ANSWERING);
    return 1;
}

unsigned CKZCallControl::OnSessionProgress() {
    if (CKZCallEventSink* sink = GetEventSink()) sink->OnCallProgress(*this);
    return 1;
}

unsigned CKZCallControl::OnConnect() {
    if (!SendConnAck()) return 0;
    SetStatus(CALL_STATUS_CONNECTED);
    return 1;
}

unsigned CKZCallControl::OnConnAck() {
    SetStatus(CALL_STATUS_CONNECTED);
    return 1;
}

unsigned CKZCallControl::OnDisconnect() {
    return ReleaseCall();
}

} // namespace KZAPI
