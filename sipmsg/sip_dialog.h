// sip_dialog: one dialog or transaction kept by the stack's dialog table.
#pragma once

#include "host/CString.h"
#include "sipmsg/kz_sip_export.h"
#include "sipmsg/sip_msg.h"

#include <cstdint>

class KZSIPAPI_EXPORT sip_dialog {
public:
    enum : uint32_t { STATE_IDLE = 0, STATE_ESTABLISHING = 1, STATE_CONNECTED = 2 };
    enum : uint32_t { DIR_INCOMING = 0, DIR_OUTGOING = 1 };

    sip_dialog();
    sip_dialog(const sip_dialog& other);
    sip_dialog& operator=(const sip_dialog& other);
    virtual ~sip_dialog();

    // Empties all messages, clears times, numbers and strings and draws the random value anew.
    void reset_all();

    uint32_t connection_id = 0;
    uint32_t random_value = 0; // 1000 + 8000 x a random fraction
    KZAPI::CString call_id;
    KZAPI::CString remote_tag;
    KZAPI::CString local_tag;
    KZAPI::CString branch;
    int64_t request_received_time = 0; // last request received and not yet answered (0 = none)
    sip_msg request_received;
    sip_msg response_sent;
    int64_t request_sent_time = 0; // last request sent and not yet answered; retransmission base
    sip_msg request_sent;
    sip_msg response_received;
    uint32_t state = STATE_IDLE;
    uint32_t direction = DIR_INCOMING;
    sip_msg first_request;
    sip_msg establishing_response;
    sip_msg ack;
    int64_t final_response_time = 0;
    int64_t last_activity_time = 0;
    int32_t trying_sent = 0;
    int32_t protocol = 0;
    void* connection = nullptr;

private:
    void copy_from(const sip_dialog& other);
};
