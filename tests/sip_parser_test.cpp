// Parser behaviour: header mapping, bodies, framing of several messages in one buffer, and
// hostile input that must be contained.
#include "sipmsg/sip_msg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Parsed {
    sip_msg msg;
    KZSIPEvent event{};
    size_t next = 0; // offset of the next message in the buffer
    std::vector<char> buf;
};

// Parses the first message of text; lines written with "\n" are sent as CRLF.
void parse(Parsed& p, const std::string& text, bool crlf = true) {
    std::string wire;
    for (char c : text) {
        if (c == '\n' && crlf) wire += '\r';
        wire += c;
    }
    p.buf.assign(wire.begin(), wire.end());
    p.buf.push_back('\0');
    char* next = p.msg.init_from_buf(p.buf.data(), &p.event);
    p.next = static_cast<size_t>(next - p.buf.data());
}

// A message with a body whose Content-Length counts the CRLF line ends it will be sent with.
std::string with_body(const std::string& head, const std::string& content_type, const std::string& body) {
    size_t wire_len = body.size();
    for (char c : body)
        wire_len += c == '\n';
    return head + "Content-Type: " + content_type + "\nContent-Length: " + std::to_string(wire_len) + "\n\n" +
           body;
}

std::string v(const sip_msg& m, uint32_t id, unsigned index = 0) {
    return m.get_ie_value(id, index).c_str();
}

const char* kInviteHead = "INVITE sip:bob@example.com SIP/2.0\n"
                          "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKabc;rport\n"
                          "From: \"Alice Smith\" <sip:alice@example.com>;tag=88sja8x;x-extra=1\n"
                          "To: <sip:bob@example.com>\n"
                          "Call-ID: 987asjd97y7atg@10.0.0.1\n"
                          "CSeq: 986759 INVITE\n";

} // namespace

TEST(SipParser, RequestLineAndCommonHeaders) {
    Parsed p;
    parse(p, std::string(kInviteHead) + "Max-Forwards: 70\nContent-Length: 0\n\n");
    EXPECT_EQ(p.event.event_type, KZ_EVENT_SIP_MESSAGE_REQUEST);
    EXPECT_EQ(p.event.code, KZ_SIP_MSG_INVITE);
    EXPECT_EQ(p.msg.get_msg_type(), KZ_SIP_MSG_INVITE | KZ_SIP_MSG_REQUEST_FLAG);
    EXPECT_TRUE(p.msg.is_invite());
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_REQUEST_LINE_URI), "sip:bob@example.com");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_REQUEST_LINE_PROTVERSION), "SIP/2.0");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_FROM), "\"Alice Smith\" <sip:alice@example.com>");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_FROM_TAG), "88sja8x");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_TO), "<sip:bob@example.com>");
    EXPECT_FALSE(p.msg.find_ie(KZ_IE_SIP_TO_TAG, 0));
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_CALLID), "987asjd97y7atg@10.0.0.1");
    EXPECT_EQ(p.msg.cseq(), 986759u);
    EXPECT_STREQ(p.msg.cseq_method(), "INVITE");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_MAX_FORWARDS), "70");
    EXPECT_EQ(p.next, p.buf.size() - 1); // right after the empty line: the end of the text
    EXPECT_EQ(p.msg.get_raw_msg().GetLength(), p.next);
}

TEST(SipParser, StatusLine) {
    Parsed p;
    parse(p, "SIP/2.0 180 Ringing Now\nContent-Length: 0\n\n");
    EXPECT_EQ(p.event.event_type, KZ_EVENT_SIP_MESSAGE_RESPONSE);
    EXPECT_EQ(p.event.code, 180u);
    EXPECT_TRUE(p.msg.is_ringing());
    EXPECT_TRUE(p.msg.is_1xx());
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING), "Ringing Now");

    // A lower-case version passes the SIP test of line 1 but is read as a request.
    Parsed lower;
    parse(lower, "sip/2.0 200 OK\n\n");
    EXPECT_EQ(lower.event.event_type, KZ_EVENT_SIP_MESSAGE_REQUEST);
    EXPECT_EQ(v(lower.msg, KZ_IE_SIP_REQUEST_LINE_METHOD), "sip/2.0");
    EXPECT_EQ(lower.event.code, KZ_SIP_MSG_OTHER);
}

