// SIP accounts: loaded from the settings or managed at run time, registered with their registrar,
// kept registered by the once-a-second timer pass, and the responses to their REGISTERs.
#include "host/CBaseDNSClient.h"
#include "host/CKZAPIEnv.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/KZIndexedConfig.h"
#include "server/ProxyHostPort.h"
#include "server/RegisterCredentials.h"
#include "server/SIPElement.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using KZAPI::CString;
using Account = kz_sip_user_reg_profile;

namespace {

constexpr int kKeepAliveSeconds = 10;
constexpr char kKeepAliveText[] = "  ";
constexpr int kShortLifetime = 60; // lifetimes up to this are refreshed when they run out
constexpr int kRefreshMargin = 2;
constexpr int kRegistrationGrace = 60;
constexpr int kRemoveWaitMs = 100;
constexpr int kNoAnswerCode = 408;

template <size_t N> void copy(char (&target)[N], const char* text) {
    KZAPI::str_cpy(target, text ? text : "", N);
}

// Empty domain, proxy and authorization user are taken from each other as configured accounts do.
void fill_defaults(Account& a) {
    if (!a.proxy[0]) copy(a.proxy, a.domain);
    if (!a.domain[0]) copy(a.domain, a.proxy);
    if (!a.authorization_user[0]) copy(a.authorization_user, a.user_name);
}

// The domain without any port part, for comparisons.
std::string_view bare_domain(std::string_view domain) {
    return domain.substr(0, domain.find(':'));
}

// The contacts of a Contact value, split at the commas outside brackets and quotes.
std::vector<std::string> split_contacts(const std::string& value) {
    std::vector<std::string> items;
    std::string current;
    bool quoted = false, bracketed = false;
    for (char c : value) {
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '<') bracketed = true;
        if (!quoted && c == '>') bracketed = false;
        if (c == ',' && !quoted && !bracketed) {
            items.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    if (!current.empty()) items.push_back(current);
    return items;
}

// The number of a contact's expires parameter (outside its brackets), or -1.
int contact_expires(const std::string& contact) {
    const size_t close = contact.find('>');
    std::string params = contact.substr(close == std::string::npos ? 0 : close);
    for (char& c : params)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = params.find("expires=");
    return at == std::string::npos ? -1 : std::atoi(params.c_str() + at + 8);
}

bool same_binding(const std::string& contact, const std::string& own) {
    const HostPort a = parse_host_port(contact), b = parse_host_port(own);
    return KZAPI::iequals(a.host, b.host) && a.port == b.port;
}

// The lifetime granted for our binding by the Contact of a 2xx: its only contact, or the one
// naming our host and port; -1 when none says.
int granted_by_contact(const std::string& contact_value, const std::string& own_contact) {
    const std::vector<std::string> contacts = split_contacts(contact_value);
    if (contacts.size() == 1) return contact_expires(contacts[0]);
    for (const std::string& c : contacts)
        if (same_binding(c, own_contact)) return contact_expires(c);
    return -1;
}

bool is_due_for_retry(const Account& a, int64_t now) {
    return a.state < Account::REGISTERED && a.state_time >= 1 && a.lifetime > 0 &&
           now - a.state_time > a.retry_interval;
}

bool is_due_for_refresh(const Account& a, int64_t now) {
    if (a.state != Account::REGISTERED || a.state_time < 1 || a.lifetime < 1) return false;
    const int64_t due = a.lifetime > kShortLifetime ? a.lifetime - kRefreshMargin : a.lifetime;
    return now - a.state_time >= due;
}

KZAPI::CKZAPIEnv& host_env() {
    return *KZAPI::CKZAPIEnv::GetKZAPIEnv();
}

} // namespace

// ---- the account list ----

std::unique_ptr<Account> CKZSIPServer::NewAccount(int retry_interval) const {
    auto a = std::make_unique<Account>();
    a->retry_interval = retry_interval > 0 ? retry_interval : Account::kDefaultRetryInterval;
    // The first REGISTER goes out about three seconds after loading.
    a->state_time = m_clock->NowSeconds() - a->retry_interval + 2;
    return a;
}

int CKZSIPServer::InitUserRegInfo() {
    FreeUserRegInfo();
    KZAPI::CMutexLock lock(GetServerMutex());
    const int count = CFG_GetIntValue("kzsrv.sip.reg.client.num", 0);
    for (int i = 1; i <= count; ++i) {
        auto a = NewAccount(
            KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.retry.interval", i, Account::kDefaultRetryInterval));
        copy(a->display_name, KZ_CFG_GetIndexedValue("kzsrv.sip.reg%d.displayname", i, "").c_str());
        copy(a->user_name, KZ_CFG_GetIndexedValue("kzsrv.sip.reg%d.username", i, "").c_str());
        copy(a->domain, KZ_CFG_GetIndexedValue("kzsrv.sip.reg%d.domain", i, "").c_str());
        copy(a->proxy, KZ_CFG_GetIndexedValue("kzsrv.sip.reg%d.proxy", i, "").c_str());
        copy(a->authorization_user, KZ_CFG_GetIndexedValue("kzsrv.sip.reg%d.authorization", i, "").c_str());
        copy(a->password, KZ_CFG_GetIndexedValue("kzsrv.sip.reg%d.password", i, "").c_str());
        fill_defaults(*a);
        a->lifetime = a->configured_lifetime =
            KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.expire", i, Account::kDefaultLifetime);
        a->register_flag = KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.register", i, 1);
        a->transport = KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.prot", i, 0) & 0xF;
        a->srtp = KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.srtp", i, 0);
        copy(a->user_id, KZ_CFG_GetIndexedValue("kzsrv.sip.reg%d.userid", i, "").c_str());
        a->max_calls = KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.max.calls", i, 0);
        a->has_subscriptions = KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.subscribe", i, 0);
        if (a->has_subscriptions) AddConfiguredSubscriptions(*a, i);
        ApplyDNSSrv(*a);
        m_accounts.push_back(std::move(a));
    }
    return count;
}

void CKZSIPServer::AddConfiguredSubscriptions(Account& a, int number) {
    const int lifetime = KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.subscribe.expire", number,
                                              kz_sip_user_subscribe_item::kDefaultLifetime);
    const int kind = KZ_CFG_GetIndexedInt("kzsrv.sip.reg%d.subscribe.accept", number, 0);
    const std::string addresses =
        KZ_CFG_GetIndexedValue("kzsrv.sip.reg%d.subscribe.addr", number, "").c_str();
    size_t start = 0;
    while (start <= addresses.size()) {
        const size_t end = std::min(addresses.find(';', start), addresses.size());
        const std::string address(KZAPI::trim_spaces(std::string_view(addresses).substr(start, end - start)));
        start = end + 1;
        if (address.empty()) continue;
        auto item = std::make_unique<kz_sip_user_subscribe_item>();
        copy(item->address, address.c_str());
        item->lifetime = lifetime;
        item->event_kind = kind;
        item->state_time = m_clock->NowSeconds() - lifetime + 10;
        Log(LOG_TRACE, "subscribe item %d: %s", static_cast<int>(a.subscriptions.size()), item->address);
        a.subscriptions.push_back(std::move(item));
    }
}

int CKZSIPServer::FreeUserRegInfo() {
    KZAPI::CMutexLock lock(GetServerMutex());
    m_accounts.clear();
    return 0;
}

int CKZSIPServer::GetUserRegProfileCount() const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    return static_cast<int>(m_accounts.size());
}

