// CKZSIPGroup: address splitting, message editing, the standard responses as they leave a real
// stack on loopback, the public address chosen at start, and NAT detection against our own STUN
// server on 127.0.0.1 / 127.0.0.2.
#include "server/CKZSIPGroup.h"

#include "host/CKZLogInterface.h"
#include "nat/CKZStunServer.h"
#include "support/log_capture.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using KZAPI::CKZLogInterface;

namespace {

struct MessageFree {
    void operator()(sip_msg* m) const { CKZSIPGroup::FreeMessage(m); }
};
using Message = std::unique_ptr<sip_msg, MessageFree>;

Message NewMessage() {
    sip_msg* m = nullptr;
    EXPECT_EQ(CKZSIPGroup::AllocMessage(&m), 0u);
    return Message(m);
}

std::string Value(sip_msg* m, uint32_t element, unsigned index = 0) {
    char buffer[CKZSIPGroup::kIEBufferSize];
    return CKZSIPGroup::MSG_GetIE_STR(m, element, index, buffer) == 0 ? buffer : "";
}

constexpr auto& Header = kztest::header_value;

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find("\r\n"));
}

// A stack on 127.0.0.1 opened and started through a group, and a raw UDP peer talking to it.
class GroupOnLoopback {
public:
    explicit GroupOnLoopback(const char* public_ip_in_rtp = "") {
        m_port = kztest::free_port_pair();
        EXPECT_EQ(group.Open(), 0u);
        KZ_SIPProtocolConfig config{};
        group.GetConfig(&config);
        strcpy(config.local_address, "127.0.0.1");
        config.sip_port = m_port;
        EXPECT_EQ(group.SetConfig(&config), 0u);
        EXPECT_EQ(group.CreateEventQueue(), 0);
        group.SetUseNATAddr(1); // no STUN detection on start
        group.SetUsePublicIPInRTP(public_ip_in_rtp);
        group.SetSIPUserAgent("KZ-Group-Test");
        EXPECT_EQ(group.Start(), 0u);
    }
    ~GroupOnLoopback() {
        group.Stop();
        EXPECT_EQ(group.DestroyEventQueue(), 0);
        EXPECT_EQ(group.Close(), 0u);
    }

    uint16_t port() const { return m_port; }

    // Sends a request from the peer (a new call unless call_id names one, with to_tag on To when
    // given) and returns the stack's copy of it with its connection id.
    Message Receive(const std::string& method, const std::string& headers, uint32_t* connection,
                    std::string call_id = "", const std::string& to_tag = "") {
        static int request = 0;
        ++request;
        if (call_id.empty()) call_id = "group-test-" + std::to_string(request);
        const std::string peer = "127.0.0.1:" + std::to_string(this->peer.port());
        const std::string to = "<sip:kz@127.0.0.1>" + (to_tag.empty() ? "" : ";tag=" + to_tag);
        this->peer.send_to(m_port, method + " sip:kz@127.0.0.1:" + std::to_string(m_port) +
                                       " SIP/2.0\r\nVia: SIP/2.0/UDP " + peer + ";branch=z9hG4bKg" +
                                       std::to_string(request) + "\r\nFrom: <sip:alice@" + peer +
                                       ">;tag=a1\r\nTo: " + to + "\r\nCall-ID: " + call_id + "\r\nCSeq: 1 " +
                                       method + "\r\n" + headers + "Content-Length: 0\r\n\r\n");
        KZSIPEvent event{};
        if (!kztest::wait_until([&] {
                return group.WaitOnEvent(50, &event) == 0 && event.event_type == KZ_EVENT_SIP_MESSAGE_REQUEST;
            })) {
            ADD_FAILURE() << "no " << method << " event";
            return Message();
        }
        sip_msg* m = nullptr;
        char address[32];
        unsigned size = sizeof(address);
        unsigned short from_port = 0;
        EXPECT_EQ(CKZSIPGroup::GetMessage(event.stack, &m, address, &size, &from_port), 0u);
        *connection = event.connection_id;
        return Message(m);
    }

    CKZSIPGroup group;
    kztest::UdpPeer peer;

private:
    uint16_t m_port = 0;
};

class SIPGroup : public ::testing::Test {
protected:
    CKZSIPGroup m_group; // fills the entry-point table
};

} // namespace

// ---- addresses and settings ----

