// The module's server made and freed through its class factory, as the host does.
#pragma once

#include "server/CKZSIPServer.h"
#include "server/kz_sip_factory.h"

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

} // namespace kztest