Account* CKZSIPServer::GetUserRegProfile(int index) const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    return index < 0 || static_cast<size_t>(index) >= m_accounts.size()
               ? nullptr
               : m_accounts[static_cast<size_t>(index)].get();
}

Account* CKZSIPServer::GetUserRegProfile(const char* domain, const char* user, int mode) const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    const std::string_view wanted = bare_domain(domain ? domain : "");
    auto domain_fits = [&](const Account& a) { return KZAPI::iequals(bare_domain(a.domain), wanted); };
    auto mode_fits = [&](const Account& a) {
        if (mode == LOOKUP_NOT_REGISTERING) return a.register_flag == 0;
        if (mode == LOOKUP_REGISTERING) return a.register_flag != 0;
        return true;
    };
    if (user && *user) {
        for (const auto& a : m_accounts)
            if (domain_fits(*a) && KZAPI::iequals(a->user_name, user) && mode_fits(*a)) return a.get();
        if (domain && *domain) {
            const std::string address = std::string(user) + "@" + domain;
            for (const auto& a : m_accounts) {
                const char* contact = a->return_contact[0] ? a->return_contact : a->own_contact;
                if (std::string_view(contact).find(address) != std::string_view::npos) return a.get();
            }
        }
    }
    for (const auto& a : m_accounts)
        if (domain_fits(*a) && mode_fits(*a)) return a.get();
    return nullptr;
}

