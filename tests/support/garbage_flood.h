// A stack on loopback (UDP, TCP and TLS on one port pair) answering every request 200, a garbage
// flood aimed at it over UDP, and OPTIONS probes that must get through meanwhile. Shared by the
// hostile-input test (outcomes) and the flood latency benchmark (round trips).
#pragma once

#include "include/kzsipapi.h"
#include "sipstack/sip_group.h"
#include "support/loopback_stack.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/stream_client.h"

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace kztest {

inline std::string random_bytes(std::mt19937& rng) {
    std::string bytes(40 + rng() % 400, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}

// A request cut somewhere after its request line and before its Call-ID.
inline std::string truncated_request(std::mt19937& rng, uint16_t to_port) {
    const std::string full = sip_request("OPTIONS", 5999, to_port);
    const size_t first_line = full.find("\r\n") + 2;
    return full.substr(0, first_line + rng() % (full.find("Call-ID") - first_line));
}

inline KZ_SIPStackStats stats_of(void* stack) {
    KZ_SIPStackStats s{};
    KZ_SIP_GetStats(stack, &s);
    return s;
}

class AnsweringStack {
public:
    // A polled queue is polled the way the server loop does: again at once while the stack says
    // there is work, otherwise after 2 ms; events go to the handler inside the poll.
    explicit AnsweringStack(KZQueueType type) : m_port(free_port_pair()) {
        KZ_SIP_Open(&s_stack);
        on_loopback(*static_cast<sip_group*>(s_stack), m_port,
                    KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TCP | KZ_SIP_TRANSPORT_TLS);
        KZ_QUEUE_Create(type, &m_queue);
        KZ_QUEUE_Attach(m_queue, s_stack, nullptr);
        KZ_QUEUE_SetEventHandler(m_queue, Answer200);
        if (type == KZ_QUEUE_POLLED) m_poller = std::thread([this] { Poll(); });
        KZ_SIP_Start(s_stack);
    }
    ~AnsweringStack() {
        KZ_SIP_Stop(s_stack);
        m_polling = false;
        if (m_poller.joinable()) m_poller.join();
        KZ_QUEUE_Detach(m_queue, s_stack);
        KZ_QUEUE_Destroy(m_queue);
        KZ_SIP_Close(s_stack);
        s_stack = nullptr;
    }
    AnsweringStack(const AnsweringStack&) = delete;
    AnsweringStack& operator=(const AnsweringStack&) = delete;

    uint16_t port() const { return m_port; }
    KZ_SIPStackStats stats() const { return stats_of(s_stack); }

    // Sends EACH_KIND random datagrams, then as many truncated requests, as fast as it can.
    void Flood(long each_kind, std::atomic<bool>& flooding) const {
        UdpPeer sender;
        std::mt19937 rng(5);
        for (long i = 0; i < each_kind; ++i)
            sender.send_to(m_port, random_bytes(rng));
        for (long i = 0; i < each_kind; ++i)
            sender.send_to(m_port, truncated_request(rng, m_port));
        flooding = false;
    }

    // Probe N goes over UDP, TCP or TLS in turn; over UDP it is re-sent like a client would (the
    // flood may fill the socket buffer), counted in UDP_RESENDS.
    bool Probe(int n, UdpPeer& udp, const StreamClient& tcp, const StreamClient& tls,
               int* udp_resends) const {
        const std::string call_id = "probe-" + std::to_string(n);
        if (n % 3 != 0) {
            const StreamClient& stream = n % 3 == 1 ? tcp : tls;
            return stream.Exchange(sip_request("OPTIONS", stream.port(), m_port, "", call_id)) ==
                   "SIP/2.0 200 OK";
        }
        const std::string text = sip_request("OPTIONS", udp.port(), m_port, "", call_id);
        for (int attempt = 0; attempt < 4; ++attempt) {
            if (attempt) ++*udp_resends;
            udp.send_to(m_port, text);
            if (status_line(udp.receive(500)) == "SIP/2.0 200 OK") return true;
        }
        return false;
    }

private:
    static void Answer200(KZSIPEvent* e) {
        if (e->event_type != KZ_EVENT_SIP_MESSAGE_REQUEST) return;
        KZ_SIP_SendMessage(s_stack, app_response().get(), nullptr, 0,
                           reinterpret_cast<void*>(static_cast<uintptr_t>(e->connection_id)));
    }
    void Poll() {
        for (KZSIPEvent e{}; m_polling.load();) {
            const uint32_t r = KZ_QUEUE_WaitOnEvent(m_queue, 0, &e);
            if (r != KZ_SIP_RESULT_OK && r != KZ_QUEUE_MORE_WAITING)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // The queue's handler has no context argument, so one such stack exists at a time.
    static inline void* s_stack = nullptr;
    uint16_t m_port;
    void* m_queue = nullptr;
    std::atomic<bool> m_polling{true};
    std::thread m_poller;
};

} // namespace kztest
