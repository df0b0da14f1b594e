// SDP body lines into elements, and a parsed description composed back.
#include "sipmsg/sip_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint32_t> feed(sip_msg& m, const std::vector<std::string>& lines) {
    int kind = sip_msg::MEDIA_AUDIO; // carried from line to line as the body parser does
    std::vector<uint32_t> results;
    for (const std::string& line : lines)
        results.push_back(m.parse_sdp(line, nullptr, &kind));
    return results;
}

std::string v(const sip_msg& m, uint32_t id, unsigned i = 0) {
    return std::string(m.get_ie_value(id, i).View());
}

constexpr uint32_t kOk = KZ_SIP_RESULT_OK;
constexpr uint32_t kFail = KZ_SIP_RESULT_FAILURE;

} // namespace

TEST(SdpParse, LineTypesAndRefusals) {
    sip_msg m;
    EXPECT_EQ(feed(m, {"v=0", "o=jdoe 2890844526 2890842807 IN IP4 10.47.16.5", "s=SDP Seminar", "i=info",
                       "b=AS:64", "z=0 0", "k=clear:x", "r=7d 1h 0 25h", "u=x", "e=x", "p=x",
                       "c=IN IP4 224.2.17.12/127", "c=IN IP4 10.0.0.9", "t=2873397496 2873404696",
                       "x=unknown", "garbage", "c="}),
              (std::vector<uint32_t>{kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, kFail, kOk,
                                     kFail, kFail, kFail}));
    EXPECT_EQ(v(m, KZ_IE_SDP_OWNER_SESSION_VERSION), "2890842807");
    EXPECT_EQ(v(m, KZ_IE_SDP_OWNER_ADDRESS), "10.47.16.5");
    EXPECT_EQ(v(m, KZ_IE_SDP_SESSION_NAME), "SDP Seminar");
    EXPECT_EQ(v(m, KZ_IE_SDP_CONNECTION_ADDRESS), "224.2.17.12/127") << "only the first c= is kept";
    EXPECT_EQ(v(m, KZ_IE_SDP_TIMESTAMP_STOP), "2873404696");
}

TEST(SdpParse, MediaLinesAndAttributeRouting) {
    sip_msg m;
    feed(m, {"a=group:BUNDLE 1", "m=audio 49170/2 RTP/AVP 0 8", "a=rtpmap:0 PCMU/8000",
             "m=video 51372 RTP/AVP 99", "a=rtpmap:99 h263-1998/90000", "m=image 52000 udptl t38",
             "a=T38FaxVersion:0", "m=audio 1", "m=application 9 TCP/BFCP *", "a=floorctrl:c-only"});
    ASSERT_EQ(m.get_ie_value_count(KZ_IE_SDP_MEDIA_TYPE), 4u)
        << "a media line of fewer than three fields is ignored";
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_PORT, 0), "49170");
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS, 0), "2");
    EXPECT_FALSE(m.find_ie(KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS, 1));
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_TRANSPORT, 2), "udptl");
    EXPECT_EQ(v(m, KZ_IE_SIP_PAYLOAD, 1), "8");
    EXPECT_EQ(v(m, KZ_IE_SIP_VIDEO_PAYLOAD), "99");
    EXPECT_EQ(v(m, KZ_IE_SIP_IMAGE_PAYLOAD), "t38");
    // Session and audio (and other) attributes in 608 in order, video in 609, image dropped.
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SDP_MEDIA_ATTR_RTPMAP), 3u);
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_ATTR, 2), "floorctrl:c-only");
    EXPECT_EQ(v(m, KZ_IE_SDP_VIDEO_MEDIA_ATTR_ALIAS), "rtpmap:99 h263-1998/90000");
}

TEST(SdpParse, ParseThenComposeKeepsTheDescription) {
    const std::string sdp =
        "v=0\r\no=- 3344 3344 IN IP4 192.168.1.20\r\ns=ZELMAR_SIP_SDK\r\nc=IN IP4 192.168.1.20\r\n"
        "t=0 0\r\nm=audio 8000 RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\n"
        "a=rtpmap:101 telephone-event/8000\r\na=sendrecv\r\n";
    std::string text = "INVITE sip:b@h SIP/2.0\r\nContent-Type: application/sdp\r\nContent-Length: " +
                       std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    sip_msg m;
    KZSIPEvent e{};
    m.init_from_buf(text.data(), &e);
    KZAPI::CString body;
    ASSERT_EQ(m.compose_sdp(&body), kOk);
    std::string expected = sdp; // the composer writes a space after each listed format
    expected.replace(expected.find("0 101\r\n"), 7, "0 101 \r\n");
    EXPECT_EQ(std::string(body.View()), expected);
    m.remove_ie(KZ_IE_SIP_PAYLOAD, 0); // the format list then comes from the rtpmap attributes
    ASSERT_EQ(m.compose_sdp(&body), kOk);
    EXPECT_EQ(std::string(body.View()), sdp);
}
