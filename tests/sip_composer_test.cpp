// Composer tests: messages are built element by element and the composed text is compared
// byte for byte with the expected wire text.
#include "host/KZDigest.h"
#include "sipmsg/sip_msg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using Elements = std::vector<std::pair<uint32_t, const char*>>;
constexpr uint32_t kFail = KZ_SIP_FAILURE;
const std::string kInviteLine = "INVITE sip:bob@example.com SIP/2.0\r\n";
const std::string kNoBody = "Content-Length: 0\r\n\r\n";

void add(sip_msg& m, uint32_t id, const char* value, unsigned index = 0) {
    ASSERT_EQ(m.add_ie(id, index, value), 0u) << "id " << id << " index " << index;
}

void add_all(sip_msg& m, const Elements& elements) {
    for (const auto& [id, value] : elements)
        add(m, id, value);
}

void make_request(sip_msg& m, const char* method = "INVITE", const char* uri = "sip:bob@example.com") {
    add_all(m, {{KZ_IE_SIP_REQUEST_LINE_METHOD, method},
                {KZ_IE_SIP_REQUEST_LINE_URI, uri},
                {KZ_IE_SIP_REQUEST_LINE_PROTVERSION, "SIP/2.0"}});
}

std::string value(const sip_msg& m, uint32_t id, unsigned index = 0) {
    return std::string(m.get_ie_value(id, index).View());
}

std::string compose(sip_msg& m) {
    KZAPI::CString out;
    EXPECT_EQ(m.write_into_buf(&out), 0u);
    return std::string(out.View());
}

// The header lines of a body-less message: first line and final Content-Length cut off.
std::string headers_of(sip_msg& m) {
    std::string text = compose(m);
    size_t first_end = text.find("\r\n") + 2;
    size_t length_line = text.rfind(kNoBody);
    EXPECT_EQ(length_line + kNoBody.size(), text.size()) << text;
    return text.substr(first_end, length_line - first_end);
}

void add_sdp_session(sip_msg& m) {
    add_all(m, {{KZ_IE_SDP_VERSION, "0"},
                {KZ_IE_SDP_OWNER_USERNAME, "alice"},
                {KZ_IE_SDP_OWNER_SESSION_ID, "2890844526"},
                {KZ_IE_SDP_OWNER_SESSION_VERSION, "2890844527"},
                {KZ_IE_SDP_OWNER_NETWORK_TYPE, "IN"},
                {KZ_IE_SDP_OWNER_ADDRESS_TYPE, "IP4"},
                {KZ_IE_SDP_OWNER_ADDRESS, "10.0.0.1"},
                {KZ_IE_SDP_SESSION_NAME, "KZ"},
                {KZ_IE_SDP_CONNECTION_NETWORK_TYPE, "IN"},
                {KZ_IE_SDP_CONNECTION_ADDRESS_TYPE, "IP4"},
                {KZ_IE_SDP_CONNECTION_ADDRESS, "10.0.0.1"},
                {KZ_IE_SDP_TIMESTAMP_START, "0"},
                {KZ_IE_SDP_TIMESTAMP_STOP, "0"}});
}

void add_media(sip_msg& m, unsigned index, const char* type, const char* port) {
    add(m, KZ_IE_SDP_MEDIA_TYPE, type, index);
    add(m, KZ_IE_SDP_MEDIA_PORT, port, index);
    add(m, KZ_IE_SDP_MEDIA_TRANSPORT, "RTP/AVP", index);
}

const std::string kSession = "v=0\r\n"
                             "o=alice 2890844526 2890844527 IN IP4 10.0.0.1\r\n"
                             "s=KZ\r\n"
                             "c=IN IP4 10.0.0.1\r\n"
                             "t=0 0\r\n";

std::string sdp_of(const sip_msg& m) {
    KZAPI::CString body;
    EXPECT_EQ(m.compose_sdp(&body), 0u);
    return std::string(body.View());
}

// Credential elements from USERNAME id `base` (81 Proxy-Authorization, 113 Authorization).
void add_credentials(sip_msg& m, uint32_t base, const char* uri) {
    add_all(m, {{base + 6, "Digest"}, {base, "alice"}, {base + 1, "example.com"}, {base + 2, "n0nce"}});
    if (uri) add(m, base + 3, uri);
}

