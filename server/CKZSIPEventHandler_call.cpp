// The call paths of the event dispatch: requests and responses that belong to a channel's call.
// Each one runs under the call's lock with the event stored as the call's current message first,
// and drives the call through the host's call-control face and its SIP face.
#include "host/CBaseThread.h"
#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "server/CKZSIPCallControlI.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/SIPReceivedMessage.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/kz_sip_defs.h"

#include <strings.h>

#include <optional>

using KZAPI::CKZLogInterface;

namespace {

constexpr unsigned kLogError = CKZLogInterface::LOG_ERROR;
constexpr unsigned kLogWarning = CKZLogInterface::LOG_WARNING;
constexpr unsigned kLogTrace = CKZLogInterface::LOG_TRACE;

// A 200 for the INVITE that crossed our CANCEL is connected first so that the far end sees a
// regular BYE; the pause lets the ACK leave before it.
constexpr unsigned kRaceDisconnectDelayMs = 50;
// Waits for the far end's BYE after our transfer NOTIFY was accepted.
constexpr unsigned kNotifyOKTimerMs = 3000;
// Host call status of a connected call (after a refused hold) and of a call being answered.
constexpr int kHostConnected = KZAPI::CKZCall::CALL_STATUS_CONNECTED;
constexpr int kHostAnswering = KZAPI::CKZCall::CALL_STATUS_ANSWERING;
// Status 18 is never set any more but is still treated like a hold in flight; statuses from
// connected up to 31 belong to an established call.
constexpr int kLegacyHoldStatus = 18;
constexpr int kLastCallStatus = 31;

constexpr unsigned kKeepCause = 0;
constexpr unsigned kAsDisconnectCause = 1;

// The call control of a channel held under its call lock while this object lives.
class HeldCall {
public:
    explicit HeldCall(KZAPI::CKZCallControl* cc) : m_cc(cc), m_sip(cc ? AsSIPCallControl(cc) : nullptr) {
        if (m_sip) m_lock.emplace(cc->GetCallMutex());
    }
    explicit operator bool() const { return m_sip != nullptr; }
    KZAPI::CKZCallControl& cc() const { return *m_cc; }
    CKZSIPCallControlI& sip() const { return *m_sip; }
    KZ_SIP_CALL_STATUS status() const { return m_sip->GetSIPStatus(); }

private:
    KZAPI::CKZCallControl* m_cc;
    CKZSIPCallControlI* m_sip;
    std::optional<KZAPI::CMutexLock> m_lock;
};

bool is_one_of(KZ_SIP_CALL_STATUS status, std::initializer_list<KZ_SIP_CALL_STATUS> statuses) {
    for (KZ_SIP_CALL_STATUS s : statuses)
        if (s == status) return true;
    return false;
}

bool is_in_call(int status) {
    return status >= SIP_CALL_CONNECTED && status <= kLastCallStatus;
}

bool is_outbound_setup(KZ_SIP_CALL_STATUS status) {
    return status == SIP_CALL_CALLING ||
           (status >= SIP_CALL_RECEIVED_TRYING && status <= SIP_CALL_RECEIVED_SESSION_PROGRESS);
}

// Whether the CSeq method of the call's current message is one of the names given.
bool cseq_is(CKZSIPCallControlI& sip, std::initializer_list<const char*> methods) {
    char method[CKZSIPGroup::kIEBufferSize] = "";
    if (CKZSIPGroup::MSG_GetIE_STR(sip.GetCurSIPMsg(), KZ_IE_SIP_CSEQ_METHOD, 0, method) != 0) return false;
    for (const char* m : methods)
        if (strcasecmp(method, m) == 0) return true;
    return false;
}

int id_of(const KZSIPEvent* event) {
    return static_cast<int>(event->connection_id);
}

const char* account_user(CKZSIPCallControlI& sip) {
    const kz_sip_user_reg_profile* account = sip.GetUserRegProfile();
    return account ? account->user_name : "";
}

} // namespace

// ---- requests ----

