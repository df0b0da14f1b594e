// The message record: element storage rules and result codes, copying between messages,
// message-type codes and predicates, the catalogue lookups, the address helpers and the dialog
// record.
#include "sipmsg/sip_dialog.h"
#include "sipmsg/sip_msg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kNull = KZ_SIP_ERR_NULL_VALUE;
constexpr uint32_t kPresent = KZ_SIP_ERR_VALUE_PRESENT;
constexpr uint32_t kAbsent = KZ_SIP_ERR_VALUE_NOT_PRESENT;
constexpr uint32_t kSmall = KZ_SIP_ERR_BUFFER_TOO_SMALL;
constexpr uint32_t kFail = KZ_SIP_FAILURE;

std::string val(const sip_msg& m, uint32_t id, unsigned index = 0) {
    return std::string(m.get_ie_value(id, index).View());
}

std::vector<uint32_t> ids_in_order(const sip_msg& m) {
    std::vector<uint32_t> ids;
    for (unsigned i = 0; i < m.get_ie_count(); ++i)
        ids.push_back(m.get_ie_by_index(i)->get_id());
    return ids;
}

void add_request_line(sip_msg& m, const char* method) {
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_REQUEST_LINE_METHOD, 0, method), 0u);
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_REQUEST_LINE_URI, 0, "sip:bob@example.com"), 0u);
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, "SIP/2.0"), 0u);
}

void add_status_line(sip_msg& m, const char* code) {
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, 0, "SIP/2.0"), 0u);
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, code), 0u);
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "Reason"), 0u);
}

struct Via {
    const char* protocol;
    const char* address;
    const char* branch;
    const char* param;
    const char* received;
};

void add_vias(sip_msg& m, const std::vector<Via>& vias) {
    for (unsigned i = 0; i < vias.size(); ++i) {
        const Via& v = vias[i];
        ASSERT_EQ(m.add_ie(KZ_IE_SIP_VIA_PROTOCOL, i, v.protocol), 0u);
        ASSERT_EQ(m.add_ie(KZ_IE_SIP_VIA_ADDRESS, i, v.address), 0u);
        // Empty texts are refused by add_ie and so leave the parameter out.
        m.add_ie(KZ_IE_SIP_VIA_BRANCH, i, v.branch);
        m.add_ie(KZ_IE_SIP_VIA_PARAM, i, v.param);
        m.add_ie(KZ_IE_SIP_VIA_RECEIVED, i, v.received);
    }
}

} // namespace

// ---- element storage ----

TEST(SipRecord, ElementsStaySortedByIdAndAliasesNameOneElement) {
    sip_msg m;
    const uint32_t order[] = {KZ_IE_SIP_EXTERNAL_MESSAGE,
                              KZ_IE_SIP_CALLID,
                              KZ_IE_SDP_MEDIA_ATTR,
                              KZ_IE_SIP_VIA_ADDRESS,
                              KZ_IE_SIP_PROTOCOL,
                              KZ_IE_SDP_VIDEO_MEDIA_ATTR_ALIAS,
                              KZ_IE_SIP_BODY,
                              KZ_IE_SIP_REQUEST_LINE_METHOD};
    for (uint32_t id : order)
        ASSERT_EQ(m.add_ie(id, 0, "x"), 0u) << id;
    // 624 and 625 are stored as 608 and 609.
    EXPECT_EQ(ids_in_order(m), (std::vector<uint32_t>{1, 8, 18, 48, 131, 608, 609, 2304}));

    // Every operation maps the alias: the second value of 608 can be reached as 624 and back.
    EXPECT_EQ(m.add_ie(KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 0, "y"), kPresent);
    EXPECT_EQ(m.add_ie(KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 1, "rtpmap:0 PCMU/8000"), 0u);
    EXPECT_EQ(val(m, KZ_IE_SDP_MEDIA_ATTR, 1), "rtpmap:0 PCMU/8000");
    EXPECT_EQ(m.get_ie(KZ_IE_SDP_MEDIA_ATTR), m.get_ie(KZ_IE_SDP_MEDIA_ATTR_RTPMAP));
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SDP_MEDIA_ATTR), 2u);
    EXPECT_EQ(m.replace_ie(KZ_IE_SDP_MEDIA_ATTR, 1, "sendonly"), 0u);
    EXPECT_EQ(val(m, KZ_IE_SDP_MEDIA_ATTR_RTPMAP, 1), "sendonly");
    EXPECT_TRUE(m.find_ie(KZ_IE_SDP_VIDEO_MEDIA_ATTR, 0));
    EXPECT_EQ(m.remove_ie(KZ_IE_SDP_VIDEO_MEDIA_ATTR_ALIAS, 0), 0u);
    EXPECT_EQ(m.get_ie(KZ_IE_SDP_VIDEO_MEDIA_ATTR), nullptr);
    EXPECT_EQ(m.get_ie_count(), 7u);

    // Inserting between existing ids keeps the order; get_ie_by_index past the end is null.
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_TO, 0, "<sip:a@b>"), 0u);
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_REQUEST_LINE_URI, 0, "sip:a@b"), 0u);
    EXPECT_EQ(ids_in_order(m), (std::vector<uint32_t>{1, 2, 8, 13, 18, 48, 131, 608, 2304}));
    EXPECT_EQ(m.get_ie_by_index(m.get_ie_count()), nullptr);
}

