// The module's reports about accounts, subscriptions and text messages, as kzhost prints them (one
// line each) and publishes them as "registration", "subscription", "message", "message-delivered"
// and "notify" events, and the proxy users' registrations as "user-registered" and
// "user-unregistered"; the proxied call sessions go to the session router. The module calls them on its own
// threads, often with the server lock held, so they only format and hand on. Accounts are numbered from 1, as
// in their configuration keys.
#pragma once

#include "app/KZControlCommands.h"
#include "app/KZSessionCommands.h"
#include "host/CKZAPIEnv.h"

#include <functional>
#include <string>

namespace kzapp {

struct KZReportOutputs {
    std::function<void(const KZJson&)> publish;
    std::function<void(const std::string&)> print; // one line, without its end
    // A proxy user's registration as the module reported it (site from 0; seconds 0: ended).
    std::function<void(int site, const std::string& user, int seconds, const std::string& contact)>
        user_registration;
    // Where the proxied call sessions are routed and reported; none: to the callee's registration.
    IKZSessionReports* sessions = nullptr;
};

class KZAccountReports final : public KZAPI::CKZAPIEnv {
public:
    // Texts from the network are cut to this many characters before they are printed or published.
    static constexpr size_t kMaxText = 2047;

    explicit KZAccountReports(KZReportOutputs outputs) : m_outputs(std::move(outputs)) {}

    void Send_RegStatus(int account, int registered, int seconds) override;
    void Send_RegFailure(int account, int code, const char* reason) override;
    void Send_SubscribeStatus(int account, int subscribed, int seconds) override;
    void Send_MessageTextDelivered(int id, int code, const char* reason) override;
    void Send_NotifySimpleMessageSummary(const char* waiting, const char* account,
                                         const char* voice) override;
    void FireOn_Notify(int account, const char* to, const char* event, const char* state,
                       const char* content_type, const char* body) override;
    void FireOn_Message(int channel, const char* from, const char* to, const char* uri,
                        const char* text) override;
    void FireOn_ProxyUserRegistered(int site, const char* user, int seconds, const char* contact,
                                    const char* source_address, uint16_t source_port, int channel) override;
    std::optional<std::string> On_ProxyNewCallSession(const ProxySessionReport& call,
                                                      const char* source_address, uint16_t source_port,
                                                      const char* user, bool authenticated) override;
    void FireOn_ProxyCallSessionStatus(const ProxySessionReport& session) override;
    void FireOn_ProxyCallSessionEnd(const ProxySessionReport& session, int code, const char* reason) override;

private:
    void Emit(const KZJson& event, const std::string& line);
    void PublishRegistration(int account, const char* state, int code, const char* reason, int seconds);

    KZReportOutputs m_outputs;
};

} // namespace kzapp
