// The message functions of the stack that are not exported: the SIP group reaches them through
// this table. Element access maps the pseudo-elements (transport, connection, raw text, TLS type)
// onto the message's fields.
#pragma once

#include <cstdint>

struct KZSIPMessageFunctions {
    uint32_t (*alloc_msg)(void** msg);
    uint32_t (*free_msg)(void* msg);
    uint32_t (*add_ie)(void* msg, uint32_t id, unsigned index, const char* value);
    uint32_t (*replace_ie)(void* msg, uint32_t id, unsigned index, const char* value);
    uint32_t (*set_ie)(void* msg, uint32_t id, unsigned index, const char* value);
    // Copies the value into buffer; size is in/out (the needed size on 0xA00005).
    uint32_t (*get_ie)(void* msg, uint32_t id, unsigned index, char* buffer, unsigned* size);
    uint32_t (*remove_ie)(void* msg, uint32_t id, unsigned index);
    // The current message's external text, its sender address as text and its port.
    uint32_t (*get_external_msg)(void* stack, char* buffer, unsigned* size, char* address,
                                 unsigned address_size, unsigned short* port);
    uint32_t (*send_cancel)(void* stack, void* msg, const char* host, unsigned short port,
                            uint32_t new_connection_id, uint32_t dialog_connection_id);
    uint32_t (*send_external)(void* stack, const char* text, const char* host, unsigned short port,
                              int32_t protocol, void* connection);
    uint32_t (*terminate_connection)(void* stack, void* connection);
};

// The one table of the stack's message functions.
const KZSIPMessageFunctions& kz_sip_message_functions();
