// Proxy sites as registrars of their users, against a UDP peer on 127.0.0.1 that plays the
// users' phones. Digests are computed here with OpenSSL; time moves through the test's clock. A dialog
// watcher's NOTIFYs are kzhost_proxy.sh's; that an unknown user is answered like a known one with a
// wrong password is what svwar must find in kzhost_registrar.sh and kzhost_sipvicious.sh.
#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "server/CKZSIPServer.h"
#include "support/clocked_server.h"
#include "support/server_reports.h"
#include "support/sip_dialog.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <thread>
#include <vector>

using kztest::header_value;

namespace {

std::string md5_hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i)
        out += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    return out;
}

// The value of a parameter of a challenge header (quoted or not).
std::string param(const std::string& header, const std::string& name) {
    const size_t at = header.find(name + "=");
    if (at == std::string::npos) return "";
    size_t begin = at + name.size() + 1;
    const bool quoted = header[begin] == '"';
    if (quoted) ++begin;
    return header.substr(begin, header.find(quoted ? "\"" : ",", begin) - begin);
}

class RegistrationsEnv : public KZAPI::CKZAPIEnv, public kztest::ServerReports {
public:
    void FireOn_ProxyUserRegistered(int, const char* user, int seconds, const char*, const char*, uint16_t,
                                    int) override {
        Add(std::string(user) + " " + std::to_string(seconds));
    }
};

// How the phone answers a challenge.
struct Answer {
    bool qop = false, cnonce = false, opaque = false;
    std::string password = "pw-alice";
    std::string nc = "00000001";
};

class ProxySiteTest : public ::testing::Test {
protected:
    void SetUp() override {
        KZAPI::CKZCfgInterface::CFG_Clear();
        m_port = kztest::free_port_pair();
        std::string config =
            "kzsrv.sip.ip.address = 127.0.0.1\nkzsrv.sip.ip.port = " + std::to_string(m_port) +
            "\nkzsrv.sip.protocol = 3\nkzsrv.sip.use.nat.addr = 1\nkzsrv.sip.keep.alive.msg = 0\n"
            "kzsrv.sip.proxy.max.user.reg.expire = 1800\nkzsrv.sip.proxy.sites.num = 4\n"
            "kzsrv.sip.proxy.site1.check.user.status = 1\n"
            "kzsrv.sip.proxy.site2.register.qop = 1\nkzsrv.sip.proxy.site3.register.opaque = 1\n"
            "kzsrv.sip.proxy.site4.register.qop = 1\nkzsrv.sip.proxy.site4.register.opaque = 1\n";
        // One site per domain; every domain a loopback address.
        for (int i = 1; i <= 4; ++i)
            config +=
                "kzsrv.sip.proxy.site" + std::to_string(i) + ".domain = 127.0.0." + std::to_string(i) + "\n";
        KZAPI::CKZCfgInterface::CFG_LoadText(config);
        ASSERT_TRUE(m_server.Start(&m_env));
        for (int site = 0; site < 4; ++site) {
            m_server->ProxySetUserInfo(site, "alice", "pw-alice", 1);
            m_server->ProxySetUserInfo(site, "open", "", 1);
            m_server->ProxySetUserAuthType(site, "open", 2);
        }
    }
    void Advance(int seconds) { m_server.Advance(seconds); }
    void SendRegister(const std::string& user, const std::string& domain, const std::string& extra,
                      const std::string& contact_params = "") {
        const std::string n = std::to_string(++m_sent), peer = std::to_string(m_peer.port());
        m_peer.send_to(m_port, "REGISTER sip:" + domain + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + peer +
                                   ";branch=z9hG4bK-r" + n + ";rport\r\nMax-Forwards: 70\r\nFrom: <sip:" +
                                   user + "@" + domain + ">;tag=f" + n + "\r\nTo: <sip:" + user + "@" +
                                   domain + ">\r\nCall-ID: reg-" + n + "@127.0.0.1\r\nCSeq: " + n +
                                   " REGISTER\r\nContact: <sip:" + user + "@127.0.0.1:" + peer + ">" +
                                   contact_params + "\r\n" + extra + "Content-Length: 0\r\n\r\n");
    }
    std::string Register(const std::string& user, const std::string& domain, const std::string& extra,
                         const std::string& contact_params = "") {
        SendRegister(user, domain, extra, contact_params);
        return kztest::receive_starting(m_peer, "SIP/2.0 ", 2000);
    }
    // The Proxy-Authorization answering challenge for user, as the phone computes it.
    static std::string Authorization(const std::string& challenge, const std::string& user, const Answer& a) {
        const std::string header = header_value(challenge, "Proxy-Authenticate");
        const std::string realm = param(header, "realm"), nonce = param(header, "nonce");
        const std::string uri = "sip:" + realm, cnonce = a.cnonce ? "c0ffee" : "";
        const std::string ha1 = md5_hex(user + ":" + realm + ":" + a.password);
        const std::string ha2 = md5_hex("REGISTER:" + uri);
        const std::string response =
            a.qop ? md5_hex(ha1 + ":" + nonce + ":" + a.nc + ":" + cnonce + ":auth:" + ha2)
                  : md5_hex(ha1 + ":" + nonce + ":" + ha2);
        std::string text = "Proxy-Authorization: Digest username=\"" + user + "\", realm=\"" + realm +
                           "\", nonce=\"" + nonce + "\", uri=\"" + uri + "\", response=\"" + response +
                           "\", algorithm=MD5";
        if (a.cnonce) text += ", cnonce=\"" + cnonce + "\"";
        if (a.qop) text += ", qop=auth, nc=" + a.nc;
        if (a.opaque)
            text += ", opaque=\"" + (param(header, "opaque").empty() ? "x" : param(header, "opaque")) + "\"";
        return text + "\r\n";
    }
    // Challenged first, then answered: the status line of the answer to the credentials.
    std::string Authenticate(const std::string& domain, const Answer& answer,
                             const std::string& user = "alice") {
        const std::string challenge = Register(user, domain, "Expires: 300\r\n");
        if (kztest::status_line(challenge) != "SIP/2.0 407 Proxy Authentication Required") return challenge;
        return kztest::status_line(
            Register(user, domain, "Expires: 300\r\n" + Authorization(challenge, user, answer)));
    }

