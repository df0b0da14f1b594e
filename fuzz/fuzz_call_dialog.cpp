// Feeds arbitrary datagrams into an established call held by the real call controls of two SIP
// channels, through a stack and the server's event dispatcher: re-INVITEs, hold, REFER in both
// roles with the refer subscription's NOTIFYs, BYE, INFO and the responses to what the call sent.
// Answers may only leave towards 127.0.0.1 (the stack's allow list) from an ephemeral port on
// loopback; names are never looked up.
//
// Before each input the first channel answers an INVITE from 127.0.0.1:5062 (Call-ID
// "fuzz-dialog@127.0.0.1", the far end's tag "fzpeer", this side's "fzlocal") through the
// dispatch, and the ACK connects it. Its offer names 0.0.0.0 as media address, so no RTP port
// is opened for it: connecting stays cheap, while a re-INVITE with a real address opens RTP as
// it would in a call. A hash of the input then moves the call into one of the statuses of an
// established call, through the call control's own operations where one leads there (hold,
// blind or attended REFER, the refer subscription's NOTIFY), and picks the auto-transfer value.
// The second channel is idle: the one an attended REFER names, and the one an auto-transfer of 2
// places its call on; that call is answered or refused after the input, as the hash says. Then
// time passes in steps (timers of the call controls and the stack) and everything is reset.
#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/kz_sip_factory.h"
#include "sipstack/CSIPAddressFilter.h"
#include "sipstack/KZ_SIPProtocolConfig.h"
#include "sipstack/sip_group.h"
#include "tests/support/sip_peer.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr uint16_t kPeerPort = 5062;
constexpr int kCallChannel = 11;
constexpr int kOtherChannel = 12;

const std::string kInvite =
    "INVITE sip:KZAPISIPUA-CH11@127.0.0.1 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-fzinv\r\n"
    "From: <sip:bob@127.0.0.1:5062>;tag=fzpeer\r\nTo: <sip:alice@127.0.0.1>\r\n"
    "Call-ID: fuzz-dialog@127.0.0.1\r\nCSeq: 1 INVITE\r\nMax-Forwards: 70\r\n"
    "Contact: <sip:bob@127.0.0.1:5062>\r\nContent-Type: application/sdp\r\nContent-Length: 146\r\n\r\n"
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
    "m=audio 40000 RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
const std::string kAck =
    "ACK sip:KZAPISIPUA-CH11@127.0.0.1 SIP/2.0\r\n"
    "Via: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-fzack\r\n"
    "From: <sip:bob@127.0.0.1:5062>;tag=fzpeer\r\nTo: <sip:alice@127.0.0.1>;tag=fzlocal\r\n"
    "Call-ID: fuzz-dialog@127.0.0.1\r\nCSeq: 1 ACK\r\nMax-Forwards: 70\r\n"
    "Contact: <sip:bob@127.0.0.1:5062>\r\nContent-Length: 0\r\n\r\n";

// Timers of the stack and of both call controls.
KZAPI::CKZManualClock& fuzz_clock() {
    static KZAPI::CKZManualClock clock;
    return clock;
}

void push(sip_group& stack, const char* data, size_t len) {
    sip_cmd cmd;
    cmd.from_ip = 0x0100007F; // 127.0.0.1
    cmd.from_port = kPeerPort;
    cmd.to_ip = 0x0100007F;
    cmd.to_port = 5060;
    cmd.protocol = 0;
    cmd.assign(data, len);
    stack.PushReceived(std::move(cmd));
}

struct Channel {
    explicit Channel(int number, int direction)
        : channel(number, KZAPI::CKZCallControl::KIND_SIP, direction) {}
    KZAPI::CKZChannel channel;
    CKZSIPAPICC cc;
};

struct Module {
    CKZSIPServer* server = nullptr;
    CKZSIPGroup* group = nullptr;
    sip_group* stack = nullptr;
    CKZSIPEventHandler handler;
    Channel call{kCallChannel, KZAPI::CKZChannel::DIRECTION_IN | KZAPI::CKZChannel::DIRECTION_OUT};
    Channel other{kOtherChannel, KZAPI::CKZChannel::DIRECTION_OUT};

