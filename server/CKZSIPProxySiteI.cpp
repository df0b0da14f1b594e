#include "server/CKZSIPProxySiteI.h"

#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"

#include <atomic>

namespace {
constinit std::atomic<KZProxySiteMakerFn> g_site_maker{nullptr};
} // namespace

bool CKZSIPProxySiteI::ServesDomain(const char* domain) const {
    if (!domain || !*domain) return false;
    for (const std::string& d : m_domains)
        if (KZAPI::iequals(d.c_str(), domain)) return true;
    return false;
}

void CKZSIPProxySiteI::OnRegister(const ProxySiteRequest& request) {
    // Without user records every registration is challenged like one for an unknown user.
    if (request.group) request.group->SIP_Send407(request.message, request.connection);
}

bool CKZSIPProxySiteI::AuthorizeSubscribe(const ProxySiteRequest& request, const char* /*watcher*/) {
    if (request.group) request.group->SIP_Send407(request.message, request.connection);
    return false;
}

void KZ_RegisterProxySiteMaker(KZProxySiteMakerFn maker) {
    g_site_maker.store(maker);
}

std::unique_ptr<CKZSIPProxySiteI> KZ_MakeProxySite(int number, std::vector<std::string> domains,
                                                   const CKZSIPProxySiteOptions& options) {
    const KZProxySiteMakerFn maker = g_site_maker.load();
    if (maker) return maker(number, std::move(domains), options);
    return std::make_unique<CKZSIPProxySiteI>(number, std::move(domains), options);
}
