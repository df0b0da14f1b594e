// RTP packets and RTCP compounds byte for byte, and RTP sessions over real loopback sockets in
// both receive modes: continuity of what is sent, loss and jitter of what is received, RTCP
// reports on the session clock, and stopping while packets arrive.
#include "host/KZRTCP.h"
#include "host/KZRTPPacket.h"
#include "host/KZRTPSession.h"

#include "support/sip_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace KZAPI;
using kztest::wait_until;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes rtp_header(uint8_t first, uint8_t second) {
    return {first, second, 0x12, 0x34, 0, 0, 0x56, 0x78, 0xCA, 0xFE, 0xBA, 0xBE};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct ParseCase {
    const char* name;
    Bytes bytes;
    bool ok;
    int payload_offset;
    int payload_length;
};

TEST(RtpPacket, ParseChecksEveryLength) {
    const Bytes payload(20, 0xAA);
    const Bytes csrc2(8, 0x11);
    const Bytes ext1 = {0xBE, 0xDE, 0, 1, 1, 2, 3, 4};
    const Bytes pad3 = {0, 0, 3};
    const ParseCase cases[] = {
        {"plain PCMU", rtp_header(0x80, 0x80) + payload, true, 12, 20},
        {"two CSRC", rtp_header(0x82, 0x00) + csrc2 + payload, true, 20, 20},
        {"extension", rtp_header(0x90, 0x00) + ext1 + payload, true, 20, 20},
        {"padding", rtp_header(0xA0, 0x00) + payload + pad3, true, 12, 20},
        {"all three", rtp_header(0xB2, 0x00) + csrc2 + ext1 + payload + pad3, true, 28, 20},
        {"header only", rtp_header(0x80, 0x00), true, 12, 0},
        {"truncated header", Bytes(11, 0x80), false, 0, 0},
        {"bad version", rtp_header(0x40, 0x00) + payload, false, 0, 0},
        {"CSRC past end", rtp_header(0x8F, 0x00) + csrc2, false, 0, 0},
        {"extension header cut", rtp_header(0x90, 0x00) + Bytes{0xBE, 0xDE}, false, 0, 0},
        {"extension past end", rtp_header(0x90, 0x00) + Bytes{0xBE, 0xDE, 0, 9, 1, 2, 3, 4}, false, 0, 0},
        {"padding past payload", rtp_header(0xA0, 0x00) + Bytes{1, 2, 200}, false, 0, 0},
        {"padding count zero", rtp_header(0xA0, 0x00) + Bytes{1, 2, 0}, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KZRTPPacket p;
        ASSERT_EQ(c.ok, p.Parse(c.bytes.data(), static_cast<int>(c.bytes.size())));
        if (!c.ok) {
            EXPECT_EQ(nullptr, p.GetPayloadData());
            continue;
        }
        EXPECT_EQ(c.bytes.data() + c.payload_offset, p.GetPayloadData());
        EXPECT_EQ(c.payload_length, p.GetPayloadLength());
        EXPECT_EQ(0x1234, p.GetSequenceNumber());
        EXPECT_EQ(0x5678u, p.GetTimestamp());
        EXPECT_EQ(0xCAFEBABEu, p.GetSSRC());
        EXPECT_EQ(c.bytes[1] >> 7, p.GetMarker());
    }
}

TEST(RtpPacket, WriteGivesNetworkOrderAndRefusesWhatDoesNotFit) {
    const uint8_t payload[4] = {9, 8, 7, 6};
    uint8_t out[16];
    ASSERT_EQ(16, KZRTPPacket::Write(out, 16, 101, true, 0xFFFE, 0x01020304, 0xA1B2C3D4, payload, 4));
    const Bytes expected = {0x80, 0xE5, 0xFF, 0xFE, 1, 2, 3, 4, 0xA1, 0xB2, 0xC3, 0xD4, 9, 8, 7, 6};
    EXPECT_EQ(expected, Bytes(out, out + 16));
    EXPECT_EQ(0, KZRTPPacket::Write(out, 15, 0, false, 0, 0, 0, payload, 4));
    EXPECT_EQ(0, KZRTPPacket::Write(out, 16, 0, false, 0, 0, 0, nullptr, 4));
}

TEST(Rtcp, CompoundsWrittenAreReadBack) {
    KZRTCPSenderInfo sender{0x11111111, 0x22220000, 5, 7, 700};
    KZRTCPReportBlock block{0xABCD0001, 64, -3, 70000, 40, 0x33334444, 65536};
    struct Case {
        const KZRTCPSenderInfo* sender;
        const KZRTCPReportBlock* block;
        bool bye;
    } cases[] = {{&sender, &block, false},
                 {nullptr, &block, false},
                 {&sender, nullptr, true},
                 {nullptr, nullptr, true}};
    for (const auto& c : cases) {
        uint8_t buf[256];
        const int n =
            KZ_WriteRTCPReport(buf, sizeof(buf), 0x0BADF00D, c.sender, c.block, "kz@127.0.0.1", c.bye);
        ASSERT_GT(n, 0);
        ASSERT_TRUE(KZ_IsRTCPPacket(buf, n));
        EXPECT_FALSE(KZ_IsRTCPPacket(buf, n - 4)); // lengths no longer add up
        KZRTCPCompound r;
        ASSERT_TRUE(KZ_ParseRTCP(buf, n, &r));
        EXPECT_EQ(0x0BADF00Du, r.reporter_ssrc);
        EXPECT_EQ(c.sender != nullptr, r.has_sender_report);
        EXPECT_EQ(c.bye, r.has_bye);
        EXPECT_STREQ("kz@127.0.0.1", r.cname);
        EXPECT_EQ(c.sender ? 700u : 0u, r.sender.octets);
        ASSERT_EQ(c.block ? 1 : 0, r.block_count);
        if (c.block) {
            EXPECT_EQ(-3, r.blocks[0].cumulative_lost);
            EXPECT_EQ(0x33334444u, r.blocks[0].last_sr);
        }
        EXPECT_EQ(0, KZ_WriteRTCPReport(buf, n - 1, 0x0BADF00D, c.sender, c.block, "kz@127.0.0.1", c.bye));
    }
    const Bytes rtp = rtp_header(0x80, 0x00);
    EXPECT_FALSE(KZ_IsRTCPPacket(rtp.data(), static_cast<int>(rtp.size())));
}

// A session that keeps what its hooks saw; the hooks run under the session mutex.
class Recorder : public KZRTPSession {
public:
    struct Seen {
        uint16_t seq;
        uint32_t ts;
        uint8_t pt;
        std::string from;
        uint16_t port;
    };
    ~Recorder() override { Stop(); }
    std::vector<Seen> Packets() { return Locked(m_packets); }
    std::vector<std::string> Reports() { return Locked(m_reports); }
    std::atomic<bool> stopped{false};
    std::atomic<int> late_hooks{0};
    bool stop_in_hook = false;

protected:
    void OnRTPPacket(const KZRTPPacket& p, const char* address, uint16_t port) override {
        if (stopped) ++late_hooks;
        m_packets.push_back({p.GetSequenceNumber(), p.GetTimestamp(), p.GetPayloadType(), address, port});
        if (stop_in_hook) Stop();
    }
    void OnRTCPReport(const char* report) override { m_reports.emplace_back(report); }

private:
    template <class T> T Locked(const T& kept) {
        CMutexLock lock(GetSessionMutex());
        return kept;
    }
    std::vector<Seen> m_packets;
    std::vector<std::string> m_reports;
};

// Starts a session on a free loopback port pair.
bool start_on_loopback(KZRTPSession& s, bool poll, uint16_t* port) {
    *port = kztest::free_port_pair();
    s.SetLocalAddress("127.0.0.1");
    s.SetLocalPort(*port);
    s.SetPollMode(poll);
    return *port != 0 && s.Start();
}

// Starts a (polled) and b on loopback, each sending to the other.
bool start_linked(KZRTPSession& a, uint16_t* a_port, KZRTPSession& b, uint16_t* b_port, bool b_polls = true) {
    return start_on_loopback(a, true, a_port) && start_on_loopback(b, b_polls, b_port) &&
           a.AddDestination("127.0.0.1", *b_port) && b.AddDestination("127.0.0.1", *a_port);
}

class SessionPair : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        for (auto* s : {&a, &b}) {
            s->SetClock(&clock);
            s->SetDefaultPayloadType(0);
            s->SetDefaultTimestampIncrement(160);
        }
        ASSERT_TRUE(start_linked(a, &a_port, b, &b_port, Poll()));
    }
    bool Poll() const { return GetParam(); }
    // Waits for done, reading the sockets of both in poll mode.
    bool Until(const std::function<bool()>& done) {
        return wait_until([&] {
            a.CheckPacket();
            if (Poll()) b.CheckPacket();
            return done();
        });
    }
    CKZManualClock clock;
    Recorder a, b;
    uint16_t a_port = 0, b_port = 0;
};

