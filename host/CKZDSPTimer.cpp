#include "host/CKZDSPTimer.h"

#include "host/CKZDSP.h"
#include "host/CKZLogInterface.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <queue>
#include <sched.h>
#include <thread>
#include <unordered_map>
#include <vector>

namespace KZAPI {

namespace {

constexpr int kMaxThreads = 4;
constexpr int kRealtimePriority = 10;
constexpr uint64_t kMaxBehindPeriods = 5;
// Beyond this a sleeping thread waits on its condition (so that an earlier new schedule wakes
// it); the last stretch is an absolute clock_nanosleep.
constexpr uint64_t kPreciseSleepUs = 2000;
constexpr uint64_t kManualPollUs = 1000;

uint64_t MonotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void SleepUntilUs(uint64_t deadline_us) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadline_us / 1000000u);
    ts.tv_nsec = static_cast<long>(deadline_us % 1000000u) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void RaiseToRealtime() {
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    static std::atomic<bool> logged{false};
    if (rc != 0 && !logged.exchange(true))
        CKZLogInterface::Log(
            CKZLogInterface::LOG_TRACE,
            "CKZDSPTimer: real-time priority not granted (%d), DSP timer threads run at normal priority", rc);
}

// Lateness in microseconds, log-linear: exact below 1024 us, then 64 steps per power of two.
class LatenessHistogram {
public:
    void Add(uint64_t us) {
        m_counts[Bucket(us)].fetch_add(1, std::memory_order_relaxed);
        m_ticks.fetch_add(1, std::memory_order_relaxed);
        uint64_t seen = m_max.load(std::memory_order_relaxed);
        while (us > seen && !m_max.compare_exchange_weak(seen, us, std::memory_order_relaxed)) {
        }
    }
    void Reset() {
        for (auto& c : m_counts)
            c.store(0, std::memory_order_relaxed);
        m_ticks.store(0);
        m_max.store(0);
    }
    CKZDSPTimer::Lateness Summary() const {
        CKZDSPTimer::Lateness out;
        out.ticks = m_ticks.load();
        if (out.ticks == 0) return out;
        out.p50_ms = Percentile(out.ticks, 0.50) / 1000.0;
        out.p99_ms = Percentile(out.ticks, 0.99) / 1000.0;
        out.max_ms = static_cast<double>(m_max.load()) / 1000.0;
        return out;
    }

private:
    static constexpr int kLinear = 1024;
    static constexpr int kSubBits = 6;
    static constexpr int kBuckets = kLinear + (64 - 10) * (1 << kSubBits);

    static int Bucket(uint64_t us) {
        if (us < kLinear) return static_cast<int>(us);
        const int exponent = 63 - __builtin_clzll(us); // >= 10
        const auto sub = static_cast<int>((us >> (exponent - kSubBits)) & ((1 << kSubBits) - 1));
        return kLinear + (exponent - 10) * (1 << kSubBits) + sub;
    }
    static uint64_t BucketFloor(int bucket) {
        if (bucket < kLinear) return static_cast<uint64_t>(bucket);
        const int exponent = (bucket - kLinear) / (1 << kSubBits) + 10;
        const auto sub = static_cast<uint64_t>((bucket - kLinear) % (1 << kSubBits));
        return (uint64_t{1} << exponent) + (sub << (exponent - kSubBits));
    }
    double Percentile(uint64_t total, double q) const {
        const auto rank = static_cast<uint64_t>(q * static_cast<double>(total - 1)) + 1;
        uint64_t seen = 0;
        for (int b = 0; b < kBuckets; ++b) {
            seen += m_counts[b].load(std::memory_order_relaxed);
            if (seen >= rank) return static_cast<double>(BucketFloor(b));
        }
        return static_cast<double>(m_max.load());
    }

