// Message authentication and checksums for the protocols the module speaks: HMAC-SHA1 (STUN
// MESSAGE-INTEGRITY, derived passwords) and CRC-32 (STUN FINGERPRINT).
#pragma once

#include <cstddef>
#include <cstdint>

namespace KZAPI {

inline constexpr size_t KZ_SHA1_DIGEST_SIZE = 20;

// HMAC-SHA1 of data under key into out (20 bytes). False only when the crypto library fails.
bool KZ_HMAC_SHA1(const void* key, size_t key_len, const void* data, size_t len,
                  uint8_t out[KZ_SHA1_DIGEST_SIZE]);

// CRC-32 (ISO-HDLC: reflected polynomial 0xEDB88320, initial and final value 0xFFFFFFFF), as
// used by STUN, Ethernet and zlib. Pass the previous result as crc to continue a computation.
uint32_t KZ_CRC32(const void* data, size_t len, uint32_t crc = 0);

} // namespace KZAPI
