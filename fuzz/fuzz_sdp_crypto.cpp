// Reads the crypto attributes of arbitrary SIP text as an offer and as an answer under each SRTP
// mode, composes the answer, and opens the call's SRTP streams from what was negotiated through
// the real extension library, as a call does when its RTP opens: a suite and key the library
// takes must carry a packet there and back.
//
// Checks: the suite and key read fit their fields; SRTP is never in use in mode 0; an accepted
// description in mode 2 has SRTP in use with a suite; every crypto line this side writes names a suite it
// speaks.
//
// Input: the first byte picks the SRTP mode (modulo 3); the rest is the SIP text.
#include "callcontrol/KZSRTPStreams.h"
#include "fuzz_extension_library.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kEncoderKey = kzfuzz::kCallKey;

using kzfuzz::extension;

bool spoken_suite(const std::string& suite) {
    for (const char* name : {"AES_CM_128_HMAC_SHA1_32", "AES_CM_128_HMAC_SHA1_80", "AES_192_CM_HMAC_SHA1_32",
                             "AES_192_CM_HMAC_SHA1_80", "AES_256_CM_HMAC_SHA1_32", "AES_256_CM_HMAC_SHA1_80",
                             "AEAD_AES_128_GCM", "AEAD_AES_256_GCM"})
        if (suite == name) return true;
    return false;
}

void check_fields(const CKZSIPMediaNegotiation& negotiation, int mode, bool accepted) {
    if (std::strlen(negotiation.DecoderCryptoSuite()) > CKZSIPMediaNegotiation::kMaxCryptoSuiteLength ||
        std::strlen(negotiation.DecoderCryptoKey()) > CKZSIPMediaNegotiation::kMaxCryptoKeyLength ||
        std::strlen(negotiation.EncoderCryptoSuite()) > CKZSIPMediaNegotiation::kMaxCryptoSuiteLength)
        __builtin_trap();
    if (mode == 0 && negotiation.IsSRTPInUse()) __builtin_trap();
    if (mode == 2 && accepted && (!negotiation.IsSRTPInUse() || !negotiation.DecoderCryptoSuite()[0]))
        __builtin_trap();
}

// Both directions opened from the negotiated keys; what the encoder sends the decoder of the
// same key must read back when both sides use one suite and key.
void open_streams(const CKZSIPMediaNegotiation& negotiation) {
    if (!negotiation.IsSRTPInUse()) return;
    KZSRTPStreams streams;
    streams.Open(&extension(), {negotiation.DecoderCryptoKey(), negotiation.DecoderCryptoSuite(),
                                negotiation.EncoderCryptoKey(), negotiation.EncoderCryptoSuite(), 0x5eed});
    KZSRTPStreams loop;
    loop.Open(&extension(), {negotiation.EncoderCryptoKey(), negotiation.EncoderCryptoSuite(),
                             negotiation.EncoderCryptoKey(), negotiation.EncoderCryptoSuite(), 0x5eed});
    static const uint8_t kPayload[160] = {0xd5};
    const int sent = loop.Protect(0, kPayload, sizeof(kPayload), true, 160);
    if (sent <= 0) return;
    std::vector<uint8_t> packet(loop.EncodedPacket(), loop.EncodedPacket() + sent);
    std::vector<uint8_t> output(KZSRTPStreams::kMaxPacketBytes);
    if (loop.CanUnprotect() && loop.Unprotect(packet.data(), sent, output.data()) != 12 + sizeof(kPayload))
        __builtin_trap();
    // The peer's decoder sees this side's packet under another key: it must refuse, not overrun.
    if (streams.CanUnprotect() &&
        std::strcmp(negotiation.DecoderCryptoKey(), negotiation.EncoderCryptoKey()) != 0)
        (void)streams.Unprotect(packet.data(), sent, output.data());
}

void check_answer(CKZSIPMediaNegotiation& negotiation, const sip_msg& offer) {
    KZSDPLineRequest request;
    sip_msg answer;
    negotiation.AddAnswerLines(&answer, request, offer);
    const unsigned count = answer.get_ie_value_count(KZ_IE_SDP_MEDIA_ATTR);
    for (unsigned i = 0; i < count; ++i) {
        const std::string line(answer.get_ie_value(KZ_IE_SDP_MEDIA_ATTR, i).c_str());
        if (line.rfind("crypto:", 0) != 0) continue;
        const size_t suite = line.find(' ');
        const size_t end = line.find(' ', suite + 1);
        if (suite == std::string::npos || end == std::string::npos ||
            !spoken_suite(line.substr(suite + 1, end - suite - 1)))
            __builtin_trap();
    }
}

void negotiate(const sip_msg& message, int mode) {
    KZMediaSettings settings;
    settings.srtpMode = mode;
    for (bool offer : {true, false}) {
        CKZSIPMediaNegotiation negotiation(settings, 1);
        negotiation.SetEncoderCrypto(CKZSIPMediaNegotiation::kDefaultEncoderSuite, kEncoderKey);
        char address[64];
        int port = 0, direction = 0;
        StaticPayloadInfo chosen;
        const int accepted = offer
                                 ? negotiation.GetRemoteRTPInfoFromInvite(message, address, sizeof(address),
                                                                          &port, &chosen, &direction, nullptr)
                                 : negotiation.GetRemoteRTPInfoFromOK(message, address, sizeof(address),
                                                                      &port, &chosen, &direction, &chosen);
        check_fields(negotiation, mode, accepted != 0);
        open_streams(negotiation);
        if (offer) check_answer(negotiation, message);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    sip_msg message;
    KZSIPEvent event{};
    message.init_from_buf(text.data(), &event);
    negotiate(message, data[0] % 3);
    return 0;
}
