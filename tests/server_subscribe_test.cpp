// Subscriptions and text messages of an account against a peer on 127.0.0.1 that plays its
// registrar, notifier and message recipient; time moves through a clock the test owns.
#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "sipstack/sip_group.h"
#include "support/clocked_server.h"
#include "support/loopback_config.h"
#include "support/server_reports.h"
#include "support/sip_dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

using kztest::header_value;

namespace {

class RecordingEnv : public KZAPI::CKZAPIEnv, public kztest::ServerReports {
public:
    void Send_RegStatus(int, int, int) override {}
    void Send_SubscribeStatus(int account, int subscribed, int seconds) override {
        Add("subscription " + std::to_string(account) + " " + std::to_string(subscribed) + " " +
            std::to_string(seconds));
    }
    void Send_MessageTextDelivered(int id, int code, const char* reason) override {
        Add("delivered " + std::to_string(id) + " " + std::to_string(code) + " " + reason);
    }
    void Send_NotifySimpleMessageSummary(const char* waiting, const char* account,
                                         const char* voice) override {
        Add(std::string("summary ") + waiting + " " + account + " " + voice);
    }
    void FireOn_Notify(int account, const char*, const char* event, const char* state, const char* type,
                       const char* body) override {
        Add("notify " + std::to_string(account) + " " + event + " " + state + " " + type + " " + body);
    }
};

class SubscriptionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = kztest::free_port_pair();
        kztest::configure_loopback_server(
            m_port, {
                        {"kzsrv.sip.keep.alive.msg", "0"},
                        {"kzsrv.sip.reg.client.num", "1"},
                        {"kzsrv.sip.reg1.username", "alice"},
                        {"kzsrv.sip.reg1.password", "s3cret"},
                        {"kzsrv.sip.reg1.domain", "127.0.0.1:" + std::to_string(m_peer.port())},
                        {"kzsrv.sip.reg1.subscribe", "1"},
                        {"kzsrv.sip.reg1.subscribe.expire", "120"},
                        {"kzsrv.sip.reg1.subscribe.accept", "1"},
                        {"kzsrv.sip.reg1.subscribe.addr", "bob@127.0.0.1; <sip:carol@127.0.0.1>"},
                    });
        ASSERT_TRUE(m_server.Start(&m_env));
    }
    void Advance(int seconds) { m_server.Advance(seconds); }
    std::string Receive(const std::string& method) {
        return kztest::receive_starting(m_peer, method + " ", 2000);
    }
    void Reply(const std::string& request, const std::string& status, const std::string& extra = "") {
        m_peer.send_to(m_port, kztest::response_to(request, status, m_peer.port(), extra));
    }
    void Register() {
        Advance(3);
        const std::string reg = Receive("REGISTER");
        ASSERT_FALSE(reg.empty());
        Reply(reg, "200 OK", "Expires: 3600\r\n");
        // The next second's checks must find the account registered, however busy the machine.
        ASSERT_TRUE(kztest::wait_until(
            [&] {
                int registered = 0, seconds = 0;
                return m_server->GetRegStatus(0, &registered, &seconds) && registered;
            },
            3000));
    }
    static int cseq(const std::string& request) { return std::atoi(header_value(request, "CSeq").c_str()); }
    // Of the SUBSCRIBEs to `to` received since the last look, the one with the highest CSeq (the
    // stack's retransmissions repeat older ones); the one seen before when none came. `newer`
    // waits for one above what was seen.
    std::string Latest(const std::string& to, int newer = 0) {
        std::string& seen = m_latest[to];
        const int floor = cseq(seen) + newer;
        kztest::wait_until(
            [&] {
                for (const std::string& m : m_peer.drain(100)) {
                    if (m.rfind("SUBSCRIBE ", 0) == 0) {
                        std::string& latest =
                            m_latest[header_value(m, "To").substr(0, header_value(m, "To").find(';'))];
                        if (cseq(m) >= cseq(latest)) latest = m;
                    }
                }
                return cseq(seen) >= std::max(floor, 1);
            },
            3000);
        return seen;
    }
    static std::string Challenge() {
        return "Proxy-Authenticate: Digest realm=\"kz.test\", nonce=\"77aa\", qop=\"auth\"\r\n";
    }

    uint16_t m_port = 0;
    KZAPI::CKZManualClock m_clock{2000001};
    RecordingEnv m_env;
    kztest::UdpPeer m_peer;
    kztest::ClockedServer m_server{m_clock};
    std::map<std::string, std::string> m_latest;
};

} // namespace

