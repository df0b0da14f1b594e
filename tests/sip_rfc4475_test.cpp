// The RFC 4475 torture messages (tests/data/rfc4475, described in its INDEX.md) through the parser
// and the composer.
//
// Every file is read as a stream transport hands it over: init_from_buf is called again from the
// position it returns until the data is used up. Nothing may crash, hang or read past the data;
// every SIP message found must compose, and its composition must parse back into a message that
// composes to the same text. Where the parser's own rules differ from the RFC's verdict (lines are
// not joined, a header name must end right at its colon, the first line needs three parts, the
// body length counts the empty line) those rules decide the outcomes checked below.
#include "host/KZStrFunc.h"
#include "sipmsg/sip_msg.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kDir = fs::path(KZ_RFC4475_DIR);

std::vector<std::string> torture_files() {
    return kztest::list_files(kDir, ".dat");
}

std::string read_file(const std::string& name) {
    return kztest::read_bytes(kDir / name);
}

// One parse call of the stream loop.
struct Step {
    size_t offset = 0; // where the call started
    size_t next = 0;   // what it returned
    KZSIPEvent event{};
    std::string raw;      // raw text of the message
    std::string composed; // composition of a SIP message ("" otherwise)
    std::vector<std::pair<uint32_t, std::vector<std::string>>> elements;

    bool is_sip() const {
        return event.event_type == KZ_EVENT_SIP_MESSAGE_REQUEST ||
               event.event_type == KZ_EVENT_SIP_MESSAGE_RESPONSE;
    }
    std::string value(uint32_t id, unsigned index = 0) const {
        for (const auto& [eid, values] : elements)
            if (eid == id) return index < values.size() ? values[index] : std::string();
        return std::string();
    }
    bool has(uint32_t id) const {
        return std::any_of(elements.begin(), elements.end(), [&](const auto& e) { return e.first == id; });
    }
    unsigned count(uint32_t id) const {
        for (const auto& [eid, values] : elements)
            if (eid == id) {
                unsigned n = 0;
                while (n < values.size() && !values[n].empty())
                    ++n;
                return n;
            }
        return 0;
    }
};

void snapshot(const sip_msg& m, Step* step) {
    step->elements.clear();
    for (unsigned e = 0; e < m.get_ie_count(); ++e) {
        const sip_ie* ie = m.get_ie_by_index(e);
        std::vector<std::string> values;
        for (unsigned i = 0; i < sip_ie::MAX_VALUES; ++i)
            values.emplace_back(ie->get_value(i).View());
        step->elements.emplace_back(ie->get_id(), std::move(values));
    }
}

std::string compose_once(sip_msg& m, uint32_t* result) {
    KZAPI::CString out;
    *result = m.write_into_buf(&out);
    return std::string(out.View());
}

// Parses the whole data as a stream; composes and re-parses every SIP message found.
std::vector<Step> parse_stream(const std::string& data) {
    // The buffer is the data, its NUL, and a guard area that must stay untouched.
    constexpr size_t kGuard = 16;
    std::vector<char> buf(data.begin(), data.end());
    buf.push_back('\0');
    buf.insert(buf.end(), kGuard, '\x5A');
    char* const begin = buf.data();
    char* const end = begin + data.size();

    std::vector<Step> steps;
    sip_msg msg; // reused from message to message, as the stack's receive loop does
    char* p = begin;
    while (p < end) {
        Step step;
        step.offset = static_cast<size_t>(p - begin);
        char* next = msg.init_from_buf(p, &step.event);
        EXPECT_GT(next, p) << "no progress at offset " << step.offset;
        EXPECT_LE(next, end + 1) << "returned past the terminating NUL";
        if (next <= p || next > end + 1) break;
        step.next = static_cast<size_t>(next - begin);
        step.raw = std::string(msg.get_raw_msg().View());
        snapshot(msg, &step);

        if (step.is_sip()) {
            uint32_t r1 = 0, r2 = 0;
            step.composed = compose_once(msg, &r1);
            EXPECT_EQ(r1, 0u) << "a parsed SIP message must compose (offset " << step.offset << ")";
            // The composition parses back into the same kind of message and composes identically.
            std::vector<char> again(step.composed.begin(), step.composed.end());
            again.push_back('\0');
            sip_msg reparsed;
            KZSIPEvent event{};
            reparsed.init_from_buf(again.data(), &event);
            EXPECT_EQ(event.event_type, step.event.event_type);
            EXPECT_EQ(event.code, step.event.code);
            EXPECT_EQ(compose_once(reparsed, &r2), step.composed) << "offset " << step.offset;
            EXPECT_EQ(r2, 0u);
        } else if (!msg.is_empty() && step.event.event_type == 0) {
            // Headers left behind by a refused first line do not make a message.
            uint32_t r = 0;
            compose_once(msg, &r);
            EXPECT_EQ(r, KZ_SIP_FAILURE);
        }
        steps.push_back(std::move(step));
        p = next;
    }
    for (size_t i = 0; i < kGuard; ++i)
        EXPECT_EQ(buf[data.size() + 1 + i], '\x5A') << "guard byte " << i << " overwritten";
    return steps;
}