void CKZSIPEventHandler::CallReInvite(CKZSIPGroup* group, KZSIPEvent* event, sip_msg* request,
                                      const char* address, unsigned short port) {
    SIPMessagePtr message(request);
    HeldCall call(OwningCall(event, "SIP_REQUEST_INVITE", true));
    if (!call) return;
    const KZ_SIP_CALL_STATUS status = call.status();
    if (is_one_of(status, {SIP_CALL_CONNECTED, SIP_CALL_REINVITE_ACCEPTED, SIP_CALL_REMOTE_HOLD_ACCEPTED,
                           SIP_CALL_HELD, SIP_CALL_REMOTE_HELD, SIP_CALL_REMOTE_UNHOLD_ACCEPTED})) {
        CKZLogInterface::Log(kLogTrace, "<< ------ SIP_REQUEST_RE_INVITE, Dialog %d already exists.",
                             id_of(event));
        call.sip().SetCurSIPMsg(event, message.release(), address, port, kKeepCause);
        call.sip().OnReInvite(group);
    } else if (is_one_of(status, {SIP_CALL_ACCEPTED, SIP_CALL_RINGING})) {
        CKZLogInterface::Log(
            kLogTrace,
            "<< ------ SIP_REQUEST_RE_INVITE, Dialog %d already exists. May not get trying or "
            "ring. Send trying again",
            id_of(event));
        group->SIP_Send1xx(message.get(), event->connection_id, "100", "Trying");
    } else {
        CKZLogInterface::Log(
            kLogTrace, "<< ------ SIP_REQUEST_INVITE, Dialog %d already exists, but not in connected status.",
            id_of(event));
    }
}

void CKZSIPEventHandler::NewCallOnChannel(CKZSIPGroup*, KZSIPEvent* event, KZAPI::CKZChannel* channel,
                                          sip_msg* request, const char* address, unsigned short port) {
    SIPMessagePtr message(request);
    HeldCall call(channel->GetCallControl());
    if (!call) return;
    call.sip().SetCurSIPMsg(event, message.release(), address, port, kKeepCause);
    call.sip().SetSIPConnID(event->connection_id);
    call.cc().OnOffered(nullptr, nullptr);
    call.cc().OnSetup();
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_ACK(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Request(group, event)) return;
    HeldCall call(OwningCall(event, "SIP_REQUEST_ACK", false));
    if (!call) return; // an ACK is never answered
    call.sip().SetCurSIPMsg(event, kKeepCause);
    switch (call.status()) {
    case SIP_CALL_ANSWERED:
        call.sip().StopCallTimer();
        call.sip().OnSDPChangeAck(group);
        call.cc().OnConnAck();
        break;
    case SIP_CALL_REJECTED:
        call.cc().OnRelComp();
        break;
    case SIP_CALL_REMOTE_HOLD_ACCEPTED:
        call.sip().SetSIPStatus(SIP_CALL_REMOTE_HELD);
        call.cc().OnCallHolding(1);
        break;
    case SIP_CALL_REMOTE_UNHOLD_ACCEPTED:
        call.sip().OnSDPChangeAck(group);
        call.sip().SetSIPStatus(SIP_CALL_CONNECTED);
        call.cc().OnCallHolding(0);
        break;
    case SIP_CALL_REINVITE_ACCEPTED:
        call.sip().OnSDPChangeAck(group);
        call.sip().SetSIPStatus(SIP_CALL_CONNECTED);
        break;
    default:
        break;
    }
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_BYE(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Request(group, event)) return;
    HeldCall call(OwningCall(event, "SIP_REQUEST_BYE", true));
    if (!call) return;
    call.sip().SetCurSIPMsg(event, kAsDisconnectCause);
    // In a confirmed dialog the call control answers and releases on its own; before that the
    // release has to be asked for as well.
    const bool established = is_one_of(
        call.status(), {SIP_CALL_CONNECTED, SIP_CALL_HELD, SIP_CALL_REMOTE_HELD, SIP_CALL_REFER_SENT,
                        SIP_CALL_NOTIFY_SENT, SIP_CALL_NOTIFY_ACCEPTED, SIP_CALL_FINAL_NOTIFY_SENT});
    call.cc().OnDisconnect();
    if (!established) call.cc().OnRelease();
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_CANCEL(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Request(group, event)) return;
    HeldCall call(OwningCall(event, "SIP_RESPONSE_CANCEL", true));
    if (!call) return;
    call.sip().SetCurSIPMsg(event, kAsDisconnectCause);
    const KZ_SIP_CALL_STATUS status = call.status();
    const bool unanswered = is_one_of(status, {SIP_CALL_ACCEPTED, SIP_CALL_RINGING}) ||
                            (status == SIP_CALL_ANSWERED && call.cc().GetCallStatus() == kHostAnswering);
    if (!unanswered) {
        CKZLogInterface::Log(kLogWarning, "<< ------ SIP_RESPONSE_CANCEL, not in right status.");
        return;
    }
    call.cc().OnDisconnect();
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_INFO(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Request(group, event)) return;
    SIPReceivedMessage request(group, event);
    if (!request) return;
    {
        HeldCall call(OwningCall(event, "SIP_REQUEST_INFO", true));
        if (call) {
            call.sip().SetCurSIPMsg(event, kKeepCause);
            if (is_one_of(call.status(), {SIP_CALL_CONNECTED, SIP_CALL_HELD, SIP_CALL_REMOTE_HELD}))
                call.sip().OnInfo(group);
        }
    }
    group->SIP_SendOK(request.get(), event->connection_id, false, "", -1);
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_REFER(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Request(group, event)) return;
    HeldCall call(OwningCall(event, "SIP_REQUEST_REFER", true));
    if (!call) return;
    call.sip().SetCurSIPMsg(event, kKeepCause);
    // OnRefer answers the REFER itself (202, or a refusal).
    if (is_one_of(call.status(), {SIP_CALL_CONNECTED, SIP_CALL_REMOTE_HELD})) call.sip().OnRefer(group);
}

