// Reading the peer's session descriptions: remote RTP address and port, SRTP parameters, the
// chosen codec, direction and packet time.
#include "media/CKZSIPMediaNegotiation.h"

#include "host/CKZLogInterface.h"
#include "host/KZBase64.h"
#include "host/KZStrFunc.h"
#include "sipmsg/sip_msg.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

using KZAPI::CKZLogInterface;
using KZAPI::PayloadCodecCode;

namespace {

constexpr auto LOG_ERROR = CKZLogInterface::LOG_ERROR;
constexpr auto LOG_TRACE = CKZLogInterface::LOG_TRACE;

struct CryptoSuiteKeying {
    std::string_view name;
    size_t keyAndSaltBytes; // RFC 4568 / RFC 6188 / RFC 7714: master key + master salt
};

constexpr std::array<CryptoSuiteKeying, 8> kSupportedCryptoSuites = {{
    {"AES_CM_128_HMAC_SHA1_32", 30},
    {"AES_CM_128_HMAC_SHA1_80", 30},
    {"AES_192_CM_HMAC_SHA1_32", 38},
    {"AES_192_CM_HMAC_SHA1_80", 38},
    {"AES_256_CM_HMAC_SHA1_32", 46},
    {"AES_256_CM_HMAC_SHA1_80", 46},
    {"AEAD_AES_128_GCM", 28},
    {"AEAD_AES_256_GCM", 44},
}};

bool IsSupportedCryptoSuite(std::string_view suite) {
    return CKZSIPMediaNegotiation::CryptoKeyAndSaltBytes(suite) != 0;
}

bool ReadValue(const sip_msg& message, uint32_t id, unsigned index, char* buffer, size_t capacity) {
    unsigned size = static_cast<unsigned>(capacity);
    return message.get_ie(id, index, buffer, &size) == 0;
}

// Index of the first media of the type, or -1.
int FindMedia(const sip_msg& message, std::string_view type) {
    const unsigned count = message.get_ie_value_count(KZ_IE_SDP_MEDIA_TYPE);
    for (unsigned i = 0; i < count; ++i)
        if (KZAPI::iequals(message.get_ie_value(KZ_IE_SDP_MEDIA_TYPE, i).View(), type))
            return static_cast<int>(i);
    return -1;
}

// The media-level connection address, else the session-level one.
bool ReadConnectionAddress(const sip_msg& message, int mediaIndex, char* address, size_t capacity) {
    if (ReadValue(message, KZ_IE_SDP_CONNECTION_ADDRESS, static_cast<unsigned>(mediaIndex), address,
                  capacity))
        return true;
    return mediaIndex != 0 && ReadValue(message, KZ_IE_SDP_CONNECTION_ADDRESS, 0, address, capacity);
}

bool ReadPort(const sip_msg& message, int mediaIndex, int* port) {
    char text[32];
    if (!ReadValue(message, KZ_IE_SDP_MEDIA_PORT, static_cast<unsigned>(mediaIndex), text, sizeof(text)))
        return false;
    *port = std::atoi(text);
    return true;
}

std::vector<std::string_view> AttributeLines(const sip_msg& message, uint32_t attributeId) {
    std::vector<std::string_view> lines;
    const unsigned count = message.get_ie_value_count(attributeId);
    for (unsigned i = 0; i < count; ++i)
        lines.push_back(message.get_ie_value(attributeId, i).View());
    return lines;
}

// "rtpmap:<n>" or "fmtp:<n>" (a blank after the colon allowed) naming exactly this payload, so that
// payload 9 does not gather the lines of 97.
bool NamesPayload(std::string_view line, std::string_view prefix, int payload) {
    if (!line.starts_with(prefix)) return false;
    std::string_view rest = line.substr(prefix.size());
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    const std::string number = std::to_string(payload);
    if (!rest.starts_with(number)) return false;
    rest.remove_prefix(number.size());
    return rest.empty() || !std::isdigit(static_cast<unsigned char>(rest.front()));
}

std::string GatherPayloadLines(const sip_msg& message, uint32_t attributeId, int payload) {
    std::string text;
    for (std::string_view line : AttributeLines(message, attributeId)) {
        if (!NamesPayload(line, "rtpmap:", payload) && !NamesPayload(line, "fmtp:", payload)) continue;
        if (!text.empty()) text += "\r\n";
        text += line;
    }
    return text;
}

// The host lookup of one format entry: by its own text, else by its gathered attribute lines.
bool LookUpFormat(const sip_msg& message, uint32_t attributeId, const char* entry, StaticPayloadInfo* info) {
    if (KZAPI::getRTPPayloadInfo(entry, info)) return true;
    int payload = -1;
    const std::string_view text(entry);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), payload);
    if (error != std::errc() || end != text.data() + text.size()) return false; // not a payload number
    const std::string lines = GatherPayloadLines(message, attributeId, payload);
    return !lines.empty() && KZAPI::getRTPPayloadInfo(lines.c_str(), info);
}

