// Feeds arbitrary datagrams through a stack into the server's event dispatcher, which answers what
// it can on its own. Answers may only leave towards 127.0.0.1 (the stack's allow list) from an
// ephemeral port on loopback; names are never looked up.
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "sipstack/CSIPAddressFilter.h"
#include "sipstack/KZ_SIPProtocolConfig.h"
#include "sipstack/sip_group.h"

#include <cstdint>
#include <cstring>

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
        KZAPI::CKZLogInterface::SetMaxLevel(0);
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CKZSIPGroup& group = fuzz_group();
    auto* stack = static_cast<sip_group*>(group.GetSIPHandle());
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
    return 0;
}
