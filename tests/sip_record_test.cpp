// The message record: element storage and its result codes, copying between messages, message
// types, the address helpers and the dialog record.
#include "sipmsg/sip_dialog.h"
#include "sipmsg/sip_msg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string val(const sip_msg& m, uint32_t id, unsigned index = 0) {
    return std::string(m.get_ie_value(id, index).View());
}

void add_line(sip_msg& m, uint32_t first_id, const char* a, const char* b, const char* c) {
    m.add_ie(first_id, 0, a);
    m.add_ie(first_id + 1, 0, b);
    m.add_ie(first_id + 2, 0, c);
}

enum Op { ADD, SET, REPLACE, REMOVE };

} // namespace

TEST(SipRecord, ElementOperationsAndTheirResults) {
    struct Step {
        Op op;
        uint32_t id;
        unsigned index;
        const char* value;
        uint32_t result;
    };
    const Step steps[] = {
        {ADD, KZ_IE_SIP_CALLID, 0, nullptr, KZ_SIP_RESULT_NULL_VALUE},
        {ADD, KZ_IE_SIP_CALLID, 0, "   ", KZ_SIP_RESULT_FAILURE},
        {ADD, KZ_IE_SIP_CALLID, 0, "  abc@host  ", KZ_SIP_RESULT_OK},
        {ADD, KZ_IE_SIP_CALLID, 0, "other", KZ_SIP_RESULT_VALUE_PRESENT},
        {REPLACE, KZ_IE_SIP_CALLID, 1, "x", KZ_SIP_RESULT_NO_VALUE},
        {SET, KZ_IE_SIP_CALLID, 0, "def", KZ_SIP_RESULT_OK},
        {ADD, KZ_IE_SIP_ROUTE, 3, "<sip:p3>", KZ_SIP_RESULT_OK},      // values 0..2 stay empty
        {ADD, KZ_IE_SIP_ROUTE, 20, "<sip:p20>", KZ_SIP_RESULT_OK},    // past the limit: ignored
        {ADD, KZ_IE_SIP_CONTACT, 25, "x", KZ_SIP_RESULT_OK},          // and creates nothing
        {ADD, KZ_IE_SDP_MEDIA_ATTR, 0, "sendrecv", KZ_SIP_RESULT_OK}, // 624 names 608
        {ADD, KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 0, "y", KZ_SIP_RESULT_VALUE_PRESENT},
        {ADD, KZ_IE_SIP_TO, 0, "<sip:a@b>", KZ_SIP_RESULT_OK},
        {REMOVE, KZ_IE_SIP_ROUTE, 0, nullptr, KZ_SIP_RESULT_NO_VALUE}, // index 0 is empty
        {REMOVE, KZ_IE_SIP_TO, 0, nullptr, KZ_SIP_RESULT_OK},
        {REMOVE, KZ_IE_SIP_TO, 0, nullptr, KZ_SIP_RESULT_NO_VALUE},
    };
    sip_msg m;
    for (const Step& s : steps) {
        const uint32_t r = s.op == ADD       ? m.add_ie(s.id, s.index, s.value)
                           : s.op == SET     ? m.set_ie(s.id, s.index, s.value)
                           : s.op == REPLACE ? m.replace_ie(s.id, s.index, s.value)
                                             : m.remove_ie(s.id, s.index);
        EXPECT_EQ(r, s.result) << "op " << s.op << " id " << s.id << "[" << s.index << "]";
    }
    EXPECT_EQ(val(m, KZ_IE_SIP_CALLID), "def");
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_ROUTE), 0u);
    EXPECT_TRUE(m.find_ie(KZ_IE_SIP_ROUTE, 3));
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CONTACT), nullptr);
    EXPECT_EQ(m.get_ie(KZ_IE_SDP_MEDIA_ATTR), m.get_ie(KZ_IE_SDP_MEDIA_ATTR_RTPMAP));
    std::vector<uint32_t> ids;
    for (unsigned i = 0; i < m.get_ie_count(); ++i)
        ids.push_back(m.get_ie_by_index(i)->get_id());
    EXPECT_EQ(ids, (std::vector<uint32_t>{KZ_IE_SIP_CALLID, KZ_IE_SIP_ROUTE, KZ_IE_SDP_MEDIA_ATTR_RTPMAP}));

    // A value got into a buffer, which reports the size it needs.
    char buf[16];
    unsigned size = 3; // exactly the length: no room for the NUL
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 0, buf, &size), KZ_SIP_RESULT_BUFFER_SMALL);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 0, buf, &size), KZ_SIP_RESULT_OK);
    EXPECT_STREQ(buf, "def");
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 1, buf, &size), KZ_SIP_RESULT_NO_VALUE);
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 0, nullptr, &size), KZ_SIP_RESULT_NULL_VALUE);
}

