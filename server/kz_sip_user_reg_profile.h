// One SIP account: who registers, where, with which credentials, and how far its registration
// has come. Owned by the server's account list, where its position is the account index.
#pragma once

#include "host/CPtArray.h"

#include <cstdint>

class sip_msg;

struct kz_sip_user_reg_profile {
    static constexpr size_t kTextSize = 512;
    static constexpr size_t kUserIdSize = 80;

    virtual ~kz_sip_user_reg_profile() = default;

    uint32_t pending_connection = 0; // stack connection of the REGISTER in flight
    int state = 0;                   // 0 unregistered/failed, 1 sent, 2 sent with credentials, 3 registered
    int64_t state_time = 0;
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
    int lifetime = 3600;
    int configured_lifetime = 3600;
    sip_msg* saved_register = nullptr;
    int64_t last_keep_alive = 0;
    int register_flag = 1;
    int max_calls = 0;
    int cseq = 0;
    int has_subscriptions = 0;
    KZAPI::CPtArray subscriptions;
    int retry_interval = 10;
    int enabled = 1;
    int transport = 0; // 0 UDP; anything else is a stream transport
    int srtp = 0;
};

static_assert(sizeof(kz_sip_user_reg_profile::user_id) == 80, "the user id holds 79 characters");