std::vector<Step> sip_steps(const std::vector<Step>& steps) {
    std::vector<Step> out;
    for (const Step& s : steps)
        if (s.is_sip()) out.push_back(s);
    return out;
}

class Torture : public testing::TestWithParam<std::string> {};

std::string test_name(const testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.substr(0, info.param.rfind('.'));
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

} // namespace

TEST(Rfc4475, AllFiftyFilesArePresent) {
    EXPECT_EQ(torture_files().size(), 50u) << kDir;
}

TEST_P(Torture, StreamParsingAndCompositionDoNoHarm) {
    const std::string data = read_file(GetParam());
    ASSERT_FALSE(data.empty());
    const std::vector<Step> steps = parse_stream(data);
    ASSERT_FALSE(steps.empty());
    for (const Step& s : steps) {
        SCOPED_TRACE("offset " + std::to_string(s.offset));
        // The raw text of a message is a prefix of what the call was given.
        if (s.is_sip()) {
            EXPECT_EQ(data.compare(s.offset, s.raw.size(), s.raw), 0);
        }
        if (s.event.event_type == KZ_EVENT_SIP_EXTERNAL_MESSAGE) {
            const std::string text(data.c_str() + s.offset); // up to the next NUL
            EXPECT_EQ(s.event.code, text.size());
            EXPECT_EQ(s.value(KZ_IE_SIP_EXTERNAL_MESSAGE), KZAPI::trim_spaces(text));
        }
    }
    // The same data parsed into fresh messages gives the same results.
    const std::vector<Step> again = parse_stream(data);
    ASSERT_EQ(again.size(), steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(again[i].next, steps[i].next);
        EXPECT_EQ(again[i].elements, steps[i].elements);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Torture, testing::ValuesIn(torture_files()), test_name);

// ---- outcomes the parser's rules determine ----

TEST(Rfc4475, ValidMessagesYieldTheirMethodOrStatus) {
    struct Case {
        const char* file;
        uint32_t event_type;
        uint32_t code;
    };
    const uint32_t REQ = KZ_EVENT_SIP_MESSAGE_REQUEST;
    const uint32_t RSP = KZ_EVENT_SIP_MESSAGE_RESPONSE;
    const Case cases[] = {
        {"wsinv.dat", REQ, KZ_SIP_MSG_INVITE},
        {"intmeth.dat", REQ, KZ_SIP_MSG_OTHER},
        {"esc01.dat", REQ, KZ_SIP_MSG_INVITE},
        {"escnull.dat", REQ, KZ_SIP_MSG_REGISTER},
        {"esc02.dat", REQ, KZ_SIP_MSG_OTHER},
        {"lwsdisp.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"longreq.dat", REQ, KZ_SIP_MSG_INVITE},
        {"dblreq.dat", REQ, KZ_SIP_MSG_REGISTER},
        {"semiuri.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"transports.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"mpart01.dat", REQ, KZ_SIP_MSG_MESSAGE},
        {"unreason.dat", RSP, 200},
        {"badbranch.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"insuf.dat", REQ, KZ_SIP_MSG_INVITE},
        {"unkscm.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"novelsc.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"unksm2.dat", REQ, KZ_SIP_MSG_REGISTER},
        {"bext01.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"invut.dat", REQ, KZ_SIP_MSG_INVITE},
        {"regaut01.dat", REQ, KZ_SIP_MSG_REGISTER},
        {"multi01.dat", REQ, KZ_SIP_MSG_INVITE},
        {"mcl01.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"bcast.dat", RSP, 200},
        {"zeromf.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"cparam01.dat", REQ, KZ_SIP_MSG_REGISTER},
        {"cparam02.dat", REQ, KZ_SIP_MSG_REGISTER},
        {"regescrt.dat", REQ, KZ_SIP_MSG_REGISTER},
        {"sdp01.dat", REQ, KZ_SIP_MSG_INVITE},
        {"inv2543.dat", REQ, KZ_SIP_MSG_INVITE},
        {"mismatch01.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"mismatch02.dat", REQ, KZ_SIP_MSG_OTHER},
        {"scalarlg.dat", RSP, 503},
        {"ltgtruri.dat", REQ, KZ_SIP_MSG_INVITE},
        {"lwsruri.dat", REQ, KZ_SIP_MSG_INVITE},
        {"lwsstart.dat", REQ, KZ_SIP_MSG_INVITE},
        {"trws.dat", REQ, KZ_SIP_MSG_OPTIONS},
        {"badinv01.dat", REQ, KZ_SIP_MSG_INVITE},
        {"scalar02.dat", REQ, KZ_SIP_MSG_REGISTER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::vector<Step> steps = parse_stream(read_file(c.file));
        ASSERT_FALSE(steps.empty());
        const Step& first = steps.front();
        EXPECT_EQ(first.event.event_type, c.event_type);
        EXPECT_EQ(first.event.code, c.code);
        EXPECT_EQ(first.offset, 0u);
    }
}

TEST(Rfc4475, FirstLinesWithoutThreePartsOrWithoutTheVersion) {
    // "SIP/2.0 100 " has no reason phrase: two parts, so no message at all.
    const std::vector<Step> noreason = parse_stream(read_file("noreason.dat"));
    ASSERT_EQ(noreason.size(), 1u);
    EXPECT_EQ(noreason[0].event.event_type, 0u);
    EXPECT_EQ(noreason[0].event.code, 0u);
    EXPECT_FALSE(noreason[0].has(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION));
    EXPECT_FALSE(noreason[0].has(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE));

    // "SIP/7.0" on the first line: not SIP text, so the whole text is one external message.
    const std::string badvers = read_file("badvers.dat");
    const std::vector<Step> steps = parse_stream(badvers);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps[0].event.event_type, KZ_EVENT_SIP_EXTERNAL_MESSAGE);
    EXPECT_EQ(steps[0].event.code, badvers.size());
    EXPECT_EQ(steps[0].value(KZ_IE_SIP_EXTERNAL_MESSAGE), KZAPI::trim_spaces(badvers));
    EXPECT_EQ(steps[0].next, badvers.find("\r\n") + 2); // continues after the first line
    EXPECT_TRUE(sip_steps(steps).empty());

    // The extra file's request line has no version either.
    const std::vector<Step> test = parse_stream(read_file("test.dat"));
    EXPECT_EQ(test[0].event.event_type, KZ_EVENT_SIP_EXTERNAL_MESSAGE);
    EXPECT_TRUE(sip_steps(test).empty());
}

TEST(Rfc4475, RequestLinePartsAreSplitAtSpaces) {
    const Step ltgt = parse_stream(read_file("ltgtruri.dat"))[0];
    EXPECT_EQ(ltgt.value(KZ_IE_SIP_REQUEST_LINE_URI), "<sip:user@example.com>");

    // A space inside the URI moves the rest into the version part.
    const Step lws = parse_stream(read_file("lwsruri.dat"))[0];
    EXPECT_EQ(lws.value(KZ_IE_SIP_REQUEST_LINE_URI), "sip:user@example.com;");
    EXPECT_EQ(lws.value(KZ_IE_SIP_REQUEST_LINE_PROTVERSION), "lr SIP/2.0");

    const Step start = parse_stream(read_file("lwsstart.dat"))[0];
    EXPECT_EQ(start.value(KZ_IE_SIP_REQUEST_LINE_METHOD), "INVITE");
    EXPECT_EQ(start.value(KZ_IE_SIP_REQUEST_LINE_URI), "sip:user@example.com");
    EXPECT_EQ(start.value(KZ_IE_SIP_REQUEST_LINE_PROTVERSION), "SIP/2.0");

    const Step trws = parse_stream(read_file("trws.dat"))[0];
    EXPECT_EQ(trws.value(KZ_IE_SIP_REQUEST_LINE_PROTVERSION), "SIP/2.0");

    const Step esc = parse_stream(read_file("esc02.dat"))[0];
    EXPECT_EQ(esc.value(KZ_IE_SIP_REQUEST_LINE_METHOD), "RE%47IST%45R");
    EXPECT_EQ(esc.value(KZ_IE_SIP_CSEQ_METHOD), "RE%47IST%45R");
    // "C%6Fntact" is another header; of the two real Contacts the first wins.
    EXPECT_EQ(esc.value(KZ_IE_SIP_CONTACT), "<sip:alias1@host1.example.com>");

    const Step reason = parse_stream(read_file("unreason.dat"))[0];
    EXPECT_EQ(reason.value(KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING).rfind("= 2**3 * 5**2 ", 0), 0u);
}

TEST(Rfc4475, DoubleRequestYieldsBothMessages) {
    const std::vector<Step> sip = sip_steps(parse_stream(read_file("dblreq.dat")));
    ASSERT_EQ(sip.size(), 2u);
    EXPECT_EQ(sip[0].event.code, KZ_SIP_MSG_REGISTER);
    EXPECT_EQ(sip[0].value(KZ_IE_SIP_CONTENT_LENGTH), "0");
    EXPECT_FALSE(sip[0].has(KZ_IE_SIP_BODY));
    EXPECT_EQ(sip[1].event.code, KZ_SIP_MSG_INVITE);
    EXPECT_EQ(sip[1].value(KZ_IE_SIP_CALLID), "dblreq.0ha0isnda977644900765@192.0.2.15");
    EXPECT_EQ(sip[1].value(KZ_IE_SIP_TO), "sip:joe@example.com");
    EXPECT_EQ(sip[1].value(KZ_IE_SIP_PAYLOAD, 1), "12");
    // The second message starts on the line after the first one's empty line.
    EXPECT_EQ(read_file("dblreq.dat").compare(sip[1].offset, 2, "\r\n"), 0);
}

TEST(Rfc4475, RepeatedSingleValueHeadersKeepTheFirst) {
    const Step m = parse_stream(read_file("multi01.dat"))[0];
    EXPECT_EQ(m.value(KZ_IE_SIP_CALLID), "multi01.98asdh@192.0.2.1");
    EXPECT_EQ(m.value(KZ_IE_SIP_CSEQ_NUMBER), "5");
    EXPECT_EQ(m.value(KZ_IE_SIP_TO), "sip:user@example.com");
    EXPECT_EQ(m.value(KZ_IE_SIP_FROM_TAG), "3413415");
    EXPECT_EQ(m.value(KZ_IE_SIP_MAX_FORWARDS), "70");
    EXPECT_EQ(m.value(KZ_IE_SIP_CONTACT), "<sip:caller@host25.example.net>");
    // The compact Content-Length found its body: both media lines.
    EXPECT_EQ(m.count(KZ_IE_SDP_MEDIA_TYPE), 2u);
    EXPECT_EQ(m.value(KZ_IE_SIP_VIDEO_PAYLOAD), "31");

    // Two Content-Length headers: the first (13) frames the body; the text after it is not SIP.
    const std::vector<Step> mcl = parse_stream(read_file("mcl01.dat"));
    ASSERT_GE(mcl.size(), 2u);
    EXPECT_EQ(mcl[0].value(KZ_IE_SIP_CONTENT_LENGTH), "13");
    EXPECT_EQ(mcl[0].value(KZ_IE_SIP_BODY), "There's no");
    EXPECT_EQ(mcl[1].event.event_type, KZ_EVENT_SIP_EXTERNAL_MESSAGE);
    EXPECT_EQ(mcl[1].value(KZ_IE_SIP_EXTERNAL_MESSAGE).rfind("way to know", 0), 0u);
}

TEST(Rfc4475, ContentLengthFraming) {
    // Longer than the data: the body runs to the end of the text.
    const std::string clerr = read_file("clerr.dat");
    const std::vector<Step> c = parse_stream(clerr);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].value(KZ_IE_SIP_CONTENT_LENGTH), "9999");
    const std::string body = clerr.substr(clerr.find("\r\n\r\n") + 4);
    EXPECT_EQ(c[0].value(KZ_IE_SIP_BODY), KZAPI::trim_spaces(body));
    EXPECT_EQ(c[0].value(KZ_IE_SDP_CONNECTION_ADDRESS), "192.0.2.155");

    // Negative: no body; what follows the empty line is read as further text.
    const std::string ncl = read_file("ncl.dat");
    const std::vector<Step> n = parse_stream(ncl);
    ASSERT_GE(n.size(), 2u);
    EXPECT_EQ(n[0].event.code, KZ_SIP_MSG_INVITE);
    EXPECT_EQ(n[0].value(KZ_IE_SIP_CONTENT_LENGTH), "-999");
    EXPECT_FALSE(n[0].has(KZ_IE_SIP_BODY));
    EXPECT_FALSE(n[0].has(KZ_IE_SDP_VERSION));
    EXPECT_EQ(n[0].next, ncl.find("\r\n\r\n") + 4);
    EXPECT_EQ(n[1].event.event_type, KZ_EVENT_SIP_EXTERNAL_MESSAGE);

    // No Content-Length at all (RFC 2543 style): no body either.
    const std::vector<Step> old = parse_stream(read_file("inv2543.dat"));
    EXPECT_FALSE(old[0].has(KZ_IE_SIP_BODY));
    EXPECT_EQ(old[0].value(KZ_IE_SIP_CONTENT_TYPE), "application/sdp");

    // A binary multipart body ends at its first NUL byte for this NUL-terminated parser; the
    // multipart type is not a body kind, so its part headers cannot override the message's.
    const std::vector<Step> mp = parse_stream(read_file("mpart01.dat"));
    EXPECT_EQ(mp[0].event.code, KZ_SIP_MSG_MESSAGE);
    EXPECT_TRUE(mp[0].has(KZ_IE_SIP_BODY));
    EXPECT_FALSE(mp[0].has(KZ_IE_SIP_MESSAGE_CONTENT));
    EXPECT_EQ(mp[0].value(KZ_IE_SIP_CONTENT_TYPE).rfind("multipart/mixed", 0), 0u);
}

TEST(Rfc4475, HeaderNamesMustEndAtTheColon) {
    // wsinv: "TO :", "from   :", "Content-Length   :" and "Via  :" are not the known names, so
    // those headers are dropped, and without a Content-Length the SDP is not a body.
    const std::vector<Step> ws = parse_stream(read_file("wsinv.dat"));
    const Step& m = ws[0];
    EXPECT_EQ(m.value(KZ_IE_SIP_CALLID), "wsinv.ndaksdj@192.0.2.1");
    EXPECT_EQ(m.value(KZ_IE_SIP_MAX_FORWARDS), "0068");
    EXPECT_EQ(m.value(KZ_IE_SIP_CONTENT_TYPE), "application/sdp");
    EXPECT_FALSE(m.has(KZ_IE_SIP_TO));
    EXPECT_FALSE(m.has(KZ_IE_SIP_FROM));
    EXPECT_FALSE(m.has(KZ_IE_SIP_CONTENT_LENGTH));
    EXPECT_FALSE(m.has(KZ_IE_SIP_BODY));
    EXPECT_EQ(m.value(KZ_IE_SIP_CONTACT).rfind("\"Quoted string", 0), 0u);
    ASSERT_GE(ws.size(), 2u);
    EXPECT_EQ(ws[1].event.event_type, KZ_EVENT_SIP_EXTERNAL_MESSAGE);

    // longreq: 28 Via lines with well-formed names in mixed case, six with a space before the
    // colon; at most twenty Vias are kept, in order.
    const Step lr = parse_stream(read_file("longreq.dat"))[0];
    EXPECT_EQ(lr.count(KZ_IE_SIP_VIA_ADDRESS), 20u);
    EXPECT_EQ(lr.value(KZ_IE_SIP_VIA_ADDRESS, 0), "sip33.example.com");
    EXPECT_EQ(lr.value(KZ_IE_SIP_VIA_ADDRESS, 10), "sip23.example.com");
    EXPECT_EQ(lr.value(KZ_IE_SIP_VIA_ADDRESS, 11), "sip16.example.com");
    EXPECT_EQ(lr.value(KZ_IE_SIP_VIA_ADDRESS, 19), "sip8.example.com");
    EXPECT_EQ(lr.value(KZ_IE_SIP_VIA_PROTOCOL, 19), "SIP/2.0/TCP");
    // Long name-addrs and tags are bounded.
    EXPECT_FALSE(lr.value(KZ_IE_SIP_FROM).empty());
    EXPECT_LE(lr.value(KZ_IE_SIP_FROM).size(), 511u);
    EXPECT_LE(lr.value(KZ_IE_SIP_TO).size(), 511u);
    EXPECT_FALSE(lr.value(KZ_IE_SIP_FROM_TAG).empty());
    EXPECT_LE(lr.value(KZ_IE_SIP_FROM_TAG).size(), 511u);
    EXPECT_EQ(lr.count(KZ_IE_SDP_MEDIA_TYPE), 2u);

    // Every transport token is kept as written.
    const Step tr = parse_stream(read_file("transports.dat"))[0];
    ASSERT_EQ(tr.count(KZ_IE_SIP_VIA_PROTOCOL), 5u);
    const char* protocols[] = {"SIP/2.0/UDP", "SIP/2.0/SCTP", "SIP/2.0/TLS", "SIP/2.0/UNKNOWN",
                               "SIP/2.0/TCP"};
    for (unsigned i = 0; i < 5; ++i)
        EXPECT_EQ(tr.value(KZ_IE_SIP_VIA_PROTOCOL, i), protocols[i]);
    EXPECT_EQ(tr.value(KZ_IE_SIP_VIA_ADDRESS, 3), "t4.example.com");
    EXPECT_EQ(tr.value(KZ_IE_SIP_CALLID), "transports.kijh4akdnaqjkwendsasfdj");

    // Compact "L:0" in upper case; the first of two Contacts.
    const Step en = parse_stream(read_file("escnull.dat"))[0];
    EXPECT_EQ(en.value(KZ_IE_SIP_CONTENT_LENGTH), "0");
    EXPECT_EQ(en.value(KZ_IE_SIP_CONTACT), "<sip:%00@host5.example.com>");
}

TEST(Rfc4475, UnusualValuesStayAsWritten) {
    const Step im = parse_stream(read_file("intmeth.dat"))[0];
    EXPECT_EQ(im.value(KZ_IE_SIP_REQUEST_LINE_METHOD), "!interesting-Method0123456789_*+`.%indeed'~");
    EXPECT_EQ(im.value(KZ_IE_SIP_VIA_BRANCH), "z9hG4bK-.!%66*_+`'~");

    // The bare magic cookie is still a branch value.
    const Step bb = parse_stream(read_file("badbranch.dat"))[0];
    EXPECT_EQ(bb.value(KZ_IE_SIP_VIA_BRANCH), "z9hG4bK");

    // Scalars out of range are kept as text; the numeric view does not crash.
    const Step sc = parse_stream(read_file("scalar02.dat"))[0];
    EXPECT_FALSE(sc.value(KZ_IE_SIP_CSEQ_NUMBER).empty());
    EXPECT_EQ(sc.value(KZ_IE_SIP_MAX_FORWARDS), "300");

    // An unknown authorization scheme is kept as the scheme.
    const Step ra = parse_stream(read_file("regaut01.dat"))[0];
    EXPECT_EQ(ra.value(KZ_IE_SIP_WWW_AUTH_RESP_TYPE), "NoOneKnowsThisScheme");

    // The broadcast sent-by of the second Via is just a Via address.
    const Step bc = parse_stream(read_file("bcast.dat"))[0];
    EXPECT_EQ(bc.value(KZ_IE_SIP_VIA_ADDRESS, 1).rfind("255.255.255.255", 0), 0u);
}
