// Proxy sites as read from the settings, and request vetting for the proxy.
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPProxySiteI.h"
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
        CKZSIPProxySiteI::Options o;
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

std::unique_ptr<CKZSIPProxySiteI> CKZSIPServer::CreateProxySite(int number, std::vector<std::string> domains,
                                                                const CKZSIPProxySiteOptions& options) {
    return KZ_MakeProxySite(number, std::move(domains), options);
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

CKZSIPProxySiteI* CKZSIPServer::GetProxySite(int index) const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    return index < 0 || static_cast<size_t>(index) >= m_proxy_sites.size()
               ? nullptr
               : m_proxy_sites[static_cast<size_t>(index)].get();
}

CKZSIPProxySiteI* CKZSIPServer::GetProxySiteByDomain(const char* domain, const char* alternative) const {
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

CKZSIPProxySession* CKZSIPServer::GetProxySessionByConnID(uint32_t connection) const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    for (const auto& site : m_proxy_sites)
        if (CKZSIPProxySession* session = site->FindSession(connection)) return session;
    return nullptr;
}

bool CKZSIPServer::ProxySessionEvent(CKZSIPGroup* group, const KZSIPEvent* event) {
    KZAPI::CMutexLock lock(GetServerMutex());
    for (const auto& site : m_proxy_sites)
        if (site->OnSessionEvent(group, event, m_clock->NowSeconds())) return true;
    return false;
}

void CKZSIPServer::CheckProxySessionStatus(int64_t now) {
    KZAPI::CMutexLock lock(GetServerMutex());
    m_proxy_destination_given.store(false);
    if (!m_pSIPGroup) return;
    for (const auto& site : m_proxy_sites)
        site->CheckProxySessionStatus(m_pSIPGroup.get(), now, true);
}

void CKZSIPServer::ContinueGivenProxyDestinations() {
    if (!m_proxy_destination_given.exchange(false) || !m_pSIPGroup) return;
    const int64_t now = m_clock->NowSeconds();
    for (const auto& site : m_proxy_sites)
        site->CheckProxySessionStatus(m_pSIPGroup.get(), now, false);
}

unsigned CKZSIPServer::ProxySetNewCallSessionAddr(int site, uint32_t connection, const char* address) {
    KZAPI::CMutexLock lock(GetServerMutex());
    CKZSIPProxySiteI* target = GetProxySite(site);
    if (!target || !target->SetNewCallSessionAddr(connection, address)) {
        Log(LOG_ERROR, "CKZSIPServer::ProxySetNewCallSessionAddr couldn't find proxy:session %d:%d", site,
            static_cast<int>(connection));
        return kHostFailure;
    }
    m_proxy_destination_given.store(true);
    return kHostSuccess;
}

unsigned CKZSIPServer::ProxyConnectCallSessions(int site, uint32_t connection1, int leg1, int site2,
                                                uint32_t connection2, int leg2) {
    KZAPI::CMutexLock lock(GetServerMutex());
    CKZSIPProxySiteI* first = GetProxySite(site);
    CKZSIPProxySiteI* second = GetProxySite(site2);
    if (!first || !second || !m_pSIPGroup) return kHostFailure;
    return first->JoinSessions(m_pSIPGroup.get(), connection1, leg1, *second, connection2, leg2,
                               m_clock->NowSeconds())
               ? kHostSuccess
               : kHostFailure;
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
    CKZSIPProxySiteI* site = GetProxySiteByDomain(to_host, uri_host ? uri_host : "");
    if (!site) return 0;
    const ProxyTransferTarget parsed = ProxyTransferTarget::Parse(target ? target : "");
    return site->TransferCall(parsed, connection, invite, group, sender_address, sender_port);
}

// ---- the application's operations on proxy users: forwarded to the site under the server lock ----

template <class Operation> unsigned CKZSIPServer::WithProxySite(int site, Operation&& operation) {
    KZAPI::CMutexLock lock(GetServerMutex());
    CKZSIPProxySiteI* target = GetProxySite(site);
    return target ? operation(*target) : kHostFailure;
}

unsigned CKZSIPServer::ProxySetUserInfo(int site, const char* user, const char* password, int in_use) {
    return WithProxySite(site, [&](CKZSIPProxySiteI& s) { return s.SetUserInfo(user, password, in_use); });
}

unsigned CKZSIPServer::ProxySetUserMsg(int site, const char* user, int waiting, const char* account,
                                       int new_count, int old_count, int urgent_new, int urgent_old) {
    return WithProxySite(site, [&](CKZSIPProxySiteI& s) {
        return s.SetUserMsg(user, waiting, account, new_count, old_count, urgent_new, urgent_old);
    });
}

unsigned CKZSIPServer::ProxyDisableAllUsers(int site) {
    return WithProxySite(site, [](CKZSIPProxySiteI& s) { return s.DisableAllUsers(); });
}

unsigned CKZSIPServer::ProxySetUserAuthType(int site, const char* user, int type) {
    return WithProxySite(site, [&](CKZSIPProxySiteI& s) { return s.SetUserAuthType(user, type); });
}

unsigned CKZSIPServer::ProxyUpdateUserState(int site, const char* user, const char* direction,
                                            const char* state) {
    return WithProxySite(site, [&](CKZSIPProxySiteI& s) {
        return s.UpdateUserState(m_pSIPGroup.get(), user, direction, state, m_clock->NowSeconds());
    });
}

unsigned CKZSIPServer::ProxySetUserAttr(int site, const char* user, int attr, const char* value) {
    return WithProxySite(site, [&](CKZSIPProxySiteI& s) { return s.SetUserAttr(user, attr, value); });
}

void CKZSIPServer::CheckProxyUserStatus(int64_t now) {
    KZAPI::CMutexLock lock(GetServerMutex());
    if (!m_pSIPGroup) return;
    for (const auto& site : m_proxy_sites)
        site->CheckProxyUserStatus(m_pSIPGroup.get(), now);
}