TEST(SIPGroupAddress, SplitsSIPAddressesInPlace) {
    struct Case {
        std::string text;
        const char *user, *host, *port; // null: none
    };
    // The parts themselves are the message layer's (sip_record_test); the group cuts the transport.
    const Case cases[] = {
        {"\"Alice\" <sip:alice;phone@example.com:5070;transport=udp>;tag=9", "alice;phone", "example.com",
         "5070"},
        {"sip:192.168.1.20", nullptr, "192.168.1.20", nullptr},
    };
    const auto same = [](const char* got, const char* expected) {
        return expected ? got && std::string(got) == expected : got == nullptr;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text; // split in place
        char *user, *host, *port;
        ASSERT_EQ(CKZSIPGroup::GetSIPAddressInfo(text.data(), &user, &host, &port), 1);
        EXPECT_TRUE(same(user, c.user)) << (user ? user : "(null)");
        EXPECT_TRUE(same(host, c.host)) << (host ? host : "(null)");
        EXPECT_TRUE(same(port, c.port)) << (port ? port : "(null)");
    }
    char *user, *host, *port;
    EXPECT_EQ(CKZSIPGroup::GetSIPAddressInfo(nullptr, &user, &host, &port), 0);
    EXPECT_EQ(CKZSIPGroup::UnsignedNumberOnlyCheck(""), 0);
    EXPECT_EQ(CKZSIPGroup::UnsignedNumberOnlyCheck("5060"), 1);
    EXPECT_EQ(CKZSIPGroup::UnsignedNumberOnlyCheck("-1"), 0);
}

