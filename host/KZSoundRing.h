// KZSoundRing: the ring buffer of 16-bit samples between a sound device's own clock and the user
// of the device. Both sides may be on different threads; neither ever waits for the other for
// longer than a copy.
#pragma once

#include "host/KZRingBuffer.h"
#include "host/KZSoundDevice.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// The ring-backed half every playback device shares: queued samples wait in the ring for the
// device's clock, which takes a frame at a time and counts the frames it found short.
class KZRingPlayback : public KZSoundPlayback {
public:
    KZRingPlayback(std::string name, int frame_samples, int ring_samples)
        : m_name(std::move(name)), m_frame(frame_samples), m_ring(ring_samples) {}

    int Write(const int16_t* samples, int count) override {
        m_underruns.Arm();
        return m_ring.Put(samples, count);
    }
    int Queued() const override { return m_ring.Size(); }
    void Trim(int keep) override { m_ring.Trim(keep); }
    uint64_t Underruns() const override { return m_underruns.Count(); }
    const std::string& Name() const override { return m_name; }

protected:
    // Empties the ring but for `frames` frames of silence, and starts counting underruns afresh.
    void Prime(int frames) {
        m_ring.Reset();
        const std::vector<int16_t> silence(static_cast<size_t>(m_frame), 0);
        for (int i = 0; i < frames; ++i)
            m_ring.Put(silence.data(), m_frame);
        m_underruns.Disarm();
        m_underruns.Clear();
    }

    const std::string m_name;
    const int m_frame;
    KZSoundRing m_ring;
    KZUnderrunCounter m_underruns;
};

// The ring-backed half every capture device shares: the device's clock puts, the user takes.
class KZRingCapture : public KZSoundCapture {
public:
    KZRingCapture(std::string name, int ring_samples) : m_name(std::move(name)), m_ring(ring_samples) {}

    int Read(int16_t* samples, int count) override { return m_ring.Get(samples, count); }
    int Available() const override { return m_ring.Size(); }
    const std::string& Name() const override { return m_name; }

protected:
    const std::string m_name;
    KZSoundRing m_ring;
};

} // namespace KZAPI
