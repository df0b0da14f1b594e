// CKZDSPTimer: the host's DSP timer service. A few threads (one per core by default) tick every
// running DSP at its own period, on an absolute schedule so that frames neither drift nor bunch:
// a tick that comes late is run at once and the next one keeps the original grid; one that is
// more than a few periods behind skips ahead instead of bursting.
//
// Tests drive it by hand: a service built with a manual clock and zero threads runs due ticks
// only when RunDue is called.
#pragma once

#include "host/CKZClock.h"

#include <cstdint>
#include <memory>

namespace KZAPI {

class CKZDSP;

class CKZDSPTimer {
public:
    // threads: 0 = run only through RunDue; -1 = one per core (at most 4).
    explicit CKZDSPTimer(int threads = -1, const CKZClock* clock = nullptr);
    ~CKZDSPTimer();
    CKZDSPTimer(const CKZDSPTimer&) = delete;
    CKZDSPTimer& operator=(const CKZDSPTimer&) = delete;

    // The process-wide service (threads started on first use).
    static CKZDSPTimer& Instance();

    // Schedules dsp every period_ms from now (replacing an earlier schedule).
    void Schedule(CKZDSP* dsp, unsigned period_ms);
    // Once this returns the DSP is not being ticked and will not be again (called from the
    // DSP's own tick it returns at once).
    void Cancel(CKZDSP* dsp);
    int GetScheduledCount() const;

    // Runs every tick due by the clock's now; returns how many ran.
    int RunDue();

    // Lateness of ticks (ms behind their schedule), for the benchmarks.
    struct Lateness {
        uint64_t ticks = 0;
        double p50_ms = 0;
        double p99_ms = 0;
        double max_ms = 0;
    };
    Lateness GetLateness() const;
    void ResetLateness();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace KZAPI