    void Drain() {
        for (int pass = 0; pass < 8 && handler.ProcessSIPEvent(group) > 0; ++pass) {
        }
    }
};

void configure() {
    const char* level = std::getenv("KZ_FUZZ_LOG"); // KZ_FUZZ_LOG=4 shows where an input goes
    KZAPI::CKZLogInterface::SetMaxLevel(level ? static_cast<unsigned>(std::atoi(level)) : 0);
    KZAPI::KZ_SetNameResolution(false);
    using KZAPI::CKZCfgInterface;
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.address", "127.0.0.1");
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.callcontrol.auto.answercall", "1");
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.use.nat.addr", "1");
    // RTP ports of this process only (a re-INVITE with a real address opens them).
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.rtpstartrange",
                                  std::to_string(kztest::rtp_start_for_channel(kCallChannel)).c_str());
}

// The server is created but never started: its stack is opened here without listening
// transports, and the dispatch runs on the fuzzer's thread.
Module& module() {
    static Module* made = [] {
        configure();
        auto* m = new Module;
        auto* base = static_cast<KZAPI::CKZServer*>(KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_SERVER));
        m->server = dynamic_cast<CKZSIPServer*>(base);
        m->server->Create();
        m->group = m->server->GetSIPGroup();
        m->group->Open();
        m->group->CreateEventQueue();
        KZ_SIPProtocolConfig config{};
        m->group->GetConfig(&config);
        KZAPI::str_cpy(config.local_address, "127.0.0.1", sizeof(config.local_address));
        config.sip_port = 0;
        config.transport_mask = KZ_SIP_TRANSPORT_UDP;
        m->group->SetConfig(&config);
        m->group->SetIPFilter("127.0.0.1", CSIPAddressFilter::ALLOW_LIST, 1);
        m->group->SetRealPublicSIPIP("127.0.0.1");
        m->stack = static_cast<sip_group*>(m->group->GetSIPHandle());
        m->stack->SetClock(&fuzz_clock());
        for (Channel* c : {&m->call, &m->other}) {
            c->channel.SetCallControl(&c->cc);
            c->cc.SetChannel(&c->channel);
            c->cc.SetAppTimerClock(&fuzz_clock());
            c->cc.Start();
            m->server->AddChannel(&c->channel);
        }
        return m;
    }();
    return *made;
}

// The stack's record of the answered call gets the local tag the inputs name.
void fix_local_tag(Module& m) {
    KZAPI::CMutexLock lock(m.stack->DialogMutex());
    if (sip_dialog* d = m.stack->Dialogs().FindByConnectionId(m.call.cc.GetSIPConnID()))
        d->local_tag = "fzlocal";
}

bool connect_call(Module& m) {
    push(*m.stack, kInvite.data(), kInvite.size());
    m.Drain();
    if (m.call.cc.GetSIPStatus() != SIP_CALL_ANSWERED) return false;
    fix_local_tag(m);
    push(*m.stack, kAck.data(), kAck.size());
    m.Drain();
    return m.call.cc.GetSIPStatus() == SIP_CALL_CONNECTED;
}

// The other channel's call, as an attended REFER names it.
void give_other_a_dialog(CKZSIPAPICC& other) {
    other.SetCallID("fuzz-consult@127.0.0.1");
    other.SetFromTag("fzc1");
    other.SetToTag("fzc2");
    other.SetCallDirection(KZAPI::CKZCall::CALL_OUTBOUND);
}

