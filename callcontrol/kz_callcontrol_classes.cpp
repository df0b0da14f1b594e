// Registers the span, channel and call-control classes with the module's class factory when the
// module is loaded. The module links this library whole, so this object is always present.
#include "callcontrol/CKZSIPAPICC.h"
#include "callcontrol/CKZSIPAPIChan.h"
#include "callcontrol/CKZSIPAPISpan.h"
#include "server/kz_sip_factory.h"

#include <new>

namespace {

// Objects travel as their host base, as the factory hands out every object.
template <class Base, class Class> void* allocate() {
    return static_cast<Base*>(new (std::nothrow) Class);
}
template <class Base> void free_object(void* object) {
    delete static_cast<Base*>(object);
}

const bool g_registered =
    KZ_RegisterClassMaker(KZ_CLASS_SIP_SPAN, &allocate<KZAPI::CKZSpan, CKZSIPAPISpan>,
                          &free_object<KZAPI::CKZSpan>) &&
    KZ_RegisterClassMaker(KZ_CLASS_SIP_CHANNEL, &allocate<KZAPI::CKZChannel, CKZSIPAPIChan>,
                          &free_object<KZAPI::CKZChannel>) &&
    KZ_RegisterClassMaker(KZ_CLASS_SIP_CALL_CONTROL, &allocate<KZAPI::CKZCallControl, CKZSIPAPICC>,
                          &free_object<KZAPI::CKZCallControl>);

} // namespace
