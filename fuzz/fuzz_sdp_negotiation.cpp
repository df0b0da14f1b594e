// Negotiates arbitrary SIP text as an offer and as an answer, and hands the same bytes to the
// payload lookup; then composes an answer from whatever was chosen.
#include "host/KZRTPPayload.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Negotiate(const sip_msg& message, int srtpMode, bool preferInOK) {
    KZMediaSettings settings;
    settings.srtpMode = srtpMode;
    settings.usePreferCodecInOK = preferInOK;
    CKZSIPMediaNegotiation negotiation(settings, 1);
    char address[16]; // short on purpose: long addresses must be refused, not overrun
    int port = 0, direction = 0;
    StaticPayloadInfo chosen;
    if (negotiation.GetRemoteRTPInfoFromInvite(message, address, sizeof(address), &port, &chosen, &direction,
                                               nullptr)) {
        if (strlen(address) >= sizeof(address) || chosen.m_uPayload > 127) abort();
        negotiation.SetCurrentAudioPayload(chosen);
    }
    negotiation.GetRemoteRTPInfoFromOK(message, address, sizeof(address), &port, &chosen, &direction,
                                       negotiation.CurrentAudioPayload());
    negotiation.GetRemoteVideoRTPInfoFromInvite(message, address, sizeof(address), &port, &chosen,
                                                &direction);
    negotiation.GetRemoteVideoRTPInfoFromOK(message, address, sizeof(address), &port, &chosen, &direction);
    negotiation.GetRemoteRTPAddrFromSIPMsg(message);
    (void)negotiation.GetRFC2833DTMFPayload(message);
    (void)negotiation.GetVADType(message);
    (void)negotiation.IsInOfferedCodecList(114, &chosen, &message, true);

    KZSDPLineRequest request;
    request.dtmfMethod = 2;
    sip_msg answer;
    negotiation.AddAnswerLines(&answer, request, message);
    const KZRelayedOffer relayed{&negotiation, &message, true};
    request.relayed = &relayed;
    sip_msg offer;
    negotiation.AddOfferLines(&offer, request);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    StaticPayloadInfo info;
    (void)KZAPI::getRTPPayloadInfo(text.data(), &info);

    sip_msg message;
    KZSIPEvent event{};
    message.init_from_buf(text.data(), &event);
    Negotiate(message, size % 3, size % 2 == 0);
    return 0;
}
