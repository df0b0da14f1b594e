// The flat interface: queues, configuration, message copies and the CANCEL rules of sending;
// and the stack's building blocks: address filters, the growable queue, stream framing and the
// dialog table's first-match order.
#include "host/CKZClock.h"
#include "host/KZNetAddr.h"
#include "include/kzsipapi.h"
#include "sipstack/CSIPAddressFilter.h"
#include "sipstack/CSIPDialogTable.h"
#include "sipstack/CSIPStreamFramer.h"
#include "sipstack/TCQueue.h"
#include "sipstack/sip_group.h"
#include "support/loopback_stack.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <vector>

constexpr auto& header = kztest::header_value;

// A queue not attached to a stack returns at once rather than waiting out the time asked for, and
// null handles are refused rather than followed.
TEST(StackApi, NullHandlesUnattachedQueueAndConnectionIds) {
    void* stack = nullptr;
    ASSERT_EQ(KZ_SIP_Open(&stack), 0u);
    KZ_SIPProtocolConfig cfg{};
    EXPECT_EQ(KZ_SIP_GetConfig(nullptr, &cfg), KZ_SIP_RESULT_NULL_HANDLE);
    EXPECT_EQ(KZ_SIP_Close(nullptr), 0u);
    void* queue = nullptr;
    ASSERT_EQ(KZ_QUEUE_Create(KZ_QUEUE_POLLED, &queue), 0u);
    KZSIPEvent e{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KZ_QUEUE_WaitOnEvent(queue, 5000, &e), 0xFFFFFFFFu);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(KZ_QUEUE_InjectEvent(&e), 0xFFFFFFFFu);
    void *a = nullptr, *b = nullptr;
    KZ_SIP_GetConnectionId(stack, &a);
    KZ_SIP_GetConnectionId(stack, &b);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b), reinterpret_cast<uintptr_t>(a) + 1);
    KZ_QUEUE_Destroy(queue);
    EXPECT_EQ(KZ_SIP_Close(stack), 0u);
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

