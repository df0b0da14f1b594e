// Codec negotiation against session descriptions parsed from real SIP text, and the codec and
// attribute lines the call puts into its own offers and answers.
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/KZRTPPayload.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "sipmsg/sip_msg.h"
#include "support/sip_requests.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using KZAPI::CKZLogInterface;

namespace {

constexpr const char* kSession = "v=0\no=- 1 1 IN IP4 192.0.2.10\ns=-\nc=IN IP4 192.0.2.10\nt=0 0\n";
constexpr const char* kSessionWithoutConnection = "v=0\no=- 1 1 IN IP4 192.0.2.10\ns=-\nt=0 0\n";
constexpr const char* kNoCodecInList = "Codec is not in prefered list: Unable to answer incoming call";

std::string Crlf(const std::string& text) {
    std::string wire;
    for (char c : text) {
        if (c == '\n') wire += '\r';
        wire += c;
    }
    return wire;
}

// An INVITE (or a 200 OK to one) carrying the SDP body, parsed by the message layer.
std::unique_ptr<sip_msg> ParseWithSdp(const std::string& session, const std::string& media,
                                      bool isOK = false) {
    std::string text = kztest::sdp_message(Crlf(session + media), isOK);
    auto message = std::make_unique<sip_msg>();
    KZSIPEvent event{};
    message->init_from_buf(text.data(), &event);
    return message;
}

StaticPayloadInfo Payload(const char* text) {
    StaticPayloadInfo info;
    EXPECT_TRUE(KZAPI::getRTPPayloadInfo(text, &info)) << text;
    return info;
}

std::vector<std::string> AttributeLines(const sip_msg& message) {
    std::vector<std::string> lines;
    for (unsigned i = 0; i < message.get_ie_value_count(KZ_IE_SDP_MEDIA_ATTR); ++i)
        lines.push_back(message.get_ie_value(KZ_IE_SDP_MEDIA_ATTR, i).c_str());
    return lines;
}

class MediaNegotiation : public ::testing::Test {
protected:
    std::vector<std::string> errors;
    void SetUp() override {
        CKZLogInterface::SetMaxLevel(CKZLogInterface::LOG_TRACE);
        CKZLogInterface::SetSink([this](unsigned level, unsigned, const char* line) {
            if (level == CKZLogInterface::LOG_ERROR) errors.push_back(line);
        });
    }
    void TearDown() override {
        CKZLogInterface::SetSink(nullptr);
        CKZLogInterface::SetMaxLevel(CKZLogInterface::LOG_WARNING);
    }
};

enum class Read { Invite, OK };

struct OfferCase {
    const char* name;
    const char* media;
    Read read = Read::Invite;
    const char* session = kSession;
    const char* preferList = "102,104,103,3,0,8";
    int srtpMode = SRTP_OPTIONAL;
    bool preferInOK = false;
    int preset = -1;
    const char* current = nullptr; // payload in use (re-INVITE)
    // expected
    const char* failure = nullptr;
    int code = -1;
    int payload = -1;
    int direction = RTP_SEND_RECV;
    int packetTime = 20;
    bool srtp = false;
};

constexpr const char* kNoAudio = "Error: Unable to obtain Audio RTP codecs from incoming INVITE";
constexpr const char* kNoCryptoInInvite = "Error: Unable to obtain SRTP audio media transport "
                                          "information(crypto suite & key) from incoming INVITE Progress";

// clang-format off
const OfferCase kOfferCases[] = {
    {.name = "preference beats offer order", .media = "m=audio 4000 RTP/AVP 0 8 3\n", .code = 3, .payload = 3},
    {.name = "mu-law preferred to A-law", .media = "m=audio 4000 RTP/AVP 8 0\n", .code = 0, .payload = 0},
    {.name = "nothing preferred", .media = "m=audio 4000 RTP/AVP 18 9\n", .failure = kNoCodecInList},
    {.name = "only telephone-event", .media = "m=audio 4000 RTP/AVP 101\na=rtpmap:101 telephone-event/8000\n",
     .failure = kNoAudio},
    {.name = "preset codec offered", .media = "m=audio 4000 RTP/AVP 0 8\n", .preset = 8, .code = 8, .payload = 8},
    {.name = "preset codec missing", .media = "m=audio 4000 RTP/AVP 8 0\n", .preset = 18, .code = 0, .payload = 0},
    {.name = "re-INVITE keeps the current codec", .media = "m=audio 4000 RTP/AVP 97 8\na=rtpmap:97 speex/8000\n",
     .current = "rtpmap:8 PCMA/8000", .code = 8, .payload = 8},
    {.name = "re-INVITE keeps a dynamic current codec at its old number",
     .media = "m=audio 4000 RTP/AVP 0 120\na=rtpmap:120 speex/8000\n", .current = "rtpmap:97 speex/8000",
     .code = 102, .payload = 97},
    {.name = "re-INVITE without the current codec", .media = "m=audio 4000 RTP/AVP 8 3\n",
     .current = "rtpmap:18 g729/8000", .code = 3, .payload = 3},
    {.name = "speex at a dynamic number", .media = "m=audio 4000 RTP/AVP 0 97\na=rtpmap:97 speex/8000\n",
     .code = 102, .payload = 97},
    {.name = "same codec twice: the earlier stays",
     .media = "m=audio 4000 RTP/AVP 97 98\na=rtpmap:97 speex/8000\na=rtpmap:98 speex/8000\n",
     .code = 102, .payload = 97},
    {.name = "iLBC mode chosen by fmtp",
     .media = "m=audio 4000 RTP/AVP 98 99\na=rtpmap:98 iLBC/8000\na=fmtp:98 mode=20\na=rtpmap:99 iLBC/8000\n",
     .code = 104, .payload = 99},
    {.name = "format 1 does not take the lines of 10", .media = "m=audio 4000 RTP/AVP 1\na=rtpmap:10 speex/8000\n",
     .preferList = "102", .failure = kNoAudio},
    {.name = "a format that is no number takes no lines", .media = "m=audio 4000 RTP/AVP x\na=rtpmap:0 PCMU/8000\n",
     .failure = kNoAudio},
    {.name = "ptime 0 means 20", .media = "m=audio 4000 RTP/AVP 0\na=ptime:0\n", .code = 0, .payload = 0},
    {.name = "ptime 30", .media = "m=audio 4000 RTP/AVP 0\na=ptime:30\n", .code = 0, .payload = 0, .packetTime = 30},
    {.name = "inactive", .media = "m=audio 4000 RTP/AVP 0\na=inactive\n", .code = 0, .payload = 0,
     .direction = RTP_PEER_SEND_ONLY},
    {.name = "sendonly", .media = "m=audio 4000 RTP/AVP 0\na=sendonly\n", .code = 0, .payload = 0,
     .direction = RTP_PEER_SEND_ONLY},
    {.name = "recvonly", .media = "m=audio 4000 RTP/AVP 0\na=recvonly\n", .code = 0, .payload = 0,
     .direction = RTP_PEER_RECV_ONLY},
    {.name = "no address", .media = "m=audio 4000 RTP/AVP 0\n", .session = kSessionWithoutConnection,
     .failure = "Error: Unable to obtain audio RTP address information from incoming INVITE"},
    {.name = "SAVP without crypto, SRTP required", .media = "m=audio 4000 RTP/SAVP 0\n", .srtpMode = SRTP_REQUIRED,
     .failure = kNoCryptoInInvite},
    {.name = "SAVP with crypto, SRTP optional",
     .media = "m=audio 4000 RTP/SAVP 0\na=crypto:1 AES_CM_128_HMAC_SHA1_32 inline:QUJD\n", .code = 0, .payload = 0,
     .srtp = true},
    {.name = "answer takes its first recognisable format",
     .media = "m=audio 4000 RTP/AVP 96 18 0\na=rtpmap:96 X-unknown/8000\n", .read = Read::OK,
     .code = 18, .payload = 18},
    {.name = "answer by preference when asked", .media = "m=audio 4000 RTP/AVP 18 0 3\n", .read = Read::OK,
     .preferInOK = true, .code = 3, .payload = 3},
    {.name = "answer without any known format", .media = "m=audio 4000 RTP/AVP 96\na=rtpmap:96 X-unknown/8000\n",
     .read = Read::OK, .failure = kNoCodecInList},
};
// clang-format on

TEST_F(MediaNegotiation, OffersAndAnswers) {
    for (const OfferCase& c : kOfferCases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        KZMediaSettings settings;
        settings.audioPreferList = KZMediaSettings::ParsePreferList(c.preferList);
        settings.srtpMode = c.srtpMode;
        settings.usePreferCodecInOK = c.preferInOK;
        CKZSIPMediaNegotiation negotiation(settings, 1);
        if (c.preset >= 0) negotiation.SetAudioCodec(c.preset);
        std::optional<StaticPayloadInfo> current;
        if (c.current) current = Payload(c.current);

        const auto message = ParseWithSdp(c.session, c.media, c.read == Read::OK);
        char address[256] = {};
        int port = 0, direction = -1;
        StaticPayloadInfo chosen;
        const StaticPayloadInfo* currentPtr = current ? &*current : nullptr;
        const int ok = c.read == Read::Invite
                           ? negotiation.GetRemoteRTPInfoFromInvite(*message, address, sizeof(address), &port,
                                                                    &chosen, &direction, currentPtr)
                           : negotiation.GetRemoteRTPInfoFromOK(*message, address, sizeof(address), &port,
                                                                &chosen, &direction, currentPtr);
        if (c.failure) {
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(errors, std::vector<std::string>{c.failure});
            continue;
        }
        ASSERT_EQ(ok, 1) << (errors.empty() ? "" : errors.front());
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(KZAPI::PayloadCodecCode(chosen), c.code);
        EXPECT_EQ(static_cast<int>(chosen.m_uPayload), c.payload);
        EXPECT_EQ(direction, c.direction);
        EXPECT_EQ(negotiation.GetPacketTime(), c.packetTime);
        EXPECT_EQ(negotiation.IsSRTPInUse(), c.srtp);
        EXPECT_STREQ(address, "192.0.2.10");
        EXPECT_EQ(port, 4000);
    }
}

TEST_F(MediaNegotiation, VideoBesideAudio) {
    CKZSIPMediaNegotiation negotiation(KZMediaSettings{}, 1);
    const auto offer =
        ParseWithSdp(kSession, "m=audio 4000 RTP/AVP 0\na=sendonly\n"
                               "m=video 5000 RTP/AVP 0 96 34\na=rtpmap:96 H264/90000\na=recvonly\n");
    char address[256];
    int port = 0, direction = 0;
    StaticPayloadInfo chosen;
    ASSERT_EQ(negotiation.GetRemoteVideoRTPInfoFromInvite(*offer, address, sizeof(address), &port, &chosen,
                                                          &direction),
              1);
    EXPECT_EQ(KZAPI::PayloadCodecCode(chosen), 34) << "34 comes before 124 in the video preference";
    EXPECT_EQ(port, 5000);
    EXPECT_EQ(direction, RTP_PEER_RECV_ONLY) << "from the video lines, not the audio ones";
    EXPECT_EQ(errors, std::vector<std::string>{"Error: Codec Type 0:0 is not Video."});

    ASSERT_EQ(negotiation.GetRemoteRTPAddrFromSIPMsg(*offer), 1);
    EXPECT_EQ(negotiation.RemoteAudio().port, 4000);
    EXPECT_EQ(negotiation.RemoteVideo().port, 5000);
    EXPECT_STREQ(negotiation.RemoteVideo().address, "192.0.2.10");
}

TEST_F(MediaNegotiation, TelephoneEventPayload) {
    struct Case {
        const char* line;
        int payload;
    };
    const Case cases[] = {
        {"a=rtpmap:101 telephone-event/8000\n", 101},
        {"a=rtpmap: 100 telephone-event/8000\n", 100},
        {"a=rtpmap:x telephone-event/8000\n", -1},
        {"a=fmtp:96 0-15\na=telephone-event\n", -1},
        {"a=ptime:20\n", 120}, // no telephone-event: the configured default
    };
    KZMediaSettings settings;
    settings.defaultDTMFPayload = 120;
    const CKZSIPMediaNegotiation negotiation(settings, 1);
    for (const Case& c : cases) {
        const auto offer = ParseWithSdp(kSession, std::string("m=audio 4000 RTP/AVP 0 96\n") + c.line);
        EXPECT_EQ(negotiation.GetRFC2833DTMFPayload(*offer), c.payload) << c.line;
    }
}

// ---- the call's own lines ----

enum class Compose { Offer, Ack, Answer };

struct LinesCase {
    const char* name;
    Compose compose = Compose::Offer;
    const char* preferList = "102,104,103,3,0,8";
    bool vad = false;
    int preset = -1;
    const char* current = nullptr;
    int dtmfMethod = 0;
    int direction = SDP_SENDRECV;
    int forcedDirection = kNoForcedDirection;
    bool srtp = false;
    const char* offer = nullptr; // the offer answered, or the partner's offer relayed
    bool partnerAwaitingAnswer = true;
    std::vector<std::string> expected;
};

// clang-format off
const LinesCase kLinesCases[] = {
    {.name = "preference list with RFC 2833", .dtmfMethod = 2,
     .expected = {"rtpmap:102 speex/8000", "rtpmap:104 iLBC/8000", "rtpmap:103 iLBC/8000", "fmtp:103 mode=20",
                  "rtpmap:3 GSM/8000", "rtpmap:0 PCMU/8000", "rtpmap:8 PCMA/8000",
                  "rtpmap:101 telephone-event/8000", "fmtp:101 0-16", "ptime:20", "sendrecv"}},
    {.name = "ACK with G.729, no DTMF payload yet", .compose = Compose::Ack, .current = "rtpmap:18 G729/8000",
     .dtmfMethod = 2, .expected = {"rtpmap:18 g729/8000", "fmtp:18 annexb=no", "ptime:20", "sendrecv"}},
    {.name = "ACK with G.723.1 at 5.3", .compose = Compose::Ack, .current = "rtpmap:4 G723/8000\r\nfmtp:4 bitrate=5.3",
     .direction = 7, .expected = {"rtpmap:4 g723/8000", "fmtp:4 bitrate=5.3", "ptime:20"}},
    {.name = "preset codec", .preset = 4, .direction = SDP_SENDONLY,
     .expected = {"rtpmap:4 g723/8000", "fmtp:4 bitrate=6.3", "ptime:20", "sendonly"}},
    {.name = "SRTP with a forced direction", .preferList = "0,8", .forcedDirection = SDP_RECVONLY, .srtp = true,
     .expected = {"rtpmap:0 PCMU/8000", "rtpmap:8 PCMA/8000", "ptime:20", "recvonly",
                  "crypto:1 AES_CM_128_HMAC_SHA1_80 inline:a2V5"}},
    {.name = "codes the module does not offer", .preferList = "96,97,98,99,2,7,18", .vad = true, .direction = 5,
     .expected = {"rtpmap:98 G726-32/8000", "rtpmap:18 g729/8000", "fmtp:18 annexb=no", "silenceSupp:on", "ptime:20"}},
    {.name = "relaying another call's offer", .preferList = "114,18,8,103",
     .offer = "m=audio 4000 RTP/AVP 0 111 8 100\na=rtpmap:111 OPUS/48000/2\na=rtpmap:100 iLBC/8000\n"
              "a=fmtp:100 mode=20\n",
     .expected = {"rtpmap:111 OPUS/48000/2", "rtpmap:8 PCMA/8000", "rtpmap:100 iLBC/8000", "ptime:20", "sendrecv"}},
    {.name = "relaying an offer already answered", .preferList = "103,8", .offer = "m=audio 4000 RTP/AVP 0\n",
     .partnerAwaitingAnswer = false,
     .expected = {"rtpmap:103 iLBC/8000", "fmtp:103 mode=20", "rtpmap:8 PCMA/8000", "ptime:20", "sendrecv"}},
    {.name = "answer with iLBC 30 ms and the offered event payload", .compose = Compose::Answer,
     .current = "rtpmap:99 iLBC/8000", .dtmfMethod = 3,
     .offer = "m=audio 4000 RTP/AVP 99 100\na=rtpmap:99 iLBC/8000\na=rtpmap:100 telephone-event/8000\n",
     .expected = {"rtpmap:99 iLBC/8000", "rtpmap:100 telephone-event/8000", "fmtp:100 0-16", "ptime:30", "sendrecv"}},
    {.name = "answer to an offer without events", .compose = Compose::Answer, .current = "rtpmap:8 PCMA/8000",
     .dtmfMethod = 2, .direction = SDP_RECVONLY, .offer = "m=audio 4000 RTP/AVP 8\n",
     .expected = {"rtpmap:8 PCMA/8000", "ptime:20", "recvonly"}},
    {.name = "answer before any negotiation offers", .compose = Compose::Answer, .preferList = "0",
     .current = "rtpmap:8 PCMA/8000", .direction = kNoNegotiatedMedia, .offer = "m=audio 4000 RTP/AVP 8\n",
     .expected = {"rtpmap:0 PCMU/8000", "ptime:20", "sendrecv"}},
};
// clang-format on

TEST_F(MediaNegotiation, OwnLines) {
    for (const LinesCase& c : kLinesCases) {
        SCOPED_TRACE(c.name);
        KZMediaSettings settings;
        settings.audioPreferList = KZMediaSettings::ParsePreferList(c.preferList);
        settings.vadEnabled = c.vad;
        CKZSIPMediaNegotiation negotiation(settings, 1);
        if (c.preset >= 0) negotiation.SetAudioCodec(c.preset);
        if (c.current) negotiation.SetCurrentAudioPayload(Payload(c.current));
        negotiation.SetSRTPInUse(c.srtp);
        negotiation.SetEncoderCrypto("AES_CM_128_HMAC_SHA1_80", "a2V5");

        std::unique_ptr<sip_msg> offer;
        if (c.offer) offer = ParseWithSdp(kSession, c.offer);
        const CKZSIPMediaNegotiation partner(KZMediaSettings{}, 2);
        const KZRelayedOffer relayed{&partner, offer.get(), c.partnerAwaitingAnswer};

        KZSDPLineRequest request;
        request.isAck = c.compose == Compose::Ack;
        request.dtmfMethod = c.dtmfMethod;
        request.direction = c.direction;
        request.forcedDirection = c.forcedDirection;
        if (c.compose == Compose::Offer && offer) request.relayed = &relayed;

        sip_msg composed;
        const uint32_t result = c.compose == Compose::Answer
                                    ? negotiation.AddAnswerLines(&composed, request, *offer)
                                    : negotiation.AddOfferLines(&composed, request);
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(AttributeLines(composed), c.expected);
    }
}

// The lines become the media's format list when the SDP is written out.
TEST(MediaOfferText, FormatListFollowsTheOfferedLines) {
    KZMediaSettings settings;
    settings.audioPreferList = {18, 0};
    CKZSIPMediaNegotiation negotiation(settings, 1);
    negotiation.SetSRTPInUse(true);
    negotiation.SetEncoderCrypto("AES_CM_128_HMAC_SHA1_80", "a2V5");
    EXPECT_STREQ(negotiation.MediaTransport(), "RTP/SAVP");
    const auto offer = ParseWithSdp(kSession, "m=audio 4000 RTP/SAVP\n"); // a media line without formats
    KZSDPLineRequest request;
    request.dtmfMethod = 3;
    ASSERT_EQ(negotiation.AddOfferLines(offer.get(), request), 0u);

    KZAPI::CString body;
    ASSERT_EQ(offer->compose_sdp(&body), 0u);
    const std::string text = body.c_str();
    EXPECT_NE(text.find("\r\nm=audio 4000 RTP/SAVP 18 0 101\r\na=rtpmap:18 g729/8000\r\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\na=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:a2V5\r\n"), std::string::npos) << text;
}

} // namespace
