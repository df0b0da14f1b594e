// The stack's transports under hostile load, over real loopback sockets: held TLS handshakes,
// destinations that never answer, slow and idle connections, connection floods, and a second
// stack on a port already taken. Time-outs run on the stack's injected clock.
#include "host/CKZClock.h"
#include "host/KZStrFunc.h"
#include "include/kzsipapi.h"
#include "sipmsg/kz_sip_result.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/CSIPTransports.h"
#include "sipstack/sip_group.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/test_certificate.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms = 3000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Raises the descriptor limit as far as allowed; returns the limit now in force.
rlim_t RaiseDescriptorLimit() {
    rlimit l{};
    getrlimit(RLIMIT_NOFILE, &l);
    l.rlim_cur = l.rlim_max;
    setrlimit(RLIMIT_NOFILE, &l);
    getrlimit(RLIMIT_NOFILE, &l);
    return l.rlim_cur;
}

sockaddr_in Loopback(uint16_t port, const char* ip = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// The first half of a real ClientHello: a peer that stalls inside its handshake.
std::string HalfClientHello() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(ctx);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_set_connect_state(ssl);
    SSL_do_handshake(ssl);
    char buf[4096];
    const int n = BIO_read(out, buf, sizeof(buf));
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return n > 0 ? std::string(buf, static_cast<size_t>(n / 2)) : "";
}

// One client connection, plain or TLS, with bounded blocking I/O.
class StreamClient {
public:
    explicit StreamClient(uint16_t port, bool tls = false, int receive_buffer = 0,
                          const char* from_ip = "127.0.0.1") {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from = Loopback(0, from_ip);
        bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof(from));
        if (receive_buffer) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
        timeval tv{2, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        sockaddr_in to = Loopback(port);
        m_ok = connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
        if (!m_ok || !tls) return;
        m_ctx = SSL_CTX_new(TLS_client_method());
        m_ssl = SSL_new(m_ctx);
        SSL_set_fd(m_ssl, m_fd);
        m_ok = SSL_connect(m_ssl) == 1;
    }
    ~StreamClient() {
        SSL_free(m_ssl);
        SSL_CTX_free(m_ctx);
        close(m_fd);
    }
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    bool ok() const { return m_ok; }
    uint16_t port() const { return kztest::bound_port(m_fd); }
    void Send(const std::string& text) {
        if (m_ssl)
            SSL_write(m_ssl, text.data(), static_cast<int>(text.size()));
        else
            send(m_fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
    // Reads until `until` appears or n bytes have come, the stream ends or the time is up.
    std::string Read(size_t n, int timeout_ms = 2000, const std::string& until = "") {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::vector<char> buf(1 << 16);
        while (got.size() < n && (until.empty() || got.find(until) == std::string::npos) &&
               Clock::now() < deadline) {
            const int r = m_ssl ? SSL_read(m_ssl, buf.data(), static_cast<int>(buf.size()))
                                : static_cast<int>(recv(m_fd, buf.data(), buf.size(), 0));
            if (r <= 0) break;
            got.append(buf.data(), static_cast<size_t>(r));
        }
        return got;
    }
    // True when the other end has closed the connection within timeout_ms.
    bool ClosedByPeer(int timeout_ms) const {
        pollfd p{m_fd, POLLIN, 0};
        char c;
        return poll(&p, 1, timeout_ms) > 0 && recv(m_fd, &c, 1, MSG_DONTWAIT) <= 0;
    }
    // Sends text and returns the status line of the response.
    std::string Exchange(const std::string& text) {
        Send(text);
        return kztest::status_line(Read(1 << 16, 2000, "\r\n\r\n"));
    }

private:
    int m_fd = -1;
    bool m_ok = false;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
};

using ClientList = std::vector<std::unique_ptr<StreamClient>>;

// An OPTIONS from the application to 127.0.0.1:to_port over the protocol.
std::unique_ptr<sip_msg> AppOptions(uint16_t to_port, int protocol) {
    auto m = std::make_unique<sip_msg>();
    const std::string uri = "sip:bob@127.0.0.1:" + std::to_string(to_port);
    m->add_ie(KZ_IE_SIP_REQUEST_LINE_METHOD, 0, "OPTIONS");
    m->add_ie(KZ_IE_SIP_REQUEST_LINE_URI, 0, uri.c_str());
    m->add_ie(KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, "SIP/2.0");
    m->add_ie(KZ_IE_SIP_VIA_PROTOCOL, 0, protocol == 1 ? "SIP/2.0/TCP" : "SIP/2.0/TLS");
    m->add_ie(KZ_IE_SIP_VIA_ADDRESS, 0, "127.0.0.1:5060");
    m->add_ie(KZ_IE_SIP_FROM, 0, "<sip:alice@127.0.0.1>");
    m->add_ie(KZ_IE_SIP_TO, 0, ("<" + uri + ">").c_str());
    m->add_ie(KZ_IE_SIP_MAX_FORWARDS, 0, "70");
    m->set_prot(protocol);
    return m;
}

std::unique_ptr<sip_msg> Response200() {
    auto m = std::make_unique<sip_msg>();
    m->add_ie(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, 0, "SIP/2.0");
    m->add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, "200");
    m->add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "OK");
    return m;
}

