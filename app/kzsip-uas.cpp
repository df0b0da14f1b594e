// kzsip-uas: the simplest program a user of the stack would write, using only the flat interface.
//
// As a server it answers every INVITE with 180 and 200 (with a minimal SDP), takes the ACK,
// answers BYE, CANCEL, OPTIONS and other requests, and on exit prints how many of each it received.
// With --call it also places calls as a client: INVITE, ACK on the 200, then BYE.
//
//   kzsip-uas [-a ADDRESS] [-p PORT] [-t udp|tcp|tls] [--cert FILE --key FILE]
//             [--call URI -n CALLS -r CALLS_PER_SECOND] [--log-level 1|2|4]
#include "app/kz_start_failure.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "include/kzsipapi.h"
#include "sipmsg/kz_sip_result.h"
#include "sipmsg/sip_msg.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

struct Options {
    std::string address = "127.0.0.1";
    int port = 5060;
    int protocol = 0; // 0 UDP, 1 TCP, 2 TLS
    std::string call_uri;
    long calls = 1;
    double rate = 10;
};

Options g_opt;
void* g_stack = nullptr;
std::atomic<bool> g_stop{false};
std::mutex g_mutex;
std::set<uint32_t> g_answered; // incoming dialogs already answered
std::set<uint32_t> g_outgoing; // our calls still running
std::atomic<long> g_completed{0}, g_failed{0};
std::atomic<long> g_invites{0}, g_acks{0}, g_byes{0}, g_cancels{0}, g_others{0}; // requests received

void* id(uint32_t connection_id) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(connection_id));
}

const char* transport_name() {
    return g_opt.protocol == 2 ? "TLS" : g_opt.protocol == 1 ? "TCP" : "UDP";
}

std::string contact() {
    return "<sip:kzsip-uas@" + g_opt.address + ":" +
           std::to_string(g_opt.port + (g_opt.protocol == 2 ? 1 : 0)) +
           (g_opt.protocol ? std::string(";transport=") + (g_opt.protocol == 2 ? "tls" : "tcp") : "") + ">";
}

void add_sdp(sip_msg& m) {
    m.add_ie(KZ_IE_SDP_VERSION, 0, "0");
    const char* origin[] = {"kzsip-uas", "1", "1", "IN", "IP4", g_opt.address.c_str()};
    for (unsigned i = 0; i < 6; ++i)
        m.add_ie(KZ_IE_SDP_OWNER_USERNAME + i, 0, origin[i]);
    m.add_ie(KZ_IE_SDP_SESSION_NAME, 0, "kzsip-uas");
    m.add_ie(KZ_IE_SDP_CONNECTION_NETWORK_TYPE, 0, "IN");
    m.add_ie(KZ_IE_SDP_CONNECTION_ADDRESS_TYPE, 0, "IP4");
    m.add_ie(KZ_IE_SDP_CONNECTION_ADDRESS, 0, g_opt.address.c_str());
    m.add_ie(KZ_IE_SDP_TIMESTAMP_START, 0, "0");
    m.add_ie(KZ_IE_SDP_TIMESTAMP_STOP, 0, "0");
    m.add_ie(KZ_IE_SDP_MEDIA_TYPE, 0, "audio");
    m.add_ie(KZ_IE_SDP_MEDIA_PORT, 0, "40000");
    m.add_ie(KZ_IE_SDP_MEDIA_TRANSPORT, 0, "RTP/AVP");
    m.add_ie(KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 0, "rtpmap:0 PCMU/8000");
}

void respond(uint32_t connection_id, const char* code, const char* reason, bool with_sdp = false) {
    sip_msg m;
    m.add_ie(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, 0, "SIP/2.0");
    m.add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, code);
    m.add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, reason);
    m.add_ie(KZ_IE_SIP_CONTACT, 0, contact().c_str());
    m.add_ie(KZ_IE_SIP_USER_AGENT, 0, "kzsip-uas");
    if (with_sdp) add_sdp(m);
    KZ_SIP_SendMessage(g_stack, &m, nullptr, 0, id(connection_id));
}