void CKZSIPEventHandler::CallNotify(CKZSIPGroup* group, KZSIPEvent* event) {
    HeldCall call(OwningCall(event, "SIP_REQUEST_NOTIFY", false));
    if (!call) return;
    call.sip().SetCurSIPMsg(event, kKeepCause);
    if (call.status() == SIP_CALL_REFER_SENT) call.sip().OnReferNotify(group);
}

// ---- responses ----

void CKZSIPEventHandler::ProcessSIPEvent_RESPONSE_TRYING(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    HeldCall call(OwningCall(event, "SIP_TRYING_VALUE", false));
    if (!call) return;
    call.sip().SetCurSIPMsg(event, kKeepCause);
    if (call.status() != SIP_CALL_CALLING) return;
    CKZLogInterface::Log(kLogTrace, "Trying ...");
    call.cc().OnTrying();
}

void CKZSIPEventHandler::ProcessSIPEvent_RESPONSE_RINGING(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    HeldCall call(OwningCall(event, "SIP_RINGING_VALUE", false));
    if (!call) return;
    call.sip().SetCurSIPMsg(event, kKeepCause);
    if (!is_one_of(call.status(),
                   {SIP_CALL_CALLING, SIP_CALL_RECEIVED_TRYING, SIP_CALL_RECEIVED_SESSION_PROGRESS}))
        return;
    CKZLogInterface::Log(kLogTrace, "Ringing ...");
    call.cc().OnRinging();
}

void CKZSIPEventHandler::ProcessSIPEvent_RESPONSE_SESSIONPROGRESS(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    HeldCall call(OwningCall(event, "SIP_SESSIONPROGRESS_VALUE", false));
    if (!call) return;
    call.sip().SetCurSIPMsg(event, kKeepCause);
    if (!is_one_of(call.status(), {SIP_CALL_CALLING, SIP_CALL_RECEIVED_TRYING, SIP_CALL_RECEIVED_RINGING}))
        return;
    CKZLogInterface::Log(kLogTrace, "Session Progress ...");
    call.cc().OnSessionProgress();
}

void CKZSIPEventHandler::CallAnsweredOK(CKZSIPGroup* group, KZSIPEvent* event) {
    // An attended transfer is placed once the call's lock is let go: the new call, on another
    // channel, takes this one's lock when it reports back.
    if (KZAPI::CKZCallControl* transfer = AnswerCall(group, event)) transfer->DoTransfer();
}

