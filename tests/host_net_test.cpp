// The host's socket-server threads over real loopback sockets: UDP, TCP and TLS servers, their
// client lists, and their start / stop life cycle.
#include "host/CTCPServerThread.h"
#include "host/CTLSServerThread.h"
#include "host/CUDPServerThread.h"

#include "support/log_capture.h"
#include "support/stream_client.h"
#include "support/test_certificate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace KZAPI;
using namespace std::chrono_literals;
using kztest::wait_until;
using RawClient = kztest::StreamClient;

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

size_t CountEntries(const char* dir) {
    size_t n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + seed + i / 251) % 26);
    return s;
}

// What f returns, read under the lock.
template <class F> auto Locked(std::mutex& mutex, F f) {
    std::lock_guard<std::mutex> l(mutex);
    return f();
}

auto& Certificate = kztest::TestCertificate::Shared;

// UDP server that records what it reads, optionally echoes it, and sends what is posted to it
// from its OnSend (the way a transport hands over its send queue).
class UdpPeer : public CUDPServerThread {
public:
    struct Datagram {
        std::string data;
        int available;
        uint16_t from_port;
    };
    explicit UdpPeer(bool echo = false, size_t read_buffer = 65536)
        : m_echo(echo), m_read_buffer(read_buffer) {}
    ~UdpPeer() override { Stop(); }

    void Post(std::string data, uint16_t port) {
        {
            std::lock_guard<std::mutex> l(m_mutex);
            m_outbox.push_back({std::move(data), port});
        }
        WakeUp();
    }
    std::vector<Datagram> Received() {
        return Locked(m_mutex, [&] { return m_received; });
    }

protected:
    void OnRead(int /*sock*/, int available) override {
        std::string buf(m_read_buffer, '\0');
        uint32_t ip = 0;
        uint16_t port = 0;
        const int n = RecvFrom(buf.data(), buf.size(), &ip, &port);
        if (n < 0) return;
        buf.resize(static_cast<size_t>(n));
        std::lock_guard<std::mutex> l(m_mutex);
        m_received.push_back({buf, available, port});
        if (m_echo) m_outbox.push_back({buf, port}); // sent from OnSend on this same pass
    }
    void OnSend() override {
        std::deque<std::pair<std::string, uint16_t>> out;
        {
            std::lock_guard<std::mutex> l(m_mutex);
            out.swap(m_outbox);
        }
        for (auto& [data, port] : out)
            SendTo(data.data(), data.size(), kLoopback, port);
    }

private:
    const bool m_echo;
    const size_t m_read_buffer;
    std::mutex m_mutex;
    std::vector<Datagram> m_received;
    std::deque<std::pair<std::string, uint16_t>> m_outbox;
};

struct StreamOptions {
    bool echo = false;
    size_t read_chunk = 65536; // at most this much per OnRead
    std::string close_on = ""; // the server closes a connection once it has read this text
    bool close_after_read = false;
};

