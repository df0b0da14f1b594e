// How quickly legitimate requests are answered while a garbage flood arrives over UDP: a sender
// thread sends random datagrams and truncated requests at full rate on 127.0.0.1 while OPTIONS
// probes go over UDP, TCP and TLS in turn, each answered 200 by the queue's handler. Run once with
// a threaded and once with a polled queue (driven the way the server loop drives it).
// Figures: probes during the flood and within 1 s after it, their p99 round trip, UDP re-sends,
// and the received queue's peak against its limit.
//
//   ./build/bench/flood_latency [datagrams of each kind=100000]
#include "include/kzsipapi.h"
#include "sipstack/sip_group.h"
#include "support/loopback_stack.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/stream_client.h"
#include "support/test_certificate.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void* g_stack = nullptr;

void answer_200(KZSIPEvent* e) {
    if (e->event_type != KZ_EVENT_SIP_MESSAGE_REQUEST) return;
    KZ_SIP_SendMessage(g_stack, kztest::app_response().get(), nullptr, 0,
                       reinterpret_cast<void*>(static_cast<uintptr_t>(e->connection_id)));
}

// Poll again at once while the stack says there is work, otherwise sleep 2 ms.
class ServerStylePoller {
public:
    explicit ServerStylePoller(void* queue) : m_queue(queue), m_thread([this] { Run(); }) {}
    ~ServerStylePoller() {
        m_running = false;
        m_thread.join();
    }

private:
    void Run() {
        KZSIPEvent e{};
        while (m_running.load()) {
            const uint32_t r = KZ_QUEUE_WaitOnEvent(m_queue, 0, &e);
            if (r != 0 && r != KZ_QUEUE_MORE_WAITING) std::this_thread::sleep_for(milliseconds(2));
        }
    }
    void* m_queue;
    std::atomic<bool> m_running{true};
    std::thread m_thread;
};

std::string random_bytes(std::mt19937& rng) {
    std::string bytes(40 + rng() % 400, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}

std::string truncated_request(std::mt19937& rng, uint16_t to_port) {
    const std::string full = kztest::sip_request("OPTIONS", 5999, to_port);
    const size_t first_line = full.find("\r\n") + 2;
    return full.substr(0, first_line + rng() % (full.find("Call-ID") - first_line));
}

double p99_ms(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * 99 / 100)];
}

// One probe round trip over UDP (re-sent like a client would, RFC 3261 T1), TCP or TLS in turn.
bool probe(int n, uint16_t port, kztest::UdpPeer& udp, const kztest::StreamClient& tcp,
           const kztest::StreamClient& tls, int* udp_resends) {
    const std::string call_id = "probe-" + std::to_string(n);
    if (n % 3 != 0) {
        const kztest::StreamClient& stream = n % 3 == 1 ? tcp : tls;
        return stream.Exchange(kztest::sip_request("OPTIONS", stream.port(), port, "", call_id)) ==
               "SIP/2.0 200 OK";
    }
    const std::string text = kztest::sip_request("OPTIONS", udp.port(), port, "", call_id);
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt) ++*udp_resends;
        udp.send_to(port, text);
        if (kztest::status_line(udp.receive(500)) == "SIP/2.0 200 OK") return true;
    }
    return false;
}

void run(const char* name, KZQueueType type, long each_kind) {
    const uint16_t port = kztest::free_port_pair();
    KZ_SIP_Open(&g_stack);
    kztest::on_loopback(*static_cast<sip_group*>(g_stack), port,
                        KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TCP | KZ_SIP_TRANSPORT_TLS);
    void* queue = nullptr;
    KZ_QUEUE_Create(type, &queue);
    KZ_QUEUE_Attach(queue, g_stack, nullptr);
    KZ_QUEUE_SetEventHandler(queue, answer_200);
    std::unique_ptr<ServerStylePoller> poller;
    if (type == KZ_QUEUE_POLLED) poller = std::make_unique<ServerStylePoller>(queue);
    KZ_SIP_Start(g_stack);

    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        kztest::UdpPeer sender;
        std::mt19937 rng(5);
        for (long i = 0; i < each_kind; ++i)
            sender.send_to(port, random_bytes(rng));
        for (long i = 0; i < each_kind; ++i)
            sender.send_to(port, truncated_request(rng, port));
        flooding = false;
    });
    kztest::UdpPeer udp;
    kztest::StreamClient tcp(port), tls(static_cast<uint16_t>(port + 1), true);
    std::vector<double> during, after;
    int unanswered = 0, udp_resends = 0;
    uint64_t peak = 0;
    Clock::time_point flood_end{};
    for (int n = 0;; ++n) {
        const bool in_flood = flooding.load();
        if (!in_flood && flood_end == Clock::time_point{}) flood_end = Clock::now();
        if (!in_flood && Clock::now() - flood_end > milliseconds(1000)) break;
        KZ_SIPStackStats s{};
        KZ_SIP_GetStats(g_stack, &s);
        peak = std::max(peak, s.queued_bytes);
        const auto start = Clock::now();
        unanswered += !probe(n, port, udp, tcp, tls, &udp_resends);
        (in_flood ? during : after)
            .push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        std::this_thread::sleep_for(milliseconds(5));
    }
    flood.join();
    KZ_SIPStackStats s{};
    KZ_SIP_GetStats(g_stack, &s);
    KZ_SIP_Stop(g_stack);
    poller.reset();
    KZ_QUEUE_Detach(queue, g_stack);
    KZ_QUEUE_Destroy(queue);
    KZ_SIP_Close(g_stack);
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