void CKZSIPServer::ApplyDNSSrv(Account& a) const {
    if (!m_enable_dns_srv || !a.domain[0] ||
        KZAPI::KZ_IsDottedQuad(std::string(bare_domain(a.domain)).c_str()))
        return;
    std::string target;
    uint16_t port = 0;
    if (!KZAPI::CBaseDNSClient::DSNSRVSearch(a.domain, target, &port)) {
        Log(LOG_TRACE, "CBaseDNSClient::DSNSRVSearch failed. %s", a.domain);
        return;
    }
    if (!target.empty() && target.back() == '.') target += a.domain;
    if (port != 0 && port != CKZSIPGroup::kDefaultSIPPort) target += ":" + std::to_string(port);
    copy(a.proxy, target.c_str());
    Log(LOG_TRACE, "CBaseDNSClient::DSNSRVSearch returned true. %s -> %s:%d", a.domain, target.c_str(), port);
}

Account* CKZSIPServer::SIPAccount_Add(const char* display_name, const char* user_name, const char* domain,
                                      const char* proxy, const char* authorization_user, const char* password,
                                      int lifetime, int register_flag, int max_calls, int retry_interval,
                                      int enabled, int protocol) {
    auto a = NewAccount(retry_interval);
    copy(a->display_name, display_name);
    copy(a->user_name, user_name);
    copy(a->domain, domain);
    copy(a->proxy, proxy);
    copy(a->authorization_user, authorization_user);
    copy(a->password, password);
    fill_defaults(*a);
    a->lifetime = a->configured_lifetime = lifetime;
    a->register_flag = register_flag;
    a->max_calls = max_calls;
    a->enabled = enabled;
    a->transport = protocol & 0xF;
    a->srtp = (protocol >> 4) & 1;
    ApplyDNSSrv(*a);
    KZAPI::CMutexLock lock(GetServerMutex());
    m_accounts.push_back(std::move(a));
    return m_accounts.back().get();
}

unsigned CKZSIPServer::SIPAccount_Remove(Account* handle) {
    const int index = SIPAccount_Index(handle);
    if (index < 0) return kHostFailure;
    UnregisterUser(index);
    std::this_thread::sleep_for(std::chrono::milliseconds(kRemoveWaitMs)); // lets the unregistration leave
    KZAPI::CMutexLock lock(GetServerMutex());
    for (auto it = m_accounts.begin(); it != m_accounts.end(); ++it) {
        if (it->get() != handle) continue;
        m_accounts.erase(it);
        return kHostSuccess;
    }
    return kHostFailure;
}

int CKZSIPServer::SIPAccount_Count() {
    return GetUserRegProfileCount();
}

int CKZSIPServer::SIPAccount_Index(const Account* handle) {
    KZAPI::CMutexLock lock(GetServerMutex());
    for (size_t i = 0; i < m_accounts.size(); ++i)
        if (m_accounts[i].get() == handle) return static_cast<int>(i);
    return -1;
}

Account* CKZSIPServer::SIPAccount_Handle(int index) {
    return GetUserRegProfile(index);
}

