// SRTP parameters read from offers and answers: which crypto line counts, which suites the
// encoder adopts, and what each SRTP mode does with a description lacking or carrying crypto.
#include "host/CKZLogInterface.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "sipmsg/sip_msg.h"
#include "support/log_capture.h"
#include "support/sip_requests.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char* kDefaultSuite = "AES_CM_128_HMAC_SHA1_80";

std::unique_ptr<sip_msg> Parse(const std::string& media, bool answer) {
    const std::string body =
        "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + media;
    std::string text = kztest::sdp_message(body, answer);
    auto message = std::make_unique<sip_msg>();
    KZSIPEvent event{};
    message->init_from_buf(text.data(), &event);
    return message;
}

std::string Audio(const char* transport, const std::string& attributes = "") {
    return std::string("m=audio 4000 ") + transport + " 0\r\na=rtpmap:0 PCMU/8000\r\n" + attributes;
}

std::string Crypto(const char* suite, const char* key = "inline:QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNk") {
    return std::string("a=crypto:1 ") + suite + (*key ? " " : "") + key + "\r\n";
}

// Base64 length of a suite's master key and salt: AES-128/192/256 keys, 14-byte salts for
// counter mode and 12-byte ones for GCM (RFC 4568, RFC 6188, RFC 7714).
size_t KeyTextLength(const std::string& suite) {
    const size_t key = suite.find("256") != std::string::npos   ? 32
                       : suite.find("192") != std::string::npos ? 24
                                                                : 16;
    const size_t salt = suite.find("GCM") != std::string::npos ? 12 : 14;
    return (key + salt + 2) / 3 * 4;
}

} // namespace

