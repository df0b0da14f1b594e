// CKZSIPProxySite: the registrar side (REGISTER, the challenges it issues, the check of their
// answers) and the application's operations on the site's users.
#include "proxy/CKZSIPProxySite.h"

#include "host/CKZAPIEnv.h"
#include "host/CKZLogInterface.h"
#include "host/KZDigest.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPAddressParts.h"
#include "server/SIPElement.h"
#include "server/SIPMessagePtr.h"
#include "sipmsg/kz_sip_defs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

using KZAPI::CKZLogInterface;

namespace {

constexpr int kDefaultLifetime = 3600;
constexpr char kChannelAgentPrefix[] = "KZAPISIPUA-";
// User agents that want a challenge at the address of their Contact.
constexpr const char* kChallengeAtContactAgents[] = {"Cisco-CP", "OmiPCX Enterprise"};
// Far more users than a site is configured with; keeps the application from growing it unbounded.
constexpr size_t kMaxUsers = 100000;
// The deny list of the stack's address filter, where the transports drop a source's packets.
constexpr int kDenyList = 0;

void copy(char* target, size_t size, const char* text) {
    KZAPI::str_cpy(target, text ? text : "", size);
}
template <size_t N> void copy(char (&target)[N], const char* text) {
    copy(target, N, text);
}

// The number after "expires=" in a Contact, compared in lower case, up to the next ";".
// Delta-seconds beyond an int are a long lifetime (cut to the site's longest later), never one
// that wraps round to a removal.
int delta_seconds(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int>(
        std::clamp<long long>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

std::optional<int> contact_expires(const std::string& contact) {
    std::string lower(contact);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return KZAPI::ascii_lower(c); });
    const size_t at = lower.find("expires=");
    if (at == std::string::npos) return std::nullopt;
    std::string_view value = std::string_view(lower).substr(at + 8);
    value = value.substr(0, value.find(';'));
    const size_t end = value.find_last_not_of(" ;,>");
    if (end == std::string_view::npos) return std::nullopt;
    return delta_seconds(std::string(value.substr(0, end + 1)));
}

bool challenge_at_contact(sip_msg* request) {
    const std::string agent = sip_element(request, KZ_IE_SIP_USER_AGENT);
    for (const char* prefix : kChallengeAtContactAgents)
        if (agent.compare(0, std::strlen(prefix), prefix) == 0) return true;
    return false;
}

struct ChallengeElements {
    uint32_t type, realm, nonce, algorithm, qop, opaque;
};
constexpr ChallengeElements kWWWChallenge{KZ_IE_SIP_WWW_AUTH_REQ_TYPE,  KZ_IE_SIP_WWW_AUTH_REQ_REALM,
                                          KZ_IE_SIP_WWW_AUTH_REQ_NONCE, KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM,
                                          KZ_IE_SIP_WWW_AUTH_REQ_QOP,   KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE};
constexpr ChallengeElements kProxyChallenge{
    KZ_IE_SIP_PROXY_AUTH_REQ_TYPE,      KZ_IE_SIP_PROXY_AUTH_REQ_REALM, KZ_IE_SIP_PROXY_AUTH_REQ_NONCE,
    KZ_IE_SIP_PROXY_AUTH_REQ_ALGORITHM, KZ_IE_SIP_PROXY_AUTH_REQ_QOP,   KZ_IE_SIP_PROXY_AUTH_REQ_OPAQUE};

std::string fresh_opaque(int64_t now) {
    char seed[64];
    KZAPI::s_printf(seed, sizeof(seed), "%d:%d:%d:%d", static_cast<int>(now),
                    static_cast<int>(KZAPI::get_rand_u32()), static_cast<int>(KZAPI::get_rand_u32()),
                    static_cast<int>(KZAPI::get_rand_u32()));
    char hex[33];
    KZAPI::KZ_MD5_Hex(seed, std::strlen(seed), hex);
    return hex;
}

// Compares without stopping at the first difference, so the time taken tells nothing.
bool same_text(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// The digest work a known user's answer costs, spent on an unknown one's, so that the time an
// answer takes does not tell which users exist.
void check_like_a_user(const ProxyCredentials& credentials, sip_msg* request) {
    const std::string method = sip_element(request, KZ_IE_SIP_REQUEST_LINE_METHOD);
    static_cast<void>(ProxyNonce::IssueTime(credentials.nonce.c_str()));
    static_cast<void>(same_text(credentials.ExpectedResponse("", method.c_str()), credentials.response));
}

} // namespace

CKZSIPProxySite::CKZSIPProxySite(int number, std::vector<std::string> domains, const Options& options,
                                 int max_reg_expire)
    : CKZSIPProxySiteI(number, std::move(domains), options), m_max_reg_expire(max_reg_expire) {}

// ---- users ----

ProxyUser* CKZSIPProxySite::FindUser(const char* name) {
    return const_cast<ProxyUser*>(std::as_const(*this).FindUser(name));
}

const ProxyUser* CKZSIPProxySite::FindUser(const char* name) const {
    if (!name || !*name) return nullptr;
    for (const auto& user : m_users)
        if (std::strcmp(user->name, name) == 0) return user.get();
    return nullptr;
}

ProxyUser* CKZSIPProxySite::ActiveUser(const char* name) {
    ProxyUser* user = FindUser(name);
    return user && user->in_use ? user : nullptr;
}

unsigned CKZSIPProxySite::SetUserInfo(const char* name, const char* password, int in_use) {
    if (!name || !*name || std::strlen(name) >= ProxyUser::kNameSize) return 0;
    ProxyUser* user = FindUser(name);
    if (!user) {
        if (m_users.size() >= kMaxUsers) return 0;
        m_users.push_back(std::make_unique<ProxyUser>());
        user = m_users.back().get();
        copy(user->name, name);
    }
    copy(user->password, password);
    user->in_use = in_use != 0;
    if (!user->in_use) user->EndRegistration(user->reg_time);
    return 1;
}

unsigned CKZSIPProxySite::SetUserMsg(const char* name, int waiting, const char* account, int new_count,
                                     int old_count, int urgent_new, int urgent_old) {
    ProxyUser* user = FindUser(name);
    if (!user) return 0;
    user->msg_waiting = waiting != 0;
    copy(user->msg_account, account);
    user->msg_new = new_count;
    user->msg_old = old_count;
    user->msg_urgent_new = urgent_new;
    user->msg_urgent_old = urgent_old;
    user->msg_pending = true;
    return 1;
}

unsigned CKZSIPProxySite::DisableAllUsers() {
    for (const auto& user : m_users) {
        user->in_use = false;
        user->EndRegistration(user->reg_time);
    }
    return 1;
}

unsigned CKZSIPProxySite::SetUserAuthType(const char* name, int type) {
    ProxyUser* user = FindUser(name);
    if (!user || type < ProxyUser::AUTH_PROXY || type > ProxyUser::AUTH_NONE) return 0;
    user->auth_type = type;
    return 1;
}

unsigned CKZSIPProxySite::SetUserAttr(const char* name, int attr, const char* value) {
    ProxyUser* user = FindUser(name);
    if (!user || !value) return 0;
    if (attr != PROXY_USER_ATTR_MAX_REG_EXPIRE) return 0;
    user->user_max = std::atoi(value);
    return 1;
}

// ---- REGISTER ----

int CKZSIPProxySite::RequestedLifetime(sip_msg* request) {
    const std::string expires = sip_element(request, KZ_IE_SIP_EXPIRES);
    std::optional<int> lifetime;
    if (!expires.empty())
        lifetime = delta_seconds(expires);
    else
        lifetime = contact_expires(sip_element(request, KZ_IE_SIP_CONTACT));
    if (!lifetime || *lifetime < 0) return kDefaultLifetime; // none, or -1: the default
    return *lifetime;
}

void CKZSIPProxySite::OnRegister(const ProxySiteRequest& request) {
    const SIPAddressParts addressee(sip_element(request.message, KZ_IE_SIP_TO).c_str());
    if (RequestedLifetime(request.message) == 0) {
        // A removal needs no credentials. An unknown user is answered the same way, so that the
        // answer does not tell which users exist.
        if (ProxyUser* user = ActiveUser(addressee.user.c_str()))
            Verify_Register(request.group, *user, request.message, nullptr, request.source_address,
                            request.source_port, request.now);
        SendRegisterOK(request, 0);
        return;
    }
    int lifetime = 0;
    if (Authenticate(request, addressee.user.c_str(), &lifetime) == AuthStep::Accepted)
        SendRegisterOK(request, lifetime);
}

void CKZSIPProxySite::SendRegisterOK(const ProxySiteRequest& request, int lifetime) {
    // The registrar's 200 echoes the Contact; a REGISTER without one still gets its answer.
    if (!request.group->SIP_SendRegOK(request.message, request.connection, lifetime, false))
        request.group->SIP_SendOK(request.message, request.connection, false, "", lifetime);
}

bool CKZSIPProxySite::AuthorizeSubscribe(const ProxySiteRequest& request, const char* watcher) {
    return Authenticate(request, watcher, nullptr) == AuthStep::Accepted;
}

CKZSIPProxySite::AuthStep CKZSIPProxySite::Authenticate(const ProxySiteRequest& request,
                                                        const char* user_name, int* lifetime) {
    // What a shut-out source sent before the transport began to refuse it waits in the queue:
    // it is dropped unread, neither checked nor challenged, and the stack forgets its dialog.
    if (m_sources.IsShutOut(request.source_address ? request.source_address : "")) {
        if (request.group) request.group->TerminateConnection(request.connection);
        return AuthStep::Answered;
    }
    ProxyUser* user = ActiveUser(user_name);
    const std::optional<ProxyCredentials> credentials = ProxyCredentials::Read(request.message);
    if (credentials && credentials->IsComplete()) {
        const bool www = !credentials->from_proxy_header;
        if (!ProxyNonce::IsFresh(credentials->nonce.c_str(), request.now)) {
            Challenge(request, www);
            return AuthStep::Answered;
        }
        const ProxyCredentials& c = *credentials;
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "type:%s, username:%s, realm:%s, nonce:%s, uri:%s, algorithm:%s, opaque:%s, "
                             "response:%s, cnonce:%s, nc:%s, qop:%s",
                             c.type.c_str(), c.username.c_str(), c.realm.c_str(), c.nonce.c_str(),
                             c.uri.c_str(), c.algorithm.c_str(), c.opaque.c_str(), c.response.c_str(),
                             c.cnonce.c_str(), c.nc.c_str(), c.qop.c_str());
        bool accepted = false;
        if (user && lifetime) {
            const Verdict verdict = Verify_Register(request.group, *user, request.message, &c,
                                                    request.source_address, request.source_port, request.now);
            accepted = verdict.credentials_ok;
            *lifetime = verdict.lifetime;
        } else if (user) {
            accepted = user->auth_type == ProxyUser::AUTH_NONE ||
                       CheckCredentials(*user, c, request.message, request.now);
        } else {
            check_like_a_user(c, request.message);
        }
        // An unknown user is challenged exactly like a known one with a wrong password.
        if (!accepted) Challenge(request, www);
        return accepted ? AuthStep::Accepted : AuthStep::Answered;
    }
    if (!user || user->auth_type == ProxyUser::AUTH_PROXY) {
        Challenge(request, false);
        return AuthStep::Answered;
    }
    if (user->auth_type == ProxyUser::AUTH_WWW) {
        Challenge(request, true);
        return AuthStep::Answered;
    }
    if (user->auth_type != ProxyUser::AUTH_NONE) return AuthStep::Answered; // no answer at all
    if (lifetime)
        *lifetime = Verify_Register(request.group, *user, request.message, nullptr, request.source_address,
                                    request.source_port, request.now)
                        .lifetime;
    return AuthStep::Accepted;
}