const char* CKZSIPServer::SIPAccount_Get(int index, int field) {
    KZAPI::CMutexLock lock(GetServerMutex());
    const Account* a = GetUserRegProfile(index);
    if (!a) return m_account_text;
    switch (field) {
    case ACCOUNT_DISPLAY_NAME:
        copy(m_account_text, a->display_name);
        break;
    case ACCOUNT_USER_NAME:
        copy(m_account_text, a->user_name);
        break;
    case ACCOUNT_DOMAIN:
        copy(m_account_text, a->domain);
        break;
    case ACCOUNT_PROXY:
        copy(m_account_text, a->proxy);
        break;
    case ACCOUNT_AUTHORIZATION_USER:
        copy(m_account_text, a->authorization_user);
        break;
    case ACCOUNT_PASSWORD:
        copy(m_account_text, a->password);
        break;
    case ACCOUNT_USER_ID:
        copy(m_account_text, a->user_id);
        break;
    case ACCOUNT_TRANSPORT:
        KZAPI::s_printf(m_account_text, sizeof(m_account_text), "%d", a->transport);
        break;
    case ACCOUNT_SRTP:
        KZAPI::s_printf(m_account_text, sizeof(m_account_text), "%d", a->srtp);
        break;
    default:
        break; // the previous result stands
    }
    return m_account_text;
}

unsigned CKZSIPServer::SIPAccount_Set(int index, int field, const char* text) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a || !text) return kHostFailure;
    switch (field) {
    case ACCOUNT_DISPLAY_NAME:
        copy(a->display_name, text);
        break;
    case ACCOUNT_USER_NAME:
        copy(a->user_name, text);
        break;
    case ACCOUNT_DOMAIN:
        copy(a->domain, text);
        ApplyDNSSrv(*a);
        break;
    case ACCOUNT_PROXY:
        copy(a->proxy, text);
        ApplyDNSSrv(*a);
        break;
    case ACCOUNT_AUTHORIZATION_USER:
        copy(a->authorization_user, text);
        break;
    case ACCOUNT_PASSWORD:
        copy(a->password, text);
        break;
    case ACCOUNT_USER_ID:
        copy(a->user_id, text);
        break;
    case ACCOUNT_TRANSPORT:
        a->transport = std::atoi(text);
        break;
    case ACCOUNT_SRTP:
        a->srtp = std::atoi(text);
        break;
    default:
        return kHostFailure;
    }
    return kHostSuccess;
}

unsigned CKZSIPServer::SIPAccount_Enable(Account* handle, int on) {
    KZAPI::CMutexLock lock(GetServerMutex());
    const int index = SIPAccount_Index(handle);
    if (index < 0) return kHostFailure;
    SIPAccount_Register(index, on);
    handle->enabled = on;
    return kHostSuccess;
}

unsigned CKZSIPServer::SIPAccount_Register(int index, int on) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a) return kHostFailure;
    if (!on) return UnregisterUser(index) ? kHostSuccess : kHostFailure;
    a->lifetime = a->configured_lifetime;
    return SendRegister1(m_clock->NowSeconds(), index) ? kHostSuccess : kHostFailure;
}

unsigned CKZSIPServer::GetRegStatus(int index, int* registered, int* seconds) {
    KZAPI::CMutexLock lock(GetServerMutex());
    const Account* a = GetUserRegProfile(index);
    const bool is_registered = a && a->state == Account::REGISTERED;
    if (registered) *registered = is_registered ? 1 : 0;
    if (seconds) *seconds = is_registered ? a->lifetime : 0;
    return a ? kHostSuccess : kHostFailure;
}

int CKZSIPServer::UnregisterUser(int index) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a) return 0;
    if (a->state != Account::REGISTERED) return 1;
    a->lifetime = 0;
    SendRegister1(m_clock->NowSeconds(), index);
    return 1;
}

int CKZSIPServer::UnregisterUsers() {
    KZAPI::CMutexLock lock(GetServerMutex());
    int sent = 0;
    for (size_t i = 0; i < m_accounts.size(); ++i) {
        if (m_accounts[i]->state != Account::REGISTERED) continue;
        UnregisterUser(static_cast<int>(i));
        ++sent;
    }
    return sent;
}

