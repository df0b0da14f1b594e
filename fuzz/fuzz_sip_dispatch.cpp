// Feeds arbitrary datagrams through a stack into the server's event dispatcher, which answers what
// it can on its own and drives the calls of a few channels. Answers may only leave towards
// 127.0.0.1 (the stack's allow list) from an ephemeral port on loopback; names are never looked up.
//
// Each input starts with every channel idle except the first, which holds an outbound INVITE
// (Call-ID "fuzz-outbound@127.0.0.1", From tag "fzout") so that responses in the input reach a
// call. The SIP statuses the calls are put in come from a hash of the input, so mutations move
// the calls through every status.
#include "fuzz_loopback_group.h"
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "server/CKZSIPCallControlI.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/SIPMessagePtr.h"
#include "server/kz_sip_factory.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"
#include "sipstack/sip_group.h"
#include "tests/support/recording_sip_call.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
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

CKZSIPGroup& fuzz_group() {
    static CKZSIPGroup* group = kzfuzz::open_loopback_group({.event_queue = true, .clock = &fuzz_clock()});
    return *group;
}

// Every status a call can be in, with the never-set ones the dispatch still tests for.
constexpr std::array<int, 30> kStatuses = {0,  1,  2,  3,  4,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
                                           19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 5,  8};

KZ_SIP_CALL_STATUS status_from(uint64_t hash, int shift) {
    return static_cast<KZ_SIP_CALL_STATUS>(kStatuses[(hash >> shift) % kStatuses.size()]);
}

// A recording call control whose operations move its status the way a call's would, and which
// sends the ACKs it is asked for, so the group's composition runs on fuzzed responses too.
class FuzzCall final : public kztest::RecordingSIPCall {
public:
    void Prepare(KZ_SIP_CALL_STATUS offered, unsigned credit, int auto_transfer) {
        RecordingSIPCall::Prepare(SIP_CALL_IDLE, 0, CALL_STATUS_IDLE);
        m_offered_status = offered;
        SetCredit(credit);
        SetAutoTransfer(auto_transfer);
    }

protected:
    void Did(const std::string& op) override {
        static const std::map<std::string, KZ_SIP_CALL_STATUS> next = {
            {"OnTrying", SIP_CALL_RECEIVED_TRYING},
            {"OnRinging", SIP_CALL_RECEIVED_RINGING},
            {"OnSessionProgress", SIP_CALL_RECEIVED_SESSION_PROGRESS},
            {"OnConnect", SIP_CALL_CONNECTED},
            {"OnConnAck", SIP_CALL_CONNECTED},
            {"DisconnectCall", SIP_CALL_BYE_SENT},
            {"OnDisconnect", SIP_CALL_REMOTE_RELEASED},
            {"Hold", SIP_CALL_HOLD_SENT},
        };
        if (op == "OnOffered") {
            SetSIPStatus(m_offered_status);
        } else if (op == "SendSIPAck") {
            if (GetCurSIPMsg()) fuzz_group().SIP_SendACK(GetCurSIPMsg(), GetSIPConnID());
        } else if (op == "OnRelease" || op == "OnRelComp" || op == "ResetCallStatus") {
            RecordingSIPCall::Prepare(SIP_CALL_IDLE, 0, CALL_STATUS_IDLE);
        } else if (auto it = next.find(op); it != next.end()) {
            SetSIPStatus(it->second);
        }
    }

private:
    KZ_SIP_CALL_STATUS m_offered_status = SIP_CALL_IDLE;
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
        call.Prepare(SIP_CALL_IDLE, 0, 0);
    return 0;
}