// TCP or TLS server recording reads, accepts and closes per connection, with a send queue per
// connection drained by OnSend.
template <class Base> class StreamPeer : public Base {
public:
    template <class... Args>
    explicit StreamPeer(StreamOptions options, Args&&... args)
        : Base(std::forward<Args>(args)...), m_options(std::move(options)) {}
    ~StreamPeer() override { this->Stop(); }

    void Queue(CTCPSocket* socket, std::string data) {
        {
            std::lock_guard<std::mutex> l(m_mutex);
            m_outbox[socket].push_back(std::move(data));
        }
        this->WakeUp();
    }
    std::string ReceivedOn(CTCPSocket* socket) {
        return Locked(m_mutex, [&] { return m_received.contains(socket) ? m_received[socket] : ""; });
    }
    std::vector<CTCPSocket*> Accepted() {
        return Locked(m_mutex, [&] { return m_accepted; });
    }
    std::vector<uint16_t> AcceptedPeerPorts() {
        return Locked(m_mutex, [&] { return m_accepted_ports; });
    }
    std::vector<uint16_t> ClosedPeerPorts() {
        return Locked(m_mutex, [&] { return m_closed_ports; });
    }
    int BadCalls() {
        return Locked(m_mutex, [&] { return m_bad_calls; });
    }
    size_t Clients() {
        CMutexLock lock(this->GetClientLock());
        return this->GetClientCount();
    }

protected:
    void OnClientAccepted(CTCPSocket* s) override {
        std::lock_guard<std::mutex> l(m_mutex);
        m_accepted.push_back(s);
        m_accepted_ports.push_back(s->GetPeerPort());
    }
    void OnClientClosed(CTCPSocket* s) override {
        std::lock_guard<std::mutex> l(m_mutex);
        m_closed_ports.push_back(s->GetPeerPort());
        m_received.erase(s);
        m_outbox.erase(s);
        std::erase(m_accepted, s);
    }
    void OnRead(CTCPSocket* s, int available) override {
        std::string buf(std::min(static_cast<size_t>(available > 0 ? available : 1), m_options.read_chunk),
                        '\0');
        const int n = s->Recv(buf.data(), buf.size());
        bool close = false;
        {
            std::lock_guard<std::mutex> l(m_mutex);
            if (available <= 0 || n <= 0) { // the server only reports connections with data
                ++m_bad_calls;
                return;
            }
            buf.resize(static_cast<size_t>(n));
            std::string& all = m_received[s];
            all += buf;
            close = m_options.close_after_read ||
                    (!m_options.close_on.empty() && all.find(m_options.close_on) != std::string::npos);
            if (m_options.echo && !close) m_outbox[s].push_back(buf);
        }
        if (close)
            this->CloseClient(s);
        else if (m_options.echo)
            this->WakeUp();
    }
    void OnSend(CTCPSocket* s) override {
        std::deque<std::string> out;
        {
            std::lock_guard<std::mutex> l(m_mutex);
            auto it = m_outbox.find(s);
            if (it != m_outbox.end()) out.swap(it->second);
        }
        for (const std::string& data : out) {
            if (s->Send(data.data(), data.size()) != static_cast<int>(data.size())) {
                std::lock_guard<std::mutex> l(m_mutex);
                ++m_bad_calls;
            }
        }
    }

private:
    const StreamOptions m_options;
    std::mutex m_mutex;
    std::map<CTCPSocket*, std::string> m_received;
    std::map<CTCPSocket*, std::deque<std::string>> m_outbox;
    std::vector<CTCPSocket*> m_accepted;
    std::vector<uint16_t> m_accepted_ports;
    std::vector<uint16_t> m_closed_ports;
    int m_bad_calls = 0;
};

using TcpPeer = StreamPeer<CTCPServerThread>;

class TlsPeer : public StreamPeer<CTLSServerThread> {
public:
    explicit TlsPeer(StreamOptions options = {}, int tls_type = 3, bool with_certificate = true)
        : StreamPeer<CTLSServerThread>(std::move(options), tls_type) {
        if (with_certificate) m_cert_ok = SetSSLCertAndKeyFiles(Certificate().cert(), Certificate().key());
    }
    // Every level that adds to the object stops the thread in its own destructor, before its part
    // of the object is gone.
    ~TlsPeer() override { Stop(); }
    bool CertOk() const { return m_cert_ok; }

private:
    bool m_cert_ok = false;
};

// Lowers the descriptor limit to the lowest free descriptor number, so nothing more can be
// opened, and restores it when it goes.
class NoFreeDescriptors {
public:
    NoFreeDescriptors() {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        const int lowest_free = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        close(lowest_free);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowest_free);
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~NoFreeDescriptors() { setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

} // namespace

// ---------------- UDP ----------------

TEST(HostNetUdp, EchoBetweenTwoServersKeepsEveryDatagramOfABurst) {
    UdpPeer echo(true);
    ASSERT_TRUE(echo.OpenSocket("127.0.0.1", 0)); // opened before its thread starts
    ASSERT_TRUE(echo.Start());
    UdpPeer sender;
    ASSERT_TRUE(sender.Start());
    ASSERT_TRUE(sender.OpenSocket("127.0.0.1", 0)); // opened while its thread runs
    ASSERT_NE(echo.GetLocalPort(), 0);
    UdpPeer intruder;
    EXPECT_FALSE(intruder.OpenSocket("127.0.0.1", echo.GetLocalPort())) << "a UDP port is never shared";

    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i)
        sender.Post(std::to_string(i) + ":" + Pattern(static_cast<size_t>(i * 13 % 1400), i),
                    echo.GetLocalPort());
    ASSERT_TRUE(wait_until([&] { return sender.Received().size() == kCount; }))
        << "echoed back: " << sender.Received().size();

