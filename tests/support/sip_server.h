// The module's server made and freed through its class factory, as the host does.
#pragma once

#include "host/CKZClock.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/kz_sip_factory.h"
#include "sipstack/sip_group.h"

#include <memory>

namespace kztest {

struct ServerDeleter {
    void operator()(CKZSIPServer* s) const {
        KZAPI_Free_Class_PRC(KZ_CLASS_SIP_SERVER, static_cast<KZAPI::CKZServer*>(s));
    }
};
using ServerPtr = std::unique_ptr<CKZSIPServer, ServerDeleter>;

inline ServerPtr make_server() {
    auto* base = static_cast<KZAPI::CKZServer*>(KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_SERVER));
    return ServerPtr(dynamic_cast<CKZSIPServer*>(base));
}

// A server created and started with its once-a-second checks and its stack's timers on clock;
// null when it does not start.
inline ServerPtr start_server_on_clock(KZAPI::CKZClock& clock) {
    ServerPtr server = make_server();
    if (!server) return server;
    server->SetClock(&clock);
    if (server->Create() != 1 || server->Start() != 1) return nullptr;
    // The stack runs its timers on the server's loop, under the server lock.
    KZAPI::CMutexLock lock(server->GetServerMutex());
    static_cast<sip_group*>(server->GetSIPGroup()->GetSIPHandle())->SetClock(&clock);
    return server;
}

} // namespace kztest
