// Recycled message records: a record given back comes out as a new one, the pool stays bounded,
// and a copy into a record that held another message equals a copy made element by element into
// a new one.
#include "sipmsg/sip_msg.h"
#include "sipmsg/sip_msg_pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::unique_ptr<sip_msg> parse(std::string text) {
    auto m = std::make_unique<sip_msg>();
    KZSIPEvent event{};
    m->init_from_buf(text.data(), &event);
    return m;
}

// Calls f(id, index, value) for every value of the message.
template <typename F> void each_value(const sip_msg& m, F f) {
    for (unsigned e = 0; e < m.get_ie_count(); ++e)
        for (unsigned i = 0; i < sip_ie::MAX_VALUES; ++i)
            if (m.get_ie_by_index(e)->has_value(i))
                f(m.get_ie_by_index(e)->get_id(), i, m.get_ie_by_index(e)->get_value(i).View());
}

// Every value with its element id and index, and the composed text.
std::string dump(const sip_msg& m) {
    std::string out;
    each_value(m, [&](uint32_t id, unsigned i, std::string_view v) {
        out += std::to_string(id) + "/" + std::to_string(i) + "=" + std::string(v) + "\n";
    });
    KZAPI::CString text;
    m.write_into_buf(&text);
    return out + std::string(text.View());
}

// The copy as the element operations make it: every value added, then the Vias copied.
std::string reference_copy(const sip_msg& src) {
    sip_msg copy;
    each_value(src, [&](uint32_t id, unsigned i, std::string_view v) { copy.add_ie(id, i, v); });
    copy.copy_via_from(&src, true, false);
    return dump(copy);
}

const char* const kInvite = "INVITE sip:bob@127.0.0.1:5060 SIP/2.0\r\n"
                            "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK-one\r\n"
                            "Via: SIP/2.0/UDP 127.0.0.1:5080;rport;branch=z9hG4bK-two\r\n"
                            "From: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>\r\n"
                            "Call-ID: call-1@127.0.0.1\r\nCSeq: 1 INVITE\r\n"
                            "Contact: <sip:alice@127.0.0.1:5070>\r\nContent-Type: application/sdp\r\n"
                            "Content-Length: 98\r\n\r\n"
                            "v=0\r\no=a 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                            "m=audio 4000 RTP/AVP 0 8\r\na=rtpmap:0 PCMU/8000\r\n";
const char* const kOk = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK-three\r\n"
                        "From: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>;tag=b2\r\n"
                        "Call-ID: call-2@127.0.0.1\r\nCSeq: 2 BYE\r\nContent-Length: 0\r\n\r\n";

TEST(MessagePool, RecordGivenBackComesOutEmptyAndPoolIsBounded) {
    auto m = parse(kInvite);
    m->set_prot(2);
    m->set_tcp_socket(m.get());
    m->set_ssl_type(3);
    m->set_raw_msg("raw");
    sip_msg* const record = m.get();
    sip_msg_pool::Give(std::move(m));
    auto again = sip_msg_pool::Take();
    EXPECT_EQ(again.get(), record);
    EXPECT_EQ(dump(*again), dump(sip_msg()));
    EXPECT_EQ(again->get_prot(), 0);
    EXPECT_EQ(again->get_tcp_socket(), nullptr);
    EXPECT_EQ(again->get_ssl_type(), 0);
    EXPECT_TRUE(again->get_raw_msg().IsEmpty());

    for (size_t i = 0; i < sip_msg_pool::kMaxKept + 3; ++i)
        sip_msg_pool::Give(std::make_unique<sip_msg>());
    EXPECT_EQ(sip_msg_pool::Kept(), sip_msg_pool::kMaxKept);
    while (sip_msg_pool::Kept())
        sip_msg_pool::Take();
}

TEST(MessagePool, CopyIntoUsedRecordEqualsElementwiseCopy) {
    // A Via parameter left beyond the last Via address is dropped by a copy.
    auto stray = parse(kOk);
    stray->set_ie(KZ_IE_SIP_VIA_PARAM, 1, "rport");
    auto invite = parse(kInvite), ok = parse(kOk);
    const std::pair<const sip_msg*, const sip_msg*> cases[] = {{invite.get(), ok.get()},
                                                               {ok.get(), invite.get()},
                                                               {invite.get(), stray.get()},
                                                               {stray.get(), invite.get()}};
    for (const auto& [before, source] : cases) {
        sip_msg used;
        used.copy_msg_from(before);
        used.copy_msg_from(source);
        EXPECT_EQ(dump(used), reference_copy(*source)) << dump(*before);
    }
}

} // namespace