KZAPI::CKZCallControl* CKZSIPEventHandler::AnswerCall(CKZSIPGroup* group, KZSIPEvent* event) {
    HeldCall call(OwningCall(event, "SIP_RESPONSE_OK", false));
    if (!call) return nullptr;
    CKZSIPCallControlI& sip = call.sip();
    KZAPI::CKZCallControl& cc = call.cc();
    sip.SetCurSIPMsg(event, kKeepCause);
    const KZ_SIP_CALL_STATUS status = call.status();
    if (cseq_is(sip, {"PRACK"})) return nullptr;
    if (is_outbound_setup(status) && cseq_is(sip, {"INVITE"})) {
        cc.OnConnect();
    } else if (status == SIP_CALL_BYE_SENT && cseq_is(sip, {"BYE"})) {
        cc.OnRelease();
    } else if (status == SIP_CALL_CANCEL_SENT && sip.IsOKWithSDPForInvite()) {
        CKZLogInterface::Log(
            kLogWarning,
            "In race condition for Connection ID:%d. SDK received OK for INVITE after sending "
            "CANCEL out. Trying to switch the status back to connected, then disconnect.",
            id_of(event));
        sip.SetSIPStatus(SIP_CALL_CALLING);
        cc.OnConnect();
        KZAPI::CBaseThread::Sleep(kRaceDisconnectDelayMs);
        cc.DisconnectCall();
    } else if (status == SIP_CALL_CANCEL_SENT && sip.IsOKMsgForCancel()) {
        sip.SendSIPAck();
        cc.OnRelease();
    } else if (status == SIP_CALL_CONNECTED && cseq_is(sip, {"INVITE"})) {
        CKZLogInterface::Log(kLogError, "Get SIP_RESPONSE_OK when call is already connected.");
    } else if (status == SIP_CALL_HOLD_SENT && cseq_is(sip, {"HOLD", "INVITE"})) {
        sip.OnSDPChangeOK(group);
        sip.SendSIPAck();
        sip.SetSIPStatus(SIP_CALL_HELD);
        sip.SetRTPHeld(true);
        cc.OnCallHolding(1);
    } else if (status == SIP_CALL_UNHOLD_SENT && cseq_is(sip, {"HOLD", "INVITE"})) {
        sip.OnSDPChangeOK(group);
        sip.SendSIPAck();
        sip.SetSIPStatus(SIP_CALL_CONNECTED);
        if (!sip.IsRTPHeld()) cc.OnCallHolding(0);
    } else if (status == SIP_CALL_REFER_SENT && cseq_is(sip, {"REFER"})) {
        // The REFER was accepted; its NOTIFYs tell how the transfer goes.
    } else if (status == SIP_CALL_NOTIFY_SENT && cseq_is(sip, {"NOTIFY"})) {
        sip.SetSIPStatus(SIP_CALL_NOTIFY_ACCEPTED);
        const int auto_transfer = cc.GetAutoTransfer();
        if (auto_transfer == 1)
            sip.StartCallTimer(kNotifyOKTimerMs);
        else if (auto_transfer == 2)
            return &cc;
    } else if (status == SIP_CALL_FINAL_NOTIFY_SENT && cseq_is(sip, {"NOTIFY"})) {
        sip.SetSIPStatus(SIP_CALL_CONNECTED);
    } else if (is_one_of(status, {SIP_CALL_NOTIFY_ACCEPTED, SIP_CALL_CONNECTED}) &&
               cseq_is(sip, {"NOTIFY"})) {
        // The refer subscription's last NOTIFY, sent right after the first or after a failed
        // transfer call: nothing waits for it.
    } else {
        CKZLogInterface::Log(kLogError, "Got SIP_RESPONSE_OK not handled!");
    }
    return nullptr;
}

void CKZSIPEventHandler::ProcessSIPEvent_RESPONSE_3xxFinalResponse(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    HeldCall call(OwningCall(event, "3xxFinalResponse", true));
    if (!call) return;
    CKZSIPCallControlI& sip = call.sip();
    const KZ_SIP_CALL_STATUS status = call.status();
    // The redirection becomes the reason the call ended unless this side was ending it already.
    const bool ends_call = status < SIP_CALL_CONNECTED && status != SIP_CALL_CANCEL_SENT;
    sip.SetCurSIPMsg(event, ends_call ? kAsDisconnectCause : kKeepCause);
    if (is_outbound_setup(status) || status == kLegacyHoldStatus) {
        sip.StopCallTimer();
        sip.SendSIPAck();
        sip.On3xxResponse(group, event);
    } else {
        sip.SendSIPAck();
    }
    if (ends_call) call.cc().OnRelease();
}

void CKZSIPEventHandler::CallRefused(CKZSIPGroup*, KZSIPEvent* event) {
    HeldCall call(OwningCall(event, "SIP_RESPONSE_TransactionTerminated", false));
    if (!call) return;
    CKZSIPCallControlI& sip = call.sip();
    KZAPI::CKZCallControl& cc = call.cc();
    const KZ_SIP_CALL_STATUS status = call.status();
    if (status == SIP_CALL_HOLD_SENT || status == kLegacyHoldStatus) {
        // The hold was refused: the call goes on as it was.
        sip.SetCurSIPMsg(event, kKeepCause);
        sip.SendSIPAck();
        sip.SetSIPStatus(SIP_CALL_CONNECTED);
        cc.SetStatus(kHostConnected);
        cc.OnCallHolding(0);
    } else if (status < SIP_CALL_CONNECTED || status > kLastCallStatus) {
        const bool ends_call = status < SIP_CALL_CONNECTED && status != SIP_CALL_CANCEL_SENT;
        sip.SetCurSIPMsg(event, ends_call ? kAsDisconnectCause : kKeepCause);
        sip.SendSIPAck();
        cc.OnRelease();
    } else if (status == SIP_CALL_REFER_SENT) {
        sip.SetSIPStatus(SIP_CALL_CONNECTED);
    } else if (status == SIP_CALL_NOTIFY_SENT || status == SIP_CALL_FINAL_NOTIFY_SENT) {
        sip.SetSIPStatus(SIP_CALL_CONNECTED);
        if (cc.GetAutoTransfer() == 1) cc.DisconnectCall();
    }
}