std::string digest(const char* algorithm, const char* cnonce, const char* nc, const char* qop,
                   const char* method, const char* uri) {
    KZAPI::HASHHEX ha1, response, no_entity = {};
    KZAPI::KZ_DigestCalcHA1(algorithm, "alice", "example.com", "pw", "n0nce", cnonce, ha1);
    KZAPI::KZ_DigestCalcResponse(ha1, "n0nce", nc, cnonce, qop, method, uri, no_entity, response);
    return response;
}

} // namespace

// ---- first line, framing, header order ----

TEST(Composer, FirstLineOnlyAndRawText) {
    sip_msg req;
    make_request(req, "OPTIONS", "sip:example.com");
    EXPECT_EQ(compose(req), "OPTIONS sip:example.com SIP/2.0\r\n" + kNoBody);
    EXPECT_EQ(std::string(req.get_raw_msg().View()), "OPTIONS sip:example.com SIP/2.0\r\n" + kNoBody);

    sip_msg resp;
    add_all(resp, {{KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, "Ringing"},
                   {KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, "180"},
                   {KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, "SIP/2.0"}});
    EXPECT_EQ(compose(resp), "SIP/2.0 180 Ringing\r\n" + kNoBody);
    // A second composition starts from an empty output.
    EXPECT_EQ(compose(resp), "SIP/2.0 180 Ringing\r\n" + kNoBody);
}

TEST(Composer, MissingFirstLineElementFails) {
    KZAPI::CString out;
    sip_msg no_uri;
    add_all(no_uri, {{KZ_IE_SIP_REQUEST_LINE_METHOD, "INVITE"},
                     {KZ_IE_SIP_REQUEST_LINE_PROTVERSION, "SIP/2.0"},
                     {KZ_IE_SIP_CALLID, "x"}});
    EXPECT_EQ(no_uri.write_into_buf(&out), kFail);

    sip_msg no_reason;
    add_all(no_reason,
            {{KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, "SIP/2.0"}, {KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, "200"}});
    EXPECT_EQ(no_reason.write_into_buf(&out), kFail);

    sip_msg empty;
    EXPECT_EQ(empty.write_into_buf(&out), kFail);
}