TEST(SipParser, BadFirstLineDeliversNothingButFramingHolds) {
    Parsed p;
    parse(p, "INVITE SIP/2.0\nCall-ID: x\nContent-Length: 0\n\nOPTIONS sip:a SIP/2.0\n\n");
    EXPECT_EQ(p.event.event_type, 0u);
    EXPECT_EQ(p.event.code, 0u);
    EXPECT_EQ(p.msg.get_msg_type(), 0u);
    EXPECT_FALSE(p.msg.is_invite());
    // The next message still begins right after the empty line.
    EXPECT_EQ(std::string(p.buf.data() + p.next, 7), "OPTIONS");
}

TEST(SipParser, ExternalMessage) {
    Parsed p;
    parse(p, "HELLO WORLD\nsecond line\n");
    EXPECT_EQ(p.event.event_type, KZ_EVENT_SIP_EXTERNAL_MESSAGE);
    EXPECT_EQ(p.event.code, p.buf.size() - 1);
    EXPECT_EQ(p.msg.get_ie_count(), 1u);
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_EXTERNAL_MESSAGE), "HELLO WORLD\r\nsecond line\r\n");
    EXPECT_EQ(p.next, strlen("HELLO WORLD\r\n")); // just past the first line
}

TEST(SipParser, LeadingEmptyLinesAreSkippedAndEmptyTextIsHarmless) {
    Parsed p;
    parse(p, "\n\nBYE sip:a@b SIP/2.0\nCall-ID: c1\n\n");
    EXPECT_TRUE(p.msg.is_bye());
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_CALLID), "c1");

    char empty[1] = {'\0'};
    sip_msg m;
    KZSIPEvent e{};
    EXPECT_EQ(m.init_from_buf(empty, &e), empty + 1);
    EXPECT_TRUE(m.is_empty());
    EXPECT_EQ(m.init_from_buf(nullptr, &e), nullptr);
}

TEST(SipParser, CompactFormsAndNameAddrRules) {
    Parsed p;
    parse(p, "OPTIONS sip:x@y SIP/2.0\n"
             "f: Bob <sip:bob@biloxi.com>;tag=a73kszlfl\n"
             "t: sips:carol@chicago.com\n"
             "i: 843817637684230@998sdasdh09\n"
             "m: <sip:bob@192.0.2.4>\n"
             "v: SIP/2.0/TCP client.biloxi.com:5060;branch=z9hG4bKnashds7\n"
             "l: 0\n\n");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_FROM), "Bob <sip:bob@biloxi.com>");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_FROM_TAG), "a73kszlfl");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_TO), "sips:carol@chicago.com");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_CALLID), "843817637684230@998sdasdh09");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_CONTACT), "<sip:bob@192.0.2.4>");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_PROTOCOL), "SIP/2.0/TCP");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_CONTENT_LENGTH), "0");

    // Without angle brackets the address ends at the first ';' after the scheme.
    Parsed q;
    parse(q, "BYE sip:x SIP/2.0\nTo: sip:bob@b.com;tag=99 ;foo\nFrom: sip:a@b.com\n\n");
    EXPECT_EQ(v(q.msg, KZ_IE_SIP_TO), "sip:bob@b.com");
    EXPECT_EQ(v(q.msg, KZ_IE_SIP_TO_TAG), "99");
    EXPECT_EQ(v(q.msg, KZ_IE_SIP_FROM), "sip:a@b.com");
    EXPECT_FALSE(q.msg.find_ie(KZ_IE_SIP_FROM_TAG, 0));
}