int PositionIn(const std::vector<int>& list, int code) {
    const auto it = std::find(list.begin(), list.end(), code);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

} // namespace

// The element ids of one media: its format list and its attribute lines (video's are one above).
struct KZSdpMediaIds {
    uint32_t formats;
    uint32_t attributes;
};
static constexpr KZSdpMediaIds kAudioIds{KZ_IE_SIP_PAYLOAD, KZ_IE_SDP_MEDIA_ATTR};
static constexpr KZSdpMediaIds kVideoIds{KZ_IE_SIP_VIDEO_PAYLOAD, KZ_IE_SDP_VIDEO_MEDIA_ATTR};

// The log texts that differ between an offer (INVITE) and an answer (OK and provisional).
struct KZSdpReadTexts {
    bool offer; // an offer may carry SRTP at best effort (crypto lines in a plain RTP/AVP description)
    const char* noTransport;
    const char* adaptingSuite;
    const char* srtpRequired;
    const char* srtpDisabled;
};
static constexpr KZSdpReadTexts kInviteTexts{
    true,
    "Error: Unable to obtain audio media transport information from incoming INVITE",
    "CKZSIPAPICC::GetRemoteRTPInfoFromInvite Adapting encoder crypto suite same as decoder, "
    "encoder[%s], decoder[%s]",
    "Error: Unable to obtain SRTP audio media transport information(crypto suite & key) "
    "from incoming INVITE Progress",
    "Error: obtained SRTP audio media transport information(crypto suite & key) "
    "from incoming INVITE Progress, but SRTP is disabled!",
};
static constexpr KZSdpReadTexts kOKTexts{
    false,
    "Error: Unable to obtain audio media transport information from incoming OK/RING/Session Progress",
    "CKZSIPAPICC::GetRemoteRTPInfoFromOK Adapting encoder crypto suite same as decoder, "
    "encoder[%s], decoder[%s]",
    "Error: Unable to obtain SRTP audio media transport information(crypto suite & key) "
    "from incoming OK/RING/Session Progress",
    "Error: obtained SRTP audio media transport information(crypto suite & key) "
    "from incoming OK/RING/Session Progress, but SRTP is disabled!",
};

CKZSIPMediaNegotiation::CKZSIPMediaNegotiation(KZMediaSettings settings, int callId)
    : m_settings(std::move(settings)), m_callId(callId) {
    static_assert(sizeof(m_encoderSuite) > sizeof("AES_CM_128_HMAC_SHA1_80"));
    KZAPI::str_cpy(m_encoderSuite, kDefaultEncoderSuite, sizeof(m_encoderSuite));
}

// ---- SRTP parameters of an offer or answer ----

