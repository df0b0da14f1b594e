// Configuration of one stack instance, copied in and out as a whole.
#pragma once

#include <cstdint>

struct KZ_SIPProtocolConfig {
    char local_address[256]; // address the transports bind to; empty = any
    int32_t sip_port;        // UDP and TCP listen here, TLS on sip_port + 1
    int32_t transport_mask;  // bit 0 UDP, bit 1 TCP, bit 2 TLS
};

static_assert(sizeof(KZ_SIPProtocolConfig::local_address) == 256, "the local address holds 255 characters");

enum : int32_t { KZ_SIP_TRANSPORT_UDP = 1, KZ_SIP_TRANSPORT_TCP = 2, KZ_SIP_TRANSPORT_TLS = 4 };
