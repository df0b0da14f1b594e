// Feeds arbitrary datagrams through a stack into the server's event dispatcher, which answers what
// it can on its own and drives the calls of a few channels. Answers may only leave towards
// 127.0.0.1 (the stack's allow list) from an ephemeral port on loopback; names are never looked up.
//
// Each input starts with every channel idle except the first, which holds an outbound INVITE
// (Call-ID "fuzz-outbound@127.0.0.1", From tag "fzout") so that responses in the input reach a
// call. The SIP statuses the calls are put in come from a hash of the input, so mutations move
// the calls through every status.
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPCallControlI.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/SIPMessagePtr.h"
#include "server/kz_sip_factory.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"
#include "sipstack/CSIPAddressFilter.h"
#include "sipstack/KZ_SIPProtocolConfig.h"
#include "sipstack/sip_group.h"

#include <strings.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void push(sip_group& stack, const char* data, size_t len) {
    sip_cmd cmd;
    cmd.from_ip = 0x0100007F; // 127.0.0.1
    cmd.from_port = 5062;
    cmd.to_ip = 0x0100007F;
    cmd.to_port = 5060;
    cmd.protocol = 0;
    cmd.assign(data, len);
    stack.PushReceived(std::move(cmd));
}

// The stack's time: each input moves it on, so the dialogs of earlier inputs time out and the
// stack does not grow over a long run.
KZAPI::CKZManualClock& fuzz_clock() {
    static KZAPI::CKZManualClock clock;
    return clock;
}

// One stack for the whole run, opened but not started: no listening transports.
CKZSIPGroup& fuzz_group() {
    static CKZSIPGroup* group = [] {
        // KZ_FUZZ_LOG=4 shows where a corpus input goes; quiet otherwise.
        const char* level = std::getenv("KZ_FUZZ_LOG");
        KZAPI::CKZLogInterface::SetMaxLevel(level ? static_cast<unsigned>(std::atoi(level)) : 0);
        KZAPI::KZ_SetNameResolution(false); // a fuzzer never waits on DNS
        auto* g = new CKZSIPGroup;
        g->Open();
        g->CreateEventQueue();
        KZ_SIPProtocolConfig config{};
        g->GetConfig(&config);
        KZAPI::str_cpy(config.local_address, "127.0.0.1", sizeof(config.local_address));
        config.sip_port = 0;
        config.transport_mask = KZ_SIP_TRANSPORT_UDP;
        g->SetConfig(&config);
        g->SetIPFilter("127.0.0.1", CSIPAddressFilter::ALLOW_LIST, 1);
        g->SetRealPublicSIPIP("127.0.0.1");
        static_cast<sip_group*>(g->GetSIPHandle())->SetClock(&fuzz_clock());
        return g;
    }();
    return *group;
}

// Every status a call can be in, with the never-set ones the dispatch still tests for.
constexpr std::array<int, 30> kStatuses = {0,  1,  2,  3,  4,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
                                           19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 5,  8};

KZ_SIP_CALL_STATUS status_from(uint64_t hash, int shift) {
    return static_cast<KZ_SIP_CALL_STATUS>(kStatuses[(hash >> shift) % kStatuses.size()]);
}

// A call control that does what the dispatch asks with plausible status changes and sends the
// ACKs it is asked for, so the group's composition runs on fuzzed responses too.
class FuzzCall final : public KZAPI::CKZCallControl, public CKZSIPCallControlI {
public:
    void Prepare(KZ_SIP_CALL_STATUS offered, unsigned credit, int auto_transfer) {
        ResetCallStatus();
        m_offered_status = offered;
        m_credit = credit;
        SetAutoTransfer(auto_transfer);
    }

