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

// A clock that moves only when told to.
class CKZManualClock : public CKZClock {
public:
    explicit CKZManualClock(int64_t seconds = 1000000) : m_seconds(seconds) {}
    int64_t NowSeconds() const override { return m_seconds.load(); }
    uint64_t TickMs() const override { return static_cast<uint64_t>(m_seconds.load()) * 1000u; }
    void Set(int64_t seconds) { m_seconds.store(seconds); }
    void Advance(int64_t seconds) { m_seconds.fetch_add(seconds); }

private:
    std::atomic<int64_t> m_seconds;
};

} // namespace KZAPI
