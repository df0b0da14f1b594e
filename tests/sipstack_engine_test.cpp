// The stack engine over real loopback sockets: dialog matching and bookkeeping on both sides,
// the retransmission and expiry schedule (through an injected clock), transports and filters.
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "host/KZNetAddr.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/CSIPReadPacer.h"
#include "sipstack/sip_group.h"
#include "support/log_capture.h"
#include "support/loopback_stack.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/stream_client.h"
#include "support/test_certificate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto& header = kztest::header_value;

std::string request(const std::string& method, const std::string& call_id, uint16_t peer_port, int cseq,
                    const std::string& branch = "z9hG4bKpeer1", const std::string& to_tag = "") {
    return method + " sip:bob@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(peer_port) +
           ";branch=" + branch +
           ";rport\r\nFrom: <sip:alice@127.0.0.1>;tag=peertag\r\nTo: <sip:bob@127.0.0.1>" +
           (to_tag.empty() ? "" : ";tag=" + to_tag) + "\r\nCall-ID: " + call_id +
           "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\nContent-Length: 0\r\n\r\n";
}

using kztest::app_request;
using kztest::app_response;
using kztest::response_to;

class StackTest : public ::testing::Test {
protected:
    void Start(int32_t mask = KZ_SIP_TRANSPORT_UDP) {
        m_port = kztest::free_port_pair();
        ASSERT_NE(m_port, 0);
        kztest::on_loopback(m_stack, m_port, mask);
        m_stack.SetClock(&m_clock);
        ASSERT_TRUE(m_stack.StartTransports());
        m_queue.Attach(&m_stack, this);
    }
    void TearDown() override {
        m_queue.Detach();
        m_stack.StopTransports();
        KZAPI::CKZCfgInterface::CFG_Clear();
    }

    // Runs passes until an event comes or timeout_ms of real time pass.
    bool NextEvent(KZSIPEvent* e, int timeout_ms = 2000) {
        return kztest::wait_until([&] { return m_queue.RunOnePass(e, false); }, timeout_ms);
    }
    // Moves the clock on by one second, runs that second's sweep and returns the events it made.
    std::vector<KZSIPEvent> Tick() {
        m_clock.Advance(1);
        KZSIPEvent e;
        for (int i = 0; i < 1000 && m_queue.LastSweep() != m_clock.NowSeconds(); ++i)
            m_queue.RunOnePass(&e, false);
        std::vector<KZSIPEvent> events;
        while (m_queue.RunOnePass(&e, false))
            events.push_back(e);
        return events;
    }
    // Ticks up to max_seconds until a second's sweep reports something; returns that second (0:
    // none) with its events in *reported, and the seconds in which the peer got a re-send.
    int SecondOfReport(int max_seconds, std::vector<KZSIPEvent>* reported,
                       std::vector<int>* resent_at = nullptr, const std::string& resent = "") {
        for (int second = 1; second <= max_seconds; ++second) {
            *reported = Tick();
            for (const std::string& r : resent_at ? m_peer.drain(50) : std::vector<std::string>()) {
                EXPECT_EQ(r, resent.empty() ? r : resent) << "a re-send is the same message";
                resent_at->push_back(second);
            }
            if (!reported->empty()) return second;
        }
        return 0;
    }
    uint32_t Send(sip_msg* m, uint32_t conn) { return m_stack.SendMessage(m, nullptr, 0, conn); }
    // The dialog's INVITE answered with 200 and acknowledged by the peer a second later; returns
    // the stack's To tag.
    std::string AnswerAndAck(uint32_t conn, const std::string& call_id) {
        EXPECT_EQ(Send(app_response(200, "OK").get(), conn), 0u);
        const std::string ok = m_peer.receive();
        EXPECT_EQ(kztest::status_line(ok), "SIP/2.0 200 OK");
        const std::string tag = header(ok, "To").substr(header(ok, "To").find(";tag=") + 5);
        Tick();
        m_peer.send_to(m_port, request("ACK", call_id, m_peer.port(), 1, "z9hG4bKack", tag));
        KZSIPEvent e{};
        EXPECT_TRUE(NextEvent(&e));
        EXPECT_EQ(e.code, KZ_SIP_MSG_ACK);
        EXPECT_EQ(e.connection_id, conn);
        return tag;
    }

