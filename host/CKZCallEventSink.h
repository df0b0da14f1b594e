// CKZCallEventSink: where the host's application hears of its calls. Every change of a call's host
// status and every early-media notice is reported on the thread that made it, with the call's lock
// held: a sink records or queues what it hears and never calls back into the call from here.
#pragma once

namespace KZAPI {

class CKZCallControl;

class CKZCallEventSink {
public:
    virtual ~CKZCallEventSink() = default;
    // The host status went from old_status to new_status (CKZCall::CALL_STATUS_* and the host's own).
    virtual void OnCallStatus(CKZCallControl& call, int old_status, int new_status) = 0;
    // The far end sent a session progress (early media) for an outbound call.
    virtual void OnCallProgress(CKZCallControl& call) = 0;
    // The call was put on hold or taken off it, by this side (by_remote false) or by the far end.
    virtual void OnCallHold(CKZCallControl& /*call*/, bool /*held*/, bool /*by_remote*/) {}
    // A transfer this side asked for reports how the far end's new call goes (a sipfrag status).
    virtual void OnTransferProgress(CKZCallControl& /*call*/, int /*code*/, const char* /*text*/) {}
    // The far end asked this call to be transferred to target; attended when it replaces a dialog.
    virtual void OnCallTransferring(CKZCallControl& /*call*/, const char* /*target*/, bool /*attended*/) {}
};

} // namespace KZAPI
