// Soak test of the stack over UDP on loopback: 50 concurrent dialogs (INVITE, 200, ACK), each
// carrying in-dialog INFO requests answered with 200 by an application on the flat interface,
// then ended by BYE. Checks that every request arrives exactly once as an event, that the dialog
// table is empty afterwards and how much the resident memory grew.
//
//   ./build/bench/soak_sipstack [total_requests=100000] [dialogs=50]
#include "include/kzsipapi.h"
#include "sipstack/sip_group.h"
#include "support/sip_peer.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

void* g_stack = nullptr;
std::atomic<long> g_requests{0};
// Times each request was delivered, indexed by dialog and CSeq (ACK shares the INVITE's CSeq,
// so it has a slot of its own at index 0). Allocated and touched before the run so the memory
// figure measures the stack, not this bookkeeping.
std::vector<std::atomic<uint8_t>>* g_seen = nullptr;
long g_slots_per_dialog = 0;

long rss_kb() {
    FILE* f = fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void answer(KZSIPEvent* e) {
    if (e->event_type != KZ_EVENT_SIP_MESSAGE_REQUEST) return;
    void* raw = nullptr;
    KZ_SIP_GetMessage(g_stack, &raw, nullptr, nullptr, nullptr, nullptr, 0);
    sip_msg* req = static_cast<sip_msg*>(raw);
    const long dialog = atol(req->get_ie_value(KZ_IE_SIP_CALLID).c_str() + 5); // "soak-N"
    const long slot = req->is_ack() ? 0 : static_cast<long>(req->cseq());
    if (dialog >= 0 && slot < g_slots_per_dialog)
        ++(*g_seen)[static_cast<size_t>(dialog * g_slots_per_dialog + slot)];
    ++g_requests;
    if (!req->is_ack()) {
        sip_msg ok;
        ok.add_ie(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, 0, "SIP/2.0");
        ok.add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, "200");
        ok.add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "OK");
        KZ_SIP_SendMessage(g_stack, &ok, nullptr, 0,
                           reinterpret_cast<void*>(static_cast<uintptr_t>(e->connection_id)));
    }
    delete req;
}

std::string req(const std::string& method, const std::string& call_id, int cseq, uint16_t own_port,
                const std::string& to_tag) {
    return method + " sip:soak@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(own_port) +
           ";branch=z9hG4bK" + call_id + "-" + std::to_string(cseq) + method +
           ";rport\r\nFrom: <sip:client@127.0.0.1>;tag=c-" + call_id + "\r\nTo: <sip:soak@127.0.0.1>" +
           (to_tag.empty() ? "" : ";tag=" + to_tag) + "\r\nCall-ID: " + call_id +
           "\r\nCSeq: " + std::to_string(cseq) + " " + method +
           "\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
}

std::string to_tag_of(const std::string& response) {
    size_t to = response.find("\r\nTo: ");
    size_t tag = response.find(";tag=", to);
    size_t end = response.find("\r\n", to + 2);
    return tag == std::string::npos || tag > end ? "" : response.substr(tag + 5, end - tag - 5);
}

// Sends a request and waits for its 200, re-sending after a second of silence.
bool transact(kztest::UdpPeer& peer, uint16_t port, const std::string& text, std::string* response,
              long* resends) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        peer.send_to(port, text);
        *response = peer.receive(1000);
        if (response->rfind("SIP/2.0 200", 0) == 0) return true;
        ++*resends;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const long total = argc > 1 ? atol(argv[1]) : 100000;
    const int dialogs = argc > 2 ? atoi(argv[2]) : 50;
    const long per_dialog = total / dialogs - 3; // INVITE, ACK and BYE count as requests too

    g_slots_per_dialog = per_dialog + 3;
    std::vector<std::atomic<uint8_t>> seen(static_cast<size_t>(dialogs * g_slots_per_dialog));
    for (auto& c : seen)
        c = 0;
    g_seen = &seen;
    const uint16_t port = kztest::free_port_pair();
    KZ_SIP_Open(&g_stack);
    KZ_SIPProtocolConfig cfg{};
    strcpy(cfg.local_address, "127.0.0.1");
    cfg.sip_port = port;
    cfg.transport_mask = KZ_SIP_TRANSPORT_UDP;
    KZ_SIP_SetConfig(g_stack, &cfg);
    void* queue = nullptr;
    KZ_QUEUE_Create(KZ_QUEUE_THREADED, &queue);
    KZ_QUEUE_Attach(queue, g_stack, nullptr);
    KZ_QUEUE_SetEventHandler(queue, answer);
    KZ_SIP_Start(g_stack);

    std::atomic<long> failures{0}, resends{0}, warmed{0};
    std::atomic<long> rss_after_warmup{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int d = 0; d < dialogs; ++d) {
        clients.emplace_back([&, d] {
            kztest::UdpPeer peer;
            long my_resends = 0;
            std::string call_id = "soak-" + std::to_string(d), response;
            if (!transact(peer, port, req("INVITE", call_id, 1, peer.port(), ""), &response, &my_resends)) {
                ++failures;
                return;
            }
            const std::string tag = to_tag_of(response);
            peer.send_to(port, req("ACK", call_id, 1, peer.port(), tag));
            for (long i = 0; i < per_dialog; ++i) {
                if (!transact(peer, port, req("INFO", call_id, static_cast<int>(i) + 2, peer.port(), tag),
                              &response, &my_resends))
                    ++failures;
                if (i == per_dialog / 10 && ++warmed == dialogs) rss_after_warmup = rss_kb();
            }
            if (!transact(peer, port, req("BYE", call_id, static_cast<int>(per_dialog) + 2, peer.port(), tag),
                          &response, &my_resends))
                ++failures;
            resends += my_resends;
        });
    }
    for (auto& t : clients)
        t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let the last ACK/BYE settle

    long duplicates = 0, distinct = 0;
    for (const auto& times : seen) {
        distinct += times > 0;
        duplicates += times > 1 ? times - 1 : 0;
    }
    const long expected = static_cast<long>(dialogs) * (per_dialog + 3);
    const long rss_end = rss_kb();
    const size_t left = static_cast<sip_group*>(g_stack)->DialogCount();
    KZ_SIP_Stop(g_stack);
    KZ_QUEUE_Detach(queue, g_stack);
    KZ_QUEUE_Destroy(queue);
    KZ_SIP_Close(g_stack);

    printf("requests sent: %ld, delivered: %ld (distinct %ld, duplicates %ld), client re-sends: %ld, "
           "failures: %ld\n",
           expected, g_requests.load(), distinct, duplicates, resends.load(), failures.load());
    printf("time: %.2f s, %.0f requests/s\n", seconds, expected / seconds);
    printf("dialogs left in the table: %zu\n", left);
    printf("RSS after warm-up: %ld KB, at end: %ld KB, growth: %ld KB\n", rss_after_warmup.load(), rss_end,
           rss_end - rss_after_warmup.load());
    const bool ok = failures == 0 && distinct == expected && duplicates == 0 && left == 0 &&
                    rss_end - rss_after_warmup.load() < 5 * 1024;
    printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