    KZAPI::CKZManualClock m_clock{1000000};
    sip_group m_stack;
    CSIPProcessThread m_queue{CSIPProcessThread::QUEUE_POLLED};
    uint16_t m_port = 0;
    kztest::UdpPeer m_peer;
};

// ---------------- incoming dialogs ----------------

TEST_F(StackTest, IncomingInviteIsStampedMatchedAnsweredAndEndedByBye) {
    Start();
    const std::string invite = request("INVITE", "call-1", m_peer.port(), 1);
    m_peer.send_to(m_port, invite);
    KZSIPEvent e{};
    ASSERT_TRUE(NextEvent(&e));
    EXPECT_EQ(e.code, KZ_SIP_MSG_INVITE);
    EXPECT_EQ(e.user_data, this);
    EXPECT_EQ(std::string(e.raw_text), invite);
    const sip_msg& cur = m_queue.CurrentMessage();
    EXPECT_EQ(cur.get_ie_value(KZ_IE_SIP_VIA_PARAM), ("rport=" + std::to_string(m_peer.port())).c_str());
    EXPECT_EQ(cur.get_ie_value(KZ_IE_SIP_VIA_RECEIVED), "received=127.0.0.1");
    EXPECT_EQ(cur.get_ie_value(KZ_IE_SIP_PROTOCOL), "0");

    // A retransmitted INVITE is matched to the same dialog.
    const uint32_t conn = e.connection_id;
    m_peer.send_to(m_port, invite);
    ASSERT_TRUE(NextEvent(&e));
    EXPECT_EQ(e.connection_id, conn);
    EXPECT_EQ(m_stack.DialogCount(), 1u);

    ASSERT_EQ(Send(app_response(180, "Ringing").get(), conn), 0u);
    std::string ringing = m_peer.receive();
    EXPECT_EQ(kztest::status_line(ringing), "SIP/2.0 180 Ringing");
    EXPECT_EQ(header(ringing, "Call-ID"), "call-1");
    EXPECT_EQ(header(ringing, "CSeq"), "1 INVITE");
    EXPECT_NE(header(ringing, "Via").find("branch=z9hG4bKpeer1"), std::string::npos);
    EXPECT_NE(header(ringing, "Via").find("rport=" + std::to_string(m_peer.port())), std::string::npos);
    const std::string local_tag = AnswerAndAck(conn, "call-1");
    EXPECT_EQ(header(ringing, "To"), "<sip:bob@127.0.0.1>;tag=" + local_tag)
        << "the same local tag for every response of the dialog";
    for (int i = 0; i < 10; ++i)
        Tick();
    EXPECT_TRUE(m_peer.drain(50).empty()) << "no re-sending after the ACK";
    EXPECT_EQ(m_stack.DialogCount(), 1u);

    const std::string bye = request("BYE", "call-1", m_peer.port(), 2, "z9hG4bKbye", local_tag);
    m_peer.send_to(m_port, bye);
    ASSERT_TRUE(NextEvent(&e));
    EXPECT_EQ(e.connection_id, conn);
    ASSERT_EQ(Send(app_response(200, "OK").get(), conn), 0u);
    EXPECT_EQ(header(m_peer.receive(), "CSeq"), "2 BYE");
    EXPECT_EQ(m_stack.DialogCount(), 0u);

    // A retransmitted BYE now matches nothing and opens a new dialog with a new id.
    m_peer.send_to(m_port, bye);
    ASSERT_TRUE(NextEvent(&e));
    EXPECT_NE(e.connection_id, conn);
    EXPECT_EQ(m_stack.DialogCount(), 1u);
}