TEST(SipRecord, AddResultCodesAndTrimming) {
    sip_msg m;
    EXPECT_EQ(m.add_ie(KZ_IE_SIP_CALLID, 0, static_cast<const char*>(nullptr)), kNull);
    EXPECT_EQ(m.set_ie(KZ_IE_SIP_CALLID, 0, static_cast<const char*>(nullptr)), kNull);
    EXPECT_EQ(m.replace_ie(KZ_IE_SIP_CALLID, 0, static_cast<const char*>(nullptr)), kNull);

    // Only spaces: fails and creates nothing.
    EXPECT_EQ(m.add_ie(KZ_IE_SIP_CALLID, 0, "    "), kFail);
    EXPECT_EQ(m.add_ie(KZ_IE_SIP_CALLID, 0, ""), kFail);
    EXPECT_TRUE(m.is_empty());

    EXPECT_EQ(m.add_ie(KZ_IE_SIP_CALLID, 0, "  abc@host  "), 0u);
    EXPECT_EQ(val(m, KZ_IE_SIP_CALLID), "abc@host");
    // Inner spaces stay.
    EXPECT_EQ(m.add_ie(KZ_IE_SIP_USER_AGENT, 0, " Soft Phone 1.0 "), 0u);
    EXPECT_EQ(val(m, KZ_IE_SIP_USER_AGENT), "Soft Phone 1.0");

    // A second add at the same index fails and keeps the first value.
    EXPECT_EQ(m.add_ie(KZ_IE_SIP_CALLID, 0, "other"), kPresent);
    EXPECT_EQ(val(m, KZ_IE_SIP_CALLID), "abc@host");

    // set_ie replaces an existing value and adds a missing one.
    EXPECT_EQ(m.set_ie(KZ_IE_SIP_CALLID, 0, " replaced "), 0u);
    EXPECT_EQ(val(m, KZ_IE_SIP_CALLID), "replaced");
    EXPECT_EQ(m.set_ie(KZ_IE_SIP_CALLID, 1, "second"), 0u);
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_CALLID), 2u);

    // replace_ie needs a value to replace.
    EXPECT_EQ(m.replace_ie(KZ_IE_SIP_CONTACT, 0, "x"), kAbsent);
    EXPECT_EQ(m.replace_ie(KZ_IE_SIP_CALLID, 5, "x"), kAbsent);
    // Replacing with spaces only empties the value: it no longer counts, and can be added again.
    EXPECT_EQ(m.replace_ie(KZ_IE_SIP_CALLID, 1, "   "), 0u);
    EXPECT_FALSE(m.find_ie(KZ_IE_SIP_CALLID, 1));
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_CALLID), 1u);
    EXPECT_EQ(m.add_ie(KZ_IE_SIP_CALLID, 1, "again"), 0u);
    EXPECT_EQ(val(m, KZ_IE_SIP_CALLID, 1), "again");
}

TEST(SipRecord, IndexGapsAndTheTwentyValueLimit) {
    sip_msg m;
    // Index 3 of a new element: the element exists, but its value count stops at the empty index 0.
    EXPECT_EQ(m.add_ie(KZ_IE_SIP_ROUTE, 3, "<sip:p3;lr>"), 0u);
    ASSERT_NE(m.get_ie(KZ_IE_SIP_ROUTE), nullptr);
    EXPECT_EQ(m.get_ie_count(), 1u);
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_ROUTE), 0u);
    EXPECT_TRUE(m.find_ie(KZ_IE_SIP_ROUTE, 3));
    EXPECT_FALSE(m.find_ie(KZ_IE_SIP_ROUTE, 0));
    for (unsigned i = 0; i < 3; ++i)
        EXPECT_EQ(m.add_ie(KZ_IE_SIP_ROUTE, i, "<sip:p;lr>"), 0u);
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_ROUTE), 4u);

    sip_msg list;
    for (unsigned i = 0; i < 20; ++i)
        ASSERT_EQ(list.add_ie(KZ_IE_SIP_ALLOW, i, ("M" + std::to_string(i)).c_str()), 0u);
    // The 21st value is dropped without an error; reading past the end gives the empty string.
    EXPECT_EQ(list.add_ie(KZ_IE_SIP_ALLOW, 20, "EXTRA"), 0u);
    EXPECT_EQ(list.add_ie(KZ_IE_SIP_ALLOW, 1000, "EXTRA"), 0u);
    EXPECT_EQ(list.get_ie_value_count(KZ_IE_SIP_ALLOW), 20u);
    EXPECT_EQ(val(list, KZ_IE_SIP_ALLOW, 19), "M19");
    EXPECT_EQ(val(list, KZ_IE_SIP_ALLOW, 20), "");
    EXPECT_FALSE(list.find_ie(KZ_IE_SIP_ALLOW, 20));
    EXPECT_EQ(list.get_ie(KZ_IE_SIP_ALLOW)->get_value(25).GetLength(), 0u);

    // An index past the limit on a missing element does not create it.
    EXPECT_EQ(list.add_ie(KZ_IE_SIP_CONTACT, 20, "x"), 0u);
    EXPECT_EQ(list.get_ie(KZ_IE_SIP_CONTACT), nullptr);
}

