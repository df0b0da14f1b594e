// Parse -> compose -> parse over the realistic message files in tests/data/messages.
//
// For every file: the message parsed from the file and the message parsed back from its
// composition hold the same elements, and composing the re-parsed message reproduces the first
// composition byte for byte. Only the Content-Length and body-text elements may differ between
// the file and its composition, and only when the composer writes the body differently (an SDP
// body is rebuilt from its elements). The second half checks what each file must yield.
#include "host/KZDigest.h"
#include "sipmsg/sip_msg.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kMessageDir = fs::path(KZ_TEST_DATA_DIR) / "messages";

std::vector<std::string> message_files() {
    return kztest::list_files(kMessageDir, ".sip");
}

std::string read_file(const std::string& name) {
    return kztest::read_bytes(kMessageDir / name);
}

struct Parsed {
    sip_msg msg;
    KZSIPEvent event{};
    std::vector<char> buf;
    size_t consumed = 0;
};

void parse_text(Parsed& p, const std::string& text) {
    p.buf.assign(text.begin(), text.end());
    p.buf.push_back('\0');
    char* next = p.msg.init_from_buf(p.buf.data(), &p.event);
    p.consumed = static_cast<size_t>(next - p.buf.data());
}

std::string compose(sip_msg& m) {
    KZAPI::CString out;
    EXPECT_EQ(m.write_into_buf(&out), 0u);
    return std::string(out.View());
}

std::string val(const sip_msg& m, uint32_t id, unsigned index = 0) {
    return std::string(m.get_ie_value(id, index).View());
}

// Element-by-element differences between two messages (ids in `ignore` are skipped).
std::string element_diff(const sip_msg& a, const sip_msg& b, const std::vector<uint32_t>& ignore = {}) {
    auto skip = [&](uint32_t id) { return std::find(ignore.begin(), ignore.end(), id) != ignore.end(); };
    std::map<uint32_t, const sip_ie*> ea, eb;
    for (unsigned i = 0; i < a.get_ie_count(); ++i)
        ea[a.get_ie_by_index(i)->get_id()] = a.get_ie_by_index(i);
    for (unsigned i = 0; i < b.get_ie_count(); ++i)
        eb[b.get_ie_by_index(i)->get_id()] = b.get_ie_by_index(i);
    std::ostringstream diff;
    for (const auto& [id, ie] : ea)
        if (!skip(id) && !eb.count(id)) diff << "  id " << id << " only in the first\n";
    for (const auto& [id, ie] : eb)
        if (!skip(id) && !ea.count(id)) diff << "  id " << id << " only in the second\n";
    for (const auto& [id, ia] : ea) {
        if (skip(id) || !eb.count(id)) continue;
        const sip_ie* ib = eb[id];
        for (unsigned i = 0; i < sip_ie::MAX_VALUES; ++i)
            if (!(ia->get_value(i) == ib->get_value(i)))
                diff << "  id " << id << "[" << i << "]: \"" << ia->get_value(i).c_str() << "\" vs \""
                     << ib->get_value(i).c_str() << "\"\n";
    }
    return diff.str();
}

// The body of a wire message (text after the first empty line).
std::string body_of(const std::string& text) {
    size_t p = text.find("\r\n\r\n");
    return p == std::string::npos ? std::string() : text.substr(p + 4);
}

// The Content-Length value written in the headers of a wire message, or -1.
long content_length_of(const std::string& text) {
    std::string head = text.substr(0, text.find("\r\n\r\n") + 2);
    for (const char* name : {"\r\nContent-Length: ", "\r\nl: "}) {
        size_t p = head.find(name);
        if (p != std::string::npos) return std::stol(head.substr(p + strlen(name)));
    }
    return -1;
}

class RoundTrip : public testing::TestWithParam<std::string> {};

std::string test_name(const testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.substr(0, info.param.rfind('.'));
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

} // namespace