// A 200 never acknowledged is re-sent and reported after nine seconds; an INVITE the application
// never answers is reported to it after 180.
TEST_F(StackTest, UnfinishedIncomingInviteIsReported) {
    Start();
    for (const bool answered : {true, false}) {
        SCOPED_TRACE(answered);
        m_peer.send_to(m_port,
                       request("INVITE", answered ? "call-noack" : "call-slow-app", m_peer.port(), 7));
        KZSIPEvent e{};
        ASSERT_TRUE(NextEvent(&e));
        if (answered) {
            ASSERT_EQ(Send(app_response(200, "OK").get(), e.connection_id), 0u);
            ASSERT_FALSE(m_peer.receive().empty());
        }
        std::vector<int> resent_at;
        std::vector<KZSIPEvent> reported;
        EXPECT_EQ(SecondOfReport(200, &reported, answered ? &resent_at : nullptr), answered ? 9 : 181);
        EXPECT_EQ(resent_at, answered ? std::vector<int>({2, 4, 6, 8}) : std::vector<int>());
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_EQ(reported[0].event_type, answered ? KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_REMOTE
                                                   : KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP);
        EXPECT_EQ(reported[0].connection_id, e.connection_id);
        EXPECT_TRUE(m_queue.CurrentMessage().is_invite()) << "the event carries the first request";
        EXPECT_EQ(m_stack.DialogCount(), 0u);
    }
}

// ---------------- outgoing dialogs ----------------

TEST_F(StackTest, OutgoingRequestWithoutAnswerIsResentAndReportedAtSeven) {
    Start();
    for (const char* method : {"INVITE", "REGISTER"}) {
        SCOPED_TRACE(method);
        const uint32_t conn = m_stack.NewConnectionId();
        ASSERT_EQ(Send(app_request(method, m_peer.port(), m_port).get(), conn), 0u);
        const std::string sent = m_peer.receive();
        EXPECT_EQ(sent.substr(0, sent.find("\r\n")),
                  std::string(method) + " sip:bob@127.0.0.1:" + std::to_string(m_peer.port()) + " SIP/2.0");
        EXPECT_FALSE(header(sent, "Call-ID").empty()) << "a Call-ID is generated";
        EXPECT_NE(header(sent, "From").find(";tag="), std::string::npos) << "a From tag is generated";
        EXPECT_NE(header(sent, "Via").find("branch=z9hG4bK"), std::string::npos);

        std::vector<int> resent_at;
        std::vector<KZSIPEvent> reported;
        EXPECT_EQ(SecondOfReport(8, &reported, &resent_at, sent), 7);
        EXPECT_EQ(resent_at, (std::vector<int>{2, 4, 6}));
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_EQ(reported[0].event_type, KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE);
        EXPECT_EQ(reported[0].connection_id, conn);
        EXPECT_EQ(m_stack.DialogCount(), 0u);
    }
}

// A 2xx is acknowledged on a new branch (a retransmitted 200 gets the stored ACK) and the dialog
// goes on with the next CSeq; a rejection is acknowledged on the INVITE's branch, and the dialog
// stays until reported nine seconds later.
TEST_F(StackTest, OutgoingInviteIsAcknowledgedAsItsAnswerRequires) {
    Start();
    for (const uint32_t code : {200u, 486u}) {
        SCOPED_TRACE(code);
        const uint32_t conn = m_stack.NewConnectionId();
        ASSERT_EQ(Send(app_request("INVITE", m_peer.port(), m_port).get(), conn), 0u);
        const std::string sent = m_peer.receive();
        const int cseq = std::stoi(header(sent, "CSeq"));
        const std::string answer =
            response_to(sent, static_cast<int>(code), code == 200 ? "OK" : "Busy", "r1");
        m_peer.send_to(m_port, answer);
        KZSIPEvent e{};
        ASSERT_TRUE(NextEvent(&e));
        EXPECT_EQ(e.code, code);
        EXPECT_EQ(e.connection_id, conn);
        ASSERT_EQ(Send(app_request("ACK", m_peer.port(), m_port).get(), conn), 0u);
        const std::string ack = m_peer.receive();
        EXPECT_EQ(header(ack, "CSeq"), std::to_string(cseq) + " ACK");
        EXPECT_EQ(header(ack, "Call-ID"), header(sent, "Call-ID"));
        EXPECT_NE(header(ack, "To").find("tag=r1"), std::string::npos);
        EXPECT_EQ(header(ack, "Via") == header(sent, "Via"), code != 200)
            << "only a 2xx's ACK has a new branch";
        if (code != 200) {
            EXPECT_EQ(m_stack.DialogCount(), 1u);
            std::vector<KZSIPEvent> reported;
            EXPECT_EQ(SecondOfReport(10, &reported), 9);
            ASSERT_FALSE(reported.empty());
            EXPECT_EQ(reported[0].event_type, KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_APP);
            EXPECT_EQ(m_stack.DialogCount(), 0u);
            m_peer.send_to(m_port, answer);
            EXPECT_FALSE(NextEvent(&e, 300)) << "a response that matches no dialog is not delivered";
            continue;
        }
        m_peer.send_to(m_port, answer);
        ASSERT_TRUE(NextEvent(&e));
        EXPECT_EQ(m_peer.receive(), ack);
        ASSERT_EQ(Send(app_request("BYE", m_peer.port(), m_port).get(), conn), 0u);
        const std::string bye = m_peer.receive();
        EXPECT_EQ(header(bye, "CSeq"), std::to_string(cseq + 1) + " BYE");
        m_peer.send_to(m_port, response_to(bye, 200, "OK", ""));
        ASSERT_TRUE(NextEvent(&e));
        EXPECT_EQ(m_stack.DialogCount(), 0u);
    }
}