bool CKZSIPServer::IsUserRegistered(int64_t time, int expires) {
    const int64_t now = KZAPI::CKZClock::System().NowSeconds();
    return now <= time || now - time <= static_cast<int64_t>(expires) + kRegistrationGrace;
}

bool CKZSIPServer::IsUserRegistered(const char* timestamp, const char* expires) {
    if (!timestamp || !expires) return false;
    const int64_t time = ConvertMySQLTimeStampToUnixTime(timestamp);
    return time != 0 && IsUserRegistered(time, std::atoi(expires));
}

// ---- the timer pass ----

void CKZSIPServer::CheckUsersRegStatus(int64_t now) {
    KZAPI::CMutexLock lock(GetServerMutex());
    for (size_t i = 0; i < m_accounts.size(); ++i) {
        Account& a = *m_accounts[i];
        if (!a.register_flag || !a.enabled || !a.domain[0] || !a.proxy[0]) continue;
        if (is_due_for_retry(a, now) || is_due_for_refresh(a, now)) {
            a.lifetime = a.configured_lifetime;
            SendRegister1(now, static_cast<int>(i));
        }
        if (m_keep_alive && (now - a.last_keep_alive) % kKeepAliveSeconds == 0) SendKeepAlive(now, a);
    }
}

void CKZSIPServer::SendKeepAlive(int64_t now, Account& a) {
    const HostPort proxy = parse_host_port(a.proxy);
    if (proxy.host.empty() || !m_pSIPGroup) return;
    CKZSIPGroup::SendExternalMessage(m_pSIPGroup->GetSIPHandle(), kKeepAliveText, proxy.host.c_str(),
                                     proxy.port, a.transport, nullptr);
    a.last_keep_alive = now;
}

// ---- sending ----

CKZSIPServer::LocalContact CKZSIPServer::RegisterLocalAddress(const Account& a, bool prefer_received) const {
    const int port = CFG_GetIntValue("kzsrv.sip.ip.port", CKZSIPGroup::kDefaultSIPPort);
    const char* public_rtp = m_pSIPGroup->GetUsePublicIPInRTP();
    if (public_rtp[0] && std::string_view(public_rtp) != "0") return {public_rtp, port};
    const CString configured = CFG_GetValue("kzsrv.sip.ip.address", "");
    const std::string address(KZAPI::trim_spaces(configured.c_str()));
    if (std::string_view(public_rtp) != "0" && !address.empty()) return {address, port};
    if (prefer_received && a.received_address[0] && a.received_port)
        return {a.received_address, a.received_port};
    return {m_pSIPGroup->GetRealPublicSIPIP(), m_pSIPGroup->GetRealPublicSIPPort()};
}

bool CKZSIPServer::AddAccountRequestElements(sip_msg* m, const Account& a, const LocalContact& local,
                                             const char* method, bool with_user_id, char* own_contact,
                                             size_t own_contact_size) {
    bool ok = true;
    auto set = [&](uint32_t id, const char* value) {
        ok = CKZSIPGroup::MSG_SetIE_STR(m, id, 0, value) == 0 && ok;
    };
    char text[kz_sip_user_reg_profile::kTextSize + 64];
    KZAPI::s_printf(text, sizeof(text), "%s<sip:%s@%s>", a.display_name, a.user_name, a.domain);
    set(KZ_IE_SIP_FROM, text);
    set(KZ_IE_SIP_REQUEST_LINE_METHOD, method);
    set(KZ_IE_SIP_REQUEST_LINE_PROTVERSION, "SIP/2.0");
    set(KZ_IE_SIP_USER_AGENT, m_pSIPGroup->GetSIPUserAgent());
    set(KZ_IE_SIP_MAX_FORWARDS, "70");

    KZAPI::s_printf(text, sizeof(text), "%s:%d", local.address.c_str(), local.port);
    set(KZ_IE_SIP_VIA_ADDRESS, text);
    set(KZ_IE_SIP_VIA_PARAM, "rport");
    set(KZ_IE_SIP_VIA_PROTOCOL, a.transport ? "SIP/2.0/TCP" : "SIP/2.0/UDP");
    if (a.transport) {
        KZAPI::s_printf(text, sizeof(text), "%d", a.transport);
        set(KZ_IE_SIP_PROTOCOL, text);
    }

    KZAPI::s_printf(own_contact, own_contact_size, "<sip:%s@%s:%d%s>", a.user_name, local.address.c_str(),
                    local.port, a.transport ? ";transport=tcp" : "");
    if (with_user_id && a.user_id[0]) {
        std::string sent(own_contact, std::strlen(own_contact) - 1);
        set(KZ_IE_SIP_CONTACT, (sent + ";user=" + a.user_id + ">").c_str());
    } else {
        set(KZ_IE_SIP_CONTACT, own_contact);
    }
    set(KZ_IE_SIP_CSEQ_METHOD, method);
    return ok;
}

