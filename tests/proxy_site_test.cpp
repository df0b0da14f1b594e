// Proxy sites as registrars of their users, against a UDP peer on 127.0.0.1 that plays the
// users' phones. Digests are computed here with OpenSSL; time moves through the test's clock.
#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "server/CKZSIPServer.h"
#include "support/clocked_server.h"
#include "support/sip_dialog.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <mutex>
#include <set>
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

// The names of a message's header lines, as a set.
std::set<std::string> header_names(const std::string& text) {
    std::set<std::string> names;
    for (size_t p = text.find("\r\n"); p != std::string::npos && p + 2 < text.size();
         p = text.find("\r\n", p + 2)) {
        const size_t colon = text.find(':', p + 2), end = text.find("\r\n", p + 2);
        if (colon < end) names.insert(text.substr(p + 2, colon - p - 2));
    }
    return names;
}

class RegistrationsEnv : public KZAPI::CKZAPIEnv {
public:
    void FireOn_ProxyUserRegistered(int, const char* user, int seconds, const char*, const char*, uint16_t,
                                    int) override {
        std::lock_guard lock(m_mutex);
        m_reports.push_back(std::string(user) + " " + std::to_string(seconds));
    }
    std::vector<std::string> Reports() {
        std::lock_guard lock(m_mutex);
        return m_reports;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_reports;
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
    // The challenge itself offers what the site asks for.
    const struct {
        const char* domain;
        bool qop, opaque;
    } offers[] = {{"127.0.0.1", false, false},
                  {"127.0.0.2", true, false},
                  {"127.0.0.3", false, true},
                  {"127.0.0.4", true, true}};
    for (const auto& [domain, qop, opaque] : offers) {
        const std::string offer =
            header_value(Register("alice", domain, "Expires: 300\r\n"), "Proxy-Authenticate");
        EXPECT_EQ(param(offer, "qop") == "auth", qop) << domain << ": " << offer;
        EXPECT_EQ(!param(offer, "opaque").empty(), opaque) << domain << ": " << offer;
    }
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

TEST_F(ProxySiteTest, UnknownUserAnswersLikeKnownUserWithWrongPassword) {
    for (const char* domain : {"127.0.0.1", "127.0.0.4"}) {
        const Answer wrong{.qop = true, .cnonce = true, .opaque = true, .password = "guess"};
        std::vector<std::string> answers;
        for (const char* user : {"alice", "nobody"}) {
            const std::string challenge = Register(user, domain, "Expires: 300\r\n");
            answers.push_back(challenge);
            answers.push_back(
                Register(user, domain, "Expires: 300\r\n" + Authorization(challenge, user, wrong)));
        }
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(kztest::status_line(answers[i]), kztest::status_line(answers[i + 2])) << domain;
            EXPECT_EQ(header_names(answers[i]), header_names(answers[i + 2])) << domain;
        }
        std::set<std::string> nonces;
        for (const std::string& a : answers)
            nonces.insert(param(header_value(a, "Proxy-Authenticate"), "nonce"));
        EXPECT_EQ(nonces.size(), answers.size()) << "every challenge carries a fresh nonce";
    }
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

TEST_F(ProxySiteTest, OnlyUsersRegisteredOverUDPAreProbed) {
    struct Case {
        bool tcp;
        const char* report_after_silence; // nobody answers an OPTIONS
    };
    for (const Case& c : {Case{true, "open 600"}, Case{false, "open 0"}}) {
        kztest::TcpPeer tcp(m_port);
        ASSERT_TRUE(tcp.connected());
        const std::string via = c.tcp ? "TCP 127.0.0.1:" + std::to_string(tcp.local_port())
                                      : "UDP 127.0.0.1:" + std::to_string(m_peer.port());
        const std::string n = std::to_string(++m_sent);
        const std::string request = "REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/" + via +
                                    ";branch=z9hG4bK-t" + n +
                                    "\r\nMax-Forwards: 70\r\nFrom: <sip:open@127.0.0.1>;tag=t" + n +
                                    "\r\nTo: <sip:open@127.0.0.1>\r\nCall-ID: tcp-" + n +
                                    "@127.0.0.1\r\nCSeq: 1 REGISTER\r\n"
                                    "Contact: <sip:open@" +
                                    via.substr(4) + (c.tcp ? ";transport=tcp" : "") +
                                    ">\r\nExpires: 600\r\nContent-Length: 0\r\n\r\n";
        c.tcp ? tcp.send(request) : m_peer.send_to(m_port, request);
        const std::string ok = c.tcp ? tcp.receive(2000) : kztest::receive_starting(m_peer, "SIP/2.0 ", 2000);
        ASSERT_EQ(kztest::status_line(ok), "SIP/2.0 200 OK") << c.tcp;
        Advance(31);
        const std::string probe =
            c.tcp ? tcp.receive(1000) : kztest::receive_starting(m_peer, "OPTIONS ", 2000);
        EXPECT_EQ(probe.rfind("OPTIONS ", 0) == 0, !c.tcp) << probe;
        Advance(7);
        kztest::wait_until([&] { return m_env.Reports().back() == c.report_after_silence; }, 500);
        EXPECT_EQ(m_env.Reports().back(), c.report_after_silence) << c.tcp;
        if (c.tcp) EXPECT_TRUE(m_peer.drain().empty()) << "a TCP user is not probed over UDP either";
    }
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

TEST_F(ProxySiteTest, DialogWatcherIsToldTheWatchedUsersState) {
    m_server->ProxySetUserInfo(1, "bob", "", 1);
    m_server->ProxySetUserAuthType(1, "bob", 2);
    ASSERT_EQ(kztest::status_line(Register("open", "127.0.0.2", "Expires: 600\r\n")), "SIP/2.0 200 OK");
    ASSERT_EQ(kztest::status_line(Register("bob", "127.0.0.2", "Expires: 600\r\n")), "SIP/2.0 200 OK");
    const std::string peer = std::to_string(m_peer.port());
    m_peer.send_to(m_port,
                   "SUBSCRIBE sip:bob@127.0.0.2 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + peer +
                       ";branch=z9hG4bK-s1;rport\r\nMax-Forwards: 70\r\nFrom: <sip:open@127.0.0.2>;tag=w1\r\n"
                       "To: <sip:bob@127.0.0.2>\r\nCall-ID: watch-1@127.0.0.1\r\nCSeq: 1 SUBSCRIBE\r\n"
                       "Contact: <sip:open@127.0.0.1:" +
                       peer + ">\r\nEvent: dialog\r\nExpires: 300\r\nContent-Length: 0\r\n\r\n");
    const std::string ok = kztest::receive_starting(m_peer, "SIP/2.0 ", 2000);
    ASSERT_EQ(kztest::status_line(ok), "SIP/2.0 200 OK");
    EXPECT_EQ(header_value(ok, "Expires"), "300");
    const std::string to_tag = param(header_value(ok, "To"), "tag");
    ASSERT_EQ(to_tag.size(), 8u);

    for (const auto& [direction, state, line] :
         std::vector<std::tuple<const char*, const char*, std::string>>{
             {"initiator", "confirmed", "<dialog id=\"bob\" direction=\"initiator\">"},
             {"", "terminated", "<dialog id=\"bob\" >"}}) {
        EXPECT_EQ(m_server->ProxyUpdateUserState(1, "bob", direction, state), 1u);
        const std::string notify = kztest::receive_starting(m_peer, "NOTIFY ", 2000);
        EXPECT_EQ(header_value(notify, "Call-ID"), "watch-1@127.0.0.1");
        EXPECT_EQ(header_value(notify, "Event"), "dialog");
        EXPECT_EQ(header_value(notify, "Subscription-State"), "active");
        EXPECT_EQ(header_value(notify, "Content-Type"), "application/dialog-info+xml");
        EXPECT_EQ(notify.substr(notify.find("\r\n\r\n") + 4),
                  "<?xml version=\"1.0\"?>\r\n<dialog-info xmlns=\"urn:ietf:params:xml:ns:dialog-info\" "
                  "version=\"1\" state=\"full\" entity=\"sip:bob@127.0.0.2\">\r\n" +
                      line + "\r\n<state>" + state + "</state>\r\n</dialog>\r\n</dialog-info>\r\n");
    }
}

} // namespace