    const auto got = sender.Received();
    for (int i = 0; i < kCount; ++i) {
        const std::string expected = std::to_string(i) + ":" + Pattern(static_cast<size_t>(i * 13 % 1400), i);
        EXPECT_EQ(got[i].data, expected) << i;
        EXPECT_EQ(got[i].available, static_cast<int>(expected.size()));
        EXPECT_EQ(got[i].from_port, echo.GetLocalPort());
    }
}

TEST(HostNetUdp, DatagramLargerThanTheReadersBufferIsCutAndTheNextOneIsIntact) {
    UdpPeer reader(false, 256);
    ASSERT_TRUE(reader.OpenSocket("127.0.0.1", 0));
    ASSERT_TRUE(reader.Start());
    UdpPeer sender;
    ASSERT_TRUE(sender.OpenSocket("", 0));
    const std::string big = Pattern(5000, 3);
    ASSERT_EQ(sender.SendTo(big.data(), big.size(), kLoopback, reader.GetLocalPort()), 5000);
    ASSERT_EQ(sender.SendTo("", 0, kLoopback, reader.GetLocalPort()), 0);
    ASSERT_EQ(sender.SendTo("next", 4, kLoopback, reader.GetLocalPort()), 4);

    ASSERT_TRUE(wait_until([&] { return reader.Received().size() == 3; }));
    const auto got = reader.Received();
    EXPECT_EQ(got[0].available, 5000); // the whole size is reported before the read
    EXPECT_EQ(got[0].data, big.substr(0, 256));
    EXPECT_EQ(got[1].available, 0);
    EXPECT_EQ(got[1].data, "");
    EXPECT_EQ(got[2].available, 4);
    EXPECT_EQ(got[2].data, "next");
    EXPECT_EQ(got[2].from_port, sender.GetLocalPort());
}

// ---------------- TCP ----------------

TEST(HostNetTcp, AcceptsClientsAndEchoesSmallAndLargeTransfersThroughTheSendQueue) {
    TcpPeer server({.echo = true});
    ASSERT_TRUE(server.Start("127.0.0.1", 0));
    ASSERT_NE(server.GetListenPort(), 0);

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<RawClient>(server.GetListenPort()));
        ASSERT_TRUE(clients.back()->ok());
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(clients[i]->Send("REGISTER " + std::to_string(i)));
        ASSERT_TRUE(clients[i]->Send(" and more"));
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(clients[i]->Read(19), "REGISTER " + std::to_string(i) + " and more");

    EXPECT_EQ(server.Clients(), 3u);
    EXPECT_EQ(server.AcceptedPeerPorts().size(), 3u);

    // Far more than the socket buffers hold, so the server's Send has to wait for room while the
    // client is still writing.
    const std::string data = Pattern(4 << 20, 9);
    std::thread writer([&] { clients[0]->Send(data); });
    const std::string back = clients[0]->Read(data.size(), 8000);
    writer.join();
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
    EXPECT_EQ(server.BadCalls(), 0);
}

