// Message-type codes and the names of event types.
#include "sipmsg/kz_sip_defs.h"

#include "host/KZStrFunc.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

uint32_t kz_sip_make_msg_type(const char* method) {
    static constexpr std::string_view kMethods[] = {"INVITE",  "REGISTER",  "CANCEL", "BYE",   "ACK",
                                                    "OPTIONS", "SUBSCRIBE", "NOTIFY", "REFER", "MESSAGE",
                                                    "INFO",    "UPDATE",    "PRACK"};
    if (method) {
        std::string_view m(method);
        for (uint32_t i = 0; i < std::size(kMethods); ++i)
            if (KZAPI::iequals(m, kMethods[i])) return (i + 1) << 24;
    }
    return KZ_SIP_MSG_OTHER;
}

uint32_t kz_sip_make_response(const char* code) {
    return code ? static_cast<uint32_t>(strtoul(code, nullptr, 10)) : 0;
}

const char* kz_sip_event_name(uint32_t event_type) {
    switch (event_type) {
    case KZ_EVENT_QUEUE_SHUTDOWN:
        return "KZ_EVENT_QUEUE_SHUTDOWN";
    case KZ_EVENT_QUEUE_TIMEOUT:
        return "KZ_EVENT_QUEUE_TIMEOUT";
    case KZ_EVENT_SIP_MESSAGE_REQUEST:
        return "KZ_EVENT_SIP_MESSAGE_REQUEST";
    case KZ_EVENT_SIP_MESSAGE_RESPONSE:
        return "KZ_EVENT_SIP_MESSAGE_RESPONSE";
    case KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_UNREACHABLE_HOST:
        return "KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_UNREACHABLE_HOST";
    case KZ_EVENT_SIP_EXTERNAL_MESSAGE:
        return "KZ_EVENT_SIP_EXTERNAL_MESSAGE";
    case KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP:
        return "KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP";
    case KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_APP:
        return "KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_APP";
    case KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE:
        return "KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE";
    case KZ_EVENT_SIP_ERROR_INVITE_NO_ACK_FROM_REMOTE:
        return "KZ_EVENT_SIP_ERROR_INVITE_NO_ACK_FROM_REMOTE";
    case KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_REMOTE:
        return "KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_REMOTE";
    case KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_MESSAGE:
        return "KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_MESSAGE";
    case KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_CONNECTIONID:
        return "KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_CONNECTIONID";
    case KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_IE:
        return "KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_IE";
    default:
        break;
    }
    // One buffer per thread, so concurrent lookups never tear each other's text.
    thread_local char unknown[64];
    snprintf(unknown, sizeof(unknown), "Unknown SIP event (%d)...", static_cast<int>(event_type));
    return unknown;
}
