// One subscription of an account to another party's presence or dialog state, kept alive by the
// server's once-a-second pass while the account is registered.
#pragma once

#include "server/SIPMessagePtr.h"

#include <cstdint>

struct kz_sip_user_subscribe_item {
    static constexpr size_t kTextSize = 512;
    static constexpr int kDefaultLifetime = 600;

    enum : int { UNSUBSCRIBED = 0, SUBSCRIBE_SENT = 1, CREDENTIALS_SENT = 2, SUBSCRIBED = 3 };
    // Event kinds: 1 dialog state, anything else presence.
    enum : int { EVENT_PRESENCE = 0, EVENT_DIALOG = 1 };

    char address[kTextSize] = ""; // who is watched: a SIP address, bracketed or not, or user@host
    int lifetime = kDefaultLifetime;
    int event_kind = EVENT_PRESENCE;
    int state = UNSUBSCRIBED;
    int64_t state_time = 0;
    int64_t granted_lifetime = 0;
    SIPMessagePtr saved_subscribe;
    uint32_t pending_connection = 0;
};
