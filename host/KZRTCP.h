// KZRTCP: the RTCP reports an RTP session sends and reads (RFC 3550 section 6): sender and
// receiver reports with an SDES CNAME, BYE, and the reading of received compounds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KZAPI {

// One reception report block: what a receiver says about one source.
struct KZRTCPReportBlock {
    uint32_t ssrc = 0;
    uint8_t fraction_lost = 0;   // of the last interval, in 1/256
    int32_t cumulative_lost = 0; // 24-bit signed on the wire
    uint32_t highest_sequence = 0;
    uint32_t jitter = 0; // timestamp units
    uint32_t last_sr = 0;
    uint32_t delay_since_last_sr = 0; // 1/65536 s
};

struct KZRTCPSenderInfo {
    uint32_t ntp_seconds = 0;
    uint32_t ntp_fraction = 0;
    uint32_t rtp_timestamp = 0;
    uint32_t packets = 0;
    uint32_t octets = 0;
};

// What a compound said. Blocks beyond kMaxBlocks and unknown packet types are skipped.
struct KZRTCPCompound {
    static constexpr int kMaxBlocks = 8;
    static constexpr int kMaxCNAME = 256;

    bool has_sender_report = false;
    bool has_receiver_report = false;
    bool has_bye = false;
    uint32_t reporter_ssrc = 0; // of the SR or RR
    KZRTCPSenderInfo sender;
    int block_count = 0;
    KZRTCPReportBlock blocks[kMaxBlocks];
    char cname[kMaxCNAME] = {};
};

// Reads a compound (KZ_IsRTCPPacket must hold); false when a packet is malformed inside.
bool KZ_ParseRTCP(const void* data, int length, KZRTCPCompound* out);

// Writes an SR (when sender is set) or an RR from ssrc with up to one block, then an SDES with
// the CNAME; with bye, a BYE follows. Returns the length, 0 when it does not fit.
int KZ_WriteRTCPReport(uint8_t* out, int capacity, uint32_t ssrc, const KZRTCPSenderInfo* sender,
                       const KZRTCPReportBlock* block, const char* cname, bool bye);

// One line describing a compound for logs and hooks: the reporter ("SR ssrc=0x.. packets=..
// octets=.." or "RR ssrc=0x.."), then "; RR ssrc=0x.. lost=..% cum=.. jitter=..ms" for each block,
// with " rtt=..ms" on the block about our_ssrc when round_trip_ms >= 0, and "; BYE".
void KZ_FormatRTCP(const KZRTCPCompound& report, uint32_t our_ssrc, double clock_rate, double round_trip_ms,
                   char* out, size_t size);

} // namespace KZAPI