bool CKZSIPMediaNegotiation::ReadTransportAndCrypto(const sip_msg& message, int mediaIndex,
                                                    const KZSdpReadTexts& texts) {
    char transport[64];
    if (!ReadValue(message, KZ_IE_SDP_MEDIA_TRANSPORT, static_cast<unsigned>(mediaIndex), transport,
                   sizeof(transport))) {
        CKZLogInterface::Log(LOG_ERROR, "%s", texts.noTransport);
        return false;
    }
    CKZLogInterface::Log(LOG_TRACE, "audio transport info:%s", transport);
    // The crypto parameters describe this description only.
    m_decoderSuite[0] = '\0';
    m_decoderKey[0] = '\0';
    m_bestEffortSRTP = false;
    if (KZAPI::iequals(transport, "RTP/SAVP")) {
        m_srtpInUse = true;
        ReadCryptoAttribute(message, texts);
    } else if (texts.offer && m_settings.srtpMode != SRTP_OFF) {
        ReadBestEffortCrypto(message, texts);
    }
    return ApplySRTPMode(texts);
}

// Some peers offer SRTP over the plain profile and use it when the answer carries a key too.
// Only a supported suite with a key is taken; otherwise the offer stays plain.
void CKZSIPMediaNegotiation::ReadBestEffortCrypto(const sip_msg& message, const KZSdpReadTexts& texts) {
    char encoderSuite[sizeof(m_encoderSuite)];
    KZAPI::str_cpy(encoderSuite, m_encoderSuite, sizeof(encoderSuite));
    ReadCryptoAttribute(message, texts);
    if (IsSupportedCryptoSuite(m_decoderSuite) && m_decoderKey[0]) {
        m_srtpInUse = true;
        m_bestEffortSRTP = true;
        return;
    }
    m_decoderSuite[0] = '\0';
    m_decoderKey[0] = '\0';
    AdoptEncoderSuite(encoderSuite);
}

void CKZSIPMediaNegotiation::ReadCryptoAttribute(const sip_msg& message, const KZSdpReadTexts& texts) {
    static_assert(sizeof(m_decoderSuite) == kMaxCryptoSuiteLength + 1);
    static_assert(sizeof(m_decoderKey) == kMaxCryptoKeyLength + 1);
    for (std::string_view line : AttributeLines(message, kAudioIds.attributes)) {
        if (line.find("crypto:") == std::string_view::npos) continue;
        // "crypto:<tag> <suite> inline:<key>[|lifetime|mki]"
        std::string_view rest = KZAPI::trim_white(line);
        const size_t tagEnd = rest.find_first_of(" \t");
        rest = tagEnd == std::string_view::npos ? std::string_view() : KZAPI::trim_white(rest.substr(tagEnd));
        const size_t suiteEnd = rest.find_first_of(" \t");
        const std::string suite(rest.substr(0, suiteEnd));
        const std::string_view keyParam = suiteEnd == std::string_view::npos
                                              ? std::string_view()
                                              : KZAPI::trim_white(rest.substr(suiteEnd));
        KZAPI::str_cpy(m_decoderSuite, suite.c_str(), sizeof(m_decoderSuite));
        if (keyParam.starts_with("inline:")) {
            const std::string key(keyParam.substr(7));
            KZAPI::str_cpy(m_decoderKey, key.c_str(), sizeof(m_decoderKey));
        }
        if (IsSupportedCryptoSuite(m_decoderSuite) && std::string_view(m_decoderSuite) != m_encoderSuite) {
            AdoptEncoderSuite(m_decoderSuite);
            CKZLogInterface::Log(LOG_TRACE, texts.adaptingSuite, m_encoderSuite, m_decoderSuite);
        }
        break;
    }
    CKZLogInterface::Log(LOG_TRACE, "audio a=crypto info:DecoderCryptoSuite[%s] DecoderCryptoKey[%s]",
                         m_decoderSuite, m_decoderKey);
}

bool CKZSIPMediaNegotiation::ApplySRTPMode(const KZSdpReadTexts& texts) {
    const bool hasSuite = m_decoderSuite[0] != '\0';
    switch (m_settings.srtpMode) {
    case SRTP_REQUIRED:
        if (hasSuite) return true;
        CKZLogInterface::Log(LOG_ERROR, "%s", texts.srtpRequired);
        return false;
    case SRTP_OPTIONAL:
        if (!hasSuite) {
            m_srtpInUse = false;
            m_encoderSuite[0] = '\0';
        }
        return true;
    default:
        m_srtpInUse = false;
        if (!hasSuite) return true;
        CKZLogInterface::Log(LOG_ERROR, "%s", texts.srtpDisabled);
        return false;
    }
}

