// The flat interface and the message-function table: queues, configuration, message copies,
// pseudo-elements, and the CANCEL rules of sending.
#include "host/CKZClock.h"
#include "include/kzsipapi.h"
#include "sipstack/kz_sip_msgfuncs.h"
#include "sipstack/sip_group.h"
#include "support/loopback_stack.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto& header = kztest::header_value;

} // namespace

TEST(StackApi, OpenDefaultsAndUnattachedQueue) {
    void* stack = nullptr;
    ASSERT_EQ(KZ_SIP_Open(&stack), 0u);
    KZ_SIPProtocolConfig cfg{};
    ASSERT_EQ(KZ_SIP_GetConfig(stack, &cfg), 0u);
    EXPECT_EQ(cfg.sip_port, 5060);
    EXPECT_EQ(cfg.transport_mask, 1);
    EXPECT_EQ(KZ_SIP_GetConfig(nullptr, &cfg), KZ_SIP_RESULT_NULL_HANDLE);

    void* queue = nullptr;
    ASSERT_EQ(KZ_QUEUE_Create(KZ_QUEUE_POLLED, &queue), 0u);
    KZSIPEvent e{};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KZ_QUEUE_WaitOnEvent(queue, 5000, &e), 0xFFFFFFFFu);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100)) << "returns at once";
    EXPECT_EQ(KZ_QUEUE_Flush(queue), 0xFFFFFFFFu);
    EXPECT_EQ(KZ_QUEUE_InjectEvent(&e), 0xFFFFFFFFu);

    void* a = nullptr;
    void* b = nullptr;
    KZ_SIP_GetConnectionId(stack, &a);
    KZ_SIP_GetConnectionId(stack, &b);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b), reinterpret_cast<uintptr_t>(a) + 1);
    KZ_QUEUE_Destroy(queue);
    EXPECT_EQ(KZ_SIP_Close(stack), 0u);
    EXPECT_EQ(KZ_SIP_Close(nullptr), 0u);
}

namespace {
std::atomic<void*> g_copy{nullptr};
void* g_handler_stack = nullptr;
void keep_a_copy(KZSIPEvent*) {
    void* msg = nullptr;
    char address[32];
    unsigned size = sizeof(address);
    unsigned short port = 0;
    if (KZ_SIP_GetMessage(g_handler_stack, &msg, address, &size, &port, nullptr, 0) == 0) g_copy = msg;
}
} // namespace

