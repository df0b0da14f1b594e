#include "host/KZDigest.h"

#include <cstring>
#include <strings.h>

namespace KZAPI {

namespace {

inline uint32_t rotl(uint32_t x, int c) {
    return (x << c) | (x >> (32 - c));
}

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

void md5_block(uint32_t state[4], const unsigned char block[64]) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = static_cast<uint32_t>(block[i * 4]) | (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t tmp = d;
        d = c;
        c = b;
        b = b + rotl(a + f + kSine[i] + m[g], kShift[i]);
        a = tmp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void to_hex(const unsigned char bin[16], char out[33]) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[i * 2] = digits[bin[i] >> 4];
        out[i * 2 + 1] = digits[bin[i] & 0xF];
    }
    out[32] = '\0';
}

void update_str(KZ_MD5_CTX* ctx, const char* s) {
    if (s) KZ_MD5_Update(ctx, s, strlen(s));
}

void update_colon(KZ_MD5_CTX* ctx) {
    KZ_MD5_Update(ctx, ":", 1);
}

} // namespace

void KZ_MD5_Init(KZ_MD5_CTX* ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->bit_count = 0;
}

void KZ_MD5_Update(KZ_MD5_CTX* ctx, const void* data, size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    size_t used = static_cast<size_t>((ctx->bit_count >> 3) & 63);
    ctx->bit_count += static_cast<uint64_t>(len) << 3;
    if (used) {
        size_t take = 64 - used;
        if (len < take) {
            memcpy(ctx->buffer + used, p, len);
            return;
        }
        memcpy(ctx->buffer + used, p, take);
        md5_block(ctx->state, ctx->buffer);
        p += take;
        len -= take;
    }
    while (len >= 64) {
        md5_block(ctx->state, p);
        p += 64;
        len -= 64;
    }
    if (len) memcpy(ctx->buffer, p, len);
}

void KZ_MD5_Final(unsigned char digest[16], KZ_MD5_CTX* ctx) {
    unsigned char length_le[8];
    for (int i = 0; i < 8; ++i)
        length_le[i] = static_cast<unsigned char>(ctx->bit_count >> (8 * i));
    static const unsigned char pad[64] = {0x80};
    size_t used = static_cast<size_t>((ctx->bit_count >> 3) & 63);
    size_t pad_len = used < 56 ? 56 - used : 120 - used;
    KZ_MD5_Update(ctx, pad, pad_len);
    KZ_MD5_Update(ctx, length_le, 8);
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k)
            digest[i * 4 + k] = static_cast<unsigned char>(ctx->state[i] >> (8 * k));
    memset(ctx, 0, sizeof(*ctx));
}

void KZ_MD5_Hex(const void* data, size_t len, char out[33]) {
    KZ_MD5_CTX ctx;
    KZ_MD5_Init(&ctx);
    KZ_MD5_Update(&ctx, data, len);
    unsigned char bin[16];
    KZ_MD5_Final(bin, &ctx);
    to_hex(bin, out);
}

void KZ_DigestCalcHA1(const char* algorithm, const char* user, const char* realm, const char* password,
                      const char* nonce, const char* cnonce, HASHHEX session_key) {
    KZ_MD5_CTX ctx;
    unsigned char bin[16];
    KZ_MD5_Init(&ctx);
    update_str(&ctx, user);
    update_colon(&ctx);
    update_str(&ctx, realm);
    update_colon(&ctx);
    update_str(&ctx, password);
    KZ_MD5_Final(bin, &ctx);
    to_hex(bin, session_key);
    if (algorithm && strcasecmp(algorithm, "md5-sess") == 0) {
        KZ_MD5_Init(&ctx);
        KZ_MD5_Update(&ctx, session_key, 32);
        update_colon(&ctx);
        update_str(&ctx, nonce);
        update_colon(&ctx);
        update_str(&ctx, cnonce);
        KZ_MD5_Final(bin, &ctx);
        to_hex(bin, session_key);
    }
}

void KZ_DigestCalcResponse(const HASHHEX ha1, const char* nonce, const char* nonce_count, const char* cnonce,
                           const char* qop, const char* method, const char* uri, const HASHHEX entity_hash,
                           HASHHEX response) {
    KZ_MD5_CTX ctx;
    unsigned char bin[16];
    HASHHEX ha2;
    KZ_MD5_Init(&ctx);
    update_str(&ctx, method);
    update_colon(&ctx);
    update_str(&ctx, uri);
    if (qop && strcasecmp(qop, "auth-int") == 0) {
        update_colon(&ctx);
        update_str(&ctx, entity_hash);
    }
    KZ_MD5_Final(bin, &ctx);
    to_hex(bin, ha2);

    KZ_MD5_Init(&ctx);
    KZ_MD5_Update(&ctx, ha1, 32);
    update_colon(&ctx);
    update_str(&ctx, nonce);
    update_colon(&ctx);
    if (qop && *qop) {
        update_str(&ctx, nonce_count);
        update_colon(&ctx);
        update_str(&ctx, cnonce);
        update_colon(&ctx);
        update_str(&ctx, qop);
        update_colon(&ctx);
    }
    KZ_MD5_Update(&ctx, ha2, 32);
    KZ_MD5_Final(bin, &ctx);
    to_hex(bin, response);
}

} // namespace KZAPI