TEST(StackApi, HandlerCopyOutlivesTheEvent) {
    const uint16_t port = kztest::free_port_pair();
    ASSERT_EQ(KZ_SIP_Open(&g_handler_stack), 0u);
    kztest::on_loopback(*static_cast<sip_group*>(g_handler_stack), port);
    void* queue = nullptr;
    KZ_QUEUE_Create(KZ_QUEUE_THREADED, &queue);
    KZ_QUEUE_Attach(queue, g_handler_stack, nullptr);
    KZ_QUEUE_SetEventHandler(queue, keep_a_copy);
    KZ_SIP_Start(g_handler_stack);

    kztest::UdpPeer peer;
    for (const char* call_id : {"first-call", "second-call"}) {
        void* before = g_copy.load();
        peer.send_to(port, kztest::sip_request("OPTIONS", peer.port(), port, "", call_id));
        ASSERT_TRUE(kztest::wait_until([&] { return g_copy.load() != before; }));
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

// A stack on loopback whose received messages the test hands to the dialog bookkeeping itself.
class StackApiDialogs : public ::testing::Test {
protected:
    void SetUp() override {
        m_stack.SetClock(&m_clock);
        kztest::on_loopback(m_stack, m_port);
        ASSERT_TRUE(m_stack.StartTransports());
    }
    void TearDown() override { m_stack.StopTransports(); }

    // The dialog connection id the stack gives a received message (0 when it takes none). Without
    // a known source the stack answers where the message's Via names.
    uint32_t Receive(const std::string& text, bool source_known = true) {
        std::vector<char>& buf = m_buffers.emplace_back(text.begin(), text.end());
        buf.push_back('\0');
        sip_msg& m = m_messages.emplace_back();
        KZSIPEvent e{};
        m.init_from_buf(buf.data(), &e);
        if (source_known) m.set_ip_address(0x0100007F, m_peer.port(), 0x0100007F, m_port);
        return m_stack.DialogBookkeeping(&m, &e) ? e.connection_id : 0;
    }
    std::unique_ptr<sip_msg> Request(const char* method) {
        return kztest::app_request(method, m_peer.port(), m_port);
    }
    uint32_t Send(const std::unique_ptr<sip_msg>& m, uint32_t conn) {
        return m_stack.SendMessage(m.get(), nullptr, 0, conn);
    }

    KZAPI::CKZManualClock m_clock;
    sip_group m_stack;
    const uint16_t m_port = kztest::free_port_pair();
    kztest::UdpPeer m_peer;
    std::list<std::vector<char>> m_buffers;
    std::list<sip_msg> m_messages;
};

TEST_F(StackApiDialogs, CancelRulesBothWays) {
    const uint32_t conn = m_stack.NewConnectionId();
    ASSERT_EQ(Send(Request("INVITE"), conn), 0u);
    const std::string invite = m_peer.receive();
    EXPECT_EQ(m_stack.SendCancel(Request("CANCEL").get(), nullptr, 0, m_stack.NewConnectionId(), conn),
              0xFFFFFFFFu)
        << "no CANCEL before a provisional response";

    // A 180 arrives: now the CANCEL leaves with the INVITE's branch, Call-ID and CSeq number.
    ASSERT_EQ(Receive(kztest::response_to(invite, 180, "Ringing", "r1")), conn);
    ASSERT_EQ(m_stack.SendCancel(Request("CANCEL").get(), nullptr, 0, m_stack.NewConnectionId(), conn), 0u);
    const std::string cancel = m_peer.receive();
    EXPECT_EQ(header(cancel, "Via"), header(invite, "Via"));
    EXPECT_EQ(header(cancel, "Call-ID"), header(invite, "Call-ID"));
    EXPECT_EQ(header(cancel, "CSeq"), std::to_string(std::stoi(header(invite, "CSeq"))) + " CANCEL");

    // Answering an INVITE cancelled by the peer.
    auto text = [&](const char* method) {
        return std::string(method) +
               " sip:b@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(m_peer.port()) +
               ";branch=z9hG4bKc1\r\nFrom: <sip:a@127.0.0.1>;tag=f1\r\n" +
               "To: <sip:b@h>\r\nCall-ID: cancelled-call\r\nCSeq: 42 " + method + "\r\n\r\n";
    };
    const uint32_t cancelled = Receive(text("INVITE"));
    ASSERT_EQ(Receive(text("CANCEL")), cancelled) << "the CANCEL matches the INVITE's dialog";

    auto ok_with_sdp = kztest::app_response();
    ok_with_sdp->add_ie(KZ_IE_SDP_VERSION, 0, "0");
    EXPECT_EQ(Send(ok_with_sdp, cancelled), KZ_SIP_SEND_REFUSED_SDP_IN_CANCEL_2XX);
    ASSERT_EQ(Send(kztest::app_response(), cancelled), 0u);
    EXPECT_EQ(header(m_peer.receive(), "CSeq"), "42 CANCEL");
    ASSERT_EQ(Send(kztest::app_response(487, "Request Terminated"), cancelled), 0u);
    EXPECT_EQ(header(m_peer.receive(), "CSeq"), "42 INVITE") << "a 487 after a CANCEL answers the INVITE";
}

TEST_F(StackApiDialogs, AResponseToAViaNameIsSentAndResentToWhatTheNameResolvesTo) {
    const uint32_t conn = Receive(
        "INVITE sip:b@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP localhost:" + std::to_string(m_peer.port()) +
            ";branch=z9hG4bKn1\r\nFrom: <sip:a@127.0.0.1>;tag=f1\r\nTo: <sip:b@h>\r\n"
            "Call-ID: via-name\r\nCSeq: 1 INVITE\r\n\r\n",
        false);
    ASSERT_NE(conn, 0u);
    ASSERT_EQ(Send(kztest::app_response(), conn), 0u);
    EXPECT_EQ(kztest::status_line(m_peer.receive()), "SIP/2.0 200 OK");
    m_clock.Advance(2);
    m_stack.TimerSweep(nullptr);
    EXPECT_EQ(kztest::status_line(m_peer.receive()), "SIP/2.0 200 OK")
        << "the stored 200 is re-sent there too";
}

TEST(AddressFilter, DenyAndAllowListsJudgeIpAddressesOnly) {
    const auto ip = [](const char* text) { return KZAPI::KZ_InetAddr(text); };
    CSIPAddressFilter f;
    EXPECT_TRUE(f.Check(ip("10.0.0.1"), 5060));
    EXPECT_EQ(f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 1), 1);
    EXPECT_FALSE(f.Check(ip("10.0.0.1"), 5060));
    EXPECT_FALSE(f.Check(ip("10.0.0.1"), 1)) << "the port takes no part";
    EXPECT_TRUE(f.Check(ip("10.0.0.2"), 5060));
    // The same address twice needs two deletions.
    f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 1);
    EXPECT_EQ(f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 0), 1);
    EXPECT_FALSE(f.Check(ip("10.0.0.1"), 5060));
    EXPECT_EQ(f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 0), 1);
    EXPECT_TRUE(f.Check(ip("10.0.0.1"), 5060));
    EXPECT_EQ(f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 0), 0) << "nothing left to delete";
    EXPECT_EQ(f.Set("10.0.0.1", 2, 1), 0) << "only lists 0 and 1 exist";

    // An allow list admits only its addresses, and deny wins over allow.
    f.Set("sip-trunk-1", CSIPAddressFilter::ALLOW_LIST, 1);
    EXPECT_FALSE(f.Check(ip("127.0.0.1"), 5060)) << "an allow list without IP entries refuses everyone";
    f.Set("127.0.0.1", CSIPAddressFilter::ALLOW_LIST, 1);
    EXPECT_TRUE(f.Check(ip("127.0.0.1"), 5060));
    EXPECT_FALSE(f.Check(ip("127.0.0.2"), 5060));
    f.Set("127.0.0.1", CSIPAddressFilter::DENY_LIST, 1);
    EXPECT_FALSE(f.Check(ip("127.0.0.1"), 5060));

    // Identities and MAC addresses are listed but take no part in the check.
    CSIPAddressFilter g;
    const int L = CSIPAddressFilter::DENY_LIST;
    g.Set("192.168.1.300", L, 1);     // a number above 255: an identity
    g.Set("AA-BB-CC-DD-EE-0F", L, 1); // a MAC address, listed as given
    ASSERT_EQ(g.Count(L), 2u);
    EXPECT_EQ(g.Item(L, 1), "AA-BB-CC-DD-EE-0F");
    EXPECT_TRUE(g.Check(ip("192.168.1.44"), 0));
    EXPECT_EQ(g.Set("aa-bb-cc-dd-ee-0f", L, 0), 1) << "MAC entries compare by bytes";
    EXPECT_EQ(g.Set("192.168.1.300", L, 0), 1);
    EXPECT_EQ(g.Count(L), 0u);
}