TEST(RoundTripData, MessageFilesArePresentAndFramedCorrectly) {
    const std::vector<std::string> files = message_files();
    ASSERT_GE(files.size(), 21u) << "missing message files in " << kMessageDir;
    for (const std::string& name : files) {
        SCOPED_TRACE(name);
        const std::string text = read_file(name);
        // CRLF only, no bare LF, a body exactly as long as the Content-Length says.
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
            }
        }
        ASSERT_NE(text.find("\r\n\r\n"), std::string::npos);
        EXPECT_EQ(content_length_of(text), static_cast<long>(body_of(text).size()));
    }
}

TEST_P(RoundTrip, ComposedTextIsAFixedPointAndKeepsTheElements) {
    const std::string original = read_file(GetParam());
    ASSERT_FALSE(original.empty());

    Parsed first;
    parse_text(first, original);
    ASSERT_TRUE(first.event.event_type == KZ_EVENT_SIP_MESSAGE_REQUEST ||
                first.event.event_type == KZ_EVENT_SIP_MESSAGE_RESPONSE);
    // The whole file is one message: nothing but the body's own line end may follow it.
    EXPECT_GE(first.consumed + 1, original.size());
    const std::string text1 = compose(first.msg);
    ASSERT_FALSE(text1.empty());
    EXPECT_EQ(std::string(first.msg.get_raw_msg().View()), text1);
    EXPECT_EQ(content_length_of(text1), static_cast<long>(body_of(text1).size())) << text1;

    Parsed second;
    parse_text(second, text1);
    EXPECT_EQ(second.event.event_type, first.event.event_type);
    EXPECT_EQ(second.event.code, first.event.code);
    const std::string text2 = compose(second.msg);
    EXPECT_EQ(text2, text1);

    // The body elements follow the text the composer wrote; everything else is kept.
    const bool same_body = body_of(original) == body_of(text1);
    std::vector<uint32_t> ignore;
    if (!same_body) ignore = {KZ_IE_SIP_CONTENT_LENGTH, KZ_IE_SIP_BODY};
    EXPECT_EQ(element_diff(first.msg, second.msg, ignore), "") << "composed:\n" << text1;
    if (!same_body && second.msg.find_ie(KZ_IE_SIP_CONTENT_LENGTH, 0)) {
        EXPECT_EQ(val(second.msg, KZ_IE_SIP_CONTENT_LENGTH), std::to_string(body_of(text1).size()));
    }

    // And a third pass changes nothing at all.
    Parsed third;
    parse_text(third, text2);
    EXPECT_EQ(element_diff(second.msg, third.msg), "");
}

INSTANTIATE_TEST_SUITE_P(Messages, RoundTrip, testing::ValuesIn(message_files()), test_name);

// ---- what each file must yield ----