TEST(SIPGroupDeathTest, NamedGroupAloneHasNoEntryPoints) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process, where no table was filled
    EXPECT_EXIT(
        {
            CKZSIPGroup named("libkzsipapi.so");
            sip_msg* m = nullptr;
            const bool missing =
                named.IsLibraryNameSet() == 1 && named.Open() == CKZSIPGroup::kFailure &&
                named.Close() == 0 && named.CreateEventQueue() == CKZSIPGroup::QUEUE_NO_STACK &&
                named.GetIPFilterCount(0) == -1 && CKZSIPGroup::AllocMessage(&m) == CKZSIPGroup::kFailure;
            std::_Exit(missing ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- message editing ----

TEST_F(SIPGroup, RemoveLatestRouteMovesTheOthersUp) {
    Message m = NewMessage();
    CKZSIPGroup::MSG_AddIE_STR(m.get(), KZ_IE_SIP_ROUTE, 0, "<sip:a.example;lr>");
    CKZSIPGroup::MSG_AddIE_STR(m.get(), KZ_IE_SIP_ROUTE, 1, "<sip:b.example;lr>");
    EXPECT_EQ(CKZSIPGroup::MSG_RemoveLatestRoute(m.get()), 0);
    EXPECT_EQ(Value(m.get(), KZ_IE_SIP_ROUTE, 0), "<sip:b.example;lr>");
    EXPECT_EQ(Value(m.get(), KZ_IE_SIP_ROUTE, 1), "");

    CKZSIPGroup::MSG_AddLatestRoute(m.get(), "<sip:new.example;lr>");
    EXPECT_EQ(Value(m.get(), KZ_IE_SIP_ROUTE, 0), "<sip:new.example;lr>");
    EXPECT_EQ(Value(m.get(), KZ_IE_SIP_ROUTE, 1), "<sip:b.example;lr>");
}

TEST_F(SIPGroup, AddLatestViaShiftsEveryViaElement) {
    struct Element {
        uint32_t id;
        unsigned index;
        const char* value;
    };
    // clang-format off
    const Element before[] = {
        {KZ_IE_SIP_VIA_PROTOCOL, 0, "SIP/2.0/TCP"}, {KZ_IE_SIP_VIA_ADDRESS, 0, "10.0.0.1:5060"},
        {KZ_IE_SIP_VIA_BRANCH, 0, "z9hG4bKfirst"},  {KZ_IE_SIP_VIA_PARAM, 0, "rport=5062"},
        {KZ_IE_SIP_VIA_PROTOCOL, 1, "SIP/2.0/UDP"}, {KZ_IE_SIP_VIA_ADDRESS, 1, "10.0.0.2:5080"},
        {KZ_IE_SIP_VIA_BRANCH, 1, "z9hG4bKsecond"}, {KZ_IE_SIP_VIA_RECEIVED, 1, "received=10.9.9.9"}};
    const Element after[] = {
        {KZ_IE_SIP_VIA_PROTOCOL, 0, "SIP/2.0/UDP"}, {KZ_IE_SIP_VIA_ADDRESS, 0, "192.0.2.7:5060"},
        {KZ_IE_SIP_VIA_BRANCH, 0, ""},              {KZ_IE_SIP_VIA_PARAM, 0, ""},
        {KZ_IE_SIP_VIA_PROTOCOL, 1, "SIP/2.0/TCP"}, {KZ_IE_SIP_VIA_ADDRESS, 1, "10.0.0.1:5060"},
        {KZ_IE_SIP_VIA_BRANCH, 1, "z9hG4bKfirst"},  {KZ_IE_SIP_VIA_PARAM, 1, "rport=5062"},
        {KZ_IE_SIP_VIA_RECEIVED, 1, ""},            {KZ_IE_SIP_VIA_ADDRESS, 2, "10.0.0.2:5080"},
        {KZ_IE_SIP_VIA_BRANCH, 2, "z9hG4bKsecond"}, {KZ_IE_SIP_VIA_PARAM, 2, ""}, // rport stays with its Via
        {KZ_IE_SIP_VIA_RECEIVED, 2, "received=10.9.9.9"}};
    // clang-format on
    Message m = NewMessage();
    for (const Element& e : before)
        CKZSIPGroup::MSG_AddIE_STR(m.get(), e.id, e.index, e.value);
    ASSERT_EQ(CKZSIPGroup::MSG_AddLatestViaAddr(m.get(), "192.0.2.7:5060"), 0);
    for (const Element& e : after)
        EXPECT_EQ(Value(m.get(), e.id, e.index), e.value) << e.id << "[" << e.index << "]";
    char top[CKZSIPGroup::kIEBufferSize];
    ASSERT_EQ(CKZSIPGroup::MSG_GetLatestViaAddr(m.get(), top), 0u);
    EXPECT_STREQ(top, "192.0.2.7:5060");
}

TEST_F(SIPGroup, CommonResponseElementsNeedAVia) {
    Message request = NewMessage();
    CKZSIPGroup::MSG_AddIE_STR(request.get(), KZ_IE_SIP_TO, 0, "<sip:kz@127.0.0.1>");
    CKZSIPGroup::MSG_AddIE_STR(request.get(), KZ_IE_SIP_FROM, 0, "<sip:alice@127.0.0.1>");
    Message response = NewMessage();
    EXPECT_EQ(CKZSIPGroup::SetCopyCommonSendIE(request.get(), response.get(), nullptr), 0u);

    CKZSIPGroup::MSG_AddIE_STR(request.get(), KZ_IE_SIP_VIA_PROTOCOL, 0, "SIP/2.0/UDP");
    CKZSIPGroup::MSG_AddIE_STR(request.get(), KZ_IE_SIP_VIA_ADDRESS, 0, "127.0.0.1:5099");
    Message second = NewMessage();
    EXPECT_EQ(CKZSIPGroup::SetCopyCommonSendIE(request.get(), second.get(), nullptr), 1u);
    EXPECT_EQ(Value(second.get(), KZ_IE_SIP_USER_AGENT), "KZAPISIPUA");
    EXPECT_EQ(Value(second.get(), KZ_IE_SIP_MAX_FORWARDS), "70");
    EXPECT_EQ(Value(second.get(), KZ_IE_SIP_VIA_ADDRESS), "127.0.0.1:5099");
}

// ---- responses on the wire ----

// Sends the response named by how to a request the group received.
unsigned Respond(CKZSIPGroup& group, const std::string& how, sip_msg* m, uint32_t connection) {
    if (how == "reg-ok") return group.SIP_SendRegOK(m, connection, 60, true);
    if (how == "reg-ok-appended") return group.SIP_SendRegOK(m, connection, 60, false);
    if (how == "no-code") return group.SIP_Send1xx(m, connection, nullptr, "Ringing");
    if (how == "180") return group.SIP_Send1xx(m, connection, "180", "Ringing");
    if (how == "486") return group.SIP_Send4xx(m, connection, "486", "Busy Here");
    if (how == "407") return group.SIP_Send407(m, connection);
    return group.SIP_SendOK(m, connection, false, "kz77", 30);
}

// A request from the peer, the response the group is told to send to it, and the first line and
// header values that must arrive ("" for a header that must be absent); "" as the first line: the
// group refuses and nothing is sent.
struct WireCase {
    const char* method;
    std::string headers, how, first_line;
    std::vector<std::pair<const char*, std::string>> expected;
};

TEST(SIPGroupWire, ResponsesLeaveAsTheyAreMade) {
    GroupOnLoopback stack;
    const std::string record_route = "Record-Route: <sip:proxy.example;lr>\r\n", ok = "SIP/2.0 200 OK";
    const std::string agent = "KZ-Group-Test",
                      contact = "<sip:KZAPISIPUA@127.0.0.1:" + std::to_string(stack.port()) + ">";
    // clang-format off
    const WireCase cases[] = {
        {"REGISTER", "Contact: <sip:bob@127.0.0.1:5099>;expires=3600;q=0.5\r\n", "reg-ok", ok,
         {{"Contact", "<sip:bob@127.0.0.1:5099>;expires=60"}, {"Expires", "60"}, {"User-Agent", agent}}},
        {"REGISTER", "Contact: <sip:carol@127.0.0.1:5098>\r\n", "reg-ok-appended", ok,
         {{"Contact", "<sip:carol@127.0.0.1:5098>;expires=60"}, {"Allow", ""}}},
        {"REGISTER", "", "reg-ok", "", {}},                                       // no Contact, no answer
        {"REGISTER", "", "407", "SIP/2.0 407 Proxy Authentication Required", {}}, // but a challenge
        {"INVITE", record_route, "no-code", "", {}},
        // Provisional answers carry no Record-Route.
        {"INVITE", record_route, "180", "SIP/2.0 180 Ringing", {{"Record-Route", ""}}},
        {"INVITE", record_route, "486", "SIP/2.0 486 Busy Here",
         {{"Allow", "INVITE, ACK, CANCEL, BYE, REFER, NOTIFY, REGISTER, OPTIONS, INFO"},
          {"Record-Route", "<sip:proxy.example;lr> "}, {"User-Agent", agent}}},
        {"OPTIONS", "", "ok", ok,
         {{"To", "<sip:kz@127.0.0.1>;tag=kz77"}, {"Contact", contact}, {"Expires", "30"}, {"Allow", ""}}},
    };
    // clang-format on
    for (const WireCase& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " answered " + c.how);
        uint32_t connection = 0;
        Message request = stack.Receive(c.method, c.headers, &connection);
        ASSERT_TRUE(request);
        ASSERT_EQ(Respond(stack.group, c.how, request.get(), connection), c.first_line.empty() ? 0u : 1u);
        const std::string response = stack.peer.receive(c.first_line.empty() ? 200 : 1000);
        EXPECT_EQ(FirstLine(response), c.first_line);
        for (const auto& [name, value] : c.expected)
            EXPECT_EQ(Header(response, name), value) << name;
        const std::string digest = Header(response, "WWW-Authenticate");
        if (digest.empty()) continue;
        EXPECT_EQ(digest.rfind("Digest realm=\"192.0.2.1:5070\", nonce=\"", 0), 0u) << digest;
        EXPECT_NE(digest.find("algorithm=\"MD5\""), std::string::npos) << digest;
    }
}

TEST(SIPGroupWire, ByeTowardsTheCaller) {
    GroupOnLoopback stack;
    uint32_t connection = 0;
    Message invite = stack.Receive("INVITE", "", &connection);
    ASSERT_TRUE(invite);
    ASSERT_EQ(stack.group.SIP_SendOK(invite.get(), connection, true, "", -1), 1u);
    const std::string ok = stack.peer.receive();
    const std::string to = Header(ok, "To");
    ASSERT_NE(to.find(";tag="), std::string::npos);
    uint32_t ack_connection = 0;
    Message ack =
        stack.Receive("ACK", "", &ack_connection, Header(ok, "Call-ID"), to.substr(to.find(";tag=") + 5));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack_connection, connection);
    // The swapped BYE goes to the caller's From URI and names us by the public address.
    ASSERT_EQ(stack.group.SIP_SendBye(invite.get(), false, connection, nullptr, 0), 1u);
    const std::string bye = stack.peer.receive();
    const std::string caller = "sip:alice@127.0.0.1:" + std::to_string(stack.peer.port());
    EXPECT_EQ(FirstLine(bye), "BYE " + caller + " SIP/2.0");
    EXPECT_EQ(Header(bye, "To"), "<" + caller + ">;tag=a1");
    EXPECT_EQ(Header(bye, "Contact"), "<sip:proxy@127.0.0.1:" + std::to_string(stack.port()) + ">");

    Message no_brackets = NewMessage();
    CKZSIPGroup::MSG_AddIE_STR(no_brackets.get(), KZ_IE_SIP_FROM, 0, "sip:alice@127.0.0.1");
    EXPECT_EQ(stack.group.SIP_SendBye(no_brackets.get(), false, connection, nullptr, 0), 0u);
}

// ---- start ----

TEST(SIPGroupStart, AnnouncedAddressOverridesUnlessItIsZero) {
    for (const auto& [announced, public_ip] :
         {std::pair{"0.0.0.0", "0.0.0.0"}, std::pair{"0", "127.0.0.1"}}) {
        GroupOnLoopback stack(announced);
        EXPECT_STREQ(stack.group.GetRealPublicSIPIP(), public_ip);
        EXPECT_EQ(stack.group.GetRealPublicSIPPort(), stack.port());
    }
}

// ---- NAT ----

class SIPGroupNat : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_stun.Start("127.0.0.1", "127.0.0.2", 0, 0));
        m_stun_name = "127.0.0.1:" + std::to_string(m_stun.GetPrimaryAddress().port);
        m_silent = "127.0.0.1:" + std::to_string(kztest::silent_udp_port());
        m_port = kztest::free_port_pair();
        ASSERT_EQ(m_group.Open(), 0u);
    }
    void TearDown() override {
        m_group.Close();
        m_stun.Stop();
    }
    void Configure(const char* address) {
        KZ_SIPProtocolConfig config{};
        m_group.GetConfig(&config);
        strcpy(config.local_address, address);
        config.sip_port = m_port;
        m_group.SetConfig(&config);
    }

    CKZStunServer m_stun;
    std::string m_stun_name; // "127.0.0.1:port" of the server above
    std::string m_silent;    // one where nobody answers
    CKZSIPGroup m_group;
    uint16_t m_port = 0;
};

