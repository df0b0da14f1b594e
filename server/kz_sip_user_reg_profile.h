// One SIP account: who registers, where, with which credentials, and how far its registration
// has come. Owned by the server's account list, where its position is the account index.
#pragma once

#include "server/SIPMessagePtr.h"
#include "server/kz_sip_user_subscribe_item.h"

#include <cstdint>
#include <memory>
#include <vector>

struct kz_sip_user_reg_profile {
    static constexpr size_t kTextSize = 512;
    static constexpr size_t kUserIdSize = 80;
    static constexpr int kDefaultLifetime = 3600;
    static constexpr int kDefaultRetryInterval = 10;

    // Registration states.
    enum : int { UNREGISTERED = 0, REGISTER_SENT = 1, CREDENTIALS_SENT = 2, REGISTERED = 3 };

    virtual ~kz_sip_user_reg_profile() = default;

    uint32_t pending_connection = 0; // stack connection of the REGISTER in flight
    int state = UNREGISTERED;
    int64_t state_time = 0; // last REGISTER sent or last change of state
    char display_name[kTextSize] = "";
    char user_name[kTextSize] = "";
    char domain[kTextSize] = "";
    char proxy[kTextSize] = "";
    char authorization_user[kTextSize] = "";
    char password[kTextSize] = "";
    char own_contact[kTextSize] = "";
    char return_contact[kTextSize] = "";
    char received_address[kTextSize] = "";
    uint16_t received_port = 0;
    char user_id[kUserIdSize] = "";
    int lifetime = kDefaultLifetime; // requested next; the granted one once registered
    int configured_lifetime = kDefaultLifetime;
    SIPMessagePtr saved_register;
    int64_t last_keep_alive = 0;
    int register_flag = 1;
    int max_calls = 0;
    int cseq = 0;
    int has_subscriptions = 0;
    std::vector<std::unique_ptr<kz_sip_user_subscribe_item>> subscriptions;
    int retry_interval = kDefaultRetryInterval;
    int enabled = 1;
    int transport = 0; // 0 UDP; anything else is a stream transport
    int srtp = 0;
};

static_assert(sizeof(kz_sip_user_reg_profile::user_id) == 80, "the user id holds 79 characters");
