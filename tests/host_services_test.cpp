// Host services over real loopback sockets and threads: port probes, the UDP relay, text sealing
// for nonces and DNS SRV look-ups against a small name server run by the test.
#include "host/CBaseDNSClient.h"
#include "host/CBaseSocket.h"
#include "host/KZRange.h"
#include "host/KZSimpleCrypt.h"
#include "host/KZUDPRelay.h"

#include "support/stream_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace KZAPI;
using Bytes = std::vector<uint8_t>;

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A UDP party on 127.0.0.1 with its own port.
class Party {
public:
    Party() { m_socket.OpenUDP(kLoopback, 0); }
    uint16_t Port() const { return m_socket.GetLocalPort(); }
    void Send(uint16_t to_port, const Bytes& data) {
        m_socket.SendTo(data.data(), data.size(), kLoopback, to_port);
    }
    // The next datagram within the time, with the port it came from; empty when none came.
    Bytes Receive(uint16_t* from_port = nullptr, int timeout_ms = 2000) {
        if (m_socket.WaitReadable(timeout_ms) != 1) return {};
        Bytes data(2048);
        const int n = m_socket.RecvFrom(data.data(), data.size(), nullptr, from_port);
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return data;
    }

private:
    CBaseSocket m_socket;
};

Bytes RTPPacket(uint8_t payload_type, uint32_t ssrc, uint8_t fill = 0x55) {
    Bytes p = {0x80, payload_type, 0x12, 0x34, 0, 0, 0x0f, 0xa0};
    for (int i = 0; i < 4; ++i)
        p.push_back(static_cast<uint8_t>(ssrc >> (24 - 8 * i)));
    p.insert(p.end(), 20, fill);
    return p;
}

uint32_t SSRCOf(const Bytes& p) {
    return p.size() < 12 ? 0 : (uint32_t{p[8]} << 24 | uint32_t{p[9]} << 16 | uint32_t{p[10]} << 8 | p[11]);
}

// ---- Port probes and the port range ----

// The UDP probe is seen at work in the server's start (a bound port is busy) and the relay's close
// (the port is free again); a TCP port has one more case: a finished connection lingering on it.
TEST(HostPortProbe, TCPPortIsBusyWhileListenedOnButNotForLingeringConnections) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)); // as servers do
    sockaddr_in a = kztest::loopback(0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    const uint16_t port = kztest::bound_port(listener);
    a = kztest::loopback(port);
    EXPECT_FALSE(CBaseSocket::IsTCPPortFree(port, "127.0.0.1"));
    EXPECT_FALSE(CBaseSocket::IsTCPPortFree(port, ""));

    // The server side closes first, so its end of the connection lingers in TIME_WAIT on the port.
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    const int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    close(accepted);
    close(listener);
    char c;
    EXPECT_EQ(recv(client, &c, 1, 0), 0); // the server's FIN
    close(client);
    EXPECT_TRUE(CBaseSocket::IsTCPPortFree(port, "127.0.0.1"));
}

static_assert(KZRange(28400, 28499).Size() == 100 && KZRange(28400, 28499).Contains(28499) &&
              !KZRange(28400, 28499).Contains(28500) && KZRange(5, 4).IsEmpty());

// ---- Sealed texts ----

const char kKey1[] = "k3y-0ne!abcdefghi";
const char kKey2[] = "Key_two#123456789";