TEST(Composer, EverySimpleHeaderInIdOrderWhateverTheAddOrder) {
    struct Line {
        uint32_t id;
        const char* value;
        const char* wire;
    };
    const Line lines[] = {
        {KZ_IE_SIP_CALLID, "a84b4c76e66710", "Call-ID: a84b4c76e66710"},
        {KZ_IE_SIP_CONTACT, "<sip:alice@10.0.0.1>", "Contact: <sip:alice@10.0.0.1>"},
        {KZ_IE_SIP_MAX_FORWARDS, "70", "Max-Forwards: 70"},
        {KZ_IE_SIP_EXPIRES, "3600", "Expires: 3600"},
        {KZ_IE_SIP_USER_AGENT, "KZ/1.0", "User-Agent: KZ/1.0"},
        {KZ_IE_SIP_REFER_TO, "<sip:carol@b>", "Refer-To: <sip:carol@b>"},
        {KZ_IE_SIP_REFERRED_BY, "<sip:alice@a>", "Referred-By: <sip:alice@a>"},
        {KZ_IE_SIP_EVENT, "refer", "Event: refer"},
        {KZ_IE_SIP_SUBSCRIPTION_STATE, "active", "Subscription-State: active"},
        {KZ_IE_SIP_ACCEPT, "application/sdp", "Accept: application/sdp"},
        {KZ_IE_SIP_DATE, "Sat, 13 Nov 2010 23:29:00 GMT", "Date: Sat, 13 Nov 2010 23:29:00 GMT"},
        {KZ_IE_SIP_ACCEPT_LANGUAGE, "en", "Accept-Language: en"},
        {KZ_IE_SIP_SUPPORT, "replaces", "Supported: replaces"},
        {KZ_IE_SIP_REPLACES, "c@h;to-tag=a", "Replaces: c@h;to-tag=a"},
        {KZ_IE_SIP_REASON, "SIP;cause=200", "Reason: SIP;cause=200"},
        {KZ_IE_SIP_P_ASSERTED_IDENTITY, "<sip:a@b>", "P-Asserted-Identity: <sip:a@b>"},
        {KZ_IE_SIP_P_CHARGING_VECTOR, "icid-value=1", "P-Charging-Vector: icid-value=1"},
        {KZ_IE_SIP_REMOTE_PARTY_ID, "<sip:a@b>;party=calling", "Remote-Party-ID: <sip:a@b>;party=calling"},
        {KZ_IE_SIP_REQUIRE, "100rel", "Require: 100rel"},
        {KZ_IE_SIP_RSEQ, "1", "RSeq: 1"},
        {KZ_IE_SIP_RACK, "1 1 INVITE", "RAck: 1 1 INVITE"},
        {KZ_IE_SIP_X_SMS_TO, "sip:sms@b", "X-SMS-To: sip:sms@b"},
    };
    sip_msg m;
    for (auto it = std::rbegin(lines); it != std::rend(lines); ++it)
        add(m, it->id, it->value);
    // Multi-part headers interleave at their own ids.
    add_all(m, {{KZ_IE_SIP_CSEQ_METHOD, "INVITE"}, {KZ_IE_SIP_CSEQ_NUMBER, "314159"}});
    add(m, KZ_IE_SIP_ALLOW, "INVITE", 0);
    add(m, KZ_IE_SIP_ALLOW, "ACK", 1);
    add(m, KZ_IE_SIP_ALLOW, "BYE", 2);
    add_all(m, {{KZ_IE_SIP_FROM_TAG, "1928301774"}, {KZ_IE_SIP_FROM, "\"Alice\" <sip:alice@a>"}});
    add_all(m, {{KZ_IE_SIP_TO, "<sip:bob@b>"}, {KZ_IE_SIP_VIA_ADDRESS, "10.0.0.1"}});
    make_request(m);

    std::string expected = "Via: SIP/2.0/UDP 10.0.0.1\r\nTo: <sip:bob@b>\r\n"
                           "From: \"Alice\" <sip:alice@a>;tag=1928301774\r\n";
    for (const Line& line : lines) {
        if (line.id == KZ_IE_SIP_REFER_TO) expected += "Allow: INVITE, ACK, BYE\r\nCSeq: 314159 INVITE\r\n";
        expected += std::string(line.wire) + "\r\n";
    }
    EXPECT_EQ(headers_of(m), expected);
}

TEST(Composer, ElementsThatAreNoHeaderWriteNothing) {
    sip_msg m;
    make_request(m);
    add_all(m, {{KZ_IE_SIP_PROTOCOL, "1"},                    // pseudo-element the stack keeps in the list
                {KZ_IE_SIP_TO_TAG, "orphan"},                 // tag without its To
                {KZ_IE_SIP_CSEQ_NUMBER, "1"},                 // CSeq without its method
                {KZ_IE_SIP_VIA_BRANCH, "z9hG4bK1"},           // Via parameter without an address
                {KZ_IE_SIP_CONTENT_LENGTH, "999"},            // always recomputed
                {KZ_IE_SIP_BODY, "received body"},            // the body as received is not sent back
                {KZ_IE_DTMF_RELAY_DURATION, "160"},           // second field of a body without its first
                {KZ_IE_SIP_EXTERNAL_MESSAGE, "junk"},         // unknown to the composer
                {KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD, "pw"}}); // never a header by itself
    EXPECT_EQ(compose(m), kInviteLine + kNoBody);
    KZAPI::CString out;
    EXPECT_EQ(m.compose_cseq(&out), kFail);
    EXPECT_EQ(m.compose_via(&out), kFail);
    EXPECT_TRUE(out.IsEmpty());
}

