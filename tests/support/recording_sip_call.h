// A recording SIP call control for driving the event dispatch without the call-control library.
#pragma once

#include "host/CKZCallControl.h"
#include "server/CKZSIPCallControlI.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPMessagePtr.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"

#include <strings.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace kztest {

// A channel's SIP call control that records the operations run on it, in order, as one line
// ("Cur1 OnDisconnect OnRelease": Cur and the reason argument for each stored event). It changes
// nothing by itself beyond what it is told; Did lets a subclass act on each operation.
class RecordingSIPCall : public KZAPI::CKZCallControl, public CKZSIPCallControlI {
public:
    void Prepare(KZ_SIP_CALL_STATUS status, uint32_t connection, int host_status) {
        KZAPI::CMutexLock lock(GetCallMutex());
        std::lock_guard record(m_mutex);
        m_status = status;
        m_ops.clear();
        m_credit = 0;
        m_message.reset();
        m_held = false;
        SetCRV(KIND_SIP, connection);
        SetStatus(host_status);
        SetDisconnectCause(0, "");
    }
    // Waits until the dispatch stored an event on this call and has let go of it.
    bool WaitStored(int stored) {
        {
            std::unique_lock record(m_mutex);
            if (!m_stored_cv.wait_for(record, std::chrono::seconds(5), [&] { return m_stored >= stored; }))
                return false;
        }
        KZAPI::CMutexLock lock(GetCallMutex());
        return true;
    }
    int Stored() {
        std::lock_guard record(m_mutex);
        return m_stored;
    }
    void SetCredit(unsigned credit) { m_credit = credit; }
    std::string Ops() {
        KZAPI::CMutexLock lock(GetCallMutex());
        std::lock_guard record(m_mutex);
        return m_ops;
    }

    KZ_SIP_CALL_STATUS GetSIPStatus() const override { return m_status.load(); }
    void SetSIPStatus(KZ_SIP_CALL_STATUS status) override { m_status.store(status); }
    unsigned SetCurSIPMsg(const KZSIPEvent* event, unsigned reason) override {
        sip_msg* message = nullptr;
        CKZSIPGroup::GetMessage(event->stack, &message, nullptr, nullptr, nullptr);
        return SetCurSIPMsg(event, message, "", 0, reason);
    }
    unsigned SetCurSIPMsg(const KZSIPEvent*, sip_msg* message, const char* address, unsigned short port,
                          unsigned reason) override {
        m_message.reset(message);
        SetFromIP(address, port ? port : 5060);
        std::lock_guard record(m_mutex);
        m_ops += "Cur" + std::to_string(reason);
        ++m_stored;
        m_stored_cv.notify_all();
        return 1;
    }
    sip_msg* GetCurSIPMsg() const override { return m_message.get(); }
    unsigned FreeSIPMsg() override { return 1; }
    const char* GetSIPCallID() const override { return ""; }
    void SetSIPCallID(const char*) override {}
    const char* GetSIPFromTag() const override { return ""; }
    void SetSIPFromTag(const char*) override {}
    const char* GetSIPToTag() const override { return ""; }
    void SetSIPToTag(const char*) override {}
    uint32_t GetSIPConnID() const override { return GetCRV(KIND_SIP); }
    void SetSIPConnID(uint32_t connection) override { SetCRV(KIND_SIP, connection), Rec("SetSIPConnID"); }
    kz_sip_user_reg_profile* GetUserRegProfile() override { return nullptr; }
    unsigned SentCreditInLastRequest() const override { return m_credit; }
    unsigned StartCallTimer(unsigned ms) override {
        return Rec("StartCallTimer(" + std::to_string(ms) + ")");
    }
    unsigned StopCallTimer() override { return Rec("StopCallTimer"); }
    unsigned DisconnectSIPCall() override { return Rec("DisconnectSIPCall"); }
    unsigned SendSIPAck() override { return Rec("SendSIPAck"); }
    bool IsOKMsgForCancel() override { return CSeqIs("CANCEL"); }
    bool IsOKWithSDPForInvite() override { return CSeqIs("INVITE"); }
    unsigned On3xxResponse(CKZSIPGroup*, const KZSIPEvent*) override { return Rec("On3xxResponse"); }
    void SaveCreditChallengeInfo(CKZSIPGroup*, kz_sip_user_reg_profile*) override { Rec("Save"); }
    unsigned ResentInviteWithCredit() override { return m_credit = 1, Rec("ResentInviteWithCredit"); }
    unsigned ResentByeWithCredit(CKZSIPGroup*) override { return Rec("ResentByeWithCredit"); }
    unsigned OnReInvite(CKZSIPGroup*) override { return Rec("OnReInvite"); }
    unsigned OnSDPChangeOK(CKZSIPGroup*) override { return Rec("OnSDPChangeOK"); }
    unsigned OnSDPChangeAck(CKZSIPGroup*) override { return Rec("OnSDPChangeAck"); }
    unsigned OnInfo(CKZSIPGroup*) override { return Rec("OnInfo"); }
    unsigned OnRefer(CKZSIPGroup*) override { return Rec("OnRefer"); }
    unsigned OnReferNotify(CKZSIPGroup*) override { return Rec("OnReferNotify"); }
    unsigned DoTransfer2(CKZSIPGroup*, int) override { return Rec("DoTransfer2"); }
    unsigned SendSIPRefer(CKZSIPGroup*, const char*, int) override { return Rec("SendSIPRefer"); }
    unsigned SendSIPTransferNotify(CKZSIPGroup*, const char*, const char*, const char*, const char*,
                                   const char*) override {
        return Rec("SendSIPTransferNotify");
    }
    void SetRTPHeld(bool held) override { m_held = held, Rec(held ? "SetRTPHeld" : "ClearRTPHeld"); }
    bool IsRTPHeld() const override { return m_held; }