TEST(HostSimpleCrypt, SealedTimeOpensWithTheSameKeysOnlyAndNotOnceAltered) {
    const std::string sealed = KZ_SimpleEncrypt("1718000000", kKey1, kKey2);
    ASSERT_FALSE(sealed.empty());
    EXPECT_EQ(sealed.find_first_not_of("0123456789abcdef"), std::string::npos); // fits a nonce
    EXPECT_EQ(KZ_SimpleDecrypt(sealed.c_str(), kKey1, kKey2), "1718000000");
    EXPECT_NE(KZ_SimpleEncrypt("1718000000", kKey1, kKey2), sealed); // fresh salt every time
    EXPECT_EQ(KZ_SimpleDecrypt(sealed.c_str(), kKey2, kKey1), "");
    EXPECT_EQ(KZ_SimpleDecrypt(sealed.c_str(), "k3y-0ne!abcdefgh", "iKey_two#123456789"), "");
    for (size_t i = 0; i < sealed.size(); ++i) {
        std::string altered = sealed;
        altered[i] = altered[i] == '0' ? '1' : '0';
        EXPECT_EQ(KZ_SimpleDecrypt(altered.c_str(), kKey1, kKey2), "") << "digit " << i;
    }
    EXPECT_EQ(KZ_SimpleDecrypt(sealed.substr(0, sealed.size() - 2).c_str(), kKey1, kKey2), "");
    EXPECT_EQ(KZ_SimpleDecrypt("1718000000", kKey1, kKey2), "");
    EXPECT_EQ(KZ_SimpleDecrypt(nullptr, kKey1, kKey2), "");
    const std::string longer(70, 'x'); // more than one keystream block
    EXPECT_EQ(KZ_SimpleDecrypt(KZ_SimpleEncrypt(longer.c_str(), kKey1, kKey2).c_str(), kKey1, kKey2), longer);
}

// ---- UDP relay ----

struct SinkRecord {
    std::mutex lock;
    std::vector<std::pair<CKZChannel*, Bytes>> packets;
    std::string from; // address:port
};

SinkRecord& HandedOver() {
    static SinkRecord record;
    return record;
}

void RecordPacket(CKZChannel* channel, const void* data, int length, const char* address, uint16_t port) {
    std::lock_guard<std::mutex> guard(HandedOver().lock);
    const auto* p = static_cast<const uint8_t*>(data);
    HandedOver().packets.emplace_back(channel, Bytes(p, p + length));
    HandedOver().from = std::string(address) + ":" + std::to_string(port);
}

class HostRelay : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(KZ_StartUDPRelayServer()); }
    void TearDown() override {
        KZ_SetUDPRelayPacketSink(nullptr);
        KZ_StopUDPRelayServer();
    }

    // A group of two items on 127.0.0.1 (p1, p2 their local ports), joined to a and b or latching;
    // the first item may have a channel, and each a telephone-event payload.
    int OpenPair(bool to_a_and_b, CKZChannel* channel1 = nullptr, int dtmf1 = -1, int dtmf2 = -1) {
        const int group = KZ_OpenUDPRelayGroup();
        m_item1 = KZ_AddUDPRelayGroupItem(group, "127.0.0.1", 0, to_a_and_b ? "127.0.0.1" : "",
                                          to_a_and_b ? a.Port() : 0, channel1, dtmf1);
        m_item2 = KZ_AddUDPRelayGroupItem(group, "127.0.0.1", 0, to_a_and_b ? "127.0.0.1" : "",
                                          to_a_and_b ? b.Port() : 0, nullptr, dtmf2);
        p1 = KZ_GetUDPRelayGroupItemLocalPort(m_item1);
        p2 = KZ_GetUDPRelayGroupItemLocalPort(m_item2);
        return group;
    }

    Party a, b;
    uint16_t p1 = 0, p2 = 0;
    int m_item1 = KZ_RELAY_INVALID_HANDLE, m_item2 = KZ_RELAY_INVALID_HANDLE;
};