TEST(SipRecord, RemoveValuesAndWholeElements) {
    sip_msg m;
    EXPECT_EQ(m.remove_ie(KZ_IE_SIP_ROUTE, 0), kAbsent);
    for (unsigned i = 0; i < 4; ++i)
        ASSERT_EQ(m.add_ie(KZ_IE_SIP_ROUTE, i, ("<sip:p" + std::to_string(i) + ";lr>").c_str()), 0u);
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_CALLID, 0, "c"), 0u);

    // A later index only empties that value; the count stops at the hole.
    EXPECT_EQ(m.remove_ie(KZ_IE_SIP_ROUTE, 2), 0u);
    EXPECT_EQ(m.remove_ie(KZ_IE_SIP_ROUTE, 2), kAbsent);
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_ROUTE), 2u);
    EXPECT_EQ(val(m, KZ_IE_SIP_ROUTE, 3), "<sip:p3;lr>");
    EXPECT_EQ(m.remove_ie(KZ_IE_SIP_ROUTE, 7), kAbsent);

    // Index 0 removes the element with all its later values.
    EXPECT_EQ(m.remove_ie(KZ_IE_SIP_ROUTE, 0), 0u);
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_ROUTE), nullptr);
    EXPECT_FALSE(m.find_ie(KZ_IE_SIP_ROUTE, 3));
    EXPECT_EQ(m.get_ie_count(), 1u);
    // A removed element starts from scratch when added again (no stale later values).
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_ROUTE, 0, "<sip:new;lr>"), 0u);
    EXPECT_EQ(m.get_ie_value_count(KZ_IE_SIP_ROUTE), 1u);
    EXPECT_FALSE(m.find_ie(KZ_IE_SIP_ROUTE, 3));

    // An element whose index 0 is empty cannot be removed through index 0.
    sip_msg gap;
    ASSERT_EQ(gap.add_ie(KZ_IE_SIP_ROUTE, 1, "<sip:p1;lr>"), 0u);
    EXPECT_EQ(gap.remove_ie(KZ_IE_SIP_ROUTE, 0), kAbsent);
    EXPECT_NE(gap.get_ie(KZ_IE_SIP_ROUTE), nullptr);
}

TEST(SipRecord, GetIntoBufferReportsTheSizeNeeded) {
    sip_msg m;
    const std::string value = "a84b4c76e66710@pc33.example.com";
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_CALLID, 0, value.c_str()), 0u);
    char buf[64];
    unsigned size = sizeof(buf);
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 0, nullptr, &size), kNull);
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 0, buf, nullptr), kNull);
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CONTACT, 0, buf, &size), kAbsent);
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 1, buf, &size), kAbsent);

    // Exactly the value's length leaves no room for the NUL: nothing is copied.
    memset(buf, '#', sizeof(buf));
    size = static_cast<unsigned>(value.size());
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 0, buf, &size), kSmall);
    EXPECT_EQ(size, value.size() + 1);
    EXPECT_EQ(buf[0], '#');

    size = static_cast<unsigned>(value.size() + 1);
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 0, buf, &size), 0u);
    EXPECT_STREQ(buf, value.c_str());
    EXPECT_EQ(buf[value.size() + 1], '#'); // nothing written past the NUL

    size = 0;
    EXPECT_EQ(m.get_ie(KZ_IE_SIP_CALLID, 0, buf, &size), kSmall);
    EXPECT_EQ(size, value.size() + 1);
}

TEST(SipRecord, ResetKeepsTransportButDropsElementsAndAddresses) {
    sip_msg m;
    add_request_line(m, "INVITE");
    int connection = 0;
    m.set_ip_address(inet_addr("10.0.0.1"), 5060, inet_addr("10.0.0.2"), 5080);
    m.set_prot(KZ_SIP_PROT_TCP);
    m.set_tcp_socket(&connection);
    m.set_raw_msg("INVITE ...");
    m.reset_all();
    EXPECT_TRUE(m.is_empty());
    EXPECT_EQ(m.get_from_ip(), 0u);
    EXPECT_EQ(m.get_from_port(), 0u);
    EXPECT_EQ(m.get_to_ip(), 0u);
    EXPECT_EQ(m.get_to_port(), 0u);
    EXPECT_EQ(m.get_prot(), KZ_SIP_PROT_TCP);
    EXPECT_EQ(m.get_tcp_socket(), &connection);
    EXPECT_EQ(std::string(m.get_raw_msg().View()), "INVITE ...");
    // Usable again after the reset.
    add_request_line(m, "BYE");
    EXPECT_TRUE(m.is_bye());
}

// ---- copying ----

TEST(SipRecord, CopyIeSingleValues) {
    sip_msg src, dst;
    ASSERT_EQ(src.add_ie(KZ_IE_SIP_FROM, 0, "<sip:alice@example.com>"), 0u);
    ASSERT_EQ(src.add_ie(KZ_IE_SIP_ROUTE, 2, "<sip:p2;lr>"), 0u);
    ASSERT_EQ(dst.add_ie(KZ_IE_SIP_TO, 0, "<sip:old@example.com>"), 0u);

    EXPECT_TRUE(dst.copy_ie(&src, KZ_IE_SIP_ROUTE, 2));
    EXPECT_EQ(val(dst, KZ_IE_SIP_ROUTE, 2), "<sip:p2;lr>");
    EXPECT_FALSE(dst.copy_ie(&src, KZ_IE_SIP_ROUTE, 0));
    EXPECT_FALSE(dst.copy_ie(&src, KZ_IE_SIP_CALLID, 0));
    EXPECT_FALSE(dst.copy_ie(nullptr, KZ_IE_SIP_FROM, 0));
    // The second form moves a value to another id and index, replacing what is there.
    EXPECT_TRUE(dst.copy_ie(&src, KZ_IE_SIP_FROM, 0, KZ_IE_SIP_TO, 0));
    EXPECT_EQ(val(dst, KZ_IE_SIP_TO), "<sip:alice@example.com>");
    // Within one message.
    EXPECT_TRUE(dst.copy_ie(&dst, KZ_IE_SIP_TO, 0, KZ_IE_SIP_FROM, 1));
    EXPECT_EQ(val(dst, KZ_IE_SIP_FROM, 1), "<sip:alice@example.com>");
}