void CKZSIPEventHandler::CallChallenged(CKZSIPGroup* group, KZSIPEvent* event, bool proxy_challenge) {
    HeldCall call(OwningCall(
        event, proxy_challenge ? "407(Proxy Authenication Required)" : "SIP_UNAUTHORIZED_VALUE", false));
    if (!call) return;
    CKZSIPCallControlI& sip = call.sip();
    KZAPI::CKZCallControl& cc = call.cc();
    sip.SetCurSIPMsg(event, kKeepCause);
    const KZ_SIP_CALL_STATUS status = call.status();
    const bool log = !proxy_challenge;
    if (log)
        CKZLogInterface::Log(kLogTrace, "<< ------ RESPONSE_UNAUTHORIZED user_info found %s, %d",
                             account_user(sip), static_cast<int>(status));
    auto step = [&](int number, bool sending) {
        if (!log) return;
        CKZLogInterface::Log(kLogTrace,
                             sending ? "<< ------ RESPONSE_UNAUTHORIZED-%d %d step 2"
                                     : "<< ------ RESPONSE_UNAUTHORIZED-%d %d",
                             number, static_cast<int>(status));
    };
    auto save = [&] { sip.SaveCreditChallengeInfo(group, sip.GetUserRegProfile()); };

    switch (status) {
    case SIP_CALL_CALLING:
    case SIP_CALL_RECEIVED_TRYING:
    case SIP_CALL_RECEIVED_RINGING:
        step(1, false);
        sip.StopCallTimer();
        sip.SendSIPAck();
        if (!sip.SentCreditInLastRequest()) {
            step(1, true);
            save();
            sip.ResentInviteWithCredit();
        } else if (proxy_challenge) {
            // The proxy refused the credentials themselves: asking again cannot help.
            cc.ResetCallStatus();
        }
        break;
    case SIP_CALL_HOLD_SENT:
    case SIP_CALL_UNHOLD_SENT:
        step(2, false);
        sip.SendSIPAck();
        save();
        step(2, true);
        cc.Hold();
        break;
    case SIP_CALL_REFER_SENT:
        step(3, false);
        save();
        step(3, true);
        sip.SendSIPRefer(group, nullptr, 0);
        break;
    case SIP_CALL_NOTIFY_SENT:
        step(4, false);
        save();
        step(4, true);
        sip.SendSIPTransferNotify(group, "refer", "active;expires=60", "SIP/2.0", "100", "Trying");
        break;
    case SIP_CALL_FINAL_NOTIFY_SENT:
        step(5, false);
        save();
        step(5, true);
        sip.SendSIPTransferNotify(group, "refer", "terminated;reason=noresource", "SIP/2.0", "200", "OK");
        break;
    case SIP_CALL_BYE_SENT:
        step(6, false);
        save();
        step(6, true);
        sip.ResentByeWithCredit(group);
        break;
    default:
        break;
    }
}

// ---- errors ----

void CKZSIPEventHandler::CallError(KZSIPEvent* event) {
    HeldCall call(OwningCall(event, "SIP_ERROR", true));
    if (!call) return;
    KZAPI::CKZCallControl& cc = call.cc();
    call.sip().SetCurSIPMsg(event, kKeepCause);
    const KZ_SIP_CALL_STATUS status = call.status();
    if (is_in_call(status)) {
        cc.DisconnectCall();
    } else {
        const char* text =
            status == SIP_CALL_CALLING            ? "Server/Gateway No Response, Time-out"
            : status == SIP_CALL_RECEIVED_TRYING  ? "Server/Gateway No Response, Trying Time-out"
            : status == SIP_CALL_RECEIVED_RINGING ? "Server/Gateway No Response, Ringing Time-out"
                                                  : "Server/Gateway No Response, Request Time-out";
        cc.SetDisconnectCause(504, text);
    }
    cc.ResetCallStatus();
}

void CKZSIPEventHandler::ProcessSIPEvent_NO_RESPONSE_FROM_APP(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    // Runs without the call lock: the call is being given up whatever it is doing.
    KZAPI::CKZCallControl* cc = OwningCall(event, "SIP_NO_RESPONSE_FROM_APP", true);
    CKZSIPCallControlI* sip = cc ? AsSIPCallControl(cc) : nullptr;
    if (!sip) return;
    sip->SetCurSIPMsg(event, kKeepCause);
    if (is_in_call(sip->GetSIPStatus())) cc->DisconnectCall();
    cc->ResetCallStatus();
}
