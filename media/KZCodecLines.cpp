#include "media/KZCodecLines.h"

#include "host/KZStrFunc.h"

using KZAPI::StaticPayloadInfo;

namespace {

constexpr int kG723 = 4;
constexpr int kG729 = 18;
constexpr int kG726Static = 2;
constexpr int kG726Offered = 98;
constexpr int kILBC20ms = 103;
constexpr int kOpus = 114;

std::string Format(const char* format, int a, int b = 0, int c = 0) {
    char line[128];
    KZAPI::s_printf(line, sizeof(line), format, a, b, c);
    return line;
}

// The encoding part of an rtpmap line; nullptr for codes without a fixed one.
const char* FixedRtpMapFormat(int codecCode) {
    switch (codecCode) {
    case 0:
        return "rtpmap:%d PCMU/8000";
    case 3:
        return "rtpmap:%d GSM/8000";
    case kG723:
        return "rtpmap:%d g723/8000";
    case 8:
        return "rtpmap:%d PCMA/8000";
    case 9:
        return "rtpmap:%d g722/8000/1";
    case kG729:
        return "rtpmap:%d g729/8000";
    case 102:
        return "rtpmap:%d speex/8000";
    case kILBC20ms:
    case 104:
        return "rtpmap:%d iLBC/8000";
    case 105:
        return "rtpmap:%d AMR/8000";
    default:
        return nullptr;
    }
}

int G726Rate(int codecCode) {
    switch (codecCode) {
    case 96:
        return 16;
    case 97:
        return 24;
    case kG726Static:
    case 98:
        return 32;
    case 99:
        return 40;
    default:
        return 0;
    }
}

void AddFmtpLine(std::vector<std::string>* lines, int codecCode, int payload, uint32_t bitRate) {
    if (codecCode == kG729) lines->push_back("fmtp:18 annexb=no");
    if (codecCode == kILBC20ms) lines->push_back(Format("fmtp:%d mode=20", payload));
    if (codecCode == kG723) lines->push_back(bitRate == 5300 ? "fmtp:4 bitrate=5.3" : "fmtp:4 bitrate=6.3");
}

} // namespace

std::vector<std::string> KZ_OfferLinesForCodec(int codecCode) {
    std::vector<std::string> lines;
    if (codecCode == kG726Offered)
        lines.push_back(Format("rtpmap:%d G726-32/8000", codecCode));
    else if (codecCode == kOpus) // RFC 7587: always 48 kHz and two channels in SDP
        lines.push_back(Format("rtpmap:%d opus/48000/2", codecCode));
    else if (const char* format = FixedRtpMapFormat(codecCode))
        lines.push_back(Format(format, codecCode));
    if (!lines.empty()) AddFmtpLine(&lines, codecCode, codecCode, 6300);
    return lines;
}

std::string KZ_RtpMapLineForPayload(const StaticPayloadInfo& info) {
    const int code = KZAPI::PayloadCodecCode(info);
    const int payload = static_cast<int>(info.m_uPayload);
    if (const int rate = G726Rate(code)) return Format("rtpmap:%d G726-%d/8000", payload, rate);
    if (code == kOpus)
        return Format("rtpmap:%d OPUS/%d/%d", payload, static_cast<int>(info.m_uClockRate),
                      static_cast<int>(info.m_uChannels));
    if (const char* format = FixedRtpMapFormat(code)) return Format(format, payload);
    return {};
}

std::vector<std::string> KZ_LinesForPayload(const StaticPayloadInfo& info) {
    std::vector<std::string> lines;
    std::string rtpmap = KZ_RtpMapLineForPayload(info);
    if (rtpmap.empty()) return lines;
    lines.push_back(std::move(rtpmap));
    AddFmtpLine(&lines, KZAPI::PayloadCodecCode(info), static_cast<int>(info.m_uPayload), info.m_uBitRate);
    return lines;
}