TEST(HostNetTcp, EveryWayAConnectionEndsIsReportedOnce) {
    TcpPeer server({.close_on = "QUIT"});
    ASSERT_TRUE(server.Start("127.0.0.1", 0));

    // The peer sends and closes: the data is read first, then the close is noticed.
    RawClient orderly(server.GetListenPort());
    const uint16_t orderly_port = orderly.port();
    ASSERT_TRUE(wait_until([&] { return server.Clients() == 1; }));
    ASSERT_TRUE(orderly.Send("BYE"));
    orderly.Close();
    ASSERT_TRUE(wait_until([&] { return server.ClosedPeerPorts().size() == 1; }));
    EXPECT_EQ(server.ClosedPeerPorts()[0], orderly_port);

    // The peer resets the connection.
    RawClient reset(server.GetListenPort());
    ASSERT_TRUE(wait_until([&] { return server.Clients() == 1; }));
    reset.Reset();
    ASSERT_TRUE(wait_until([&] { return server.ClosedPeerPorts().size() == 2; }));

    // The server closes from inside its own OnRead.
    RawClient quitting(server.GetListenPort());
    ASSERT_TRUE(quitting.Send("QUIT"));
    EXPECT_TRUE(quitting.ClosedByPeer());
    ASSERT_TRUE(wait_until([&] { return server.ClosedPeerPorts().size() == 3; }));

    // Stop closes what is still connected.
    RawClient remaining(server.GetListenPort());
    ASSERT_TRUE(wait_until([&] { return server.Clients() == 1; }));
    std::this_thread::sleep_for(100ms); // a few more passes: nothing may be reported twice
    EXPECT_EQ(server.ClosedPeerPorts().size(), 3u);
    server.Stop();
    EXPECT_EQ(server.ClosedPeerPorts().size(), 4u);
    EXPECT_EQ(server.Clients(), 0u);
    EXPECT_TRUE(remaining.ClosedByPeer());
    EXPECT_EQ(server.BadCalls(), 0); // OnRead was never called for a closed connection
}

TEST(HostNetTcp, ConnectAsyncNeverWaitsAndEachOutcomeIsReportedOnce) {
    CKZManualClock clock;
    TcpPeer remote({});
    ASSERT_TRUE(remote.Start("127.0.0.1", 0));
    TcpPeer local({});
    local.SetClock(&clock);
    local.SetConnectTimeout(3000);
    ASSERT_TRUE(local.Start("127.0.0.1", 0));
    kztest::FullBacklog silent;

    struct Case {
        const char* name;
        uint16_t port;
        bool connects;
        int clock_advance_s;
    };
    const Case cases[] = {{"listening", remote.GetListenPort(), true, 0},
                          {"refused", kztest::closed_port(), false, 0},
                          {"no answer until the deadline", silent.port(), false, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t closed_before = local.ClosedPeerPorts().size();
        CTCPSocket* out = nullptr;
        {
            CMutexLock lock(local.GetClientLock()); // the socket may go as soon as the lock is let go
            out = local.ConnectAsync(kLoopback, c.port);
            if (out) local.Queue(out, "early"); // waits for the connect
        }
        if (!out) { // refused at once: nothing was listed
            EXPECT_FALSE(c.connects);
            continue;
        }
        clock.Advance(c.clock_advance_s);
        if (c.connects) {
            ASSERT_TRUE(wait_until([&] {
                const auto in = remote.Accepted();
                return in.size() == 1 && remote.ReceivedOn(in[0]) == "early";
            }));
        } else {
            ASSERT_TRUE(wait_until([&] { return local.ClosedPeerPorts().size() == closed_before + 1; }));
            EXPECT_EQ(local.ClosedPeerPorts().back(), c.port);
        }
    }
    std::this_thread::sleep_for(100ms); // a few more passes: nothing is reported twice
    EXPECT_EQ(local.GetCounters().connect_failures, 2u);
    EXPECT_LE(local.ClosedPeerPorts().size(), 2u);
    EXPECT_EQ(local.Clients(), 1u);
    EXPECT_EQ(local.BadCalls(), 0);
}

TEST(HostNetTcp, OutOfDescriptorsPausesAcceptingWhileOthersAreServed) {
    TcpPeer server({.echo = true});
    ASSERT_TRUE(server.Start("127.0.0.1", 0));
    RawClient served(server.GetListenPort());
    ASSERT_TRUE(wait_until([&] { return server.Clients() == 1; }));
    kztest::LogCapture log;
    // Client sockets made before the limit comes down, connected after.
    std::vector<int> fds;
    for (int i = 0; i < 3; ++i)
        fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    {
        NoFreeDescriptors no_fds;
        EXPECT_LT(socket(AF_INET, SOCK_STREAM, 0), 0) << "the limit leaves nothing free";
        for (int fd : fds) {
            sockaddr_in a = kztest::loopback(server.GetListenPort());
            EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0) << strerror(errno);
        }
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(served.Send("ping"));
            EXPECT_EQ(served.Read(4, 1000), "ping");
        }
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(server.Clients(), 1u);
        EXPECT_EQ(log.CountAtLevel(CKZLogInterface::LOG_ERROR), 1)
            << "one line per interval, not per failure";
        for (int fd : fds)
            close(fd); // their connections stay queued on the listener
    }
    // With descriptors again the queued connections are taken once the pause ends (at most 1 s).
    RawClient late(server.GetListenPort());
    ASSERT_TRUE(late.ok());
    EXPECT_TRUE(wait_until([&] { return server.AcceptedPeerPorts().size() >= 5; }, 3000))
        << server.AcceptedPeerPorts().size();
}