TEST_P(SessionPair, SequenceAndTimestampContinue) {
    const uint8_t frame[160] = {};
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(160, a.SendPacket(frame, 160, 1));
    ASSERT_EQ(4, a.SendPacket(frame, 4, 101, true, 320, 3));
    ASSERT_EQ(160, a.SendPacket(frame, 160, 1));
    uint8_t built[172]; // as for SRTP: built, transformed elsewhere, sent raw
    ASSERT_EQ(172, a.BuildPacket(built, sizeof(built), frame, 160, 8, false, 160));
    ASSERT_EQ(172, a.SendRTPRawPacket(built, 172));
    ASSERT_TRUE(Until([&] { return b.Packets().size() == 10; }));
    const auto seen = b.Packets();
    const uint32_t t0 = seen[0].ts;
    const uint32_t expected_ts[] = {0, 160, 320, 480, 640, 800, 800, 800, 1120, 1280};
    const uint8_t expected_pt[] = {0, 0, 0, 0, 0, 101, 101, 101, 0, 8};
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(static_cast<uint16_t>(seen[0].seq + i), seen[i].seq);
        EXPECT_EQ(t0 + expected_ts[i], seen[i].ts);
        EXPECT_EQ(expected_pt[i], seen[i].pt);
        EXPECT_EQ("127.0.0.1", seen[i].from);
        EXPECT_EQ(a_port, seen[i].port);
    }
    EXPECT_EQ(10u, a.GetStats().packets_sent);
    EXPECT_EQ(a.GetLocalSSRC(), b.GetStats().remote_ssrc);
}

