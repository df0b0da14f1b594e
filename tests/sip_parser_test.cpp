// The parser: what each header line stores, first-line outcomes, body kinds and SDP lines. Whole
// messages, framing and parsed descriptions composed back are covered by the recorded outcomes of
// the data files (sip_roundtrip_test).
#include "sipmsg/sip_msg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    sip_msg msg;
    KZSIPEvent event{};
    std::vector<char> buf;
};

void parse(Parsed& p, const std::string& text) {
    p.buf.assign(text.begin(), text.end());
    p.buf.push_back('\0');
    p.msg.init_from_buf(p.buf.data(), &p.event);
}

std::string v(const sip_msg& m, uint32_t id, unsigned index = 0) {
    return std::string(m.get_ie_value(id, index).View());
}

struct Stored {
    uint32_t id;
    unsigned index;
    const char* value; // null: nothing stored at id/index
};

struct HeaderCase {
    const char* lines; // header lines of an OPTIONS request, each ending in "\n"
    std::vector<Stored> stored;
};

void expect_stored(const sip_msg& m, const std::vector<Stored>& stored) {
    for (const Stored& s : stored) {
        if (s.value)
            EXPECT_EQ(v(m, s.id, s.index), s.value) << "id " << s.id << "[" << s.index << "]";
        else
            EXPECT_FALSE(m.find_ie(s.id, s.index))
                << "id " << s.id << "[" << s.index << "] holds " << v(m, s.id, s.index);
    }
}

constexpr uint32_t kViaAddr = KZ_IE_SIP_VIA_ADDRESS;
constexpr uint32_t kRport = KZ_IE_SIP_VIA_PARAM;
constexpr uint32_t kReceived = KZ_IE_SIP_VIA_RECEIVED;

