// SDP line parsing into elements, and parse -> compose of whole SDP bodies.
#include "sipmsg/sip_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds SDP lines one by one as the body parser does, carrying the media kind.
void feed(sip_msg& m, const std::vector<std::string>& lines, std::vector<uint32_t>* results = nullptr) {
    int kind = sip_msg::MEDIA_AUDIO;
    for (const auto& l : lines) {
        uint32_t r = m.parse_sdp(l, nullptr, &kind);
        if (results) results->push_back(r);
    }
}

std::string v(const sip_msg& m, uint32_t id, unsigned i = 0) {
    return m.get_ie_value(id, i).c_str();
}

} // namespace

TEST(SdpParse, LineTypesAndRefusals) {
    sip_msg m;
    std::vector<uint32_t> r;
    feed(m,
         {"v=0", "o=jdoe 2890844526 2890842807 IN IP4 10.47.16.5", "s=SDP Seminar", "i=info", "u=http://x",
          "e=j@x", "p=+1", "b=AS:64", "z=0 0", "k=clear:x", "r=7d 1h 0 25h", "c=IN IP4 224.2.17.12/127",
          "t=2873397496 2873404696", "x=unknown", "garbage", "m"},
         &r);
    const std::vector<uint32_t> expected = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, KZ_SIP_FAILURE, KZ_SIP_FAILURE, KZ_SIP_FAILURE};
    EXPECT_EQ(r, expected);
    EXPECT_EQ(v(m, KZ_IE_SDP_VERSION), "0");
    EXPECT_EQ(v(m, KZ_IE_SDP_OWNER_USERNAME), "jdoe");
    EXPECT_EQ(v(m, KZ_IE_SDP_OWNER_SESSION_ID), "2890844526");
    EXPECT_EQ(v(m, KZ_IE_SDP_OWNER_SESSION_VERSION), "2890842807");
    EXPECT_EQ(v(m, KZ_IE_SDP_OWNER_NETWORK_TYPE), "IN");
    EXPECT_EQ(v(m, KZ_IE_SDP_OWNER_ADDRESS_TYPE), "IP4");
    EXPECT_EQ(v(m, KZ_IE_SDP_OWNER_ADDRESS), "10.47.16.5");
    EXPECT_EQ(v(m, KZ_IE_SDP_SESSION_NAME), "SDP Seminar");
    EXPECT_EQ(v(m, KZ_IE_SDP_CONNECTION_ADDRESS), "224.2.17.12/127");
    EXPECT_EQ(v(m, KZ_IE_SDP_TIMESTAMP_START), "2873397496");
    EXPECT_EQ(v(m, KZ_IE_SDP_TIMESTAMP_STOP), "2873404696");

    sip_msg c;
    int kind = 0;
    EXPECT_EQ(c.parse_sdp("c=", nullptr, &kind), KZ_SIP_FAILURE) << "empty network type";
    EXPECT_EQ(c.parse_sdp("c=IN IP4 1.2.3.4", nullptr, &kind), 0u);
    EXPECT_EQ(c.parse_sdp("c=IN IP4 5.6.7.8", nullptr, &kind), KZ_SIP_FAILURE) << "only the first c= is kept";
    EXPECT_EQ(v(c, KZ_IE_SDP_CONNECTION_ADDRESS), "1.2.3.4");
}

TEST(SdpParse, MediaLinesAndAttributeRouting) {
    sip_msg m;
    feed(m, {"a=group:BUNDLE 1", "m=audio 49170/2 RTP/AVP 0 8", "a=rtpmap:0 PCMU/8000",
             "m=audio 49180 RTP/AVP 18", "a=rtpmap:18 G729/8000", "m=video 51372 RTP/AVP 99",
             "a=rtpmap:99 h263-1998/90000", "m=image 52000 udptl t38", "a=T38FaxVersion:0", "m=audio 1",
             "m=application 9 TCP/BFCP *", "a=floorctrl:c-only"});
    ASSERT_EQ(m.get_ie_value_count(KZ_IE_SDP_MEDIA_TYPE), 5u)
        << "a media line of fewer than three fields is ignored";
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_TYPE, 4), "application");
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_PORT, 0), "49170");
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS, 0), "2");
    EXPECT_FALSE(m.find_ie(KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS, 1));
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_TRANSPORT, 3), "udptl");
    // Formats of a second audio line find their indexes taken: only the first list is kept.
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_PAYLOAD), 2u);
    EXPECT_EQ(v(m, KZ_IE_SIP_VIDEO_PAYLOAD), "99");
    EXPECT_EQ(v(m, KZ_IE_SIP_IMAGE_PAYLOAD), "t38");
    // Session attributes and those of every audio (and other) media land in 608, in order;
    // video in 609; image attributes are dropped.
    ASSERT_EQ(m.get_ie_value_count(KZ_IE_SDP_MEDIA_ATTR_RTPMAP), 4u);
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_ATTR, 0), "group:BUNDLE 1");
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_ATTR, 2), "rtpmap:18 G729/8000");
    EXPECT_EQ(v(m, KZ_IE_SDP_MEDIA_ATTR, 3), "floorctrl:c-only");
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SDP_VIDEO_MEDIA_ATTR_ALIAS), 1u);
}

TEST(SdpParse, ParseThenComposeKeepsTheDescription) {
    const std::string sdp = "v=0\r\n"
                            "o=- 3344 3344 IN IP4 192.168.1.20\r\n"
                            "s=ZELMAR_SIP_SDK\r\n"
                            "c=IN IP4 192.168.1.20\r\n"
                            "t=0 0\r\n"
                            "m=audio 8000 RTP/AVP 0 101\r\n"
                            "a=rtpmap:0 PCMU/8000\r\n"
                            "a=rtpmap:101 telephone-event/8000\r\n"
                            "a=fmtp:101 0-15\r\n"
                            "a=ptime:20\r\n"
                            "a=sendrecv\r\n";
    std::string text = "INVITE sip:b@h SIP/2.0\r\nContent-Type: application/sdp\r\nContent-Length: " +
                       std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    sip_msg m;
    KZSIPEvent e{};
    m.init_from_buf(buf.data(), &e);

    KZAPI::CString body;
    ASSERT_EQ(m.compose_sdp(&body), 0u);
    // Only the spacing of the format list differs: the composer writes a space after each format.
    std::string expected = sdp;
    expected.replace(expected.find("0 101\r\n"), 7, "0 101 \r\n");
    EXPECT_EQ(std::string(body.c_str()), expected);

    // Without the format element the list comes from the rtpmap attributes.
    m.remove_ie(KZ_IE_SIP_PAYLOAD, 0);
    ASSERT_EQ(m.compose_sdp(&body), 0u);
    EXPECT_NE(std::string(body.c_str()).find("m=audio 8000 RTP/AVP 0 101\r\n"), std::string::npos);
}