// A request of one of our calls; the stack fills in Call-ID, tags, CSeq and branch.
uint32_t send_request(const char* method, uint32_t connection_id) {
    sip_msg m;
    m.add_ie(KZ_IE_SIP_REQUEST_LINE_METHOD, 0, method);
    m.add_ie(KZ_IE_SIP_REQUEST_LINE_URI, 0, g_opt.call_uri.c_str());
    m.add_ie(KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, "SIP/2.0");
    m.add_ie(KZ_IE_SIP_VIA_PROTOCOL, 0, (std::string("SIP/2.0/") + transport_name()).c_str());
    m.add_ie(KZ_IE_SIP_VIA_ADDRESS, 0, (g_opt.address + ":" + std::to_string(g_opt.port)).c_str());
    m.add_ie(KZ_IE_SIP_VIA_PARAM, 0, "rport");
    m.add_ie(KZ_IE_SIP_FROM, 0, ("<sip:kzsip-uas@" + g_opt.address + ">").c_str());
    m.add_ie(KZ_IE_SIP_TO, 0, ("<" + g_opt.call_uri + ">").c_str());
    m.add_ie(KZ_IE_SIP_CONTACT, 0, contact().c_str());
    m.add_ie(KZ_IE_SIP_MAX_FORWARDS, 0, "70");
    m.set_prot(g_opt.protocol);
    if (strcmp(method, "INVITE") == 0) add_sdp(m);
    return KZ_SIP_SendMessage(g_stack, &m, nullptr, 0, id(connection_id));
}

void finish_call(uint32_t connection_id, bool ok) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_outgoing.erase(connection_id)) ++(ok ? g_completed : g_failed);
}

void on_request(KZSIPEvent* e, const sip_msg& req) {
    const uint32_t conn = e->connection_id;
    if (req.is_invite()) {
        ++g_invites;
        std::lock_guard<std::mutex> lock(g_mutex);
        // A retransmitted INVITE means our answer was lost, and it stops the stack re-sending it:
        // answer it again, which restarts the re-sending until the ACK comes.
        if (g_answered.insert(conn).second) respond(conn, "180", "Ringing");
        respond(conn, "200", "OK", true);
    } else if (req.is_ack()) {
        ++g_acks; // nothing else to do: the call is up
    } else if (req.is_bye()) {
        ++g_byes;
        respond(conn, "200", "OK");
        std::lock_guard<std::mutex> lock(g_mutex);
        g_answered.erase(conn);
    } else if (req.is_cancel()) {
        ++g_cancels;
        respond(conn, "200", "OK");
        respond(conn, "487", "Request Terminated");
    } else if (req.is_options() || req.is_info() || req.is_message() || req.is_notify() || req.is_update()) {
        ++g_others;
        respond(conn, "200", "OK");
    } else {
        ++g_others;
        respond(conn, "501", "Not Implemented");
    }
}

void on_response(KZSIPEvent* e, const sip_msg& rsp) {
    const uint32_t conn = e->connection_id;
    const std::string method = rsp.cseq_method();
    if (rsp.is_1xx()) return;
    if (method == "INVITE") {
        send_request("ACK", conn);
        if (rsp.is_2xx())
            send_request("BYE", conn);
        else
            finish_call(conn, false);
    } else if (method == "BYE") {
        finish_call(conn, rsp.is_2xx());
    }
}

void on_event(KZSIPEvent* e) {
    if (e->event_type != KZ_EVENT_SIP_MESSAGE_REQUEST && e->event_type != KZ_EVENT_SIP_MESSAGE_RESPONSE) {
        if (e->event_type >= KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP) finish_call(e->connection_id, false);
        return;
    }
    void* raw = nullptr;
    if (KZ_SIP_GetMessage(g_stack, &raw, nullptr, nullptr, nullptr, nullptr, 0) != 0) return;
    sip_msg* msg = static_cast<sip_msg*>(raw);
    if (e->event_type == KZ_EVENT_SIP_MESSAGE_REQUEST)
        on_request(e, *msg);
    else
        on_response(e, *msg);
    delete msg;
}

void place_calls() {
    const auto gap = std::chrono::duration<double>(1.0 / (g_opt.rate > 0 ? g_opt.rate : 1));
    auto next = std::chrono::steady_clock::now();
    for (long i = 0; i < g_opt.calls && !g_stop; ++i) {
        void* conn = nullptr;
        KZ_SIP_GetConnectionId(g_stack, &conn);
        const uint32_t c = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(conn));
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_outgoing.insert(c);
        }
        if (send_request("INVITE", c) != 0) finish_call(c, false);
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(gap);
        std::this_thread::sleep_until(next);
    }
    // Wait for the calls to end (bounded by the stack's own timers).
    for (int i = 0; i < 600 && !g_stop && g_completed + g_failed < g_opt.calls; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    printf("calls: %ld placed, %ld completed, %ld failed\n", g_opt.calls, g_completed.load(),
           g_failed.load());
}