// ---- codec lists and choice ----

CKZSIPMediaNegotiation::PayloadList CKZSIPMediaNegotiation::BuildOfferedList(const sip_msg& message,
                                                                             const KZSdpMediaIds& media,
                                                                             const char* logText) const {
    PayloadList offered;
    const unsigned count = message.get_ie_value_count(media.formats);
    for (unsigned i = 0; i < count && offered.size() < kMaxOfferedPayloads; ++i) {
        const char* entry = message.get_ie_value(media.formats, i).c_str();
        if (logText) CKZLogInterface::Log(LOG_TRACE, logText, entry);
        if (std::atoi(entry) < 0) continue;
        StaticPayloadInfo info;
        if (LookUpFormat(message, media.attributes, entry, &info)) offered.push_back(info);
    }
    return offered;
}

std::optional<StaticPayloadInfo> CKZSIPMediaNegotiation::ChooseByPreference(const PayloadList& offered,
                                                                            const std::vector<int>& prefer,
                                                                            bool skipNonAudio) const {
    std::optional<StaticPayloadInfo> best;
    int bestPosition = -1;
    for (const StaticPayloadInfo& info : offered) {
        if (skipNonAudio && info.m_uMediaType != KZAPI::RTP_MEDIA_AUDIO) continue;
        const int position = PositionIn(prefer, PayloadCodecCode(info));
        if (position < 0 || (best && position >= bestPosition)) continue;
        best = info;
        bestPosition = position;
    }
    return best;
}

std::optional<StaticPayloadInfo> CKZSIPMediaNegotiation::FindPreset(const PayloadList& offered,
                                                                    bool skipNonAudio) const {
    for (const StaticPayloadInfo& info : offered) {
        CKZLogInterface::Log(LOG_TRACE, "CKZSIPAPICC::GetRemoteRTPInfoFromInvite Preset Audio Codec %d",
                             m_presetAudioCodec);
        if (skipNonAudio && info.m_uMediaType != KZAPI::RTP_MEDIA_AUDIO) continue;
        if (PayloadCodecCode(info) == m_presetAudioCodec) return info;
    }
    return std::nullopt;
}

// A re-offer that still holds the codec in use keeps the current record as it is, so the running
// RTP session need not change even when the peer now lists a preferred codec first.
bool CKZSIPMediaNegotiation::OfferHoldsCurrent(const PayloadList& offered, const StaticPayloadInfo& current,
                                               bool skipNonAudio) const {
    const bool byMark = current.m_uDynamicMark != 0;
    const int currentCode = byMark ? current.m_uDynamicMark : static_cast<int>(current.m_uPayload);
    for (const StaticPayloadInfo& info : offered) {
        if (skipNonAudio && info.m_uMediaType != KZAPI::RTP_MEDIA_AUDIO) continue;
        if (PayloadCodecCode(info) != currentCode) continue;
        if (byMark)
            CKZLogInterface::Log(
                LOG_TRACE,
                "CKZSIPAPICC::GetRemoteRTPInfoFromInvite pCurrentPayLoadInfo is not NULL, m_uDynamicMark %d",
                currentCode);
        else
            CKZLogInterface::Log(
                LOG_TRACE,
                "CKZSIPAPICC::GetRemoteRTPInfoFromInvite pCurrentPayLoadInfo is not NULL, m_uPayload %d",
                currentCode);
        return true;
    }
    return false;
}

std::optional<StaticPayloadInfo> CKZSIPMediaNegotiation::ChooseFromOffer(const PayloadList& offered,
                                                                         const StaticPayloadInfo* current,
                                                                         bool skipNonAudio) const {
    if (m_presetAudioCodec >= 0)
        if (std::optional<StaticPayloadInfo> preset = FindPreset(offered, skipNonAudio)) return preset;
    if (current && OfferHoldsCurrent(offered, *current, skipNonAudio)) return *current;
    std::optional<StaticPayloadInfo> chosen =
        ChooseByPreference(offered, m_settings.audioPreferList, skipNonAudio);
    if (current && chosen)
        CKZLogInterface::Log(
            LOG_TRACE,
            "CKZSIPAPICC::GetRemoteRTPInfoFromInvite pCurrentPayLoadInfo is not NULL, trying find "
            "one in prefered list %d",
            PositionIn(m_settings.audioPreferList, PayloadCodecCode(*chosen)));
    return chosen;
}