    KZ_SIP_CALL_STATUS GetSIPStatus() const override { return m_status; }
    void SetSIPStatus(KZ_SIP_CALL_STATUS status) override { m_status = status; }
    unsigned SetCurSIPMsg(const KZSIPEvent* event, unsigned reason) override {
        char address[64] = "";
        unsigned size = sizeof(address);
        unsigned short port = 0;
        sip_msg* message = nullptr;
        if (CKZSIPGroup::GetMessage(event->stack, &message, address, &size, &port) != 0) return 0;
        return SetCurSIPMsg(event, message, address, port, reason);
    }
    unsigned SetCurSIPMsg(const KZSIPEvent*, sip_msg* message, const char* address, unsigned short port,
                          unsigned reason) override {
        m_message.reset(message);
        SetFromIP(address, port ? port : 5060);
        char text[CKZSIPGroup::kIEBufferSize] = "";
        if (reason &&
            CKZSIPGroup::MSG_GetIE_STR(message, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, text) == 0)
            SetDisconnectCause(0, text);
        return 1;
    }
    sip_msg* GetCurSIPMsg() const override { return m_message.get(); }
    unsigned FreeSIPMsg() override {
        m_message.reset();
        return 1;
    }
    const char* GetSIPCallID() const override { return ""; }
    void SetSIPCallID(const char*) override {}
    const char* GetSIPFromTag() const override { return ""; }
    void SetSIPFromTag(const char*) override {}
    const char* GetSIPToTag() const override { return ""; }
    void SetSIPToTag(const char*) override {}
    uint32_t GetSIPConnID() const override { return GetCRV(KIND_SIP); }
    void SetSIPConnID(uint32_t connection) override { SetCRV(KIND_SIP, connection); }
    kz_sip_user_reg_profile* GetUserRegProfile() override { return &m_account; }
    unsigned SentCreditInLastRequest() const override { return m_credit; }
    unsigned StartCallTimer(unsigned) override { return 1; }
    unsigned StopCallTimer() override { return 1; }
    unsigned DisconnectSIPCall() override { return 1; }
    unsigned SendSIPAck() override {
        if (m_message) fuzz_group().SIP_SendACK(m_message.get(), GetSIPConnID());
        return 1;
    }
    bool IsOKMsgForCancel() override { return CSeqIs("CANCEL"); }
    bool IsOKWithSDPForInvite() override { return CSeqIs("INVITE"); }
    unsigned On3xxResponse(CKZSIPGroup*, const KZSIPEvent*) override { return 0; }
    void SaveCreditChallengeInfo(CKZSIPGroup*, kz_sip_user_reg_profile* account) override {
        char nonce[CKZSIPGroup::kIEBufferSize] = "";
        CKZSIPGroup::MSG_GetIE_STR(m_message.get(), KZ_IE_SIP_WWW_AUTH_REQ_NONCE, 0, nonce);
        KZAPI::str_cpy(account->user_id, nonce, sizeof(account->user_id));
    }
    unsigned ResentInviteWithCredit() override {
        m_credit = 1;
        return 1;
    }
    unsigned ResentByeWithCredit(CKZSIPGroup*) override { return 1; }
    unsigned OnReInvite(CKZSIPGroup*) override { return 1; }
    unsigned OnSDPChangeOK(CKZSIPGroup*) override { return 1; }
    unsigned OnSDPChangeAck(CKZSIPGroup*) override { return 1; }
    unsigned OnInfo(CKZSIPGroup*) override { return 1; }
    unsigned OnRefer(CKZSIPGroup*) override { return 1; }
    unsigned OnReferNotify(CKZSIPGroup*) override { return 1; }
    unsigned DoTransfer2(CKZSIPGroup*, int) override { return 1; }
    unsigned SendSIPRefer(CKZSIPGroup*, const char*, int) override { return 1; }
    unsigned SendSIPTransferNotify(CKZSIPGroup*, const char*, const char*, const char*, const char*,
                                   const char*) override {
        return 1;
    }
    void SetRTPHeld(bool held) override { m_held = held; }
    bool IsRTPHeld() const override { return m_held; }

    unsigned ResetCallStatus() override {
        CKZCallControl::ResetCallStatus();
        SetStatus(CALL_STATUS_IDLE);
        SetCRV(KIND_SIP, 0);
        m_status = SIP_CALL_IDLE;
        m_message.reset();
        m_held = false;
        return 1;
    }
    unsigned OnOffered(void* a, void* b) override {
        CKZCallControl::OnOffered(a, b);
        m_status = m_offered_status;
        return 1;
    }
    unsigned OnTrying() override { return Become(SIP_CALL_RECEIVED_TRYING); }
    unsigned OnRinging() override { return Become(SIP_CALL_RECEIVED_RINGING); }
    unsigned OnSessionProgress() override { return Become(SIP_CALL_RECEIVED_SESSION_PROGRESS); }
    unsigned OnConnect() override { return Become(SIP_CALL_CONNECTED); }
    unsigned OnConnAck() override { return Become(SIP_CALL_CONNECTED); }
    unsigned DisconnectCall() override { return Become(SIP_CALL_BYE_SENT); }
    unsigned OnDisconnect() override { return Become(SIP_CALL_REMOTE_RELEASED); }
    unsigned OnRelease() override { return ResetCallStatus(); }
    unsigned OnRelComp() override { return ResetCallStatus(); }
    unsigned Hold() override { return Become(SIP_CALL_HOLD_SENT); }

private:
    unsigned Become(KZ_SIP_CALL_STATUS status) {
        m_status = status;
        return 1;
    }
    bool CSeqIs(const char* method) const {
        char text[CKZSIPGroup::kIEBufferSize] = "";
        return CKZSIPGroup::MSG_GetIE_STR(m_message.get(), KZ_IE_SIP_CSEQ_METHOD, 0, text) == 0 &&
               strcasecmp(text, method) == 0;
    }