    KZAPI::CKZManualClock m_clock;
    RegistrationsEnv m_env;
    kztest::UdpPeer m_peer;
    kztest::ClockedServer m_server{m_clock};
    uint16_t m_port = 0;
    int m_sent = 0;
};

TEST_F(ProxySiteTest, GrantedLifetimeFollowsExpiresContactSiteAndUserLimits) {
    struct Case {
        const char* extra;
        const char* contact_params;
        const char* user_max;
        int granted;
    } cases[] = {
        {"Expires: 120\r\n", "", "0", 120},
        {"", ";expires=90", "0", 90},
        {"", "", "0", 1800},
        {"Expires: -1\r\n", "", "0", 1800},
        {"Expires: 5000\r\n", "", "0", 1800},
        {"Expires: 120\r\n", "", "60", 60},
        {"Expires: 120\r\n", "", "5", 120},
        {"Expires: 0\r\n", "", "0", 0},
    };
    for (const Case& c : cases) {
        m_server->ProxySetUserAttr(0, "open", 0, c.user_max);
        const std::string ok = Register("open", "127.0.0.1", c.extra, c.contact_params);
        EXPECT_EQ(kztest::status_line(ok), "SIP/2.0 200 OK") << c.extra << c.contact_params;
        EXPECT_EQ(header_value(ok, "Expires"), std::to_string(c.granted)) << c.extra << c.contact_params;
        ASSERT_FALSE(m_env.Reports().empty());
        EXPECT_EQ(m_env.Reports().back(), "open " + std::to_string(c.granted));
    }
}