TEST_F(SIPGroupNat, DetectionSkipsABlockedServerAndMapsThePublicAddress) {
    // No configured address: only the STUN mapping can make the public address 127.0.0.1
    // (the fallback would be this host's first non-loopback address).
    Configure("");
    m_group.SetSTUNServer(0, m_silent.c_str());
    m_group.SetSTUNServer(1, m_stun_name.c_str());
    m_group.SetNATType(1);
    kztest::LogCapture log;
    EXPECT_EQ(m_group.AutoDetectNatType(), CKZSIPGroup::NAT_OPEN);
    EXPECT_EQ(m_group.IsInNAT(), 0u);
    EXPECT_EQ(m_group.IsNATHairpinning(), 1u);
    EXPECT_EQ(m_group.IsNATPreservingPorts(), 1u);
    EXPECT_STREQ(m_group.GetRealPublicSIPIP(), "127.0.0.1");
    EXPECT_EQ(m_group.GetRealPublicSIPPort(), m_port);
    EXPECT_TRUE(log.Contains("STUN Server[1]:" + m_stun_name));
    EXPECT_TRUE(log.Contains("Detected real SIP ip:127.0.0.1, port:" + std::to_string(m_port) + "."));

    char address[CKZSIPGroup::kAddressTextSize] = "127.0.0.1";
    uint16_t port = m_port;
    ASSERT_EQ(m_group.GetMappedPublicIPAndPort(1, address, port), 1);
    EXPECT_STREQ(address, "127.0.0.1");
    EXPECT_EQ(port, m_port);
    EXPECT_EQ(m_group.GetMappedPublicIPAndPort(6, address, port), 0);
}

TEST_F(SIPGroupNat, OnlyUnreachableServersLeaveTheConfiguredAddress) {
    Configure("127.0.0.1");
    m_group.SetSTUNServer(0, m_silent.c_str());
    kztest::LogCapture log;
    EXPECT_EQ(m_group.AutoDetectNatType(), CKZSIPGroup::NAT_BLOCKED);
    EXPECT_STREQ(m_group.GetRealPublicSIPIP(), "127.0.0.1");
    EXPECT_TRUE(log.Contains("Blocked or could not reach STUN server"));
}
