// MD5 (RFC 1321) and HTTP digest authentication (RFC 2617) for SIP credentials.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KZAPI {

struct KZ_MD5_CTX {
    uint32_t state[4];
    uint64_t bit_count;
    unsigned char buffer[64];
};

void KZ_MD5_Init(KZ_MD5_CTX* ctx);
void KZ_MD5_Update(KZ_MD5_CTX* ctx, const void* data, size_t len);
void KZ_MD5_Final(unsigned char digest[16], KZ_MD5_CTX* ctx);
// Lower-case hexadecimal MD5 of a text into out (33 bytes with the NUL).
void KZ_MD5_Hex(const void* data, size_t len, char out[33]);

using HASHHEX = char[33];

// HA1 = MD5(user:realm:password); for "MD5-sess" HA1 = MD5(HA1:nonce:cnonce).
void KZ_DigestCalcHA1(const char* algorithm, const char* user, const char* realm, const char* password,
                      const char* nonce, const char* cnonce, HASHHEX session_key);
// response = MD5(HA1:nonce:nc:cnonce:qop:HA2) when qop is given, else MD5(HA1:nonce:HA2);
// HA2 = MD5(method:uri), with ":entity-hash" appended for qop "auth-int".
void KZ_DigestCalcResponse(const HASHHEX ha1, const char* nonce, const char* nonce_count, const char* cnonce,
                           const char* qop, const char* method, const char* uri, const HASHHEX entity_hash,
                           HASHHEX response);

} // namespace KZAPI