    std::array<std::atomic<uint64_t>, kBuckets> m_counts{};
    std::atomic<uint64_t> m_ticks{0};
    std::atomic<uint64_t> m_max{0};
};

struct Entry {
    uint64_t deadline_us;
    CKZDSP* dsp;
    uint64_t generation;
    bool operator>(const Entry& other) const { return deadline_us > other.deadline_us; }
};

struct Record {
    uint64_t period_us;
    uint64_t generation;
};

// One thread's share of the DSPs: a min-heap of deadlines with stale entries skipped by
// generation (a reschedule or cancel never searches the heap).
struct Shard {
    std::mutex mutex;
    std::condition_variable wake;     // an earlier deadline or stop
    std::condition_variable finished; // the running tick ended
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap;
    std::unordered_map<CKZDSP*, Record> records;
    uint64_t next_generation = 1;
    CKZDSP* running = nullptr;
    std::thread::id runner;
    bool stop = false;
    std::thread thread;
};

} // namespace

struct CKZDSPTimer::Impl {
    Impl(int threads, const CKZClock* c) : clock(c), shards(static_cast<size_t>(std::max(threads, 1))) {}

    const CKZClock* clock; // null: the monotonic clock in microseconds
    std::vector<Shard> shards;
    std::mutex assign_mutex;
    std::unordered_map<CKZDSP*, size_t> assigned;
    size_t next_shard = 0;
    LatenessHistogram lateness;

    uint64_t NowUs() const { return clock ? clock->TickMs() * 1000u : MonotonicUs(); }

    // Forgets which shard a DSP lives on once it is neither scheduled nor running there. Lock
    // order: assign_mutex, then a shard's mutex.
    void Unassign(CKZDSP* dsp, size_t index) {
        const Shard& shard = shards[index];
        if (shard.records.count(dsp) || shard.running == dsp) return;
        auto it = assigned.find(dsp);
        if (it != assigned.end() && it->second == index) assigned.erase(it);
    }

    // Runs one due tick of the shard, if any; the lock is held on entry and on return.
    bool RunOneDue(Shard& shard, std::unique_lock<std::mutex>& lock, uint64_t now) {
        while (!shard.heap.empty() && shard.heap.top().deadline_us <= now) {
            const Entry entry = shard.heap.top();
            shard.heap.pop();
            auto it = shard.records.find(entry.dsp);
            if (it == shard.records.end() || it->second.generation != entry.generation) continue;
            shard.running = entry.dsp;
            shard.runner = std::this_thread::get_id();
            lock.unlock();
            const uint64_t started = NowUs();
            lateness.Add(started > entry.deadline_us ? started - entry.deadline_us : 0);
            entry.dsp->Tick();
            lock.lock();
            shard.running = nullptr;
            shard.finished.notify_all();
            if (!shard.records.count(entry.dsp)) {
                // Stopped from its own tick: it may leave this shard now.
                lock.unlock();
                std::lock_guard assign(assign_mutex);
                lock.lock();
                Unassign(entry.dsp, static_cast<size_t>(&shard - shards.data()));
                return true;
            }
            Reschedule(shard, entry, NowUs());
            return true;
        }
        return false;
    }

    // Next deadline on the fixed grid; a DSP far behind skips ahead instead of bursting.
    static void Reschedule(Shard& shard, const Entry& done, uint64_t now) {
        auto it = shard.records.find(done.dsp);
        if (it == shard.records.end() || it->second.generation != done.generation) return;
        const uint64_t period = it->second.period_us;
        uint64_t next = done.deadline_us + period;
        if (now > next + kMaxBehindPeriods * period) next = now + period;
        shard.heap.push({next, done.dsp, done.generation});
    }