TEST(SipRecord, CopyMsgFromReplacesEverythingButTheTlsType) {
    sip_msg src;
    add_request_line(src, "INVITE");
    add_vias(src, {{"SIP/2.0/UDP", "10.0.0.1:5060", "z9hG4bKaaa", "rport=5060", "received=10.0.0.1"},
                   {"SIP/2.0/TCP", "proxy.example.com", "z9hG4bKbbb", "", ""}});
    ASSERT_EQ(src.add_ie(KZ_IE_SIP_RECORD_ROUTE, 4, "<sip:p4;lr>"), 0u); // a value after a gap
    ASSERT_EQ(src.add_ie(KZ_IE_SIP_CALLID, 0, "call-1"), 0u);
    int connection = 0;
    src.set_ip_address(0x0100000A, 5060, 0x0200000A, 5070);
    src.set_prot(KZ_SIP_PROT_TLS);
    src.set_tcp_socket(&connection);
    src.set_ssl_type(3);
    src.set_raw_msg("raw text");

    sip_msg dst;
    ASSERT_EQ(dst.add_ie(KZ_IE_SIP_CONTACT, 0, "<sip:stale@host>"), 0u);
    dst.set_ssl_type(1);
    dst.copy_msg_from(&src);

    ASSERT_EQ(dst.get_ie_count(), src.get_ie_count());
    for (unsigned e = 0; e < src.get_ie_count(); ++e) {
        const sip_ie* a = src.get_ie_by_index(e);
        const sip_ie* b = dst.get_ie_by_index(e);
        ASSERT_EQ(a->get_id(), b->get_id());
        for (unsigned i = 0; i < sip_ie::MAX_VALUES; ++i)
            EXPECT_EQ(a->get_value(i), b->get_value(i)) << "id " << a->get_id() << " index " << i;
    }
    EXPECT_FALSE(dst.find_ie(KZ_IE_SIP_CONTACT, 0));
    EXPECT_EQ(dst.get_from_ip(), 0x0100000Au);
    EXPECT_EQ(dst.get_from_port(), 5060u);
    EXPECT_EQ(dst.get_to_ip(), 0x0200000Au);
    EXPECT_EQ(dst.get_to_port(), 5070u);
    EXPECT_EQ(dst.get_prot(), KZ_SIP_PROT_TLS);
    EXPECT_EQ(dst.get_tcp_socket(), &connection);
    EXPECT_EQ(std::string(dst.get_raw_msg().View()), "raw text");
    EXPECT_EQ(dst.get_ssl_type(), 1);

    // The copy is independent of its source.
    ASSERT_EQ(src.replace_ie(KZ_IE_SIP_CALLID, 0, "changed"), 0u);
    EXPECT_EQ(val(dst, KZ_IE_SIP_CALLID), "call-1");
}

TEST(SipRecord, CopyViaFromAlignsTheViaListWithTheSource) {
    sip_msg src;
    add_vias(src, {{"SIP/2.0/UDP", "10.0.0.1:5060", "z9hG4bKsrc0", "rport", ""},
                   {"SIP/2.0/UDP", "10.0.0.9:5060", "z9hG4bKsrc1", "", ""}});

    // Destination with a longer Via list and parameters the source does not have.
    auto make_dst = [](sip_msg& dst) {
        add_vias(dst, {{"SIP/2.0/TCP", "192.0.2.1:5060", "z9hG4bKdst0", "rport=6000", "received=192.0.2.50"},
                       {"SIP/2.0/TCP", "192.0.2.2:5060", "z9hG4bKdst1", "", ""},
                       {"SIP/2.0/TCP", "192.0.2.3:5060", "z9hG4bKdst2", "rport=7000", "received=192.0.2.3"}});
        ASSERT_EQ(dst.add_ie(KZ_IE_SIP_VIA_MADDR, 2, "maddr=224.0.0.1"), 0u);
        ASSERT_EQ(dst.add_ie(KZ_IE_SIP_VIA_CID, 2, "cid=1"), 0u);
    };

    sip_msg keep;
    make_dst(keep);
    keep.copy_via_from(&src, true, false);
    EXPECT_EQ(keep.get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS), 2u);
    EXPECT_EQ(val(keep, KZ_IE_SIP_VIA_PROTOCOL, 0), "SIP/2.0/UDP");
    EXPECT_EQ(val(keep, KZ_IE_SIP_VIA_ADDRESS, 1), "10.0.0.9:5060");
    EXPECT_EQ(val(keep, KZ_IE_SIP_VIA_BRANCH, 0), "z9hG4bKsrc0");
    EXPECT_EQ(val(keep, KZ_IE_SIP_VIA_BRANCH, 1), "z9hG4bKsrc1");
    EXPECT_EQ(val(keep, KZ_IE_SIP_VIA_PARAM, 0), "rport");
    // A parameter the source lacks does not survive from the destination's old Via.
    EXPECT_FALSE(keep.find_ie(KZ_IE_SIP_VIA_RECEIVED, 0));
    // The stale third Via is gone in every Via element.
    for (uint32_t id : {7u, 8u, 9u, 10u, 11u, 12u, 40u})
        EXPECT_FALSE(keep.find_ie(id, 2)) << id;

    sip_msg fresh;
    make_dst(fresh);
    fresh.copy_via_from(&src, false, true);
    for (unsigned i = 0; i < 2; ++i) {
        std::string branch = val(fresh, KZ_IE_SIP_VIA_BRANCH, i);
        EXPECT_EQ(branch.rfind("z9hG4bK", 0), 0u) << branch;
        EXPECT_NE(branch, val(src, KZ_IE_SIP_VIA_BRANCH, i));
        EXPECT_NE(branch, i == 0 ? "z9hG4bKdst0" : "z9hG4bKdst1");
    }
    EXPECT_NE(val(fresh, KZ_IE_SIP_VIA_BRANCH, 0), val(fresh, KZ_IE_SIP_VIA_BRANCH, 1));

    sip_msg untouched;
    make_dst(untouched);
    untouched.copy_via_from(&src, false, false);
    EXPECT_EQ(val(untouched, KZ_IE_SIP_VIA_BRANCH, 0), "z9hG4bKdst0");
    EXPECT_EQ(val(untouched, KZ_IE_SIP_VIA_BRANCH, 1), "z9hG4bKdst1");
    EXPECT_EQ(val(untouched, KZ_IE_SIP_VIA_ADDRESS, 0), "10.0.0.1:5060");
    EXPECT_FALSE(untouched.find_ie(KZ_IE_SIP_VIA_BRANCH, 2));

    // A source without any Via clears the destination's Via elements.
    sip_msg none, cleared;
    make_dst(cleared);
    cleared.copy_via_from(&none, true, false);
    EXPECT_EQ(cleared.get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS), 0u);
    EXPECT_FALSE(cleared.find_ie(KZ_IE_SIP_VIA_BRANCH, 0));
}