TEST_F(StackTest, AViaWithoutParametersIsJudgedByTheFormOfItsAddressWithoutAskingTheResolver) {
    const std::pair<std::string, bool> cases[] = {
        {"127.0.0.1", true}, {"proxy.example.com", true}, {"127.0.0.1:5070", true},
        {"1.2.3", false},    {"nodots", false},
    };
    // With look-ups off, a name that needed one would be refused.
    struct NoLookups {
        NoLookups() { KZAPI::KZ_SetNameResolution(false); }
        ~NoLookups() { KZAPI::KZ_SetNameResolution(true); }
    } no_lookups;
    Start();
    int n = 0;
    for (const auto& [address, delivered] : cases) {
        SCOPED_TRACE(address);
        std::string text = request("OPTIONS", "via-form-" + std::to_string(++n), m_peer.port(), 1);
        const size_t via = text.find("Via: ");
        text.replace(via, text.find("\r\n", via) - via, "Via: SIP/2.0/UDP " + address + ";branch=z9hG4bKv");
        m_peer.send_to(m_port, text);
        KZSIPEvent e{};
        EXPECT_EQ(NextEvent(&e, delivered ? 2000 : 300), delivered);
    }
}

// ---------------- expiry by duration ----------------

TEST_F(StackTest, ConnectedInviteDialogExpiresByTheConfiguredDuration) {
    Start();
    m_stack.m_settings.max_dialog_duration = 0;
    m_peer.send_to(m_port, request("INVITE", "call-long", m_peer.port(), 1));
    KZSIPEvent e{};
    ASSERT_TRUE(NextEvent(&e));
    AnswerAndAck(e.connection_id, "call-long");

    // With the duration at 0 an INVITE dialog never expires by age.
    m_clock.Advance(100000);
    Tick();
    EXPECT_EQ(m_stack.DialogCount(), 1u);

    m_stack.m_settings.max_dialog_duration = 30;
    Tick();
    EXPECT_EQ(m_stack.DialogCount(), 0u);
}

// ---------------- transports ----------------

// The UDP transport rests between reads only while datagrams keep coming fast, and stops
// resting once they slow down or stop.
TEST(SIPReadPacer, RestsBetweenReadsOnlyWhileDatagramsKeepComingFast) {
    constexpr unsigned kRest = CSIPReadPacer::kPauseUs;
    struct Phase {
        const char* what;
        uint64_t gap_us;   // between reads
        unsigned per_read; // datagrams each read finds
        int reads;
        unsigned rest_at_end; // what the last read of the phase is told
    } const phases[] = {
        {"a caller's pace: one a millisecond", 1000, 1, 40, 0},
        {"a load test: three a millisecond", 1000, 3, 40, kRest},
        {"slowing to one every two milliseconds", 2000, 1, 20, 0},
        {"busy again", 1000, 3, 40, kRest},
        {"a read after 25 ms of silence", 25000, 1, 1, 0},
    };
    CSIPReadPacer pacer;
    uint64_t now = 5'000'000;
    for (const Phase& p : phases) {
        unsigned told = 0;
        for (int i = 0; i < p.reads; ++i)
            told = pacer.AfterRead(now += p.gap_us, p.per_read);
        EXPECT_EQ(told, p.rest_at_end) << p.what;
    }
}