    void ThreadLoop(Shard& shard) {
        pthread_setname_np(pthread_self(), "kz-dsp");
        RaiseToRealtime();
        std::unique_lock lock(shard.mutex);
        while (!shard.stop) {
            const uint64_t now = NowUs();
            if (RunOneDue(shard, lock, now)) continue;
            if (shard.heap.empty()) {
                shard.wake.wait(lock);
                continue;
            }
            const uint64_t deadline = shard.heap.top().deadline_us;
            if (clock) {
                shard.wake.wait_for(lock, std::chrono::microseconds(kManualPollUs));
            } else if (deadline - now > kPreciseSleepUs) {
                const std::chrono::steady_clock::time_point until{
                    std::chrono::microseconds(deadline - kPreciseSleepUs / 2)};
                shard.wake.wait_until(lock, until);
            } else {
                lock.unlock();
                SleepUntilUs(deadline);
                lock.lock();
            }
        }
    }
};

CKZDSPTimer::CKZDSPTimer(int threads, const CKZClock* clock) {
    if (threads < 0)
        threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, kMaxThreads);
    m_impl = std::make_unique<Impl>(threads, clock);
    if (threads == 0) return;
    for (Shard& shard : m_impl->shards)
        shard.thread = std::thread([this, &shard] { m_impl->ThreadLoop(shard); });
}

CKZDSPTimer::~CKZDSPTimer() {
    for (Shard& shard : m_impl->shards) {
        {
            std::lock_guard lock(shard.mutex);
            shard.stop = true;
        }
        shard.wake.notify_all();
        if (shard.thread.joinable()) shard.thread.join();
    }
}

CKZDSPTimer& CKZDSPTimer::Instance() {
    static CKZDSPTimer timer;
    return timer;
}

// A DSP stays on one shard while it is scheduled or ticking, so that a restart from its own tick
// can never run it on two threads at once.
void CKZDSPTimer::Schedule(CKZDSP* dsp, unsigned period_ms) {
    if (!dsp || period_ms == 0) return;
    std::lock_guard assign(m_impl->assign_mutex);
    auto it = m_impl->assigned.find(dsp);
    if (it == m_impl->assigned.end())
        it = m_impl->assigned.emplace(dsp, m_impl->next_shard++ % m_impl->shards.size()).first;
    Shard& shard = m_impl->shards[it->second];
    std::lock_guard lock(shard.mutex);
    const uint64_t period = uint64_t{period_ms} * 1000u;
    const uint64_t generation = shard.next_generation++;
    shard.records[dsp] = {period, generation};
    const uint64_t deadline = m_impl->NowUs() + period;
    const bool earliest = shard.heap.empty() || deadline < shard.heap.top().deadline_us;
    shard.heap.push({deadline, dsp, generation});
    if (earliest) shard.wake.notify_one();
}

void CKZDSPTimer::Cancel(CKZDSP* dsp) {
    if (!dsp) return;
    std::unique_lock assign(m_impl->assign_mutex);
    auto it = m_impl->assigned.find(dsp);
    if (it == m_impl->assigned.end()) return;
    const size_t index = it->second;
    Shard& shard = m_impl->shards[index];
    std::unique_lock lock(shard.mutex);
    shard.records.erase(dsp);
    // From the DSP's own tick: unscheduled, and the tick in progress is the caller.
    if (shard.running == dsp && shard.runner == std::this_thread::get_id()) return;
    m_impl->Unassign(dsp, index);
    assign.unlock();
    shard.finished.wait(lock, [&] { return shard.running != dsp; });
}

int CKZDSPTimer::GetScheduledCount() const {
    int count = 0;
    for (Shard& shard : m_impl->shards) {
        std::lock_guard lock(shard.mutex);
        count += static_cast<int>(shard.records.size());
    }
    return count;
}

int CKZDSPTimer::RunDue() {
    const uint64_t now = m_impl->NowUs();
    int ran = 0;
    for (Shard& shard : m_impl->shards) {
        std::unique_lock lock(shard.mutex);
        while (m_impl->RunOneDue(shard, lock, now))
            ++ran;
    }
    return ran;
}

CKZDSPTimer::Lateness CKZDSPTimer::GetLateness() const {
    return m_impl->lateness.Summary();
}

void CKZDSPTimer::ResetLateness() {
    m_impl->lateness.Reset();
}

} // namespace KZAPI