std::optional<StaticPayloadInfo> CKZSIPMediaNegotiation::FirstRecognised(const sip_msg& message,
                                                                         const KZSdpMediaIds& media,
                                                                         const char* logText) const {
    const unsigned count = message.get_ie_value_count(media.formats);
    for (unsigned i = 0; i < count; ++i) {
        const char* entry = message.get_ie_value(media.formats, i).c_str();
        CKZLogInterface::Log(LOG_TRACE, logText, entry);
        if (std::atoi(entry) < 0) continue;
        StaticPayloadInfo info;
        if (LookUpFormat(message, media.attributes, entry, &info)) return info;
    }
    return std::nullopt;
}

int CKZSIPMediaNegotiation::ReadDirectionAndPacketTime(const sip_msg& message, uint32_t attributeId,
                                                       bool readPacketTime) {
    int direction = RTP_SEND_RECV;
    for (std::string_view line : AttributeLines(message, attributeId)) {
        if (line == "sendonly" || line == "inactive")
            direction = RTP_PEER_SEND_ONLY;
        else if (line == "recvonly")
            direction = RTP_PEER_RECV_ONLY;
        else if (readPacketTime && line.starts_with("ptime:")) {
            const int ms = std::atoi(std::string(line.substr(6)).c_str());
            m_packetTime = ms == 0 ? kDefaultPacketTime : ms;
        }
    }
    return direction;
}

// ---- audio ----

int CKZSIPMediaNegotiation::GetRemoteRTPInfoFromInvite(const sip_msg& message, char* address, size_t capacity,
                                                       int* port, StaticPayloadInfo* chosen, int* direction,
                                                       const StaticPayloadInfo* current) {
    const int media = FindMedia(message, "audio");
    if (media < 0) return 0;
    if (!ReadTransportAndCrypto(message, media, kInviteTexts)) return 0;
    if (!ReadPort(message, media, port)) {
        CKZLogInterface::Log(LOG_ERROR,
                             "Error: Unable to obtain audio RTP port information from incoming INVITE");
        return 0;
    }
    if (!ReadConnectionAddress(message, media, address, capacity)) {
        CKZLogInterface::Log(LOG_ERROR,
                             "Error: Unable to obtain audio RTP address information from incoming INVITE");
        return 0;
    }
    CKZLogInterface::Log(LOG_TRACE, "CALL ID:%d, the remote audio RTP address is %s:%d", m_callId, address,
                         *port);

    const PayloadList offered = BuildOfferedList(message, kAudioIds, "INVITE Audio Playload is %s");
    if (offered.empty()) {
        CKZLogInterface::Log(LOG_ERROR, "Error: Unable to obtain Audio RTP codecs from incoming INVITE");
        return 0;
    }
    const std::optional<StaticPayloadInfo> choice = ChooseFromOffer(offered, current, true);
    if (!choice) {
        CKZLogInterface::Log(LOG_ERROR, "Codec is not in prefered list: Unable to answer incoming call");
        return 0;
    }
    *chosen = *choice;
    *direction = ReadDirectionAndPacketTime(message, kAudioIds.attributes, true);
    return 1;
}

