// How fast the stack gets rid of input it cannot use: random bytes, truncated requests and
// requests without a Call-ID.
//
// 1. Polled: the blocks are queued, followed by one valid OPTIONS, and a polled queue is driven
//    the way the server loop drives it (poll again at once while there is work, sleep 2 ms when
//    the queue says it is empty). Figure: garbage blocks per second until the OPTIONS comes out.
// 2. Threaded over UDP (not with --polled-only): a sender thread sends random datagrams on
//    127.0.0.1 at full rate to a stack with a threaded queue. Figure: datagrams per second
//    discarded, and the largest received-queue size seen.
//
//   ./build/bench/garbage_drain [blocks=100000] [--polled-only]
#include "include/kzsipapi.h"
#include "sipstack/sip_group.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kServerLoopSleepMs = 2;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The three kinds of garbage, in turn.
std::string garbage(long i, std::mt19937& rng, uint16_t port) {
    switch (i % 3) {
    case 0: {
        std::string bytes(40 + rng() % 400, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng());
        return bytes;
    }
    case 1: {
        std::string full = kztest::sip_request("OPTIONS", 5999, port);
        return full.substr(0, 20 + rng() % (full.size() / 2));
    }
    default: {
        std::string full = kztest::sip_request("OPTIONS", 5999, port, "", "g" + std::to_string(i));
        const size_t at = full.find("Call-ID:");
        return full.erase(at, full.find("\r\n", at) + 2 - at);
    }
    }
}

void queue_block(sip_group* stack, const std::string& text) {
    sip_cmd cmd;
    cmd.from_ip = 0x0100007F;
    cmd.from_port = 5999;
    cmd.assign(text.data(), text.size());
    stack->PushReceived(std::move(cmd));
}

double polled_drain(long blocks) {
    void* stack = nullptr;
    KZ_SIP_Open(&stack);
    static_cast<sip_group*>(stack)->m_settings.received_queue_max_bytes = 1ull << 32;
    void* queue = nullptr;
    KZ_QUEUE_Create(KZ_QUEUE_POLLED, &queue);
    KZ_QUEUE_Attach(queue, stack, nullptr);
    std::mt19937 rng(7);
    for (long i = 0; i < blocks; ++i)
        queue_block(static_cast<sip_group*>(stack), garbage(i, rng, 5060));
    queue_block(static_cast<sip_group*>(stack), kztest::sip_request("OPTIONS", 5999, 5060));

    const auto start = Clock::now();
    KZSIPEvent e{};
    bool done = false;
    while (!done && seconds_since(start) < 120) {
        const uint32_t r = KZ_QUEUE_WaitOnEvent(queue, 0, &e);
        if (r == 0)
            done = e.event_type == KZ_EVENT_SIP_MESSAGE_REQUEST;
        else if (r != KZ_QUEUE_MORE_WAITING)
            std::this_thread::sleep_for(std::chrono::milliseconds(kServerLoopSleepMs));
    }
    const double rate = done ? blocks / seconds_since(start) : 0;
    KZ_QUEUE_Detach(queue, stack);
    KZ_QUEUE_Destroy(queue);
    KZ_SIP_Close(stack);
    return rate;
}

uint64_t discarded(const KZ_SIPStackStats& s) {
    return s.parse_failures + s.rejected + s.dropped_queue_full;
}

void threaded_udp(long datagrams) {
    const uint16_t port = kztest::free_port_pair();
    void* stack = nullptr;
    KZ_SIP_Open(&stack);
    KZ_SIPProtocolConfig cfg{};
    strcpy(cfg.local_address, "127.0.0.1");
    cfg.sip_port = port;
    cfg.transport_mask = KZ_SIP_TRANSPORT_UDP;
    KZ_SIP_SetConfig(stack, &cfg);
    void* queue = nullptr;
    KZ_QUEUE_Create(KZ_QUEUE_THREADED, &queue);
    KZ_QUEUE_Attach(queue, stack, nullptr);
    KZ_SIP_Start(stack);

    std::atomic<bool> sending{true};
    std::atomic<uint64_t> peak{0};
    std::thread watcher([&] {
        KZ_SIPStackStats s{};
        while (sending.load()) {
            KZ_SIP_GetStats(stack, &s);
            if (s.queued_bytes > peak.load()) peak = s.queued_bytes;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto start = Clock::now();
    {
        kztest::UdpPeer sender;
        std::mt19937 rng(11);
        for (long i = 0; i < datagrams; ++i)
            sender.send_to(port, garbage(i, rng, port));
    }
    const double send_seconds = seconds_since(start);
    KZ_SIPStackStats s{};
    for (uint64_t last = ~0ull; seconds_since(start) < 60;) {
        KZ_SIP_GetStats(stack, &s);
        if (s.queued_bytes == 0 && discarded(s) + s.messages_delivered == last) break;
        last = discarded(s) + s.messages_delivered;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double drain_seconds = seconds_since(start) - 0.05; // the last quiet check
    sending = false;
    watcher.join();
    KZ_SIP_Stop(stack);
    KZ_QUEUE_Detach(queue, stack);
    KZ_QUEUE_Destroy(queue);
    KZ_SIP_Close(stack);
    auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    printf("threaded over UDP: %ld sent in %.2f s (%.0f/s); received %llu, delivered %llu (external %llu), "
           "discarded %llu "
           "(unparsable %llu, rejected %llu, dropped %llu)\n",
           datagrams, send_seconds, datagrams / send_seconds, n(s.blocks_received), n(s.messages_delivered),
           n(s.external_messages), n(discarded(s)), n(s.parse_failures), n(s.rejected),
           n(s.dropped_queue_full));
    printf("threaded over UDP: all handled in %.2f s: %.0f datagrams/s; queue peak %llu bytes (limit %llu)\n",
           drain_seconds, (discarded(s) + s.messages_delivered) / drain_seconds, n(peak.load()),
           n(s.queued_bytes_limit));
}

} // namespace

int main(int argc, char** argv) {
    const long blocks = argc > 1 ? atol(argv[1]) : 100000;
    const bool polled_only = argc > 2 && strcmp(argv[2], "--polled-only") == 0;
    const double rate = polled_drain(blocks);
    printf("polled, as the server loop polls: %ld garbage blocks drained at %.0f blocks/s\n", blocks, rate);
    if (!polled_only) threaded_udp(blocks);
    return rate > 0 ? 0 : 1;
}