    unsigned ResetCallStatus() override { return Rec("ResetCallStatus"); }
    unsigned OnOffered(void*, void*) override { return SetStatus(CALL_STATUS_OFFERED), Rec("OnOffered"); }
    unsigned OnSetup() override { return Rec("OnSetup"); }
    unsigned OnTrying() override { return Rec("OnTrying"); }
    unsigned OnRinging() override { return Rec("OnRinging"); }
    unsigned OnSessionProgress() override { return Rec("OnSessionProgress"); }
    unsigned OnConnect() override { return Rec("OnConnect"); }
    unsigned OnConnAck() override { return Rec("OnConnAck"); }
    unsigned OnDisconnect() override { return Rec("OnDisconnect"); }
    unsigned OnRelease() override { return Rec("OnRelease"); }
    unsigned OnRelComp() override { return Rec("OnRelComp"); }
    unsigned DisconnectCall() override { return Rec("DisconnectCall"); }
    unsigned Hold() override { return Rec("Hold"); }
    unsigned DoTransfer() override { return Rec("DoTransfer"); }
    unsigned OnCallHolding(int held) override { return Rec("OnCallHolding(" + std::to_string(held) + ")"); }

protected:
    virtual void Did(const std::string& /*op*/) {}

private:
    unsigned Rec(const std::string& op) {
        {
            std::lock_guard record(m_mutex);
            m_ops += " " + op;
        }
        Did(op);
        return 1;
    }
    bool CSeqIs(const char* method) const {
        char text[CKZSIPGroup::kIEBufferSize] = "";
        return CKZSIPGroup::MSG_GetIE_STR(m_message.get(), KZ_IE_SIP_CSEQ_METHOD, 0, text) == 0 &&
               strcasecmp(text, method) == 0;
    }

    std::atomic<KZ_SIP_CALL_STATUS> m_status{SIP_CALL_IDLE}; // polled by the test without the lock
    SIPMessagePtr m_message;
    unsigned m_credit = 0;
    bool m_held = false;
    std::mutex m_mutex;
    std::condition_variable m_stored_cv;
    std::string m_ops;
    int m_stored = 0;
};

} // namespace kztest
