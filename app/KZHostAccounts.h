// The account commands on the module's server. kzhost loads the module at run time, so only the
// server's virtual operations are called here; the account records are read under the server lock.
#pragma once

#include "app/KZAccountCommands.h"

#include <atomic>

class CKZSIPServer;

namespace kzapp {

class KZHostAccounts final : public IKZAccounts {
public:
    explicit KZHostAccounts(CKZSIPServer& server) : m_server(server) {}

    int Count() override;
    std::vector<KZAccountStatus> List() override;
    KZAccountOutcome Add(const KZAccountRequest& request) override;
    KZAccountOutcome Set(int account, KZAccountField field, const std::string& value) override;
    KZAccountOutcome Remove(int account) override;
    KZAccountOutcome Register(int account, bool on) override;
    KZAccountOutcome SendMessage(const KZMessageRequest& request) override;
    KZAccountOutcome Watch(const KZWatchRequest& request) override;
    KZAccountOutcome Unwatch(int account, const std::string& target) override;

private:
    CKZSIPServer& m_server;
    std::atomic<int> m_last_message_id{0};
};

} // namespace kzapp
