#include "host/KZRTPPacket.h"

#include "host/KZByteOrder.h"

#include <cstring>

namespace KZAPI {

namespace {

constexpr uint8_t kVersion = 2;
constexpr int kExtensionHeaderBytes = 4;
constexpr int kRTCPHeaderBytes = 4;
// RTCP packet types: the first packet of a compound is one of SR, RR, SDES, BYE, APP; the rest
// may be any type of the RTCP range (RFC 5761 section 4).
constexpr uint8_t kRTCPFirstTypeMin = 200;
constexpr uint8_t kRTCPFirstTypeMax = 204;
constexpr uint8_t kRTCPTypeMin = 192;
constexpr uint8_t kRTCPTypeMax = 223;

// Bytes of fixed header, CSRC list and extension, or -1 when they do not fit in length.
int header_length(const uint8_t* p, int length) {
    int offset = KZRTPPacket::kHeaderBytes + 4 * (p[0] & 0x0F);
    if (offset > length) return -1;
    if (p[0] & 0x10) {
        if (length - offset < kExtensionHeaderBytes) return -1;
        const int words = ReadBE16(p + offset + 2);
        offset += kExtensionHeaderBytes;
        if (words > (length - offset) / 4) return -1;
        offset += 4 * words;
    }
    return offset;
}

} // namespace

bool KZRTPPacket::Parse(const void* data, int length) {
    *this = KZRTPPacket{};
    const auto* p = static_cast<const uint8_t*>(data);
    if (!p || length < kHeaderBytes || (p[0] >> 6) != kVersion) return false;
    const int header = header_length(p, length);
    if (header < 0) return false;
    int end = length;
    if (p[0] & 0x20) {
        const int padding = p[length - 1];
        if (padding == 0 || padding > length - header) return false;
        end -= padding;
    }
    m_data = p;
    m_length = length;
    m_payload = p + header;
    m_payload_length = end - header;
    m_payload_type = p[1] & 0x7F;
    m_marker = (p[1] & 0x80) != 0;
    m_sequence = ReadBE16(p + 2);
    m_timestamp = ReadBE32(p + 4);
    m_ssrc = ReadBE32(p + 8);
    return true;
}

int KZRTPPacket::Write(uint8_t* out, int capacity, uint8_t payload_type, bool marker, uint16_t sequence,
                       uint32_t timestamp, uint32_t ssrc, const void* payload, int payload_length) {
    if (!out || payload_length < 0 || (payload_length > 0 && !payload)) return 0;
    if (capacity < kHeaderBytes || payload_length > capacity - kHeaderBytes) return 0;
    // The payload may already sit behind the header in out (callers that build in place).
    if (payload_length > 0) memmove(out + kHeaderBytes, payload, static_cast<size_t>(payload_length));
    out[0] = kVersion << 6;
    out[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | (payload_type & 0x7F));
    WriteBE16(out + 2, sequence);
    WriteBE32(out + 4, timestamp);
    WriteBE32(out + 8, ssrc);
    return kHeaderBytes + payload_length;
}

bool KZ_IsRTCPPacket(const void* data, int length) {
    const auto* p = static_cast<const uint8_t*>(data);
    if (!p || length < kRTCPHeaderBytes + 4) return false;
    if (p[1] < kRTCPFirstTypeMin || p[1] > kRTCPFirstTypeMax) return false;
    int offset = 0;
    while (length - offset >= kRTCPHeaderBytes) {
        const uint8_t* h = p + offset;
        if ((h[0] >> 6) != kVersion || h[1] < kRTCPTypeMin || h[1] > kRTCPTypeMax) return false;
        const int bytes = 4 * (ReadBE16(h + 2) + 1);
        if (bytes > length - offset) return false;
        offset += bytes;
    }
    return offset == length; // the packets' lengths add up to the datagram
}

} // namespace KZAPI