int CKZSIPMediaNegotiation::GetRemoteRTPInfoFromOK(const sip_msg& message, char* address, size_t capacity,
                                                   int* port, StaticPayloadInfo* chosen, int* direction,
                                                   const StaticPayloadInfo* current) {
    const int media = FindMedia(message, "audio");
    if (media < 0) return 0;
    if (!ReadTransportAndCrypto(message, media, kOKTexts)) return 0;
    if (!ReadConnectionAddress(message, media, address, capacity)) {
        CKZLogInterface::Log(LOG_ERROR, "Cannot get remote RTP address from OK.");
        return 0;
    }
    CKZLogInterface::Log(LOG_TRACE, "remote RTP address %s", address);
    if (!ReadPort(message, media, port)) {
        CKZLogInterface::Log(LOG_ERROR, "Cannot get remote RTP port from OK.");
        return 0;
    }
    CKZLogInterface::Log(LOG_TRACE, "remote RTP port %d", *port);

    std::optional<StaticPayloadInfo> choice;
    if (m_settings.usePreferCodecInOK) {
        const PayloadList offered = BuildOfferedList(message, kAudioIds, "OK Playload is %s");
        if (offered.empty()) {
            CKZLogInterface::Log(LOG_ERROR, "Error: Unable to obtain RTP codecs from incoming OK");
            return 0;
        }
        choice = ChooseFromOffer(offered, current, false);
    } else {
        choice = FirstRecognised(message, kAudioIds, "Response of INVITE Playload is %s");
    }
    if (!choice) {
        CKZLogInterface::Log(LOG_ERROR, "Codec is not in prefered list: Unable to answer incoming call");
        return 0;
    }
    *chosen = *choice;
    *direction = ReadDirectionAndPacketTime(message, kAudioIds.attributes, true);
    return 1;
}

// ---- video ----

int CKZSIPMediaNegotiation::GetRemoteVideoRTPInfoFromInvite(const sip_msg& message, char* address,
                                                            size_t capacity, int* port,
                                                            StaticPayloadInfo* chosen, int* direction) {
    const int media = FindMedia(message, "video");
    if (media < 0) return 0;
    if (!ReadPort(message, media, port)) {
        CKZLogInterface::Log(LOG_ERROR,
                             "Error: Unable to obtain Video RTP port information from incoming INVITE");
        return 0;
    }
    if (!ReadConnectionAddress(message, media, address, capacity)) {
        CKZLogInterface::Log(LOG_ERROR,
                             "Error: Unable to obtain Video RTP address information from incoming INVITE");
        return 0;
    }
    CKZLogInterface::Log(LOG_TRACE, "CALL ID:%d, the remote video RTP address is %s:%d", m_callId, address,
                         *port);

    PayloadList offered = BuildOfferedList(message, kVideoIds, "INVITE Video Playload is %s");
    if (offered.empty()) {
        CKZLogInterface::Log(LOG_ERROR, "Error: Unable to obtain Video RTP codecs from incoming INVITE");
        return 0;
    }
    std::erase_if(offered, [](const StaticPayloadInfo& info) {
        if (info.m_uMediaType == KZAPI::RTP_MEDIA_VIDEO) return false;
        CKZLogInterface::Log(LOG_ERROR, "Error: Codec Type %d:%d is not Video.",
                             static_cast<int>(info.m_uMediaType), static_cast<int>(info.m_uPayload));
        return true;
    });
    const std::optional<StaticPayloadInfo> choice =
        ChooseByPreference(offered, m_settings.videoPreferList, false);
    if (!choice) {
        CKZLogInterface::Log(LOG_ERROR, "Video Codec is not in prefered list.");
        return 0;
    }
    *chosen = *choice;
    *direction = ReadDirectionAndPacketTime(message, kVideoIds.attributes, false);
    return 1;
}

