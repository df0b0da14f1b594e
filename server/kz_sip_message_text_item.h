// One MESSAGE request in flight, tracked until it is answered, challenged, fails or times out.
#pragma once

#include "server/SIPMessagePtr.h"

#include <cstdint>

struct kz_sip_user_reg_profile;

struct kz_sip_message_text_item {
    enum : int { SENT = 1, CREDENTIALS_SENT = 2 };

    int id = 0; // the application's id, named in every report
    int state = SENT;
    SIPMessagePtr saved_request;
    uint32_t connection = 0;
    // The account whose transport and credentials the MESSAGE uses, or null. Accounts outlive the
    // item only while the server lock is held: it is looked up again by index when used.
    int account_index = -1;
    int cseq = 0;
    int64_t send_time = 0;
};
