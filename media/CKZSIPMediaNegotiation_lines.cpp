// The call's own codec and attribute lines in an SDP being composed (offer, ACK or answer).
// Every line is an attribute element of the audio media, appended in order.
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "media/KZCodecLines.h"
#include "sipmsg/sip_msg.h"

#include <string>

using KZAPI::CKZLogInterface;

namespace {

constexpr int kILBC30ms = 104;
constexpr uint32_t kNotFound = 0xFFFFFFFF;
constexpr uint32_t kAttributeId = KZ_IE_SDP_MEDIA_ATTR_RTPMAP;

uint32_t AddAttribute(sip_msg* message, const std::string& line) {
    return message->add_ie(kAttributeId, message->get_ie_value_count(kAttributeId), line.c_str());
}

uint32_t AddAttributes(sip_msg* message, const std::vector<std::string>& lines) {
    uint32_t result = 0;
    for (const std::string& line : lines)
        result |= AddAttribute(message, line);
    return result;
}

const char* DirectionLine(int direction) {
    switch (direction) {
    case SDP_SENDRECV:
        return "sendrecv";
    case SDP_SENDONLY:
        return "sendonly";
    case SDP_RECVONLY:
        return "recvonly";
    default:
        return nullptr;
    }
}

int EffectiveDirection(const KZSDPLineRequest& request) {
    return request.forcedDirection != kNoForcedDirection ? request.forcedDirection : request.direction;
}

bool CarriesRFC2833(int dtmfMethod) {
    return dtmfMethod == 2 || dtmfMethod == 3;
}

// The payload of the offer's telephone-event rtpmap line, or -1.
int OfferedTelephoneEventPayload(const sip_msg& offer) {
    const unsigned count = offer.get_ie_value_count(kAttributeId);
    for (unsigned i = 0; i < count; ++i) {
        const KZAPI::CString& line = offer.get_ie_value(kAttributeId, i);
        if (KZAPI::contains_no_case(line.View(), "telephone-event")) return kz_get_payload_type(line.c_str());
    }
    return -1;
}

} // namespace

uint32_t CKZSIPMediaNegotiation::AddPreferredCodecLines(sip_msg* message,
                                                        const KZRelayedOffer* relayed) const {
    uint32_t result = 0;
    for (int code : m_settings.audioPreferList) {
        if (KZ_OfferLinesForCodec(code).empty()) continue;
        if (!relayed || !relayed->partner) {
            result |= AddAttributes(message, KZ_OfferLinesForCodec(code));
            continue;
        }
        // Relaying another call's offer: only what that offer holds, in the form it gave it. When
        // the partner's offer is not looked at (answered already, nothing recognisable) the code
        // is offered as usual.
        StaticPayloadInfo found;
        found.m_uPayload = kNotFound;
        if (!relayed->partner->IsInOfferedCodecList(code, &found, relayed->offer, relayed->awaitingAnswer))
            continue;
        if (found.m_uPayload == kNotFound)
            result |= AddAttributes(message, KZ_OfferLinesForCodec(code));
        else
            result |= AddAttribute(message, KZ_RtpMapLineForPayload(found));
    }
    return result;
}

uint32_t CKZSIPMediaNegotiation::AddDTMFLines(sip_msg* message, const KZSDPLineRequest& request) {
    if (!CarriesRFC2833(request.dtmfMethod)) return 0;
    if (m_dtmfPayload < 0) {
        if (request.isAck) return 0;
        SetDTMFPayload(m_settings.defaultDTMFPayload);
    }
    if (m_dtmfPayload < 0) return 0; // no payload configured: telephone events are not offered
    char line[64];
    KZAPI::s_printf(line, sizeof(line), "rtpmap:%d telephone-event/8000", m_dtmfPayload);
    uint32_t result = AddAttribute(message, line);
    KZAPI::s_printf(line, sizeof(line), "fmtp:%d 0-16", m_dtmfPayload);
    return result | AddAttribute(message, line);
}

uint32_t CKZSIPMediaNegotiation::AddTrailingAttributes(sip_msg* message, const KZSDPLineRequest& request,
                                                       int packetTime) const {
    uint32_t result = 0;
    if (m_settings.vadEnabled) result |= AddAttribute(message, "silenceSupp:on");
    result |= AddAttribute(message, "ptime:" + std::to_string(packetTime));
    if (const char* direction = DirectionLine(EffectiveDirection(request)))
        result |= AddAttribute(message, direction);
    return result | AddCryptoLine(message);
}

uint32_t CKZSIPMediaNegotiation::AddCryptoLine(sip_msg* message) const {
    if (!m_srtpInUse) return 0;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Before adding ATTR_RTPMAP crypto %d",
                         static_cast<int>(message->get_ie_value_count(kAttributeId)));
    char line[kMaxCryptoSuiteLength + kMaxCryptoKeyLength + 32];
    static_assert(sizeof(line) > sizeof(m_encoderSuite) + sizeof(m_encoderKey) + sizeof("crypto:1  inline:"));
    KZAPI::s_printf(line, sizeof(line), "crypto:1 %s inline:%s", m_encoderSuite, m_encoderKey);
    const uint32_t result = AddAttribute(message, line);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "After adding ATTR_RTPMAP crypto %d",
                         static_cast<int>(message->get_ie_value_count(kAttributeId)));
    return result;
}

uint32_t CKZSIPMediaNegotiation::AddOfferLines(sip_msg* message, const KZSDPLineRequest& request) {
    if (!message) return KZ_SIP_RESULT_NULL_HANDLE;
    uint32_t result = 0;
    if ((request.isAck || request.offerCurrentPayload) && m_audioPayload)
        result |= AddAttributes(message, KZ_LinesForPayload(*m_audioPayload));
    else if (m_presetAudioCodec >= 0)
        result |= AddAttributes(message, KZ_OfferLinesForCodec(m_presetAudioCodec));
    else
        result |= AddPreferredCodecLines(message, request.relayed);
    result |= AddDTMFLines(message, request);
    // An offer always proposes 20 ms whatever was negotiated before.
    return result | AddTrailingAttributes(message, request, kDefaultPacketTime);
}

uint32_t CKZSIPMediaNegotiation::AddAnswerLines(sip_msg* message, const KZSDPLineRequest& request,
                                                const sip_msg& offer) {
    if (!message) return KZ_SIP_RESULT_NULL_HANDLE;
    if (EffectiveDirection(request) == kNoNegotiatedMedia || !m_audioPayload) {
        KZSDPLineRequest asOffer = request;
        asOffer.isAck = false;
        asOffer.offerCurrentPayload = false;
        asOffer.direction = SDP_SENDRECV;
        asOffer.forcedDirection = kNoForcedDirection;
        return AddOfferLines(message, asOffer);
    }
    uint32_t result = AddAttributes(message, KZ_LinesForPayload(*m_audioPayload));
    const int offeredEventPayload = OfferedTelephoneEventPayload(offer);
    if (CarriesRFC2833(request.dtmfMethod) && offeredEventPayload >= 0) {
        if (offeredEventPayload != m_dtmfPayload) SetDTMFPayload(offeredEventPayload);
        result |= AddDTMFLines(message, request);
    }
    const int packetTime = KZAPI::PayloadCodecCode(*m_audioPayload) == kILBC30ms ? 30 : kDefaultPacketTime;
    return result | AddTrailingAttributes(message, request, packetTime);
}
