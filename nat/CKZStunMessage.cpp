#include "nat/CKZStunMessage.h"

#include "host/CKZLogInterface.h"
#include "host/KZByteOrder.h"
#include "host/KZCrypto.h"
#include "host/KZStrFunc.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

static_assert(KZ_STUN_HMAC_SIZE == KZAPI::KZ_SHA1_DIGEST_SIZE, "MESSAGE-INTEGRITY is one HMAC-SHA1");
static_assert(sizeof(KZStunText::value) == KZ_STUN_MAX_STRING, "text attributes keep 255 bytes");
static_assert(sizeof(KZStunUnknownAttributes::types) / sizeof(uint16_t) == KZ_STUN_MAX_UNKNOWN_ATTRIBUTES);

namespace {

constexpr size_t pad4(size_t n) {
    return (n + 3u) & ~size_t{3};
}

// Appends attributes to a buffer, refusing (once, for good) anything that does not fit.
class StunWriter {
public:
    StunWriter(uint8_t* buf, size_t size) : m_buf(buf), m_size(size) {}

    bool Ok() const { return m_ok; }
    size_t Pos() const { return m_pos; }
    uint8_t* Data() { return m_buf; }

    void Raw(const void* data, size_t len) {
        if (!Room(len)) return;
        if (len) memcpy(m_buf + m_pos, data, len);
        m_pos += len;
    }
    void U16(uint16_t v) {
        uint8_t b[2];
        KZAPI::WriteBE16(b, v);
        Raw(b, 2);
    }
    void U32(uint32_t v) {
        uint8_t b[4];
        KZAPI::WriteBE32(b, v);
        Raw(b, 4);
    }
    // Attribute header and value, zero-padded to a multiple of four bytes.
    void Attribute(uint16_t type, const void* value, size_t len) {
        if (len > 0xFFFF || !Room(KZ_STUN_ATTR_HEADER_SIZE + pad4(len))) {
            m_ok = false;
            return;
        }
        U16(type);
        U16(static_cast<uint16_t>(len));
        Raw(value, len);
        static const uint8_t zeros[3] = {};
        Raw(zeros, pad4(len) - len);
    }
    void Address(uint16_t type, const KZStunAddress4& a, const uint8_t* xor_id = nullptr) {
        uint16_t port = a.port;
        uint32_t addr = a.addr;
        if (xor_id) {
            port ^= KZAPI::ReadBE16(xor_id);
            addr ^= KZAPI::ReadBE32(xor_id);
        }
        uint8_t v[KZ_STUN_ADDRESS_VALUE_SIZE] = {0, KZ_STUN_FAMILY_IPV4};
        KZAPI::WriteBE16(v + 2, port);
        KZAPI::WriteBE32(v + 4, addr);
        Attribute(type, v, sizeof(v));
    }
    void Text(uint16_t type, const KZStunText& t) { Attribute(type, t.value, t.size); }

private:
    bool Room(size_t len) {
        if (!m_ok || len > m_size - m_pos) m_ok = false;
        return m_ok;
    }