SIPMessagePtr CKZSIPServer::BuildRegister(Account& a, const LocalContact& local, bool* complete) {
    SIPMessagePtr message = AllocSIPMessage();
    if (!message) return message;
    sip_msg* m = message.get();
    char own_contact[kz_sip_user_reg_profile::kTextSize];
    bool ok = AddAccountRequestElements(m, a, local, "REGISTER", true, own_contact, sizeof(own_contact));
    copy(a.own_contact, own_contact);
    auto set = [&](uint32_t id, const char* value) {
        ok = CKZSIPGroup::MSG_SetIE_STR(m, id, 0, value) == 0 && ok;
    };
    char text[kz_sip_user_reg_profile::kTextSize + 64];
    KZAPI::s_printf(text, sizeof(text), "%s<sip:%s@%s>", a.display_name, a.user_name, a.domain);
    set(KZ_IE_SIP_TO, text);
    KZAPI::s_printf(text, sizeof(text), "sip:%s", a.domain);
    set(KZ_IE_SIP_REQUEST_LINE_URI, text);
    KZAPI::s_printf(text, sizeof(text), "%d", a.lifetime);
    set(KZ_IE_SIP_EXPIRES, text);
    *complete = ok;
    return message;
}

int CKZSIPServer::HandRegisterToStack(int64_t now, Account& a, SIPMessagePtr message, bool complete,
                                      int sent_state, bool log_destination) {
    uint32_t connection = 0;
    bool sent = false;
    if (complete && m_pSIPGroup->GetConnectionId(&connection) == 0) {
        const HostPort proxy = parse_host_port(a.proxy);
        void* stack = m_pSIPGroup->GetSIPHandle();
        if (proxy.host.empty()) {
            if (log_destination) Log(LOG_TRACE, "CKZSIPServer::SendRegister1 1");
            sent = CKZSIPGroup::SendMessage(stack, message.get(), nullptr, 0, connection) == 0;
        } else {
            if (log_destination)
                Log(LOG_TRACE, "CKZSIPServer::SendRegister1 2 %s:%d", proxy.host.c_str(), proxy.port);
            sent = CKZSIPGroup::SendMessage(stack, message.get(), proxy.host.c_str(), proxy.port,
                                            connection) == 0;
        }
    }
    a.pending_connection = sent ? connection : 0;
    a.state = sent ? sent_state : Account::UNREGISTERED;
    a.state_time = now;
    a.saved_register = std::move(message);
    return sent ? 1 : 0;
}

