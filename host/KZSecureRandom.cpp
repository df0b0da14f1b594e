#include "host/KZSecureRandom.h"

#include "host/KZStrFunc.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace KZAPI {

namespace {

// Small draws (tags, SSRCs, stream starts: several per call) come from a per-thread store filled
// by one getrandom, so a call does not pay a system call for each; every byte is still the
// kernel's and is handed out once.
constexpr size_t kStoreBytes = 256;

struct RandomStore {
    unsigned char bytes[kStoreBytes];
    size_t left = 0;
};

bool fill_from_kernel(unsigned char* bytes, size_t len) {
    while (len > 0) {
        const ssize_t got = getrandom(bytes, len, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += got;
        len -= static_cast<size_t>(got);
    }
    return true;
}

} // namespace

bool KZ_SecureRandomBytes(void* out, size_t len) {
    auto* bytes = static_cast<unsigned char*>(out);
    if (len > kStoreBytes / 4) return fill_from_kernel(bytes, len);
    thread_local RandomStore store;
    if (store.left < len) {
        if (!fill_from_kernel(store.bytes, kStoreBytes)) return false;
        store.left = kStoreBytes;
    }
    unsigned char* taken = store.bytes + kStoreBytes - store.left;
    std::memcpy(bytes, taken, len);
    std::memset(taken, 0, len); // what was handed out does not stay behind
    store.left -= len;
    return true;
}

uint32_t KZ_SecureRandomU32() {
    uint32_t value = 0;
    return KZ_SecureRandomBytes(&value, sizeof(value)) ? value : get_rand_u32();
}

} // namespace KZAPI
