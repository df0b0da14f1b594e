// Message-waiting subscriptions at a proxy site, with a UDP peer on 127.0.0.1 as the user's phone:
// the NOTIFYs must come inside the subscription's dialog. Time moves through the test's clock. The
// first NOTIFY and the one for new counts are what baresip shows in kzhost_proxy.sh's "mwi" phase.
#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "server/CKZSIPServer.h"
#include "support/clocked_server.h"
#include "support/sip_dialog.h"

#include <gtest/gtest.h>

#include <string>

using kztest::header_value;
using kztest::status_line;

namespace {

std::string tag_of(const std::string& header) {
    const size_t at = header.find(";tag=");
    return at == std::string::npos ? "" : header.substr(at + 5, header.find(';', at + 5) - at - 5);
}
int cseq_of(const std::string& message) {
    return std::stoi(header_value(message, "CSeq"));
}

class ProxyMwiTest : public ::testing::Test {
protected:
    void SetUp() override {
        KZAPI::CKZCfgInterface::CFG_Clear();
        m_port = kztest::free_port_pair();
        KZAPI::CKZCfgInterface::CFG_LoadText(
            "kzsrv.sip.ip.address = 127.0.0.1\nkzsrv.sip.ip.port = " + std::to_string(m_port) +
            "\nkzsrv.sip.protocol = 1\nkzsrv.sip.use.nat.addr = 1\nkzsrv.sip.keep.alive.msg = 0\n"
            "kzsrv.sip.proxy.sites.num = 1\nkzsrv.sip.proxy.site1.domain = 127.0.0.1\n");
        ASSERT_TRUE(m_server.Start(&m_env));
        for (const char* user : {"open", "other"}) {
            m_server->ProxySetUserInfo(0, user, "", 1);
            m_server->ProxySetUserAuthType(0, user, 2);
        }
    }
    // open's SUBSCRIBE to mailbox (a refresh when to_tag is given); the answer.
    std::string Subscribe(int expires, const std::string& to_tag = "", const std::string& mailbox = "open") {
        const std::string peer = std::to_string(m_peer.port()), n = std::to_string(++m_cseq);
        m_peer.send_to(
            m_port, "SUBSCRIBE sip:" + mailbox + "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + peer +
                        ";branch=z9hG4bK-m" + n +
                        ";rport\r\nMax-Forwards: 70\r\nFrom: <sip:open@127.0.0.1>;tag=phone\r\nTo: <sip:" +
                        mailbox + "@127.0.0.1>" + (to_tag.empty() ? "" : ";tag=" + to_tag) +
                        "\r\nCall-ID: mwi-1@127.0.0.1\r\nCSeq: " + n +
                        " SUBSCRIBE\r\nContact: <sip:open@127.0.0.1:" + peer +
                        ">\r\nEvent: message-summary\r\nExpires: " + std::to_string(expires) +
                        "\r\nContent-Length: 0\r\n\r\n");
        return kztest::receive_starting(m_peer, "SIP/2.0 ", 2000);
    }
    std::string Notify(const std::string& answer = "200 OK") {
        const std::string notify = kztest::receive_starting(m_peer, "NOTIFY ", 2000);
        if (!notify.empty() && !answer.empty())
            m_peer.send_to(m_port, kztest::response_to(notify, answer, m_peer.port()));
        return notify;
    }
    KZAPI::CKZManualClock m_clock;
    KZAPI::CKZAPIEnv m_env;
    kztest::UdpPeer m_peer;
    kztest::ClockedServer m_server{m_clock};
    uint16_t m_port = 0;
    int m_cseq = 0;
};

TEST_F(ProxyMwiTest, RefreshEndAndErrorDecideWhereTheNextChangeGoes) {
    struct Case {
        const char* what;
        int refresh_expires; // -1: no refresh
        int seconds_later;
        const char* first_answer;
        const char* last_state; // of the NOTIFY the step draws; "" when none
        bool next_change_in_dialog;
    } cases[] = {
        {"refresh", 600, 0, "200 OK", "active;expires=600", true},
        {"refresh beyond the site's longest", 86400, 0, "200 OK", "active;expires=3600", true},
        {"unsubscribe", 0, 0, "200 OK", "terminated", false},
        {"expiry", -1, 300, "200 OK", "terminated;reason=timeout", false},
        {"481 answer", -1, 0, "481 Call/Transaction Does Not Exist", "", false},
    };
    // The unsolicited NOTIFY needs a registration.
    m_peer.send_to(
        m_port,
        "REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(m_peer.port()) +
            ";branch=z9hG4bK-reg\r\nFrom: <sip:open@127.0.0.1>;tag=r\r\nTo: "
            "<sip:open@127.0.0.1>\r\nCall-ID: reg@127.0.0.1\r\nCSeq: 1 REGISTER\r\nContact: "
            "<sip:open@127.0.0.1:" +
            std::to_string(m_peer.port()) + ">\r\nExpires: 3600\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(status_line(kztest::receive_starting(m_peer, "SIP/2.0 ", 2000)), "SIP/2.0 200 OK");
    for (const Case& c : cases) {
        const std::string ok = Subscribe(300);
        const std::string first = Notify(c.first_answer);
        std::string step;
        if (c.refresh_expires >= 0) {
            EXPECT_EQ(status_line(Subscribe(c.refresh_expires, tag_of(header_value(ok, "To")))),
                      "SIP/2.0 200 OK");
            step = Notify();
        }
        m_server.Advance(c.seconds_later);
        if (c.seconds_later) step = Notify();
        EXPECT_EQ(header_value(step, "Subscription-State"), c.last_state) << c.what;
        if (!step.empty()) {
            EXPECT_EQ(cseq_of(step), cseq_of(first) + 1) << c.what;
        }

        m_server->ProxySetUserMsg(0, "open", 1, "sip:open@127.0.0.1", 1, 0, 0, 0);
        m_server.Advance(1);
        const std::string change = Notify();
        EXPECT_EQ(header_value(change, "Call-ID") == "mwi-1@127.0.0.1", c.next_change_in_dialog) << c.what;
        if (c.next_change_in_dialog) Subscribe(0, tag_of(header_value(ok, "To"))), Notify();
    }
}

TEST_F(ProxyMwiTest, OnlyTheOwnMailboxAndKnownDialogsAreServed) {
    EXPECT_EQ(status_line(Subscribe(300, "", "other")), "SIP/2.0 403 Forbidden");
    EXPECT_EQ(status_line(Subscribe(300, "notours")), "SIP/2.0 481 Call/Transaction Does Not Exist");
    EXPECT_TRUE(kztest::receive_starting(m_peer, "NOTIFY ", 300).empty());
}

} // namespace