TEST(StackApi, HandlerCopyOutlivesTheEvent) {
    const uint16_t port = kztest::free_port_pair();
    ASSERT_EQ(KZ_SIP_Open(&g_handler_stack), 0u);
    KZ_SIPProtocolConfig cfg{};
    strcpy(cfg.local_address, "127.0.0.1");
    cfg.sip_port = port;
    cfg.transport_mask = KZ_SIP_TRANSPORT_UDP;
    KZ_SIP_SetConfig(g_handler_stack, &cfg);
    void* queue = nullptr;
    KZ_QUEUE_Create(KZ_QUEUE_THREADED, &queue);
    KZ_QUEUE_Attach(queue, g_handler_stack, nullptr);
    KZ_QUEUE_SetEventHandler(queue, keep_a_copy);
    KZ_SIP_EVENT_HANDLER h = nullptr;
    KZ_QUEUE_GetEventHandler(queue, &h);
    EXPECT_EQ(h, &keep_a_copy);
    KZ_SIP_Start(g_handler_stack);

    kztest::UdpPeer peer;
    for (const char* call_id : {"first-call", "second-call"}) {
        void* before = g_copy.load();
        peer.send_to(port, std::string("OPTIONS sip:x@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:") +
                               std::to_string(peer.port()) + ";branch=z9hG4bK1\r\nCall-ID: " + call_id +
                               "\r\nFrom: <sip:a@b>;tag=1\r\nTo: <sip:x@y>\r\nCSeq: 1 OPTIONS\r\n\r\n");
        for (int i = 0; i < 2000 && g_copy.load() == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_NE(g_copy.load(), before);
        if (before) {
            // The earlier copy is untouched by the later event.
            EXPECT_EQ(static_cast<sip_msg*>(before)->get_ie_value(KZ_IE_SIP_CALLID), "first-call");
            delete static_cast<sip_msg*>(before);
        }
    }
    KZ_SIP_Stop(g_handler_stack);
    KZ_QUEUE_Detach(queue, g_handler_stack);
    KZ_QUEUE_Destroy(queue);
    KZ_SIP_Close(g_handler_stack);
    EXPECT_EQ(static_cast<sip_msg*>(g_copy.load())->get_ie_value(KZ_IE_SIP_CALLID), "second-call");
    delete static_cast<sip_msg*>(g_copy.exchange(nullptr));
}

TEST(StackApi, PseudoElementsMapOntoTheMessageFields) {
    const KZSIPMessageFunctions& f = kz_sip_message_functions();
    void* msg = nullptr;
    ASSERT_EQ(f.alloc_msg(&msg), 0u);
    EXPECT_EQ(f.set_ie(msg, KZ_IE_SIP_PROTOCOL, 0, "2"), 0u);
    EXPECT_EQ(f.set_ie(msg, KZ_IE_SIP_SSL_TYPE, 0, "4"), 0u);
    EXPECT_EQ(f.set_ie(msg, KZ_IE_SIP_TCP_SOCKET, 0, "12345678901"), 0u);
    EXPECT_EQ(static_cast<sip_msg*>(msg)->get_prot(), 2);
    EXPECT_EQ(static_cast<sip_msg*>(msg)->get_ie_count(), 0u) << "pseudo-elements are fields, not elements";
    char buf[32];
    unsigned size = sizeof(buf);
    ASSERT_EQ(f.get_ie(msg, KZ_IE_SIP_TCP_SOCKET, 0, buf, &size), 0u);
    EXPECT_STREQ(buf, "12345678901");
    EXPECT_EQ(size, 11u);
    size = 2;
    EXPECT_EQ(f.get_ie(msg, KZ_IE_SIP_TCP_SOCKET, 0, buf, &size), KZ_SIP_RESULT_BUFFER_SMALL);
    EXPECT_EQ(size, 12u);
    size = sizeof(buf);
    ASSERT_EQ(f.get_ie(msg, KZ_IE_SIP_SSL_TYPE, 0, buf, &size), 0u);
    EXPECT_STREQ(buf, "4");
    EXPECT_EQ(f.add_ie(nullptr, KZ_IE_SIP_CALLID, 0, "x"), KZ_SIP_RESULT_NULL_HANDLE);
    EXPECT_EQ(f.add_ie(msg, KZ_IE_SIP_CALLID, 0, nullptr), KZ_SIP_RESULT_NULL_VALUE);
    EXPECT_EQ(f.terminate_connection(nullptr, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(f.free_msg(msg), 0u);
    EXPECT_EQ(f.free_msg(nullptr), 0xFFFFFFFFu);
}

TEST(StackApi, CancelRules) {
    sip_group stack;
    const uint16_t port = kztest::free_port_pair();
    kztest::on_loopback(stack, port);
    ASSERT_TRUE(stack.StartTransports());
    kztest::UdpPeer peer;
    auto request = [&](const char* method) { return kztest::app_request(method, peer.port(), port); };
    const uint32_t conn = stack.NewConnectionId();
    ASSERT_EQ(stack.SendMessage(request("INVITE").get(), nullptr, 0, conn), 0u);
    const std::string invite = peer.receive();
    EXPECT_EQ(stack.SendCancel(request("CANCEL").get(), nullptr, 0, stack.NewConnectionId(), conn),
              0xFFFFFFFFu)
        << "no CANCEL before a provisional response";

    // A 180 arrives: now the CANCEL leaves with the INVITE's branch, Call-ID and CSeq number.
    std::string ringing = "SIP/2.0 180 Ringing\r\nVia: " + header(invite, "Via") +
                          "\r\nFrom: " + header(invite, "From") + "\r\nTo: " + header(invite, "To") +
                          ";tag=r1\r\nCall-ID: " + header(invite, "Call-ID") +
                          "\r\nCSeq: " + header(invite, "CSeq") + "\r\n\r\n";
    sip_msg parsed;
    KZSIPEvent e{};
    std::vector<char> buf(ringing.begin(), ringing.end());
    buf.push_back('\0');
    parsed.init_from_buf(buf.data(), &e);
    ASSERT_TRUE(stack.DialogBookkeeping(&parsed, &e));
    const uint32_t cancel_id = stack.NewConnectionId();
    ASSERT_EQ(stack.SendCancel(request("CANCEL").get(), nullptr, 0, cancel_id, conn), 0u);
    const std::string cancel = peer.receive();
    EXPECT_EQ(header(cancel, "Via"), header(invite, "Via"));
    EXPECT_EQ(header(cancel, "Call-ID"), header(invite, "Call-ID"));
    EXPECT_EQ(header(cancel, "CSeq"), std::to_string(std::stoi(header(invite, "CSeq"))) + " CANCEL");
    stack.StopTransports();
}

TEST(StackApi, AnsweringACancelledInvite) {
    sip_group stack;
    const uint16_t port = kztest::free_port_pair();
    kztest::on_loopback(stack, port);
    ASSERT_TRUE(stack.StartTransports());
    kztest::UdpPeer peer;
    auto receive = [&](const std::string& text) {
        static std::vector<char> buf;
        buf.assign(text.begin(), text.end());
        buf.push_back('\0');
        auto m = std::make_unique<sip_msg>();
        KZSIPEvent e{};
        m->init_from_buf(buf.data(), &e);
        m->set_ip_address(0x0100007F, peer.port(), 0x0100007F, port);
        stack.DialogBookkeeping(m.get(), &e);
        return e.connection_id;
    };
    auto text = [&](const char* method) {
        return std::string(method) +
               " sip:b@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer.port()) +
               ";branch=z9hG4bKc1\r\nFrom: <sip:a@127.0.0.1>;tag=f1\r\nTo: <sip:b@h>\r\n" +
               "Call-ID: cancelled-call\r\nCSeq: 42 " + method + "\r\n\r\n";
    };
    using kztest::app_response;
    const uint32_t conn = receive(text("INVITE"));
    ASSERT_EQ(receive(text("CANCEL")), conn) << "the CANCEL matches the INVITE's dialog";

    auto ok_with_sdp = app_response();
    ok_with_sdp->add_ie(KZ_IE_SDP_VERSION, 0, "0");
    EXPECT_EQ(stack.SendMessage(ok_with_sdp.get(), nullptr, 0, conn), KZ_SIP_SEND_REFUSED_SDP_IN_CANCEL_2XX);
    EXPECT_EQ(KZ_SIP_SEND_REFUSED_SDP_IN_CANCEL_2XX, 0xFFFFA8F4u);

    ASSERT_EQ(stack.SendMessage(app_response().get(), nullptr, 0, conn), 0u);
    EXPECT_EQ(header(peer.receive(), "CSeq"), "42 CANCEL");
    ASSERT_EQ(stack.SendMessage(app_response(487, "Request Terminated").get(), nullptr, 0, conn), 0u);
    EXPECT_EQ(header(peer.receive(), "CSeq"), "42 INVITE") << "a 487 after a CANCEL answers the INVITE";
    stack.StopTransports();
}

TEST(StackApi, AResponseToAViaNameIsSentAndResentToWhatTheNameResolvesTo) {
    KZAPI::CKZManualClock clock;
    sip_group stack;
    stack.SetClock(&clock);
    kztest::on_loopback(stack, kztest::free_port_pair());
    ASSERT_TRUE(stack.StartTransports());
    kztest::UdpPeer peer;
    // A request whose source is not known, so its answer goes where its Via names.
    const std::string invite =
        "INVITE sip:b@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP localhost:" + std::to_string(peer.port()) +
        ";branch=z9hG4bKn1\r\nFrom: <sip:a@127.0.0.1>;tag=f1\r\nTo: <sip:b@h>\r\n"
        "Call-ID: via-name\r\nCSeq: 1 INVITE\r\n\r\n";
    std::vector<char> buf(invite.begin(), invite.end());
    buf.push_back('\0');
    sip_msg parsed;
    KZSIPEvent e{};
    parsed.init_from_buf(buf.data(), &e);
    ASSERT_TRUE(stack.DialogBookkeeping(&parsed, &e));

    ASSERT_EQ(stack.SendMessage(kztest::app_response().get(), nullptr, 0, e.connection_id), 0u);
    EXPECT_EQ(kztest::status_line(peer.receive()), "SIP/2.0 200 OK");
    clock.Advance(2);
    stack.TimerSweep(nullptr);
    EXPECT_EQ(kztest::status_line(peer.receive()), "SIP/2.0 200 OK") << "the stored 200 is re-sent there too";
    stack.StopTransports();
}