// Legs without peers latch onto where they last heard from (a NAT rebinding included); a source
// set later wins over the latched address until it is cleared again.
TEST_F(HostRelay, LegsWithoutPeersLatchAndASourceSetLaterWinsUntilCleared) {
    Party a_moved, c;
    OpenPair(false);
    a.Send(p1, {1, 2, 3}); // the other leg is not known yet: dropped, but leg 1 learns a
    EXPECT_TRUE(b.Receive(nullptr, 200).empty());
    b.Send(p2, {4, 5});
    EXPECT_EQ(a.Receive(), (Bytes{4, 5}));
    a_moved.Send(p1, {7});
    EXPECT_EQ(b.Receive(), Bytes{7});
    b.Send(p2, {8});
    EXPECT_EQ(a_moved.Receive(), Bytes{8});
    EXPECT_TRUE(a.Receive(nullptr, 100).empty());

    EXPECT_TRUE(KZ_SetUDPRelayGroupItemSrc(m_item2, "127.0.0.1", c.Port()));
    a_moved.Send(p1, {2});
    EXPECT_EQ(c.Receive(), Bytes{2});
    EXPECT_TRUE(b.Receive(nullptr, 100).empty());
    EXPECT_TRUE(KZ_SetUDPRelayGroupItemSrc(m_item2, "0.0.0.0", 0)); // on hold: back to latching
    a_moved.Send(p1, {3});
    EXPECT_EQ(b.Receive(), Bytes{3});
    EXPECT_FALSE(KZ_SetUDPRelayGroupItemSrc(m_item2, "bad address", 4000));
}

TEST_F(HostRelay, ConfiguredPeersAreJoinedBothWaysAndSSRCIsRewrittenInRTPOnly) {
    ASSERT_GT(OpenPair(true), 0);
    ASSERT_TRUE(KZ_SetUDPRelayGroupItemSSRC(m_item2, 0xCAFEBABE));

    Bytes rtp = RTPPacket(18, 0x01020304, 0x77);
    a.Send(p1, rtp);
    uint16_t via = 0;
    const Bytes got = b.Receive(&via);
    EXPECT_EQ(via, p2); // leaves through the other leg's socket
    ASSERT_EQ(got.size(), rtp.size());
    EXPECT_EQ(SSRCOf(got), 0xCAFEBABEu);
    rtp[8] = 0xCA, rtp[9] = 0xFE, rtp[10] = 0xBA, rtp[11] = 0xBE;
    EXPECT_EQ(got, rtp); // nothing else changed

    const Bytes rtcp = RTPPacket(200, 0x01020304); // a sender report
    a.Send(p1, rtcp);
    EXPECT_EQ(b.Receive(), rtcp);
    const Bytes keepalive = {0, 0, 0, 0};
    a.Send(p1, keepalive);
    EXPECT_EQ(b.Receive(), keepalive);
    // The other direction has no SSRC set and passes as it is.
    const Bytes back = RTPPacket(0, 0x0A0B0C0D);
    b.Send(p2, back);
    EXPECT_EQ(a.Receive(&via), back);
    EXPECT_EQ(via, p1);
}

// A leg joined mid-call continues its own stream from the first relayed packet on.
TEST_F(HostRelay, AnItemsOutgoingStreamIsInPlaceForTheFirstPacket) {
    const int group = KZ_OpenUDPRelayGroup();
    const KZRelayOutgoingStream stream{0xCAFEBABE, true, 0xFFFF, 7}; // SSRC, renumbered from 0xFFFF and 7
    const int from = KZ_AddUDPRelayGroupItem(group, "127.0.0.1", 0, "127.0.0.1", a.Port(), nullptr, -1);
    ASSERT_GT(KZ_AddUDPRelayGroupItem(group, "127.0.0.1", 0, "127.0.0.1", b.Port(), nullptr, -1, stream), 0);
    const uint16_t in = KZ_GetUDPRelayGroupItemLocalPort(from);
    Bytes packet = RTPPacket(0, 0x01020304);
    for (const auto& [sequence, timestamp] : {std::pair{0xFFFF, 7u}, std::pair{0, 167u}}) {
        a.Send(in, packet);
        packet[3] = 0x35; // the source's next packet, 160 ticks on
        packet[6] = 0x10, packet[7] = 0x40;
        const Bytes got = b.Receive();
        ASSERT_EQ(got.size(), 32u);
        EXPECT_EQ(SSRCOf(got), 0xCAFEBABEu);
        EXPECT_EQ(got[2] << 8 | got[3], sequence);
        EXPECT_EQ(uint32_t{got[4]} << 24 | uint32_t{got[5]} << 16 | uint32_t{got[6]} << 8 | got[7],
                  timestamp);
    }
    KZ_CloseUDPRelayGroup(group);
}