TEST_F(StackTest, UdpDatagramsOfEightKilobytesOrMoreAreDropped) {
    Start();
    auto padded = [&](size_t total) {
        std::string base = request("OPTIONS", "call-big", m_peer.port(), 1);
        std::string filler = "X-Filler: " + std::string(total - base.size() - 12, 'x') + "\r\n";
        base.insert(base.find("Content-Length"), filler);
        return base;
    };
    ASSERT_EQ(padded(8192).size(), 8192u);
    m_peer.send_to(m_port, padded(8192));
    KZSIPEvent e{};
    EXPECT_FALSE(NextEvent(&e, 300));
    m_peer.send_to(m_port, padded(8191));
    ASSERT_TRUE(NextEvent(&e));
    EXPECT_EQ(e.raw_text[0], '\0') << "raw text is only copied up to 2047 bytes";
}

TEST_F(StackTest, TcpJoinsSplitMessagesSeparatesCoalescedOnesAnswersOnTheConnectionAndDropsEndlessOnes) {
    Start(KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TCP);
    kztest::TcpPeer peer(m_port);
    ASSERT_TRUE(peer.connected());
    std::string invite = request("INVITE", "call-tcp", peer.local_port(), 1);
    peer.send_bytewise(invite);
    KZSIPEvent e{};
    ASSERT_TRUE(NextEvent(&e, 5000));
    EXPECT_EQ(e.protocol, 1);
    EXPECT_EQ(std::string(e.raw_text), invite);
    const uint32_t conn = e.connection_id;

    ASSERT_EQ(Send(app_response(486, "Busy Here").get(), conn), 0u);
    EXPECT_EQ(kztest::status_line(peer.receive()), "SIP/2.0 486 Busy Here")
        << "the response goes back on the connection";

    peer.send(request("OPTIONS", "call-o1", peer.local_port(), 1) +
              request("OPTIONS", "call-o2", peer.local_port(), 1));
    ASSERT_TRUE(NextEvent(&e));
    EXPECT_EQ(m_queue.CurrentMessage().get_ie_value(KZ_IE_SIP_CALLID), "call-o1");
    ASSERT_TRUE(NextEvent(&e));
    EXPECT_EQ(m_queue.CurrentMessage().get_ie_value(KZ_IE_SIP_CALLID), "call-o2");

    // A stream that never completes a message is disconnected.
    peer.send("OPTIONS sip:x SIP/2.0\r\n" + std::string(70 * 1024, 'a'));
    EXPECT_TRUE(peer.closed_by_peer(3000));
}