int CKZSIPServer::SendRegister1(int64_t now, int index) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a || !m_pSIPGroup) return 0;
    bool complete = false;
    SIPMessagePtr message = BuildRegister(*a, RegisterLocalAddress(*a, false), &complete);
    if (!message) {
        Log(LOG_ERROR, "Cannot allocate reg_msg for user_info!");
        return 0;
    }
    char number[16];
    KZAPI::s_printf(number, sizeof(number), "%d", ++a->cseq);
    complete = CKZSIPGroup::MSG_SetIE_STR(message.get(), KZ_IE_SIP_CSEQ_NUMBER, 0, number) == 0 && complete;
    // Every REGISTER of an account goes out under one Call-ID.
    if (a->saved_register)
        CKZSIPGroup::CopyIE_STR(a->saved_register.get(), message.get(), KZ_IE_SIP_CALLID, 0, 0);
    return HandRegisterToStack(now, *a, std::move(message), complete, Account::REGISTER_SENT, true);
}

int CKZSIPServer::SendRegister2(int64_t now, int index, sip_msg* challenge, const char* received_address,
                                uint16_t received_port) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a || !m_pSIPGroup || !challenge) return 0;
    if (received_address && *received_address && received_port) {
        copy(a->received_address, received_address);
        a->received_port = received_port;
        Log(LOG_TRACE, "SendRegister2 sip account(%d) saved received address: %s:%d", index, received_address,
            received_port);
    }
    const LocalContact local = RegisterLocalAddress(*a, true);
    const CString configured = CFG_GetValue("kzsrv.sip.ip.address", "");
    const int configured_port = CFG_GetIntValue("kzsrv.sip.ip.port", CKZSIPGroup::kDefaultSIPPort);
    if (local.address == m_pSIPGroup->GetUsePublicIPInRTP())
        Log(LOG_TRACE, "SendRegister2 pPub:%s sip_cfg.ip.address:%s:%d RealPublicSIPIP:%s:%d",
            local.address.c_str(), configured.c_str(), configured_port, m_pSIPGroup->GetRealPublicSIPIP(),
            m_pSIPGroup->GetRealPublicSIPPort());
    else
        Log(LOG_TRACE, "SendRegister2 LocalIP:%s sip_cfg.ip.address:%s:%d RealPublicSIPIP:%s:%d",
            local.address.c_str(), configured.c_str(), configured_port, m_pSIPGroup->GetRealPublicSIPIP(),
            m_pSIPGroup->GetRealPublicSIPPort());
    bool complete = false;
    SIPMessagePtr message = BuildRegister(*a, local, &complete);
    if (!message) return 0;
    sip_msg* m = message.get();
    CKZSIPGroup::CopyIE_STR(challenge, m, KZ_IE_SIP_FROM_TAG, 0, 0);
    CKZSIPGroup::CopyIE_STR(challenge, m, KZ_IE_SIP_CALLID, 0, 0);
    a->cseq = std::atoi(sip_element(challenge, KZ_IE_SIP_CSEQ_NUMBER).c_str()) + 1;
    char number[16];
    KZAPI::s_printf(number, sizeof(number), "%d", a->cseq);
    complete = CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_CSEQ_NUMBER, 0, number) == 0 && complete;

    std::string qop;
    if (AddRegisterCredentials(m, challenge, *a, &qop) == CredentialsOutcome::UnsupportedQop) {
        Log(LOG_ERROR, "QOP(%s) is not supported!", qop.c_str());
        return 0;
    }
    return HandRegisterToStack(now, *a, std::move(message), complete, Account::CREDENTIALS_SENT, false);
}

// ---- responses ----

int CKZSIPServer::AccountIndexByConnection(uint32_t connection) const {
    for (size_t i = 0; i < m_accounts.size(); ++i)
        if (connection && m_accounts[i]->pending_connection == connection) return static_cast<int>(i);
    return -1;
}