    KZ_SIP_CALL_STATUS m_status = SIP_CALL_IDLE;
    KZ_SIP_CALL_STATUS m_offered_status = SIP_CALL_IDLE;
    SIPMessagePtr m_message;
    kz_sip_user_reg_profile m_account{};
    unsigned m_credit = 0;
    bool m_held = false;
};

// A host call control that is not a SIP one: offered calls on it are refused with 500.
class HostOnlyCall final : public KZAPI::CKZCallControl {};

struct Channels {
    static constexpr int kSIPChannels = 3;
    std::array<FuzzCall, kSIPChannels> calls;
    HostOnlyCall host_only;
    std::array<std::unique_ptr<KZAPI::CKZChannel>, kSIPChannels + 1> channels;
};

// The server the dispatcher looks channels up in, never started; its channels carry the calls.
Channels& fuzz_channels() {
    static Channels* all = [] {
        auto* base = static_cast<KZAPI::CKZServer*>(KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_SERVER));
        auto* c = new Channels;
        for (size_t i = 0; i < c->channels.size(); ++i) {
            c->channels[i] =
                std::make_unique<KZAPI::CKZChannel>(static_cast<int>(i), KZAPI::CKZCallControl::KIND_SIP);
            KZAPI::CKZCallControl* cc =
                i < c->calls.size() ? static_cast<KZAPI::CKZCallControl*>(&c->calls[i]) : &c->host_only;
            c->channels[i]->SetCallControl(cc);
            cc->SetChannel(c->channels[i].get());
            base->AddChannel(c->channels[i].get());
        }
        return c;
    }();
    return *all;
}

uint64_t fnv1a(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

// The first channel's call: an INVITE sent to 127.0.0.1:5062 on a new connection.
uint32_t start_outbound_call(CKZSIPGroup& group) {
    uint32_t connection = 0;
    if (group.GetConnectionId(&connection) != 0) return 0;
    std::string text = "INVITE sip:callee@127.0.0.1:5062 SIP/2.0\r\n"
                       "From: <sip:fuzz@127.0.0.1>;tag=fzout\r\nTo: <sip:callee@127.0.0.1:5062>\r\n"
                       "Call-ID: fuzz-outbound@127.0.0.1\r\nCSeq: 1 INVITE\r\nMax-Forwards: 70\r\n"
                       "Contact: <sip:fuzz@127.0.0.1>\r\nContent-Length: 0\r\n\r\n";
    SIPMessagePtr invite = AllocSIPMessage();
    if (!invite) return 0;
    KZSIPEvent parsed{};
    invite->init_from_buf(text.data(), &parsed);
    if (CKZSIPGroup::SendMessage(group.GetSIPHandle(), invite.get(), "127.0.0.1", 5062, connection) != 0)
        return 0;
    return connection;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CKZSIPGroup& group = fuzz_group();
    Channels& channels = fuzz_channels();
    auto* stack = static_cast<sip_group*>(group.GetSIPHandle());

    const uint64_t hash = fnv1a(data, size);
    for (int i = 0; i < Channels::kSIPChannels; ++i)
        channels.calls[i].Prepare(status_from(hash, 8 * i), (hash >> 40) & 1,
                                  static_cast<int>((hash >> 44) % 3));
    FuzzCall& outbound = channels.calls[0];
    const uint32_t outbound_connection = start_outbound_call(group);
    outbound.SetSIPConnID(outbound_connection);
    outbound.SetStatus(KZAPI::CKZCall::CALL_STATUS_CALLING);
    outbound.SetSIPStatus(status_from(hash, 48));

    const char* text = reinterpret_cast<const char*>(data);
    // Datagrams are separated by a NUL byte in the input.
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || text[i] == '\0') {
            if (i > start) push(*stack, text + start, i - start);
            start = i + 1;
        }
    }
    CKZSIPEventHandler handler;
    for (int pass = 0; pass < 4 && handler.ProcessSIPEvent(&group) > 0; ++pass) {
    }
    // Time-outs of ten seconds or so end most transactions; the sweep runs on the next poll.
    for (int step = 0; step < 3; ++step) {
        fuzz_clock().Advance(10);
        handler.ProcessSIPEvent(&group);
    }
    if (outbound_connection) group.TerminateConnection(outbound_connection);
    for (FuzzCall& call : channels.calls)
        call.ResetCallStatus();
    return 0;
}
