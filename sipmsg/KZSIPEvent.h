// The record in which the stack reports received messages and errors.
#pragma once

#include <cstdint>

class sip_msg;

struct KZSIPEvent {
    static constexpr unsigned kRawTextSize = 2048;

    uint32_t event_type;
    void* stack;       // the sip_group the event comes from
    uint64_t reserved; // always zero
    void* user_data;   // value given to KZ_QUEUE_Attach
    uint32_t code;     // message-type code, status code, or text length
    uint32_t connection_id;
    sip_msg* message; // queued copy, moved to the queue's current message before delivery
    char raw_text[kRawTextSize];
    int32_t protocol;
    void* connection;
};

static_assert(sizeof(KZSIPEvent::raw_text) == 2048, "raw text holds 2047 characters and the NUL");