uint32_t CKZSIPServer::OnOK(uint32_t connection, sip_msg* response) {
    KZAPI::CMutexLock lock(GetServerMutex());
    const int index = AccountIndexByConnection(connection);
    const std::string method = sip_element(response, KZ_IE_SIP_CSEQ_METHOD);
    if (KZAPI::iequals(method, "SUBSCRIBE")) return OnSubscriptionAnswer(connection, response, false, false);
    if (KZAPI::iequals(method, "MESSAGE")) return OnMessageAnswer(connection, response, nullptr, false);
    if (index < 0 || !KZAPI::iequals(method, "REGISTER")) return kNotHandled;
    Account& a = *m_accounts[static_cast<size_t>(index)];
    if (a.state != Account::REGISTER_SENT && a.state != Account::CREDENTIALS_SENT) return kNotHandled;
    a.pending_connection = 0;

    const std::string expires = sip_element(response, KZ_IE_SIP_EXPIRES);
    const std::string contact = sip_element(response, KZ_IE_SIP_CONTACT);
    if (!expires.empty()) {
        a.lifetime = std::atoi(expires.c_str());
        Log(LOG_TRACE, "Account %s Registered! %d seconds.", a.user_name, a.lifetime);
        if (!contact.empty()) {
            copy(a.return_contact, contact.c_str());
            Log(LOG_TRACE, "Account %s Registered! Saved return contact %s", a.user_name, a.return_contact);
        }
    } else {
        copy(a.return_contact, sip_element(a.saved_register.get(), KZ_IE_SIP_CONTACT).c_str());
        const int granted = granted_by_contact(contact, a.own_contact);
        if (granted >= 0) a.lifetime = granted;
    }

    a.state_time = m_clock->NowSeconds();
    if (a.lifetime > 0) {
        a.state = Account::REGISTERED;
        const std::string agent = sip_element(response, KZ_IE_SIP_USER_AGENT);
        if (!agent.empty()) m_pSIPGroup->SetSIPProxyName(agent.c_str());
        host_env().Send_RegStatus(index, 1, a.lifetime);
    } else {
        a.state = Account::UNREGISTERED;
        m_pSIPGroup->SetSIPProxyName("");
        host_env().Send_RegStatus(index, 0, 0);
    }
    return 0;
}

uint32_t CKZSIPServer::OnUnauthorized(uint32_t connection, sip_msg* response, const char* received_address,
                                      uint16_t received_port) {
    KZAPI::CMutexLock lock(GetServerMutex());
    const int index = AccountIndexByConnection(connection);
    if (index < 0) {
        if (OnSubscriptionAnswer(connection, response, true, false) == 0) return 0;
        return OnMessageAnswer(connection, response, nullptr, true);
    }
    const Account& a = *m_accounts[static_cast<size_t>(index)];
    if (a.state == Account::CREDENTIALS_SENT) {
        // The registrar refused the credentials themselves: asking again would only loop.
        const int code = std::atoi(sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE).c_str());
        RegistrationFailed(index, code, sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING).c_str());
        return 0;
    }
    SendRegister2(m_clock->NowSeconds(), index, response, received_address, received_port);
    return 0;
}

uint32_t CKZSIPServer::OnSIPError(uint32_t connection, sip_msg* response, const KZSIPEvent* event) {
    KZAPI::CMutexLock lock(GetServerMutex());
    const int index = AccountIndexByConnection(connection);
    if (index < 0) {
        if (OnSubscriptionAnswer(connection, response, false, true) == 0) return 0;
        return OnMessageAnswer(connection, response, event, false);
    }
    const Account& a = *m_accounts[static_cast<size_t>(index)];
    if (a.state != Account::REGISTER_SENT && a.state != Account::CREDENTIALS_SENT) return kNotHandled;
    const std::string code = sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE);
    const std::string reason = sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING);
    if (!code.empty() && !reason.empty())
        RegistrationFailed(index, std::atoi(code.c_str()), reason.c_str());
    else
        RegistrationFailed(index, kNoAnswerCode, event ? kz_sip_event_name(event->event_type) : "");
    return 0;
}

void CKZSIPServer::RegistrationFailed(int index, int code, const char* reason) {
    Account& a = *m_accounts[static_cast<size_t>(index)];
    a.pending_connection = 0;
    a.state = Account::UNREGISTERED;
    a.state_time = m_clock->NowSeconds();
    Log(LOG_WARNING, "CKZSIPServer sip account(%d) registration failed: %d %s", index, code, reason);
    host_env().Send_RegStatus(index, 0, 0);
    host_env().Send_RegFailure(index, code, reason);
}