    uint8_t* m_buf;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

// Finds the first attribute of a type; its offset from the start of the message.
bool find_attribute(const uint8_t* buf, size_t len, uint16_t wanted, size_t& at, const uint8_t*& value,
                    uint16_t& value_len) {
    if (!buf || len < KZ_STUN_HEADER_SIZE || KZAPI::ReadBE16(buf + 2) != len - KZ_STUN_HEADER_SIZE)
        return false;
    size_t offset = KZ_STUN_HEADER_SIZE;
    uint16_t type = 0;
    while (offset < len) {
        size_t here = offset;
        if (!CKZStunMessage::NextAttribute(buf, len, offset, type, value, value_len)) return false;
        if (type == wanted) {
            at = here;
            return true;
        }
    }
    return false;
}

bool equal_in_constant_time(const uint8_t* a, const uint8_t* b, size_t len) {
    uint8_t diff = 0;
    for (size_t i = 0; i < len; ++i)
        diff |= static_cast<uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

bool KZStunText::Set(const void* data, size_t len) {
    const bool fits = len < sizeof(value);
    size_t n = fits ? len : sizeof(value) - 1;
    if (n) memcpy(value, data, n);
    value[n] = '\0';
    size = static_cast<uint16_t>(n);
    return fits;
}

bool KZStunText::Set(const char* text) {
    return Set(text, text ? strlen(text) : 0);
}

void CKZStunMessage::Clear() {
    *this = CKZStunMessage();
}

bool CKZStunMessage::Refuse(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vsnprintf(m_error, sizeof(m_error), fmt, args);
    va_end(args);
    KZAPI::CKZLogInterface::Log(KZAPI::CKZLogInterface::LOG_TRACE, "%s", m_error);
    return false;
}

bool CKZStunMessage::NextAttribute(const uint8_t* buf, size_t len, size_t& offset, uint16_t& type,
                                   const uint8_t*& value, uint16_t& value_len) {
    if (!buf || offset >= len || len - offset < KZ_STUN_ATTR_HEADER_SIZE) return false;
    const uint16_t attr_len = KZAPI::ReadBE16(buf + offset + 2);
    const size_t left = len - offset - KZ_STUN_ATTR_HEADER_SIZE;
    if (attr_len > left) return false;
    type = KZAPI::ReadBE16(buf + offset);
    value = buf + offset + KZ_STUN_ATTR_HEADER_SIZE;
    value_len = attr_len;
    // Values are padded to four bytes; a last attribute without its padding is tolerated, since
    // classic servers send error reasons of any length unpadded.
    const size_t step = KZ_STUN_ATTR_HEADER_SIZE + pad4(attr_len);
    offset = step <= len - offset ? offset + step : len;
    return true;
}

bool CKZStunMessage::DecodeAddress(const uint8_t* value, size_t len, KZStunAddress4& out,
                                   const uint8_t* xor_id) {
    if (!value || len != KZ_STUN_ADDRESS_VALUE_SIZE || value[1] != KZ_STUN_FAMILY_IPV4) return false;
    out.port = KZAPI::ReadBE16(value + 2);
    out.addr = KZAPI::ReadBE32(value + 4);
    if (xor_id) {
        out.port ^= KZAPI::ReadBE16(xor_id);
        out.addr ^= KZAPI::ReadBE32(xor_id);
    }
    return true;
}

bool CKZStunMessage::Parse(const uint8_t* buf, size_t len) {
    Clear();
    if (!buf || len < KZ_STUN_HEADER_SIZE) return Refuse("Bad message");
    msg_type = KZAPI::ReadBE16(buf);
    const uint16_t body_len = KZAPI::ReadBE16(buf + 2);
    memcpy(id, buf + 4, KZ_STUN_TID_SIZE);
    if (body_len != len - KZ_STUN_HEADER_SIZE)
        return Refuse("Message header length doesn't match message size: %u != %zu",
                      static_cast<unsigned>(body_len), len - KZ_STUN_HEADER_SIZE);

    size_t offset = KZ_STUN_HEADER_SIZE;
    while (offset < len) {
        const size_t here = offset;
        uint16_t type = 0, value_len = 0;
        const uint8_t* value = nullptr;
        if (!NextAttribute(buf, len, offset, type, value, value_len)) {
            if (len - here < KZ_STUN_ATTR_HEADER_SIZE)
                return Refuse(
                    "claims attribute is larger than size of message (%zu bytes left at offset %zu)",
                    len - here, here);
            return Refuse(
                "claims attribute is larger than size of message (attribute type 0x%04x claims %u bytes, "
                "%zu left)",
                static_cast<unsigned>(KZAPI::ReadBE16(buf + here)),
                static_cast<unsigned>(KZAPI::ReadBE16(buf + here + 2)),
                len - here - KZ_STUN_ATTR_HEADER_SIZE);
        }
        if (!ParseAttribute(type, value, value_len)) return false;
    }
    m_error[0] = '\0';
    return true;
}

bool CKZStunMessage::ParseAttribute(uint16_t type, const uint8_t* value, uint16_t len) {
    // USERNAME and PASSWORD are multiples of four bytes; every text must fit its buffer.
    auto text = [&](KZStunText& out, bool whole_words) {
        if (len >= sizeof(out.value) || (whole_words && len % 4 != 0)) return false;
        out.Set(value, len);
        return true;
    };
    switch (type) {
    case KZ_STUN_ATTR_MAPPED_ADDRESS:
        has_mapped_address = DecodeAddress(value, len, mapped_address);
        return has_mapped_address || Refuse("problem parsing MappedAddress");
    case KZ_STUN_ATTR_RESPONSE_ADDRESS:
        has_response_address = DecodeAddress(value, len, response_address);
        return has_response_address || Refuse("problem parsing ResponseAddress");
    case KZ_STUN_ATTR_CHANGE_REQUEST:
        if (len != 4) return Refuse("problem parsing ChangeRequest");
        has_change_request = true;
        change_request = KZAPI::ReadBE32(value);
        return true;
    case KZ_STUN_ATTR_SOURCE_ADDRESS:
        has_source_address = DecodeAddress(value, len, source_address);
        return has_source_address || Refuse("problem parsing SourceAddress");
    case KZ_STUN_ATTR_CHANGED_ADDRESS:
        has_changed_address = DecodeAddress(value, len, changed_address);
        return has_changed_address || Refuse("problem parsing ChangedAddress");
    case KZ_STUN_ATTR_USERNAME:
        has_username = text(username, true);
        return has_username || Refuse("problem parsing Username");
    case KZ_STUN_ATTR_PASSWORD:
        has_password = text(password, true);
        return has_password || Refuse("problem parsing Password");
    case KZ_STUN_ATTR_MESSAGE_INTEGRITY:
        if (len != KZ_STUN_HMAC_SIZE) return Refuse("problem parsing MessageIntegrity");
        has_message_integrity = true;
        memcpy(message_integrity, value, KZ_STUN_HMAC_SIZE);
        return true;
    case KZ_STUN_ATTR_ERROR_CODE:
        if (len < 4 || len - 4u >= sizeof(error_code.reason.value))
            return Refuse("problem parsing ErrorCode");
        has_error_code = true;
        error_code.error_class = value[2] & 0x07u;
        error_code.number = value[3];
        error_code.reason.Set(value + 4, len - 4u);
        return true;
    case KZ_STUN_ATTR_UNKNOWN_ATTRIBUTES:
        if (len % 2 != 0 || len / 2u > KZ_STUN_MAX_UNKNOWN_ATTRIBUTES)
            return Refuse("problem parsing UnknownAttribute");
        has_unknown_attributes = true;
        unknown_attributes.count = static_cast<uint16_t>(len / 2u);
        for (uint16_t i = 0; i < unknown_attributes.count; ++i)
            unknown_attributes.types[i] = KZAPI::ReadBE16(value + 2 * i);
        return true;
    case KZ_STUN_ATTR_REFLECTED_FROM:
        has_reflected_from = DecodeAddress(value, len, reflected_from);
        return has_reflected_from || Refuse("problem parsing ReflectedFrom");
    case KZ_STUN_ATTR_XOR_ONLY:
        if (len != 0) return Refuse("problem parsing XorOnly");
        has_xor_only = true;
        return true;
    case KZ_STUN_ATTR_XOR_MAPPED_ADDRESS:
    case KZ_STUN_ATTR_XOR_MAPPED_ADDRESS_5389:
        has_xor_mapped_address = DecodeAddress(value, len, xor_mapped_address, id);
        return has_xor_mapped_address || Refuse("problem parsing XorMappedAddress");
    case KZ_STUN_ATTR_SERVER_NAME:
        has_server_name = text(server_name, false);
        return has_server_name || Refuse("problem parsing ServerName");
    case KZ_STUN_ATTR_SECONDARY_ADDRESS:
        has_secondary_address = DecodeAddress(value, len, secondary_address);
        return has_secondary_address || Refuse("problem parsing SecondaryAddress");
    default:
        if (type <= KZ_STUN_ATTR_MANDATORY_MAX)
            return Refuse("Unknown attribute: 0x%04x", static_cast<unsigned>(type));
        KZAPI::CKZLogInterface::Log(KZAPI::CKZLogInterface::LOG_TRACE, "Unknown attribute: 0x%04x",
                                    static_cast<unsigned>(type));
        return true;
    }
}

void CKZStunMessage::SetErrorCode(unsigned code, const char* reason) {
    has_error_code = true;
    error_code.error_class = static_cast<uint8_t>((code / 100u) & 0x07u);
    error_code.number = static_cast<uint8_t>(code % 100u);
    char padded[KZ_STUN_MAX_STRING];
    size_t n = KZAPI::str_cpy(padded, reason, sizeof(padded) - 3);
    while (n % 4 != 0)
        padded[n++] = ' ';
    padded[n] = '\0';
    error_code.reason.Set(padded, n);
}

size_t CKZStunMessage::Encode(uint8_t* buf, size_t size, const void* key, size_t key_len,
                              bool fingerprint) const {
    if (!buf) return 0;
    StunWriter w(buf, size);
    w.U16(msg_type);
    w.U16(0); // length, written at the end
    w.Raw(id, KZ_STUN_TID_SIZE);

    if (has_mapped_address) w.Address(KZ_STUN_ATTR_MAPPED_ADDRESS, mapped_address);
    if (has_response_address) w.Address(KZ_STUN_ATTR_RESPONSE_ADDRESS, response_address);
    if (has_change_request) {
        uint8_t v[4];
        KZAPI::WriteBE32(v, change_request);
        w.Attribute(KZ_STUN_ATTR_CHANGE_REQUEST, v, sizeof(v));
    }
    if (has_source_address) w.Address(KZ_STUN_ATTR_SOURCE_ADDRESS, source_address);
    if (has_changed_address) w.Address(KZ_STUN_ATTR_CHANGED_ADDRESS, changed_address);
    if (has_username) w.Text(KZ_STUN_ATTR_USERNAME, username);
    if (has_password) w.Text(KZ_STUN_ATTR_PASSWORD, password);
    if (has_error_code) {
        uint8_t v[4 + KZ_STUN_MAX_STRING] = {0, 0, static_cast<uint8_t>(error_code.error_class & 0x07u),
                                             error_code.number};
        memcpy(v + 4, error_code.reason.value, error_code.reason.size);
        w.Attribute(KZ_STUN_ATTR_ERROR_CODE, v, 4u + error_code.reason.size);
    }
    if (has_unknown_attributes) {
        uint8_t v[2 * KZ_STUN_MAX_UNKNOWN_ATTRIBUTES];
        const uint16_t count = unknown_attributes.count < KZ_STUN_MAX_UNKNOWN_ATTRIBUTES
                                   ? unknown_attributes.count
                                   : KZ_STUN_MAX_UNKNOWN_ATTRIBUTES;
        for (uint16_t i = 0; i < count; ++i)
            KZAPI::WriteBE16(v + 2 * i, unknown_attributes.types[i]);
        w.Attribute(KZ_STUN_ATTR_UNKNOWN_ATTRIBUTES, v, 2u * count);
    }
    if (has_reflected_from) w.Address(KZ_STUN_ATTR_REFLECTED_FROM, reflected_from);
    if (has_xor_only) w.Attribute(KZ_STUN_ATTR_XOR_ONLY, nullptr, 0);
    if (has_xor_mapped_address) w.Address(KZ_STUN_ATTR_XOR_MAPPED_ADDRESS, xor_mapped_address, id);
    if (has_server_name) w.Text(KZ_STUN_ATTR_SERVER_NAME, server_name);
    if (has_secondary_address) w.Address(KZ_STUN_ATTR_SECONDARY_ADDRESS, secondary_address);

    if (key) {
        const size_t at = w.Pos();
        uint8_t hmac[KZ_STUN_HMAC_SIZE] = {};
        // Reserve the attribute first so the HMAC is only computed over a message that fits.
        w.Attribute(KZ_STUN_ATTR_MESSAGE_INTEGRITY, hmac, sizeof(hmac));
        if (!w.Ok() || !ComputeIntegrity(buf, at, key, key_len, hmac)) return 0;
        memcpy(buf + at + KZ_STUN_ATTR_HEADER_SIZE, hmac, sizeof(hmac));
    }
    if (fingerprint) {
        const size_t at = w.Pos();
        w.Attribute(KZ_STUN_ATTR_FINGERPRINT, "\0\0\0\0", 4);
        if (!w.Ok()) return 0;
        KZAPI::WriteBE16(buf + 2, static_cast<uint16_t>(w.Pos() - KZ_STUN_HEADER_SIZE));
        KZAPI::WriteBE32(buf + at + KZ_STUN_ATTR_HEADER_SIZE,
                         KZAPI::KZ_CRC32(buf, at) ^ KZ_STUN_FINGERPRINT_XOR);
    }
    if (!w.Ok() || w.Pos() - KZ_STUN_HEADER_SIZE > 0xFFFF) return 0;
    KZAPI::WriteBE16(buf + 2, static_cast<uint16_t>(w.Pos() - KZ_STUN_HEADER_SIZE));
    return w.Pos();
}

bool CKZStunMessage::ComputeIntegrity(const uint8_t* buf, size_t mi_offset, const void* key, size_t key_len,
                                      uint8_t out[KZ_STUN_HMAC_SIZE]) {
    if (!buf || mi_offset < KZ_STUN_HEADER_SIZE || mi_offset > KZ_STUN_MAX_MESSAGE) return false;
    // The HMAC covers the message up to the attribute, with the header length counting the
    // message as if it ended with MESSAGE-INTEGRITY.
    uint8_t text[KZ_STUN_MAX_MESSAGE];
    memcpy(text, buf, mi_offset);
    KZAPI::WriteBE16(text + 2, static_cast<uint16_t>(mi_offset + KZ_STUN_ATTR_HEADER_SIZE +
                                                     KZ_STUN_HMAC_SIZE - KZ_STUN_HEADER_SIZE));
    return KZAPI::KZ_HMAC_SHA1(key, key_len, text, mi_offset, out);
}

bool CKZStunMessage::CheckIntegrity(const uint8_t* buf, size_t len, const void* key, size_t key_len) {
    size_t at = 0;
    const uint8_t* value = nullptr;
    uint16_t value_len = 0;
    if (!find_attribute(buf, len, KZ_STUN_ATTR_MESSAGE_INTEGRITY, at, value, value_len)) return false;
    uint8_t expected[KZ_STUN_HMAC_SIZE];
    if (value_len != KZ_STUN_HMAC_SIZE || !ComputeIntegrity(buf, at, key, key_len, expected)) return false;
    return equal_in_constant_time(expected, value, KZ_STUN_HMAC_SIZE);
}

bool CKZStunMessage::CheckFingerprint(const uint8_t* buf, size_t len) {
    size_t at = 0;
    const uint8_t* value = nullptr;
    uint16_t value_len = 0;
    if (!find_attribute(buf, len, KZ_STUN_ATTR_FINGERPRINT, at, value, value_len)) return false;
    // FINGERPRINT is the last attribute, so the header length already counts it.
    if (value_len != 4 || at + KZ_STUN_ATTR_HEADER_SIZE + 4 != len) return false;
    return (KZAPI::KZ_CRC32(buf, at) ^ KZ_STUN_FINGERPRINT_XOR) == KZAPI::ReadBE32(value);
}