TEST(Composer, ViaLinesParametersAndTrailingSemicolons) {
    sip_msg m;
    make_request(m);
    // Index 0: every parameter; 1: empty protocol; 2: address with a stray ";";
    // 3: the last item is made only of ";" and vanishes with the separator before it.
    add_all(m, {{KZ_IE_SIP_VIA_PROTOCOL, "SIP/2.0/TLS"},
                {KZ_IE_SIP_VIA_ADDRESS, "a.example.com:5061"},
                {KZ_IE_SIP_VIA_CID, "cid=7"},
                {KZ_IE_SIP_VIA_X_ROUTE_TAG, "x-route-tag=\"tgrp:a\""},
                {KZ_IE_SIP_VIA_BRANCH, "z9hG4bK0"},
                {KZ_IE_SIP_VIA_PARAM, "rport=5061"},
                {KZ_IE_SIP_VIA_RECEIVED, "received=1.2.3.4"},
                {KZ_IE_SIP_VIA_MADDR, "maddr=224.0.0.1"}});
    add(m, KZ_IE_SIP_VIA_ADDRESS, "b.example.com", 1);
    add(m, KZ_IE_SIP_VIA_PARAM, "rport", 1);
    add(m, KZ_IE_SIP_VIA_PROTOCOL, "SIP/2.0/TCP", 2);
    add(m, KZ_IE_SIP_VIA_ADDRESS, "c.example.com;", 2);
    add(m, KZ_IE_SIP_VIA_ADDRESS, "d.example.com", 3);
    add(m, KZ_IE_SIP_VIA_BRANCH, "z9hG4bK3", 3);
    add(m, KZ_IE_SIP_VIA_MADDR, ";;", 3);
    add_all(m,
            {{KZ_IE_SIP_TO, "<sip:bob@b>"}, {KZ_IE_SIP_TO_TAG, "a6c85cf"}, {KZ_IE_SIP_FROM, "sip:alice@a"}});
    EXPECT_EQ(headers_of(m), "Via: SIP/2.0/TLS a.example.com:5061;cid=7;x-route-tag=\"tgrp:a\";"
                             "branch=z9hG4bK0;rport=5061;received=1.2.3.4;maddr=224.0.0.1\r\n"
                             "Via: SIP/2.0/UDP b.example.com;rport\r\n"
                             "Via: SIP/2.0/TCP c.example.com\r\n"
                             "Via: SIP/2.0/UDP d.example.com;branch=z9hG4bK3\r\n"
                             "To: <sip:bob@b>;tag=a6c85cf\r\n"
                             "From: sip:alice@a\r\n");
}

TEST(Composer, RoutesAndExtraHeaderLines) {
    sip_msg m;
    make_request(m);
    add(m, KZ_IE_SIP_ROUTE, "<sip:p1.example.com;lr>", 0);
    add(m, KZ_IE_SIP_ROUTE, "<sip:p2.example.com;lr>", 1);
    add(m, KZ_IE_SIP_RECORD_ROUTE, "<sip:rr.example.com;lr>", 0);
    add(m, KZ_IE_SIP_EXTRA_HEADER, "X-One: 1\r\n  X-Two: 2\t\r\n", 0); // the empty piece is not a line
    add(m, KZ_IE_SIP_EXTRA_HEADER, "X-Three: 3", 1);
    add(m, KZ_IE_SIP_USER_AGENT, "KZ");
    EXPECT_EQ(headers_of(m), "User-Agent: KZ\r\n"
                             "Record-Route: <sip:rr.example.com;lr> \r\n"
                             "Route: <sip:p1.example.com;lr> \r\n"
                             "Route: <sip:p2.example.com;lr> \r\n"
                             "X-One: 1\r\n"
                             "X-Two: 2\r\n"
                             "X-Three: 3\r\n");
}

// ---- authentication ----