namespace {

struct Value {
    uint32_t id;
    unsigned index;
    const char* text;
};

struct Facts {
    const char* file;
    uint32_t event_type;
    uint32_t code;
    std::vector<Value> values;
    std::vector<std::pair<uint32_t, unsigned>> counts; // element id, value count
    std::vector<uint32_t> absent;
};

const uint32_t REQ = KZ_EVENT_SIP_MESSAGE_REQUEST;
const uint32_t RSP = KZ_EVENT_SIP_MESSAGE_RESPONSE;
const char* const kCall1 = "8f3c2a1b9d7e4f60a5b3c2d1e0f9a8b7@192.168.1.20";

const std::vector<Facts>& all_facts() {
    static const std::vector<Facts> facts = {
        {"invite_sdp.sip",
         REQ,
         KZ_SIP_MSG_INVITE,
         {{KZ_IE_SIP_REQUEST_LINE_URI, 0, "sip:1002@192.168.1.10"},
          {KZ_IE_SIP_VIA_PROTOCOL, 0, "SIP/2.0/UDP"},
          {KZ_IE_SIP_VIA_ADDRESS, 0, "192.168.1.20:5062"},
          {KZ_IE_SIP_VIA_BRANCH, 0, "z9hG4bK-524287-1---7a6b3c9d1e2f4a5b"},
          {KZ_IE_SIP_VIA_PARAM, 0, "rport"},
          {KZ_IE_SIP_FROM, 0, "\"Alice Cooper\" <sip:1001@192.168.1.10>"},
          {KZ_IE_SIP_FROM_TAG, 0, "4f2a9c1e"},
          {KZ_IE_SIP_TO, 0, "<sip:1002@192.168.1.10>"},
          {KZ_IE_SIP_CALLID, 0, kCall1},
          {KZ_IE_SIP_CSEQ_NUMBER, 0, "1"},
          {KZ_IE_SIP_CSEQ_METHOD, 0, "INVITE"},
          {KZ_IE_SIP_CONTACT, 0, "<sip:1001@192.168.1.20:5062;transport=UDP>"},
          {KZ_IE_SIP_MAX_FORWARDS, 0, "70"},
          {KZ_IE_SIP_ALLOW, 0, "INVITE"},
          {KZ_IE_SIP_ALLOW, 9, "SUBSCRIBE"},
          {KZ_IE_SIP_SUPPORT, 0, "replaces, norefersub, extended-refer, timer, outbound, path"},
          {KZ_IE_SIP_USER_AGENT, 0, "Lindenphone 3.2.1 (Linux)"},
          {KZ_IE_SIP_DATE, 0, "Tue, 05 Nov 2024 14:21:07 GMT"},
          {KZ_IE_SIP_CONTENT_TYPE, 0, "application/sdp"},
          {KZ_IE_SDP_VERSION, 0, "0"},
          {KZ_IE_SDP_OWNER_USERNAME, 0, "-"},
          {KZ_IE_SDP_OWNER_SESSION_ID, 0, "1701245123456"},
          {KZ_IE_SDP_OWNER_ADDRESS, 0, "192.168.1.20"},
          {KZ_IE_SDP_SESSION_NAME, 0, "Lindenphone"},
          {KZ_IE_SDP_CONNECTION_ADDRESS, 0, "192.168.1.20"},
          {KZ_IE_SDP_TIMESTAMP_START, 0, "0"},
          {KZ_IE_SDP_MEDIA_TYPE, 0, "audio"},
          {KZ_IE_SDP_MEDIA_PORT, 0, "8000"},
          {KZ_IE_SDP_MEDIA_TRANSPORT, 0, "RTP/AVP"},
          {KZ_IE_SIP_PAYLOAD, 0, "0"},
          {KZ_IE_SIP_PAYLOAD, 1, "8"},
          {KZ_IE_SIP_PAYLOAD, 2, "18"},
          {KZ_IE_SIP_PAYLOAD, 3, "101"},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 0, "rtpmap:0 PCMU/8000"},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 2, "rtpmap:18 G729/8000"},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 3, "fmtp:18 annexb=no"},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 4, "rtpmap:101 telephone-event/8000"},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 7, "sendrecv"}},
         {{KZ_IE_SIP_VIA_ADDRESS, 1},
          {KZ_IE_SIP_ALLOW, 10},
          {KZ_IE_SIP_PAYLOAD, 4},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 8},
          {KZ_IE_SDP_MEDIA_TYPE, 1}},
         {KZ_IE_SIP_TO_TAG, KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS, KZ_IE_SDP_VIDEO_MEDIA_ATTR,
          KZ_IE_SIP_VIDEO_PAYLOAD}},
        {"trying_100.sip",
         RSP,
         100,
         {{KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "Trying"},
          {KZ_IE_SIP_VIA_PARAM, 0, "rport=5062"},
          {KZ_IE_SIP_VIA_RECEIVED, 0, "received=192.168.1.20"},
          {KZ_IE_SIP_CALLID, 0, kCall1},
          {KZ_IE_SIP_CSEQ_METHOD, 0, "INVITE"},
          {KZ_IE_SIP_CONTENT_LENGTH, 0, "0"}},
         {},
         {KZ_IE_SIP_TO_TAG, KZ_IE_SIP_CONTACT, KZ_IE_SIP_USER_AGENT, KZ_IE_SIP_BODY}},
        {"ringing_180.sip",
         RSP,
         180,
         {{KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "Ringing"},
          {KZ_IE_SIP_TO_TAG, 0, "as5e1b7c02"},
          {KZ_IE_SIP_FROM_TAG, 0, "4f2a9c1e"},
          {KZ_IE_SIP_CONTACT, 0, "<sip:1002@192.168.1.10:5060>"},
          {KZ_IE_SIP_SUPPORT, 0, "replaces, timer"}},
         {},
         {}},
        {"ok_200_sdp.sip",
         RSP,
         200,
         {{KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "OK"},
          {KZ_IE_SIP_TO_TAG, 0, "as5e1b7c02"},
          {KZ_IE_SIP_REQUIRE, 0, "timer"},
          {KZ_IE_SDP_OWNER_USERNAME, 0, "root"},
          {KZ_IE_SDP_CONNECTION_ADDRESS, 0, "192.168.1.10"},
          {KZ_IE_SDP_MEDIA_PORT, 0, "12570"},
          {KZ_IE_SIP_PAYLOAD, 0, "0"},
          {KZ_IE_SIP_PAYLOAD, 1, "101"},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 2, "fmtp:101 0-16"}},
         {{KZ_IE_SIP_PAYLOAD, 2}, {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 5}},
         {}},
        {"register.sip",
         REQ,
         KZ_SIP_MSG_REGISTER,
         {{KZ_IE_SIP_REQUEST_LINE_URI, 0, "sip:sip.example.net"},
          {KZ_IE_SIP_TO, 0, "\"Alice\" <sip:alice@sip.example.net>"},
          {KZ_IE_SIP_CONTACT, 0,
           "<sip:alice@10.0.0.15:5060;rinstance=6f8dc969b62d1466;transport=UDP>;expires=3600"},
          {KZ_IE_SIP_EXPIRES, 0, "3600"},
          {KZ_IE_SIP_CSEQ_NUMBER, 0, "1"},
          {KZ_IE_SIP_CSEQ_METHOD, 0, "REGISTER"}},
         {},
         {KZ_IE_SIP_WWW_AUTH_RESP_TYPE, KZ_IE_SIP_TO_TAG}},
        {"unauthorized_401.sip",
         RSP,
         401,
         {{KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "Unauthorized"},
          {KZ_IE_SIP_VIA_PARAM, 0, "rport=6120"},
          {KZ_IE_SIP_VIA_RECEIVED, 0, "received=203.0.113.44"},
          {KZ_IE_SIP_TO_TAG, 0, "9a8d3c7e41"},
          {KZ_IE_SIP_WWW_AUTH_REQ_TYPE, 0, "Digest"},
          {KZ_IE_SIP_WWW_AUTH_REQ_REALM, 0, "sip.example.net"},
          {KZ_IE_SIP_WWW_AUTH_REQ_NONCE, 0, "6a1c5f3e8b2d4a7f9c0e1b3d5f7a9c2e"},
          {KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE, 0, "5ccc069c403ebaf9f0171e9517f40e41"},
          {KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM, 0, "MD5"},
          {KZ_IE_SIP_WWW_AUTH_REQ_QOP, 0, "auth"}},
         {},
         {KZ_IE_SIP_PROXY_AUTH_REQ_TYPE}},
        {"register_auth.sip",
         REQ,
         KZ_SIP_MSG_REGISTER,
         {{KZ_IE_SIP_CSEQ_NUMBER, 0, "2"},
          {KZ_IE_SIP_WWW_AUTH_RESP_TYPE, 0, "Digest"},
          {KZ_IE_SIP_WWW_AUTH_RESP_USERNAME, 0, "alice"},
          {KZ_IE_SIP_WWW_AUTH_RESP_REALM, 0, "sip.example.net"},
          {KZ_IE_SIP_WWW_AUTH_RESP_NONCE, 0, "6a1c5f3e8b2d4a7f9c0e1b3d5f7a9c2e"},
          {KZ_IE_SIP_WWW_AUTH_RESP_URI, 0, "sip:sip.example.net"},
          {KZ_IE_SIP_WWW_AUTH_RESP_CNONCE, 0, "0a4f113b"},
          {KZ_IE_SIP_WWW_AUTH_RESP_NC, 0, "00000001"},
          {KZ_IE_SIP_WWW_AUTH_RESP_QOP, 0, "auth"},
          {KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM, 0, "MD5"},
          {KZ_IE_SIP_WWW_AUTH_RESP_OPAQUE, 0, "5ccc069c403ebaf9f0171e9517f40e41"}},
         {},
         {KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD}},
        {"proxy_auth_required_407.sip",
         RSP,
         407,
         {{KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "Proxy Authentication Required"},
          {KZ_IE_SIP_PROXY_AUTH_REQ_TYPE, 0, "Digest"},
          {KZ_IE_SIP_PROXY_AUTH_REQ_REALM, 0, "example.com"},
          {KZ_IE_SIP_PROXY_AUTH_REQ_NONCE, 0, "Z2VuZXJhdGVkLW5vbmNlLTE3MzA4MTY0NjY="},
          {KZ_IE_SIP_PROXY_AUTH_REQ_QOP, 0, "auth"},
          {KZ_IE_SIP_PROXY_AUTH_REQ_ALGORITHM, 0, "MD5"},
          {KZ_IE_SIP_CSEQ_NUMBER, 0, "101"}},
         {},
         {KZ_IE_SIP_PROXY_AUTH_REQ_OPAQUE, KZ_IE_SIP_WWW_AUTH_REQ_TYPE}},
        {"invite_proxy_auth.sip",
         REQ,
         KZ_SIP_MSG_INVITE,
         {{KZ_IE_SIP_PROXY_AUTH_RESP_TYPE, 0, "Digest"},
          {KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME, 0, "bob"},
          {KZ_IE_SIP_PROXY_AUTH_RESP_REALM, 0, "example.com"},
          {KZ_IE_SIP_PROXY_AUTH_RESP_URI, 0, "sip:carol@example.com"},
          {KZ_IE_SIP_PROXY_AUTH_RESP_ALGORITHM, 0, "MD5"},
          {KZ_IE_SIP_PAYLOAD, 0, "8"},
          {KZ_IE_SIP_PAYLOAD, 2, "101"},
          {KZ_IE_SIP_CSEQ_NUMBER, 0, "102"}},
         {{KZ_IE_SIP_PAYLOAD, 3}},
         {KZ_IE_SIP_PROXY_AUTH_RESP_QOP, KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE, KZ_IE_SIP_PROXY_AUTH_RESP_NC}},
        {"ack.sip",
         REQ,
         KZ_SIP_MSG_ACK,
         {{KZ_IE_SIP_CSEQ_METHOD, 0, "ACK"},
          {KZ_IE_SIP_TO_TAG, 0, "as5e1b7c02"},
          {KZ_IE_SIP_CALLID, 0, kCall1}},
         {},
         {KZ_IE_SIP_BODY}},
        {"bye.sip",
         REQ,
         KZ_SIP_MSG_BYE,
         {{KZ_IE_SIP_CSEQ_NUMBER, 0, "102"},
          {KZ_IE_SIP_FROM_TAG, 0, "as5e1b7c02"},
          {KZ_IE_SIP_TO_TAG, 0, "4f2a9c1e"},
          {KZ_IE_SIP_REASON, 0, "Q.850;cause=16;text=\"Normal call clearing\""}},
         {},
         {KZ_IE_SIP_VIA_PARAM}},
        {"cancel.sip",
         REQ,
         KZ_SIP_MSG_CANCEL,
         {{KZ_IE_SIP_VIA_BRANCH, 0, "z9hG4bK-524287-1---7a6b3c9d1e2f4a5b"},
          {KZ_IE_SIP_CSEQ_METHOD, 0, "CANCEL"}},
         {},
         {KZ_IE_SIP_TO_TAG}},
        {"options.sip",
         REQ,
         KZ_SIP_MSG_OPTIONS,
         {{KZ_IE_SIP_ACCEPT, 0, "application/sdp"}, {KZ_IE_SIP_ACCEPT_LANGUAGE, 0, "en"}},
         {},
         {}},
        {"subscribe_mwi.sip",
         REQ,
         KZ_SIP_MSG_SUBSCRIBE,
         {{KZ_IE_SIP_EVENT, 0, "message-summary"},
          {KZ_IE_SIP_ACCEPT, 0, "application/simple-message-summary"},
          {KZ_IE_SIP_EXPIRES, 0, "3600"}},
         {},
         {}},
        {"notify_mwi.sip",
         REQ,
         KZ_SIP_MSG_NOTIFY,
         {{KZ_IE_SIP_EVENT, 0, "message-summary"},
          {KZ_IE_SIP_SUBSCRIPTION_STATE, 0, "active;expires=3599"},
          {KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING, 0, "yes"},
          {KZ_IE_SIMPLE_MSG_SUM_MSG_ACCOUNT, 0, "sip:*97@192.168.1.10"},
          {KZ_IE_SIMPLE_MSG_SUM_VOICE_MSG, 0, "2/8 (0/2)"}},
         {},
         {}},
        {"message_text.sip",
         REQ,
         KZ_SIP_MSG_MESSAGE,
         {{KZ_IE_SIP_VIA_PROTOCOL, 0, "SIP/2.0/TCP"},
          {KZ_IE_SIP_VIA_ADDRESS, 0, "198.51.100.77:53642"},
          {KZ_IE_SIP_VIA_PARAM, 0, "rport"},
          {KZ_IE_SIP_CONTENT_TYPE, 0, "text/plain;charset=UTF-8"},
          {KZ_IE_SIP_MESSAGE_CONTENT, 0, "Watson, come here. I want to see you.\r\n"}},
         {},
         {}},
        {"info_dtmf.sip",
         REQ,
         KZ_SIP_MSG_INFO,
         {{KZ_IE_DTMF_RELAY_SIGNAL, 0, "5"},
          {KZ_IE_DTMF_RELAY_DURATION, 0, "160"},
          {KZ_IE_SIP_CSEQ_NUMBER, 0, "2"},
          // The body ends where Content-Length less the empty line's two bytes points: at the
          // last CR, which becomes the terminating NUL.
          {KZ_IE_SIP_BODY, 0, "Signal=5\r\nDuration=160"}},
         {},
         {KZ_IE_SDP_VERSION}},
        {"refer.sip",
         REQ,
         KZ_SIP_MSG_REFER,
         {{KZ_IE_SIP_REFER_TO, 0,
           "<sip:1003@192.168.1.10?Replaces=6a7b8c9d%40192.168.1.20%3Bto-tag%3D11aa%3Bfrom-tag%3D22bb>"},
          {KZ_IE_SIP_REFERRED_BY, 0, "\"Alice Cooper\" <sip:1001@192.168.1.10>"}},
         {},
         {}},
        {"notify_sipfrag.sip",
         REQ,
         KZ_SIP_MSG_NOTIFY,
         {{KZ_IE_SIP_EVENT, 0, "refer"},
          {KZ_IE_SIP_SUBSCRIPTION_STATE, 0, "terminated;reason=noresource"},
          {KZ_IE_SIP_FRAG_SIP_VERSION, 0, "SIP/2.0"},
          {KZ_IE_SIP_FRAG_SIP_CODE, 0, "200"},
          {KZ_IE_SIP_FRAG_SIP_CODE_TXT, 0, "OK"},
          {KZ_IE_SIP_BODY, 0, "SIP/2.0 200 OK"}},
         {},
         {}},
        {"invite_routes.sip",
         REQ,
         KZ_SIP_MSG_INVITE,
         {{KZ_IE_SIP_VIA_ADDRESS, 0, "proxy1.example.com:5060"},
          {KZ_IE_SIP_VIA_BRANCH, 0, "z9hG4bK87asdks7.1"},
          {KZ_IE_SIP_VIA_ADDRESS, 1, "198.51.100.5:5072"},
          {KZ_IE_SIP_VIA_BRANCH, 1, "z9hG4bK-3f9e2d1c"},
          {KZ_IE_SIP_VIA_PARAM, 1, "rport=5072"},
          {KZ_IE_SIP_VIA_RECEIVED, 1, "received=198.51.100.5"},
          {KZ_IE_SIP_RECORD_ROUTE, 0, "<sip:proxy1.example.com;lr>"},
          {KZ_IE_SIP_RECORD_ROUTE, 1, "<sip:10.1.0.1;lr>"},
          {KZ_IE_SIP_RECORD_ROUTE, 2, "<sip:edge.example.com;lr;ftag=a73kszlfl>"},
          {KZ_IE_SIP_ROUTE, 0, "<sip:proxy2.example.org;lr>"},
          {KZ_IE_SIP_ROUTE, 1, "<sip:core.example.org;lr>"},
          {KZ_IE_SIP_MAX_FORWARDS, 0, "69"},
          {KZ_IE_SIP_P_ASSERTED_IDENTITY, 0, "\"Erin\" <sip:erin@example.com>"},
          {KZ_IE_SDP_MEDIA_TYPE, 1, "video"},
          {KZ_IE_SDP_MEDIA_PORT, 1, "4002"},
          {KZ_IE_SIP_PAYLOAD, 0, "9"},
          {KZ_IE_SIP_VIDEO_PAYLOAD, 0, "96"},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 0, "rtpmap:9 G722/8000"},
          {KZ_IE_SDP_VIDEO_MEDIA_ATTR, 0, "rtpmap:96 H264/90000"},
          {KZ_IE_SDP_VIDEO_MEDIA_ATTR, 2, "sendrecv"}},
         {{KZ_IE_SIP_VIA_ADDRESS, 2},
          {KZ_IE_SIP_VIA_PARAM, 0},
          {KZ_IE_SIP_RECORD_ROUTE, 3},
          {KZ_IE_SIP_ROUTE, 2},
          {KZ_IE_SDP_MEDIA_TYPE, 2},
          {KZ_IE_SIP_PAYLOAD, 3},
          {KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 4},
          {KZ_IE_SDP_VIDEO_MEDIA_ATTR, 3}},
         {}},
        {"compact_response.sip",
         RSP,
         200,
         {{KZ_IE_SIP_VIA_ADDRESS, 0, "192.0.2.33:5060"},
          {KZ_IE_SIP_VIA_BRANCH, 0, "z9hG4bKnashds8"},
          {KZ_IE_SIP_FROM, 0, "Anonymous <sip:caller@example.net>"},
          {KZ_IE_SIP_FROM_TAG, 0, "hyh8"},
          {KZ_IE_SIP_TO, 0, "<sip:callee@example.org>"},
          {KZ_IE_SIP_TO_TAG, 0, "0e1f2a3b"},
          {KZ_IE_SIP_CALLID, 0, "70710@saturn.example.net"},
          {KZ_IE_SIP_CONTACT, 0, "<sip:callee@192.0.2.90:5060>"},
          {KZ_IE_SIP_SUPPORT, 0, "timer"},
          {KZ_IE_SIP_CONTENT_TYPE, 0, "application/sdp"},
          {KZ_IE_SDP_CONNECTION_ADDRESS, 0, "192.0.2.90"},
          {KZ_IE_SIP_PAYLOAD, 1, "101"}},
         {},
         {}},
    };
    return facts;
}

