#include "host/KZRTPSession.h"

#include "host/CKZLogInterface.h"
#include "host/KZRTCP.h"
#include "host/KZRTPReceiver.h"
#include "host/KZSecureRandom.h"
#include "host/KZSockUtil.h"
#include "host/KZStrFunc.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace KZAPI {

namespace {

constexpr double kDefaultClockRate = 8000;
// Datagrams read from one socket per call, so one busy session cannot hold the receiver.
constexpr int kReadBurst = 256;
constexpr int kReceiveBytes = 2048;
constexpr int kRTCPBytes = 512;

bool LooksLikeRTCP(const uint8_t* packet, int length) {
    return length >= 8 && (packet[0] >> 6) == 2 && packet[1] >= 200 && packet[1] <= 204;
}
// Room kept after a report for what a transform (SRTCP's index, tag and MKI) appends.
constexpr int kRTCPTrailerRoom = 64;
constexpr int kReportTextBytes = 512;
// Attempts at finding an RTP port whose neighbour is free when the system picks the port.
constexpr int kEphemeralAttempts = 16;
// Seconds from 1900 (NTP) to 1970 (Unix).
constexpr uint64_t kNtpEpochOffset = 2208988800u;

// RFC 3550 A.1
constexpr uint32_t kSeqMod = 1u << 16;
constexpr uint32_t kMaxDropout = 3000;
constexpr uint32_t kMaxMisorder = 100;
constexpr uint32_t kMinSequential = 2;

static_assert(kReceiveBytes >= KZRTPSession::kMaxPacketBytes);

// Process-wide send-interval deviation histogram: 0.1 ms buckets up to 100 ms, the last
// bucket holding everything beyond.
constexpr int kJitterBucketUs = 100;
constexpr int kJitterBuckets = 1001;
std::atomic<uint64_t> g_jitter_buckets[kJitterBuckets];
std::atomic<uint64_t> g_jitter_count{0};
std::atomic<uint64_t> g_jitter_max_us{0};

void record_send_deviation(uint64_t us) {
    const auto bucket = std::min<uint64_t>(us / kJitterBucketUs, kJitterBuckets - 1);
    g_jitter_buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    g_jitter_count.fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = g_jitter_max_us.load(std::memory_order_relaxed);
    while (us > seen && !g_jitter_max_us.compare_exchange_weak(seen, us, std::memory_order_relaxed)) {
    }
}

// Upper edge (ms) of the bucket holding the given share of the samples, capped at the maximum.
double jitter_percentile(double share, uint64_t total, double max_ms) {
    const auto wanted = static_cast<uint64_t>(std::ceil(share * static_cast<double>(total)));
    uint64_t seen = 0;
    for (int i = 0; i < kJitterBuckets; ++i) {
        seen += g_jitter_buckets[i].load(std::memory_order_relaxed);
        if (seen >= wanted && seen > 0) return std::min(max_ms, (i + 1) * kJitterBucketUs / 1000.0);
    }
    return max_ms;
}

sockaddr_in make_address(uint32_t ipv4, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipv4;
    a.sin_port = htons(port);
    return a;
}

bool send_datagram(int fd, const void* data, int length, const sockaddr_in& to) {
    ssize_t n;
    do {
        n = sendto(fd, data, static_cast<size_t>(length), MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    } while (n < 0 && errno == EINTR);
    return n == length;
}

int open_udp(uint32_t ipv4, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!KZ_Bind(fd, ipv4, port)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The middle 32 bits of an NTP timestamp (RFC 3550 LSR/DLSR units: 1/65536 s).
uint32_t ntp_middle(uint64_t ntp_ms) {
    const uint64_t seconds = ntp_ms / 1000;
    const uint64_t fraction = ((ntp_ms % 1000) << 32) / 1000;
    return static_cast<uint32_t>((seconds << 16) | (fraction >> 16));
}

// Sequence and loss bookkeeping of the stream received (RFC 3550 A.1, A.3) and its jitter (A.8).
struct ReceivedSource {
    bool active = false;
    uint32_t ssrc = 0;
    uint16_t max_seq = 0;
    uint32_t cycles = 0;
    uint32_t base_seq = 0;
    uint32_t bad_seq = 0;
    uint32_t probation = 0;
    uint32_t received = 0;
    uint32_t expected_prior = 0;
    uint32_t received_prior = 0;
    bool has_transit = false;
    double transit = 0;
    double jitter = 0; // timestamp units

    void Begin(uint32_t source, uint16_t seq) {
        *this = ReceivedSource{};
        active = true;
        ssrc = source;
        InitSequence(seq);
        max_seq = static_cast<uint16_t>(seq - 1);
        probation = kMinSequential;
    }

    void InitSequence(uint16_t seq) {
        base_seq = seq;
        max_seq = seq;
        bad_seq = kSeqMod + 1;
        cycles = 0;
        received = 0;
        received_prior = 0;
        expected_prior = 0;
    }

    // False for a packet that does not (yet) count: in probation or after a large jump.
    bool UpdateSequence(uint16_t seq) {
        const uint16_t delta = static_cast<uint16_t>(seq - max_seq);
        if (probation) {
            if (seq == static_cast<uint16_t>(max_seq + 1)) {
                --probation;
                max_seq = seq;
                if (probation == 0) {
                    InitSequence(seq);
                    ++received;
                    return true;
                }
            } else {
                probation = kMinSequential - 1;
                max_seq = seq;
            }
            return false;
        }
        if (delta < kMaxDropout) {
            if (seq < max_seq) cycles += kSeqMod; // wrapped
            max_seq = seq;
        } else if (delta <= kSeqMod - kMaxMisorder) {
            // A large jump: believe it only when the next packet follows it (the peer restarted).
            if (seq != bad_seq) {
                bad_seq = (seq + 1u) & (kSeqMod - 1);
                return false;
            }
            InitSequence(seq);
        }
        ++received; // in order, or a duplicate or late packet
        return true;
    }

    void UpdateJitter(double arrival, uint32_t timestamp) {
        const double now_transit = arrival - timestamp;
        if (has_transit) {
            double d = now_transit - transit;
            // Timestamps wrap at 2^32; a difference beyond half of that is the wrap, not jitter.
            if (d > 2147483648.0) d -= 4294967296.0;
            if (d < -2147483648.0) d += 4294967296.0;
            jitter += (std::fabs(d) - jitter) / 16.0;
        }
        transit = now_transit;
        has_transit = true;
    }

    uint32_t ExtendedMax() const { return cycles + max_seq; }
    int64_t Expected() const { return static_cast<int64_t>(ExtendedMax()) - base_seq + 1; }
    int64_t Lost() const { return probation ? 0 : Expected() - received; }

    // Fraction lost since the previous call, in 1/256 (A.3).
    uint8_t TakeFractionLost() {
        const auto expected = static_cast<uint32_t>(Expected());
        const uint32_t expected_interval = expected - expected_prior;
        const uint32_t received_interval = received - received_prior;
        expected_prior = expected;
        received_prior = received;
        const int64_t lost_interval = static_cast<int64_t>(expected_interval) - received_interval;
        if (expected_interval == 0 || lost_interval <= 0) return 0;
        return static_cast<uint8_t>(std::min<int64_t>(255, (lost_interval << 8) / expected_interval));
    }
};

struct Destination {
    sockaddr_in rtp;
    sockaddr_in rtcp;
};

} // namespace

struct KZRTPSession::State {
    // Where the next Start picks up an earlier stream (ContinueStream); else random.
    bool continue_stream = false;
    uint16_t continue_sequence = 0;
    uint32_t continue_timestamp = 0;
    // Configuration
    char local_address[64] = {};
    uint16_t local_port = 0;
    Destination destinations[kMaxDestinations] = {};
    int destination_count = 0;
    uint8_t payload_type = 0;
    bool marker = false;
    uint32_t increment = 0;
    bool poll = true;
    uint32_t ssrc = 0;
    const CKZClock* clock = &CKZClock::System();
    unsigned nominal_interval_ms = 0;

    // Running
    bool running = false;
    bool registered = false;
    int rtp_fd = -1;
    int rtcp_fd = -1;
    uint32_t bound_ip = 0;
    uint16_t bound_port = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    bool started = false;
    uint64_t start_tick = 0;
    int64_t start_wall_seconds = 0;

    // Statistics and RTCP
    KZRTPStats stats;
    ReceivedSource source;
    uint64_t last_report_tick = 0;
    uint64_t packets_sent_at_report = 0;
    bool has_peer_sr = false;
    uint32_t peer_lsr = 0;
    uint64_t peer_sr_tick = 0;

    // Send-interval measurement (real time, whatever the session clock)
    bool has_last_send = false;
    std::chrono::steady_clock::time_point last_send;

    // Per-packet work uses these and nothing else.
    uint8_t send_buffer[kMaxPacketBytes];
    uint8_t receive_buffer[kReceiveBytes];
    alignas(4) uint8_t rtcp_buffer[kRTCPBytes + kRTCPTrailerRoom];
    char report_text[kReportTextBytes];
    char source_address[INET_ADDRSTRLEN];
    KZRTCPCompound compound;

    uint64_t Now() const { return clock->TickMs(); }

    double ClockRate() const {
        if (increment && nominal_interval_ms) return increment * 1000.0 / nominal_interval_ms;
        return kDefaultClockRate;
    }

    uint64_t NtpMs() const {
        return (static_cast<uint64_t>(start_wall_seconds) + kNtpEpochOffset) * 1000 + (Now() - start_tick);
    }

    void ForgetRun() {
        stats = KZRTPStats{};
        source = ReceivedSource{};
        has_peer_sr = false;
        peer_lsr = 0;
        peer_sr_tick = 0;
        packets_sent_at_report = 0;
        has_last_send = false;
    }

    void CloseSockets() {
        if (rtp_fd >= 0) close(rtp_fd);
        if (rtcp_fd >= 0) close(rtcp_fd);
        rtp_fd = rtcp_fd = -1;
    }

    void MeasureSendInterval() {
        if (!nominal_interval_ms) return;
        const auto now = std::chrono::steady_clock::now();
        if (has_last_send) {
            const auto interval =
                std::chrono::duration_cast<std::chrono::microseconds>(now - last_send).count();
            const int64_t nominal = int64_t{nominal_interval_ms} * 1000;
            record_send_deviation(static_cast<uint64_t>(std::llabs(interval - nominal)));
        }
        last_send = now;
        has_last_send = true;
    }

    // Sends to every destination; true when at least one took it.
    bool SendToAll(const void* data, int length) {
        bool sent = false;
        for (int i = 0; i < destination_count; ++i)
            sent |= send_datagram(rtp_fd, data, length, destinations[i].rtp);
        return sent;
    }

    int SendFrames(const void* payload, int length, uint8_t type, bool mark, uint32_t step, int count) {
        if (!running || destination_count == 0 || count < 1) return 0;
        if (length < 0 || length > kMaxPacketBytes - KZRTPPacket::kHeaderBytes || (length > 0 && !payload))
            return 0; // refused before it uses up a sequence number
        MeasureSendInterval();
        bool sent = false;
        for (int i = 0; i < count; ++i) {
            const int bytes = KZRTPPacket::Write(send_buffer, sizeof(send_buffer), type, mark, sequence++,
                                                 timestamp, ssrc, payload, length);
            if (SendToAll(send_buffer, bytes)) {
                sent = true;
                ++stats.packets_sent;
                stats.octets_sent += static_cast<uint64_t>(length);
            }
        }
        timestamp += step;
        return sent ? length : 0;
    }

    void ReceiveRTP(KZRTPSession& owner, int length, const sockaddr_in& from) {
        KZRTPPacket packet;
        if (!packet.Parse(receive_buffer, length)) return;
        if (!source.active || source.ssrc != packet.GetSSRC())
            source.Begin(packet.GetSSRC(), packet.GetSequenceNumber());
        source.UpdateSequence(packet.GetSequenceNumber());
        source.UpdateJitter(static_cast<double>(Now() - start_tick) * ClockRate() / 1000.0,
                            packet.GetTimestamp());
        ++stats.packets_received;
        stats.octets_received += static_cast<uint64_t>(packet.GetPayloadLength());
        stats.packets_lost = source.Lost();
        stats.jitter_ms = source.jitter * 1000.0 / ClockRate();
        stats.remote_ssrc = source.ssrc;
        inet_ntop(AF_INET, &from.sin_addr, source_address, sizeof(source_address));
        owner.OnRTPPacket(packet, source_address, ntohs(from.sin_port));
    }

    void ReceiveRTCP(KZRTPSession& owner, int length) {
        length = owner.TransformIncomingRTCP(receive_buffer, length);
        if (length < 1 || !KZ_IsRTCPPacket(receive_buffer, length) ||
            !KZ_ParseRTCP(receive_buffer, length, &compound))
            return;
        ++stats.rtcp_received;
        const uint64_t now = Now();
        if (compound.has_sender_report) {
            has_peer_sr = true;
            peer_lsr = compound.sender.ntp_seconds << 16 | compound.sender.ntp_fraction >> 16;
            peer_sr_tick = now;
        }
        double round_trip_ms = -1;
        for (int i = 0; i < compound.block_count; ++i) {
            const KZRTCPReportBlock& block = compound.blocks[i];
            if (block.ssrc != ssrc) continue;
            stats.remote_fraction_lost = block.fraction_lost / 256.0;
            stats.remote_jitter_ms = block.jitter * 1000.0 / ClockRate();
            if (block.last_sr != 0) {
                const uint32_t units = ntp_middle(NtpMs()) - block.last_sr - block.delay_since_last_sr;
                if (static_cast<int32_t>(units) >= 0)
                    round_trip_ms = stats.round_trip_ms = units * 1000.0 / 65536.0;
            }
        }
        KZ_FormatRTCP(compound, ssrc, ClockRate(), round_trip_ms, report_text, sizeof(report_text));
        owner.OnRTCPReport(report_text);
    }

    // Reads what waits on fd; stops early when a hook stopped or restarted the session.
    void Drain(KZRTPSession& owner, int fd) {
        for (int i = 0; i < kReadBurst && running && (fd == rtp_fd || fd == rtcp_fd); ++i) {
            sockaddr_in from{};
            socklen_t from_length = sizeof(from);
            const ssize_t n = recvfrom(fd, receive_buffer, sizeof(receive_buffer), MSG_DONTWAIT | MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&from), &from_length);
            if (n < 0) {
                if (errno == EINTR) continue;
                return; // drained, or an ICMP error for an earlier send: the next read goes on
            }
            if (n > static_cast<ssize_t>(sizeof(receive_buffer))) continue; // cut short: not ours
            const int length = static_cast<int>(n);
            // What comes to the RTCP port is RTCP; on the RTP port (multiplexed) it is told by
            // its packet type, as its SRTCP trailer hides the compound's length (RFC 5761 4).
            if (fd == rtcp_fd || LooksLikeRTCP(receive_buffer, length))
                ReceiveRTCP(owner, length);
            else if (fd == rtp_fd)
                ReceiveRTP(owner, length, from);
        }
    }

    KZRTCPReportBlock MakeBlock() {
        KZRTCPReportBlock block;
        block.ssrc = source.ssrc;
        block.fraction_lost = source.TakeFractionLost();
        stats.fraction_lost = block.fraction_lost / 256.0;
        block.cumulative_lost = static_cast<int32_t>(std::clamp<int64_t>(source.Lost(), -0x800000, 0x7FFFFF));
        block.highest_sequence = source.ExtendedMax();
        block.jitter = static_cast<uint32_t>(source.jitter);
        if (has_peer_sr) {
            block.last_sr = peer_lsr;
            block.delay_since_last_sr = static_cast<uint32_t>((Now() - peer_sr_tick) * 65536 / 1000);
        }
        return block;
    }

    // An SR when packets went out since the last report, else an RR; a block about the stream
    // received when there is one.
    void SendReport(KZRTPSession& owner, bool bye) {
        if (!running || destination_count == 0) return;
        KZRTCPSenderInfo sender;
        const bool has_sent = stats.packets_sent > packets_sent_at_report;
        if (has_sent) {
            const uint64_t ntp = NtpMs();
            sender.ntp_seconds = static_cast<uint32_t>(ntp / 1000);
            sender.ntp_fraction = static_cast<uint32_t>(((ntp % 1000) << 32) / 1000);
            sender.rtp_timestamp = timestamp;
            sender.packets = static_cast<uint32_t>(stats.packets_sent);
            sender.octets = static_cast<uint32_t>(stats.octets_sent);
        }
        KZRTCPReportBlock block;
        if (source.active) block = MakeBlock();
        char cname[96];
        s_printf(cname, sizeof(cname), "kz-%08X@%s", ssrc, local_address[0] ? local_address : "0.0.0.0");
        int length = KZ_WriteRTCPReport(rtcp_buffer, kRTCPBytes, ssrc, has_sent ? &sender : nullptr,
                                        source.active ? &block : nullptr, cname, bye);
        packets_sent_at_report = stats.packets_sent;
        if (length > 0) length = owner.TransformOutgoingRTCP(rtcp_buffer, length, sizeof(rtcp_buffer));
        if (length > 0 && send_datagram(rtcp_fd, rtcp_buffer, length, destinations[0].rtcp))
            ++stats.rtcp_sent;
    }

    void SendDueReport(KZRTPSession& owner) {
        if (!running) return;
        const uint64_t now = Now();
        if (now - last_report_tick < kRTCPIntervalMs) return;
        last_report_tick = now;
        SendReport(owner, false);
    }
};

KZRTPSession::KZRTPSession() : m_state(std::make_unique<State>()) {}

KZRTPSession::~KZRTPSession() {
    Stop();
}

void KZRTPSession::Reset() {
    CMutexLock lock(m_mutex);
    Stop();
    const uint32_t ssrc = m_state->ssrc;
    const CKZClock* clock = m_state->clock;
    *m_state = State{};
    m_state->ssrc = ssrc;
    m_state->clock = clock;
}

void KZRTPSession::SetLocalAddress(const char* address) {
    CMutexLock lock(m_mutex);
    str_cpy(m_state->local_address, address ? address : "", sizeof(m_state->local_address));
}

void KZRTPSession::SetLocalPort(uint16_t port) {
    CMutexLock lock(m_mutex);
    m_state->local_port = port;
}

uint16_t KZRTPSession::GetLocalPort() const {
    CMutexLock lock(m_mutex);
    return m_state->running ? m_state->bound_port : m_state->local_port;
}

void KZRTPSession::ClearDestinations() {
    CMutexLock lock(m_mutex);
    m_state->destination_count = 0;
}

bool KZRTPSession::AddDestination(const char* address, uint16_t port) {
    CMutexLock lock(m_mutex);
    uint32_t ip = 0;
    if (m_state->destination_count == kMaxDestinations || port == 0 || port == 0xFFFF ||
        !KZ_ParseIPv4(address, &ip, false))
        return false;
    m_state->destinations[m_state->destination_count++] = {make_address(ip, port),
                                                           make_address(ip, static_cast<uint16_t>(port + 1))};
    return true;
}

void KZRTPSession::SetDefaultPayloadType(uint8_t payload_type) {
    CMutexLock lock(m_mutex);
    m_state->payload_type = payload_type & 0x7F;
}

void KZRTPSession::SetDefaultMark(bool marker) {
    CMutexLock lock(m_mutex);
    m_state->marker = marker;
}

void KZRTPSession::SetDefaultTimestampIncrement(uint32_t increment) {
    CMutexLock lock(m_mutex);
    m_state->increment = increment;
}

void KZRTPSession::SetPollMode(bool poll) {
    CMutexLock lock(m_mutex);
    m_state->poll = poll; // a running session keeps its mode until started again
}

bool KZRTPSession::GetPollMode() const {
    CMutexLock lock(m_mutex);
    return m_state->poll;
}

void KZRTPSession::SetLocalSSRC(uint32_t ssrc) {
    CMutexLock lock(m_mutex);
    m_state->ssrc = ssrc;
}

uint32_t KZRTPSession::GetLocalSSRC() const {
    CMutexLock lock(m_mutex);
    return m_state->ssrc;
}

void KZRTPSession::SetClock(const CKZClock* clock) {
    CMutexLock lock(m_mutex);
    m_state->clock = clock ? clock : &CKZClock::System();
}

bool KZRTPSession::Start() {
    CMutexLock lock(m_mutex);
    if (m_state->running) return true;
    uint32_t ip = 0;
    if (!KZ_ParseIPv4(m_state->local_address, &ip, true)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZRTPSession::Start bad local address %s",
                             m_state->local_address);
        return false;
    }
    const uint16_t port = m_state->local_port;
    const int attempts = port == 0 ? kEphemeralAttempts : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int rtp = open_udp(ip, port);
        if (rtp < 0) break;
        uint32_t bound_ip = 0;
        uint16_t bound_port = 0;
        KZ_LocalName(rtp, &bound_ip, &bound_port);
        const int rtcp = bound_port == 0xFFFF ? -1 : open_udp(ip, static_cast<uint16_t>(bound_port + 1));
        if (rtcp >= 0) return Start(rtp, rtcp);
        close(rtp);
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZRTPSession::Start bind %s:%u failed: %s",
                         KZ_InetNtoa(ip).c_str(), port, strerror(errno));
    return false;
}