bool parse_args(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "-a")
            g_opt.address = next();
        else if (a == "-p")
            g_opt.port = atoi(next());
        else if (a == "-t") {
            std::string t = next();
            g_opt.protocol = t == "tls" ? 2 : t == "tcp" ? 1 : 0;
        } else if (a == "--cert")
            KZAPI::CKZCfgInterface::CFG_SetValue("kzsrv.sip.ssl.cert.file", next());
        else if (a == "--key")
            KZAPI::CKZCfgInterface::CFG_SetValue("kzsrv.sip.ssl.key.file", next());
        else if (a == "--call")
            g_opt.call_uri = next();
        else if (a == "-n")
            g_opt.calls = atol(next());
        else if (a == "-r")
            g_opt.rate = atof(next());
        else if (a == "--log-level")
            KZAPI::CKZLogInterface::SetMaxLevel(static_cast<unsigned>(atoi(next())));
        else {
            fprintf(stderr,
                    "usage: %s [-a ADDRESS] [-p PORT] [-t udp|tcp|tls] [--cert FILE --key FILE] "
                    "[--call URI -n CALLS -r RATE] [--log-level 1|2|4]\n",
                    argv[0]);
            return false;
        }
    }
    return true;
}

// "KZ_SIP_Start failed (error code 0xffffffff)" when result is not success, else "".
std::string failed(const char* operation, uint32_t result) {
    if (result == KZ_SIP_RESULT_OK) return "";
    char text[96];
    snprintf(text, sizeof(text), "%s failed (error code 0x%x)", operation, static_cast<unsigned>(result));
    return text;
}

// Opens the stack, attaches a threaded queue and starts the transports; the reason it could not, or "".
std::string open_stack(void*& queue) {
    KZ_SIPProtocolConfig cfg{};
    snprintf(cfg.local_address, sizeof(cfg.local_address), "%s", g_opt.address.c_str());
    cfg.sip_port = g_opt.port;
    cfg.transport_mask =
        KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TCP | (g_opt.protocol == 2 ? KZ_SIP_TRANSPORT_TLS : 0);
    // A port another process holds is named before the stack tries it.
    std::string reason = kzapp::busy_sip_port(g_opt.address, cfg.sip_port, cfg.transport_mask);
    if (!reason.empty()) return reason;
    reason = failed("KZ_SIP_Open", KZ_SIP_Open(&g_stack));
    if (reason.empty()) reason = failed("KZ_SIP_SetConfig", KZ_SIP_SetConfig(g_stack, &cfg));
    if (reason.empty()) reason = failed("KZ_QUEUE_Create", KZ_QUEUE_Create(KZ_QUEUE_THREADED, &queue));
    if (reason.empty()) reason = failed("KZ_QUEUE_Attach", KZ_QUEUE_Attach(queue, g_stack, nullptr));
    if (reason.empty())
        reason = failed("KZ_QUEUE_SetEventHandler", KZ_QUEUE_SetEventHandler(queue, on_event));
    if (reason.empty()) reason = failed("KZ_SIP_Start", KZ_SIP_Start(g_stack));
    if (reason.empty()) return "";
    return kzapp::first_of(kzapp::busy_sip_port(g_opt.address, cfg.sip_port, cfg.transport_mask), reason);
}

void close_stack(void* queue) {
    KZ_SIP_Stop(g_stack);
    if (queue) {
        KZ_QUEUE_Detach(queue, g_stack);
        KZ_QUEUE_Destroy(queue);
    }
    KZ_SIP_Close(g_stack);
}

} // namespace

int main(int argc, char** argv) {
    if (!parse_args(argc, argv)) return 2;
    signal(SIGINT, [](int) { g_stop = true; });
    signal(SIGTERM, [](int) { g_stop = true; });

    void* queue = nullptr;
    const std::string reason = open_stack(queue);
    if (!reason.empty()) {
        kzapp::report_cannot_start("kzsip-uas", reason);
        close_stack(queue);
        return 1;
    }
    printf("kzsip-uas listening on %s:%d (UDP, TCP%s)\n", g_opt.address.c_str(), g_opt.port,
           g_opt.protocol == 2 ? ", TLS on the next port" : "");
    fflush(stdout);

    int result = 0;
    if (!g_opt.call_uri.empty()) {
        place_calls();
        result = g_failed == 0 && g_completed == g_opt.calls ? 0 : 1;
    } else {
        while (!g_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    close_stack(queue);
    printf("requests received: %ld INVITE, %ld ACK, %ld BYE, %ld CANCEL, %ld other\n", g_invites.load(),
           g_acks.load(), g_byes.load(), g_cancels.load(), g_others.load());
    return result;
}
