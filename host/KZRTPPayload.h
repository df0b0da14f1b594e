// Host payload lookup: describes an RTP payload from its number or from its SDP rtpmap/fmtp
// attribute lines.
#pragma once

#include <cstdint>

namespace KZAPI {

enum : uint32_t { RTP_MEDIA_AUDIO = 0, RTP_MEDIA_VIDEO = 1 };

// One RTP payload. m_uDynamicMark is 0 for a static payload, otherwise the module's fixed code
// of a dynamic codec (96..99 G.726-16/24/32/40, 102 Speex, 103 iLBC 20 ms, 104 iLBC 30 ms,
// 105 AMR, 114 OPUS, 115 H.263-1998, 124 H.264).
struct StaticPayloadInfo {
    uint32_t m_uMediaType = RTP_MEDIA_AUDIO;
    uint32_t m_uPayload = 0;
    uint8_t m_uDynamicMark = 0;
    uint32_t m_uClockRate = 8000;
    uint32_t m_uBitRate = 64000;
    uint32_t m_uFrameSize = 160;
    uint32_t m_uFrameDuration = 20;
    uint32_t m_uBitsPerSample = 8;
    uint32_t m_uChannels = 1;
};

// The codec code of a payload: its dynamic mark when set, else its payload number.
inline int PayloadCodecCode(const StaticPayloadInfo& info) {
    return info.m_uDynamicMark != 0 ? info.m_uDynamicMark : static_cast<int>(info.m_uPayload);
}

// Fills out from either a bare payload number ("0", "18") or SDP attribute lines of one payload
// ("rtpmap:97 speex/8000", optionally followed by its "fmtp:97 ..." line), lines joined by CR LF.
// Returns false, leaving out untouched, when the payload is not one the host can carry
// (telephone-event is not a codec).
bool getRTPPayloadInfo(const char* text, StaticPayloadInfo* out);

} // namespace KZAPI