CKZSIPProxySite::Verdict CKZSIPProxySite::Verify_Register(CKZSIPGroup* group, ProxyUser& user,
                                                          sip_msg* request,
                                                          const ProxyCredentials* credentials,
                                                          const char* source_address, uint16_t source_port,
                                                          int64_t now) {
    const std::string from = sip_element(request, KZ_IE_SIP_FROM);
    const std::string to = sip_element(request, KZ_IE_SIP_TO);
    const std::string contact = sip_element(request, KZ_IE_SIP_CONTACT);
    const int transport = std::atoi(sip_element(request, KZ_IE_SIP_PROTOCOL).c_str());
    int lifetime = RequestedLifetime(request);

    if (lifetime != 0 && user.auth_type != ProxyUser::AUTH_NONE) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "CKZSIPProxySite::Verify_Register => Verifying user %s", user.name);
        if (!credentials || !CheckCredentials(user, *credentials, request, now)) {
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                                 "CKZSIPProxySite::Verify_Register => user(%s) doesn't have right credit",
                                 user.name);
            return {};
        }
    }
    lifetime = std::min(lifetime, m_max_reg_expire);

    char mapped[ProxyUser::kTextSize] = "";
    if (GetOptions().map_reg_source && lifetime != 0) {
        const SIPAddressParts parts(contact.c_str());
        if (!parts.ok || parts.host.empty()) {
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPProxySite::Verify_Register Contact: %s",
                                 contact.c_str());
            if (!parts.user.empty())
                CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                                     "CKZSIPProxySite::Verify_Register mapping reg src name: %s",
                                     parts.user.c_str());
            if (!parts.port.empty())
                CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                                     "CKZSIPProxySite::Verify_Register mapping reg src port: %s",
                                     parts.port.c_str());
            return {true, 0};
        }
        const std::string source = source_address ? source_address : "";
        if (parts.host != source || parts.PortOrDefault() != source_port) {
            if (parts.user.empty())
                KZAPI::s_printf(mapped, sizeof(mapped), "mapped<sip:%s:%d>", source.c_str(), source_port);
            else
                KZAPI::s_printf(mapped, sizeof(mapped), "mapped<sip:%s@%s:%d>", parts.user.c_str(),
                                source.c_str(), source_port);
        }
    }

    int channel = -1;
    const std::string agent = sip_element(request, KZ_IE_SIP_USER_AGENT);
    if (lifetime != 0 && agent.compare(0, sizeof(kChannelAgentPrefix) - 1, kChannelAgentPrefix) == 0) {
        char number[81];
        copy(number, agent.c_str() + sizeof(kChannelAgentPrefix) - 1);
        channel = std::atoi(number);
    }

    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPProxySite::Verify_Register %s expire %d usermax %d", user.name, lifetime,
                         user.user_max);
    if (user.user_max >= ProxyUser::kUserMaxLow && user.user_max <= ProxyUser::kUserMaxHigh) {
        lifetime = std::min(lifetime, user.user_max);
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "CKZSIPProxySite::Verify_Register %s expire %d usermax %d", user.name, lifetime,
                             user.user_max);
    }
    OnProxyUserRegistered(user, now, lifetime, source_address, source_port, to.c_str(), from.c_str(),
                          transport, contact.c_str(), mapped, agent.c_str(), channel);
    static_cast<void>(group);
    return {true, lifetime};
}