TEST(SipRecord, CopyCredentialsOfOneFamily) {
    sip_msg www;
    const uint32_t www_ids[] = {113, 114, 115, 116, 117, 118, 119, 120, 121, 123, 124, 125};
    for (uint32_t id : www_ids)
        ASSERT_EQ(www.add_ie(id, 0, ("w" + std::to_string(id)).c_str()), 0u);
    ASSERT_EQ(www.add_ie(KZ_IE_SIP_PROXY_AUTH_RESP_TYPE, 0, "Digest"), 0u);
    ASSERT_EQ(www.add_ie(KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME, 0, "proxyuser"), 0u);

    // Authorization fields win over proxy ones; the password never travels.
    sip_msg dst;
    www.copy_credit_to(&dst);
    for (uint32_t id : www_ids) {
        if (id == KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD)
            EXPECT_FALSE(dst.find_ie(id, 0));
        else
            EXPECT_EQ(val(dst, id), "w" + std::to_string(id)) << id;
    }
    EXPECT_FALSE(dst.find_ie(KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME, 0));

    sip_msg proxy;
    const uint32_t proxy_ids[] = {81, 82, 83, 84, 85, 86, 87, 88, 89, 91, 92, 93};
    for (uint32_t id : proxy_ids)
        ASSERT_EQ(proxy.add_ie(id, 0, ("p" + std::to_string(id)).c_str()), 0u);
    sip_msg into;
    ASSERT_EQ(into.add_ie(KZ_IE_SIP_PROXY_AUTH_RESP_NONCE, 0, "old-nonce"), 0u);
    into.copy_credit_from(&proxy);
    for (uint32_t id : proxy_ids) {
        if (id == KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD)
            EXPECT_FALSE(into.find_ie(id, 0));
        else
            EXPECT_EQ(val(into, id), "p" + std::to_string(id)) << id;
    }

    // Without a scheme element nothing is copied.
    sip_msg partial, empty;
    ASSERT_EQ(partial.add_ie(KZ_IE_SIP_WWW_AUTH_RESP_USERNAME, 0, "alice"), 0u);
    partial.copy_credit_to(&empty);
    EXPECT_TRUE(empty.is_empty());
}

// ---- message type ----

TEST(SipRecord, MakeMsgTypeForEveryMethodWithoutRegardToCase) {
    const std::pair<const char*, uint32_t> methods[] = {
        {"INVITE", 0x1000000}, {"REGISTER", 0x2000000}, {"CANCEL", 0x3000000},    {"BYE", 0x4000000},
        {"ACK", 0x5000000},    {"OPTIONS", 0x6000000},  {"SUBSCRIBE", 0x7000000}, {"NOTIFY", 0x8000000},
        {"REFER", 0x9000000},  {"MESSAGE", 0xA000000},  {"INFO", 0xB000000},      {"UPDATE", 0xC000000},
        {"PRACK", 0xD000000},
    };
    for (const auto& [name, code] : methods) {
        std::string lower(name), mixed(name);
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        for (size_t i = 0; i < mixed.size(); i += 2)
            mixed[i] = static_cast<char>(::tolower(mixed[i]));
        EXPECT_EQ(kz_sip_make_msg_type(name), code) << name;
        EXPECT_EQ(kz_sip_make_msg_type(lower.c_str()), code) << lower;
        EXPECT_EQ(kz_sip_make_msg_type(mixed.c_str()), code) << mixed;
    }
    // Whole-name comparison: prefixes and extensions are other methods.
    for (const char* other : {"PUBLISH", "INVITEX", "INV", "", "RE%47IST%45R", "NEWMETHOD"})
        EXPECT_EQ(kz_sip_make_msg_type(other), 0xF000000u) << other;
}

TEST(SipRecord, MsgTypeAndPredicates) {
    struct Case {
        const char* method; // null for a response
        const char* code;
        uint32_t type;
    };
    const Case cases[] = {
        {"INVITE", nullptr, 0x1010000},  {"bye", nullptr, 0x4010000}, {"PRACK", nullptr, 0xD010000},
        {"PUBLISH", nullptr, 0xF010000}, {nullptr, "100", 0x20064},   {nullptr, "180", 0x200B4},
        {nullptr, "199", 0x200C7},       {nullptr, "200", 0x200C8},   {nullptr, "302", 0x2012E},
        {nullptr, "486", 0x201E6},       {nullptr, "503", 0x201F7},   {nullptr, "603", 0x2025B},
    };
    for (const Case& c : cases) {
        sip_msg m;
        if (c.method)
            add_request_line(m, c.method);
        else
            add_status_line(m, c.code);
        SCOPED_TRACE(c.method ? c.method : c.code);
        const uint32_t type = m.get_msg_type();
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(kz_sip_msg_is_request(type), c.method != nullptr);
        EXPECT_EQ(kz_sip_msg_is_response(type), c.method == nullptr);
        if (c.method) {
            EXPECT_EQ(m.is_request(), c.type >> 24);
            EXPECT_EQ(m.is_response(), 0u);
            EXPECT_FALSE(m.is_1xx() || m.is_2xx() || m.is_6xx() || m.is_trying());
        } else {
            const uint32_t code = static_cast<uint32_t>(atoi(c.code));
            EXPECT_EQ(m.is_response(), code);
            EXPECT_EQ(m.is_request(), 0u);
            EXPECT_FALSE(m.is_invite() || m.is_other());
            const bool classes[] = {m.is_1xx(), m.is_2xx(), m.is_3xx(), m.is_4xx(), m.is_5xx(), m.is_6xx()};
            for (unsigned k = 0; k < 6; ++k)
                EXPECT_EQ(classes[k], code / 100 == k + 1) << "class " << k + 1;
            EXPECT_EQ(m.is_trying(), code == 100);
            EXPECT_EQ(m.is_ringing(), code == 180);
        }
    }

    sip_msg all;
    add_request_line(all, "INVITE");
    EXPECT_TRUE(all.is_invite());
    const bool others[] = {all.is_register(), all.is_cancel(),    all.is_bye(),    all.is_ack(),
                           all.is_options(),  all.is_subscribe(), all.is_notify(), all.is_refer(),
                           all.is_message(),  all.is_info(),      all.is_update(), all.is_prack(),
                           all.is_other()};
    for (bool b : others)
        EXPECT_FALSE(b);
    sip_msg other;
    add_request_line(other, "PUBLISH");
    EXPECT_TRUE(other.is_other());
    EXPECT_EQ(other.is_request(), 15u);
}