TEST_P(SessionPair, ReportsFollowTheSessionClock) {
    const uint8_t frame[160] = {};
    for (int i = 0; i < 10; ++i)
        a.SendPacket(frame, 160, 1);
    ASSERT_TRUE(Until([&] { return b.GetStats().packets_received == 10; }));
    EXPECT_TRUE(b.Reports().empty());

    clock.AdvanceMs(KZRTPSession::kRTCPIntervalMs + 1); // a's SR is due, and b's RR
    // b's report leaves on its own (the receiver thread's timer in that mode), before a sends.
    ASSERT_TRUE(wait_until([&] {
        if (Poll()) b.CheckPacket();
        return b.GetStats().rtcp_sent == 1;
    }));
    char sr[64];
    snprintf(sr, sizeof(sr), "SR ssrc=0x%08X packets=10 octets=1600", a.GetLocalSSRC());
    ASSERT_TRUE(Until([&] { return !b.Reports().empty(); }));
    EXPECT_NE(std::string::npos, b.Reports()[0].find(sr)) << b.Reports()[0];
    char about_a[64];
    snprintf(about_a, sizeof(about_a), "RR ssrc=0x%08X lost=0.0%% cum=0", a.GetLocalSSRC());
    ASSERT_TRUE(Until([&] { return !a.Reports().empty(); }));
    EXPECT_NE(std::string::npos, a.Reports()[0].find(about_a)) << a.Reports()[0];
    EXPECT_EQ(KZRTPSession::kRTCPIntervalMs + 1, a.GetSessionDurationMs());

    b.Stop();
    ASSERT_TRUE(Until([&] { return a.Reports().size() == 2; }));
    EXPECT_NE(std::string::npos, a.Reports()[1].find("; BYE"));
}

