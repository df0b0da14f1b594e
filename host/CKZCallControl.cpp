#include "host/CKZCallControl.h"

#include "host/CKZAudioControl.h"

#include "host/CKZChannel.h"

#include <mutex>
#include <unordered_map>

namespace KZAPI {

namespace {

std::atomic<CKZCallEventSink*> g_event_sink{nullptr};

// Call controls by SIP reference value. Several may share a value (one per stack in a process
// with more than one). The lock is a leaf: nothing else is taken while it is held.
struct CRVIndex {
    std::mutex mutex;
    std::unordered_multimap<uint32_t, CKZCallControl*> calls;
};

CRVIndex& crv_index() {
    static CRVIndex* index = new CRVIndex; // never destroyed: call controls may outlive statics
    return *index;
}

void unfile(CRVIndex& index, uint32_t crv, const CKZCallControl* call) {
    auto [first, last] = index.calls.equal_range(crv);
    for (auto it = first; it != last; ++it)
        if (it->second == call) {
            index.calls.erase(it);
            return;
        }
}

} // namespace

CKZCallControl::~CKZCallControl() {
    SetCRV(KIND_SIP, 0);
}

void CKZCallControl::SetCRV(int kind, uint32_t crv) {
    if (kind != KIND_SIP) return;
    CRVIndex& index = crv_index();
    std::lock_guard lock(index.mutex);
    const uint32_t old = m_sip_crv.exchange(crv);
    if (old == crv) return;
    if (old != 0) unfile(index, old, this);
    if (crv != 0) index.calls.emplace(crv, this);
}

CKZChannel* CKZCallControl::FindChannelByCRV(int kind, uint32_t crv,
                                             const std::function<bool(const CKZChannel*)>& accept) {
    if (kind != KIND_SIP || crv == 0) return nullptr;
    CRVIndex& index = crv_index();
    std::lock_guard lock(index.mutex);
    auto [first, last] = index.calls.equal_range(crv);
    for (auto it = first; it != last; ++it) {
        CKZChannel* channel = it->second->GetChannel();
        if (channel && accept(channel) && channel->GetCallControl() == it->second) return channel;
    }
    return nullptr;
}

void CKZCallControl::SetEventSink(CKZCallEventSink* sink) {
    g_event_sink.store(sink);
}

CKZCallEventSink* CKZCallControl::GetEventSink() {
    return g_event_sink.load();
}

void CKZCallControl::OnStatusChanged(int old_status, int new_status) {
    if (CKZCallEventSink* sink = GetEventSink()) sink->OnCallStatus(*this, old_status, new_status);
    // What played into or was recorded from the call ends with it (and is reported as stopped).
    const bool ended = new_status == CALL_STATUS_DISCONNECTED || new_status == CALL_STATUS_IDLE;
    CKZAudioControl* audio =
        ended && old_status != new_status && GetChannel() ? GetChannel()->GetAudioControl() : nullptr;
    if (audio) {
        audio->StopPlaying(kCallEndedText);
        audio->StopRecording(kCallEndedText);
    }
}

unsigned CKZCallControl::ResetCallStatus() {
    ResetCall();
    m_held_locally = m_held_by_remote = false;
    m_in_vad = m_out_vad = 0;
    return 1;
}

void CKZCallControl::ReportHolding(bool held, bool by_remote) {
    std::atomic<bool>& state = by_remote ? m_held_by_remote : m_held_locally;
    if (state.exchange(held) == held) return;
    if (CKZCallEventSink* sink = GetEventSink()) sink->OnCallHold(*this, held, by_remote);
}

void CKZCallControl::ReportTransferProgress(int code, const char* text) {
    if (CKZCallEventSink* sink = GetEventSink()) sink->OnTransferProgress(*this, code, text ? text : "");
}

unsigned CKZCallControl::OnCallTransfering(const char* target, const char* replaces_call_id, const char*,
                                           const char*) {
    const bool attended = replaces_call_id && *replaces_call_id;
    if (CKZCallEventSink* sink = GetEventSink())
        sink->OnCallTransferring(*this, target ? target : "", attended);
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
