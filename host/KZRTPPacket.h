// KZRTPPacket: an RTP packet (RFC 3550): a checked view of received bytes, and the writer of
// the fixed header for packets sent.
#pragma once

#include <cstdint>

namespace KZAPI {

class KZRTPPacket {
public:
    static constexpr int kHeaderBytes = 12;

    // Reads data as an RTP packet: version 2, CSRC list, header extension and padding within
    // the length. False (and an empty view) for anything else. The view points into data.
    bool Parse(const void* data, int length);

    uint8_t GetPayloadType() const { return m_payload_type; }
    bool GetMarker() const { return m_marker; }
    uint16_t GetSequenceNumber() const { return m_sequence; }
    uint32_t GetTimestamp() const { return m_timestamp; }
    uint32_t GetSSRC() const { return m_ssrc; }
    const uint8_t* GetPayloadData() const { return m_payload; }
    int GetPayloadLength() const { return m_payload_length; }
    const uint8_t* GetPacketData() const { return m_data; }
    int GetPacketLength() const { return m_length; }

    // Writes a 12-byte header and the payload into out; returns the packet length, 0 when it
    // does not fit.
    static int Write(uint8_t* out, int capacity, uint8_t payload_type, bool marker, uint16_t sequence,
                     uint32_t timestamp, uint32_t ssrc, const void* payload, int payload_length);

private:
    const uint8_t* m_data = nullptr;
    int m_length = 0;
    const uint8_t* m_payload = nullptr;
    int m_payload_length = 0;
    uint8_t m_payload_type = 0;
    bool m_marker = false;
    uint16_t m_sequence = 0;
    uint32_t m_timestamp = 0;
    uint32_t m_ssrc = 0;
};

// RTCP compound packets (RFC 3550 section 6): true when data is a plausible RTCP packet (version
// 2, payload type 200..204, lengths within data), which also tells it from RTP on a shared port.
bool KZ_IsRTCPPacket(const void* data, int length);

} // namespace KZAPI