// A participant that never sent anything leaves without a BYE; one that sent leaves with one.
// Loopback delivers within the sender's sendto, so one read right after the stop sees any BYE.
TEST(RtpSession, OnlyASessionThatSentSaysByeWhenItStops) {
    for (const int sent : {0, 1}) {
        SCOPED_TRACE(sent);
        Recorder a, b;
        uint16_t a_port = 0, b_port = 0;
        ASSERT_TRUE(start_linked(a, &a_port, b, &b_port));
        const uint8_t frame[160] = {};
        for (int i = 0; i < sent; ++i)
            ASSERT_EQ(160, a.SendPacket(frame, 160, 0, false, 160, 1));
        a.Stop();
        b.CheckPacket();
        EXPECT_EQ(b.Packets().size(), static_cast<size_t>(sent));
        ASSERT_EQ(b.Reports().size(), sent ? 1u : 0u);
        EXPECT_TRUE(!sent || b.Reports()[0].find("; BYE") != std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SessionPair, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Poll" : "ReceiverThread"; });

// Round trip from LSR and DLSR: each side on its own clock, so the delays are exact.
TEST(RtpSession, RoundTripFromReportTimes) {
    CKZManualClock clock_a, clock_b;
    Recorder a, b;
    uint16_t pa = 0, pb = 0;
    a.SetClock(&clock_a);
    b.SetClock(&clock_b);
    ASSERT_TRUE(start_linked(a, &pa, b, &pb));
    const uint8_t frame[160] = {};
    for (int i = 0; i < 3; ++i)
        a.SendPacket(frame, 160, 1);
    clock_b.AdvanceMs(KZRTPSession::kRTCPIntervalMs - 10);
    clock_a.AdvanceMs(KZRTPSession::kRTCPIntervalMs);
    a.CheckPacket(); // sends the SR
    ASSERT_TRUE(wait_until([&] {
        b.CheckPacket();
        return !b.Reports().empty();
    }));
    clock_b.AdvanceMs(20); // b holds the SR 20 ms before its report leaves
    clock_a.AdvanceMs(50); // and a hears back 50 ms after sending it
    b.CheckPacket();
    ASSERT_TRUE(wait_until([&] {
        a.CheckPacket();
        return !a.Reports().empty();
    }));
    EXPECT_NEAR(30.0, a.GetStats().round_trip_ms, 0.1);
    EXPECT_NE(std::string::npos, a.Reports()[0].find("rtt=30.0ms")) << a.Reports()[0];
}

struct LossCase {
    const char* name;
    uint16_t first_seq;
    int drop_every; // 0 = none
    int arrival_ms[2];
    uint32_t increment;
    int64_t lost;
    double jitter_ms;
};

// A raw sender of 100 packets skips sequence numbers and spaces arrivals on the receiver's clock,
// which expects one every 20 ms.
TEST(RtpSession, LossAndJitterOfWhatArrives) {
    const LossCase cases[] = {
        {"steady", 1000, 0, {20, 20}, 160, 0, 0.0},
        {"one in ten lost", 1000, 10, {20, 20}, 160, 10, 0.0},
        {"lost across the wrap", 65500, 10, {20, 20}, 160, 10, 0.0},
        {"uneven arrivals", 1000, 0, {10, 30}, 160, 0, 10.0},
        {"uneven at 16 kHz", 1000, 0, {10, 30}, 320, 0, 10.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CKZManualClock clock;
        Recorder rx;
        rx.SetClock(&clock);
        rx.SetDefaultTimestampIncrement(c.increment);
        rx.SetNominalSendInterval(20);
        uint16_t port = 0;
        ASSERT_TRUE(start_on_loopback(rx, true, &port));
        kztest::UdpPeer tx;
        int sent = 0;
        for (int i = 0; i < 100; ++i) {
            const int arrival = c.arrival_ms[i % 2];
            if (c.drop_every && i % c.drop_every == 5) { // lost on the way: its time passes all the same
                clock.AdvanceMs(arrival);
                continue;
            }
            uint8_t packet[172];
            const uint8_t payload[160] = {};
            const int n =
                KZRTPPacket::Write(packet, sizeof(packet), 0, false, static_cast<uint16_t>(c.first_seq + i),
                                   77u + i * c.increment, 0x5EED, payload, 160);
            tx.send_to(port, std::string(reinterpret_cast<const char*>(packet), static_cast<size_t>(n)));
            ++sent;
            clock.AdvanceMs(arrival);
            ASSERT_TRUE(wait_until([&] {
                rx.CheckPacket();
                return rx.GetStats().packets_received == static_cast<uint64_t>(sent);
            }));
        }
        const KZRTPStats stats = rx.GetStats();
        EXPECT_EQ(c.lost, stats.packets_lost);
        EXPECT_NEAR(c.jitter_ms, stats.jitter_ms, 0.2);
        EXPECT_EQ(0x5EEDu, stats.remote_ssrc);
    }
}

TEST(RtpSession, StartFailsWhenTheRtcpPortIsTaken) {
    const uint16_t port = kztest::free_port_pair();
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port + 1)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(0, bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    KZRTPSession s;
    s.SetLocalAddress("127.0.0.1");
    s.SetLocalPort(port);
    EXPECT_FALSE(s.Start());
    close(blocker);
    EXPECT_TRUE(s.Start());
    EXPECT_EQ(port, s.GetLocalPort());
}

// Stopping (from outside, from the hook, or by destruction) while a sender floods the port:
// once Stop returns no hook runs.
TEST(RtpSession, NoHookAfterStopInReceiverMode) {
    KZRTPSession tx;
    uint16_t tx_port = 0, rx_port = kztest::free_port_pair();
    ASSERT_TRUE(start_on_loopback(tx, true, &tx_port));
    tx.AddDestination("127.0.0.1", rx_port);
    std::atomic<bool> done{false};
    std::thread sender([&] {
        const uint8_t frame[160] = {};
        while (!done)
            tx.SendPacket(frame, 160, 1);
    });
    for (int round = 0; round < 150; ++round) {
        auto rx = std::make_unique<Recorder>();
        rx->stop_in_hook = round % 3 == 1;
        rx->SetLocalAddress("127.0.0.1");
        rx->SetLocalPort(rx_port);
        rx->SetPollMode(false);
        ASSERT_TRUE(rx->Start());
        ASSERT_TRUE(wait_until([&] { return !rx->Packets().empty(); }));
        if (round % 3 == 0) rx->Stop();
        if (round % 3 == 2) {
            rx.reset(); // the destructor stops
            continue;
        }
        ASSERT_TRUE(wait_until([&] { return !rx->IsRunning(); }));
        rx->stopped = true;
        const size_t seen = rx->Packets().size();
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // room for a stray hook
        EXPECT_EQ(0, rx->late_hooks.load());
        EXPECT_EQ(seen, rx->Packets().size());
    }
    done = true;
    sender.join();
}

TEST(RtpSession, SendIntervalsMeasuredAgainstTheNominal) {
    KZRTPSession::ResetProcessSendJitter();
    KZRTPSession s;
    uint16_t port = 0;
    ASSERT_TRUE(start_on_loopback(s, true, &port));
    s.AddDestination("127.0.0.1", port);
    const uint8_t frame[160] = {};
    s.SendPacket(frame, 160, 1); // no nominal interval: not measured
    s.SendPacket(frame, 160, 1);
    EXPECT_EQ(0u, KZRTPSession::GetProcessSendJitter().intervals);
    s.SetNominalSendInterval(20);
    for (int i = 0; i < 11; ++i)
        s.SendPacket(frame, 160, 1); // back to back: each ~20 ms early
    const KZRTPSendJitter j = KZRTPSession::GetProcessSendJitter();
    EXPECT_EQ(10u, j.intervals);
    EXPECT_GT(j.p50_ms, 15.0);
    EXPECT_LE(j.p50_ms, j.p99_ms);
    EXPECT_LE(j.p99_ms, j.max_ms);
    EXPECT_LE(j.max_ms, 20.0);
}

} // namespace