TEST_F(HostRelay, TelephoneEventsAreRelayedUnchangedAndHandedToTheLegsChannel) {
    HandedOver().packets.clear(); // no sink is set yet: nothing else touches it
    KZ_SetUDPRelayPacketSink(&RecordPacket);
    // The relay never looks inside a channel; any distinct pointer stands for one here.
    alignas(16) static char channel_tag[16];
    auto* channel = reinterpret_cast<CKZChannel*>(channel_tag);
    OpenPair(true, channel, 96, 101);
    ASSERT_TRUE(KZ_SetUDPRelayGroupItemDTMF(m_item1, 101)); // the answer settled on 101

    const Bytes voice = RTPPacket(0, 7);
    const Bytes event = RTPPacket(101, 7, 0x05);
    a.Send(p1, voice);
    EXPECT_EQ(b.Receive(), voice);
    a.Send(p1, event);
    EXPECT_EQ(b.Receive(), event);
    b.Send(p2, RTPPacket(101, 9)); // leg 2 has no channel: nothing handed over
    EXPECT_FALSE(a.Receive().empty());

    kztest::wait_until([] {
        std::lock_guard<std::mutex> guard(HandedOver().lock);
        return !HandedOver().packets.empty();
    });
    std::lock_guard<std::mutex> guard(HandedOver().lock);
    ASSERT_EQ(HandedOver().packets.size(), 1u);
    EXPECT_EQ(HandedOver().packets[0].first, channel);
    EXPECT_EQ(HandedOver().packets[0].second, event);
    EXPECT_EQ(HandedOver().from, "127.0.0.1:" + std::to_string(a.Port()));
}

TEST_F(HostRelay, GroupsHoldTwoItemsAndClosingOrStoppingFreesTheirPorts) {
    const int group = OpenPair(false);
    EXPECT_EQ(KZ_AddUDPRelayGroupItem(group, "127.0.0.1", 0, "", 0, nullptr, -1), KZ_RELAY_INVALID_HANDLE);
    const int other = KZ_OpenUDPRelayGroup();
    EXPECT_EQ(KZ_AddUDPRelayGroupItem(other, "127.0.0.1", p1, "", 0, nullptr, -1), KZ_RELAY_INVALID_HANDLE);
    EXPECT_FALSE(CBaseSocket::IsUDPPortFree(p1, "127.0.0.1"));
    EXPECT_TRUE(KZ_CloseUDPRelayGroup(group));
    EXPECT_TRUE(CBaseSocket::IsUDPPortFree(p1, "127.0.0.1"));
    EXPECT_TRUE(CBaseSocket::IsUDPPortFree(p2, "127.0.0.1"));
    EXPECT_FALSE(KZ_CloseUDPRelayGroup(group));
    EXPECT_FALSE(KZ_SetUDPRelayGroupItemSSRC(m_item1, 1)); // stale handles only fail

    OpenPair(false);
    KZ_StopUDPRelayServer();
    EXPECT_TRUE(CBaseSocket::IsUDPPortFree(p1, "127.0.0.1"));
    EXPECT_EQ(KZ_OpenUDPRelayGroup(), KZ_RELAY_INVALID_HANDLE);
    ASSERT_TRUE(KZ_StartUDPRelayServer()); // and it works again
    OpenPair(true);
    a.Send(p1, {42});
    EXPECT_EQ(b.Receive(), Bytes{42});
}

