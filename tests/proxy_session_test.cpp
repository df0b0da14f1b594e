// Calls relayed by a proxy site between two phones played by UDP peers on 127.0.0.1. The
// application's answers and the session reports go through a recording environment; time moves
// through the test's clock. Media relayed through the server is kzhost_proxy.sh's (each phone's tone
// heard by the other, the RTP captured going to the server's ports).
#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "proxy/CKZSIPProxySessionRoute.h"
#include "server/CKZSIPServer.h"
#include "support/server_reports.h"
#include "support/sip_dialog.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using kztest::header_value;
using kztest::receive_starting;
using kztest::status_line;

namespace {

// The sessions' ends are its reports, "code reason".
class RecordingEnv : public KZAPI::CKZAPIEnv, public kztest::ServerReports {
public:
    std::optional<std::string> On_ProxyNewCallSession(const ProxySessionReport& call, const char*, uint16_t,
                                                      const char*, bool) override {
        std::lock_guard lock(m_mutex);
        m_connection = call.connection;
        return m_directive;
    }
    void FireOn_ProxyCallSessionEnd(const ProxySessionReport&, int code, const char* reason) override {
        Add(std::to_string(code) + " " + reason);
    }
    void SetDirective(std::optional<std::string> directive) {
        std::lock_guard lock(m_mutex);
        m_directive = std::move(directive);
    }
    uint32_t Connection() {
        std::lock_guard lock(m_mutex);
        return m_connection;
    }

private:
    std::mutex m_mutex;
    std::optional<std::string> m_directive;
    uint32_t m_connection = 0;
};

std::string sdp(uint16_t port) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
           std::to_string(port) + " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
}

uint16_t sdp_port(const std::string& message) {
    const size_t at = message.find("m=audio ");
    return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(message.substr(at + 8)));
}

// One phone: its socket, and the requests it sends.
struct Phone {
    explicit Phone(std::string user) : name(std::move(user)) {}
    std::string name;
    kztest::UdpPeer peer;
    std::string port() const { return std::to_string(peer.port()); }
    std::string contact() const { return "<sip:" + name + "@127.0.0.1:" + port() + ">"; }
    std::string via(const std::string& branch) const {
        return "Via: SIP/2.0/UDP 127.0.0.1:" + port() + ";branch=z9hG4bK-" + branch + ";rport\r\n";
    }
};

// A request line, this phone's Via and the given dialog lines.
std::string request(const Phone& phone, const std::string& method, const std::string& uri,
                    const std::string& branch, const std::string& dialog, const std::string& body = "") {
    return method + " " + uri + " SIP/2.0\r\n" + phone.via(branch) + "Max-Forwards: 70\r\n" + dialog +
           "Contact: " + phone.contact() + "\r\n" + kztest::with_body(body);
}

class ProxySessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        KZAPI::CKZCfgInterface::CFG_Clear();
        m_port = kztest::free_port_pair();
        const std::string config =
            "kzsrv.sip.ip.address = 127.0.0.1\nkzsrv.sip.ip.port = " + std::to_string(m_port) +
            "\nkzsrv.sip.use.nat.addr = 1\nkzsrv.sip.keep.alive.msg = 0\nkzsrv.sip.proxy.sites.num = 3\n"
            "kzsrv.sip.udp.switch.group = 1\nkzsrv.sip.rtpstartrange = " +
            std::to_string(kztest::rtp_start_for_channel(0)) +
            "\nkzsrv.sip.proxy.site1.domain = 127.0.0.1\nkzsrv.sip.proxy.site1.recordroute = 1\n"
            "kzsrv.sip.proxy.site2.domain = 127.0.0.2\n"
            "kzsrv.sip.proxy.site3.domain = 127.0.0.3\nkzsrv.sip.proxy.site3.recordroute = 1\n"
            "kzsrv.sip.proxy.site3.udp.relay = 1\n";
        KZAPI::CKZCfgInterface::CFG_LoadText(config);
        m_env.Clear();
        m_env.SetDirective(std::nullopt);
        KZAPI::CKZAPIEnv::SetKZAPIEnv(&m_env);
        m_server = kztest::start_server_on_clock(m_clock);
        ASSERT_TRUE(m_server);
        for (int site = 0; site < 3; ++site)
            for (const char* user : {"alice", "bob"}) {
                m_server->ProxySetUserInfo(site, user, "", 1);
                m_server->ProxySetUserAuthType(site, user, 2);
            }
        Register(m_alice, "127.0.0.1");
        Register(m_bob, "127.0.0.1");
    }
    void TearDown() override {
        m_server->Stop();
        m_server->Destroy();
        m_server.reset();
        KZAPI::CKZAPIEnv::SetKZAPIEnv(nullptr);
        KZAPI::CKZCfgInterface::CFG_Clear();
    }
    void Advance(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            m_clock.Advance(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    void Register(const Phone& phone, const std::string& domain) {
        const std::string aor = "<sip:" + phone.name + "@" + domain + ">";
        phone.peer.send_to(m_port,
                           request(phone, "REGISTER", "sip:" + domain, "reg" + domain,
                                   "From: " + aor + ";tag=r1\r\nTo: " + aor + "\r\nCall-ID: reg-" +
                                       phone.name + domain + "\r\nCSeq: 1 REGISTER\r\nExpires: 3600\r\n"));
        ASSERT_EQ(status_line(receive_starting(phone.peer, "SIP/2.0 ")), "SIP/2.0 200 OK");
    }
    // Alice's INVITE to bob at the domain; what bob receives ("" when nothing).
    std::string Call(const std::string& domain = "127.0.0.1", const std::string& body = "") {
        m_alice.peer.send_to(m_port, AliceRequest("INVITE", "sip:bob@" + domain, "inv", 1, "", body, domain));
        return receive_starting(m_bob.peer, "INVITE ");
    }
    std::string AliceRequest(const std::string& method, const std::string& uri, const std::string& branch,
                             int cseq, const std::string& to_tag, const std::string& body = "",
                             const std::string& domain = "127.0.0.1") {
        return CallerRequest(m_alice, m_bob, m_call_id, method, cseq, to_tag, body, domain, uri, branch);
    }
    // Bob's request inside the dialog of the INVITE he received.
    std::string BobRequest(const std::string& method, const std::string& invite, int cseq) {
        return request(m_bob, method, m_alice.contact().substr(1, m_alice.contact().size() - 2), "b" + method,
                       "Route: <sip:127.0.0.1:" + std::to_string(m_port) + ";lr>\r\nFrom: " +
                           header_value(invite, "To") + ";tag=far1\r\nTo: " + header_value(invite, "From") +
                           "\r\nCall-ID: " + header_value(invite, "Call-ID") +
                           "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\n");
    }
    void Answer(const Phone& phone, const std::string& received, const std::string& status,
                const std::string& body = "") {
        phone.peer.send_to(m_port, kztest::response_to(received, status, phone.peer.port(), "", body));
    }
    std::string BobURI() const { return "sip:bob@127.0.0.1:" + m_bob.port(); }
    // caller's request in its call with callee at the domain (to_tag: the dialog is established); the
    // request URI is the callee's address of record, the branch made from the call unless given.
    std::string CallerRequest(const Phone& caller, const Phone& callee, const std::string& call_id,
                              const std::string& method, int cseq, const std::string& to_tag,
                              const std::string& body = "", const std::string& domain = "127.0.0.1",
                              std::string uri = "", std::string branch = "") {
        const std::string route =
            to_tag.empty() ? "" : "Route: <sip:127.0.0.1:" + std::to_string(m_port) + ";lr>\r\n";
        if (uri.empty()) uri = "sip:" + callee.name + "@" + domain;
        if (branch.empty()) branch = call_id + method + std::to_string(cseq);
        return request(caller, method, uri, branch,
                       route + "From: <sip:" + caller.name + "@" + domain + ">;tag=" + caller.name +
                           "\r\nTo: <sip:" + callee.name + "@" + domain + ">" +
                           (to_tag.empty() ? "" : ";tag=" + to_tag) + "\r\nCall-ID: " + call_id +
                           "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\n",
                       body);
    }
    // An answered call from caller to callee with media at the given ports: its session.
    uint32_t Establish(const Phone& caller, const Phone& callee, const std::string& call_id,
                       uint16_t caller_rtp, uint16_t callee_rtp) {
        caller.peer.send_to(m_port, CallerRequest(caller, callee, call_id, "INVITE", 1, "", sdp(caller_rtp)));
        const std::string invite = receive_starting(callee.peer, "INVITE ");
        Answer(callee, invite, "200 OK", sdp(callee_rtp));
        EXPECT_FALSE(receive_starting(caller.peer, "SIP/2.0 200").empty()) << call_id;
        caller.peer.send_to(m_port, CallerRequest(caller, callee, call_id, "ACK", 1, "far1"));
        EXPECT_FALSE(receive_starting(callee.peer, "ACK ").empty()) << call_id;
        return m_env.Connection();
    }
    KZAPI::CKZManualClock m_clock;
    RecordingEnv m_env;
    Phone m_alice{"alice"}, m_bob{"bob"};
    kztest::ServerPtr m_server;
    uint16_t m_port = 0;
    std::string m_call_id = "call-1@127.0.0.1";
};

// The caller's hang-up is kzhost_proxy.sh's (its calls end at the caller); here the callee hangs up.
TEST_F(ProxySessionTest, CallIsRelayedBothWaysAndItsEndReportedOnce) {
    const std::string invite = Call();
    ASSERT_FALSE(invite.empty());
    EXPECT_EQ(status_line(receive_starting(m_alice.peer, "SIP/2.0 100")), "SIP/2.0 100 Trying");
    EXPECT_EQ(invite.rfind("INVITE " + BobURI() + " SIP/2.0", 0), 0u) << invite;
    EXPECT_EQ(header_value(invite, "Max-Forwards"), "69");
    EXPECT_EQ(header_value(invite, "Via").rfind("SIP/2.0/UDP 127.0.0.1:" + std::to_string(m_port), 0), 0u);
    EXPECT_NE(invite.find("Via: SIP/2.0/UDP 127.0.0.1:" + m_alice.port()), std::string::npos);
    EXPECT_EQ(
        header_value(invite, "Record-Route").rfind("<sip:127.0.0.1:" + std::to_string(m_port) + ";lr>", 0),
        0u);
    EXPECT_NE(header_value(invite, "Call-ID"), "call-1@127.0.0.1");

    Answer(m_bob, invite, "180 Ringing");
    EXPECT_EQ(status_line(receive_starting(m_alice.peer, "SIP/2.0 180")), "SIP/2.0 180 Ringing");
    Answer(m_bob, invite, "200 OK", sdp(4000));
    const std::string ok = receive_starting(m_alice.peer, "SIP/2.0 200");
    ASSERT_FALSE(ok.empty());
    EXPECT_EQ(header_value(ok, "Call-ID"), "call-1@127.0.0.1");
    EXPECT_EQ(sdp_port(ok), 4000); // no media relay on this site

    m_alice.peer.send_to(m_port, AliceRequest("ACK", BobURI(), "ack", 1, "far1"));
    EXPECT_FALSE(receive_starting(m_bob.peer, "ACK ").empty());
    m_bob.peer.send_to(m_port, BobRequest("BYE", invite, 2));
    const std::string bye = receive_starting(m_alice.peer, "BYE ");
    ASSERT_FALSE(bye.empty());
    Answer(m_alice, bye, "200 OK");
    EXPECT_EQ(status_line(receive_starting(m_bob.peer, "SIP/2.0 ")), "SIP/2.0 200 OK");
    ASSERT_TRUE(kztest::wait_until([&] { return !m_env.Reports().empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(m_env.Reports().size(), 1u) << m_env.Reports().back();
    EXPECT_EQ(m_env.At(0).rfind("0 ", 0), 0u);
}

TEST_F(ProxySessionTest, DirectiveDecidesTheAnswer) {
    struct Case {
        std::optional<std::string> directive;
        int alice_auth_type;
        const char* status; // what alice gets
        size_t ends;        // sessions reported ended
    } cases[] = {
        {"486", 2, "SIP/2.0 486 Busy Here", 1},
        {"486|Gone fishing", 2, "SIP/2.0 486 Gone fishing", 1},
        {"rejected", 2, "SIP/2.0 403 Forbidden", 1},
        {"404", 2, "SIP/2.0 404 Not Found", 1},
        {"unauthorized", 1, "SIP/2.0 401 Unauthorized", 0},
        {"unauthorized", 0, "SIP/2.0 407 Proxy Authentication Required", 0},
        // No channel is idle on this server: the call the site hands over is refused there.
        {"channel", 2, "SIP/2.0 486 Busy Here", 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        m_env.SetDirective(c.directive);
        m_server->ProxySetUserAuthType(0, "alice", c.alice_auth_type);
        const size_t before = m_env.Reports().size();
        m_call_id = "directive-" + std::to_string(++n);
        m_alice.peer.send_to(m_port, AliceRequest("INVITE", "sip:bob@127.0.0.1", m_call_id, 1, ""));
        EXPECT_EQ(status_line(receive_starting(m_alice.peer, "SIP/2.0 4")), c.status) << *c.directive;
        kztest::wait_until([&] { return m_env.Reports().size() - before == c.ends; }, 300);
        EXPECT_EQ(m_env.Reports().size() - before, c.ends) << *c.directive;
        EXPECT_TRUE(m_bob.peer.drain(50).empty()) << *c.directive;
    }
}

TEST_F(ProxySessionTest, DirectiveTargetRoutesThere) {
    Phone carol{"carol"};
    m_env.SetDirective("To<sip:carol@127.0.0.1:" + carol.port() + ">|NewSession");
    m_alice.peer.send_to(m_port, AliceRequest("INVITE", "sip:bob@127.0.0.1", "inv", 1, ""));
    const std::string invite = receive_starting(carol.peer, "INVITE ");
    ASSERT_FALSE(invite.empty());
    EXPECT_EQ(header_value(invite, "To"), "<sip:carol@127.0.0.1:" + carol.port() + ">");
    EXPECT_TRUE(m_bob.peer.drain(50).empty());
}

TEST_F(ProxySessionTest, CalleesChallengeIsAnsweredWithTheGivenCredentials) {
    m_env.SetDirective("To<" + BobURI() + ">|User<gateway>|Password<secret>");
    const std::string invite = Call();
    ASSERT_FALSE(invite.empty());
    Answer(m_bob, invite,
           "407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"far\", nonce=\"n1\", "
           "algorithm=MD5");
    EXPECT_FALSE(receive_starting(m_bob.peer, "ACK ").empty());
    const std::string again = receive_starting(m_bob.peer, "INVITE ");
    ASSERT_FALSE(again.empty());
    EXPECT_NE(header_value(again, "Proxy-Authorization").find("username=\"gateway\""), std::string::npos);
    EXPECT_EQ(header_value(again, "Call-ID"), header_value(invite, "Call-ID"));
    // A second challenge is the caller's to answer.
    Answer(m_bob, again,
           "407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"far\", nonce=\"n2\"");
    EXPECT_EQ(status_line(receive_starting(m_alice.peer, "SIP/2.0 407")),
              "SIP/2.0 407 Proxy Authentication Required");
}

TEST_F(ProxySessionTest, CallerCancelIsPassedOnAndALate200HungUp) {
    for (const auto& [callee_final, expect_bye] :
         {std::pair{"487 Request Terminated", false}, {"200 OK", true}}) {
        const std::string invite = Call();
        ASSERT_FALSE(invite.empty());
        Answer(m_bob, invite, "100 Trying");
        Answer(m_bob, invite, "180 Ringing");
        ASSERT_FALSE(receive_starting(m_alice.peer, "SIP/2.0 180").empty());
        m_alice.peer.send_to(m_port, AliceRequest("CANCEL", "sip:bob@127.0.0.1", "inv", 1, ""));
        EXPECT_EQ(status_line(receive_starting(m_alice.peer, "SIP/2.0 487")),
                  "SIP/2.0 487 Request Terminated");
        const std::string cancel = receive_starting(m_bob.peer, "CANCEL ");
        ASSERT_FALSE(cancel.empty()) << callee_final;
        EXPECT_EQ(header_value(cancel, "Call-ID"), header_value(invite, "Call-ID"));
        Answer(m_bob, cancel, "200 OK");
        Answer(m_bob, invite, callee_final);
        EXPECT_FALSE(receive_starting(m_bob.peer, "ACK ").empty()) << callee_final;
        EXPECT_EQ(!receive_starting(m_bob.peer, "BYE ", 500).empty(), expect_bye) << callee_final;
        ASSERT_TRUE(kztest::wait_until([&] { return !m_env.Reports().empty(); }));
        EXPECT_EQ(m_env.Reports().back(), "487 Call cancelled");
        TearDown();
        SetUp();
    }
}

TEST_F(ProxySessionTest, UnansweredSessionsEndAfter120Seconds) {
    for (const auto& [directive, callee_cancelled] :
         {std::pair<std::optional<std::string>, bool>{std::nullopt, true}, {"sip:undefined", false}}) {
        m_env.SetDirective(directive);
        m_alice.peer.send_to(m_port, AliceRequest("INVITE", "sip:bob@127.0.0.1", "inv", 1, ""));
        ASSERT_FALSE(receive_starting(m_alice.peer, "SIP/2.0 100").empty());
        if (callee_cancelled) {
            const std::string invite = receive_starting(m_bob.peer, "INVITE ");
            ASSERT_FALSE(invite.empty());
            Answer(m_bob, invite, "100 Trying");
        }
        Advance(119);
        EXPECT_TRUE(m_env.Reports().empty());
        Advance(3);
        EXPECT_EQ(status_line(receive_starting(m_alice.peer, "SIP/2.0 408")), "SIP/2.0 408 Request Timeout");
        EXPECT_EQ(!receive_starting(m_bob.peer, "CANCEL ", 300).empty(), callee_cancelled);
        ASSERT_EQ(m_env.Reports().size(), 1u);
        EXPECT_EQ(m_env.At(0).rfind("408 ", 0), 0u);
        TearDown();
        SetUp();
    }
}

TEST_F(ProxySessionTest, GivenDestinationRoutesAWaitingCallWithoutWaitingForTheClock) {
    m_env.SetDirective("sip:undefined");
    m_alice.peer.send_to(m_port, AliceRequest("INVITE", "sip:bob@127.0.0.1", "inv", 1, ""));
    ASSERT_FALSE(receive_starting(m_alice.peer, "SIP/2.0 100").empty());
    EXPECT_TRUE(m_bob.peer.drain(100).empty());
    EXPECT_EQ(m_server->ProxySetNewCallSessionAddr(0, m_env.Connection(), ("<" + BobURI() + ">").c_str()),
              1u);
    // The clock stands still: only the loop's own pass can route the call.
    EXPECT_FALSE(receive_starting(m_bob.peer, "INVITE ", 500).empty());
    EXPECT_EQ(m_server->ProxySetNewCallSessionAddr(0, 12345, "<sip:x@127.0.0.1>"), 0u);
}

TEST_F(ProxySessionTest, WithoutRecordRouteTheSessionEndsAtThe200) {
    Register(m_bob, "127.0.0.2");
    const std::string invite = Call("127.0.0.2");
    ASSERT_FALSE(invite.empty());
    EXPECT_EQ(header_value(invite, "Record-Route"), "");
    Answer(m_bob, invite, "200 OK");
    ASSERT_FALSE(receive_starting(m_alice.peer, "SIP/2.0 200").empty());
    ASSERT_TRUE(kztest::wait_until([&] { return !m_env.Reports().empty(); }));
    EXPECT_EQ(m_env.At(0), "0 Succeed");
    m_alice.peer.send_to(m_port, AliceRequest("BYE", BobURI(), "bye", 2, "far1", "", "127.0.0.2"));
    EXPECT_TRUE(receive_starting(m_bob.peer, "BYE ", 500).empty());
    EXPECT_EQ(m_env.Reports().size(), 1u);
}

// Alice-bob and carol-dave joined as alice-carol is kzhost_proxy.sh's "join" (bob and dave hung up,
// both ends reported "Success - Joined", the joined call ended by alice). Here the offers made for the
// join swap the kept parties' media, and a refused one leaves both calls as they were: alice, who had
// accepted, is offered bob's media again, nobody is hung up, and her call ends like any other.
TEST_F(ProxySessionTest, TwoCallsAreJoinedOrLeftAsTheyWere) {
    for (const char* carol_answers : {"488 Not Acceptable Here", "491 Request Pending"}) {
        SCOPED_TRACE(carol_answers);
        Phone carol{"carol"}, dave{"dave"};
        for (const Phone* p : {&carol, &dave}) {
            m_server->ProxySetUserInfo(0, p->name.c_str(), "", 1);
            m_server->ProxySetUserAuthType(0, p->name.c_str(), 2);
            Register(*p, "127.0.0.1");
        }
        const uint16_t alice_rtp = 4000, bob_rtp = 4002, carol_rtp = 4004, dave_rtp = 4006;
        const uint32_t first = Establish(m_alice, m_bob, "join-1", alice_rtp, bob_rtp);
        const uint32_t second = Establish(carol, dave, "join-2", carol_rtp, dave_rtp);
        EXPECT_EQ(m_server->ProxyConnectCallSessions(0, first, 0, 0, first, 1), 0u); // one call with itself
        ASSERT_EQ(m_server->ProxyConnectCallSessions(0, first, 0, 0, second, 0), 1u);
        EXPECT_EQ(m_server->ProxyConnectCallSessions(0, first, 0, 0, second, 0), 0u); // already joining

        const std::string to_alice = receive_starting(m_alice.peer, "INVITE ");
        const std::string to_carol = receive_starting(carol.peer, "INVITE ");
        EXPECT_EQ(sdp_port(to_alice), carol_rtp);
        EXPECT_EQ(sdp_port(to_carol), alice_rtp);
        EXPECT_EQ(header_value(to_carol, "Call-ID"), "join-2");
        Answer(m_alice, to_alice, "200 OK", sdp(alice_rtp));
        EXPECT_FALSE(receive_starting(m_alice.peer, "ACK ").empty());
        Answer(carol, to_carol, carol_answers);
        EXPECT_FALSE(receive_starting(carol.peer, "ACK ").empty());
        const std::string back = receive_starting(m_alice.peer, "INVITE ");
        EXPECT_EQ(sdp_port(back), bob_rtp);
        Answer(m_alice, back, "200 OK", sdp(alice_rtp));
        EXPECT_FALSE(receive_starting(m_alice.peer, "ACK ").empty());
        EXPECT_TRUE(receive_starting(m_bob.peer, "BYE ", 300).empty());
        EXPECT_TRUE(receive_starting(dave.peer, "BYE ", 300).empty());

        m_alice.peer.send_to(m_port, CallerRequest(m_alice, m_bob, "join-1", "BYE", 3, "far1"));
        const std::string bye = receive_starting(m_bob.peer, "BYE ");
        ASSERT_FALSE(bye.empty());
        Answer(m_bob, bye, "200 OK");
        EXPECT_EQ(status_line(receive_starting(m_alice.peer, "SIP/2.0 ")), "SIP/2.0 200 OK");
        ASSERT_TRUE(kztest::wait_until([&] { return !m_env.Reports().empty(); }));
        EXPECT_EQ(m_env.Reports(), std::vector<std::string>{"0 Success"});
        TearDown();
        SetUp();
    }
}

TEST_F(ProxySessionTest, RingTimeoutCancelsAStillRingingCallee) {
    m_env.SetDirective(BobURI() + "|RingTimeout<5>");
    const std::string invite = Call();
    ASSERT_FALSE(invite.empty());
    Answer(m_bob, invite, "180 Ringing");
    ASSERT_FALSE(receive_starting(m_alice.peer, "SIP/2.0 180").empty());
    Advance(5);
    EXPECT_TRUE(receive_starting(m_bob.peer, "CANCEL ", 200).empty());
    Advance(2);
    const std::string cancel = receive_starting(m_bob.peer, "CANCEL ");
    ASSERT_FALSE(cancel.empty());
    Answer(m_bob, cancel, "200 OK");
    Answer(m_bob, invite, "487 Request Terminated");
    EXPECT_FALSE(receive_starting(m_bob.peer, "ACK ").empty());
    EXPECT_EQ(status_line(receive_starting(m_alice.peer, "SIP/2.0 4")), "SIP/2.0 408 Request Timeout");
    ASSERT_TRUE(kztest::wait_until([&] { return !m_env.Reports().empty(); }));
    EXPECT_EQ(m_env.At(0).rfind("408 ", 0), 0u);
}

// A caller's INVITE from a new address moves its record only when the caller may: a user without
// authentication may, an unproven caller of a user that authenticates may not.
TEST_F(ProxySessionTest, CallerRecordFollowsItsInviteWhenTheCallerMay) {
    for (const auto& [alice_auth_type, may_move] : {std::pair{2, true}, {0, false}}) {
        m_server->ProxySetUserAuthType(0, "alice", alice_auth_type);
        Phone moved{"alice"};
        moved.peer.send_to(m_port, CallerRequest(moved, m_bob, "moving", "INVITE", 1, ""));
        ASSERT_FALSE(receive_starting(m_bob.peer, "INVITE ").empty());
        m_bob.peer.send_to(m_port, CallerRequest(m_bob, m_alice, "back", "INVITE", 1, ""));
        EXPECT_EQ(!receive_starting(moved.peer, "INVITE ", 700).empty(), may_move);
        EXPECT_EQ(!receive_starting(m_alice.peer, "INVITE ", 300).empty(), !may_move);
        m_bob.peer.drain(50);
        TearDown();
        SetUp();
    }
}

// "NewSession" on a site that does not record-route: the callee gets a dialog of its own and this
// server stays in the call to its BYE.
TEST_F(ProxySessionTest, NewSessionKeepsTheServerInACallWithADialogOfItsOwn) {
    Register(m_bob, "127.0.0.2");
    m_env.SetDirective(BobURI() + "|NewSession");
    const std::string invite = Call("127.0.0.2");
    ASSERT_FALSE(invite.empty());
    EXPECT_NE(header_value(invite, "Record-Route"), "");
    EXPECT_NE(header_value(invite, "Call-ID"), m_call_id);
    EXPECT_EQ(header_value(invite, "From").find("tag=alice"), std::string::npos);
    Answer(m_bob, invite, "200 OK");
    ASSERT_FALSE(receive_starting(m_alice.peer, "SIP/2.0 200").empty());
    m_alice.peer.send_to(m_port, AliceRequest("ACK", BobURI(), "ack", 1, "far1", "", "127.0.0.2"));
    EXPECT_FALSE(receive_starting(m_bob.peer, "ACK ").empty());
    EXPECT_TRUE(m_env.Reports().empty());
    m_alice.peer.send_to(m_port, AliceRequest("BYE", BobURI(), "bye", 2, "far1", "", "127.0.0.2"));
    const std::string bye = receive_starting(m_bob.peer, "BYE ");
    EXPECT_EQ(header_value(bye, "Call-ID"), header_value(invite, "Call-ID"));
}

TEST(ProxyRecordRoute, OwnEntryNamesTheAddressFacingALocalCaller) {
    // Each value with what it becomes, "" when left alone.
    const std::pair<const char*, const char*> cases[] = {
        {"<sip:198.51.100.7:5070;lr>", "<sip:10.0.0.2:5070;lr>"},
        {"<sip:198.51.100.7:5080;lr>", ""}, // another port: another proxy
        {"<sip:203.0.113.9:5070;lr>", ""},  // another proxy
        {"<sip:10.0.0.2:5070;lr>", ""},     // already facing
    };
    for (const auto& [value, adjusted] : cases)
        EXPECT_EQ(proxy_route::RecordRouteToward(value, "198.51.100.7", 5070, "10.0.0.2").value_or(""),
                  adjusted)
            << value;
    EXPECT_EQ(proxy_route::FacingAddress("127.0.0.1", 5060).value_or(""), "127.0.0.1");
    EXPECT_FALSE(proxy_route::FacingAddress("192.0.2.1", 5060)); // not a local network
}

} // namespace