bool KZRTPSession::Start(int rtp_fd, int rtcp_fd) {
    CMutexLock lock(m_mutex);
    State& s = *m_state;
    if (s.running || rtp_fd < 0 || rtcp_fd < 0) {
        if (rtp_fd >= 0 && rtp_fd != s.rtp_fd) close(rtp_fd);
        if (rtcp_fd >= 0 && rtcp_fd != s.rtcp_fd) close(rtcp_fd);
        return s.running && rtp_fd == s.rtp_fd && rtcp_fd == s.rtcp_fd;
    }
    // Every read and write passes MSG_DONTWAIT, so the sockets' own blocking mode does not matter
    // and costs no fcntl per call.
    s.rtp_fd = rtp_fd;
    s.rtcp_fd = rtcp_fd;
    KZ_LocalName(rtp_fd, &s.bound_ip, &s.bound_port);

    // One draw from the kernel serves the stream's random starts (and its SSRC when it has none).
    uint32_t entropy[3] = {};
    KZ_SecureRandomBytes(entropy, sizeof(entropy));
    s.sequence = s.continue_stream ? s.continue_sequence : static_cast<uint16_t>(entropy[0]);
    s.timestamp = s.continue_stream ? s.continue_timestamp : entropy[1];
    s.continue_stream = false;
    if (s.ssrc == 0) s.ssrc = entropy[2];
    while (s.ssrc == 0)
        s.ssrc = KZ_SecureRandomU32();
    s.ForgetRun();
    s.started = true;
    s.start_tick = s.Now();
    s.last_report_tick = s.start_tick;
    s.start_wall_seconds = s.clock->NowSeconds();
    s.running = true;

    s.registered = !s.poll;
    if (s.registered && !KZRTPReceiver::Instance().Register(this, rtp_fd, rtcp_fd)) {
        s.registered = false;
        s.running = false;
        s.CloseSockets();
        return false;
    }
    return true;
}

