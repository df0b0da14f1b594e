#include "host/KZRingBuffer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

namespace KZAPI {

struct KZRingBuffer {
    explicit KZRingBuffer(int size) : capacity(size), bytes(std::make_unique<uint8_t[]>(size)) {}

    std::mutex mutex;
    const int capacity;
    std::unique_ptr<uint8_t[]> bytes;
    int head = 0; // next byte to read
    int size = 0;
};

KZ_RTMB_HANDLE KZ_RTMB_Create(int capacity) {
    if (capacity <= 0) return nullptr;
    return std::make_unique<KZRingBuffer>(capacity).release();
}

void KZ_RTMB_Destroy(KZ_RTMB_HANDLE handle) {
    std::unique_ptr<KZRingBuffer> owned(handle);
}

int KZ_RTMB_PutData(KZ_RTMB_HANDLE ring, const void* data, int length) {
    if (!ring || !data || length <= 0) return 0;
    std::lock_guard lock(ring->mutex);
    const int kept = std::min(length, ring->capacity - ring->size);
    const auto* in = static_cast<const uint8_t*>(data);
    const int tail = (ring->head + ring->size) % ring->capacity;
    const int first = std::min(kept, ring->capacity - tail);
    std::memcpy(ring->bytes.get() + tail, in, first);
    std::memcpy(ring->bytes.get(), in + first, kept - first);
    ring->size += kept;
    return kept;
}

int KZ_RTMB_GetData(KZ_RTMB_HANDLE ring, void* out, int length) {
    if (!ring || !out || length <= 0) return 0;
    std::lock_guard lock(ring->mutex);
    const int taken = std::min(length, ring->size);
    auto* to = static_cast<uint8_t*>(out);
    const int first = std::min(taken, ring->capacity - ring->head);
    std::memcpy(to, ring->bytes.get() + ring->head, first);
    std::memcpy(to + first, ring->bytes.get(), taken - first);
    ring->head = (ring->head + taken) % ring->capacity;
    ring->size -= taken;
    return taken;
}

int KZ_RTMB_GetDataSize(KZ_RTMB_HANDLE ring) {
    if (!ring) return 0;
    std::lock_guard lock(ring->mutex);
    return ring->size;
}

int KZ_RTMB_GetCapacity(KZ_RTMB_HANDLE ring) {
    return ring ? ring->capacity : 0;
}

void KZ_RTMB_Reset(KZ_RTMB_HANDLE ring) {
    if (!ring) return;
    std::lock_guard lock(ring->mutex);
    ring->head = 0;
    ring->size = 0;
}

} // namespace KZAPI