// Moves the connected call into the status the hash picks.
void enter_status(Module& m, uint64_t hash) {
    CKZSIPAPICC& cc = m.call.cc;
    switch (hash % 12) {
    case 0:
        break; // connected
    case 1:
        cc.Hold();
        break;
    case 2:
        cc.Hold();
        cc.SetSIPStatus(SIP_CALL_HELD);
        cc.SetRTPHeld(true);
        break;
    case 3:
        cc.Hold();
        cc.SetSIPStatus(SIP_CALL_HELD);
        cc.Hold(); // resume sent
        break;
    case 4:
        cc.SetSIPStatus(SIP_CALL_REMOTE_HELD);
        break;
    case 5:
        cc.TransferTo("carol@127.0.0.1:5062");
        break;
    case 6:
        give_other_a_dialog(m.other.cc);
        cc.TransferTo("<sip:carol@127.0.0.1:5062>", kOtherChannel);
        break;
    case 7:
        cc.SendSIPTransferNotify(m.group, "refer", "active;expires=60", "SIP/2.0", "100", "Trying");
        break;
    case 8:
        cc.SendSIPTransferNotify(m.group, "refer", "terminated;reason=noresource", "SIP/2.0", "200", "OK");
        cc.SetSIPStatus(SIP_CALL_FINAL_NOTIFY_SENT);
        break;
    case 9:
        cc.SetSIPStatus(SIP_CALL_NOTIFY_ACCEPTED);
        break;
    case 10:
        cc.SetSIPStatus(SIP_CALL_REMOTE_HOLD_ACCEPTED);
        break;
    default:
        cc.SetSIPStatus(SIP_CALL_REINVITE_ACCEPTED);
        break;
    }
}

// The far end of the call an auto-transfer of 2 placed on the other channel answers or refuses
// it (its Call-ID and tag are the stack's own, out of an input's reach), so that the outcome
// reaches the call that was referred.
void answer_transfer_call(Module& m, bool answered) {
    if (m.other.cc.GetSIPStatus() != SIP_CALL_CALLING) return;
    std::string call_id, tag;
    {
        KZAPI::CMutexLock lock(m.stack->DialogMutex());
        const sip_dialog* d = m.stack->Dialogs().FindByConnectionId(m.other.cc.GetSIPConnID());
        if (!d) return;
        call_id = d->call_id.c_str();
        tag = d->local_tag.c_str();
    }
    const std::string body = "v=0\r\no=- 3 3 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                             "m=audio 40020 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    const std::string text =
        std::string("SIP/2.0 ") + (answered ? "200 OK" : "486 Busy Here") +
        "\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bK-fzxfer\r\nFrom: <sip:alice@127.0.0.1>;tag=" + tag +
        "\r\nTo: <sip:carol@127.0.0.1:5062>;tag=fzcarol\r\nCall-ID: " + call_id +
        "\r\nCSeq: 1 INVITE\r\nContact: <sip:carol@127.0.0.1:5062>\r\n" +
        (answered ? "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body
                  : "Content-Length: 0\r\n\r\n");
    push(*m.stack, text.data(), text.size());
    m.Drain();
}

void run_timers(Module& m) {
    for (Channel* c : {&m.call, &m.other})
        c->cc.GetAppTimer().CheckEveryTimer();
}

// Both channels idle, their RTP closed and the stack without dialogs, so a run does not grow.
void reset(Module& m) {
    for (Channel* c : {&m.call, &m.other}) {
        c->cc.StopAppTimer();
        c->cc.ResetCallStatus();
        c->cc.CloseRTPSocket();
        c->cc.SetDestTransferChanCallControl(nullptr);
        c->cc.SetOrgTransferChanCallControl(nullptr);
    }
    {
        KZAPI::CMutexLock lock(m.stack->DialogMutex());
        m.stack->Dialogs().Clear();
    }
    m.Drain();
}

uint64_t fnv1a(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Module& m = module();
    if (!connect_call(m)) __builtin_trap(); // every input must meet an established call
    const uint64_t hash = fnv1a(data, size);
    m.call.cc.SetAutoTransfer(static_cast<int>((hash >> 16) % 3));
    enter_status(m, hash);
    m.Drain();

    const char* text = reinterpret_cast<const char*>(data);
    // Datagrams are separated by a NUL byte in the input.
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || text[i] == '\0') {
            if (i > start) push(*m.stack, text + start, i - start);
            start = i + 1;
        }
    }
    m.Drain();
    answer_transfer_call(m, ((hash >> 20) & 1) != 0);
    // The NOTIFY timer (3 s), the refer subscription's expiry and the status timers; the stack's
    // transactions time out on the next sweep.
    for (int step = 0; step < 3; ++step) {
        fuzz_clock().Advance(static_cast<int64_t>(((hash >> (24 + 8 * step)) & 0x3F) + 1));
        run_timers(m);
        m.Drain();
    }
    reset(m);
    return 0;
}
