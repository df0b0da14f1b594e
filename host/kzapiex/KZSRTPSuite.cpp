#include "host/kzapiex/KZSRTPSuite.h"

#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace KZAPIEx {

namespace {

constexpr size_t kCMSalt = 14;
constexpr size_t kGCMSalt = 12;
constexpr size_t kMinKeyMaterial = 16;

void SetAesCm128Sha1_80(srtp_crypto_policy_t* policy);

// The 32-bit-tag suites shorten the tag of SRTP only; their SRTCP keeps 80 bits (RFC 4568 6.2).
constexpr std::array<KZSRTPSuite, 8> kSuites{{
    {"AES_CM_128_HMAC_SHA1_32", srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32, SetAesCm128Sha1_80, 16,
     kCMSalt, 4},
    {"AES_CM_128_HMAC_SHA1_80", SetAesCm128Sha1_80, SetAesCm128Sha1_80, 16, kCMSalt, 10},
    {"AES_192_CM_HMAC_SHA1_32", srtp_crypto_policy_set_aes_cm_192_hmac_sha1_32,
     srtp_crypto_policy_set_aes_cm_192_hmac_sha1_80, 24, kCMSalt, 4},
    {"AES_192_CM_HMAC_SHA1_80", srtp_crypto_policy_set_aes_cm_192_hmac_sha1_80,
     srtp_crypto_policy_set_aes_cm_192_hmac_sha1_80, 24, kCMSalt, 10},
    {"AES_256_CM_HMAC_SHA1_32", srtp_crypto_policy_set_aes_cm_256_hmac_sha1_32,
     srtp_crypto_policy_set_aes_cm_256_hmac_sha1_80, 32, kCMSalt, 4},
    {"AES_256_CM_HMAC_SHA1_80", srtp_crypto_policy_set_aes_cm_256_hmac_sha1_80,
     srtp_crypto_policy_set_aes_cm_256_hmac_sha1_80, 32, kCMSalt, 10},
    {"AEAD_AES_128_GCM", srtp_crypto_policy_set_aes_gcm_128_16_auth,
     srtp_crypto_policy_set_aes_gcm_128_16_auth, 16, kGCMSalt, 16},
    {"AEAD_AES_256_GCM", srtp_crypto_policy_set_aes_gcm_256_16_auth,
     srtp_crypto_policy_set_aes_gcm_256_16_auth, 32, kGCMSalt, 16},
}};
static_assert(SRTP_AES_ICM_256_KEY_LEN_WSALT <= KZSRTPKeyMaterial::kMaxKeyAndSalt);
static_assert(SRTP_AES_GCM_256_KEY_LEN_WSALT <= KZSRTPKeyMaterial::kMaxKeyAndSalt);

// libsrtp spells this one as a macro over its default policy.
void SetAesCm128Sha1_80(srtp_crypto_policy_t* policy) {
    srtp_crypto_policy_set_rtp_default(policy);
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool Stretch(const uint8_t* in, size_t in_length, const KZSRTPSuite& suite, uint8_t* out, size_t out_length) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    if (!kdf) return false;
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (!ctx) return false;
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string("digest", digest, 0),
        OSSL_PARAM_construct_octet_string("key", const_cast<uint8_t*>(in), in_length),
        OSSL_PARAM_construct_octet_string("info", const_cast<char*>(suite.name), std::strlen(suite.name)),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = EVP_KDF_derive(ctx, out, out_length, params) == 1;
    EVP_KDF_CTX_free(ctx);
    return ok;
}

// "|MKI:length" (decimal value, length in bytes) into out; a part without ':' is the lifetime.
bool ReadMKI(std::string_view part, KZSRTPKeyMaterial& out) {
    const size_t colon = part.find(':');
    if (colon == std::string_view::npos) return true; // a lifetime ("2^20" or a number)
    uint64_t value = 0;
    size_t bytes = 0;
    const std::string_view value_text = part.substr(0, colon), bytes_text = part.substr(colon + 1);
    const auto v = std::from_chars(value_text.data(), value_text.data() + value_text.size(), value);
    const auto b = std::from_chars(bytes_text.data(), bytes_text.data() + bytes_text.size(), bytes);
    if (v.ec != std::errc() || v.ptr != value_text.data() + value_text.size() || b.ec != std::errc() ||
        b.ptr != bytes_text.data() + bytes_text.size() || bytes == 0 ||
        bytes > KZSRTPKeyMaterial::kMaxMKIBytes)
        return false;
    out.mki_bytes = bytes;
    for (size_t i = 0; i < bytes; ++i)
        out.mki[bytes - 1 - i] = static_cast<uint8_t>(i < 8 ? value >> (8 * i) : 0);
    return true;
}

} // namespace

const KZSRTPSuite* FindSuite(std::string_view name) {
    const auto it =
        std::find_if(kSuites.begin(), kSuites.end(), [&](const KZSRTPSuite& s) { return name == s.name; });
    return it == kSuites.end() ? nullptr : &*it;
}

bool DecodeBase64(std::string_view text, uint8_t* out, size_t capacity, size_t* length) {
    while (!text.empty() && text.back() == '=')
        text.remove_suffix(1);
    uint32_t bits = 0;
    int pending = 0;
    size_t written = 0;
    for (char c : text) {
        const int value = Base64Value(c);
        if (value < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        pending += 6;
        if (pending < 8) continue;
        pending -= 8;
        if (written == capacity) return false;
        out[written++] = static_cast<uint8_t>(bits >> pending);
    }
    *length = written;
    return true;
}

bool ReadKeyMaterial(std::string_view inline_key, const KZSRTPSuite& suite, KZSRTPKeyMaterial& out,
                     const char** reason) {
    out = KZSRTPKeyMaterial{};
    const size_t bar = inline_key.find('|');
    const std::string_view key_text = inline_key.substr(0, bar);
    for (std::string_view rest = bar == std::string_view::npos ? "" : inline_key.substr(bar + 1);
         !rest.empty();) {
        const size_t next = rest.find('|');
        if (!ReadMKI(rest.substr(0, next), out)) {
            *reason = "bad MKI in the key parameter";
            return false;
        }
        rest = next == std::string_view::npos ? "" : rest.substr(next + 1);
    }
    uint8_t decoded[64];
    size_t decoded_length = 0;
    if (key_text.empty() || !DecodeBase64(key_text, decoded, sizeof(decoded), &decoded_length)) {
        *reason = "the key is missing, too long or not base64";
        return false;
    }
    if (decoded_length < kMinKeyMaterial) {
        *reason = "the key is shorter than 16 bytes";
        return false;
    }
    out.length = suite.key_bytes + suite.salt_bytes;
    if (decoded_length == out.length) {
        std::memcpy(out.key_and_salt.data(), decoded, out.length);
        return true;
    }
    if (!Stretch(decoded, decoded_length, suite, out.key_and_salt.data(), out.length)) {
        *reason = "key derivation failed";
        return false;
    }
    return true;
}

} // namespace KZAPIEx