TEST(SipParser, RepeatedHeadersFirstWinsButListsAccumulate) {
    Parsed p;
    parse(p, std::string(kInviteHead) +
                 "Contact: <sip:first@1.1.1.1>\n"
                 "Contact: <sip:second@2.2.2.2>\n"
                 "Via: SIP/2.0/UDP 10.0.0.2;branch=z9hG4bK2;received=10.9.9.9;maddr=224.2.0.1\n"
                 "Route: <sip:p1.example.com;lr>, <sip:p2.example.com;lr>\n"
                 "Route: <sip:p3.example.com;lr>\n"
                 "Record-Route: <sip:rr1;lr>\n"
                 "Allow: INVITE, ACK,BYE\n"
                 "Allow: OPTIONS\n\n");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_CONTACT), "<sip:first@1.1.1.1>");
    ASSERT_EQ(p.msg.get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS), 2u);
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_ADDRESS, 0), "10.0.0.1:5060");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_BRANCH, 0), "z9hG4bKabc");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_PARAM, 0), "rport");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_ADDRESS, 1), "10.0.0.2");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_BRANCH, 1), "z9hG4bK2");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_RECEIVED, 1), "received=10.9.9.9");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_MADDR, 1), "maddr=224.2.0.1");
    EXPECT_FALSE(p.msg.find_ie(KZ_IE_SIP_VIA_PARAM, 1));
    ASSERT_EQ(p.msg.get_ie_value_count(KZ_IE_SIP_ROUTE), 3u);
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_ROUTE, 1), "<sip:p2.example.com;lr>");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_ROUTE, 2), "<sip:p3.example.com;lr>");
    EXPECT_EQ(p.msg.get_ie_value_count(KZ_IE_SIP_RECORD_ROUTE), 1u);
    // A second Allow fails at its first piece.
    ASSERT_EQ(p.msg.get_ie_value_count(KZ_IE_SIP_ALLOW), 3u);
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_ALLOW, 2), "BYE");
}

TEST(SipParser, ViaParameterClassification) {
    Parsed p;
    parse(p, "INVITE sip:x SIP/2.0\n"
             "Via: SIP/2.0/UDP airport.example.com:5060;rport=5062;received=1.2.3.4;branch=z9hG4bKx;cid=7;"
             "x-route-tag=\"tgrp:a\";unknown=1\n"
             "Via: SIP/2.0/UDP host2;received-port;branch=z9hG4bKy\n\n");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_ADDRESS, 0), "airport.example.com:5060");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_PARAM, 0), "rport=5062");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_RECEIVED, 0), "received=1.2.3.4");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_CID, 0), "cid=7");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_X_ROUTE_TAG, 0), "x-route-tag=\"tgrp:a\"");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_ADDRESS, 1), "host2");
    EXPECT_FALSE(p.msg.find_ie(KZ_IE_SIP_VIA_PARAM, 1)) << "a bare received-port is skipped";
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_BRANCH, 1), "z9hG4bKy");
}

TEST(SipParser, HeaderNamesNeedTheirColonAndWhitespaceLinesEndHeaders) {
    Parsed p;
    parse(p, "INVITE sip:x SIP/2.0\n"
             "Call-ID abc\n"        // no colon: ignored
             "X-Unknown: 1\n"       // unknown: dropped
             "cAlL-iD:   real-id\n" // names compare without regard to case
             "   \n"                // spaces only: ends the headers
             "Expires: 60\n");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_CALLID), "real-id");
    EXPECT_FALSE(p.msg.find_ie(KZ_IE_SIP_EXPIRES, 0));
    EXPECT_EQ(std::string(p.buf.data() + p.next), "Expires: 60\r\n");
}

