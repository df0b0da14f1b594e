// CKZCallControl: the host's face of a channel's call. The host drives a call through these
// operations and the module's call control overrides those its protocol needs, calling the host's
// versions where the host has its part: an offered call is marked offered and then accepted, rung
// or answered by the per-call switches (do-not-disturb refuses it with 486); a 200 to this side's
// INVITE is completed with SendConnAck; a remote hang-up is answered with ReleaseCall. The other
// host versions do nothing and report failure (0). Operations return 1 for success and 0 for
// failure unless said otherwise. Status changes and early media go to the process's event sink.
#pragma once

#include "host/CKZAppControl.h"
#include "host/CKZCall.h"
#include "host/CKZCallEventSink.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace KZAPI {

class CKZCallControl : public CKZCall, public CKZAppControl {
public:
    // Protocol kinds of call reference values (10 is SIP, whose CRV is the stack's connection id).
    enum : int { KIND_SIP = 10 };

    ~CKZCallControl() override;

    uint32_t GetCRV(int kind) const { return kind == KIND_SIP ? m_sip_crv.load() : 0; }
    // Also files the call control under the value, so that its channel is found without a walk
    // over every channel (FindChannelByCRV).
    void SetCRV(int kind, uint32_t crv);
    // The channel of a call control filed under crv for which accept(channel) holds, or null.
    // accept is asked first and may only compare the pointer (say, with a list of live channels);
    // the channel is looked into only once accepted.
    static CKZChannel* FindChannelByCRV(int kind, uint32_t crv,
                                        const std::function<bool(const CKZChannel*)>& accept);
    // The SIP Call-ID of the current call; "" when there is none.
    virtual const char* GetSIPCallID() const { return ""; }

    // Call life cycle.
    virtual unsigned ResetCallStatus();
    virtual unsigned OnCallIdle() { return 1; }
    virtual unsigned SetupCall(const char* /*caller*/, const char* /*callee*/) { return 0; }
    virtual unsigned SetupCallEx(const char* /*from*/, const char* /*to*/, const char* /*uri*/,
                                 const char* /*contact*/, const char* /*auth_name*/,
                                 const char* /*auth_password*/, const char* /*dest_address*/,
                                 uint16_t /*dest_port*/, int /*protocol*/, int /*srtp*/) {
        return 0;
    }
    virtual unsigned OnTrying() { return 0; }
    virtual unsigned OnRinging() { return 0; }
    virtual unsigned OnSessionProgress();
    virtual unsigned OnConnect();
    virtual unsigned SendConnAck() { return 0; }
    virtual unsigned OnOffered(void* /*arg1*/, void* /*arg2*/);
    virtual unsigned SessionProgressCall(const char* /*file*/) { return 0; }
    virtual unsigned SessionProgressCall(void* /*message*/) { return 0; }
    virtual unsigned OnSetup();
    virtual unsigned AcceptCall() { return 0; }
    virtual unsigned RingCall() { return 0; }
    virtual unsigned AnswerCall() { return 0; }
    // The host's answer to an offered call: AnswerCall, after which the call is "answering" until
    // the ACK connects it, so a second answer is refused.
    unsigned AnswerOffered();
    virtual unsigned OnConnAck();
    virtual unsigned WaitForCall() { return 0; }
    // Toggles hold: puts a connected call on hold, takes a held one off it.
    virtual unsigned Hold() { return 0; }
    // Transfers the far end to target; dest_channel >= 0 names the channel whose call the far end's
    // new call replaces (attended transfer).
    virtual unsigned TransferTo(const char* /*target*/, int /*dest_channel*/ = -1) { return 0; }
    // Answers an offered call with a redirection (code 3xx) to target.
    virtual unsigned RedirectTo(const char* /*target*/, const char* /*code*/, const char* /*text*/) {
        return 0;
    }
    virtual unsigned DisconnectCall() { return 1; }
    virtual unsigned OnRelease() { return 1; }
    virtual unsigned SendRelComp() { return 1; }
    virtual unsigned OnDisconnect();
    virtual unsigned ReleaseCall() { return 0; }
    virtual unsigned OnRelComp() { return 1; }
    virtual unsigned OnCallHolding(int /*held*/) { return 0; }
    // The far end asked for this call to be transferred (Replaces parts empty for a blind transfer).
    virtual unsigned OnCallTransfering(const char* target, const char* replaces_call_id,
                                       const char* replaces_from_tag, const char* replaces_to_tag);
    // Hold as both sides last set it; a change is reported to the event sink.
    bool IsHeldLocally() const { return m_held_locally.load(); }
    bool IsHeldByRemote() const { return m_held_by_remote.load(); }
    // The channel came up or went down.
    virtual unsigned OnChanUp() { return 1; }
    virtual unsigned OnChanDown() { return 1; }
    virtual unsigned Start() { return OnChanUp(); }
    virtual unsigned Stop() { return OnChanDown(); }