TEST(Composer, ChallengeHeadersNeedRealmAndNonce) {
    sip_msg m;
    add_all(m, {{KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, "SIP/2.0"},
                {KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, "401"},
                {KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, "Unauthorized"},
                {KZ_IE_SIP_WWW_AUTH_REQ_TYPE, "Digest"},
                {KZ_IE_SIP_WWW_AUTH_REQ_REALM, "example.com"},
                {KZ_IE_SIP_WWW_AUTH_REQ_NONCE, "n0nce"},
                {KZ_IE_SIP_WWW_AUTH_REQ_QOP, "auth"},
                {KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE, "0paque"},
                {KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM, "MD5"},
                {KZ_IE_SIP_PROXY_AUTH_REQ_TYPE, "Digest"},
                {KZ_IE_SIP_PROXY_AUTH_REQ_REALM, "proxy.com"},
                {KZ_IE_SIP_PROXY_AUTH_REQ_NONCE, "pn"}});
    EXPECT_EQ(headers_of(m), "Proxy-Authenticate: Digest realm=\"proxy.com\", nonce=\"pn\"\r\n"
                             "WWW-Authenticate: Digest realm=\"example.com\", nonce=\"n0nce\", qop=\"auth\", "
                             "opaque=\"0paque\", algorithm=\"MD5\"\r\n");

    m.remove_ie(KZ_IE_SIP_WWW_AUTH_REQ_NONCE, 0);
    m.remove_ie(KZ_IE_SIP_PROXY_AUTH_REQ_REALM, 0);
    KZAPI::CString out;
    EXPECT_EQ(m.compose_www_auth_req(&out), kFail);
    EXPECT_EQ(m.compose_proxy_auth_req(&out), kFail);
    EXPECT_EQ(headers_of(m), "");
}

TEST(Composer, CredentialsWithoutQopCarryNoCnonceOrNc) {
    sip_msg stored; // no password: the stored response is written; no URI: uri="" anyway
    make_request(stored, "REGISTER", "sip:example.com");
    add_credentials(stored, KZ_IE_SIP_WWW_AUTH_RESP_USERNAME, nullptr);
    add_all(stored, {{KZ_IE_SIP_WWW_AUTH_RESP_OPAQUE, "op"}, {KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE, "0123abcd"}});
    EXPECT_EQ(headers_of(stored),
              "Authorization: Digest username=\"alice\",realm=\"example.com\",nonce=\"n0nce\","
              "uri=\"\",opaque=\"op\",response=\"0123abcd\"\r\n");
    EXPECT_FALSE(stored.find_ie(KZ_IE_SIP_WWW_AUTH_RESP_CNONCE, 0));
    EXPECT_FALSE(stored.find_ie(KZ_IE_SIP_WWW_AUTH_RESP_NC, 0));

    sip_msg computed; // password: the RFC 2617 digest without qop, stored back
    make_request(computed, "BYE", "sip:bob@10.0.0.2");
    add_credentials(computed, KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME, "sip:bob@10.0.0.2");
    add(computed, KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD, "pw");
    kz_sip_complete_credentials(&computed);
    const std::string response = digest("MD5", "", "", "", "BYE", "sip:bob@10.0.0.2");
    EXPECT_EQ(headers_of(computed), "Proxy-Authorization: Digest username=\"alice\",realm=\"example.com\","
                                    "nonce=\"n0nce\",uri=\"sip:bob@10.0.0.2\",response=\"" +
                                        response + "\"\r\n");
    EXPECT_EQ(value(computed, KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE), response);
}

