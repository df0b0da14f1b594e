// Registers the proxy library's sites with the server when the module is loaded. The module links
// this library whole, so this object is always present.
#include "host/CKZCfgInterface.h"
#include "proxy/CKZSIPProxySite.h"

namespace {

std::unique_ptr<CKZSIPProxySiteI> make_site(int number, std::vector<std::string> domains,
                                            const CKZSIPProxySiteOptions& options) {
    const int max_expire =
        KZAPI::CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.proxy.max.user.reg.expire", 3600);
    return std::make_unique<CKZSIPProxySite>(number, std::move(domains), options, max_expire);
}

const bool g_registered = (KZ_RegisterProxySiteMaker(&make_site), true);

} // namespace
