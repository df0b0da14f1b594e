// Random bytes from the kernel's cryptographic generator (getrandom), for keys and for values
// an outsider must not predict, such as SRTP master keys and RTP SSRCs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KZAPI {

// Fills len bytes; false only when the kernel cannot deliver them.
bool KZ_SecureRandomBytes(void* out, size_t len);
// A random 32-bit value (never fails: falls back to the per-thread generator).
uint32_t KZ_SecureRandomU32();

} // namespace KZAPI