bool CKZSIPProxySite::CheckCredentials(const ProxyUser& user, const ProxyCredentials& credentials,
                                       sip_msg* request, int64_t now) {
    if (!credentials.FollowsChallenge(GetOptions().register_qop, GetOptions().register_opaque)) return false;
    // The digest must be the user's own: a user's credentials do not register another.
    if (credentials.username != user.name || !user.password[0]) return false;
    // A digest made for another site's realm is not one for this site, even with the same password.
    if (!ServesDomain(credentials.realm.c_str())) return false;
    const std::string method = sip_element(request, KZ_IE_SIP_REQUEST_LINE_METHOD);
    if (method.empty()) return false;
    const std::optional<int64_t> issued = ProxyNonce::IssueTime(credentials.nonce.c_str());
    if (!issued || !ProxyNonce::IsFresh(credentials.nonce.c_str(), now)) return false;
    if (!same_text(credentials.ExpectedResponse(user.password, method.c_str()), credentials.response))
        return false;
    // Only a response that matched counts its nonce count, so strangers cannot fill the table.
    return m_nonce_counts.Admit(credentials.nonce, credentials.nc, *issued, now);
}

bool CKZSIPProxySite::AdmitChallenge(const ProxySiteRequest& request) {
    const std::string source = request.source_address ? request.source_address : "";
    if (!m_sources.CountChallenge(source, request.now)) return true;
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                         "CKZSIPProxySite::Challenge %s asked for more than %d challenges in a second; "
                         "shut out for %d s",
                         source.c_str(), ProxySourceGuard::kChallengesPerSecond,
                         static_cast<int>(ProxySourceGuard::kShutOutSeconds));
    if (request.group) request.group->SetIPFilter(source.c_str(), kDenyList, 1);
    return false;
}