// clang-format off
const HeaderCase kHeaderCases[] = {
    // Via parameters are matched by their whole name, without regard to case.
    {"Via: SIP/2.0/UDP h:5060;decided=1;branch=z9hG4bKa\n",
     {{kViaAddr, 0, "h:5060"}, {KZ_IE_SIP_VIA_PROTOCOL, 0, "SIP/2.0/UDP"}, {KZ_IE_SIP_VIA_CID, 0, nullptr},
      {KZ_IE_SIP_VIA_BRANCH, 0, "z9hG4bKa"}}},
    {"Via: SIP/2.0/UDP h;x-received-by=proxy;received-by=x\n", {{kReceived, 0, nullptr}}},
    {"Via: SIP/2.0/UDP h;RPORT;Received=192.0.2.1\n", {{kRport, 0, "rport"}, {kReceived, 0, "received=192.0.2.1"}}},
    {"Via: SIP/2.0/UDP h;rport = 5062 ;received=10.0.0.1\n", {{kRport, 0, "rport=5062"}, {kReceived, 0, "received=10.0.0.1"}}},
    {"Via: SIP/2.0/UDP h;Branch=z9hG4bKB;CID=7;X-Route-Tag=rt;MADDR=239.1.1.1\n",
     {{KZ_IE_SIP_VIA_BRANCH, 0, "z9hG4bKB"}, {KZ_IE_SIP_VIA_CID, 0, "cid=7"},
      {KZ_IE_SIP_VIA_X_ROUTE_TAG, 0, "x-route-tag=rt"}, {KZ_IE_SIP_VIA_MADDR, 0, "maddr=239.1.1.1"}}},
    {"Via: SIP/2.0/UDP h;xbranch=1;branches=2;maddr2=3;rports\n",
     {{KZ_IE_SIP_VIA_BRANCH, 0, nullptr}, {KZ_IE_SIP_VIA_MADDR, 0, nullptr}, {kRport, 0, nullptr}}},
    {"Via: SIP/2.0/UDP h;received-port\n", {{kRport, 0, nullptr}}},
    {"Via: SIP/2.0/UDP h;received-port=9\n", {{kRport, 0, "received-port=9"}}},
    {"Via: SIP/2.0/UDP airport.example;branch=b\n", {{kViaAddr, 0, "airport.example"}, {kRport, 0, nullptr}}},
    {"v: SIP/2.0/TCP a;branch=1\nVia: SIP/2.0/UDP b, SIP/2.0/UDP c\n",
     {{kViaAddr, 0, "a"}, {kViaAddr, 1, "b, SIP/2.0/UDP c"}, {KZ_IE_SIP_VIA_PROTOCOL, 0, "SIP/2.0/TCP"}}},
    // From and To: sip:, sips: and tel: addresses; the tag parameter by its exact name.
    {"f: Bob <sip:bob@biloxi.com>;tag=a73\n", {{KZ_IE_SIP_FROM, 0, "Bob <sip:bob@biloxi.com>"}, {KZ_IE_SIP_FROM_TAG, 0, "a73"}}},
    {"From: \"Carrier\" <tel:+15550001111>;tag=c1\nTo: <TEL:+15551234567;phone-context=+1>\n",
     {{KZ_IE_SIP_FROM, 0, "\"Carrier\" <tel:+15550001111>"}, {KZ_IE_SIP_FROM_TAG, 0, "c1"},
      {KZ_IE_SIP_TO, 0, "<TEL:+15551234567;phone-context=+1>"}}},
    {"t: sips:carol@chicago.com;tag=9 ;foo\n", {{KZ_IE_SIP_TO, 0, "sips:carol@chicago.com"}, {KZ_IE_SIP_TO_TAG, 0, "9"}}},
    {"From: <sip:a@b>;xtag=1;Tag=2;tag=3\n", {{KZ_IE_SIP_FROM, 0, "<sip:a@b>"}, {KZ_IE_SIP_FROM_TAG, 0, "2"}}},
    {"From: <sip:a@b>;mytag=1;tags=2\n", {{KZ_IE_SIP_FROM, 0, "<sip:a@b>"}, {KZ_IE_SIP_FROM_TAG, 0, nullptr}}},
    {"From: \"A;B\" <sip:a@b>;tag=1;x=y\n", {{KZ_IE_SIP_FROM, 0, "\"A;B\" <sip:a@b>"}, {KZ_IE_SIP_FROM_TAG, 0, "1"}}},
    {"From: hotel:x\nTo: Bob <mailto:bob@b>\n", {{KZ_IE_SIP_FROM, 0, nullptr}, {KZ_IE_SIP_TO, 0, nullptr}}},
    // Compact forms, and a repeated whole-value header keeps its first value.
    {"i: id1\nm: <sip:c@1>\nm: <sip:c@2>\nc: text/plain\nl: 0\nk: 100rel\nr: <sip:t@x>\nb: <sip:r@x>\no: dialog\n",
     {{KZ_IE_SIP_CALLID, 0, "id1"}, {KZ_IE_SIP_CONTACT, 0, "<sip:c@1>"}, {KZ_IE_SIP_CONTENT_TYPE, 0, "text/plain"},
      {KZ_IE_SIP_CONTENT_LENGTH, 0, "0"}, {KZ_IE_SIP_SUPPORT, 0, "100rel"}, {KZ_IE_SIP_REFER_TO, 0, "<sip:t@x>"},
      {KZ_IE_SIP_REFERRED_BY, 0, "<sip:r@x>"}, {KZ_IE_SIP_EVENT, 0, "dialog"}}},
    {"CALL-ID: id2\nCSeq: 12 INVITE\nMax-Forwards: 70\nExpires: 60\nRAck: 1 2 INVITE\nX-SMS-To: 555\n",
     {{KZ_IE_SIP_CALLID, 0, "id2"}, {KZ_IE_SIP_CSEQ_NUMBER, 0, "12"}, {KZ_IE_SIP_CSEQ_METHOD, 0, "INVITE"},
      {KZ_IE_SIP_MAX_FORWARDS, 0, "70"}, {KZ_IE_SIP_EXPIRES, 0, "60"}, {KZ_IE_SIP_RACK, 0, "1 2 INVITE"},
      {KZ_IE_SIP_X_SMS_TO, 0, "555"}}},
    // Lists: Allow pieces by index, Route entries accumulate over lines.
    {"Allow: INVITE, ACK,BYE\nRoute: <sip:a>,<sip:b>\nRoute: <sip:c>\n",
     {{KZ_IE_SIP_ALLOW, 2, "BYE"}, {KZ_IE_SIP_ROUTE, 1, "<sip:b>"}, {KZ_IE_SIP_ROUTE, 2, "<sip:c>"}}},
    // The name must end at its colon; a line without one is an unknown header.
    {"Call-ID : x\nCall-ID\nUser-Agent:phone 1\n", {{KZ_IE_SIP_CALLID, 0, nullptr}, {KZ_IE_SIP_USER_AGENT, 0, "phone 1"}}},
    {"WWW-Authenticate: Digest realm=\"atlanta.com\", nonce=\"84a4\", qop=\"auth,auth-int\", stale=FALSE, "
     "algorithm=MD5, opaque=\"op,aque\"\n",
     {{KZ_IE_SIP_WWW_AUTH_REQ_TYPE, 0, "Digest"}, {KZ_IE_SIP_WWW_AUTH_REQ_REALM, 0, "atlanta.com"},
      {KZ_IE_SIP_WWW_AUTH_REQ_NONCE, 0, "84a4"}, {KZ_IE_SIP_WWW_AUTH_REQ_QOP, 0, "auth,auth-int"},
      {KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM, 0, "MD5"}, {KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE, 0, "op,aque"}}},
    {"Proxy-Authorization: Digest username=\"bob\", realm=\"p\", nonce=\"n\", uri=\"sip:p\", response=\"r\", "
     "cnonce=\"0a4f\", nc=00000001, qop=auth\n",
     {{KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME, 0, "bob"}, {KZ_IE_SIP_PROXY_AUTH_RESP_URI, 0, "sip:p"},
      {KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE, 0, "r"}, {KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE, 0, "0a4f"},
      {KZ_IE_SIP_PROXY_AUTH_RESP_NC, 0, "00000001"}, {KZ_IE_SIP_PROXY_AUTH_RESP_QOP, 0, "auth"},
      {KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD, 0, nullptr}}},
};
// clang-format on

