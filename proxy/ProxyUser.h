// One user of a proxy site: its account as the application set it, its registration, the state
// of the reachability check, its message-waiting counters and subscriptions, and who watches its
// dialogs.
#pragma once

#include "proxy/ProxyMwiSubscriptions.h"

#include <cstdint>
#include <vector>

// One watcher of a user's dialogs (a dialog-event subscription the site accepted).
struct ProxyDialogSubscriber {
    static constexpr size_t kTextSize = 256;
    char watcher[kTextSize] = "";
    char call_id[kTextSize] = "";
    char to_tag[kTextSize] = "";
    char from_tag[kTextSize] = "";
    int64_t start = 0;
    int lifetime = 0;

    bool IsLive(int64_t now) const { return now >= start && now < start + lifetime; }
};

struct ProxyUser {
    static constexpr size_t kNameSize = 80;
    static constexpr size_t kPasswordSize = 80;
    // Only this many characters of a password take part in digests.
    static constexpr size_t kDigestPasswordLength = 39;
    static constexpr size_t kTextSize = 512;

    enum AuthType : int { AUTH_PROXY = 0, AUTH_WWW = 1, AUTH_NONE = 2 };
    // The user's own longest registration counts only within these bounds.
    static constexpr int kUserMaxLow = 10;
    static constexpr int kUserMaxHigh = 3600;

    bool in_use = false;
    char name[kNameSize] = "";
    char password[kPasswordSize] = "";
    int auth_type = AUTH_PROXY;
    int user_max = 0;

    // Registration.
    int64_t reg_time = 0;
    int reg_lifetime = 0;
    char contact[kTextSize] = "";
    char mapped_contact[kTextSize] = "";
    char from[kTextSize] = "";
    char to[kTextSize] = "";
    char source_address[kTextSize] = "";
    uint16_t source_port = 0;
    int transport = 0; // 0 UDP, 1 or more TCP/TLS
    char user_agent[kTextSize] = "";
    int channel = -1;

    // Reachability check: the outstanding OPTIONS (connection 0 when none) and its Call-ID.
    int64_t check_time = 0;
    uint32_t check_connection = 0;
    char check_call_id[kTextSize] = "";
    // The Call-ID of the last message-waiting NOTIFY, so that its answer is recognised.
    char notify_call_id[kTextSize] = "";

    // Message waiting.
    bool msg_pending = false;
    bool msg_waiting = false;
    char msg_account[kTextSize] = "";
    int msg_new = 0, msg_old = 0, msg_urgent_new = 0, msg_urgent_old = 0;

    std::vector<ProxyDialogSubscriber> subscribers;
    // The user's own phones subscribed to its message-waiting state.
    ProxyMwiSubscriptions mwi_subscriptions;

    bool IsRegistered(int64_t now) const { return now >= reg_time && now < reg_time + reg_lifetime; }
    void EndRegistration(int64_t now) {
        reg_time = now;
        reg_lifetime = 0;
        check_connection = 0;
        check_call_id[0] = '\0';
    }
};

static_assert(sizeof(ProxyUser::name) == 80, "a user name holds 79 characters");
static_assert(sizeof(ProxyUser::contact) == 512 && sizeof(ProxyUser::mapped_contact) == 512,
              "contacts hold 511 characters");
static_assert(sizeof(ProxyUser::from) == 512 && sizeof(ProxyUser::to) == 512,
              "From and To hold 511 characters");
static_assert(sizeof(ProxyUser::source_address) == 512 && sizeof(ProxyUser::user_agent) == 512,
              "source address and user agent hold 511 characters");
static_assert(sizeof(ProxyUser::msg_account) == 512, "the message account holds 511 characters");
static_assert(ProxyUser::kDigestPasswordLength < sizeof(ProxyUser::password),
              "the digest part of a password fits");
