// The one clock the stack reads: wall-clock seconds for signalling timers and a monotonic
// millisecond tick. Tests replace it to run timer schedules in milliseconds of real time.
#pragma once

#include <atomic>
#include <cstdint>

namespace KZAPI {

class CKZClock {
public:
    virtual ~CKZClock() = default;
    virtual int64_t NowSeconds() const = 0;
    virtual uint64_t TickMs() const = 0;

    // The process-wide clock backed by time() and CLOCK_MONOTONIC.
    static CKZClock& System();
};

// A clock that moves only when told to, in seconds or milliseconds.
class CKZManualClock : public CKZClock {
public:
    explicit CKZManualClock(int64_t seconds = 1000000) : m_ms(seconds * 1000) {}
    int64_t NowSeconds() const override { return m_ms.load() / 1000; }
    uint64_t TickMs() const override { return static_cast<uint64_t>(m_ms.load()); }
    void Set(int64_t seconds) { m_ms.store(seconds * 1000); }
    void Advance(int64_t seconds) { m_ms.fetch_add(seconds * 1000); }
    void AdvanceMs(int64_t ms) { m_ms.fetch_add(ms); }

private:
    std::atomic<int64_t> m_ms;
};

} // namespace KZAPI