void KZRTPSession::Stop() {
    int rtp_fd = -1, rtcp_fd = -1;
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    StopKeepingSockets(&rtp_fd, &rtcp_fd, &ipv4, &port);
    if (rtp_fd >= 0) close(rtp_fd);
    if (rtcp_fd >= 0) close(rtcp_fd);
}

void KZRTPSession::StopKeepingSockets(int* rtp_fd, int* rtcp_fd, uint32_t* ipv4, uint16_t* port) {
    CMutexLock lock(m_mutex);
    State& s = *m_state;
    *rtp_fd = *rtcp_fd = -1;
    if (!s.running) return;
    // RFC 3550 6.3.7: a participant that never sent an RTP or RTCP packet sends no BYE either.
    if (s.stats.packets_sent > 0 || s.stats.rtcp_sent > 0) s.SendReport(*this, true);
    if (s.registered) KZRTPReceiver::Instance().Unregister(this);
    s.registered = false;
    s.running = false;
    *rtp_fd = s.rtp_fd;
    *rtcp_fd = s.rtcp_fd;
    *ipv4 = s.bound_ip;
    *port = s.bound_port;
    s.rtp_fd = s.rtcp_fd = -1;
    s.bound_port = 0;
}

bool KZRTPSession::IsRunning() const {
    CMutexLock lock(m_mutex);
    return m_state->running;
}