int CKZSIPMediaNegotiation::GetRemoteVideoRTPInfoFromOK(const sip_msg& message, char* address,
                                                        size_t capacity, int* port, StaticPayloadInfo* chosen,
                                                        int* direction) {
    const int media = FindMedia(message, "video");
    if (media < 0) return 0;
    if (!ReadConnectionAddress(message, media, address, capacity)) {
        CKZLogInterface::Log(LOG_ERROR, "Cannot get remote Video RTP address from OK.");
        return 0;
    }
    CKZLogInterface::Log(LOG_TRACE, "remote Video RTP address %s", address);
    if (!ReadPort(message, media, port)) {
        CKZLogInterface::Log(LOG_ERROR, "Cannot get remote Video RTP port from OK.");
        return 0;
    }
    CKZLogInterface::Log(LOG_TRACE, "remote Video RTP port %d", *port);

    std::optional<StaticPayloadInfo> choice;
    if (m_settings.usePreferCodecInOK) {
        const PayloadList offered = BuildOfferedList(message, kVideoIds, "OK Video Playload is %s");
        if (offered.empty()) {
            CKZLogInterface::Log(LOG_ERROR, "Error: Unable to obtain RTP video codecs from incoming OK");
            return 0;
        }
        choice = ChooseByPreference(offered, m_settings.videoPreferList, false);
    } else {
        choice = FirstRecognised(message, kVideoIds, "Response of INVITE Video Playload is %s");
    }
    if (!choice) {
        CKZLogInterface::Log(LOG_ERROR,
                             "Video codec is not in prefered list: Unable to answer incoming call");
        return 0;
    }
    *chosen = *choice;
    *direction = ReadDirectionAndPacketTime(message, kVideoIds.attributes, false);
    return 1;
}

// ---- other readings ----

int CKZSIPMediaNegotiation::GetRemoteRTPAddrFromSIPMsg(const sip_msg& message) {
    const unsigned count = message.get_ie_value_count(KZ_IE_SDP_MEDIA_TYPE);
    for (unsigned i = 0; i < count; ++i) {
        const KZAPI::CString& type = message.get_ie_value(KZ_IE_SDP_MEDIA_TYPE, i);
        RemoteMedia* remote = KZAPI::iequals(type.View(), "audio")   ? &m_remoteAudio
                              : KZAPI::iequals(type.View(), "video") ? &m_remoteVideo
                                                                     : nullptr;
        if (!remote) {
            CKZLogInterface::Log(LOG_ERROR, "Unsupported Media:%s", type.c_str());
            continue;
        }
        if (!ReadPort(message, static_cast<int>(i), &remote->port)) {
            CKZLogInterface::Log(LOG_ERROR, "Error: Unable to obtain RTP port information from SIP Message.");
            return 0;
        }
        static_assert(sizeof(remote->address) == kMaxAddressLength + 1);
        if (!ReadValue(message, KZ_IE_SDP_CONNECTION_ADDRESS, 0, remote->address, sizeof(remote->address))) {
            CKZLogInterface::Log(LOG_ERROR,
                                 "Error: Unable to obtain RTP address information from SIP Message");
            return 0;
        }
    }
    return 1;
}

bool CKZSIPMediaNegotiation::IsInOfferedList(int codecCode, StaticPayloadInfo* found, const sip_msg* offer,
                                             bool awaitingAnswer, const KZSdpMediaIds& media) const {
    if (!awaitingAnswer || !offer) return true;
    const PayloadList offered = BuildOfferedList(*offer, media, nullptr);
    if (offered.empty()) return true;
    for (const StaticPayloadInfo& info : offered) {
        if (PayloadCodecCode(info) != codecCode) continue;
        if (found) *found = info;
        return true;
    }
    return false;
}

bool CKZSIPMediaNegotiation::IsInOfferedCodecList(int codecCode, StaticPayloadInfo* found,
                                                  const sip_msg* offer, bool awaitingAnswer) const {
    return IsInOfferedList(codecCode, found, offer, awaitingAnswer, kAudioIds);
}

bool CKZSIPMediaNegotiation::IsInOfferedVideoCodecList(int codecCode, StaticPayloadInfo* found,
                                                       const sip_msg* offer, bool awaitingAnswer) const {
    return IsInOfferedList(codecCode, found, offer, awaitingAnswer, kVideoIds);
}

int CKZSIPMediaNegotiation::GetRFC2833DTMFPayload(const sip_msg& message) const {
    for (std::string_view line : AttributeLines(message, kAudioIds.attributes)) {
        if (line.find("telephone-event") == std::string_view::npos) continue;
        const std::string text(line);
        int payload = -1;
        if (std::sscanf(text.c_str(), "rtpmap:%d", &payload) == 1) return payload;
        if (std::sscanf(text.c_str(), "rtpmap: %d", &payload) == 1) return payload;
        return -1;
    }
    return m_settings.defaultDTMFPayload;
}

