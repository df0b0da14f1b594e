#include "host/KZBase64.h"

#include <cstdint>

namespace KZAPI {

size_t KZ_b64_encode(const void* data, size_t len, char* out, size_t size) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t needed = KZ_b64_encoded_length(len);
    if (!out || size <= needed) {
        if (out && size > 0) out[0] = '\0';
        return 0;
    }
    const auto* in = static_cast<const uint8_t*>(data);
    size_t written = 0;
    for (size_t i = 0; i < len; i += 3) {
        const size_t left = len - i;
        const uint32_t block = (uint32_t{in[i]} << 16) | (left > 1 ? uint32_t{in[i + 1]} << 8 : 0) |
                               (left > 2 ? uint32_t{in[i + 2]} : 0);
        out[written++] = kAlphabet[(block >> 18) & 63];
        out[written++] = kAlphabet[(block >> 12) & 63];
        out[written++] = left > 1 ? kAlphabet[(block >> 6) & 63] : '=';
        out[written++] = left > 2 ? kAlphabet[block & 63] : '=';
    }
    out[written] = '\0';
    return written;
}

} // namespace KZAPI
