// KZSoundRing: the ring buffer of 16-bit samples between a sound device's own clock and the user
// of the device. Both sides may be on different threads; neither ever waits for the other for
// longer than a copy.
#pragma once

#include "host/KZRingBuffer.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace KZAPI {

class KZSoundRing {
public:
    explicit KZSoundRing(int samples) : m_ring(KZ_RTMB_Create(samples * 2)) {}
    ~KZSoundRing() { KZ_RTMB_Destroy(m_ring); }
    KZSoundRing(const KZSoundRing&) = delete;
    KZSoundRing& operator=(const KZSoundRing&) = delete;

    int Put(const int16_t* samples, int count) { return KZ_RTMB_PutData(m_ring, samples, count * 2) / 2; }
    int Get(int16_t* samples, int count) { return KZ_RTMB_GetData(m_ring, samples, count * 2) / 2; }
    int Size() const { return KZ_RTMB_GetDataSize(m_ring) / 2; }
    void Reset() { KZ_RTMB_Reset(m_ring); }
    // Drops the oldest samples until at most `keep` remain.
    void Trim(int keep) {
        int16_t scratch[256];
        for (int excess = Size() - keep; excess > 0;) {
            const int taken = Get(scratch, excess < 256 ? excess : 256);
            if (taken <= 0) break;
            excess -= taken;
        }
    }

private:
    KZ_RTMB_HANDLE m_ring;
};

// Playback bookkeeping shared by every kind of device: a frame the device wanted while the ring
// was short counts as an underrun, but only once real audio has been queued (the silence before
// the first frame is expected).
class KZUnderrunCounter {
public:
    void Arm() { m_armed.store(true); }
    void Disarm() { m_armed.store(false); }
    void Missed() {
        if (m_armed.load()) m_count.fetch_add(1);
    }
    void Clear() { m_count.store(0); }
    uint64_t Count() const { return m_count.load(); }

private:
    std::atomic<bool> m_armed{false};
    std::atomic<uint64_t> m_count{0};
};

} // namespace KZAPI