int CKZSIPMediaNegotiation::GetPayloadTypesCount(const sip_msg& message) const {
    return static_cast<int>(message.get_ie_value_count(kAudioIds.formats));
}

int CKZSIPMediaNegotiation::GetVADType(const sip_msg& message) const {
    for (std::string_view line : AttributeLines(message, kAudioIds.attributes)) {
        if (line.find("silenceSupp:on") != std::string_view::npos) return 1;
        if (line.find("silenceSupp:off") != std::string_view::npos) return 0;
    }
    return 0;
}

// ---- per-call state ----

void CKZSIPMediaNegotiation::SetAudioCodec(int codecCode) {
    m_presetAudioCodec = codecCode;
    CKZLogInterface::Log(LOG_TRACE, "CKZSIPAPICC::SetAudioCodec %d", codecCode);
}

int CKZSIPMediaNegotiation::GetCurrentAudioCodec() const {
    return m_audioPayload ? PayloadCodecCode(*m_audioPayload) : -1;
}

int CKZSIPMediaNegotiation::GetCurrentVideoCodec() const {
    return m_videoPayload ? PayloadCodecCode(*m_videoPayload) : -1;
}

void CKZSIPMediaNegotiation::ResetDefaultPayloadInfo() {
    StaticPayloadInfo audio; // G.711 mu-law, 20 ms
    audio.m_uMediaType = KZAPI::RTP_MEDIA_AUDIO;
    audio.m_uPayload = 0;
    m_audioPayload = audio;

    StaticPayloadInfo video; // H.263
    video.m_uMediaType = KZAPI::RTP_MEDIA_VIDEO;
    video.m_uPayload = 34;
    video.m_uFrameSize = 2000;
    m_videoPayload = video;
}

void CKZSIPMediaNegotiation::SetDTMFPayload(int payload) {
    m_dtmfPayload = payload;
    CKZLogInterface::Log(LOG_TRACE, "DTMF payload changed to %d", payload);
}

void CKZSIPMediaNegotiation::SetRemoteVADEnabled(bool enabled) {
    m_remoteVADEnabled = enabled;
    CKZLogInterface::Log(LOG_TRACE, "Remote VAD Enabled : %d", enabled ? 1 : 0);
}

void CKZSIPMediaNegotiation::SetEncoderCrypto(const char* suite, const char* key) {
    KZAPI::str_cpy(m_encoderSuite, suite ? suite : "", sizeof(m_encoderSuite));
    KZAPI::str_cpy(m_encoderKey, key ? key : "", sizeof(m_encoderKey));
    m_encoderMaterialLength = 0;
}

void CKZSIPMediaNegotiation::SetEncoderKeyMaterial(const uint8_t* material, size_t length) {
    m_encoderMaterialLength = std::min(length, sizeof(m_encoderMaterial));
    std::memcpy(m_encoderMaterial, material, m_encoderMaterialLength);
    AdoptEncoderSuite(m_encoderSuite);
}

size_t CKZSIPMediaNegotiation::CryptoKeyAndSaltBytes(std::string_view suite) {
    for (const CryptoSuiteKeying& s : kSupportedCryptoSuites)
        if (s.name == suite) return s.keyAndSaltBytes;
    return 0;
}

// The suite becomes this side's, and the announced key takes the suite's length, so a peer that
// reads the key as the suite says (not only another one of us) gets a key it can use.
void CKZSIPMediaNegotiation::AdoptEncoderSuite(const char* suite) {
    static_assert(KZAPI::KZ_b64_encoded_length(kMaxEncoderKeyMaterial) < sizeof(m_encoderKey));
    if (suite != m_encoderSuite) KZAPI::str_cpy(m_encoderSuite, suite, sizeof(m_encoderSuite));
    const size_t bytes = CryptoKeyAndSaltBytes(m_encoderSuite);
    if (m_encoderMaterialLength == 0 || bytes == 0) return;
    KZAPI::KZ_b64_encode(m_encoderMaterial, std::min(bytes, m_encoderMaterialLength), m_encoderKey,
                         sizeof(m_encoderKey));
}