TEST(Composer, CredentialsWithQopCreateAndStoreCnonceNcAndResponse) {
    sip_msg m;
    make_request(m, "register", "sip:example.com"); // a lower-case method still digests as REGISTER
    add_credentials(m, KZ_IE_SIP_WWW_AUTH_RESP_USERNAME, "sip:example.com");
    add_all(m, {{KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM, "MD5"},
                {KZ_IE_SIP_WWW_AUTH_RESP_QOP, "auth"},
                {KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD, "pw"},
                {KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE, "stale"}});
    kz_sip_complete_credentials(&m);
    const std::string headers = headers_of(m);

    const std::string cnonce = value(m, KZ_IE_SIP_WWW_AUTH_RESP_CNONCE);
    ASSERT_EQ(cnonce.size(), 32u);
    EXPECT_EQ(cnonce.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(value(m, KZ_IE_SIP_WWW_AUTH_RESP_NC), "00000001");
    const std::string response =
        digest("MD5", cnonce.c_str(), "00000001", "auth", "REGISTER", "sip:example.com");
    EXPECT_EQ(value(m, KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE), response);
    const std::string start =
        "Authorization: Digest username=\"alice\",realm=\"example.com\",nonce=\"n0nce\","
        "uri=\"sip:example.com\",";
    const std::string end = "algorithm=MD5,response=\"" + response + "\"\r\n";
    EXPECT_EQ(headers, start + "nc=00000001,qop=auth,cnonce=\"" + cnonce + "\"," + end);
}

TEST(Composer, CredentialsKeepGivenCnonceAndPrintNcAsEightDigits) {
    sip_msg m;
    make_request(m);
    add_credentials(m, KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME, "sip:bob@example.com");
    add_all(m, {{KZ_IE_SIP_PROXY_AUTH_RESP_QOP, "auth"},
                {KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE, "0a4f113b"},
                {KZ_IE_SIP_PROXY_AUTH_RESP_NC, "12"},
                {KZ_IE_SIP_PROXY_AUTH_RESP_ALGORITHM, "MD5-sess"},
                {KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD, "pw"}});
    kz_sip_complete_credentials(&m);
    // The digest is taken over the nonce count as sent.
    const std::string response =
        digest("MD5-sess", "0a4f113b", "00000012", "auth", "INVITE", "sip:bob@example.com");
    EXPECT_EQ(headers_of(m), "Proxy-Authorization: Digest username=\"alice\",realm=\"example.com\","
                             "nonce=\"n0nce\",uri=\"sip:bob@example.com\",nc=00000012,qop=auth,"
                             "cnonce=\"0a4f113b\",algorithm=MD5-sess,response=\"" +
                                 response + "\"\r\n");
    EXPECT_EQ(value(m, KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE), "0a4f113b");
    EXPECT_EQ(value(m, KZ_IE_SIP_PROXY_AUTH_RESP_NC), "12");

    m.remove_ie(KZ_IE_SIP_PROXY_AUTH_RESP_TYPE, 0); // the scheme is required
    KZAPI::CString out;
    EXPECT_EQ(m.compose_proxy_auth_resp(&out), kFail);
    EXPECT_TRUE(out.IsEmpty());
}

// ---- bodies ----

TEST(Composer, EachBodyKindWithItsContentTypeAndLength) {
    struct Case {
        Elements elements;
        const char* content_type;
        const char* body;
    };
    const Case cases[] = {
        {{{KZ_IE_DTMF_RELAY_SIGNAL, "5"}, {KZ_IE_DTMF_RELAY_DURATION, "160"}},
         "application/dtmf-relay",
         "Signal=5\r\nDuration=160\r\n"},
        {{{KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING, "yes"},
          {KZ_IE_SIMPLE_MSG_SUM_MSG_ACCOUNT, "sip:alice@a"},
          {KZ_IE_SIMPLE_MSG_SUM_VOICE_MSG, "2/8 (0/2)"}},
         "application/simple-message-summary",
         "Messages-Waiting: yes\r\nMessage-Account: sip:alice@a\r\nVoice-Message: 2/8 (0/2)\r\n"},
        {{{KZ_IE_SIP_FRAG_SIP_VERSION, "SIP/2.0"},
          {KZ_IE_SIP_FRAG_SIP_CODE, "200"},
          {KZ_IE_SIP_FRAG_SIP_CODE_TXT, "OK"}},
         "message/sipfrag;version=2.0",
         "SIP/2.0 200 OK\r\n"},
        // The length counts bytes, not characters.
        {{{KZ_IE_SIP_MESSAGE_CONTENT, "Hello \xc3\xa9t\xc3\xa9"}}, "text/plain", "Hello \xc3\xa9t\xc3\xa9"},
        {{{KZ_IE_SIP_NOTIFY_PRESENCE, "<presence/>\r\n"}}, "application/pidf+xml", "<presence/>\r\n"},
    };
    for (const Case& c : cases) {
        sip_msg m;
        make_request(m, "NOTIFY", "sip:alice@a");
        add_all(m, {{KZ_IE_SIP_CSEQ_NUMBER, "2"}, {KZ_IE_SIP_CSEQ_METHOD, "NOTIFY"}});
        add_all(m, c.elements);
        const std::string body = c.body;
        EXPECT_EQ(compose(m), "NOTIFY sip:alice@a SIP/2.0\r\nCSeq: 2 NOTIFY\r\nContent-Type: " +
                                  std::string(c.content_type) +
                                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
}

TEST(Composer, InviteWithSdpAndExplicitContentType) {
    sip_msg m;
    make_request(m);
    add(m, KZ_IE_SIP_CALLID, "c1");
    add_sdp_session(m);
    add_media(m, 0, "audio", "4000");
    add(m, KZ_IE_SIP_PAYLOAD, "0");
    const std::string sdp = kSession + "m=audio 4000 RTP/AVP 0 \r\n";
    const std::string tail = "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    EXPECT_EQ(compose(m), kInviteLine + "Call-ID: c1\r\nContent-Type: application/sdp\r\n" + tail);
    // Its own Content-Type replaces the default line; the length is still the SDP's.
    add(m, KZ_IE_SIP_CONTENT_TYPE, "application/sdp;charset=utf-8");
    EXPECT_EQ(compose(m),
              kInviteLine + "Call-ID: c1\r\nContent-Type: application/sdp;charset=utf-8\r\n" + tail);
    // Without c= the SDP, and so the body, is left out altogether.
    m.remove_ie(KZ_IE_SDP_CONNECTION_ADDRESS, 0);
    EXPECT_EQ(compose(m),
              kInviteLine + "Call-ID: c1\r\nContent-Type: application/sdp;charset=utf-8\r\n" + kNoBody);
}

// ---- SDP ----

TEST(ComposerSdp, AudioFormatsFromPayloadElementOrFromRtpmaps) {
    sip_msg listed;
    add_sdp_session(listed);
    add_media(listed, 0, "audio", "49170");
    add(listed, KZ_IE_SIP_PAYLOAD, "0", 0);
    add(listed, KZ_IE_SIP_PAYLOAD, "8", 1);
    add(listed, KZ_IE_SIP_PAYLOAD, "101", 2);
    add(listed, KZ_IE_SDP_MEDIA_ATTR, "rtpmap:0 PCMU/8000", 0); // 624 is the same element as 608
    add(listed, KZ_IE_SDP_MEDIA_ATTR_RTPMAP, "sendrecv", 1);
    EXPECT_EQ(sdp_of(listed),
              kSession + "m=audio 49170 RTP/AVP 0 8 101 \r\na=rtpmap:0 PCMU/8000\r\na=sendrecv\r\n");

    sip_msg mapped;
    add_sdp_session(mapped);
    add_media(mapped, 0, "audio", "49170");
    add(mapped, KZ_IE_SDP_MEDIA_ATTR_RTPMAP, "rtpmap:0 PCMU/8000", 0);
    add(mapped, KZ_IE_SDP_MEDIA_ATTR_RTPMAP, "rtpmap: 101 telephone-event/8000", 1);
    add(mapped, KZ_IE_SDP_MEDIA_ATTR_RTPMAP, "sendrecv", 2);
    EXPECT_EQ(sdp_of(mapped),
              kSession + "m=audio 49170 RTP/AVP 0 101\r\n"
                         "a=rtpmap:0 PCMU/8000\r\na=rtpmap: 101 telephone-event/8000\r\na=sendrecv\r\n");
}

TEST(ComposerSdp, VideoImageAndNumberOfPorts) {
    sip_msg m;
    add_sdp_session(m);
    add_media(m, 0, "audio", "49170");
    add(m, KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS, "2", 0);
    add(m, KZ_IE_SIP_PAYLOAD, "0");
    add_media(m, 1, "video", "51372");
    add(m, KZ_IE_SIP_VIDEO_PAYLOAD, "31");
    add(m, KZ_IE_SDP_VIDEO_MEDIA_ATTR_ALIAS, "rtpmap:31 H261/90000", 0); // 625 is the same element as 609
    add_media(m, 2, "image", "6000");
    add(m, KZ_IE_SIP_IMAGE_PAYLOAD, "t38");
    // Only the audio media has a port count; the others must not get a bare "/".
    const std::string video_attribute = "a=rtpmap:31 H261/90000\r\n";
    EXPECT_EQ(sdp_of(m), kSession + "m=audio 49170/2 RTP/AVP 0 \r\n" + "m=video 51372 RTP/AVP 31 \r\n" +
                             video_attribute + "m=image 6000 RTP/AVP t38 \r\n" + video_attribute);

    sip_msg from_rtpmaps; // video and image formats from the video attributes
    add_sdp_session(from_rtpmaps);
    add_media(from_rtpmaps, 0, "video", "51372");
    add_media(from_rtpmaps, 1, "image", "6000");
    add(from_rtpmaps, KZ_IE_SDP_VIDEO_MEDIA_ATTR, "rtpmap:99 H264/90000", 0);
    add(from_rtpmaps, KZ_IE_SDP_VIDEO_MEDIA_ATTR, "fmtp:99 profile-level-id=42e01f", 1);
    const std::string attributes = "a=rtpmap:99 H264/90000\r\na=fmtp:99 profile-level-id=42e01f\r\n";
    EXPECT_EQ(sdp_of(from_rtpmaps), kSession + "m=video 51372 RTP/AVP 99\r\n" + attributes +
                                        "m=image 6000 RTP/AVP 99\r\n" + attributes);
}

TEST(ComposerSdp, MissingSessionNameGivesBareSLine) {
    sip_msg m;
    add_sdp_session(m);
    m.remove_ie(KZ_IE_SDP_SESSION_NAME, 0);
    add_media(m, 0, "audio", "4000");
    std::string expected = kSession;
    expected.replace(expected.find("s=KZ"), 4, "s=");
    EXPECT_EQ(sdp_of(m), expected + "m=audio 4000 RTP/AVP\r\n");
}

TEST(ComposerSdp, MissingRequiredElementLeavesBodyUntouched) {
    for (uint32_t id :
         {KZ_IE_SDP_VERSION, KZ_IE_SDP_OWNER_USERNAME, KZ_IE_SDP_OWNER_ADDRESS,
          KZ_IE_SDP_CONNECTION_NETWORK_TYPE, KZ_IE_SDP_CONNECTION_ADDRESS, KZ_IE_SDP_TIMESTAMP_STOP,
          KZ_IE_SDP_MEDIA_TYPE, KZ_IE_SDP_MEDIA_PORT, KZ_IE_SDP_MEDIA_TRANSPORT}) {
        sip_msg m;
        add_sdp_session(m);
        add_media(m, 0, "audio", "4000");
        ASSERT_EQ(m.remove_ie(id, 0), 0u);
        KZAPI::CString body("previous");
        EXPECT_EQ(m.compose_sdp(&body), kFail) << "without id " << id;
        EXPECT_EQ(body, "previous");
    }
}

// ---- branches ----

TEST(ComposerBranch, StartsWithCookieAndNeverOverrunsTheBuffer) {
    for (unsigned size : {1u, 2u, 8u, 12u, 40u, 512u}) {
        std::string buffer(size + 8, '#'); // guard bytes after the buffer
        sip_msg::gen_unique_branch(buffer.data(), size);
        const size_t len = strlen(buffer.c_str());
        EXPECT_LE(len, size - 1) << "size " << size;
        const size_t cookie = len < 7 ? len : 7;
        EXPECT_EQ(buffer.compare(0, cookie, "z9hG4bK", cookie), 0) << "size " << size;
        EXPECT_EQ(buffer.substr(size), std::string(8, '#')) << "size " << size;
        if (size <= 24) {
            EXPECT_EQ(len, size - 1) << "a branch is longer than 24 characters: cut exactly";
        }
    }
    char big[512];
    sip_msg::gen_unique_branch(big, sizeof(big));
    EXPECT_EQ(
        std::string(big).find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"),
        std::string::npos);
}

TEST(ComposerBranch, BranchesDifferAndGenViaBranchStoresOne) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        char branch[128];
        sip_msg::gen_unique_branch(branch, sizeof(branch));
        seen.insert(branch);
    }
    EXPECT_GT(seen.size(), 45u); // within one millisecond only the random letters differ

    sip_msg m;
    add(m, KZ_IE_SIP_VIA_BRANCH, "z9hG4bKold", 0);
    m.gen_via_branch(0);
    m.gen_via_branch(1);
    const std::string first = value(m, KZ_IE_SIP_VIA_BRANCH, 0);
    EXPECT_NE(first, "z9hG4bKold");
    EXPECT_EQ(first.rfind("z9hG4bK", 0), 0u);
    EXPECT_EQ(value(m, KZ_IE_SIP_VIA_BRANCH, 1).rfind("z9hG4bK", 0), 0u);
}
