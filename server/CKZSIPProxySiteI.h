// What the server and the dispatch need of a proxy site: the domains it serves, how it serves
// them, and its part in registrations, subscriptions, user checks and calls. The sites with users
// live in the proxy library, which registers its site maker with the server when the module is
// loaded; without one the server runs these plain sites, which know no users.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CKZSIPGroup;
class CKZSIPProxySession;
class sip_msg;
struct KZSIPEvent;
struct ProxyTransferTarget;

// How a site serves its domains (one flag per site setting).
struct CKZSIPProxySiteOptions {
    bool register_qop = false;
    bool register_opaque = false;
    bool record_route = false;
    bool udp_relay = false;
    bool map_reg_source = false;
    bool check_user_status = false;
};

// A request for one of the site's domains as the dispatch received it.
struct ProxySiteRequest {
    CKZSIPGroup* group = nullptr;
    sip_msg* message = nullptr;
    uint32_t connection = 0;
    const char* realm = "";          // the site domain the request named
    const char* source_address = ""; // where the packet came from
    uint16_t source_port = 0;
    int64_t now = 0;
};

// A new INVITE for one of the site's domains, as the dispatch read it.
struct ProxyNewCall {
    CKZSIPGroup* group = nullptr;
    uint32_t connection = 0;
    sip_msg* invite = nullptr; // still the dispatch's: the site copies what it keeps
    const char* from = "";
    const char* to = "";
    const char* uri = "";
    const char* via = "";            // top Via address
    const char* source_address = ""; // where the packet came from
    uint16_t source_port = 0;
    int64_t now = 0;
};

// How a site took a SUBSCRIBE the dispatch offered it.
enum class ProxySubscribeOutcome {
    NotHandled, // the site keeps no such subscriptions: the dispatch answers as for any other
    Accepted,   // answered 200 and recorded
    Refused,    // answered with an error
};

// What the application may change about a user besides name, password and authentication type.
enum ProxyUserAttr : int {
    PROXY_USER_ATTR_MAX_REG_EXPIRE = 0, // the user's own longest registration, in seconds
};

class CKZSIPProxySiteI {
public:
    using Options = CKZSIPProxySiteOptions;

    CKZSIPProxySiteI(int number, std::vector<std::string> domains, const Options& options)
        : m_number(number), m_domains(std::move(domains)), m_options(options) {}
    virtual ~CKZSIPProxySiteI() = default;
    CKZSIPProxySiteI(const CKZSIPProxySiteI&) = delete;
    CKZSIPProxySiteI& operator=(const CKZSIPProxySiteI&) = delete;

    int GetNumber() const { return m_number; }
    const std::vector<std::string>& GetDomains() const { return m_domains; }
    const Options& GetOptions() const { return m_options; }

    // True when one of the site's domains equals the text, compared without regard to case.
    bool ServesDomain(const char* domain) const;

    // Whether the message answers a request the site sent to one of its users (or is that request,
    // reported unanswered), at the given second.
    virtual bool IsOKForProxyUser(sip_msg* /*message*/, int64_t /*now*/) { return false; }
    // Takes over an unanswered incoming call as a proxied session towards the target; the result
    // of the session start (0 when none was started, as here, where the site runs no sessions).
    virtual int TransferCall(const ProxyTransferTarget& /*target*/, uint32_t /*connection*/,
                             sip_msg* /*invite*/, CKZSIPGroup* /*group*/, const char* /*sender_address*/,
                             uint16_t /*sender_port*/) {
        return 0;
    }