TEST_F(HostRelay, CallsRelayWhileOthersComeAndGoOnOtherThreads) {
    OpenPair(true);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> churn;
    for (int t = 0; t < 3; ++t)
        churn.emplace_back([&] {
            Party x, y;
            while (!done.load()) {
                const int g = KZ_OpenUDPRelayGroup();
                const int i = KZ_AddUDPRelayGroupItem(g, "127.0.0.1", 0, "127.0.0.1", x.Port(), nullptr, 101);
                const int j = KZ_AddUDPRelayGroupItem(g, "127.0.0.1", 0, "127.0.0.1", y.Port(), nullptr, 101);
                if (i <= 0 || j <= 0) ++failures;
                KZ_SetUDPRelayGroupItemSSRC(j, 5);
                x.Send(KZ_GetUDPRelayGroupItemLocalPort(i), RTPPacket(0, 1));
                KZ_CloseUDPRelayGroup(g);
                y.Receive(nullptr, 0); // whatever made it before the close
            }
        });
    int relayed = 0;
    for (uint8_t n = 0; n < 200; ++n) {
        a.Send(p1, {n});
        if (b.Receive() == Bytes{n}) ++relayed;
    }
    done.store(true);
    for (auto& t : churn)
        t.join();
    EXPECT_EQ(relayed, 200);
    EXPECT_EQ(failures.load(), 0);
}

// ---- DNS SRV ----

// A name server on 127.0.0.1 that answers SRV questions from a table (a name not in it:
// NXDOMAIN), or stays silent.
struct SRVAnswer {
    uint16_t priority, weight, port;
    std::string target;
};
using Zone = std::map<std::string, std::vector<SRVAnswer>>;

class TestNameServer {
public:
    explicit TestNameServer(Zone zone, bool silent = false) : m_zone(std::move(zone)), m_silent(silent) {
        m_socket.OpenUDP(kLoopback, 0);
        m_thread = std::thread([this] { Serve(); });
    }
    ~TestNameServer() {
        m_stop.store(true);
        m_thread.join();
    }
    uint16_t Port() const { return m_socket.GetLocalPort(); }
    int Questions() const { return m_questions.load(); }

private:
    void Serve() {
        while (!m_stop.load()) {
            Bytes q(512);
            uint32_t ip;
            uint16_t port;
            if (m_socket.WaitReadable(20) != 1) continue;
            const int n = m_socket.RecvFrom(q.data(), q.size(), &ip, &port);
            if (n < 12) continue;
            q.resize(static_cast<size_t>(n));
            ++m_questions;
            const Bytes reply = Reply(q);
            if (!m_silent) m_socket.SendTo(reply.data(), reply.size(), ip, port);
        }
    }