// ---------------- TLS ----------------

TEST(HostNetTls, ConnectToExchangesDataBothWays) {
    ASSERT_TRUE(Certificate().ok());
    // The server reads in small pieces, so most of each TLS record stays decrypted inside
    // OpenSSL after a read and must be served without the descriptor becoming readable.
    TlsPeer server({.echo = true, .read_chunk = 700});
    ASSERT_TRUE(server.CertOk());
    ASSERT_TRUE(server.Start("127.0.0.1", 0));
    TlsPeer client;
    ASSERT_TRUE(client.Start("127.0.0.1", 0));

    CTCPSocket* out = client.ConnectTo("127.0.0.1", server.GetListenPort());
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(dynamic_cast<CSSLTCPSocket*>(out)->IsSecured());
    ASSERT_TRUE(wait_until([&] { return server.Accepted().size() == 1; }));
    CTCPSocket* in = server.Accepted()[0];

    server.Queue(in, "NOTIFY from server"); // server to client first
    ASSERT_TRUE(wait_until([&] { return client.ReceivedOn(out) == "NOTIFY from server"; }));

    const std::string big = Pattern(300000, 5);
    client.Queue(out, "INVITE");
    client.Queue(out, big);
    const std::string expected = "NOTIFY from server" + std::string("INVITE") + big;
    ASSERT_TRUE(wait_until([&] { return client.ReceivedOn(out).size() >= expected.size(); }, 5000))
        << client.ReceivedOn(out).size() << " of " << expected.size();
    EXPECT_TRUE(client.ReceivedOn(out) == expected);
    EXPECT_EQ(server.ReceivedOn(in), "INVITE" + big);
    EXPECT_EQ(server.BadCalls(), 0);
    EXPECT_EQ(client.BadCalls(), 0);
}

TEST(HostNetTls, PeersThatNeverHandshakeGoAtTheDeadlineOnTheServersClockWithoutHoldingUpOthers) {
    ASSERT_TRUE(Certificate().ok());
    CKZManualClock clock;
    TlsPeer server({.echo = true});
    server.SetClock(&clock);
    server.SetHandshakeTimeout(3000);
    ASSERT_TRUE(server.Start("127.0.0.1", 0));
    TlsPeer client;
    ASSERT_TRUE(client.Start("127.0.0.1", 0));
    CTCPSocket* out = client.ConnectTo("127.0.0.1", server.GetListenPort());
    ASSERT_NE(out, nullptr);
    client.Queue(out, "one");
    ASSERT_TRUE(wait_until([&] { return client.ReceivedOn(out) == "one"; }));

    RawClient garbage(server.GetListenPort()); // speaks something else: fails at once
    ASSERT_TRUE(garbage.Send("OPTIONS sip:a@b SIP/2.0\r\n\r\n"));
    EXPECT_TRUE(garbage.ClosedByPeer(1000));
    RawClient silent(server.GetListenPort());  // connects and never says a word
    RawClient stalled(server.GetListenPort()); // stops inside its ClientHello
    ASSERT_TRUE(stalled.Send(kztest::half_client_hello()));
    ASSERT_TRUE(wait_until([&] { return server.Clients() == 3; })); // listed while they handshake
    client.Queue(out, "two"); // served while the silent one's deadline is far off
    ASSERT_TRUE(wait_until([&] { return client.ReceivedOn(out) == "onetwo"; }, 1000));

    EXPECT_FALSE(silent.ClosedByPeer(200)) << "real time does not count";
    clock.Advance(2);
    EXPECT_FALSE(silent.ClosedByPeer(200));
    clock.Advance(2);
    EXPECT_TRUE(silent.ClosedByPeer(1000));
    EXPECT_TRUE(stalled.ClosedByPeer(1000));
    EXPECT_EQ(server.GetCounters().handshake_timeouts, 2u);
    EXPECT_EQ(server.Accepted().size(), 1u);       // neither failed peer was ever listed
    EXPECT_TRUE(server.ClosedPeerPorts().empty()); // never announced, so never reported closed
    EXPECT_EQ(server.Clients(), 1u);
}