int KZRTPSession::SendPacket(const void* payload, int length, int /*use_defaults*/) {
    CMutexLock lock(m_mutex);
    const State& s = *m_state;
    return m_state->SendFrames(payload, length, s.payload_type, s.marker, s.increment, 1);
}

int KZRTPSession::SendPacket(const void* payload, int length, uint8_t payload_type, bool marker,
                             uint32_t timestamp_increment, int count) {
    CMutexLock lock(m_mutex);
    return m_state->SendFrames(payload, length, payload_type, marker, timestamp_increment, count);
}

int KZRTPSession::BuildPacket(uint8_t* out, int capacity, const void* payload, int length,
                              uint8_t payload_type, bool marker, uint32_t timestamp_increment) {
    CMutexLock lock(m_mutex);
    State& s = *m_state;
    const int bytes = KZRTPPacket::Write(out, capacity, payload_type, marker, s.sequence, s.timestamp, s.ssrc,
                                         payload, length);
    if (bytes == 0) return 0;
    ++s.sequence;
    s.timestamp += timestamp_increment;
    return bytes;
}

void KZRTPSession::SkipFrame(uint32_t timestamp_increment) {
    CMutexLock lock(m_mutex);
    m_state->timestamp += timestamp_increment;
}

int KZRTPSession::SendRTPRawPacket(const void* packet, int length, bool starts_frame) {
    CMutexLock lock(m_mutex);
    State& s = *m_state;
    if (!s.running || !packet || length <= 0) return 0;
    if (starts_frame) s.MeasureSendInterval();
    if (!s.SendToAll(packet, length)) return 0;
    ++s.stats.packets_sent;
    s.stats.octets_sent += static_cast<uint64_t>(std::max(0, length - KZRTPPacket::kHeaderBytes));
    return length;
}

