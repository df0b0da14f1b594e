// Media-path costs: one frame through the jitter buffer (in order and reordered), one received
// frame through a full-duplex DSP pair, the timer's cost per tick as the number of DSPs grows
// (manual clock), and how late real timer threads tick a thousand 20 ms DSPs.
#include "host/CKZClock.h"
#include "host/CKZDSP.h"
#include "host/CKZDSPApp.h"
#include "host/CKZDSPTimer.h"
#include "host/KZJitterBuffer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace KZAPI;

namespace {

// One frame added and the tick's drain per iteration; range(0) = 1 swaps every other pair.
void BM_JitterBufferFrame(benchmark::State& state) {
    CKZManualClock clock;
    KZ_JB_HANDLE jb = KZ_JB_Create(&clock);
    KZ_JB_ResetAll(jb, 2, 25, 320, 20, 1);
    const bool reorder = state.range(0) != 0;
    uint8_t in[160] = {}, out[2048];
    uint16_t seq = 0;
    uint32_t ts = 0;
    uint64_t n = 0;
    for (auto _ : state) {
        const uint64_t sent = reorder ? (n ^ 1u) : n;
        KZ_JB_AddFrame(jb, static_cast<uint16_t>(sent), static_cast<uint32_t>(sent * 160), in, sizeof in);
        while (KZ_JB_GetFrame(jb, out, sizeof out, 0, &seq, &ts))
            benchmark::DoNotOptimize(out);
        clock.AdvanceMs(20);
        ++n;
    }
    KZ_JB_STATS stats;
    KZ_JB_GetStats(jb, &stats);
    state.counters["delivered_pct"] = 100.0 * static_cast<double>(stats.delivered) / static_cast<double>(n);
    state.counters["concealed"] = static_cast<double>(stats.concealed);
    KZ_JB_Destroy(jb);
}
BENCHMARK(BM_JitterBufferFrame)->Arg(0)->Arg(1);

class SinkApp : public CKZDSPApp {
public:
    void OnRxBufArrived(uint16_t, uint32_t, const uint8_t* d, int) override { benchmark::DoNotOptimize(d); }
    void OnTxBufArrived(uint16_t, uint32_t, const uint8_t* d, int) override { benchmark::DoNotOptimize(d); }
    void OnDSPTimer() override { ticks.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t> ticks{0};
};

void BM_DSPDeliverRxFullDuplex(benchmark::State& state) {
    CKZDSPTimer timer(0, &CKZClock::System());
    SinkApp a_app, b_app;
    CKZDSP a(KZ_AUDIO_FORMAT_LINEAR16, &timer), b(KZ_AUDIO_FORMAT_LINEAR16, &timer);
    a.AddApp(&a_app);
    b.AddApp(&b_app);
    CKZDSP::FullDuplexConnect(&a, &b);
    const uint8_t frame[320] = {};
    uint16_t seq = 0;
    for (auto _ : state)
        a_app.AddRxFrame(seq++, 0, frame, sizeof frame, 1);
}
BENCHMARK(BM_DSPDeliverRxFullDuplex);

// RunDue with range(0) DSPs due at once: the cost per tick must not grow with the count.
void BM_TimerTickCost(benchmark::State& state) {
    CKZManualClock clock;
    CKZDSPTimer timer(0, &clock);
    const auto count = static_cast<size_t>(state.range(0));
    std::vector<std::unique_ptr<CKZDSP>> dsps;
    for (size_t i = 0; i < count; ++i) {
        dsps.push_back(std::make_unique<CKZDSP>(KZ_AUDIO_FORMAT_LINEAR16, &timer));
        dsps.back()->StartTimer(20);
    }
    int64_t ticks = 0;
    for (auto _ : state) {
        clock.AdvanceMs(20);
        ticks += timer.RunDue();
    }
    state.SetItemsProcessed(ticks);
    for (auto& d : dsps)
        d->StopTimer();
}
BENCHMARK(BM_TimerTickCost)->Arg(10)->Arg(1000)->Arg(10000);

// Real threads, range(0) DSPs at 20 ms, started spread over a period, ticked for range(1) s.
void BM_TimerLateness(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        CKZDSPTimer timer(-1);
        std::vector<std::unique_ptr<SinkApp>> apps;
        std::vector<std::unique_ptr<CKZDSP>> dsps;
        for (size_t i = 0; i < count; ++i) {
            apps.push_back(std::make_unique<SinkApp>());
            dsps.push_back(std::make_unique<CKZDSP>(KZ_AUDIO_FORMAT_LINEAR16, &timer));
            dsps.back()->AddApp(apps.back().get());
            dsps.back()->StartTimer(20);
            if (i % (count / 20 + 1) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        timer.ResetLateness();
        std::this_thread::sleep_for(std::chrono::seconds(state.range(1)));
        const CKZDSPTimer::Lateness late = timer.GetLateness();
        for (auto& d : dsps)
            d->StopTimer();
        state.counters["ticks"] = static_cast<double>(late.ticks);
        state.counters["late_p50_ms"] = late.p50_ms;
        state.counters["late_p99_ms"] = late.p99_ms;
        state.counters["late_max_ms"] = late.max_ms;
    }
}
BENCHMARK(BM_TimerLateness)
    ->Args({1000, 5})
    ->Args({4000, 5})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