    static void Put(Bytes& b, std::initializer_list<uint16_t> values) {
        for (uint16_t v : values)
            b.insert(b.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    }

    static void PutName(Bytes& b, const std::string& name) {
        for (size_t start = 0, dot; start < name.size(); start = dot + 1) {
            dot = std::min(name.find('.', start), name.size());
            b.push_back(static_cast<uint8_t>(dot - start));
            b.insert(b.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        }
        b.push_back(0);
    }

    Bytes Reply(const Bytes& q) const {
        std::string name;
        size_t at = 12;
        for (; at < q.size() && q[at] != 0; at += 1 + q[at])
            name.append(name.empty() ? "" : ".")
                .append(q.begin() + static_cast<long>(at) + 1, q.begin() + static_cast<long>(at) + 1 + q[at]);
        const auto found = m_zone.find(name);
        const std::vector<SRVAnswer> none;
        const auto& answers = found == m_zone.end() ? none : found->second;
        Bytes r(q.begin(), q.begin() + 2); // the id; then a response with NXDOMAIN or no error
        Put(r, {static_cast<uint16_t>(found == m_zone.end() ? 0x8183 : 0x8180), 1,
                static_cast<uint16_t>(answers.size()), 0, 0});
        r.insert(r.end(), q.begin() + 12, q.begin() + static_cast<long>(at) + 5); // the question
        for (const SRVAnswer& a : answers) {
            Bytes rdata;
            Put(rdata, {a.priority, a.weight, a.port});
            PutName(rdata, a.target);
            // The question's name, SRV, IN, a TTL of 60 s.
            Put(r, {0xC00C, 33, 1, 0, 60, static_cast<uint16_t>(rdata.size())});
            r.insert(r.end(), rdata.begin(), rdata.end());
        }
        return r;
    }

    Zone m_zone;
    bool m_silent;
    CBaseSocket m_socket;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_questions{0};
    std::thread m_thread;
};

class HostDNS : public ::testing::Test {
protected:
    void TearDown() override {
        CBaseDNSClient::SetNameServer("");
        CBaseDNSClient::SetQueryTimeout(0, 0);
        while (CBaseDNSClient::IsDNSSrvEnabled())
            CBaseDNSClient::FreeDNSSrv();
    }
};

TEST_F(HostDNS, SRVRecordsComeBestFirstAndNoServiceTargetsAreLeftOut) {
    TestNameServer server({{"_sip._udp.example.test",
                            {{20, 0, 5080, "backup.example.test"},
                             {10, 5, 5062, "light.example.test"},
                             {10, 60, 5061, "heavy.example.test"},
                             {5, 0, 0, ""}}}}); // "." as target: no service there
    ASSERT_TRUE(CBaseDNSClient::SetNameServer("127.0.0.1", server.Port()));
    std::vector<KZSRVRecord> records;
    ASSERT_EQ(CBaseDNSClient::QuerySRV("_sip._udp.example.test", records), 3);
    std::string order;
    for (const KZSRVRecord& r : records)
        order += r.target + ":" + std::to_string(r.port) + "/" + std::to_string(r.priority) + "/" +
                 std::to_string(r.weight) + " ";
    EXPECT_EQ(order,
              "heavy.example.test:5061/10/60 light.example.test:5062/10/5 backup.example.test:5080/20/0 ");
}

TEST_F(HostDNS, SIPServerOfADomainIsFoundOnlyWhileTheServiceIsOn) {
    TestNameServer server({{"_sip._udp.a.test", {{0, 0, 5070, "sip.a.test"}}},
                           {"_sip._tcp.b.test", {{0, 0, 5060, "tcp.b.test"}}}});
    ASSERT_TRUE(CBaseDNSClient::SetNameServer("127.0.0.1", server.Port()));
    std::string target;
    uint16_t port = 0;
    EXPECT_FALSE(CBaseDNSClient::DSNSRVSearch("a.test", target, &port));
    EXPECT_EQ(server.Questions(), 0); // off: nothing is asked

    CBaseDNSClient::InitDNSSrv();
    CBaseDNSClient::InitDNSSrv();
    CBaseDNSClient::FreeDNSSrv(); // counted: still on
    ASSERT_TRUE(CBaseDNSClient::DSNSRVSearch("a.test:5060", target, &port));
    EXPECT_EQ(target, "sip.a.test");
    EXPECT_EQ(port, 5070);
    char buffer[64] = {};
    ASSERT_TRUE(CBaseDNSClient::DSNSRVSearch("b.test", buffer, &port)); // UDP has none; TCP has
    EXPECT_STREQ(buffer, "tcp.b.test");
    EXPECT_FALSE(CBaseDNSClient::DSNSRVSearch("c.test", target, &port));
    CBaseDNSClient::FreeDNSSrv();
    EXPECT_FALSE(CBaseDNSClient::IsDNSSrvEnabled());
}

TEST_F(HostDNS, NamesThatDoNotExistOrGoUnansweredYieldNoRecords) {
    std::vector<KZSRVRecord> records;
    {
        TestNameServer server({});
        ASSERT_TRUE(CBaseDNSClient::SetNameServer("127.0.0.1", server.Port()));
        EXPECT_EQ(CBaseDNSClient::QuerySRV("_sip._udp.nowhere.invalid", records), 0);
        EXPECT_EQ(server.Questions(), 1);
    }
    TestNameServer silent({}, true);
    ASSERT_TRUE(CBaseDNSClient::SetNameServer("127.0.0.1", silent.Port()));
    CBaseDNSClient::SetQueryTimeout(1, 2);
    EXPECT_EQ(CBaseDNSClient::QuerySRV("_sip._udp.nowhere.invalid", records), 0);
    EXPECT_TRUE(records.empty());
    EXPECT_GE(silent.Questions(), 2); // asked again after the first try timed out
    EXPECT_FALSE(CBaseDNSClient::SetNameServer("dns.example"));
}

} // namespace