TEST(SipRecord, TypeZeroUnlessTheFirstElementIsAMethodOrStatusVersion) {
    auto expect_untyped = [](const sip_msg& m) {
        EXPECT_EQ(m.get_msg_type(), 0u);
        EXPECT_EQ(m.is_request(), 0u);
        EXPECT_EQ(m.is_response(), 0u);
        EXPECT_FALSE(m.is_invite() || m.is_other() || m.is_1xx() || m.is_2xx() || m.is_4xx() ||
                     m.is_trying() || m.is_ringing());
    };
    sip_msg empty;
    expect_untyped(empty);

    sip_msg headers_only;
    ASSERT_EQ(headers_only.add_ie(KZ_IE_SIP_CALLID, 0, "abc"), 0u);
    expect_untyped(headers_only);

    // A status code without the status-line version: the first element is the code.
    sip_msg code_only;
    ASSERT_EQ(code_only.add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, "200"), 0u);
    expect_untyped(code_only);

    // A request line whose method is missing starts with the URI.
    sip_msg uri_only;
    ASSERT_EQ(uri_only.add_ie(KZ_IE_SIP_REQUEST_LINE_URI, 0, "sip:a@b"), 0u);
    ASSERT_EQ(uri_only.add_ie(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, 0, "SIP/2.0"), 0u);
    expect_untyped(uri_only);

    // An external message is untyped too.
    sip_msg external;
    ASSERT_EQ(external.add_ie(KZ_IE_SIP_EXTERNAL_MESSAGE, 0, "GET / HTTP/1.1"), 0u);
    expect_untyped(external);
}

TEST(SipRecord, CSeqAccessors) {
    sip_msg m;
    EXPECT_EQ(m.cseq(), 0u);
    EXPECT_STREQ(m.cseq_method(), "");
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_CSEQ_NUMBER, 0, "4711"), 0u);
    ASSERT_EQ(m.add_ie(KZ_IE_SIP_CSEQ_METHOD, 0, "REGISTER"), 0u);
    EXPECT_EQ(m.cseq(), 4711u);
    EXPECT_STREQ(m.cseq_method(), "REGISTER");
    ASSERT_EQ(m.replace_ie(KZ_IE_SIP_CSEQ_NUMBER, 0, "4294967295"), 0u);
    EXPECT_EQ(m.cseq(), 4294967295u);
}

// ---- catalogue lookups ----

TEST(SipRecord, EventNames) {
    const std::pair<uint32_t, const char*> names[] = {
        {0x5000, "KZ_EVENT_QUEUE_SHUTDOWN"},
        {0x5001, "KZ_EVENT_QUEUE_TIMEOUT"},
        {0x5700, "KZ_EVENT_SIP_MESSAGE_REQUEST"},
        {0x5701, "KZ_EVENT_SIP_MESSAGE_RESPONSE"},
        {0x5702, "KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_UNREACHABLE_HOST"},
        {0x5703, "KZ_EVENT_SIP_EXTERNAL_MESSAGE"},
        {0x5704, "KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP"},
        {0x5705, "KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_APP"},
        {0x5706, "KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE"},
        {0x5707, "KZ_EVENT_SIP_ERROR_INVITE_NO_ACK_FROM_REMOTE"},
        {0x5708, "KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_REMOTE"},
        {0x5709, "KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_MESSAGE"},
        {0x570A, "KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_CONNECTIONID"},
        {0x570B, "KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_IE"},
    };
    for (const auto& [type, name] : names)
        EXPECT_STREQ(kz_sip_event_name(type), name);
    EXPECT_STREQ(kz_sip_event_name(0x570C), "Unknown SIP event (22284)...");
    EXPECT_STREQ(kz_sip_event_name(0), "Unknown SIP event (0)...");
    EXPECT_STREQ(kz_sip_event_name(0x5002), "Unknown SIP event (20482)...");
}

