// CKZSIPCallControlI: what the event dispatch needs of a channel's SIP call beyond the host's
// call-control face: the SIP status, the current message and the dialog's ids. The call control
// (above the server) implements it; the dispatch reaches it from the host's CKZCallControl with
// AsSIPCallControl, so the server does not depend on the call-control library.
#pragma once

#include "host/CKZCallControl.h"

#include <cstdint>

class sip_msg;
class CKZSIPGroup;
struct KZSIPEvent;
struct kz_sip_user_reg_profile;

// The SIP status of a call control. 5-8 and 18 are never set.
enum KZ_SIP_CALL_STATUS : int {
    SIP_CALL_IDLE = 0,
    SIP_CALL_ACCEPTED = 1,
    SIP_CALL_RINGING = 2,
    SIP_CALL_ANSWERED = 3,
    SIP_CALL_REJECTED = 4,
    SIP_CALL_CALLING = 9,
    SIP_CALL_BYE_SENT = 10,
    SIP_CALL_CANCEL_SENT = 11,
    SIP_CALL_RECEIVED_TRYING = 12,
    SIP_CALL_RECEIVED_RINGING = 13,
    SIP_CALL_RECEIVED_SESSION_PROGRESS = 14,
    SIP_CALL_REMOTE_CANCELLED = 15,
    SIP_CALL_REMOTE_RELEASED = 16,
    SIP_CALL_CONNECTED = 17,
    SIP_CALL_REINVITE_ACCEPTED = 19,
    SIP_CALL_HOLD_SENT = 20,
    SIP_CALL_REMOTE_HOLD_ACCEPTED = 21,
    SIP_CALL_HELD = 22,
    SIP_CALL_REMOTE_HELD = 23,
    SIP_CALL_UNHOLD_SENT = 24,
    SIP_CALL_REMOTE_UNHOLD_ACCEPTED = 25,
    SIP_CALL_REFER_SENT = 26,
    SIP_CALL_REFER_RECEIVED = 27,
    SIP_CALL_NOTIFY_SENT = 28,
    SIP_CALL_NOTIFY_ACCEPTED = 29,
    SIP_CALL_FINAL_NOTIFY_SENT = 30,
};

class CKZSIPCallControlI {
public:
    virtual KZ_SIP_CALL_STATUS GetSIPStatus() const = 0;
    virtual void SetSIPStatus(KZ_SIP_CALL_STATUS status) = 0;

    // Makes the message of a stack event the current message (fetched through the SIP group).
    // With reason non-zero the message also becomes the disconnect cause. 1 on success.
    virtual unsigned SetCurSIPMsg(const KZSIPEvent* event, unsigned reason) = 0;
    // The same with a message already fetched (owned from now on), its sender address and port.
    virtual unsigned SetCurSIPMsg(const KZSIPEvent* event, sip_msg* message, const char* address,
                                  unsigned short port, unsigned reason) = 0;
    virtual sip_msg* GetCurSIPMsg() const = 0;
    // Frees the current message; 0 when the stack refused to free it.
    virtual unsigned FreeSIPMsg() = 0;

    virtual const char* GetSIPCallID() const = 0;
    virtual void SetSIPCallID(const char* call_id) = 0;
    virtual const char* GetSIPFromTag() const = 0;
    virtual void SetSIPFromTag(const char* tag) = 0;
    virtual const char* GetSIPToTag() const = 0;
    virtual void SetSIPToTag(const char* tag) = 0;
    virtual uint32_t GetSIPConnID() const = 0;
    virtual void SetSIPConnID(uint32_t connection) = 0;
    virtual kz_sip_user_reg_profile* GetUserRegProfile() = 0;
    virtual unsigned SentCreditInLastRequest() const = 0;

    // The call's application timer (the status timers).
    virtual unsigned StartCallTimer(unsigned period_ms) = 0;
    virtual unsigned StopCallTimer() = 0;

    // ---- what the dispatch drives beyond the host's call-control face ----
    // Ends the call with the message its status calls for; 1 when a release message was sent.
    virtual unsigned DisconnectSIPCall() = 0;
    // ACK for the final response that is the current message; 1.
    virtual unsigned SendSIPAck() = 0;
    // Whether the current 200 answers this call's CANCEL (not its INVITE).
    virtual bool IsOKMsgForCancel() = 0;
    // Whether the current message's CSeq method is INVITE.
    virtual bool IsOKWithSDPForInvite() = 0;
    // A 3xx to the INVITE, after its ACK: prepares following the redirection when configured.
    virtual unsigned On3xxResponse(CKZSIPGroup* group, const KZSIPEvent* event) = 0;
    // Digest challenges: keeps the current 401/407 for the repeated request.
    virtual void SaveCreditChallengeInfo(CKZSIPGroup* group, kz_sip_user_reg_profile* account) = 0;
    virtual unsigned ResentInviteWithCredit() = 0;
    virtual unsigned ResentByeWithCredit(CKZSIPGroup* group) = 0;

    // In-dialog requests and answers to this side's re-INVITE, REFER and NOTIFY.
    virtual unsigned OnReInvite(CKZSIPGroup* group) = 0;
    virtual unsigned OnSDPChangeOK(CKZSIPGroup* group) = 0;
    virtual unsigned OnSDPChangeAck(CKZSIPGroup* group) = 0;
    virtual unsigned OnInfo(CKZSIPGroup* group) = 0;
    virtual unsigned OnRefer(CKZSIPGroup* group) = 0;
    virtual unsigned OnReferNotify(CKZSIPGroup* group) = 0;
    virtual unsigned DoTransfer2(CKZSIPGroup* group, int result) = 0;
    virtual unsigned SendSIPRefer(CKZSIPGroup* group, const char* target, int attended) = 0;
    virtual unsigned SendSIPTransferNotify(CKZSIPGroup* group, const char* event, const char* state,
                                           const char* version, const char* code, const char* text) = 0;
    // Marks the RTP direction held (after this side's hold was accepted) or reads the mark.
    virtual void SetRTPHeld(bool held) = 0;
    virtual bool IsRTPHeld() const = 0;

protected:
    ~CKZSIPCallControlI() = default; // owned and freed as a host call control
};

// The SIP face of a host call control, or null when it is not a SIP call control.
inline CKZSIPCallControlI* AsSIPCallControl(KZAPI::CKZCallControl* cc) {
    return dynamic_cast<CKZSIPCallControlI*>(cc);
}
