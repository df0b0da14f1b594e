// Classic STUN (RFC 3489, with the XOR-MAPPED-ADDRESS, XOR-ONLY, SERVER-NAME and
// SECONDARY-ADDRESS extensions): wire constants and the address type shared by the message
// codec, the client and the server.
#pragma once

#include <cstddef>
#include <cstdint>

// Message types.
inline constexpr uint16_t KZ_STUN_BINDING_REQUEST = 0x0001;
inline constexpr uint16_t KZ_STUN_BINDING_RESPONSE = 0x0101;
inline constexpr uint16_t KZ_STUN_BINDING_ERROR_RESPONSE = 0x0111;
inline constexpr uint16_t KZ_STUN_SHARED_SECRET_REQUEST = 0x0002;
inline constexpr uint16_t KZ_STUN_SHARED_SECRET_RESPONSE = 0x0102;

// Attribute types.
inline constexpr uint16_t KZ_STUN_ATTR_MAPPED_ADDRESS = 0x0001;
inline constexpr uint16_t KZ_STUN_ATTR_RESPONSE_ADDRESS = 0x0002;
inline constexpr uint16_t KZ_STUN_ATTR_CHANGE_REQUEST = 0x0003;
inline constexpr uint16_t KZ_STUN_ATTR_SOURCE_ADDRESS = 0x0004;
inline constexpr uint16_t KZ_STUN_ATTR_CHANGED_ADDRESS = 0x0005;
inline constexpr uint16_t KZ_STUN_ATTR_USERNAME = 0x0006;
inline constexpr uint16_t KZ_STUN_ATTR_PASSWORD = 0x0007;
inline constexpr uint16_t KZ_STUN_ATTR_MESSAGE_INTEGRITY = 0x0008;
inline constexpr uint16_t KZ_STUN_ATTR_ERROR_CODE = 0x0009;
inline constexpr uint16_t KZ_STUN_ATTR_UNKNOWN_ATTRIBUTES = 0x000A;
inline constexpr uint16_t KZ_STUN_ATTR_REFLECTED_FROM = 0x000B;
inline constexpr uint16_t KZ_STUN_ATTR_XOR_ONLY = 0x0021;
inline constexpr uint16_t KZ_STUN_ATTR_XOR_MAPPED_ADDRESS = 0x8020;
// The same attribute under the type RFC 5389 gave it. Servers of the RFC 3489bis era (Debian's
// stund among them) send it there, so the parser reads both; the encoder writes 0x8020.
inline constexpr uint16_t KZ_STUN_ATTR_XOR_MAPPED_ADDRESS_5389 = 0x0020;
inline constexpr uint16_t KZ_STUN_ATTR_SERVER_NAME = 0x8022;
inline constexpr uint16_t KZ_STUN_ATTR_SECONDARY_ADDRESS = 0x8050;
// RFC 5389 FINGERPRINT: written on request and checked by CKZStunMessage::CheckFingerprint;
// like every attribute above 0x7FFF that the parser does not know, it is skipped when parsing.
inline constexpr uint16_t KZ_STUN_ATTR_FINGERPRINT = 0x8028;
// Attributes up to this type must be understood; an unknown one refuses the message.
inline constexpr uint16_t KZ_STUN_ATTR_MANDATORY_MAX = 0x7FFF;

// CHANGE-REQUEST flags.
inline constexpr uint32_t KZ_STUN_CHANGE_IP = 0x4;
inline constexpr uint32_t KZ_STUN_CHANGE_PORT = 0x2;

inline constexpr uint8_t KZ_STUN_FAMILY_IPV4 = 0x01;
inline constexpr size_t KZ_STUN_HEADER_SIZE = 20;
inline constexpr size_t KZ_STUN_TID_SIZE = 16;
inline constexpr size_t KZ_STUN_ATTR_HEADER_SIZE = 4;
inline constexpr size_t KZ_STUN_ADDRESS_VALUE_SIZE = 8;
inline constexpr size_t KZ_STUN_HMAC_SIZE = 20;
// Largest datagram read or written.
inline constexpr size_t KZ_STUN_MAX_MESSAGE = 2048;
// Text attributes keep at most this many bytes less one (always NUL-terminated).
inline constexpr size_t KZ_STUN_MAX_STRING = 256;
inline constexpr size_t KZ_STUN_MAX_UNKNOWN_ATTRIBUTES = 8;
// FINGERPRINT is the CRC-32 of the message exclusive-ored with "STUN".
inline constexpr uint32_t KZ_STUN_FINGERPRINT_XOR = 0x5354554E;

inline constexpr uint16_t KZ_STUN_DEFAULT_PORT = 3478;
inline constexpr uint16_t KZ_STUN_ALTERNATE_PORT = 3479;

// A STUN address: IPv4 address and port, both in host byte order.
struct KZStunAddress4 {
    uint16_t port = 0;
    uint32_t addr = 0;

    bool operator==(const KZStunAddress4&) const = default;
};

// The host's socket and resolver interfaces carry IPv4 addresses in network byte order (as
// stored in memory); STUN addresses are kept in host order.
inline uint32_t KZStunToHostOrder(uint32_t net) {
    const auto* b = reinterpret_cast<const uint8_t*>(&net);
    return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
           (static_cast<uint32_t>(b[2]) << 8) | b[3];
}

inline uint32_t KZStunToNetOrder(uint32_t host) {
    uint32_t net = 0;
    auto* b = reinterpret_cast<uint8_t*>(&net);
    b[0] = static_cast<uint8_t>(host >> 24);
    b[1] = static_cast<uint8_t>(host >> 16);
    b[2] = static_cast<uint8_t>(host >> 8);
    b[3] = static_cast<uint8_t>(host);
    return net;
}

// Room for "255.255.255.255:65535" and its NUL.
inline constexpr size_t KZ_STUN_ADDRESS_TEXT_SIZE = 24;

// Writes "a.b.c.d:port" into out; returns out.
const char* KZStunAddressText(const KZStunAddress4& address, char* out, size_t size);
// Writes "a.b.c.d" (no port) into out; returns out.
const char* KZStunIPText(uint32_t host_order_ip, char* out, size_t size);