TEST(HostNetTls, FailedConnectToLeavesNothingBehind) {
    ASSERT_TRUE(Certificate().ok());
    TlsPeer server;
    ASSERT_TRUE(server.Start("127.0.0.1", 0));

    TlsPeer client;
    ASSERT_TRUE(client.Start("127.0.0.1", 0));
    EXPECT_EQ(client.ConnectTo("127.0.0.1", kztest::closed_port()), nullptr);
    EXPECT_EQ(client.ConnectTo("", server.GetListenPort()), nullptr);

    // A plain TCP server that hangs up on the ClientHello.
    TcpPeer plain({.close_after_read = true});
    ASSERT_TRUE(plain.Start("127.0.0.1", 0));
    EXPECT_EQ(client.ConnectTo("127.0.0.1", plain.GetListenPort()), nullptr);

    // Type 2 verifies the server's chain, and a self-signed certificate is not in the trust store;
    // type 4 (TLS 1.3 only, verified) fails the same way; type 0 (anything from TLS 1.0) connects.
    for (const auto& [type, connects] : {std::pair{2, false}, {4, false}, {0, true}}) {
        TlsPeer peer({}, type, false);
        ASSERT_TRUE(peer.Start("127.0.0.1", 0));
        EXPECT_EQ(peer.ConnectTo("127.0.0.1", server.GetListenPort()) != nullptr, connects) << type;
        EXPECT_EQ(peer.Clients(), connects ? 1u : 0u) << type;
        if (connects) {
            EXPECT_TRUE(wait_until([&] { return server.Clients() == 1; })) << "the failed ones unlisted";
        }
    }
    EXPECT_EQ(client.Clients(), 0u);
}

// ---------------- life cycle ----------------

TEST(HostNetLifecycle, StopStartCyclesLeaveNoThreadsOrDescriptors) {
    ASSERT_TRUE(Certificate().ok());
    auto cycle = [] {
        UdpPeer echo(true);
        ASSERT_TRUE(echo.Start());
        ASSERT_TRUE(echo.OpenSocket("127.0.0.1", 0));
        UdpPeer sender;
        ASSERT_TRUE(sender.OpenSocket("127.0.0.1", 0));
        ASSERT_TRUE(sender.Start());
        sender.Post("ping", echo.GetLocalPort());
        ASSERT_TRUE(wait_until([&] { return sender.Received().size() == 1; }));

        // One TCP server object stopped with a client connected, then started again.
        TcpPeer tcp({.echo = true});
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(tcp.Start("127.0.0.1", 0));
            RawClient c(tcp.GetListenPort());
            ASSERT_TRUE(c.Send("x"));
            ASSERT_EQ(c.Read(1), "x");
            tcp.Stop();
            EXPECT_TRUE(c.ClosedByPeer());
        }

        // TLS servers destroyed with their connections open.
        TlsPeer server({.echo = true});
        ASSERT_TRUE(server.Start("127.0.0.1", 0));
        TlsPeer client;
        ASSERT_TRUE(client.Start("127.0.0.1", 0));
        CTCPSocket* out = client.ConnectTo("127.0.0.1", server.GetListenPort());
        ASSERT_NE(out, nullptr);
        client.Queue(out, "y");
        ASSERT_TRUE(wait_until([&] { return client.ReceivedOn(out) == "y"; }));
    };

    cycle(); // OpenSSL sets itself up on first use
    const size_t fds = CountEntries("/proc/self/fd");
    const size_t threads = CountEntries("/proc/self/task");
    for (int i = 0; i < 3; ++i)
        cycle();
    // A joined thread may linger in the task list for a moment after join returns.
    EXPECT_TRUE(wait_until([&] { return CountEntries("/proc/self/task") == threads; }, 1000))
        << CountEntries("/proc/self/task") << " threads, " << threads << " before";
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
}
