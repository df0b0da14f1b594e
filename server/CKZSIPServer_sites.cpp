// Proxy sites as read from the settings, and request vetting for the proxy.
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPProxySite.h"
#include "server/CKZSIPServer.h"
#include "server/KZIndexedConfig.h"
#include "server/ProxyTransferTarget.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"

#include <cstdlib>
#include <string>
#include <vector>

using KZAPI::CString;

namespace {

std::vector<std::string> split_semicolons(const char* text) {
    std::vector<std::string> items;
    std::string_view rest = text ? text : "";
    while (!rest.empty()) {
        const size_t semi = rest.find(';');
        const std::string_view item = KZAPI::trim_spaces(rest.substr(0, semi));
        if (!item.empty()) items.emplace_back(item);
        if (semi == std::string_view::npos) break;
        rest.remove_prefix(semi + 1);
    }
    return items;
}

} // namespace

unsigned CKZSIPServer::InitProxySitesInfo() {
    FreeProxySitesInfo();
    KZAPI::CMutexLock lock(GetServerMutex());
    const int count = CFG_GetIntValue("kzsrv.sip.proxy.sites.num", 0);
    for (int i = 1; i <= count; ++i) {
        CKZSIPProxySite::Options o;
        o.register_qop = KZ_CFG_GetIndexedInt("kzsrv.sip.proxy.site%d.register.qop", i, 0) != 0;
        o.register_opaque = KZ_CFG_GetIndexedInt("kzsrv.sip.proxy.site%d.register.opaque", i, 0) != 0;
        o.record_route = KZ_CFG_GetIndexedInt("kzsrv.sip.proxy.site%d.recordroute", i, 0) != 0;
        o.udp_relay = KZ_CFG_GetIndexedInt("kzsrv.sip.proxy.site%d.udp.relay", i, 0) != 0;
        o.map_reg_source = KZ_CFG_GetIndexedInt("kzsrv.sip.proxy.site%d.map.reg.source", i, 0) != 0;
        o.check_user_status = KZ_CFG_GetIndexedInt("kzsrv.sip.proxy.site%d.check.user.status", i, 0) != 0;
        const CString domains = KZ_CFG_GetIndexedValue("kzsrv.sip.proxy.site%d.domain", i, "");
        m_proxy_sites.push_back(CreateProxySite(i - 1, split_semicolons(domains.c_str()), o));
    }
    return kHostSuccess;
}

std::unique_ptr<CKZSIPProxySite> CKZSIPServer::CreateProxySite(int number, std::vector<std::string> domains,
                                                               const CKZSIPProxySiteOptions& options) {
    return std::make_unique<CKZSIPProxySite>(number, std::move(domains), options);
}

unsigned CKZSIPServer::FreeProxySitesInfo() {
    KZAPI::CMutexLock lock(GetServerMutex());
    m_proxy_sites.clear();
    return kHostSuccess;
}

int CKZSIPServer::ProxySitesCount() const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    return static_cast<int>(m_proxy_sites.size());
}

CKZSIPProxySite* CKZSIPServer::GetProxySite(int index) const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    return index < 0 || static_cast<size_t>(index) >= m_proxy_sites.size()
               ? nullptr
               : m_proxy_sites[static_cast<size_t>(index)].get();
}

CKZSIPProxySite* CKZSIPServer::GetProxySiteByDomain(const char* domain, const char* alternative) const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    for (const auto& site : m_proxy_sites)
        if (site->ServesDomain(domain)) return site.get();
    if (!alternative || !*alternative) return nullptr;
    for (const auto& site : m_proxy_sites)
        if (site->ServesDomain(alternative)) return site.get();
    return nullptr;
}

int CKZSIPServer::RequestValidation(sip_msg* message, char* reason, size_t reason_size) {
    char value[512];
    if (!message || CKZSIPGroup::MSG_GetIE_STR(message, KZ_IE_SIP_REQUEST_LINE_URI, 0, value) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(message, KZ_IE_SIP_TO, 0, value) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(message, KZ_IE_SIP_FROM, 0, value) != 0) {
        KZAPI::str_cpy(reason, "Bad Request", reason_size);
        return 400;
    }
    if (CKZSIPGroup::MSG_GetIE_STR(message, KZ_IE_SIP_MAX_FORWARDS, 0, value) != 0) {
        Log(LOG_WARNING, "There is no Max-Forwards head in SIP request.");
        return 0;
    }
    if (std::atoi(value) < 1) {
        KZAPI::str_cpy(reason, "Too Many Hops", reason_size);
        return 483;
    }
    return 0;
}

unsigned CKZSIPServer::CheckOKForProxyUser(sip_msg* message) {
    KZAPI::CMutexLock lock(GetServerMutex());
    const int64_t now = m_clock->NowSeconds();
    for (const auto& site : m_proxy_sites)
        if (site->IsOKForProxyUser(message, now)) return kHostSuccess;
    return kHostFailure;
}

CKZSIPProxySession* CKZSIPServer::GetProxySessionByConnID(uint32_t /*connection*/) const {
    // Sites run no call sessions yet, so no connection belongs to one.
    return nullptr;
}

unsigned CKZSIPServer::ProxySetNewCallSessionAddr(int site, uint32_t connection, const char* /*address*/) {
    KZAPI::CMutexLock lock(GetServerMutex());
    if (!GetProxySessionByConnID(connection))
        Log(LOG_ERROR, "CKZSIPServer::ProxySetNewCallSessionAddr couldn't find proxy:session %d:%d", site,
            static_cast<int>(connection));
    return kHostFailure;
}

unsigned CKZSIPServer::ProxyConnectCallSessions(int, uint32_t, int, int, uint32_t, int) {
    // Joining needs the sessions of both connections in their established state; the sites run
    // no sessions yet, so there is nothing to join.
    return kHostFailure;
}

int CKZSIPServer::Proxy_TransferCall(uint32_t connection, sip_msg* invite, CKZSIPGroup* group,
                                     const char* target, const char* sender_address, uint16_t sender_port) {
    KZAPI::CMutexLock lock(GetServerMutex());
    char from[CKZSIPGroup::kIEBufferSize], to[CKZSIPGroup::kIEBufferSize], uri[CKZSIPGroup::kIEBufferSize];
    if (!invite || CKZSIPGroup::MSG_GetIE_STR(invite, KZ_IE_SIP_FROM, 0, from) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(invite, KZ_IE_SIP_TO, 0, to) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(invite, KZ_IE_SIP_REQUEST_LINE_URI, 0, uri) != 0)
        return 0;
    char *user = nullptr, *to_host = nullptr, *port = nullptr;
    if (!CKZSIPGroup::GetSIPAddressInfo(to, &user, &to_host, &port) || !to_host || !*to_host) return 0;
    char *uri_user = nullptr, *uri_host = nullptr, *uri_port = nullptr;
    CKZSIPGroup::GetSIPAddressInfo(uri, &uri_user, &uri_host, &uri_port);
    CKZSIPProxySite* site = GetProxySiteByDomain(to_host, uri_host ? uri_host : "");
    if (!site) return 0;
    const ProxyTransferTarget parsed = ProxyTransferTarget::Parse(target ? target : "");
    return site->TransferCall(parsed, connection, invite, group, sender_address, sender_port);
}