TEST(SipRecord, ElementNamesCoverExactlyTheDumpedIds) {
    std::set<uint32_t> named;
    auto range = [&](uint32_t a, uint32_t b) {
        for (uint32_t id = a; id <= b; ++id)
            named.insert(id);
    };
    range(1, 10);
    range(13, 16);
    range(18, 32);
    range(35, 38);
    range(45, 46);
    range(65, 70);
    range(81, 89);
    range(91, 93);
    range(97, 102);
    range(113, 121);
    range(123, 125);
    range(129, 130);
    range(256, 256);
    range(512, 512);
    range(545, 550);
    range(560, 560);
    range(576, 577);
    range(593, 596);
    range(608, 608);
    range(624, 624);
    range(641, 643);
    range(768, 769);
    range(784, 786);
    range(800, 802);
    for (uint32_t id = 0; id <= 2400; ++id) {
        const char* name = kz_sip_ie_name(id);
        ASSERT_NE(name, nullptr) << id;
        if (named.count(id))
            EXPECT_EQ(std::string(name).rfind("KZ_IE_", 0), 0u) << id << " " << name;
        else
            EXPECT_STREQ(name, "Unknown SIP IE value") << id;
    }
    EXPECT_STREQ(kz_sip_ie_name(0xFFFFFFFF), "Unknown SIP IE value");
    EXPECT_STREQ(kz_sip_ie_name(1), "KZ_IE_SIP_REQUEST_LINE_METHOD");
    EXPECT_STREQ(kz_sip_ie_name(10), "KZ_IE_SIP_VIA_PARAM");
    EXPECT_STREQ(kz_sip_ie_name(125), "KZ_IE_SIP_WWW_AUTH_RESP_QOP");
    EXPECT_STREQ(kz_sip_ie_name(608), "KZ_IE_SDP_MEDIA_ATTR_RTPMAP");
    EXPECT_STREQ(kz_sip_ie_name(624), "KZ_IE_SDP_MEDIA_ATTR"); // not folded into 608
    EXPECT_STREQ(kz_sip_ie_name(802), "KZ_IE_SIP_FRAG_SIP_CODE_TXT");
}

// ---- address helpers ----

TEST(SipRecord, PayloadTypeOfRtpmapAttributes) {
    EXPECT_EQ(kz_get_payload_type("rtpmap:0 PCMU/8000"), 0);
    EXPECT_EQ(kz_get_payload_type("rtpmap:18 G729/8000"), 18);
    EXPECT_EQ(kz_get_payload_type("rtpmap: 101 telephone-event/8000"), 101);
    EXPECT_EQ(kz_get_payload_type("rtpmap:96"), 96);
    EXPECT_EQ(kz_get_payload_type("fmtp:101 0-16"), -1);
    EXPECT_EQ(kz_get_payload_type("sendrecv"), -1);
    EXPECT_EQ(kz_get_payload_type("rtpmap:"), -1);
    EXPECT_EQ(kz_get_payload_type("rtpmap:PCMU/8000"), -1);
    EXPECT_EQ(kz_get_payload_type("a=rtpmap:0 PCMU/8000"), -1); // only at the start
    EXPECT_EQ(kz_get_payload_type(""), -1);
}

namespace {

struct AddressParts {
    int result;
    std::string user, host, port; // "(null)" for a null pointer
    bool inside = true;           // every pointer points into the given text
};

AddressParts split_address(const char* address) {
    std::vector<char> text(address, address + strlen(address) + 1);
    char* user = reinterpret_cast<char*>(1);
    char* host = reinterpret_cast<char*>(1);
    char* port = reinterpret_cast<char*>(1);
    AddressParts parts;
    parts.result = kz_get_sip_address_info(text.data(), &user, &host, &port);
    auto take = [&](char* p) {
        if (!p) return std::string("(null)");
        if (p < text.data() || p >= text.data() + text.size()) {
            parts.inside = false;
            return std::string("(outside)");
        }
        return std::string(p);
    };
    parts.user = take(user);
    parts.host = take(host);
    parts.port = take(port);
    return parts;
}

} // namespace