TEST(SipRecord, CopiesBetweenMessages) {
    sip_msg src;
    add_line(src, KZ_IE_SIP_REQUEST_LINE_METHOD, "INVITE", "sip:b@h", "SIP/2.0");
    for (unsigned i = 0; i < 2; ++i) {
        src.add_ie(KZ_IE_SIP_VIA_ADDRESS, i, i ? "b" : "a");
        src.add_ie(KZ_IE_SIP_VIA_BRANCH, i, i ? "z9hG4bKs1" : "z9hG4bKs0");
    }
    src.add_ie(KZ_IE_SIP_WWW_AUTH_RESP_TYPE, 0, "Digest");
    src.add_ie(KZ_IE_SIP_WWW_AUTH_RESP_USERNAME, 0, "alice");
    src.add_ie(KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD, 0, "pw");
    src.set_ssl_type(3);
    src.set_ip_address(1, 2, 3, 4);

    // The elements copied are compared whole in sip_recycle_test; here what goes with them.
    sip_msg copy;
    copy.copy_msg_from(&src);
    EXPECT_EQ(copy.get_to_port(), 4u);
    EXPECT_EQ(copy.get_ssl_type(), 0) << "the TLS type is not copied";

    // A longer Via list loses its stale entries; branches are kept, renewed or left alone.
    for (int mode = 0; mode < 3; ++mode) {
        sip_msg dst;
        for (unsigned i = 0; i < 3; ++i) {
            dst.add_ie(KZ_IE_SIP_VIA_ADDRESS, i, "old");
            dst.add_ie(KZ_IE_SIP_VIA_BRANCH, i, "z9hG4bKold");
            dst.add_ie(KZ_IE_SIP_VIA_RECEIVED, i, "received=9.9.9.9");
        }
        dst.copy_via_from(&src, mode == 0, mode == 1);
        EXPECT_EQ(dst.get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS), 2u);
        EXPECT_FALSE(dst.find_ie(KZ_IE_SIP_VIA_BRANCH, 2));
        EXPECT_FALSE(dst.find_ie(KZ_IE_SIP_VIA_RECEIVED, 0)) << "a parameter the source lacks is dropped";
        const std::string branch = val(dst, KZ_IE_SIP_VIA_BRANCH, 0);
        EXPECT_EQ(branch == "z9hG4bKs0", mode == 0);
        EXPECT_EQ(branch == "z9hG4bKold", mode == 2);
    }

    sip_msg credentials;
    src.copy_credit_to(&credentials);
    EXPECT_EQ(val(credentials, KZ_IE_SIP_WWW_AUTH_RESP_USERNAME), "alice");
    EXPECT_FALSE(credentials.find_ie(KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD, 0)) << "the password never travels";

    // A dialog's copy holds messages of its own; its reset empties it.
    sip_dialog d;
    d.call_id = "call-42";
    add_line(d.first_request, KZ_IE_SIP_REQUEST_LINE_METHOD, "INVITE", "sip:b", "SIP/2.0");
    sip_dialog dialog_copy(d);
    d.first_request.reset_all();
    EXPECT_TRUE(dialog_copy.first_request.is_invite()) << "messages are copied, not shared";
    dialog_copy.reset_all();
    EXPECT_TRUE(dialog_copy.call_id.IsEmpty());
    EXPECT_TRUE(dialog_copy.first_request.is_empty());
}

