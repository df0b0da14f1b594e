#include "host/KZCrypto.h"

#include <array>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace KZAPI {

bool KZ_HMAC_SHA1(const void* key, size_t key_len, const void* data, size_t len,
                  uint8_t out[KZ_SHA1_DIGEST_SIZE]) {
    if (!out || (!key && key_len) || (!data && len)) return false;
    // An empty key is a valid HMAC key; OpenSSL wants a non-null pointer for it.
    static const unsigned char empty = 0;
    unsigned int out_len = 0;
    const unsigned char* k = key_len ? static_cast<const unsigned char*>(key) : &empty;
    const unsigned char* d = len ? static_cast<const unsigned char*>(data) : &empty;
    if (!HMAC(EVP_sha1(), k, static_cast<int>(key_len), d, len, out, &out_len)) return false;
    return out_len == KZ_SHA1_DIGEST_SIZE;
}

namespace {

// libcrypto has no public CRC-32, so the table is built here once.
constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

} // namespace

uint32_t KZ_CRC32(const void* data, size_t len, uint32_t crc) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t c = crc ^ 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i)
        c = kCrcTable[(c ^ p[i]) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

} // namespace KZAPI
