// How quickly legitimate requests are answered while a garbage flood arrives over UDP: a sender
// thread sends random datagrams and truncated requests at full rate on 127.0.0.1 while OPTIONS
// probes go over UDP, TCP and TLS in turn, each answered 200 by the queue's handler. Run once with
// a threaded and once with a polled queue (driven the way the server loop drives it).
// Figures: probes during the flood and within 1 s after it, their p99 round trip, UDP re-sends,
// and the received queue's peak against its limit.
//
//   ./build/bench/flood_latency [datagrams of each kind=100000]
#include "support/garbage_flood.h"
#include "support/test_certificate.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double p99_ms(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * 99 / 100)];
}

void run(const char* name, KZQueueType type, long each_kind) {
    kztest::AnsweringStack stack(type);
    std::atomic<bool> flooding{true};
    std::thread flood([&] { stack.Flood(each_kind, flooding); });
    kztest::UdpPeer udp;
    kztest::StreamClient tcp(stack.port()), tls(static_cast<uint16_t>(stack.port() + 1), true);
    std::vector<double> during, after;
    int unanswered = 0, udp_resends = 0;
    uint64_t peak = 0;
    Clock::time_point flood_end{};
    for (int n = 0;; ++n) {
        const bool in_flood = flooding.load();
        if (!in_flood && flood_end == Clock::time_point{}) flood_end = Clock::now();
        if (!in_flood && Clock::now() - flood_end > milliseconds(1000)) break;
        peak = std::max(peak, stack.stats().queued_bytes);
        const auto start = Clock::now();
        unanswered += !stack.Probe(n, udp, tcp, tls, &udp_resends);
        (in_flood ? during : after)
            .push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        std::this_thread::sleep_for(milliseconds(5));
    }
    flood.join();
    const KZ_SIPStackStats s = stack.stats();
    printf(
        "[%s] probes during the flood: %zu, p99 %.1f ms; within 1 s after: %zu, p99 %.1f ms; unanswered %d; "
        "UDP re-sends %d; queue peak %llu of %llu bytes\n",
        name, during.size(), p99_ms(during), after.size(), p99_ms(after), unanswered, udp_resends,
        static_cast<unsigned long long>(peak), static_cast<unsigned long long>(s.queued_bytes_limit));
}

} // namespace

int main(int argc, char** argv) {
    const long each_kind = argc > 1 ? atol(argv[1]) : 100000;
    if (!kztest::TestCertificate::Shared().ok()) {
        fprintf(stderr, "no test certificate\n");
        return 1;
    }
    run("threaded", KZ_QUEUE_THREADED, each_kind);
    run("polled", KZ_QUEUE_POLLED, each_kind);
    return 0;
}
