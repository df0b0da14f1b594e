// kzhost's side of the proxied call sessions: it answers the module's routing question (by itself,
// or by holding the call for the control client that took over routing), keeps the live sessions
// for the "sessions" command, publishes "incoming-session" and "session-status" events, prints one
// line per session event and tells the sites' dialog watchers how the caller's and the callee's
// dialogs stand.
//
// Lock order: the module calls the reports with its server lock held, and the calls into the
// server take that lock, so m_mutex is never held across a call into the server.
#pragma once

#include "app/KZControlCommands.h"
#include "app/KZSessionCommands.h"

#include <functional>
#include <map>
#include <mutex>

namespace kzapp {

struct KZSessionOutputs {
    std::function<void(const KZJson&)> publish;
    std::function<void(const std::string&)> print; // one line, without its end
    // The contact the user of the site (from 1) is registered at, if it is.
    std::function<std::optional<std::string>(int site, const std::string& user)> registered_contact;
    // The site (from 1) of the only user of that name, if there is one: a caller from another
    // site has its dialog watchers there.
    std::function<std::optional<int>(const std::string& user)> site_of;
};

class KZSessionRouter final : public IKZSessions, public IKZSessionReports {
public:
    // What a held call gets when the last routing client leaves and its callee is not registered.
    static constexpr const char* kUnroutedAnswer = "480|Temporarily Unavailable";
    // What the module is told for a call the application will route later.
    static constexpr const char* kHoldDirective = "sip:undefined";

    KZSessionRouter(IKZProxyServer& server, KZSessionOutputs outputs)
        : m_server(server), m_outputs(std::move(outputs)) {}

    KZRoutingLease TakeRouting() override;
    KZSessionOutcome Route(uint32_t session, const std::string& destination, int ring_timeout) override;
    KZSessionOutcome Join(uint32_t session, int leg, uint32_t with, int with_leg) override;
    KZSessionOutcome Reject(uint32_t session, int code, const std::string& reason) override;
    std::vector<KZSessionStatus> List() override;

    std::optional<std::string> OnNewCall(const Report& call, const char* source_address, uint16_t source_port,
                                         const char* user, bool authenticated) override;
    void OnStatus(const Report& session) override;
    void OnEnd(const Report& session, int code, const char* reason) override;

private:
    struct Entry {
        KZSessionStatus status;
        std::string caller, callee;   // user names of From and Request-URI (or To)
        const char* dialog = nullptr; // the dialog state the watchers were last told
    };

    void ReleaseRouting();
    std::optional<Entry> Waiting(uint32_t session);
    std::optional<Entry> Live(uint32_t session);
    bool Claim(uint32_t session); // true when it was waiting; it waits no more
    KZSessionOutcome Answer(const Entry& entry, const std::string& text, const std::string& line);
    std::string RegisteredTarget(const Entry& entry) const;
    void TellWatchers(const Entry& entry, const char* state);
    void Print(const std::string& line) const;

    IKZProxyServer& m_server;
    KZSessionOutputs m_outputs;
    std::mutex m_mutex;
    int m_routing_clients = 0;
    std::map<uint32_t, Entry> m_sessions;
};

// The user part of the first sip: or sips: URI in the text ("" when it has none).
std::string sip_user_of(const std::string& text);
// The URI of a Contact value: what its angle brackets hold, else the text before its parameters.
std::string contact_uri_of(const std::string& contact);

} // namespace kzapp