void check_facts(const Facts& f, const sip_msg& m, const KZSIPEvent& event) {
    EXPECT_EQ(event.event_type, f.event_type);
    EXPECT_EQ(event.code, f.code);
    const uint32_t type = m.get_msg_type();
    if (f.event_type == KZ_EVENT_SIP_MESSAGE_REQUEST)
        EXPECT_EQ(type, f.code | KZ_SIP_MSG_REQUEST_FLAG);
    else
        EXPECT_EQ(type, f.code | KZ_SIP_MSG_RESPONSE_FLAG);
    for (const Value& v : f.values)
        EXPECT_EQ(val(m, v.id, v.index), v.text) << "id " << v.id << "[" << v.index << "]";
    for (const auto& [id, count] : f.counts)
        EXPECT_EQ(m.get_ie_value_count(id), count) << "count of id " << id;
    for (uint32_t id : f.absent)
        EXPECT_EQ(m.get_ie(id), nullptr) << "id " << id << " should be absent";
}

// Names the file in test output instead of dumping the record's bytes.
[[maybe_unused]] void PrintTo(const Facts& f, std::ostream* os) {
    *os << f.file;
}

class FileFacts : public testing::TestWithParam<Facts> {};

std::string facts_name(const testing::TestParamInfo<Facts>& info) {
    std::string name(info.param.file);
    name = name.substr(0, name.rfind('.'));
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

} // namespace