TEST(SRTPNegotiation, SuitesKeysAndModes) {
    struct Case {
        std::string name;
        int mode;
        bool answer;
        std::string media;
        int ok;
        bool in_use;
        std::string decoder_suite, decoder_key, encoder_suite;
        const char* error = nullptr;
    };
    const std::string key = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNk";
    std::vector<Case> cases;
    // Every suite of the table, in its order, is taken for the encoder as well.
    for (const char* suite : {"AES_CM_128_HMAC_SHA1_32", "AES_CM_128_HMAC_SHA1_80", "AES_192_CM_HMAC_SHA1_32",
                              "AES_192_CM_HMAC_SHA1_80", "AES_256_CM_HMAC_SHA1_32", "AES_256_CM_HMAC_SHA1_80",
                              "AEAD_AES_128_GCM", "AEAD_AES_256_GCM"})
        cases.push_back(
            {suite, SRTP_REQUIRED, false, Audio("RTP/SAVP", Crypto(suite)), 1, true, suite, key, suite});
    cases.push_back({"answer with another suite", SRTP_OPTIONAL, true,
                     Audio("RTP/SAVP", Crypto("AEAD_AES_128_GCM")), 1, true, "AEAD_AES_128_GCM", key,
                     "AEAD_AES_128_GCM"});
    cases.push_back({"unsupported suite is not adopted", SRTP_REQUIRED, false,
                     Audio("RTP/SAVP", Crypto("F8_128_HMAC_SHA1_80")), 1, true, "F8_128_HMAC_SHA1_80", key,
                     kDefaultSuite});
    cases.push_back({"missing key", SRTP_REQUIRED, false,
                     Audio("RTP/SAVP", Crypto("AES_CM_128_HMAC_SHA1_32", "")), 1, true,
                     "AES_CM_128_HMAC_SHA1_32", "", "AES_CM_128_HMAC_SHA1_32"});
    cases.push_back({"the first crypto line counts; lifetime and MKI stay with the key", SRTP_REQUIRED, false,
                     Audio("RTP/SAVP", Crypto("AES_256_CM_HMAC_SHA1_80", "inline:S0VZ|2^20|1:4") +
                                           Crypto("AES_CM_128_HMAC_SHA1_32")),
                     1, true, "AES_256_CM_HMAC_SHA1_80", "S0VZ|2^20|1:4", "AES_256_CM_HMAC_SHA1_80"});
    cases.push_back(
        {"optional without crypto", SRTP_OPTIONAL, false, Audio("RTP/SAVP"), 1, false, "", "", ""});
    cases.push_back({"optional, plain offer", SRTP_OPTIONAL, false, Audio("RTP/AVP"), 1, false, "", "", ""});
    cases.push_back({"optional, crypto over the plain profile is taken", SRTP_OPTIONAL, false,
                     Audio("RTP/AVP", Crypto("AES_CM_128_HMAC_SHA1_32")), 1, true, "AES_CM_128_HMAC_SHA1_32",
                     key, "AES_CM_128_HMAC_SHA1_32"});
    cases.push_back({"optional, an unsupported suite over the plain profile is not", SRTP_OPTIONAL, false,
                     Audio("RTP/AVP", Crypto("F8_128_HMAC_SHA1_80")), 1, false, "", "", ""});
    cases.push_back(
        {"required, plain offer", SRTP_REQUIRED, false, Audio("RTP/AVP"), 0, false, "", "", kDefaultSuite,
         "Error: Unable to obtain SRTP audio media transport information(crypto suite & key) from "
         "incoming INVITE Progress"});
    cases.push_back(
        {"required, answer without crypto", SRTP_REQUIRED, true, Audio("RTP/SAVP"), 0, true, "", "",
         kDefaultSuite,
         "Error: Unable to obtain SRTP audio media transport information(crypto suite & key) from "
         "incoming OK/RING/Session Progress"});
    cases.push_back(
        {"off, offer with crypto", SRTP_OFF, false, Audio("RTP/SAVP", Crypto(kDefaultSuite)), 0, false,
         kDefaultSuite, key, kDefaultSuite,
         "Error: obtained SRTP audio media transport information(crypto suite & key) from incoming "
         "INVITE Progress, but SRTP is disabled!"});
    cases.push_back({"off, plain offer", SRTP_OFF, false, Audio("RTP/AVP"), 1, false, "", "", kDefaultSuite});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kztest::LogCapture log;
        KZMediaSettings settings;
        settings.srtpMode = c.mode;
        CKZSIPMediaNegotiation negotiation(settings, 1);
        const uint8_t material[46] = {1, 2, 3};
        negotiation.SetEncoderKeyMaterial(material, sizeof(material));
        negotiation.SetSRTPInUse(c.answer); // an offer of ours went out with SRTP
        const auto message = Parse(c.media, c.answer);
        char address[256] = {};
        int port = 0, direction = 0;
        StaticPayloadInfo chosen;
        const int ok = c.answer ? negotiation.GetRemoteRTPInfoFromOK(*message, address, sizeof(address),
                                                                     &port, &chosen, &direction, nullptr)
                                : negotiation.GetRemoteRTPInfoFromInvite(*message, address, sizeof(address),
                                                                         &port, &chosen, &direction, nullptr);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(negotiation.IsSRTPInUse(), c.in_use);
        EXPECT_EQ(negotiation.DecoderCryptoSuite(), c.decoder_suite);
        EXPECT_EQ(negotiation.DecoderCryptoKey(), c.decoder_key);
        EXPECT_EQ(negotiation.EncoderCryptoSuite(), c.encoder_suite);
        if (!c.encoder_suite.empty()) { // the key announced is as long as the suite's key and salt
            EXPECT_EQ(std::strlen(negotiation.EncoderCryptoKey()), KeyTextLength(c.encoder_suite));
        }
        const bool savp = c.media.find("RTP/SAVP") != std::string::npos;
        EXPECT_EQ(negotiation.MediaTransport(), std::string(c.in_use && savp ? "RTP/SAVP" : "RTP/AVP"));
        if (c.error) {
            EXPECT_TRUE(log.HasLine(c.error));
        }
        EXPECT_EQ(log.Contains("Adapting encoder crypto suite same as decoder"),
                  c.encoder_suite != kDefaultSuite && !c.encoder_suite.empty());
    }
}