TEST(SipParser, DigestChallengeAndCredentials) {
    Parsed p;
    parse(p, "SIP/2.0 401 Unauthorized\n"
             "WWW-Authenticate: Digest realm=\"atlanta.com\", nonce=\"84a4cc6f3082121f32b42a2187831a9e\", "
             "qop=\"auth,auth-int\", stale=FALSE, algorithm=MD5, opaque=\"op,aque\"\n"
             "Proxy-Authenticate: Digest realm=\"proxy.net\",nonce=\"n2\"\n\n");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_WWW_AUTH_REQ_TYPE), "Digest");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_WWW_AUTH_REQ_REALM), "atlanta.com");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_WWW_AUTH_REQ_NONCE), "84a4cc6f3082121f32b42a2187831a9e");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_WWW_AUTH_REQ_QOP), "auth,auth-int");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM), "MD5");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE), "op,aque");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_PROXY_AUTH_REQ_REALM), "proxy.net");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_PROXY_AUTH_REQ_NONCE), "n2");

    Parsed c;
    parse(c, "REGISTER sip:atlanta.com SIP/2.0\n"
             "Authorization: Digest username=\"bob\", realm=\"atlanta.com\", nonce=\"ea9c8e88\", "
             "uri=\"sip:atlanta.com\", response=\"dfe56131d1958046689d83306477ecc\", cnonce=\"0a4f113b\", "
             "nc=00000001, qop=auth, algorithm=MD5, opaque=\"\"\n"
             "Proxy-Authorization: Digest "
             "username=\"carol\",realm=\"p\",nonce=\"x\",uri=\"sip:p\",response=\"r\"\n\n");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_WWW_AUTH_RESP_TYPE), "Digest");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_WWW_AUTH_RESP_USERNAME), "bob");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_WWW_AUTH_RESP_URI), "sip:atlanta.com");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE), "dfe56131d1958046689d83306477ecc");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_WWW_AUTH_RESP_CNONCE), "0a4f113b");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_WWW_AUTH_RESP_NC), "00000001");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_WWW_AUTH_RESP_QOP), "auth");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM), "MD5");
    EXPECT_FALSE(c.msg.find_ie(KZ_IE_SIP_WWW_AUTH_RESP_OPAQUE, 0));
    EXPECT_FALSE(c.msg.find_ie(KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD, 0));
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME), "carol");
    EXPECT_EQ(v(c.msg, KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE), "r");
}

TEST(SipParser, SdpBodyAndNextMessageInTheSameBuffer) {
    const std::string sdp = "v=0\n"
                            "o=- 1 2 IN IP4 10.0.0.1\n"
                            "s=call\n"
                            "c=IN IP4 10.0.0.1\n"
                            "t=0 0\n"
                            "m=audio 4000/2 RTP/AVP 0 101\n"
                            "a=rtpmap:0 PCMU/8000\n"
                            "m=video 5000 RTP/AVP 96\n"
                            "c=IN IP4 10.0.0.99\n"
                            "a=rtpmap:96 H264/90000\n";
    // Content-Length counts the CRLF line ends.
    const size_t body_len = sdp.size() + 10;
    Parsed p;
    parse(p, std::string(kInviteHead) +
                 "Content-Type: application/sdp\nContent-Length: " + std::to_string(body_len) + "\n\n" + sdp +
                 "BYE sip:bob@example.com SIP/2.0\nCall-ID: next\n\n");
    EXPECT_EQ(v(p.msg, KZ_IE_SDP_OWNER_ADDRESS), "10.0.0.1");
    EXPECT_EQ(v(p.msg, KZ_IE_SDP_CONNECTION_ADDRESS), "10.0.0.1") << "only the first c= is kept";
    EXPECT_EQ(v(p.msg, KZ_IE_SDP_MEDIA_TYPE, 1), "video");
    EXPECT_EQ(v(p.msg, KZ_IE_SDP_MEDIA_PORT, 0), "4000");
    EXPECT_EQ(v(p.msg, KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS, 0), "2");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_PAYLOAD, 1), "101");
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIDEO_PAYLOAD, 0), "96");
    EXPECT_EQ(v(p.msg, KZ_IE_SDP_MEDIA_ATTR, 0), "rtpmap:0 PCMU/8000");
    EXPECT_EQ(v(p.msg, KZ_IE_SDP_VIDEO_MEDIA_ATTR, 0), "rtpmap:96 H264/90000");
    EXPECT_TRUE(p.msg.find_ie(KZ_IE_SIP_BODY, 0));
    EXPECT_FALSE(p.msg.find_ie(KZ_IE_SIP_CALLID, 1));
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_CALLID), "987asjd97y7atg@10.0.0.1");

    // The rest of the buffer parses as the next message.
    sip_msg second;
    KZSIPEvent e{};
    char* after = second.init_from_buf(p.buf.data() + p.next, &e);
    EXPECT_TRUE(second.is_bye());
    EXPECT_EQ(v(second, KZ_IE_SIP_CALLID), "next");
    EXPECT_EQ(after, p.buf.data() + p.buf.size() - 1);
}