TEST_P(FileFacts, HoldBeforeAndAfterTheRoundTrip) {
    const Facts& f = GetParam();
    Parsed first;
    parse_text(first, read_file(f.file));
    {
        SCOPED_TRACE("parsed from the file");
        check_facts(f, first.msg, first.event);
    }
    Parsed second;
    parse_text(second, compose(first.msg));
    {
        SCOPED_TRACE("parsed from the composition");
        check_facts(f, second.msg, second.event);
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, FileFacts, testing::ValuesIn(all_facts()), facts_name);

TEST(RoundTripData, EveryMessageFileHasItsFacts) {
    for (const std::string& name : message_files()) {
        bool found = false;
        for (const Facts& f : all_facts())
            found = found || name == f.file;
        EXPECT_TRUE(found) << name << " has no entry in the facts table";
    }
}

namespace {

// The digest response the composer computes from the parsed credentials and a password.
std::string recomputed_response(const std::string& file, uint32_t username_id, uint32_t password_id,
                                uint32_t response_id, const char* password) {
    Parsed p;
    parse_text(p, read_file(file));
    sip_msg request;
    for (uint32_t id :
         {KZ_IE_SIP_REQUEST_LINE_METHOD, KZ_IE_SIP_REQUEST_LINE_URI, KZ_IE_SIP_REQUEST_LINE_PROTVERSION})
        request.copy_ie(&p.msg, id, 0);
    p.msg.copy_credit_to(&request);
    EXPECT_TRUE(request.find_ie(username_id, 0));
    EXPECT_EQ(request.add_ie(password_id, 0, password), 0u);
    compose(request);
    return val(request, response_id);
}

} // namespace

TEST(RoundTripData, DigestResponsesOfTheFilesAreReproduced) {
    // The files carry responses computed for these passwords (RFC 2617, MD5).
    {
        Parsed p;
        parse_text(p, read_file("register_auth.sip"));
        EXPECT_EQ(recomputed_response("register_auth.sip", KZ_IE_SIP_WWW_AUTH_RESP_USERNAME,
                                      KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD, KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE,
                                      "wonderland7"),
                  val(p.msg, KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE));
    }
    {
        Parsed p;
        parse_text(p, read_file("invite_proxy_auth.sip"));
        EXPECT_EQ(recomputed_response("invite_proxy_auth.sip", KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME,
                                      KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD, KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE,
                                      "s3cr3t-Pa55"),
                  val(p.msg, KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE));
    }
}

TEST(RoundTripData, ConsecutiveMessagesInOneBufferParseOneByOne) {
    // A stream read holding a provisional response, the final response with SDP and an ACK.
    const std::string stream =
        read_file("ringing_180.sip") + read_file("ok_200_sdp.sip") + read_file("ack.sip");
    std::vector<char> buf(stream.begin(), stream.end());
    buf.push_back('\0');
    char* const end = buf.data() + stream.size();
    char* p = buf.data();
    std::vector<uint32_t> codes;
    sip_msg m;
    for (int guard = 0; p < end && guard < 10; ++guard) {
        KZSIPEvent event{};
        char* next = m.init_from_buf(p, &event);
        ASSERT_GT(next, p);
        if (event.event_type != 0) {
            codes.push_back(event.code);
            if (event.code == 200) {
                // The SDP body ends where its Content-Length says: the ACK is not swallowed.
                EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_PAYLOAD), 2u);
                EXPECT_EQ(m.get_raw_msg().View().find("ACK sip:"), std::string_view::npos);
                EXPECT_EQ(m.get_ie_value_count(KZ_IE_SDP_MEDIA_ATTR_RTPMAP), 5u);
            }
        }
        p = next;
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{180, 200, KZ_SIP_MSG_ACK}));
}