void CKZSIPProxySite::ReleaseShutOutSources(CKZSIPGroup* group, int64_t now) {
    for (const std::string& source : m_sources.TakeReleased(now)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "CKZSIPProxySite %s is let in again",
                             source.c_str());
        group->SetIPFilter(source.c_str(), kDenyList, 0);
    }
}

bool CKZSIPProxySite::Challenge(const ProxySiteRequest& request, bool www) {
    if (!AdmitChallenge(request)) return false;
    const SIPMessagePtr response = AllocSIPMessage();
    const std::string nonce = ProxyNonce::Issue(request.now);
    if (!response || nonce.empty() || !request.group) return false;
    sip_msg* m = response.get();
    CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, www ? "401" : "407");
    CKZSIPGroup::MSG_AddIE_STR(m, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0,
                               www ? "Unauthorized" : "Proxy Authentication Required");
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_USER_AGENT, 0, request.group->GetSIPUserAgent());
    if (!CKZSIPGroup::SetCopyCommonSendIE(request.message, m, request.group)) return false;
    CKZSIPGroup::CopyIE_STR(request.message, m, KZ_IE_SIP_PROTOCOL, 0, 0);

    const ChallengeElements& e = www ? kWWWChallenge : kProxyChallenge;
    CKZSIPGroup::MSG_SetIE_STR(m, e.type, 0, "Digest");
    CKZSIPGroup::MSG_SetIE_STR(m, e.algorithm, 0, "MD5");
    CKZSIPGroup::MSG_SetIE_STR(m, e.realm, 0, request.realm);
    CKZSIPGroup::MSG_SetIE_STR(m, e.nonce, 0, nonce.c_str());
    if (GetOptions().register_qop) CKZSIPGroup::MSG_SetIE_STR(m, e.qop, 0, "auth");
    if (GetOptions().register_opaque)
        CKZSIPGroup::MSG_SetIE_STR(m, e.opaque, 0, fresh_opaque(request.now).c_str());

    void* stack = request.group->GetSIPHandle();
    if (challenge_at_contact(request.message)) {
        const SIPAddressParts contact(sip_element(request.message, KZ_IE_SIP_CONTACT).c_str());
        if (contact.ok && !contact.host.empty())
            return CKZSIPGroup::SendMessage(stack, m, contact.host.c_str(), contact.PortOrDefault(),
                                            request.connection) == 0;
    }
    // The stack answers a request where it came from (its Via's received and rport).
    return CKZSIPGroup::SendMessage(stack, m, nullptr, 0, request.connection) == 0;
}

void CKZSIPProxySite::OnProxyUserRegistered(ProxyUser& user, int64_t now, int lifetime,
                                            const char* source_address, uint16_t source_port, const char* to,
                                            const char* from, int transport, const char* contact,
                                            const char* mapped_contact, const char* user_agent, int channel) {
    user.reg_time = now;
    user.reg_lifetime = lifetime;
    copy(user.source_address, source_address);
    user.source_port = source_port;
    copy(user.to, to);
    copy(user.from, from);
    user.transport = transport;
    copy(user.contact, contact);
    copy(user.mapped_contact, mapped_contact);
    copy(user.user_agent, user_agent);
    if (lifetime != 0) user.channel = channel;
    // A new registration restarts the reachability check.
    user.check_time = now;
    user.check_connection = 0;
    user.check_call_id[0] = '\0';
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPProxySite::OnProxyUserRegistered(%s,%d,%s,%s)",
                         user.name, lifetime, user.contact, user.source_address);
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_ProxyUserRegistered(
        GetNumber(), user.name, lifetime, user.contact, user.source_address, user.source_port, user.channel);
}