TEST(SipParser, BodyFramingEdges) {
    // Content-Length 0 or no Content-Type: no body, the next message starts after the empty line.
    Parsed zero;
    parse(zero, "NOTIFY sip:a SIP/2.0\nContent-Type: text/plain\nContent-Length: 0\n\nBODY");
    EXPECT_FALSE(zero.msg.find_ie(KZ_IE_SIP_BODY, 0));
    EXPECT_EQ(std::string(zero.buf.data() + zero.next), "BODY");
    Parsed untyped;
    parse(untyped, "NOTIFY sip:a SIP/2.0\nContent-Length: 4\n\nBODY");
    EXPECT_FALSE(untyped.msg.find_ie(KZ_IE_SIP_BODY, 0));
    EXPECT_EQ(std::string(untyped.buf.data() + untyped.next), "BODY");

    // A Content-Length beyond the text: the body runs to the end.
    Parsed longer;
    parse(longer, "INFO sip:a SIP/2.0\nContent-Type: application/dtmf-relay\nContent-Length: 5000\n\n"
                  "Signal=5\nDuration=160\n");
    EXPECT_EQ(v(longer.msg, KZ_IE_DTMF_RELAY_SIGNAL), "5");
    EXPECT_EQ(v(longer.msg, KZ_IE_DTMF_RELAY_DURATION), "160");
    EXPECT_EQ(longer.next, longer.buf.size()); // one past the terminating NUL

    // Negative and absurd lengths never reach outside the text.
    for (const char* cl : {"-20", "99999999999999999999", "-99999999999999999999", "abc"}) {
        Parsed odd;
        parse(odd, std::string("MESSAGE sip:a SIP/2.0\nContent-Type: text/plain\nContent-Length: ") + cl +
                       "\n\nhello\n");
        EXPECT_LE(odd.next, odd.buf.size()) << cl;
    }

    // LF-only line ends: the empty line is one byte, the body length follows it.
    Parsed lf;
    parse(lf,
          "INFO sip:a SIP/2.0\nContent-Type: application/dtmf-relay\nContent-Length: "
          "22\n\nSignal=#\nDuration=250\n",
          false);
    EXPECT_EQ(v(lf.msg, KZ_IE_DTMF_RELAY_SIGNAL), "#");
    EXPECT_EQ(v(lf.msg, KZ_IE_DTMF_RELAY_DURATION), "250");
}

