#include "server/kz_sip_factory.h"

#include "host/CKZClassEnv.h"
#include "host/CKZSIPBoard.h"
#include "include/kzsipapi.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"

#include <atomic>
#include <new>

namespace {

// When the program that loaded the module has not filled the class environment, the module's own
// factory serves it, so the server can obtain its event handler either way.
void fill_class_environment() {
    KZAPI::CKZClassEnv* env = KZAPI::AfxGetClassEnv();
    if (env->HasEntries()) return;
    env->SetEntry("allocate", reinterpret_cast<void*>(&KZAPI_Alloc_Class_PRC));
    env->SetEntry("free", reinterpret_cast<void*>(&KZAPI_Free_Class_PRC));
}

struct ClassMaker {
    std::atomic<KZClassAllocFn> allocate{nullptr};
    std::atomic<KZClassFreeFn> free{nullptr};
};

// Constant-initialised, so registrars running during static initialisation find it ready.
constinit ClassMaker g_makers[3];

ClassMaker* maker_for(unsigned code) {
    if (code < KZ_CLASS_SIP_SPAN || code > KZ_CLASS_SIP_CALL_CONTROL) return nullptr;
    return &g_makers[code - KZ_CLASS_SIP_SPAN];
}

void* allocate_registered(unsigned code) {
    const KZClassAllocFn allocate = maker_for(code)->allocate.load();
    return allocate ? allocate() : nullptr;
}

} // namespace

bool KZ_RegisterClassMaker(unsigned code, KZClassAllocFn allocate, KZClassFreeFn free) {
    ClassMaker* maker = maker_for(code);
    if (!maker) return false;
    maker->allocate.store(allocate);
    maker->free.store(free);
    return true;
}

void* KZAPI_Alloc_Class_PRC(unsigned code) {
    switch (code) {
    case KZ_CLASS_SIP_SERVER:
        fill_class_environment();
        return static_cast<KZAPI::CKZServer*>(new (std::nothrow) CKZSIPServer);
    case KZ_CLASS_SIP_EVENT_HANDLER:
        return static_cast<KZAPI::CKZEventHandler*>(new (std::nothrow) CKZSIPEventHandler);
    case KZ_CLASS_SIP_BOARD:
        return new (std::nothrow) KZAPI::CKZSIPBoard;
    case KZ_CLASS_SIP_SPAN:
    case KZ_CLASS_SIP_CHANNEL:
    case KZ_CLASS_SIP_CALL_CONTROL:
        return allocate_registered(code);
    default:
        return nullptr;
    }
}

void KZAPI_Free_Class_PRC(unsigned code, void* object) {
    if (!object) return;
    switch (code) {
    case KZ_CLASS_SIP_SERVER:
        delete static_cast<KZAPI::CKZServer*>(object);
        break;
    case KZ_CLASS_SIP_EVENT_HANDLER:
        delete static_cast<KZAPI::CKZEventHandler*>(object);
        break;
    case KZ_CLASS_SIP_BOARD:
        delete static_cast<KZAPI::CKZSIPBoard*>(object);
        break;
    case KZ_CLASS_SIP_SPAN:
    case KZ_CLASS_SIP_CHANNEL:
    case KZ_CLASS_SIP_CALL_CONTROL:
        if (const KZClassFreeFn free = maker_for(code)->free.load()) free(object);
        break;
    default:
        break;
    }
}

uint32_t KZAPI_Server_GetStackStats(void* server, KZ_SIPStackStats* stats) {
    if (!server || !stats) return KZ_SIP_RESULT_NULL_HANDLE;
    auto* sip_server = dynamic_cast<CKZSIPServer*>(static_cast<KZAPI::CKZServer*>(server));
    const CKZSIPGroup* group = sip_server ? sip_server->GetSIPGroup() : nullptr;
    if (!group || !group->GetSIPHandle()) return KZ_SIP_RESULT_FAILURE;
    return KZ_SIP_GetStats(group->GetSIPHandle(), stats);
}