// That a challenge offers the qop and opaque its site asks for is what baresip relies on in
// kzhost_registrar.sh and kzhost_sipvicious.sh.
TEST_F(ProxySiteTest, CredentialsMustFollowTheSitesQopAndOpaque) {
    struct Case {
        const char* domain; // which site: .1 neither, .2 qop, .3 opaque, .4 both
        Answer answer;
        bool accepted;
    } cases[] = {
        {"127.0.0.1", {}, true},
        {"127.0.0.1", {.cnonce = true}, false},
        {"127.0.0.1", {.qop = true, .cnonce = true}, true},
        {"127.0.0.1", {.opaque = true}, false},
        {"127.0.0.1", {.password = "wrong"}, false},
        {"127.0.0.2", {}, false},
        {"127.0.0.2", {.qop = true, .cnonce = true}, true},
        {"127.0.0.2", {.qop = true, .cnonce = true, .password = "pw-alice-but-longer"}, false},
        {"127.0.0.3", {.opaque = true}, true},
        {"127.0.0.3", {}, false},
        {"127.0.0.4", {.qop = true, .cnonce = true, .opaque = true}, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Authenticate(c.domain, c.answer),
                  c.accepted ? "SIP/2.0 200 OK" : "SIP/2.0 407 Proxy Authentication Required")
            << c.domain << " qop " << c.answer.qop << " cnonce " << c.answer.cnonce << " opaque "
            << c.answer.opaque << " password " << c.answer.password;
}

TEST_F(ProxySiteTest, OnlyTheFirst39PasswordCharactersCount) {
    const std::string password(39, 'p');
    m_server->ProxySetUserInfo(0, "long", (password + "tail").c_str(), 1);
    EXPECT_EQ(Authenticate("127.0.0.1", {.password = password}, "long"), "SIP/2.0 200 OK");
}

TEST_F(ProxySiteTest, NonceIsAcceptedOnlyWithinSixSecondsOfIssue) {
    for (const auto& [age, accepted] : std::vector<std::pair<int, bool>>{{0, true}, {5, true}, {6, false}}) {
        const std::string challenge = Register("alice", "127.0.0.1", "Expires: 300\r\n");
        m_clock.Advance(age);
        const std::string answer =
            Register("alice", "127.0.0.1", "Expires: 300\r\n" + Authorization(challenge, "alice", {}));
        EXPECT_EQ(kztest::status_line(answer),
                  accepted ? "SIP/2.0 200 OK" : "SIP/2.0 407 Proxy Authentication Required")
            << "nonce " << age << " s old";
    }
    // A nonce the site never issued.
    std::string forged = Register("alice", "127.0.0.1", "Expires: 300\r\n");
    const std::string nonce = param(header_value(forged, "Proxy-Authenticate"), "nonce");
    forged.replace(forged.find(nonce), 2, nonce[0] == '0' ? "1f" : "0f");
    EXPECT_EQ(kztest::status_line(
                  Register("alice", "127.0.0.1", "Expires: 300\r\n" + Authorization(forged, "alice", {}))),
              "SIP/2.0 407 Proxy Authentication Required");
}

TEST_F(ProxySiteTest, AnsweredNonceCountIsNotAcceptedAgain) {
    const std::string challenge = Register("alice", "127.0.0.2", "Expires: 300\r\n");
    auto answer = [&](const char* nc) {
        return kztest::status_line(Register(
            "alice", "127.0.0.2",
            "Expires: 300\r\n" + Authorization(challenge, "alice", {.qop = true, .cnonce = true, .nc = nc})));
    };
    EXPECT_EQ(answer("00000001"), "SIP/2.0 200 OK");
    EXPECT_EQ(answer("00000001"), "SIP/2.0 407 Proxy Authentication Required");
    EXPECT_EQ(answer("00000002"), "SIP/2.0 200 OK");
    // Without qop there is no count: the answer is good once.
    const std::string plain = Register("alice", "127.0.0.1", "Expires: 300\r\n");
    const std::string credentials = "Expires: 300\r\n" + Authorization(plain, "alice", {});
    EXPECT_EQ(kztest::status_line(Register("alice", "127.0.0.1", credentials)), "SIP/2.0 200 OK");
    EXPECT_EQ(kztest::status_line(Register("alice", "127.0.0.1", credentials)),
              "SIP/2.0 407 Proxy Authentication Required");
}

TEST_F(ProxySiteTest, SourceDrawingChallengesFasterThanAnyPhoneIsShutOutForAWhile) {
    struct Case {
        int requests_in_one_second;
        size_t challenged;
        bool answered_next_second;
    };
    for (const Case& c : {Case{200, 200, true}, Case{201, 200, false}}) {
        Advance(1); // a second of its own
        for (int i = 0; i < c.requests_in_one_second; ++i)
            SendRegister(i % 2 ? "alice" : "nobody", "127.0.0.1", "Expires: 300\r\n");
        EXPECT_EQ(m_peer.drain(300).size(), c.challenged) << c.requests_in_one_second;
        Advance(1);
        EXPECT_EQ(!Register("alice", "127.0.0.1", "Expires: 300\r\n").empty(), c.answered_next_second)
            << c.requests_in_one_second;
    }
    Advance(28);
    EXPECT_TRUE(Register("alice", "127.0.0.1", "Expires: 300\r\n").empty())
        << "29 s after the shut-out began";
    Advance(1);
    EXPECT_EQ(kztest::status_line(Register("alice", "127.0.0.1", "Expires: 300\r\n")),
              "SIP/2.0 407 Proxy Authentication Required");
}

TEST_F(ProxySiteTest, SilentUDPUserExpiresSixSecondsAfterUnansweredOptions) {
    ASSERT_EQ(kztest::status_line(Register("open", "127.0.0.1", "Expires: 600\r\n")), "SIP/2.0 200 OK");
    Advance(30);
    const std::string options = kztest::receive_starting(m_peer, "OPTIONS ", 2000);
    ASSERT_FALSE(options.empty());
    m_peer.send_to(m_port, kztest::response_to(options, "200 OK", m_peer.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the answer is taken at this second
    Advance(7);
    EXPECT_EQ(m_env.Reports().back(), "open 600") << "an answered check keeps the registration";
    Advance(23);
    ASSERT_FALSE(kztest::receive_starting(m_peer, "OPTIONS ", 2000).empty());
    Advance(5);
    EXPECT_EQ(m_env.Reports().back(), "open 600");
    Advance(1);
    EXPECT_TRUE(kztest::wait_until([&] { return m_env.Reports().back() == "open 0"; }));
}

// A user silent over UDP is SilentUDPUserExpiresSixSecondsAfterUnansweredOptions.
TEST_F(ProxySiteTest, OnlyUsersRegisteredOverUDPAreProbed) {
    kztest::TcpPeer tcp(m_port);
    ASSERT_TRUE(tcp.connected());
    const std::string via = "127.0.0.1:" + std::to_string(tcp.local_port());
    tcp.send(
        "REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TCP " + via +
        ";branch=z9hG4bK-t1\r\nMax-Forwards: 70\r\nFrom: <sip:open@127.0.0.1>;tag=t1\r\n"
        "To: <sip:open@127.0.0.1>\r\nCall-ID: tcp-1@127.0.0.1\r\nCSeq: 1 REGISTER\r\nContact: <sip:open@" +
        via + ";transport=tcp>\r\nExpires: 600\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(kztest::status_line(tcp.receive(2000)), "SIP/2.0 200 OK");
    Advance(31);
    const std::string probe = tcp.receive(1000);
    EXPECT_NE(probe.rfind("OPTIONS ", 0), 0u) << probe;
    Advance(7);
    EXPECT_FALSE(kztest::wait_until([&] { return m_env.Reports().back() != "open 600"; }, 500));
    EXPECT_TRUE(m_peer.drain().empty()) << "a TCP user is not probed over UDP either";
}

TEST_F(ProxySiteTest, RegistrationNotRefreshedRunsOutAtItsLifetime) {
    ASSERT_EQ(kztest::status_line(Register("open", "127.0.0.2", "Expires: 10\r\n")), "SIP/2.0 200 OK");
    Advance(9);
    EXPECT_EQ(m_env.Reports().back(), "open 10");
    Advance(1);
    EXPECT_TRUE(kztest::wait_until([&] { return m_env.Reports().back() == "open 0"; }));
}

TEST_F(ProxySiteTest, MessageWaitingReachesTheRegisteredUser) {
    ASSERT_EQ(kztest::status_line(Register("open", "127.0.0.2", "Expires: 600\r\n")), "SIP/2.0 200 OK");
    m_server->ProxySetUserMsg(1, "open", 1, "sip:open@127.0.0.2", 3, 1, 2, 0);
    Advance(1);
    const std::string notify = kztest::receive_starting(m_peer, "NOTIFY ", 2000);
    EXPECT_EQ(header_value(notify, "Event"), "message-summary");
    EXPECT_EQ(header_value(notify, "Subscription-State"), "active");
    EXPECT_EQ(header_value(notify, "Content-Type"), "application/simple-message-summary");
    EXPECT_EQ(notify.substr(notify.find("\r\n\r\n") + 4),
              "Messages-Waiting: yes\r\nMessage-Account: sip:open@127.0.0.2\r\nVoice-Message: 3/1 (2/0)\r\n");
}

} // namespace
