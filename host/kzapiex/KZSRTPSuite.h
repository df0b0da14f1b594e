// The crypto suites the extension library speaks, and the reading of an SDP inline key into
// the master key and salt libsrtp wants for one of them.
#pragma once

#include <srtp2/srtp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace KZAPIEx {

struct KZSRTPSuite {
    const char* name;
    void (*set_policy)(srtp_crypto_policy_t*);      // SRTP
    void (*set_rtcp_policy)(srtp_crypto_policy_t*); // SRTCP
    size_t key_bytes;                               // master key
    size_t salt_bytes;                              // master salt: 14 for counter mode, 12 for GCM
    size_t tag_bytes;
};

// The suites in the order SDP offers list them; null when the name is not one of them.
const KZSRTPSuite* FindSuite(std::string_view name);

// A master key and salt, laid out as libsrtp reads them (key then salt), and the optional MKI.
struct KZSRTPKeyMaterial {
    static constexpr size_t kMaxKeyAndSalt = SRTP_MAX_KEY_LEN;
    static constexpr size_t kMaxMKIBytes = 8;
    std::array<uint8_t, kMaxKeyAndSalt> key_and_salt{};
    size_t length = 0;
    std::array<uint8_t, kMaxMKIBytes> mki{};
    size_t mki_bytes = 0;
};

// Reads "base64[|lifetime][|MKI:length]" for suite. A key of exactly the suite's key + salt
// length is used as it is. Another length of at least 16 bytes (this side keeps its 30-byte key
// when it adopts a peer's suite) is stretched or cut by HKDF-SHA256 with the suite's name as
// the info, so both ends of this library derive the same material. False with a reason.
bool ReadKeyMaterial(std::string_view inline_key, const KZSRTPSuite& suite, KZSRTPKeyMaterial& out,
                     const char** reason);

// Standard base64 (RFC 4648) into out; false on a bad character or when out is too small.
bool DecodeBase64(std::string_view text, uint8_t* out, size_t capacity, size_t* length);

} // namespace KZAPIEx
