// Payload lookup: the codecs the host carries, recognised from a static payload number or from
// an SDP rtpmap line (with its fmtp line for the codecs whose variant is chosen there).
#include "host/KZRTPPayload.h"

#include "host/KZStrFunc.h"

#include <array>
#include <charconv>
#include <optional>
#include <string_view>

namespace KZAPI {
namespace {

constexpr int kNoStaticPayload = -1;
constexpr uint32_t kAnyClock = 0;
constexpr int kMaxPayloadNumber = 127;

// One codec the host carries. A codec with a static number is recognised at that number only;
// one with a dynamic code at any number its rtpmap line gives.
struct CarriedCodec {
    std::string_view encoding;
    int staticPayload;
    uint8_t dynamicCode;
    uint32_t mediaType;
    uint32_t clockRate; // kAnyClock: taken from the rtpmap line
    uint32_t bitRate;
    uint32_t frameSize;
    uint32_t frameDuration;
    uint32_t bitsPerSample;
};

constexpr std::array kCarriedCodecs = {
    CarriedCodec{"PCMU", 0, 0, RTP_MEDIA_AUDIO, 8000, 64000, 160, 20, 8},
    CarriedCodec{"GSM", 3, 0, RTP_MEDIA_AUDIO, 8000, 13200, 33, 20, 8},
    CarriedCodec{"G723", 4, 0, RTP_MEDIA_AUDIO, 8000, 6300, 24, 30, 8},
    CarriedCodec{"PCMA", 8, 0, RTP_MEDIA_AUDIO, 8000, 64000, 160, 20, 8},
    // G.722's RTP clock stays 8000 although it samples at 16 kHz.
    CarriedCodec{"G722", 9, 0, RTP_MEDIA_AUDIO, 8000, 64000, 160, 20, 8},
    CarriedCodec{"G729", 18, 0, RTP_MEDIA_AUDIO, 8000, 8000, 20, 20, 8},
    CarriedCodec{"G726-16", kNoStaticPayload, 96, RTP_MEDIA_AUDIO, 8000, 16000, 40, 20, 2},
    CarriedCodec{"G726-24", kNoStaticPayload, 97, RTP_MEDIA_AUDIO, 8000, 24000, 60, 20, 3},
    CarriedCodec{"G726-32", 2, 98, RTP_MEDIA_AUDIO, 8000, 32000, 80, 20, 4},
    CarriedCodec{"G726-40", kNoStaticPayload, 99, RTP_MEDIA_AUDIO, 8000, 40000, 100, 20, 5},
    CarriedCodec{"speex", kNoStaticPayload, 102, RTP_MEDIA_AUDIO, 8000, 15000, 38, 20, 8},
    CarriedCodec{"iLBC", kNoStaticPayload, 104, RTP_MEDIA_AUDIO, 8000, 13330, 50, 30, 8},
    CarriedCodec{"AMR", kNoStaticPayload, 105, RTP_MEDIA_AUDIO, 8000, 12200, 32, 20, 8},
    CarriedCodec{"OPUS", kNoStaticPayload, 114, RTP_MEDIA_AUDIO, kAnyClock, 64000, 1275, 20, 8},
    CarriedCodec{"H263", 34, 0, RTP_MEDIA_VIDEO, 90000, 64000, 2000, 20, 8},
    CarriedCodec{"H263-1998", kNoStaticPayload, 115, RTP_MEDIA_VIDEO, 90000, 64000, 2000, 20, 8},
    CarriedCodec{"H264", kNoStaticPayload, 124, RTP_MEDIA_VIDEO, 90000, 64000, 2000, 20, 8},
};

constexpr uint8_t kILBC20msCode = 103;

StaticPayloadInfo RecordOf(const CarriedCodec& codec, int payload) {
    StaticPayloadInfo info;
    info.m_uMediaType = codec.mediaType;
    info.m_uPayload = static_cast<uint32_t>(payload);
    info.m_uDynamicMark = payload == codec.staticPayload ? 0 : codec.dynamicCode;
    info.m_uClockRate = codec.clockRate;
    info.m_uBitRate = codec.bitRate;
    info.m_uFrameSize = codec.frameSize;
    info.m_uFrameDuration = codec.frameDuration;
    info.m_uBitsPerSample = codec.bitsPerSample;
    info.m_uChannels = 1;
    return info;
}

std::optional<int> ParseNumber(std::string_view text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<StaticPayloadInfo> FromStaticNumber(std::string_view text) {
    const std::optional<int> payload = ParseNumber(text);
    if (!payload) return std::nullopt;
    for (const CarriedCodec& codec : kCarriedCodecs)
        if (codec.staticPayload == *payload) return RecordOf(codec, *payload);
    return std::nullopt;
}

// The pieces of "rtpmap:<payload> <encoding>/<clock>[/<channels>]".
struct RtpMap {
    int payload = -1;
    std::string_view encoding;
    std::optional<int> clockRate;
    std::optional<int> channels;
};

std::string_view CutAt(std::string_view* text, char separator) {
    const size_t at = text->find(separator);
    const std::string_view head = text->substr(0, at);
    *text = at == std::string_view::npos ? std::string_view() : text->substr(at + 1);
    return head;
}

std::optional<RtpMap> ParseRtpMap(std::string_view line) {
    std::string_view rest = trim_white(line.substr(line.find(':') + 1));
    const std::optional<int> payload = ParseNumber(CutAt(&rest, ' '));
    if (!payload || *payload < 0 || *payload > kMaxPayloadNumber) return std::nullopt;
    rest = trim_white(rest);
    RtpMap map;
    map.payload = *payload;
    map.encoding = CutAt(&rest, '/');
    if (!rest.empty()) map.clockRate = ParseNumber(CutAt(&rest, '/'));
    if (!rest.empty()) map.channels = ParseNumber(rest);
    return map;
}

std::optional<StaticPayloadInfo> FromRtpMap(const RtpMap& map, std::string_view fmtp) {
    for (const CarriedCodec& codec : kCarriedCodecs) {
        if (!iequals(codec.encoding, map.encoding)) continue;
        const bool atOwnNumber = codec.staticPayload == map.payload;
        if (!atOwnNumber && codec.dynamicCode == 0) return std::nullopt;
        if (codec.clockRate != kAnyClock && map.clockRate &&
            *map.clockRate != static_cast<int>(codec.clockRate))
            return std::nullopt;
        StaticPayloadInfo info = RecordOf(codec, map.payload);
        if (codec.clockRate == kAnyClock) info.m_uClockRate = map.clockRate.value_or(8000);
        info.m_uChannels = map.channels.value_or(1);
        if (codec.dynamicCode == 104 && contains_no_case(fmtp, "mode=20")) {
            info.m_uDynamicMark = kILBC20msCode;
            info.m_uFrameSize = 38;
            info.m_uBitRate = 15200;
            info.m_uFrameDuration = 20;
        }
        if (codec.staticPayload == 4 && contains_no_case(fmtp, "bitrate=5.3")) {
            info.m_uBitRate = 5300;
            info.m_uFrameSize = 20;
        }
        return info;
    }
    return std::nullopt;
}

std::optional<StaticPayloadInfo> FromAttributeLines(std::string_view text) {
    std::optional<RtpMap> map;
    std::string_view fmtp;
    while (!text.empty()) {
        const std::string_view line = trim_white(CutAt(&text, '\n'));
        if (!map && istarts_with(line, "rtpmap:"))
            map = ParseRtpMap(line);
        else if (fmtp.empty() && istarts_with(line, "fmtp:"))
            fmtp = line;
    }
    if (!map) return std::nullopt;
    return FromRtpMap(*map, fmtp);
}

} // namespace

bool getRTPPayloadInfo(const char* text, StaticPayloadInfo* out) {
    if (!text || !out) return false;
    const std::string_view trimmed = trim_white(text);
    std::optional<StaticPayloadInfo> info = FromAttributeLines(trimmed);
    if (!info) info = FromStaticNumber(trimmed);
    if (!info) return false;
    *out = *info;
    return true;
}

} // namespace KZAPI
