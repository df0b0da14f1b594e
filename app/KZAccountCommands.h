// What the control socket asks of the module's SIP accounts: listing, adding, changing and
// removing them, registering, watching other parties' presence or dialog state, and sending text
// messages. Accounts are numbered from 1 here, as in their configuration keys.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kzapp {

enum class KZAccountTransport { Udp = 0, Tcp = 1, Tls = 2 };

struct KZWatchStatus {
    std::string target{};
    std::string event{}; // "presence" or "dialog"
    std::string state{}; // "unsubscribed", "subscribing", "authenticating" or "subscribed"
    int seconds = 0;     // granted, once subscribed
};

struct KZAccountStatus {
    int account = 0;
    std::string user{}, domain{}, proxy{};
    KZAccountTransport transport = KZAccountTransport::Udp;
    std::string state{}; // "unregistered", "registering", "authenticating" or "registered"
    int seconds = 0;     // granted, once registered
    std::vector<KZWatchStatus> watches;
};

struct KZAccountRequest {
    std::string user, domain, password, auth_user, display, proxy;
    int expires = 3600;
    bool register_it = true;
    KZAccountTransport transport = KZAccountTransport::Udp;
    std::optional<int> retry; // none: the module's own interval
};

// The fields an account-set may change.
enum class KZAccountField { Display, User, Domain, Proxy, AuthUser, Password, UserId, Transport };

struct KZMessageRequest {
    int account = 1;
    std::string from; // empty: the account's own address
    std::string to;
    std::string text;
};

struct KZWatchRequest {
    int account = 0;
    std::string target;
    bool dialog = false; // else presence
    int expires = 600;
};

// The outcome of an account command: accepted with a number (the account's or the message's) or
// refused with a reason.
struct KZAccountOutcome {
    bool accepted = false;
    int number = 0;
    std::string reason;

    static KZAccountOutcome Accepted(int number) { return {true, number, {}}; }
    static KZAccountOutcome Refused(std::string reason) { return {false, 0, std::move(reason)}; }
};

// The account commands, already checked for their arguments.
class IKZAccounts {
public:
    virtual ~IKZAccounts() = default;
    virtual int Count() = 0;
    virtual std::vector<KZAccountStatus> List() = 0;
    virtual KZAccountOutcome Add(const KZAccountRequest& request) = 0;
    virtual KZAccountOutcome Set(int account, KZAccountField field, const std::string& value) = 0;
    virtual KZAccountOutcome Remove(int account) = 0;
    virtual KZAccountOutcome Register(int account, bool on) = 0;
    // Accepted with the id the delivery report will carry.
    virtual KZAccountOutcome SendMessage(const KZMessageRequest& request) = 0;
    virtual KZAccountOutcome Watch(const KZWatchRequest& request) = 0;
    virtual KZAccountOutcome Unwatch(int account, const std::string& target) = 0;
};

// Refuses every account command: for a host without the module's accounts.
class KZNoAccounts final : public IKZAccounts {
public:
    static constexpr const char* kReason = "accounts are not available";
    int Count() override { return 0; }
    std::vector<KZAccountStatus> List() override { return {}; }
    KZAccountOutcome Add(const KZAccountRequest&) override { return KZAccountOutcome::Refused(kReason); }
    KZAccountOutcome Set(int, KZAccountField, const std::string&) override {
        return KZAccountOutcome::Refused(kReason);
    }
    KZAccountOutcome Remove(int) override { return KZAccountOutcome::Refused(kReason); }
    KZAccountOutcome Register(int, bool) override { return KZAccountOutcome::Refused(kReason); }
    KZAccountOutcome SendMessage(const KZMessageRequest&) override {
        return KZAccountOutcome::Refused(kReason);
    }
    KZAccountOutcome Watch(const KZWatchRequest&) override { return KZAccountOutcome::Refused(kReason); }
    KZAccountOutcome Unwatch(int, const std::string&) override { return KZAccountOutcome::Refused(kReason); }
};

} // namespace kzapp
