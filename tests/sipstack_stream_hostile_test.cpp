// The stack's transports under hostile load, over real loopback sockets: destinations that never answer, slow
// and idle connections and connection floods. Time-outs run on the stack's injected clock.
#include "host/CKZClock.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/CSIPTransports.h"
#include "sipstack/sip_group.h"
#include "support/loopback_stack.h"
#include "support/port_holder.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/stream_client.h"
#include "support/test_certificate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using kztest::raise_descriptor_limit;
using kztest::StreamClient;
using kztest::wait_until;
using ClientList = std::vector<std::unique_ptr<StreamClient>>;

// A stack on 127.0.0.1 with UDP, TCP and TLS (on the next port), its clock held by the test,
// answering every OPTIONS with 200 from its own process thread.
class HostileStreams : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kztest::TestCertificate::Shared().ok());
        m_port = kztest::free_port_pair();
        ASSERT_NE(m_port, 0);
        kztest::on_loopback(m_stack, m_port,
                            KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TCP | KZ_SIP_TRANSPORT_TLS);
        m_stack.SetClock(&m_clock);
        ASSERT_TRUE(m_stack.StartTransports());
        m_queue.Attach(&m_stack, this);
        m_queue.SetEventHandler(&AnswerOptions);
        ASSERT_TRUE(m_queue.StartThread());
    }
    void TearDown() override {
        m_queue.StopThread();
        m_queue.Detach();
        m_stack.StopTransports();
    }

    static void AnswerOptions(KZSIPEvent* e) {
        if (e->event_type != KZ_EVENT_SIP_MESSAGE_REQUEST || e->code != KZ_SIP_MSG_OPTIONS) return;
        auto* self = static_cast<HostileStreams*>(e->user_data);
        self->m_stack.SendMessage(kztest::app_response().get(), nullptr, 0, e->connection_id);
    }

    std::string Options(uint16_t from_port, const std::string& call_id) const {
        return kztest::sip_request("OPTIONS", from_port, m_port, "", call_id);
    }
    // Round trip of an OPTIONS over UDP: the 200's status line, or "".
    std::string UdpOptions(const std::string& call_id) const {
        m_udp.send_to(m_port, Options(m_udp.port(), call_id));
        return kztest::status_line(m_udp.receive(2000));
    }
    static size_t Clients(KZAPI::CTCPServerThread* server) {
        KZAPI::CMutexLock lock(server->GetClientLock());
        return server->GetClientCount();
    }
    CSIPStreamTransport* Stream(int protocol) const {
        return protocol == 1 ? static_cast<CSIPStreamTransport*>(m_stack.TcpTransport())
                             : static_cast<CSIPStreamTransport*>(m_stack.TlsTransport());
    }
    KZAPI::CTCPServerThread* Server(int protocol) const {
        return protocol == 1 ? static_cast<KZAPI::CTCPServerThread*>(m_stack.TcpTransport())
                             : static_cast<KZAPI::CTCPServerThread*>(m_stack.TlsTransport());
    }

    KZAPI::CKZManualClock m_clock{1000000};
    sip_group m_stack;
    CSIPProcessThread m_queue{CSIPProcessThread::QUEUE_THREADED};
    uint16_t m_port = 0;
    kztest::UdpPeer m_udp;
};

// Each stream transport: 1 TCP, 2 TLS.
class StreamProtocol : public HostileStreams, public ::testing::WithParamInterface<int> {};

// A destination that never answers: a TCP listener whose backlog is full (the SYN is dropped),
// or one that accepts but never speaks TLS.
TEST_P(StreamProtocol, SendToADeadDestinationReturnsAtOnceAndTheBlockIsReportedAtTheDeadline) {
    const int protocol = GetParam();
    const kztest::FullBacklog tcp_dead;             // later SYNs are dropped
    const kztest::PortHolder tls_dead(SOCK_STREAM); // accepts but never speaks TLS
    const uint16_t dead_port = protocol == 1 ? tcp_dead.port() : tls_dead.Port();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(m_stack.SendMessage(kztest::app_request("OPTIONS", dead_port, 5060, protocol).get(),
                                      nullptr, 0, m_stack.NewConnectionId()),
                  0u);
    }
    EXPECT_EQ(UdpOptions("beside-dead-" + std::to_string(protocol)), "SIP/2.0 200 OK");
    EXPECT_EQ(Clients(Server(protocol)), 1u) << "the second message waits on the connection being opened";
    EXPECT_EQ(Stream(protocol)->GetStreamCounters().undelivered, 0u);

    m_clock.Advance(4); // past the connect / handshake deadline
    const auto failures = [&] {
        const auto c = Stream(protocol)->GetStreamCounters().connections;
        return protocol == 1 ? c.connect_failures : c.handshake_timeouts;
    };
    ASSERT_TRUE(wait_until([&] { return failures() == 1; }));
    // Both blocks come back (a re-send of the stack's may have joined them on the failed connection).
    ASSERT_TRUE(wait_until([&] { return Stream(protocol)->GetStreamCounters().undelivered >= 2; }));
}

