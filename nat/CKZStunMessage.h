// CKZStunMessage: one classic STUN message as a record of its attributes, with the parser and
// the encoder. Every attribute of the classic table is known; MESSAGE-INTEGRITY (HMAC-SHA1) and
// FINGERPRINT (CRC-32) are computed when encoding and checked on raw messages.
#pragma once

#include "nat/KZStunTypes.h"

#include <cstddef>
#include <cstdint>

// A text or byte-string attribute value: up to KZ_STUN_MAX_STRING - 1 bytes, NUL-terminated.
struct KZStunText {
    char value[KZ_STUN_MAX_STRING] = {};
    uint16_t size = 0;

    // Bounded copy of len bytes of data (cut to the capacity); returns false when it was cut.
    bool Set(const void* data, size_t len);
    bool Set(const char* text);
};

struct KZStunErrorCode {
    uint8_t error_class = 0; // hundreds digit, 1..6
    uint8_t number = 0;      // code modulo 100
    KZStunText reason;

    unsigned Code() const { return error_class * 100u + number; }
};

struct KZStunUnknownAttributes {
    uint16_t types[KZ_STUN_MAX_UNKNOWN_ATTRIBUTES] = {};
    uint16_t count = 0;
};

class CKZStunMessage {
public:
    static constexpr size_t kErrorTextSize = 160;

    // Header.
    uint16_t msg_type = 0;
    uint8_t id[KZ_STUN_TID_SIZE] = {};

    // Attributes. Addresses are kept as they are meant: XOR-MAPPED-ADDRESS holds the address
    // itself (decoded on parsing, obfuscated again on encoding).
    bool has_mapped_address = false;
    KZStunAddress4 mapped_address;
    bool has_response_address = false;
    KZStunAddress4 response_address;
    bool has_change_request = false;
    uint32_t change_request = 0;
    bool has_source_address = false;
    KZStunAddress4 source_address;
    bool has_changed_address = false;
    KZStunAddress4 changed_address;
    bool has_username = false;
    KZStunText username;
    bool has_password = false;
    KZStunText password;
    bool has_message_integrity = false;
    uint8_t message_integrity[KZ_STUN_HMAC_SIZE] = {};
    bool has_error_code = false;
    KZStunErrorCode error_code;
    bool has_unknown_attributes = false;
    KZStunUnknownAttributes unknown_attributes;
    bool has_reflected_from = false;
    KZStunAddress4 reflected_from;
    bool has_xor_only = false;
    bool has_xor_mapped_address = false;
    KZStunAddress4 xor_mapped_address;
    bool has_server_name = false;
    KZStunText server_name;
    bool has_secondary_address = false;
    KZStunAddress4 secondary_address;

    void Clear();

    // Parses a received datagram. On refusal returns false and GetParseError() tells why.
    bool Parse(const uint8_t* buf, size_t len);
    const char* GetParseError() const { return m_error; }

    // Sets ERROR-CODE from a code such as 432, padding the reason with spaces to a multiple of
    // four bytes as RFC 3489 asks.
    void SetErrorCode(unsigned code, const char* reason);

    // Writes the message into buf. Attributes go in the order of the table; with a key the
    // message ends in MESSAGE-INTEGRITY (HMAC-SHA1 under key), and with fingerprint it is then
    // followed by FINGERPRINT. The stored message_integrity is not written: it is computed.
    // Returns the length, or 0 when buf is too small.
    size_t Encode(uint8_t* buf, size_t size, const void* key = nullptr, size_t key_len = 0,
                  bool fingerprint = false) const;

    // Checks the MESSAGE-INTEGRITY of a raw message under key (RFC 5389 rule: HMAC over the
    // message before the attribute, with the header length counting up to its end). False when
    // the message has none or it does not match.
    static bool CheckIntegrity(const uint8_t* buf, size_t len, const void* key, size_t key_len);
    // Checks the FINGERPRINT of a raw message; false when it has none or it does not match.
    static bool CheckFingerprint(const uint8_t* buf, size_t len);
    // Computes the MESSAGE-INTEGRITY value for an attribute at offset mi_offset of buf.
    static bool ComputeIntegrity(const uint8_t* buf, size_t mi_offset, const void* key, size_t key_len,
                                 uint8_t out[KZ_STUN_HMAC_SIZE]);

    // Walks the attributes of a message whose header has been checked: reads the attribute at
    // offset (from the start of the message), advances offset past it and its padding. False
    // at the end or when the attribute claims more than the message holds.
    static bool NextAttribute(const uint8_t* buf, size_t len, size_t& offset, uint16_t& type,
                              const uint8_t*& value, uint16_t& value_len);
    // Decodes an address value (8 bytes, family IPv4); with xor_id the port and address are
    // exclusive-ored with the leading bits of that transaction id.
    static bool DecodeAddress(const uint8_t* value, size_t len, KZStunAddress4& out,
                              const uint8_t* xor_id = nullptr);

private:
    bool Refuse(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool ParseAttribute(uint16_t type, const uint8_t* value, uint16_t len);

    char m_error[kErrorTextSize] = {};
};
