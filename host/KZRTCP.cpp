#include "host/KZRTCP.h"

#include "host/KZByteOrder.h"
#include "host/KZRTPPacket.h"
#include "host/KZStrFunc.h"

#include <cstring>

namespace KZAPI {

namespace {

constexpr uint8_t kSR = 200;
constexpr uint8_t kRR = 201;
constexpr uint8_t kSDES = 202;
constexpr uint8_t kBYE = 203;
constexpr uint8_t kSDESCNAME = 1;
constexpr int kHeaderBytes = 4;
constexpr int kSenderInfoBytes = 20;
constexpr int kBlockBytes = 24;

void write_header(uint8_t* p, int count, uint8_t type, int bytes) {
    const int words = bytes / 4 - 1;
    p[0] = static_cast<uint8_t>(0x80 | (count & 0x1F));
    p[1] = type;
    p[2] = static_cast<uint8_t>(words >> 8);
    p[3] = static_cast<uint8_t>(words);
}

void read_block(const uint8_t* p, KZRTCPReportBlock* b) {
    b->ssrc = ReadBE32(p);
    b->fraction_lost = p[4];
    // 24-bit two's complement
    const uint32_t raw = uint32_t{p[5]} << 16 | uint32_t{p[6]} << 8 | p[7];
    b->cumulative_lost = static_cast<int32_t>(raw << 8) >> 8;
    b->highest_sequence = ReadBE32(p + 8);
    b->jitter = ReadBE32(p + 12);
    b->last_sr = ReadBE32(p + 16);
    b->delay_since_last_sr = ReadBE32(p + 20);
}

void write_block(uint8_t* p, const KZRTCPReportBlock& b) {
    WriteBE32(p, b.ssrc);
    int32_t lost = b.cumulative_lost;
    if (lost > 0x7FFFFF) lost = 0x7FFFFF;
    if (lost < -0x800000) lost = -0x800000;
    WriteBE32(p + 4, uint32_t{b.fraction_lost} << 24 | (static_cast<uint32_t>(lost) & 0xFFFFFF));
    WriteBE32(p + 8, b.highest_sequence);
    WriteBE32(p + 12, b.jitter);
    WriteBE32(p + 16, b.last_sr);
    WriteBE32(p + 20, b.delay_since_last_sr);
}

// Report blocks of an SR or RR body (after the reporter SSRC and any sender info).
bool read_blocks(const uint8_t* p, int bytes, int count, KZRTCPCompound* out) {
    if (count * kBlockBytes > bytes) return false;
    for (int i = 0; i < count; ++i) {
        if (out->block_count == KZRTCPCompound::kMaxBlocks) break;
        read_block(p + i * kBlockBytes, &out->blocks[out->block_count++]);
    }
    return true;
}

bool read_report(const uint8_t* p, int bytes, KZRTCPCompound* out) {
    const bool sender = p[1] == kSR;
    const int count = p[0] & 0x1F;
    const int body = kHeaderBytes + 4 + (sender ? kSenderInfoBytes : 0);
    if (bytes < body) return false;
    out->reporter_ssrc = ReadBE32(p + kHeaderBytes);
    if (sender) {
        const uint8_t* s = p + kHeaderBytes + 4;
        out->has_sender_report = true;
        out->sender = {ReadBE32(s), ReadBE32(s + 4), ReadBE32(s + 8), ReadBE32(s + 12), ReadBE32(s + 16)};
    } else {
        out->has_receiver_report = true;
    }
    return read_blocks(p + body, bytes - body, count, out);
}

// The first CNAME item of an SDES packet; other items and chunks are stepped over.
bool read_sdes(const uint8_t* p, int bytes, KZRTCPCompound* out) {
    int offset = kHeaderBytes;
    for (int chunk = 0; chunk < (p[0] & 0x1F); ++chunk) {
        if (bytes - offset < 4) return false;
        offset += 4; // SSRC/CSRC
        for (;;) {
            if (offset >= bytes) return false;
            const uint8_t type = p[offset];
            if (type == 0) break; // end of items; the chunk is padded to a word
            if (bytes - offset < 2 || p[offset + 1] > bytes - offset - 2) return false;
            const int item = p[offset + 1];
            if (type == kSDESCNAME && out->cname[0] == '\0')
                str_ncpy(out->cname, reinterpret_cast<const char*>(p + offset + 2), static_cast<size_t>(item),
                         sizeof(out->cname));
            offset += 2 + item;
        }
        offset = (offset + 4) & ~3;
    }
    return offset <= bytes;
}

// Packet header, first SSRC and the body of one packet: the writer's shared path for RR+BYE.
int write_report(uint8_t* out, int capacity, uint32_t ssrc, const KZRTCPSenderInfo* sender,
                 const KZRTCPReportBlock* block) {
    const int bytes = kHeaderBytes + 4 + (sender ? kSenderInfoBytes : 0) + (block ? kBlockBytes : 0);
    if (capacity < bytes) return 0;
    write_header(out, block ? 1 : 0, sender ? kSR : kRR, bytes);
    WriteBE32(out + 4, ssrc);
    uint8_t* p = out + 8;
    if (sender) {
        WriteBE32(p, sender->ntp_seconds);
        WriteBE32(p + 4, sender->ntp_fraction);
        WriteBE32(p + 8, sender->rtp_timestamp);
        WriteBE32(p + 12, sender->packets);
        WriteBE32(p + 16, sender->octets);
        p += kSenderInfoBytes;
    }
    if (block) write_block(p, *block);
    return bytes;
}

int write_sdes(uint8_t* out, int capacity, uint32_t ssrc, const char* cname) {
    const size_t text = cname ? strnlen(cname, 255) : 0;
    // header, SSRC, CNAME item, at least one zero octet, padded to a word
    const int bytes = (kHeaderBytes + 4 + 2 + static_cast<int>(text) + 1 + 3) & ~3;
    if (capacity < bytes) return 0;
    memset(out, 0, static_cast<size_t>(bytes));
    write_header(out, 1, kSDES, bytes);
    WriteBE32(out + 4, ssrc);
    out[8] = kSDESCNAME;
    out[9] = static_cast<uint8_t>(text);
    if (text) memcpy(out + 10, cname, text);
    return bytes;
}

int write_bye(uint8_t* out, int capacity, uint32_t ssrc) {
    constexpr int bytes = kHeaderBytes + 4;
    if (capacity < bytes) return 0;
    write_header(out, 1, kBYE, bytes);
    WriteBE32(out + 4, ssrc);
    return bytes;
}

} // namespace

bool KZ_ParseRTCP(const void* data, int length, KZRTCPCompound* out) {
    *out = KZRTCPCompound{};
    if (!KZ_IsRTCPPacket(data, length)) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    for (int offset = 0; offset < length;) {
        const uint8_t* h = p + offset;
        const int bytes = 4 * ((h[2] << 8 | h[3]) + 1);
        bool ok = true;
        switch (h[1]) {
        case kSR:
        case kRR:
            ok = read_report(h, bytes, out);
            break;
        case kSDES:
            ok = read_sdes(h, bytes, out);
            break;
        case kBYE:
            out->has_bye = true;
            break;
        default:
            break; // APP and later types carry nothing a session uses
        }
        if (!ok) return false;
        offset += bytes;
    }
    return true;
}

int KZ_WriteRTCPReport(uint8_t* out, int capacity, uint32_t ssrc, const KZRTCPSenderInfo* sender,
                       const KZRTCPReportBlock* block, const char* cname, bool bye) {
    if (!out || capacity <= 0) return 0;
    const int report = write_report(out, capacity, ssrc, sender, block);
    if (report == 0) return 0;
    const int sdes = write_sdes(out + report, capacity - report, ssrc, cname);
    if (sdes == 0) return 0;
    int length = report + sdes;
    if (bye) {
        const int goodbye = write_bye(out + length, capacity - length, ssrc);
        if (goodbye == 0) return 0;
        length += goodbye;
    }
    return length;
}

void KZ_FormatRTCP(const KZRTCPCompound& report, uint32_t our_ssrc, double clock_rate, double round_trip_ms,
                   char* out, size_t size) {
    if (!out || size == 0) return;
    out[0] = '\0';
    char part[160];
    if (report.has_sender_report)
        s_printf(part, sizeof(part), "SR ssrc=0x%08X packets=%u octets=%u", report.reporter_ssrc,
                 report.sender.packets, report.sender.octets);
    else if (report.has_receiver_report)
        s_printf(part, sizeof(part), "RR ssrc=0x%08X", report.reporter_ssrc);
    else
        part[0] = '\0';
    str_cat(out, part, size);
    if (clock_rate <= 0) clock_rate = 8000;
    for (int i = 0; i < report.block_count; ++i) {
        const KZRTCPReportBlock& b = report.blocks[i];
        s_printf(part, sizeof(part), "; RR ssrc=0x%08X lost=%.1f%% cum=%d jitter=%.1fms", b.ssrc,
                 b.fraction_lost * 100.0 / 256.0, b.cumulative_lost, b.jitter * 1000.0 / clock_rate);
        str_cat(out, part, size);
        if (b.ssrc == our_ssrc && round_trip_ms >= 0) {
            s_printf(part, sizeof(part), " rtt=%.1fms", round_trip_ms);
            str_cat(out, part, size);
        }
    }
    if (report.has_bye) str_cat(out, "; BYE", size);
}

} // namespace KZAPI