TEST(SipParser, BodyKinds) {
    Parsed summary;
    parse(summary, with_body("NOTIFY sip:a SIP/2.0\n", "application/simple-message-summary",
                             "Messages-Waiting: yes\nMessage-Account: sip:a@b\nVoice-Message: 2/8\n"));
    EXPECT_EQ(v(summary.msg, KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING), "yes");
    EXPECT_EQ(v(summary.msg, KZ_IE_SIMPLE_MSG_SUM_MSG_ACCOUNT), "sip:a@b");
    EXPECT_EQ(v(summary.msg, KZ_IE_SIMPLE_MSG_SUM_VOICE_MSG), "2/8");

    Parsed frag;
    parse(frag, with_body("NOTIFY sip:a SIP/2.0\n", "message/sipfrag;version=2.0",
                          "SIP/2.0 200 OK\nSIP/2.0 486 Busy\n"));
    EXPECT_EQ(v(frag.msg, KZ_IE_SIP_FRAG_SIP_VERSION), "SIP/2.0");
    EXPECT_EQ(v(frag.msg, KZ_IE_SIP_FRAG_SIP_CODE), "200");
    EXPECT_EQ(v(frag.msg, KZ_IE_SIP_FRAG_SIP_CODE_TXT), "OK");

    Parsed text;
    parse(text, with_body("MESSAGE sip:a SIP/2.0\n", "text/plain", "Hello\nWorld !\n"));
    EXPECT_EQ(v(text.msg, KZ_IE_SIP_MESSAGE_CONTENT), "Hello\r\nWorld !\r\n");

    // text/plain outside a MESSAGE is not message content: lines go to the header dispatch.
    Parsed info;
    parse(info, with_body("INFO sip:a SIP/2.0\n", "text/plain", "Call-ID: zz\n"));
    EXPECT_FALSE(info.msg.find_ie(KZ_IE_SIP_MESSAGE_CONTENT, 0));
    EXPECT_EQ(v(info.msg, KZ_IE_SIP_CALLID), "zz");

    Parsed pidf;
    const std::string xml = "<?xml version=\"1.0\"?>\n<presence entity=\"sip:a@b\">\n</presence>\n";
    parse(pidf, with_body("NOTIFY sip:a SIP/2.0\n", "application/pidf+xml", xml));
    EXPECT_EQ(v(pidf.msg, KZ_IE_SIP_NOTIFY_PRESENCE),
              "<?xml version=\"1.0\"?>\r\n<presence entity=\"sip:a@b\">\r\n</presence>\r\n");
}

TEST(SipParser, OverlongValuesAreBounded) {
    const std::string big_user(5000, 'u');
    const std::string big_tag(3000, 't');
    Parsed p;
    parse(p, "INVITE sip:x SIP/2.0\nFrom: <sip:" + big_user + "@h>;tag=" + big_tag +
                 "\nTo: <sip:b@h>;tag=" + std::string(511, 'k') + "\n\n");
    EXPECT_EQ(p.msg.get_ie_value(KZ_IE_SIP_FROM).GetLength(), 511u);
    EXPECT_EQ(p.msg.get_ie_value(KZ_IE_SIP_FROM_TAG).GetLength(), 511u);
    EXPECT_EQ(p.msg.get_ie_value(KZ_IE_SIP_TO_TAG).GetLength(), 511u);

    // A body line of 511 characters or more is refused by the dtmf-relay and sipfrag parsers.
    std::string line = "Signal=" + std::string(600, '1');
    Parsed d;
    parse(d,
          "INFO sip:a SIP/2.0\nContent-Type: application/dtmf-relay\nContent-Length: 700\n\n" + line + "\n");
    EXPECT_FALSE(d.msg.find_ie(KZ_IE_DTMF_RELAY_SIGNAL, 0));
}

TEST(SipParser, ManyHeadersAndListValuesStayWithinTwentyValues) {
    std::string text = "INVITE sip:x SIP/2.0\n";
    for (int i = 0; i < 40; ++i)
        text += "Via: SIP/2.0/UDP h" + std::to_string(i) + ";branch=z9hG4bK" + std::to_string(i) + "\n";
    for (int i = 0; i < 40; ++i)
        text += "Route: <sip:r" + std::to_string(i) + ">\n";
    for (int i = 0; i < 10000; ++i)
        text += "X-Filler-" + std::to_string(i) + ": x\n";
    text += "Allow: A,B,C,D,E,F,G,H,I,J,K,L,M,N,O,P,Q,R,S,T,U,V,W\n\n";
    Parsed p;
    parse(p, text);
    EXPECT_EQ(p.msg.get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS), 20u);
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_VIA_ADDRESS, 19), "h19");
    EXPECT_EQ(p.msg.get_ie_value_count(KZ_IE_SIP_ROUTE), 20u);
    EXPECT_EQ(p.msg.get_ie_value_count(KZ_IE_SIP_ALLOW), 20u);
    EXPECT_EQ(v(p.msg, KZ_IE_SIP_ALLOW, 19), "T");
}