TEST_F(SubscriptionTest, RegisteredAccountSubscribesAnswersAChallengeAndRefreshesInTheSameDialog) {
    Advance(4);
    EXPECT_EQ(Receive("SUBSCRIBE"), "") << "nothing before the account is registered";
    Register();
    Advance(1);
    const struct {
        const char* to;
        const char* uri;
    } expected[] = {{"<sip:bob@127.0.0.1>", "sip:bob@127.0.0.1"},
                    {"<sip:carol@127.0.0.1>", "sip:carol@127.0.0.1"}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.to);
        const std::string subscribe = Latest(e.to);
        ASSERT_FALSE(subscribe.empty());
        EXPECT_EQ(subscribe.rfind(std::string("SUBSCRIBE ") + e.uri + " SIP/2.0", 0), 0u);
        EXPECT_EQ(header_value(subscribe, "Event"), "dialog");
        EXPECT_EQ(header_value(subscribe, "Accept"), "application/dialog-info+xml");
        EXPECT_EQ(header_value(subscribe, "Expires"), "120");
    }
    // Bob's is challenged: the answer carries credentials, its dialog and the next CSeq.
    const std::string first = Latest("<sip:bob@127.0.0.1>");
    Reply(first, "407 Proxy Authentication Required", Challenge());
    const std::string again = Latest("<sip:bob@127.0.0.1>", 1);
    EXPECT_NE(header_value(again, "Proxy-Authorization").find("username=\"alice\""), std::string::npos);
    EXPECT_EQ(header_value(again, "Call-ID"), header_value(first, "Call-ID"));
    EXPECT_EQ(cseq(again), cseq(first) + 1);
    Reply(again, "200 OK", "Expires: 60\r\n");
    EXPECT_EQ(m_env.Next(), "subscription 0 1 60");
    // Carol's, unanswered, has been tried again every five seconds; its latest try is granted.
    Advance(5);
    Reply(Latest("<sip:carol@127.0.0.1>"), "200 OK", "Expires: 600\r\n");
    EXPECT_EQ(m_env.Next(), "subscription 0 1 600");
    // A lifetime of a minute is refreshed when it runs out, under the subscription's Call-ID.
    Advance(54);
    EXPECT_EQ(cseq(Latest("<sip:bob@127.0.0.1>")), cseq(again)) << "no refresh before the minute";
    Advance(1);
    const std::string refresh = Latest("<sip:bob@127.0.0.1>");
    EXPECT_GT(cseq(refresh), cseq(again));
    EXPECT_EQ(header_value(refresh, "Call-ID"), header_value(first, "Call-ID"));
}

TEST_F(SubscriptionTest, EachMessageIsReportedOnceByItsAnswerOrAfterTenSilentSeconds) {
    Register();
    const std::string to = "<sip:bob@127.0.0.1:" + std::to_string(m_peer.port()) + ">";
    const std::string from = "<sip:alice@127.0.0.1:" + std::to_string(m_peer.port()) + ">";
    ASSERT_EQ(m_server->SendMessageText(7, from.c_str(), to.c_str(), "hello bob"), 1u);
    const std::string message = Receive("MESSAGE");
    EXPECT_NE(message.find("\r\n\r\nhello bob"), std::string::npos);
    Reply(message, "202 Accepted"); // a challenged MESSAGE is the kamailio runs' "message" case
    EXPECT_EQ(m_env.Next(), "delivered 7 202 Accepted");

    ASSERT_EQ(m_server->SendMessageText(8, from.c_str(), to.c_str(), "anyone?"), 1u);
    ASSERT_FALSE(Receive("MESSAGE").empty());
    EXPECT_EQ(m_server->SendMessageText(9, from.c_str(), "<sip:127.0.0.1>", "no user"), 0u);
    // Whichever gives up first, the stack's transaction or the ten-second sweep, it is one 408.
    Advance(11);
    EXPECT_EQ(m_env.Next(), "delivered 8 408 Request Timeout");
    EXPECT_EQ(m_env.Next(), "");
    EXPECT_EQ(m_server->GetMessageTextCount(), 0);
}

// A MESSAGE from outside a call is the kamailio runs' "message" case.
TEST_F(SubscriptionTest, NotifiesAndMessagesOutsideCallsReachTheApplicationAndAreAnswered) {
    const struct {
        const char* method;
        const char* headers;
        const char* type;
        const char* body;
        const char* report;
    } cases[] = {
        {"NOTIFY", "Event: message-summary\r\n", "application/simple-message-summary",
         "Messages-Waiting: yes\r\nMessage-Account: sip:alice@127.0.0.1\r\nVoice-Message: 2/8 (0/2)\r\n",
         "summary yes sip:alice@127.0.0.1 2/8 (0/2)"},
        {"NOTIFY", "Event: presence\r\nSubscription-State: active;expires=60\r\n", "application/pidf+xml",
         "<presence/>", "notify 0 presence active;expires=60 application/pidf+xml <presence/>"},
        {"NOTIFY", "Event: reg\r\n", "text/plain", "ignored", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        std::string request = kztest::sip_request(c.method, m_peer.port(), m_port, c.headers);
        request.replace(request.find("Content-Length: 0\r\n\r\n"), std::string::npos,
                        kztest::with_body(c.body, c.type));
        m_peer.send_to(m_port, request);
        EXPECT_EQ(kztest::status_line(kztest::receive_starting(m_peer, "SIP/2.0 ")), "SIP/2.0 200 OK");
        if (*c.report) {
            EXPECT_EQ(m_env.Next(), c.report);
        }
    }
}