TEST(TCQueue, GrowsWhenFullAndKeepsOrder) {
    TCQueue<int> q(2);
    for (int i = 0; i < 5; ++i)
        q.Push(i);
    EXPECT_EQ(q.Count(), 5u);
    int v = -1;
    ASSERT_TRUE(q.Pop(&v));
    EXPECT_EQ(v, 0);
    for (int i = 5; i < 9; ++i) // wraps around, then grows again
        q.Push(i);
    std::vector<int> got;
    while (q.Pop(&v))
        got.push_back(v);
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(q.Pop());
    TCQueue<int> unlocked(4);
    EXPECT_FALSE(unlocked.Wait(10)) << "a queue without a wait returns at once";
}

TEST(StreamFramer, SkipsKeepAlivesBetweenMessagesAndRefusesALengthBeyondTheLimit) {
    const std::string a = "OPTIONS sip:a SIP/2.0\r\nl: 4\r\n\r\nbody";
    const std::string b = "BYE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
    CSIPStreamFramer f;
    const std::string both = "\r\n\r\n" + b + a; // a keep-alive, then two messages in one read
    ASSERT_TRUE(f.Append(both.data(), both.size()));
    std::string out;
    ASSERT_TRUE(f.Next(&out));
    EXPECT_EQ(out, b);
    ASSERT_TRUE(f.Next(&out));
    EXPECT_EQ(out, a) << "the compact form of Content-Length counts";
    EXPECT_FALSE(f.Next(&out));
    CSIPStreamFramer g(1024);
    std::string head = "INFO sip:a SIP/2.0\r\nContent-Length: 999999\r\n\r\n" + std::string(1100, 'y');
    EXPECT_FALSE(g.Append(head.data(), head.size()));
}

