// One SIP stack for a whole fuzzing run, opened but not started (no listening transports): it
// composes and sends on 127.0.0.1 towards 127.0.0.1 only and never looks a name up. The log
// level comes from KZ_FUZZ_LOG (KZ_FUZZ_LOG=4 shows where a corpus input goes; quiet otherwise).
#pragma once

#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "sipstack/CSIPAddressFilter.h"
#include "sipstack/KZ_SIPProtocolConfig.h"
#include "sipstack/sip_group.h"

#include <cstdlib>

namespace kzfuzz {

struct LoopbackGroupOptions {
    bool event_queue = false;         // events the stack raises are queued (and read by the target)
    KZAPI::CKZClock* clock = nullptr; // the stack's time; the system clock when null
};

inline CKZSIPGroup* open_loopback_group(const LoopbackGroupOptions& options = {}) {
    const char* level = std::getenv("KZ_FUZZ_LOG");
    KZAPI::CKZLogInterface::SetMaxLevel(level ? static_cast<unsigned>(std::atoi(level)) : 0);
    KZAPI::KZ_SetNameResolution(false);
    auto* group = new CKZSIPGroup; // lives for the whole run
    group->Open();
    if (options.event_queue) group->CreateEventQueue();
    KZ_SIPProtocolConfig config{};
    group->GetConfig(&config);
    KZAPI::str_cpy(config.local_address, "127.0.0.1", sizeof(config.local_address));
    config.sip_port = 0;
    config.transport_mask = KZ_SIP_TRANSPORT_UDP;
    group->SetConfig(&config);
    group->SetIPFilter("127.0.0.1", CSIPAddressFilter::ALLOW_LIST, 1);
    group->SetRealPublicSIPIP("127.0.0.1");
    if (options.clock) static_cast<sip_group*>(group->GetSIPHandle())->SetClock(options.clock);
    return group;
}

} // namespace kzfuzz