void KZRTPSession::CheckPacket() {
    CMutexLock lock(m_mutex);
    const State& s = *m_state;
    if (!s.running) return;
    const int rtcp_fd = s.rtcp_fd;
    ReadSocket(s.rtp_fd);
    ReadSocket(rtcp_fd);
}

uint64_t KZRTPSession::GetSessionDurationMs() const {
    CMutexLock lock(m_mutex);
    return m_state->started ? m_state->Now() - m_state->start_tick : 0;
}

void KZRTPSession::ContinueStream(uint16_t next_sequence, uint32_t next_timestamp) {
    CMutexLock lock(m_mutex);
    m_state->continue_stream = true;
    m_state->continue_sequence = next_sequence;
    m_state->continue_timestamp = next_timestamp;
}

uint16_t KZRTPSession::GetNextSequenceNumber() const {
    CMutexLock lock(m_mutex);
    return m_state->sequence;
}

uint32_t KZRTPSession::GetNextTimestamp() const {
    CMutexLock lock(m_mutex);
    return m_state->timestamp;
}

KZRTPStats KZRTPSession::GetStats() const {
    CMutexLock lock(m_mutex);
    return m_state->stats;
}

// The receiver thread calls this with -1 to have a due report sent without reading.
void KZRTPSession::ReadSocket(int fd) {
    CMutexLock lock(m_mutex);
    State& s = *m_state;
    if (fd >= 0 && s.running && (fd == s.rtp_fd || fd == s.rtcp_fd)) s.Drain(*this, fd);
    s.SendDueReport(*this);
}

void KZRTPSession::SetNominalSendInterval(unsigned ms) {
    CMutexLock lock(m_mutex);
    m_state->nominal_interval_ms = ms;
    m_state->has_last_send = false;
}

KZRTPSendJitter KZRTPSession::GetProcessSendJitter() {
    KZRTPSendJitter result;
    result.intervals = g_jitter_count.load(std::memory_order_relaxed);
    if (result.intervals == 0) return result;
    result.max_ms = g_jitter_max_us.load(std::memory_order_relaxed) / 1000.0;
    result.p50_ms = jitter_percentile(0.50, result.intervals, result.max_ms);
    result.p99_ms = jitter_percentile(0.99, result.intervals, result.max_ms);
    return result;
}

void KZRTPSession::ResetProcessSendJitter() {
    for (auto& bucket : g_jitter_buckets)
        bucket.store(0, std::memory_order_relaxed);
    g_jitter_count.store(0, std::memory_order_relaxed);
    g_jitter_max_us.store(0, std::memory_order_relaxed);
}

} // namespace KZAPI