// A stack on 127.0.0.1 with UDP, TCP and TLS (on the next port), its clock held by the test,
// answering every OPTIONS with 200 from its own process thread.
class HostileStreams : public ::testing::Test {
protected:
    void SetUp() override {
        const auto& cert = kztest::TestCertificate::Shared();
        ASSERT_TRUE(cert.ok());
        m_port = kztest::free_port_pair();
        ASSERT_NE(m_port, 0);
        KZAPI::str_cpy(m_stack.m_config.local_address, "127.0.0.1", sizeof(m_stack.m_config.local_address));
        m_stack.m_config.sip_port = m_port;
        m_stack.m_config.transport_mask = KZ_SIP_TRANSPORT_UDP | KZ_SIP_TRANSPORT_TCP | KZ_SIP_TRANSPORT_TLS;
        KZAPI::str_cpy(m_stack.m_settings.cert_file, cert.cert(), CSIPStackSettings::kFilePathSize);
        KZAPI::str_cpy(m_stack.m_settings.key_file, cert.key(), CSIPStackSettings::kFilePathSize);
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
        self->m_stack.SendMessage(Response200().get(), nullptr, 0, e->connection_id);
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

TEST_F(HostileStreams, TlsClientIsServedWhileHundredsOfHandshakesAreHeld) {
    if (RaiseDescriptorLimit() < 1200) GTEST_SKIP() << "needs about 1200 descriptors";
    const uint16_t tls_port = static_cast<uint16_t>(m_port + 1);
    const std::string half_hello = HalfClientHello();
    ASSERT_FALSE(half_hello.empty());
    ClientList held; // half silent, half stopped inside their ClientHello
    for (int i = 0; i < 400; ++i) {
        held.push_back(std::make_unique<StreamClient>(tls_port));
        ASSERT_TRUE(held.back()->ok());
        if (i % 2) held.back()->Send(half_hello);
    }
    ASSERT_TRUE(WaitUntil([&] { return Clients(Server(2)) == 400; }));

    const auto start = Clock::now();
    StreamClient client(tls_port, true);
    EXPECT_TRUE(client.ok());
    const std::string status = client.Exchange(Options(client.port(), "tls-through-held"));
    const double ms = MsSince(start);
    printf("TLS handshake and OPTIONS answered in %.1f ms with 400 handshakes held\n", ms);
    EXPECT_EQ(status, "SIP/2.0 200 OK");
    EXPECT_LT(ms, 1000.0);

    // The held ones go at their deadline, each counted; the client that got through stays.
    m_clock.Advance(4);
    ASSERT_TRUE(WaitUntil([&] { return Clients(Server(2)) == 1; }));
    EXPECT_EQ(Stream(2)->GetStreamCounters().connections.handshake_timeouts, 400u);
}

// A destination that never answers: a TCP listener whose backlog is full (the SYN is dropped),
// or one that accepts but never speaks TLS.
struct DeadEnd {
    int protocol;
    const char* name;
};

class DeadDestinations : public HostileStreams, public ::testing::WithParamInterface<DeadEnd> {};

TEST_P(DeadDestinations, SendReturnsAtOnceAndTheBlockIsReportedAtTheDeadline) {
    const int protocol = GetParam().protocol;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof(a);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t dead_port = ntohs(a.sin_port);
    std::vector<int> fillers;
    if (protocol == 1) {
        for (int i = 0; i < 4; ++i) { // fills the accept queue, so later SYNs are dropped
            fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            connect(fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    const auto start = Clock::now();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(
            m_stack.SendMessage(AppOptions(dead_port, protocol).get(), nullptr, 0, m_stack.NewConnectionId()),
            0u);
    }
    const double send_ms = MsSince(start);
    const auto udp_start = Clock::now();
    EXPECT_EQ(UdpOptions(std::string("beside-dead-") + GetParam().name), "SIP/2.0 200 OK");
    const double udp_ms = MsSince(udp_start);
    printf("%s: two sends took %.2f ms; a UDP OPTIONS was answered %.2f ms later\n", GetParam().name, send_ms,
           udp_ms);
    EXPECT_LT(send_ms, 200.0);
    EXPECT_LT(udp_ms, 500.0);
    EXPECT_EQ(Clients(Server(protocol)), 1u) << "the second message waits on the connection being opened";
    EXPECT_EQ(Stream(protocol)->GetStreamCounters().undelivered, 0u);

    m_clock.Advance(4); // past the connect / handshake deadline
    const auto failures = [&] {
        const auto c = Stream(protocol)->GetStreamCounters().connections;
        return protocol == 1 ? c.connect_failures : c.handshake_timeouts;
    };
    ASSERT_TRUE(WaitUntil([&] { return failures() == 1; }));
    // Both blocks come back (a re-send of the stack's may have joined them on the failed connection).
    ASSERT_TRUE(WaitUntil([&] { return Stream(protocol)->GetStreamCounters().undelivered >= 2; }));
    for (int fd : fillers)
        close(fd);
    close(listener);
}

INSTANTIATE_TEST_SUITE_P(Streams, DeadDestinations, ::testing::Values(DeadEnd{1, "TCP"}, DeadEnd{2, "TLS"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileStreams, SlowConnectionsAreClosedByTheIdleTimeOutWhileABusyOneStays) {
    if (RaiseDescriptorLimit() < 1200) GTEST_SKIP() << "needs about 1200 descriptors";
    ClientList slow;
    for (int i = 0; i < 500; ++i) {
        slow.push_back(std::make_unique<StreamClient>(m_port));
        ASSERT_TRUE(slow.back()->ok());
        slow.back()->Send("OPTIONS sip:service@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:");
    }
    StreamClient busy(m_port);
    EXPECT_EQ(busy.Exchange(Options(busy.port(), "busy-1")), "SIP/2.0 200 OK");
    ASSERT_TRUE(WaitUntil([&] { return Clients(Server(1)) == 501; }));

    m_clock.Advance(20);
    EXPECT_EQ(busy.Exchange(Options(busy.port(), "busy-2")), "SIP/2.0 200 OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Clients(Server(1)), 501u) << "nothing is idle for 32 s yet";
    for (auto& client : slow) // a trickle of bytes keeps nothing alive
        client->Send("Max-Forwards: 70\r\n");
    m_clock.Advance(13);

    ASSERT_TRUE(WaitUntil([&] { return Clients(Server(1)) == 1; }));
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
    if (RaiseDescriptorLimit() < 2 * limit + 200)
        GTEST_SKIP() << "the descriptor hard limit is below " << 2 * limit + 200;
    ClientList conns;
    for (unsigned i = 0; i < limit; ++i) {
        conns.push_back(std::make_unique<StreamClient>(m_port));
        ASSERT_TRUE(conns.back()->ok());
    }
    ASSERT_TRUE(WaitUntil([&] { return Clients(Server(1)) == limit; }));

    StreamClient over(m_port);
    ASSERT_TRUE(over.ok());
    EXPECT_TRUE(over.ClosedByPeer(2000));
    EXPECT_EQ(Stream(1)->GetStreamCounters().connections.refused_per_address, 1u);

    StreamClient other(m_port, false, 0, "127.0.0.2");
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other.Exchange(Options(other.port(), "from-127-0-0-2")), "SIP/2.0 200 OK");
    EXPECT_EQ(Clients(Server(1)), limit + 1);
}

// A peer that takes a large message very slowly holds up nobody else, and still gets all of it.
class NonReadingPeer : public HostileStreams, public ::testing::WithParamInterface<int> {};

TEST_P(NonReadingPeer, StallsNoOtherConnectionAndGetsItsMessageWhole) {
    const int protocol = GetParam();
    const uint16_t port = protocol == 1 ? m_port : static_cast<uint16_t>(m_port + 1);
    StreamClient slow(port, protocol == 2, 4096);
    ASSERT_TRUE(slow.ok());
    ASSERT_EQ(slow.Exchange(Options(slow.port(), "slow-reader")), "SIP/2.0 200 OK");
    std::string big(16u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + (i * 7 + i / 4099) % 26);
    ASSERT_EQ(
        m_stack.SendExternalMessage(big.data(), big.size(), "127.0.0.1", slow.port(), protocol, nullptr), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the transport has filled the pipe

    const auto start = Clock::now();
    StreamClient other(port, protocol == 2);
    EXPECT_EQ(other.Exchange(Options(other.port(), "beside-slow-reader")), "SIP/2.0 200 OK");
    const double ms = MsSince(start);
    printf("protocol %d: another connection answered in %.1f ms while a peer reads nothing\n", protocol, ms);
    EXPECT_LT(ms, 1000.0);

    EXPECT_TRUE(slow.Read(big.size(), 20000) == big);
    EXPECT_EQ(Stream(protocol)->GetStreamCounters().undelivered, 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, NonReadingPeer, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 1 ? "TCP" : "TLS"; });

struct PortClash {
    int32_t mask;
    const char* name;
};

class SecondStack : public HostileStreams, public ::testing::WithParamInterface<PortClash> {};

TEST_P(SecondStack, OnAPortInUseFailsToStart) {
    void* second = nullptr;
    ASSERT_EQ(KZ_SIP_Open(&second), 0u);
    KZ_SIPProtocolConfig config{};
    KZAPI::str_cpy(config.local_address, "127.0.0.1", sizeof(config.local_address));
    config.sip_port = m_port;
    config.transport_mask = GetParam().mask;
    KZ_SIP_SetConfig(second, &config);
    EXPECT_EQ(KZ_SIP_Start(second), static_cast<uint32_t>(KZ_SIP_RESULT_FAILURE));
    KZ_SIP_Stop(second);
    KZ_SIP_Close(second);
    EXPECT_EQ(UdpOptions(std::string("still-mine-") + GetParam().name), "SIP/2.0 200 OK")
        << "the first stack keeps its port";
}

INSTANTIATE_TEST_SUITE_P(Transports, SecondStack,
                         ::testing::Values(PortClash{KZ_SIP_TRANSPORT_UDP, "UDP"},
                                           PortClash{KZ_SIP_TRANSPORT_TCP, "TCP"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