    // ---- proxied call sessions (a plain site runs none) ----
    // Starts a proxied session for a new call: 1 routed, 0 answered with an error, -1 when the
    // call is to go to a channel instead.
    virtual int OnProxyNewCallSession(const ProxyNewCall& /*call*/) { return -1; }
    // The session that owns the stack connection (either leg), or null.
    virtual CKZSIPProxySession* FindSession(uint32_t /*connection*/) const { return nullptr; }
    // Drives the session owning the event's connection with it at the given second; false when no
    // session owns it.
    virtual bool OnSessionEvent(CKZSIPGroup* /*group*/, const KZSIPEvent* /*event*/, int64_t /*now*/) {
        return false;
    }
    // Once a second: time-outs and waiting sessions. Also called between seconds when a waiting
    // session was given its destination (timeouts_too false), so that the call goes on at once.
    virtual void CheckProxySessionStatus(CKZSIPGroup* /*group*/, int64_t /*now*/, bool /*timeouts_too*/) {}
    // The application's destination for a session waiting for one; false without such a session.
    virtual bool SetNewCallSessionAddr(uint32_t /*connection*/, const char* /*address*/) { return false; }
    // Joins the session of `connection` (keeping its leg: 0 incoming, 1 outgoing) with the session
    // of `other_connection` at `other_site`; true when the join was started.
    virtual bool JoinSessions(CKZSIPGroup* /*group*/, uint32_t /*connection*/, int /*leg*/,
                              CKZSIPProxySiteI& /*other_site*/, uint32_t /*other_connection*/,
                              int /*other_leg*/, int64_t /*now*/) {
        return false;
    }

    // Answers a REGISTER for the site (challenge, 200 with the granted lifetime, or nothing). A
    // site without users challenges every one.
    virtual void OnRegister(const ProxySiteRequest& request);
    // Authenticates a SUBSCRIBE from `watcher` to `watched` (both user names) for `lifetime`
    // seconds: true when the dispatch may accept it, which then records it with
    // AddProxyUserSubscribedList; otherwise the site has answered it.
    virtual bool AuthorizeSubscribe(const ProxySiteRequest& request, const char* watcher);
    // Answers an authenticated message-summary SUBSCRIBE: 200 with the lifetime granted and the
    // NOTIFY of the mailbox's state in the new dialog, or a refusal. to_tag is ours for the dialog.
    virtual ProxySubscribeOutcome SubscribeMessageSummary(const ProxySiteRequest& /*request*/,
                                                          const char* /*to_tag*/, int /*lifetime*/) {
        return ProxySubscribeOutcome::NotHandled;
    }
    // Records an accepted dialog subscription of watcher to watched.
    virtual void AddProxyUserSubscribedList(const char* /*watched*/, const char* /*watcher*/,
                                            const char* /*call_id*/, const char* /*to_tag*/,
                                            const char* /*from_tag*/, int /*lifetime*/, int64_t /*now*/) {}
    // Once a second from the server's loop: message-waiting notices, expired message-waiting
    // subscriptions and reachability checks.
    virtual void CheckProxyUserStatus(CKZSIPGroup* /*group*/, int64_t /*now*/) {}

    // The application's operations on the site's users (1 done, 0 not).
    virtual unsigned SetUserInfo(const char* /*user*/, const char* /*password*/, int /*in_use*/) { return 0; }
    virtual unsigned SetUserMsg(const char* /*user*/, int /*waiting*/, const char* /*account*/,
                                int /*new_count*/, int /*old_count*/, int /*urgent_new*/,
                                int /*urgent_old*/) {
        return 0;
    }
    virtual unsigned DisableAllUsers() { return 0; }
    virtual unsigned SetUserAuthType(const char* /*user*/, int /*type*/) { return 0; }
    virtual unsigned UpdateUserState(CKZSIPGroup* /*group*/, const char* /*user*/, const char* /*direction*/,
                                     const char* /*state*/, int64_t /*now*/) {
        return 0;
    }
    virtual unsigned SetUserAttr(const char* /*user*/, int /*attr*/, const char* /*value*/) { return 0; }

private:
    int m_number;
    std::vector<std::string> m_domains;
    Options m_options;
};

// Makes the site object for one configured proxy site.
using KZProxySiteMakerFn = std::unique_ptr<CKZSIPProxySiteI> (*)(int number, std::vector<std::string> domains,
                                                                 const CKZSIPProxySiteOptions& options);
// Installs the maker the server uses for its sites (null restores the plain sites).
void KZ_RegisterProxySiteMaker(KZProxySiteMakerFn maker);
// The site the installed maker makes, or a plain one.
std::unique_ptr<CKZSIPProxySiteI> KZ_MakeProxySite(int number, std::vector<std::string> domains,
                                                   const CKZSIPProxySiteOptions& options);
