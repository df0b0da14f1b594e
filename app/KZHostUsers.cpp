#include "app/KZHostUsers.h"

#include "server/CKZSIPProxySiteI.h"
#include "server/CKZSIPServer.h"

#include <algorithm>

namespace kzapp {

namespace {

constexpr const char* kNoSuchUser = "no such user";

// The module numbers its sites from 0.
int module_site(int site) {
    return site - 1;
}

} // namespace

KZUserStatus* KZHostUsers::Find(int site, const std::string& user) {
    for (KZUserStatus& u : m_users)
        if (u.site == site && u.user == user) return &u;
    return nullptr;
}

std::vector<KZUserStatus> KZHostUsers::List() {
    std::lock_guard lock(m_mutex);
    return m_users;
}

// The module reports registrations with its server lock held and the calls below take that lock,
// so m_mutex is never held across a call into the module.
bool KZHostUsers::Known(int site, const std::string& user) {
    std::lock_guard lock(m_mutex);
    return Find(site, user) != nullptr;
}

KZAccountOutcome KZHostUsers::Add(const KZUserRequest& request) {
    if (Known(request.site, request.user)) return KZAccountOutcome::Refused("the user exists");
    const int site = module_site(request.site);
    if (!m_server.ProxySetUserInfo(site, request.user.c_str(), request.password.c_str(), 1))
        return KZAccountOutcome::Refused("no site " + std::to_string(request.site));
    m_server.ProxySetUserAuthType(site, request.user.c_str(), static_cast<int>(request.auth));
    if (request.max_expires)
        m_server.ProxySetUserAttr(site, request.user.c_str(), PROXY_USER_ATTR_MAX_REG_EXPIRE,
                                  std::to_string(*request.max_expires).c_str());
    std::lock_guard lock(m_mutex);
    if (!Find(request.site, request.user))
        m_users.push_back({request.site, request.user, request.auth, false, 0, ""});
    return KZAccountOutcome::Accepted(request.site);
}

KZAccountOutcome KZHostUsers::Set(int site, const std::string& user, KZUserField field,
                                  const std::string& value) {
    if (!Known(site, user)) return KZAccountOutcome::Refused(kNoSuchUser);
    const int s = module_site(site);
    unsigned done = 0;
    switch (field) {
    case KZUserField::Password:
        done = m_server.ProxySetUserInfo(s, user.c_str(), value.c_str(), 1);
        break;
    case KZUserField::Auth: {
        const KZUserAuth auth = value == "www"    ? KZUserAuth::Www
                                : value == "none" ? KZUserAuth::None
                                                  : KZUserAuth::Proxy;
        done = m_server.ProxySetUserAuthType(s, user.c_str(), static_cast<int>(auth));
        std::lock_guard lock(m_mutex);
        if (KZUserStatus* known = Find(site, user); known && done) known->auth = auth;
        break;
    }
    case KZUserField::MaxExpires:
        done = m_server.ProxySetUserAttr(s, user.c_str(), PROXY_USER_ATTR_MAX_REG_EXPIRE, value.c_str());
        break;
    }
    return done ? KZAccountOutcome::Accepted(site)
                : KZAccountOutcome::Refused("the module refused the change");
}

KZAccountOutcome KZHostUsers::Remove(int site, const std::string& user) {
    if (!Known(site, user)) return KZAccountOutcome::Refused(kNoSuchUser);
    // The module keeps the record but serves it no more: registrations and challenges end.
    m_server.ProxySetUserInfo(module_site(site), user.c_str(), "", 0);
    std::lock_guard lock(m_mutex);
    std::erase_if(m_users, [&](const KZUserStatus& u) { return u.site == site && u.user == user; });
    return KZAccountOutcome::Accepted(site);
}

KZAccountOutcome KZHostUsers::Mwi(const KZMwiRequest& r) {
    if (!Known(r.site, r.user)) return KZAccountOutcome::Refused(kNoSuchUser);
    if (!m_server.ProxySetUserMsg(module_site(r.site), r.user.c_str(), r.waiting ? 1 : 0, r.account.c_str(),
                                  r.new_count, r.old_count, r.urgent_new, r.urgent_old))
        return KZAccountOutcome::Refused("the module refused the counters");
    return KZAccountOutcome::Accepted(r.site);
}

void KZHostUsers::RecordRegistration(int site, const std::string& user, int seconds,
                                     const std::string& contact) {
    std::lock_guard lock(m_mutex);
    KZUserStatus* known = Find(site + 1, user);
    if (!known) return;
    known->registered = seconds > 0;
    known->seconds = seconds;
    known->contact = seconds > 0 ? contact : "";
}

std::optional<std::string> KZHostUsers::RegisteredContact(int site, const std::string& user) {
    std::lock_guard lock(m_mutex);
    const KZUserStatus* known = Find(site, user);
    if (!known || !known->registered || known->contact.empty()) return std::nullopt;
    return known->contact;
}

std::optional<int> KZHostUsers::SiteOf(const std::string& user) {
    std::lock_guard lock(m_mutex);
    std::optional<int> site;
    for (const KZUserStatus& u : m_users) {
        if (u.user != user) continue;
        if (site) return std::nullopt;
        site = u.site;
    }
    return site;
}

} // namespace kzapp
