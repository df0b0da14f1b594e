// Feeds arbitrary bytes to what an RTP session does with every datagram it reads: the RTP
// packet view, the RTCP test and report reader, and then a real session that receives the
// bytes over loopback on its RTP and RTCP ports and answers with reports of its own.
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/KZRTCP.h"
#include "host/KZRTPPacket.h"
#include "host/KZRTPSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

using namespace KZAPI;

namespace {

// Every packet a session hands over lies inside the datagram it read.
class CheckingSession : public KZRTPSession {
public:
    ~CheckingSession() override { Stop(); }

protected:
    void OnRTPPacket(const KZRTPPacket& p, const char* address, uint16_t) override {
        const uint8_t* begin = p.GetPacketData();
        const uint8_t* end = begin + p.GetPacketLength();
        if (p.GetPayloadLength() < 0 || p.GetPayloadData() < begin ||
            p.GetPayloadData() + p.GetPayloadLength() > end)
            __builtin_trap();
        if (strcmp(address, "127.0.0.1") != 0) __builtin_trap();
    }
    void OnRTCPReport(const char* report) override {
        if (strnlen(report, 4096) == 4096) __builtin_trap();
    }
};

void check_packet_view(const uint8_t* data, int length) {
    KZRTPPacket p;
    if (!p.Parse(data, length)) {
        if (p.GetPayloadData() != nullptr || p.GetPayloadLength() != 0) __builtin_trap();
        return;
    }
    const int header = static_cast<int>(p.GetPayloadData() - data);
    if (header < KZRTPPacket::kHeaderBytes || p.GetPayloadLength() < 0 ||
        header + p.GetPayloadLength() > length)
        __builtin_trap();
    // The fixed header written again from the view reads back the same.
    uint8_t out[KZRTPSession::kMaxPacketBytes];
    const int n =
        KZRTPPacket::Write(out, sizeof(out), p.GetPayloadType(), p.GetMarker(), p.GetSequenceNumber(),
                           p.GetTimestamp(), p.GetSSRC(), p.GetPayloadData(), p.GetPayloadLength());
    if (n == 0) return; // larger than a packet the session sends
    KZRTPPacket again;
    if (!again.Parse(out, n) || again.GetSequenceNumber() != p.GetSequenceNumber() ||
        again.GetTimestamp() != p.GetTimestamp() || again.GetSSRC() != p.GetSSRC() ||
        again.GetPayloadType() != p.GetPayloadType() || again.GetMarker() != p.GetMarker() ||
        again.GetPayloadLength() != p.GetPayloadLength() ||
        memcmp(again.GetPayloadData(), p.GetPayloadData(), static_cast<size_t>(p.GetPayloadLength())) != 0)
        __builtin_trap();
}

void check_rtcp(const uint8_t* data, int length) {
    const bool plausible = KZ_IsRTCPPacket(data, length);
    KZRTCPCompound report;
    const bool parsed = KZ_ParseRTCP(data, length, &report);
    if (parsed && !plausible) __builtin_trap();
    if (!parsed) return;
    if (report.block_count < 0 || report.block_count > KZRTCPCompound::kMaxBlocks) __builtin_trap();
    if (strnlen(report.cname, sizeof(report.cname)) == sizeof(report.cname)) __builtin_trap();
    char text[512];
    KZ_FormatRTCP(report, report.block_count ? report.blocks[0].ssrc : 0, 8000, 12.5, text, sizeof(text));
    if (strnlen(text, sizeof(text)) == sizeof(text)) __builtin_trap();
}

struct LoopbackSession {
    CKZManualClock clock;
    CheckingSession session;
    int sender = -1;
    sockaddr_in rtp{};
    sockaddr_in rtcp{};

    LoopbackSession() {
        session.SetClock(&clock);
        session.SetLocalAddress("127.0.0.1");
        session.SetPollMode(true);
        if (!session.Start()) __builtin_trap();
        const uint16_t port = session.GetLocalPort();
        // Its own reports come back to it on its RTCP port.
        session.AddDestination("127.0.0.1", port);
        sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        for (auto [a, p] : {std::pair{&rtp, port}, std::pair{&rtcp, static_cast<uint16_t>(port + 1)}}) {
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a->sin_port = htons(p);
        }
    }

    void Receive(const uint8_t* data, size_t size, bool on_rtcp_port) {
        const sockaddr_in& to = on_rtcp_port ? rtcp : rtp;
        sendto(sender, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        clock.AdvanceMs(700); // a report goes out every few inputs
        session.CheckPacket();
        session.CheckPacket(); // reads the report it just sent itself
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CKZLogInterface::SetMaxLevel(CKZLogInterface::LOG_ERROR);
    const int length = size > 65507 ? 65507 : static_cast<int>(size);
    check_packet_view(data, length);
    check_rtcp(data, length);
    static LoopbackSession loopback;
    loopback.Receive(data, static_cast<size_t>(length), length > 1 && (data[1] & 1));
    return 0;
}