TEST(DialogTable, FirstMatchInCreationOrderAndRemoval) {
    CSIPDialogTable t;
    auto make = [](const char* call_id, const char* tag, uint32_t conn) {
        auto d = std::make_unique<sip_dialog>();
        d->call_id = call_id;
        d->remote_tag = tag;
        d->connection_id = conn;
        return d;
    };
    sip_dialog* first = t.Append(make("c1", "x", 1));
    sip_dialog* second = t.Append(make("c1", "x", 2));
    t.Append(make("c2", "x", 3));
    auto tag_x = [](const sip_dialog& d) { return d.remote_tag == "x"; };
    EXPECT_EQ(t.FindByCallId("c1", tag_x), first);
    EXPECT_EQ(t.FindByCallId("c3", tag_x), nullptr);
    EXPECT_EQ(t.FindByConnectionId(2), second);
    t.Remove(first);
    EXPECT_EQ(t.FindByCallId("c1", tag_x), second);
    // Re-indexing keeps the dialog's place in the order.
    std::string old = second->call_id.c_str();
    second->call_id = "c2";
    t.Reindex(second, old, 2);
    EXPECT_EQ(t.FindByCallId("c2", tag_x), second) << "created before the other c2 dialog";
    std::vector<uint32_t> order;
    t.ForEach([&](sip_dialog* d) {
        order.push_back(d->connection_id);
        t.Remove(d);
    });
    EXPECT_EQ(order, (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(t.Size(), 0u);
}

TEST(DialogTable, RemovedDialogsAreReusedEmptyUpToTheBound) {
    CSIPDialogTable t;
    std::vector<sip_dialog*> added;
    for (uint32_t i = 1; i <= CSIPDialogTable::kMaxSpareDialogs + 2; ++i) {
        auto d = t.NewDialog();
        d->call_id = "c" + std::to_string(i);
        d->connection_id = i;
        d->first_request.add_ie(KZ_IE_SIP_CALLID, 0, d->call_id.View());
        added.push_back(t.Append(std::move(d)));
    }
    for (sip_dialog* d : added)
        t.Remove(d);
    EXPECT_EQ(t.SpareCount(), CSIPDialogTable::kMaxSpareDialogs);
    auto reused = t.NewDialog();
    EXPECT_EQ(reused.get(), added[CSIPDialogTable::kMaxSpareDialogs - 1]);
    EXPECT_TRUE(reused->call_id.IsEmpty());
    EXPECT_EQ(reused->connection_id, 0u);
    EXPECT_TRUE(reused->first_request.is_empty());
    EXPECT_EQ(t.FindByConnectionId(1), nullptr);
    // Filed again under new names, through the kept index entries.
    reused->call_id = "again";
    reused->connection_id = 7;
    sip_dialog* again = t.Append(std::move(reused));
    auto any = [](const sip_dialog&) { return true; };
    EXPECT_EQ(t.FindByCallId("again", any), again);
    EXPECT_EQ(t.FindByCallId("c1", any), nullptr);
    EXPECT_EQ(t.FindByConnectionId(7), again);
    t.Remove(again);
    EXPECT_EQ(t.FindByConnectionId(7), nullptr);
    EXPECT_EQ(t.Size(), 0u);
}

} // namespace