TEST_F(StackTest, OutgoingTcpConnectionIsReusedInBothDirections) {
    Start(KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TCP);
    // A listening peer that counts the connections it accepts.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = kztest::loopback(0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    listen(listener, 4);
    const uint16_t peer_port = kztest::bound_port(listener);

    auto tcp_request = [&](const char* method) { return app_request(method, peer_port, m_port, 1); };
    ASSERT_EQ(Send(tcp_request("OPTIONS").get(), m_stack.NewConnectionId()), 0u);
    int conn_fd = accept(listener, nullptr, nullptr);
    ASSERT_GE(conn_fd, 0);
    ASSERT_EQ(Send(tcp_request("MESSAGE").get(), m_stack.NewConnectionId()), 0u);
    std::string got;
    char buf[8192];
    for (pollfd p{conn_fd, POLLIN, 0};
         got.find("MESSAGE sip:") == std::string::npos && poll(&p, 1, 5000) > 0;) {
        const ssize_t n = recv(conn_fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_NE(got.find("OPTIONS sip:"), std::string::npos);
    EXPECT_NE(got.find("MESSAGE sip:"), std::string::npos) << "the second request reuses the connection";
    pollfd lp{listener, POLLIN, 0};
    EXPECT_EQ(poll(&lp, 1, 100), 0) << "no second connection";

    // A request from the peer on that connection reaches the stack.
    std::string options = request("OPTIONS", "call-back", peer_port, 5);
    send(conn_fd, options.data(), options.size(), MSG_NOSIGNAL);
    KZSIPEvent e{};
    ASSERT_TRUE(NextEvent(&e));
    EXPECT_EQ(e.protocol, 1);
    close(conn_fd);
    close(listener);
}

TEST_F(StackTest, RequestAndResponseCrossTlsOnThePortAfterTheSipPort) {
    ASSERT_TRUE(kztest::TestCertificate::Shared().ok());
    Start(KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TLS);
    sip_group other; // the sender, with a queue of its own
    CSIPProcessThread other_queue(CSIPProcessThread::QUEUE_POLLED);
    const uint16_t other_port = kztest::free_port_pair();
    kztest::on_loopback(other, other_port, KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TLS);
    ASSERT_TRUE(other.StartTransports());
    other_queue.Attach(&other, nullptr);
    const uint16_t tls_port = static_cast<uint16_t>(m_port + 1);

    ASSERT_EQ(other.SendMessage(app_request("OPTIONS", tls_port, other_port, 2).get(), nullptr, 0,
                                other.NewConnectionId()),
              0u);
    KZSIPEvent e{};
    ASSERT_TRUE(NextEvent(&e, 5000));
    EXPECT_EQ(e.event_type, KZ_EVENT_SIP_MESSAGE_REQUEST);
    EXPECT_EQ(e.protocol, 2);
    EXPECT_EQ(m_queue.CurrentMessage().get_ie_value(KZ_IE_SIP_PROTOCOL), "2");
    ASSERT_EQ(Send(app_response(200, "OK").get(), e.connection_id), 0u);
    ASSERT_TRUE(kztest::wait_until([&] { return other_queue.RunOnePass(&e, false); }, 5000));
    EXPECT_EQ(e.event_type, KZ_EVENT_SIP_MESSAGE_RESPONSE);
    EXPECT_EQ(e.code, 200u);
    EXPECT_EQ(e.protocol, 2);

    // Once the sender is denied, what it sends over the open TLS connection is dropped.
    m_stack.Filter().Set("127.0.0.1", CSIPAddressFilter::DENY_LIST, 1);
    other.SendMessage(app_request("OPTIONS", tls_port, other_port, 2).get(), nullptr, 0,
                      other.NewConnectionId());
    EXPECT_FALSE(NextEvent(&e, 300));
    other_queue.Detach();
    other.StopTransports();
}

// ---------------- address filters ----------------

// Each second the first datagram refused is logged and the rest only counted.
TEST_F(StackTest, DenyListRefusesEveryTransportInBothDirectionsAndLogsOnceASecond) {
    Start(KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TCP);
    m_stack.Filter().Set("127.0.0.1", CSIPAddressFilter::DENY_LIST, 1);
    kztest::LogCapture log;
    const std::string refusal = "UDP connection 127.0.0.1:" + std::to_string(m_peer.port()) +
                                " is not allowed! Giving up a packet![OPTIONS sip:bob@127.0.0.1";
    int lines = 0;
    for (const int datagrams : {5, 1, 3}) {
        for (int i = 0; i < datagrams; ++i)
            m_peer.send_to(m_port, request("OPTIONS", "refused-" + std::to_string(i), m_peer.port(), 1));
        ++lines;
        ASSERT_TRUE(kztest::wait_until([&] { return log.CountContaining(refusal) == lines; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(log.CountContaining(refusal), lines) << datagrams << " datagrams in a second";
        // The second's sweep tells how many went untold; none was delivered.
        EXPECT_TRUE(Tick().empty());
        const std::string untold = "UDP connection 127.0.0.1 is not allowed! Gave up " +
                                   std::to_string(datagrams - 1) + " more packets";
        EXPECT_EQ(log.Contains(untold), datagrams > 1) << datagrams << " datagrams in a second";
    }

    kztest::TcpPeer peer(m_port);
    EXPECT_TRUE(peer.closed_by_peer(2000)) << "accepted connection closed";
    Send(app_request("OPTIONS", m_peer.port(), m_port).get(), m_stack.NewConnectionId());
    EXPECT_TRUE(m_peer.receive(300).empty()) << "outgoing datagram dropped";
    EXPECT_EQ(Send(app_request("OPTIONS", m_peer.port(), m_port, 1).get(), m_stack.NewConnectionId()),
              0xFFFFFFFFu)
        << "no connection to a denied address";
    m_stack.Filter().Set("127.0.0.1", CSIPAddressFilter::DENY_LIST, 0);
    m_peer.send_to(m_port, request("OPTIONS", "allowed", m_peer.port(), 1));
    KZSIPEvent e{};
    EXPECT_TRUE(NextEvent(&e)) << "taken again once the entry is deleted";
}

} // namespace