class ParsedHeaders : public testing::TestWithParam<HeaderCase> {};

} // namespace

TEST_P(ParsedHeaders, StoreTheirElements) {
    Parsed p;
    parse(p, std::string("OPTIONS sip:x@y SIP/2.0\n") + GetParam().lines + "\n");
    EXPECT_EQ(p.event.event_type, KZ_EVENT_SIP_MESSAGE_REQUEST);
    expect_stored(p.msg, GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParsedHeaders, testing::ValuesIn(kHeaderCases));

TEST(SipParser, FirstLines) {
    struct Case {
        const char* line;
        uint32_t event_type;
        uint32_t code;
        std::vector<Stored> stored;
    };
    constexpr uint32_t kRequest = KZ_EVENT_SIP_MESSAGE_REQUEST;
    // clang-format off
    const Case cases[] = {
        {"INVITE sips:bob@example.com SIP/2.0", kRequest, KZ_SIP_MSG_INVITE,
         {{KZ_IE_SIP_REQUEST_LINE_URI, 0, "sips:bob@example.com"}, {KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, "SIP/2.0"}}},
        {"MESSAGE   tel:+15551234567;phone-context=+1   SIP/2.0", kRequest, KZ_SIP_MSG_MESSAGE,
         {{KZ_IE_SIP_REQUEST_LINE_URI, 0, "tel:+15551234567;phone-context=+1"}}},
        {"SIP/2.0 180 Ringing Now", KZ_EVENT_SIP_MESSAGE_RESPONSE, 180,
         {{KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "Ringing Now"}}},
        {"sip/2.0 200 OK", kRequest, KZ_SIP_MSG_OTHER, {{KZ_IE_SIP_REQUEST_LINE_METHOD, 0, "sip/2.0"}}},
        {"INVITE sip:x SIP/2.0", kRequest, KZ_SIP_MSG_INVITE, {}},
        {"INVITE SIP/2.0", 0, 0, {{KZ_IE_SIP_REQUEST_LINE_METHOD, 0, nullptr}}},
        // Text that is no SIP comes out whole, its length as the code.
        {"hello world", KZ_EVENT_SIP_EXTERNAL_MESSAGE, 27, {{KZ_IE_SIP_EXTERNAL_MESSAGE, 0, "hello world\r\nCall-ID: a\r\n\r\n"}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Parsed p;
        parse(p, std::string(c.line) + "\r\nCall-ID: a\r\n\r\n");
        EXPECT_EQ(p.event.event_type, c.event_type);
        EXPECT_EQ(p.event.code, c.code);
        expect_stored(p.msg, c.stored);
    }
}

// The usual bodies of each kind are read from the data files (sip_roundtrip_test); here the other
// spellings of their types and keys, and the first status line of a fragment.
TEST(SipParser, BodyKindsFollowTheContentType) {
    struct Case {
        const char* method;
        const char* content_type;
        const char* body;
        std::vector<Stored> stored;
    };
    // clang-format off
    const Case cases[] = {
        {"INFO", "Application/DTMF", "d=#\nt=250\n",
         {{KZ_IE_DTMF_RELAY_SIGNAL, 0, "#"}, {KZ_IE_DTMF_RELAY_DURATION, 0, "250"}}},
        {"NOTIFY", "message/sipfrag;version=2.0", "SIP/2.0 200 OK\nSIP/2.0 486 Busy\n",
         {{KZ_IE_SIP_FRAG_SIP_CODE, 0, "200"}, {KZ_IE_SIP_FRAG_SIP_CODE_TXT, 0, "OK"}}},
        {"INFO", "text/plain", "Call-ID: zz\n", {{KZ_IE_SIP_MESSAGE_CONTENT, 0, nullptr}, {KZ_IE_SIP_CALLID, 0, "zz"}}},
        {"NOTIFY", "application/dialog-info+xml", "<d/>\n<e/>\n", {{KZ_IE_SIP_NOTIFY_PRESENCE, 0, "<d/>\r\n<e/>\r\n"}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content_type);
        const std::string body = c.body;
        Parsed p;
        parse(p, std::string(c.method) + " sip:a SIP/2.0\nContent-Type: " + c.content_type +
                     "\nContent-Length: " + std::to_string(body.size() + 1) + "\n\n" + body);
        expect_stored(p.msg, c.stored);
    }
}

TEST(SipParser, OverlongValuesAreBounded) {
    Parsed p;
    parse(p, "INVITE sip:x SIP/2.0\nFrom: <sip:" + std::string(5000, 'u') +
                 "@h>;tag=" + std::string(3000, 't') + "\nInfo: x\n\n");
    EXPECT_EQ(p.msg.get_ie_value(KZ_IE_SIP_FROM).GetLength(), 511u);
    EXPECT_EQ(p.msg.get_ie_value(KZ_IE_SIP_FROM_TAG).GetLength(), 511u);

    std::string many = "INVITE sip:x SIP/2.0\n";
    for (int i = 0; i < 30; ++i)
        many += "Via: SIP/2.0/UDP h" + std::to_string(i) + "\nRoute: <sip:r>\n";
    Parsed lists;
    parse(lists, many + "\n");
    EXPECT_EQ(lists.msg.get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS), 20u);
    EXPECT_EQ(lists.msg.get_ie_value_count(KZ_IE_SIP_ROUTE), 20u);
}

namespace {

std::vector<uint32_t> feed(sip_msg& m, const std::vector<std::string>& lines) {
    int kind = sip_msg::MEDIA_AUDIO; // carried from line to line as the body parser does
    std::vector<uint32_t> results;
    for (const std::string& line : lines)
        results.push_back(m.parse_sdp(line, nullptr, &kind));
    return results;
}

constexpr uint32_t kOk = KZ_SIP_RESULT_OK;
constexpr uint32_t kFail = KZ_SIP_RESULT_FAILURE;

} // namespace

TEST(SdpParse, LineTypesRefusalsMediaLinesAndAttributeRouting) {
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

    // Media lines, and the attributes routed by the media they follow.
    m.reset_all();
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