TEST_F(HostileStreams, SlowConnectionsAreClosedByTheIdleTimeOutWhileABusyOneStays) {
    if (raise_descriptor_limit() < 1200) GTEST_SKIP() << "needs about 1200 descriptors";
    ClientList slow;
    for (int i = 0; i < 500; ++i) {
        slow.push_back(std::make_unique<StreamClient>(m_port));
        ASSERT_TRUE(slow.back()->ok());
        slow.back()->Send("OPTIONS sip:service@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:");
    }
    StreamClient busy(m_port);
    EXPECT_EQ(busy.Exchange(Options(busy.port(), "busy-1")), "SIP/2.0 200 OK");
    ASSERT_TRUE(wait_until([&] { return Clients(Server(1)) == 501; }));

    m_clock.Advance(20);
    EXPECT_EQ(busy.Exchange(Options(busy.port(), "busy-2")), "SIP/2.0 200 OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Clients(Server(1)), 501u) << "nothing is idle for 32 s yet";
    for (auto& client : slow) // a trickle of bytes keeps nothing alive
        client->Send("Max-Forwards: 70\r\n");
    m_clock.Advance(13);

    ASSERT_TRUE(wait_until([&] { return Clients(Server(1)) == 1; }));
    EXPECT_EQ(Stream(1)->GetStreamCounters().connections.idle_closed, 500u);
    KZ_SIPStackStats stats{};
    m_stack.GetStats(&stats);
    EXPECT_EQ(stats.stream_idle_closes, 500u);
    int closed = 0;
    for (auto& client : slow)
        closed += client->ClosedByPeer(1000);
    EXPECT_EQ(closed, 500);
    EXPECT_EQ(busy.Exchange(Options(busy.port(), "busy-3")), "SIP/2.0 200 OK");

    // Between messages a connection that speaks SIP rests for the connection lifetime instead.
    m_clock.Advance(40);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Clients(Server(1)), 1u);
    m_clock.Advance(m_stack.Settings().stream_lifetime_s);
    EXPECT_TRUE(busy.ClosedByPeer(2000));
}

TEST_F(HostileStreams, ConnectionsOverThePerAddressLimitAreRefusedOthersStillConnect) {
    const unsigned limit = m_stack.Settings().max_connections_per_address;
    if (raise_descriptor_limit() < 2 * limit + 200)
        GTEST_SKIP() << "the descriptor hard limit is below " << 2 * limit + 200;
    ClientList conns;
    for (unsigned i = 0; i < limit; ++i) {
        conns.push_back(std::make_unique<StreamClient>(m_port));
        ASSERT_TRUE(conns.back()->ok());
    }
    ASSERT_TRUE(wait_until([&] { return Clients(Server(1)) == limit; }));

    StreamClient over(m_port);
    ASSERT_TRUE(over.ok());
    EXPECT_TRUE(over.ClosedByPeer(2000));
    EXPECT_EQ(Stream(1)->GetStreamCounters().connections.refused_per_address, 1u);

    StreamClient other(m_port, false, "127.0.0.2");
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other.Exchange(Options(other.port(), "from-127-0-0-2")), "SIP/2.0 200 OK");
    EXPECT_EQ(Clients(Server(1)), limit + 1);
}

// A peer that takes a large message very slowly holds up nobody else, and still gets all of it.
TEST_P(StreamProtocol, NonReadingPeerStallsNoOtherConnectionAndGetsItsMessageWhole) {
    const int protocol = GetParam();
    const uint16_t port = protocol == 1 ? m_port : static_cast<uint16_t>(m_port + 1);
    StreamClient slow(port, protocol == 2, "127.0.0.1", 4096);
    ASSERT_TRUE(slow.ok());
    ASSERT_EQ(slow.Exchange(Options(slow.port(), "slow-reader")), "SIP/2.0 200 OK");
    std::string big(16u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + (i * 7 + i / 4099) % 26);
    ASSERT_EQ(
        m_stack.SendExternalMessage(big.data(), big.size(), "127.0.0.1", slow.port(), protocol, nullptr), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the transport has filled the pipe

    StreamClient other(port, protocol == 2);
    EXPECT_EQ(other.Exchange(Options(other.port(), "beside-slow-reader")), "SIP/2.0 200 OK");

    EXPECT_TRUE(slow.Read(big.size(), 20000) == big);
    EXPECT_EQ(Stream(protocol)->GetStreamCounters().undelivered, 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamProtocol, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 1 ? "TCP" : "TLS"; });

} // namespace
