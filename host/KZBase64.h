// Base64 (RFC 4648, standard alphabet, with padding) for key texts such as SDP "inline:" keys.
#pragma once

#include <cstddef>

namespace KZAPI {

// Encodes len bytes into out (capacity size, always terminated, never a line feed). Returns the
// characters written, or 0 when the whole text does not fit.
size_t KZ_b64_encode(const void* data, size_t len, char* out, size_t size);

constexpr size_t KZ_b64_encoded_length(size_t len) {
    return (len + 2) / 3 * 4;
}

} // namespace KZAPI
