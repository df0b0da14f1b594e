// The proxy-user commands on the module's server. kzhost loads the module at run time, so only
// the server's virtual operations are called; the registration state of each user is what the
// module last reported (RecordRegistration, from the module's report thread).
#pragma once

#include "app/KZUserCommands.h"

#include <mutex>

class CKZSIPServer;

namespace kzapp {

class KZHostUsers final : public IKZUsers {
public:
    explicit KZHostUsers(CKZSIPServer& server) : m_server(server) {}

    std::vector<KZUserStatus> List() override;
    KZAccountOutcome Add(const KZUserRequest& request) override;
    KZAccountOutcome Set(int site, const std::string& user, KZUserField field,
                         const std::string& value) override;
    KZAccountOutcome Remove(int site, const std::string& user) override;
    KZAccountOutcome Mwi(const KZMwiRequest& request) override;

    // The module's report of a registration (site from 0; seconds 0: it ended).
    void RecordRegistration(int site, const std::string& user, int seconds, const std::string& contact);
    // The contact a user of the site (from 1) is registered at, if it is.
    std::optional<std::string> RegisteredContact(int site, const std::string& user);
    // The site (from 1) of the only user of that name, if exactly one site has one.
    std::optional<int> SiteOf(const std::string& user);

private:
    KZUserStatus* Find(int site, const std::string& user); // m_mutex held
    bool Known(int site, const std::string& user);

    CKZSIPServer& m_server;
    std::mutex m_mutex;
    std::vector<KZUserStatus> m_users;
};

} // namespace kzapp