TEST(SipRecord, SipAddressInfoOfRealisticAddresses) {
    struct Case {
        const char* text;
        const char* user;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        // name-addr with display name, port and header parameters after '>'
        {"\"Alice Cooper\" <sip:1001@192.168.1.10:5062>;tag=4f2a9c1e", "1001", "192.168.1.10", "5062"},
        {"<sip:bob@example.com>;tag=as5e1b7c02;x=1", "bob", "example.com", "(null)"},
        // a Contact with rinstance and transport uri-parameters
        {"<sip:alice@10.0.0.15:5060;rinstance=6f8dc969b62d1466;transport=UDP>;expires=3600", "alice",
         "10.0.0.15", "5060"},
        {"sip:alice@10.0.0.15;transport=tcp", "alice", "10.0.0.15", "(null)"},
        {"sip:+15551234567@gw.example.net;user=phone", "+15551234567", "gw.example.net", "(null)"},
        // a ';' inside the user part is not a parameter separator
        {"sip:user;par=u%40example.net@example.com", "user;par=u%40example.net", "example.com", "(null)"},
        // a Via sent-by: no scheme, host and port
        {"192.168.1.20:5062", "(null)", "192.168.1.20", "5062"},
        // bare literal: a host; bare words without a dot: a user
        {"192.168.1.10", "(null)", "192.168.1.10", "(null)"},
        {"<sip:10.0.0.1>", "(null)", "10.0.0.1", "(null)"},
        {"alice", "alice", "(null)", "(null)"},
        {"sip:1002", "1002", "(null)", "(null)"},
        {"localhost", "localhost", "(null)", "(null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        AddressParts p = split_address(c.text);
        EXPECT_EQ(p.result, 1);
        EXPECT_TRUE(p.inside);
        EXPECT_EQ(p.user, c.user);
        EXPECT_EQ(p.host, c.host);
        EXPECT_EQ(p.port, c.port);
    }

    char text[] = "sip:a@b";
    char *user = nullptr, *host = nullptr, *port = nullptr;
    EXPECT_EQ(kz_get_sip_address_info(nullptr, &user, &host, &port), 0);
    EXPECT_EQ(kz_get_sip_address_info(text, nullptr, &host, &port), 0);
    EXPECT_EQ(kz_get_sip_address_info(text, &user, nullptr, &port), 0);
    EXPECT_EQ(kz_get_sip_address_info(text, &user, &host, nullptr), 0);
}

TEST(SipRecord, RealInetAddrOfLiteralsAndLocalNames) {
    EXPECT_EQ(kz_get_real_inet_addr("192.168.1.10"), inet_addr("192.168.1.10"));
    EXPECT_EQ(kz_get_real_inet_addr("1.2.3.4"), inet_addr("1.2.3.4"));
    EXPECT_EQ(kz_get_real_inet_addr("203.0.113.254"), inet_addr("203.0.113.254"));
    EXPECT_EQ(kz_get_real_inet_addr("127.0.0.1"), htonl(0x7F000001));
    // Short texts without a dot are never looked up.
    EXPECT_EQ(kz_get_real_inet_addr("abc"), 0u);
    EXPECT_EQ(kz_get_real_inet_addr("pbx"), 0u);
    EXPECT_EQ(kz_get_real_inet_addr(""), 0u);
    // A name resolves through the system's hosts file.
    EXPECT_EQ(kz_get_real_inet_addr("localhost"), htonl(0x7F000001));

    EXPECT_EQ(kz_get_host_kind("192.0.2.7"), 2);
    EXPECT_EQ(kz_get_host_kind("alice"), 1);
    EXPECT_EQ(kz_get_host_kind("localhost"), 1); // no dot: never a host
}

// ---- dialog record ----

TEST(SipRecord, DialogResetClearsEverythingAndRedrawsTheRandomValue) {
    sip_dialog d;
    EXPECT_GE(d.random_value, 1000u);
    EXPECT_LT(d.random_value, 9000u);

    int connection = 0;
    d.connection_id = 7;
    d.call_id = "call";
    d.remote_tag = "rt";
    d.local_tag = "lt";
    d.branch = "z9hG4bKx";
    d.request_received_time = d.request_sent_time = d.final_response_time = d.last_activity_time = 1234;
    d.state = sip_dialog::STATE_CONNECTED;
    d.direction = sip_dialog::DIR_OUTGOING;
    d.trying_sent = 1;
    d.protocol = KZ_SIP_PROT_TCP;
    d.connection = &connection;
    for (sip_msg* m : {&d.request_received, &d.response_sent, &d.request_sent, &d.response_received,
                       &d.first_request, &d.establishing_response, &d.ack})
        add_request_line(*m, "INVITE");

    std::set<uint32_t> draws;
    for (int i = 0; i < 20; ++i) {
        d.reset_all();
        EXPECT_GE(d.random_value, 1000u);
        EXPECT_LT(d.random_value, 9000u);
        draws.insert(d.random_value);
    }
    EXPECT_GT(draws.size(), 1u);

    EXPECT_EQ(d.connection_id, 0u);
    EXPECT_TRUE(d.call_id.IsEmpty() && d.remote_tag.IsEmpty() && d.local_tag.IsEmpty() && d.branch.IsEmpty());
    EXPECT_EQ(d.request_received_time, 0);
    EXPECT_EQ(d.request_sent_time, 0);
    EXPECT_EQ(d.final_response_time, 0);
    EXPECT_EQ(d.last_activity_time, 0);
    EXPECT_EQ(d.state, 0u);
    EXPECT_EQ(d.direction, 0u);
    EXPECT_EQ(d.trying_sent, 0);
    for (sip_msg* m : {&d.request_received, &d.response_sent, &d.request_sent, &d.response_received,
                       &d.first_request, &d.establishing_response, &d.ack})
        EXPECT_TRUE(m->is_empty());
}

TEST(SipRecord, DialogCopyIsDeep) {
    sip_dialog d;
    d.connection_id = 42;
    d.call_id = "call-42";
    d.local_tag = "lt";
    d.state = sip_dialog::STATE_ESTABLISHING;
    d.direction = sip_dialog::DIR_OUTGOING;
    d.request_sent_time = 99;
    add_request_line(d.first_request, "INVITE");
    ASSERT_EQ(d.first_request.add_ie(KZ_IE_SIP_CALLID, 0, "call-42"), 0u);
    d.first_request.set_ip_address(1, 2, 3, 4);
    add_status_line(d.establishing_response, "180");
    add_request_line(d.ack, "ACK");

    sip_dialog copy(d);
    EXPECT_EQ(copy.connection_id, 42u);
    EXPECT_EQ(copy.random_value, d.random_value);
    EXPECT_EQ(std::string(copy.call_id.View()), "call-42");
    EXPECT_EQ(std::string(copy.local_tag.View()), "lt");
    EXPECT_EQ(copy.state, sip_dialog::STATE_ESTABLISHING);
    EXPECT_EQ(copy.direction, sip_dialog::DIR_OUTGOING);
    EXPECT_EQ(copy.request_sent_time, 99);
    EXPECT_TRUE(copy.first_request.is_invite());
    EXPECT_EQ(val(copy.first_request, KZ_IE_SIP_CALLID), "call-42");
    EXPECT_EQ(copy.first_request.get_from_port(), 2u);
    EXPECT_TRUE(copy.establishing_response.is_ringing());
    EXPECT_TRUE(copy.ack.is_ack());
    EXPECT_TRUE(copy.request_sent.is_empty());

    // Changing the original leaves the copy alone.
    ASSERT_EQ(d.first_request.replace_ie(KZ_IE_SIP_CALLID, 0, "other"), 0u);
    d.ack.reset_all();
    EXPECT_EQ(val(copy.first_request, KZ_IE_SIP_CALLID), "call-42");
    EXPECT_TRUE(copy.ack.is_ack());

    // Assignment over a dialog that already holds messages replaces them.
    sip_dialog target;
    add_request_line(target.request_received, "BYE");
    target = copy;
    EXPECT_TRUE(target.request_received.is_empty());
    EXPECT_TRUE(target.first_request.is_invite());
}