    // Media choices and what the far end said last.
    virtual int GetCurrentAudioCodec() { return -1; }
    virtual unsigned SetAudioCodec(int /*codec*/) { return 0; }
    virtual int GetCurrentVideoCodec() { return -1; }
    virtual unsigned SetVideoCodec(int /*codec*/) { return 0; }
    virtual int GetLastMsgCode() { return 0; }
    virtual const char* GetLastMsgText() { return ""; }
    // What the call's media has carried so far; false when the call has no media engine.
    struct MediaStats {
        bool running = false;
        uint64_t packets_sent = 0;
        uint64_t packets_received = 0;
        int64_t packets_lost = 0;
        double jitter_ms = 0;
        double remote_fraction_lost = 0; // what the peer reports about our stream
        double remote_jitter_ms = 0;
        uint64_t frames_concealed = 0;
        uint64_t frames_late = 0;
        int jitter_delay_frames = 0;
    };
    virtual bool GetMediaStats(MediaStats* /*stats*/) { return false; }
    virtual const char* GetPeerSIPIPAddress() { return ""; }
    virtual uint16_t GetPeerSIPIPPort() { return 0; }
    virtual const char* GetPeerRTPIPAddress() { return ""; }
    virtual uint16_t GetPeerRTPIPPort() { return 0; }
    virtual const char* GetPeerVideoRTPIPAddress() { return ""; }
    virtual uint16_t GetPeerVideoRTPIPPort() { return 0; }
    virtual const char* GetPeerSIPContactAddress() { return ""; }
    virtual unsigned PlayAndRecordVideo() { return 0; }
    virtual unsigned StopVideo() { return 0; }
    virtual unsigned SetSIPAndRTPAddr(const char* /*sip_address*/, const char* /*rtp_address*/) { return 0; }
    virtual unsigned OpenRTPSocket() { return 0; }
    virtual unsigned CloseRTPSocket() { return 0; }
    virtual unsigned IsRTPSocketOpen() { return 0; }
    virtual unsigned DoTransfer() { return 0; }

    // Per-call switches (CKZCall holds them).
    virtual int GetProxyRelatedChanID() { return m_proxy_related_channel; }
    virtual void SetProxyRelatedChanID(int channel) { m_proxy_related_channel = channel; }
    virtual int GetAutoAnswer() { return m_auto_answer; }
    virtual int GetAutoTransfer() { return m_auto_transfer; }
    virtual int GetAutoAccept() { return m_auto_accept; }
    virtual int GetAutoRing() { return m_auto_ring; }
    virtual int GetNoMoreCall() { return 0; }
    virtual int GetDND() { return m_dnd; }
    // Voice-activity detection on the call's received (in) and sent (out) audio, asked for by the
    // application besides the server's keys; both end with the call.
    virtual int GetInVAD() { return m_in_vad.load(); }
    void SetInVAD(int on) { m_in_vad.store(on ? 1 : 0); }
    int GetOutVAD() const { return m_out_vad.load(); }
    void SetOutVAD(int on) { m_out_vad.store(on ? 1 : 0); }
    virtual int GetVideoEnabled() { return 0; }

    // The process's sink for call events (null: none). Set before channels start.
    static void SetEventSink(CKZCallEventSink* sink);
    static CKZCallEventSink* GetEventSink();

    // The host's disconnect cause of a refused offer under do-not-disturb.
    static constexpr int kDNDCauseCode = 486;
    static constexpr const char* kDNDCauseText = "Busy Here";
    // The text of play and record reports ended by the end of their call.
    static constexpr const char* kCallEndedText = "Call ended";

protected:
    void OnStatusChanged(int old_status, int new_status) override;
    // Records a hold change made by this side or by the far end and reports it when it is one.
    void ReportHolding(bool held, bool by_remote);
    void ReportTransferProgress(int code, const char* text);

private:
    std::atomic<uint32_t> m_sip_crv{0};
    std::atomic<bool> m_held_locally{false};
    std::atomic<bool> m_held_by_remote{false};
    std::atomic<int> m_in_vad{0};
    std::atomic<int> m_out_vad{0};
};

} // namespace KZAPI