TEST(SipRecord, MessageTypesAndPredicates) {
    struct Case {
        uint32_t first_id; // request or status line, or another element
        const char* a;
        const char* b;
        uint32_t type;
    };
    const Case cases[] = {
        {KZ_IE_SIP_REQUEST_LINE_METHOD, "invite", "sip:b", KZ_SIP_MSG_INVITE | KZ_SIP_MSG_REQUEST_FLAG},
        {KZ_IE_SIP_REQUEST_LINE_METHOD, "PRACK", "sip:b", KZ_SIP_MSG_PRACK | KZ_SIP_MSG_REQUEST_FLAG},
        {KZ_IE_SIP_REQUEST_LINE_METHOD, "INVITEX", "sip:b", KZ_SIP_MSG_OTHER | KZ_SIP_MSG_REQUEST_FLAG},
        {KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, "SIP/2.0", "180", 180 | KZ_SIP_MSG_RESPONSE_FLAG},
        {KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, "SIP/2.0", "603", 603 | KZ_SIP_MSG_RESPONSE_FLAG},
        {KZ_IE_SIP_REQUEST_LINE_URI, "sip:b", "SIP/2.0", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a);
        sip_msg m;
        add_line(m, c.first_id, c.a, c.b, "x");
        EXPECT_EQ(m.get_msg_type(), c.type);
        EXPECT_EQ(m.is_request(), kz_sip_msg_is_request(c.type) ? c.type >> 24 : 0u);
        EXPECT_EQ(m.is_response(), kz_sip_msg_is_response(c.type) ? c.type & 0xFFF : 0u);
        EXPECT_EQ(m.is_invite(), c.type == (KZ_SIP_MSG_INVITE | KZ_SIP_MSG_REQUEST_FLAG));
    }
}

TEST(SipRecord, AddressHelpers) {
    struct Case {
        const char* text;
        const char* user; // "-" for null
        const char* host;
        const char* port;
    };
    // clang-format off
    const Case cases[] = {
        {"\"Alice\" <sip:1001@192.168.1.10:5062>;tag=4f2a", "1001", "192.168.1.10", "5062"},
        {"<sip:alice@10.0.0.15:5060;rinstance=6f8d;transport=UDP>;expires=3600", "alice", "10.0.0.15", "5060"},
        {"sip:+15551234567@gw.example.net;user=phone", "+15551234567", "gw.example.net", "-"},
        {"sip:user;par=u%40example.net@example.com", "user;par=u%40example.net", "example.com", "-"},
        {"sip:poweruser=1@h.example", "poweruser=1", "h.example", "-"},
        {"<sips:bob@secure.example.com:5061>;tag=9", "bob", "secure.example.com", "5061"},
        {"\"Carrier\" <tel:+15550001111>;tag=c1", "+15550001111", "-", "-"},
        {"TEL:+1-555-0100;phone-context=example.com", "+1-555-0100", "-", "-"},
        {"192.168.1.20:5062", "-", "192.168.1.20", "5062"},
        {"<sip:10.0.0.1>", "-", "10.0.0.1", "-"},
        {"sip:1002", "1002", "-", "-"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<char> text(c.text, c.text + strlen(c.text) + 1);
        char *user = nullptr, *host = nullptr, *port = nullptr;
        EXPECT_EQ(kz_get_sip_address_info(text.data(), &user, &host, &port), 1);
        EXPECT_STREQ(user ? user : "-", c.user);
        EXPECT_STREQ(host ? host : "-", c.host);
        EXPECT_STREQ(port ? port : "-", c.port);
    }
    char *user = nullptr, *host = nullptr;
    EXPECT_EQ(kz_get_sip_address_info(nullptr, &user, &host, &host), 0);
    EXPECT_EQ(kz_get_payload_type("rtpmap:18 G729/8000"), 18);
    EXPECT_EQ(kz_get_payload_type("rtpmap: 101 telephone-event/8000"), 101);
    EXPECT_EQ(kz_get_payload_type("a=rtpmap:0 PCMU/8000"), -1);
    EXPECT_EQ(kz_get_payload_type("rtpmap:PCMU/8000"), -1);
    EXPECT_EQ(kz_get_real_inet_addr("192.168.1.10"), inet_addr("192.168.1.10"));
    EXPECT_EQ(kz_get_real_inet_addr("pbx"), 0u);
    EXPECT_EQ(kz_get_host_kind("192.0.2.7"), 2);
    EXPECT_EQ(kz_get_host_kind("localhost"), 1);
}
