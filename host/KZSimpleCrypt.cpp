#include "host/KZSimpleCrypt.h"

#include "host/KZCrypto.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <string_view>
#include <vector>

namespace KZAPI {

namespace {

constexpr size_t kSaltSize = 8;
constexpr size_t kTagSize = 10;

using Bytes = std::vector<uint8_t>;
using Digest = std::array<uint8_t, KZ_SHA1_DIGEST_SIZE>;

// The keys seal together: each key is preceded by its length, so ("ab", "c") and ("a", "bc")
// are different secrets.
struct SealKeys {
    Digest enc{};
    Digest mac{};
    bool ok = false;
};

void append(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

void append_length(Bytes& out, size_t n) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(n >> shift));
}

SealKeys derive_keys(const char* key1, const char* key2) {
    const std::string_view k1 = key1 ? key1 : "";
    const std::string_view k2 = key2 ? key2 : "";
    Bytes master;
    append_length(master, k1.size());
    append(master, k1);
    append_length(master, k2.size());
    append(master, k2);
    SealKeys keys;
    static constexpr char kEncLabel[] = "KZ seal: keystream";
    static constexpr char kMacLabel[] = "KZ seal: tag";
    keys.ok = KZ_HMAC_SHA1(master.data(), master.size(), kEncLabel, sizeof(kEncLabel) - 1, keys.enc.data()) &&
              KZ_HMAC_SHA1(master.data(), master.size(), kMacLabel, sizeof(kMacLabel) - 1, keys.mac.data());
    OPENSSL_cleanse(master.data(), master.size());
    return keys;
}

// XORs data with the keystream drawn from salt (the same call seals and opens).
bool apply_keystream(const SealKeys& keys, const uint8_t* salt, uint8_t* data, size_t len) {
    uint8_t input[kSaltSize + 4];
    std::memcpy(input, salt, kSaltSize);
    Digest block{};
    for (size_t done = 0, counter = 0; done < len; ++counter) {
        for (int i = 0; i < 4; ++i)
            input[kSaltSize + i] = static_cast<uint8_t>(counter >> (24 - 8 * i));
        if (!KZ_HMAC_SHA1(keys.enc.data(), keys.enc.size(), input, sizeof(input), block.data())) return false;
        for (size_t i = 0; i < block.size() && done < len; ++i)
            data[done++] ^= block[i];
    }
    return true;
}

bool compute_tag(const SealKeys& keys, const uint8_t* salt, std::string_view plain, Digest& tag) {
    Bytes input(salt, salt + kSaltSize);
    append(input, plain);
    return KZ_HMAC_SHA1(keys.mac.data(), keys.mac.size(), input.data(), input.size(), tag.data());
}

std::string to_hex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 15]);
    }
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool from_hex(std::string_view text, Bytes& out) {
    if (text.size() % 2) return false;
    out.resize(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const int hi = hex_value(text[2 * i]);
        const int lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

} // namespace

std::string KZ_SimpleEncrypt(const char* plain_text, const char* key1, const char* key2) {
    const std::string_view plain = plain_text ? plain_text : "";
    const SealKeys keys = derive_keys(key1, key2);
    if (!keys.ok) return "";
    Bytes sealed(kSaltSize);
    if (RAND_bytes(sealed.data(), static_cast<int>(kSaltSize)) != 1) return "";
    Digest tag{};
    if (!compute_tag(keys, sealed.data(), plain, tag)) return "";
    append(sealed, plain);
    if (!apply_keystream(keys, sealed.data(), sealed.data() + kSaltSize, plain.size())) return "";
    sealed.insert(sealed.end(), tag.begin(), tag.begin() + kTagSize);
    return to_hex(sealed);
}

std::string KZ_SimpleDecrypt(const char* sealed_text, const char* key1, const char* key2) {
    Bytes sealed;
    if (!sealed_text || !from_hex(sealed_text, sealed) || sealed.size() < kSaltSize + kTagSize) return "";
    const SealKeys keys = derive_keys(key1, key2);
    if (!keys.ok) return "";
    const size_t text_len = sealed.size() - kSaltSize - kTagSize;
    uint8_t* text = sealed.data() + kSaltSize;
    if (!apply_keystream(keys, sealed.data(), text, text_len)) return "";
    const std::string plain(reinterpret_cast<const char*>(text), text_len);
    Digest tag{};
    if (!compute_tag(keys, sealed.data(), plain, tag)) return "";
    if (CRYPTO_memcmp(tag.data(), text + text_len, kTagSize) != 0) return "";
    return plain;
}

} // namespace KZAPI
