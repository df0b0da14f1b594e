// Account registration against a registrar of the test's own on 127.0.0.1: the REGISTERs the
// server sends, when it sends them (through a clock the test moves), and what it makes of the
// registrar's answers. A second challenge to the credentials (a wrong password) is the kamailio
// runs' "wrong-password" case.
#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/KZDigest.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPServer.h"
#include "support/clocked_server.h"
#include "support/log_capture.h"
#include "support/loopback_config.h"
#include "support/server_reports.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

constexpr int64_t kLoadTime = 1000001; // not a multiple of ten: no keep-alive at load

constexpr auto& header = kztest::header_value;

int cseq_number(const std::string& message) {
    return std::atoi(header(message, "CSeq").c_str());
}

// The parameters of a Digest credentials header, quotes removed.
std::map<std::string, std::string> credentials(const std::string& value) {
    std::map<std::string, std::string> out;
    const std::regex param(R"(([a-z]+)=(\"([^\"]*)\"|[^, ]*))");
    for (auto it = std::sregex_iterator(value.begin(), value.end(), param); it != std::sregex_iterator();
         ++it)
        out[(*it)[1].str()] = (*it)[3].matched ? (*it)[3].str() : (*it)[2].str();
    return out;
}

// The digest response for the credentials sent, computed from their own fields and the password.
std::string digest_of(std::map<std::string, std::string> c, const std::string& password) {
    KZAPI::HASHHEX ha1, response, no_entity = {};
    KZAPI::KZ_DigestCalcHA1("MD5", c["username"].c_str(), c["realm"].c_str(), password.c_str(),
                            c["nonce"].c_str(), c["cnonce"].c_str(), ha1);
    KZAPI::KZ_DigestCalcResponse(ha1, c["nonce"].c_str(), c["nc"].c_str(), c["cnonce"].c_str(),
                                 c["qop"].c_str(), "REGISTER", c["uri"].c_str(), no_entity, response);
    return response;
}

// What the server reported to the host: "account registered seconds", "account code reason".
struct RecordingEnv : KZAPI::CKZAPIEnv {
    void Send_RegStatus(int account, int registered, int seconds) override {
        statuses.Add(std::to_string(account) + " " + std::to_string(registered) + " " +
                     std::to_string(seconds));
    }
    void Send_RegFailure(int account, int code, const char* reason) override {
        failures.Add(std::to_string(account) + " " + std::to_string(code) + " " + reason);
    }
    kztest::ServerReports statuses, failures;
};

// The registrar: receives REGISTERs (keep-alive packets are skipped) and answers them.
class Registrar {
public:
    uint16_t port() const { return m_peer.port(); }

    // The next REGISTER within timeout_ms, or "".
    std::string Next(int timeout_ms = 2000) {
        std::string text;
        const bool got = kztest::wait_until(
            [&] { return (text = m_peer.receive(50)).rfind("REGISTER ", 0) == 0; }, timeout_ms);
        return got ? m_last = text : "";
    }
    // True when nothing but keep-alive packets arrives for a moment.
    bool Quiet() { return Next(300).empty(); }
    const std::string& Last() const { return m_last; }
    // True when a keep-alive packet arrives within timeout_ms.
    bool KeepAlive(int timeout_ms) {
        return kztest::wait_until([&] { return m_peer.receive(50) == "  "; }, timeout_ms);
    }

    void Answer(const std::string& status, const std::string& extra = "", const std::string& seen_as = "") {
        const std::string request =
            std::regex_replace(m_last, std::regex(";rport"), seen_as.empty() ? ";rport" : seen_as);
        std::string response = kztest::response_to(request, std::stoi(status), status.substr(4), "reg1");
        m_peer.send_to(m_server_port, response.insert(response.find("Content-Length: "), extra));
    }
    // seen_as replaces the Via's rport with the received and rport parameters of a NAT in between.
    void Challenge(const std::string& qop_param, const std::string& nonce = "4a5b6c",
                   const std::string& seen_as = "") {
        Answer("401 Unauthorized",
               "WWW-Authenticate: Digest realm=\"kz.test\", nonce=\"" + nonce + "\", algorithm=MD5" +
                   qop_param + "\r\n",
               seen_as);
    }
    void Grant(int seconds) {
        Answer("200 OK",
               "Contact: " + header(m_last, "Contact") + ";expires=" + std::to_string(seconds) + "\r\n");
    }

    void SetServerPort(uint16_t port) { m_server_port = port; }

private:
    kztest::UdpPeer m_peer;
    std::string m_last;
    uint16_t m_server_port = 0;
};

class Registration : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = kztest::free_port_pair();
        m_registrar.SetServerPort(m_port);
        kztest::configure_loopback_server(
            m_port, {{"kzsrv.sip.keep.alive.msg", "0"},
                     {"kzsrv.sip.reg.client.num", "1"},
                     {"kzsrv.sip.reg1.username", "alice"},
                     {"kzsrv.sip.reg1.password", "s3cret"},
                     {"kzsrv.sip.reg1.domain", "127.0.0.1:" + std::to_string(m_registrar.port())}});
    }

    void StartServer() { ASSERT_TRUE(m_server.Start(&m_env)); }
    void StopServer() {
        m_server.Stop();
        m_env.statuses.Clear();
        m_env.failures.Clear();
    }
    // Starts the server and returns the first REGISTER, sent three seconds after the load.
    std::string FirstRegister() {
        StartServer();
        Advance(3);
        return m_registrar.Next();
    }
    void Advance(int seconds) { m_server.Advance(seconds); }
    void AdvanceTo(int64_t second) { Advance(static_cast<int>(second - m_clock.NowSeconds())); }

    // Load, first REGISTER three seconds later, challenge with qop auth, granted lifetime.
    void Register(int granted) {
        ASSERT_FALSE(FirstRegister().empty());
        m_registrar.Challenge(", qop=\"auth\"");
        ASSERT_FALSE(m_registrar.Next().empty());
        m_registrar.Grant(granted);
        ASSERT_EQ(m_env.statuses.At(0), "0 1 " + std::to_string(granted));
    }

    uint16_t m_port = 0;
    KZAPI::CKZManualClock m_clock{kLoadTime};
    RecordingEnv m_env;
    Registrar m_registrar;
    kztest::ClockedServer m_server{m_clock};
};

} // namespace

TEST_F(Registration, FirstRegisterThreeSecondsAfterLoadThenCredentialsThenRegistered) {
    StartServer();
    Advance(2);
    EXPECT_TRUE(m_registrar.Quiet()) << "nothing before the third second";
    Advance(1);
    const std::string first = m_registrar.Next();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(header(first, "Authorization"), "");
    EXPECT_EQ(header(first, "Expires"), "3600");
    EXPECT_EQ(header(first, "Contact"), "<sip:alice@127.0.0.1:" + std::to_string(m_port) + ">");
    EXPECT_EQ(header(first, "To"), "<sip:alice@127.0.0.1:" + std::to_string(m_registrar.port()) + ">");
    EXPECT_NE(header(first, "Via").find(";rport"), std::string::npos);
    EXPECT_EQ(header(first, "CSeq"), "1 REGISTER");

    m_registrar.Challenge(", qop=\"auth\"");
    const std::string second = m_registrar.Next();
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(header(second, "Call-ID"), header(first, "Call-ID"));
    EXPECT_EQ(header(second, "From"), header(first, "From"));
    EXPECT_EQ(cseq_number(second), 2);
    EXPECT_FALSE(header(second, "Authorization").empty()); // its fields are checked per kind of challenge

    int registered = -1, seconds = -1;
    m_server->GetRegStatus(0, &registered, &seconds);
    EXPECT_EQ(registered, 0);
    m_registrar.Grant(3600);
    EXPECT_EQ(m_env.statuses.At(0), "0 1 3600");
    m_server->GetRegStatus(0, &registered, &seconds);
    EXPECT_EQ(registered, 1);
    EXPECT_EQ(seconds, 3600);
}

// Each row is answered in turn: the refresh comes at due, not a second before, and asks for the
// configured lifetime again whatever was granted last.
TEST_F(Registration, RefreshesTwoSecondsBeforeLongLifetimesEndAndAtTheEndOfShortOnes) {
    const std::pair<int, int> rows[] = {
        {3600, 3598}, {1800, 1798}, {61, 59}, {60, 60}, {20, 20}}; // granted, due
    Register(rows[0].first);
    const std::string call_id = header(m_registrar.Last(), "Call-ID");
    int last_cseq = 2;
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].first);
        const int64_t registered_at = m_clock.NowSeconds();
        m_clock.Advance(rows[i].second - 2);
        Advance(1);
        EXPECT_TRUE(m_registrar.Quiet());
        Advance(1);
        const std::string refresh = m_registrar.Next();
        ASSERT_FALSE(refresh.empty());
        EXPECT_EQ(m_clock.NowSeconds() - registered_at, rows[i].second);
        EXPECT_EQ(header(refresh, "Expires"), "3600");
        EXPECT_GT(cseq_number(refresh), last_cseq);
        last_cseq = cseq_number(refresh);
        EXPECT_EQ(header(refresh, "Call-ID"), call_id);
        const int next = i + 1 < std::size(rows) ? rows[i + 1].first : 3600;
        m_registrar.Grant(next);
        EXPECT_EQ(m_env.statuses.At(i + 1), "0 1 " + std::to_string(next));
    }
}

TEST_F(Registration, RefusalOrSilenceIsAFailureRetriedAfterTheRetryInterval) {
    struct Case {
        const char* name;
        bool answer; // a 403, or nothing at all
        const char* failure;
    };
    const Case cases[] = {{"403", true, "0 403 Forbidden"},
                          {"silence", false, "0 408 KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string first = FirstRegister();
        ASSERT_FALSE(first.empty());
        if (c.answer) m_registrar.Answer("403 Forbidden");
        // The stack gives up on an unanswered REGISTER after six seconds.
        for (int i = 0; i < 8 && m_env.statuses.At(0, c.answer ? 2000 : 200).empty(); ++i)
            Advance(1);
        EXPECT_EQ(m_env.failures.At(0).rfind(c.failure, 0), 0u) << m_env.failures.At(0);
        EXPECT_EQ(m_env.statuses.At(0), "0 0 0");
        const int64_t failed_at = m_server->GetUserRegProfile(0)->state_time;
        while (!m_registrar.Next(100).empty()) {
        } // re-sent copies of the first REGISTER
        AdvanceTo(failed_at + 10);
        EXPECT_TRUE(m_registrar.Quiet());
        Advance(1);
        const std::string retry = m_registrar.Next();
        ASSERT_FALSE(retry.empty());
        EXPECT_EQ(header(retry, "Call-ID"), header(first, "Call-ID"));
        EXPECT_EQ(cseq_number(retry), 2);
        StopServer();
    }
}

// Each challenge is answered with qop auth or none, and the registrar's view of the source in the
// challenge's Via gives the public address (a private one is ignored).
TEST_F(Registration, ChallengeIsAnsweredWithAuthOrNotAtAllAndItsViaGivesThePublicAddress) {
    struct Case {
        const char* qop_param;
        const char* answered_qop; // null: no REGISTER follows
        bool by_proxy = false;    // a 407 answered with Proxy-Authorization
        const char* seen_as = ""; // received and rport parameters of a NAT in between
        const char* public_address = "127.0.0.1";
    };
    const Case cases[] = {
        {", qop=\"auth\"", "auth"},
        {", qop=\"auth-int\"", "auth"},
        {", qop=\"auth,auth-int\"", "auth"},
        {"", ""},
        {", qop=\"token\"", nullptr},
        {", qop=\"auth\"", "auth", true},
        {", qop=\"auth\"", "auth", false, ";received=203.0.113.9;rport=7000", "203.0.113.9"},
        {", qop=\"auth\"", "auth", false, ";received=10.1.2.3;rport=7000"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.qop_param) + c.seen_as);
        kztest::LogCapture log;
        ASSERT_FALSE(FirstRegister().empty());
        if (c.by_proxy)
            m_registrar.Answer("407 Proxy Authentication Required",
                               "Proxy-Authenticate: Digest realm=\"kz.test\", nonce=\"5d6e7f\"" +
                                   std::string(c.qop_param) + "\r\n");
        else
            m_registrar.Challenge(c.qop_param, "4a5b6c", c.seen_as);
        const std::string answer = m_registrar.Next(c.answered_qop ? 2000 : 300);
        if (!c.answered_qop) {
            EXPECT_EQ(answer, "");
            EXPECT_TRUE(log.Contains("QOP(token) is not supported!", CKZLogInterface::LOG_ERROR));
        } else {
            auto cred = credentials(header(answer, c.by_proxy ? "Proxy-Authorization" : "Authorization"));
            EXPECT_EQ(cred["username"], "alice");
            EXPECT_EQ(cred["uri"], "sip:127.0.0.1:" + std::to_string(m_registrar.port()));
            EXPECT_EQ(cred["nc"], *c.answered_qop ? "00000001" : "");
            EXPECT_EQ(cred["realm"], "kz.test");
            EXPECT_EQ(cred["qop"], c.answered_qop);
            EXPECT_EQ(cred["cnonce"].empty(), *c.answered_qop == '\0');
            EXPECT_EQ(cred["response"], digest_of(cred, "s3cret"));
            KZAPI::CMutexLock lock(m_server->GetServerMutex()); // the loop changes it under this lock
            EXPECT_STREQ(m_server->GetMappedPublicSIPIPAddress(), c.public_address);
        }
        StopServer();
    }
}

TEST_F(Registration, StopUnregistersAndWaitsForTheAnswer) {
    Register(3600);
    std::thread stopper([&] { m_server->Stop(); });
    const std::string bye = m_registrar.Next(3000);
    EXPECT_EQ(header(bye, "Expires"), "0");
    EXPECT_EQ(cseq_number(bye), 3);
    m_registrar.Answer("200 OK");
    stopper.join();
    EXPECT_EQ(m_env.statuses.At(1), "0 0 0") << "answered while Stop waited";
}

TEST_F(Registration, KeepAlivePacketsGoToTheProxyEveryTenSeconds) {
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.keep.alive.msg", "1");
    StartServer();
    AdvanceTo(kLoadTime + 8);
    EXPECT_FALSE(m_registrar.KeepAlive(300));
    Advance(1);
    EXPECT_TRUE(m_registrar.KeepAlive(1000)) << "at a whole ten seconds";
    Advance(9);
    EXPECT_FALSE(m_registrar.KeepAlive(300));
    Advance(1);
    EXPECT_TRUE(m_registrar.KeepAlive(1000));
}

TEST_F(Registration, AnAccountWithoutDomainOrProxyIsLeftAlone) {
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.keep.alive.msg", "1");
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.reg1.domain", "");
    StartServer();
    Advance(20);
    EXPECT_EQ(m_env.statuses.At(0), "");
}

TEST(Accounts, LookupByDomainUserAndMode) {
    kztest::ServerPtr server = kztest::make_server();
    kz_sip_user_reg_profile* reg = server->SIPAccount_Add("", "Ann", "x.test", "", "", "", 60, 1, 0, 0, 1, 0);
    kz_sip_user_reg_profile* quiet =
        server->SIPAccount_Add("", "ann", "x.test", "", "", "", 60, 0, 0, 0, 1, 0);
    kz_sip_user_reg_profile* other =
        server->SIPAccount_Add("", "cy", "y.test", "", "", "", 60, 1, 0, 0, 1, 0);
    KZAPI::str_cpy(other->return_contact, "<sip:dee@y.test:5062>", sizeof(other->return_contact));
    struct Row {
        const char *domain, *user;
        int mode;
        kz_sip_user_reg_profile* expected;
    };
    const Row rows[] = {{"X.TEST:5060", "ann", CKZSIPServer::LOOKUP_ANY, reg},
                        {"x.test", "ann", CKZSIPServer::LOOKUP_NOT_REGISTERING, quiet},
                        {"x.test", "nobody", CKZSIPServer::LOOKUP_NOT_REGISTERING, quiet},
                        {"y.test", "dee", CKZSIPServer::LOOKUP_NOT_REGISTERING, other}, // by its contact
                        {"y.test", "", CKZSIPServer::LOOKUP_REGISTERING, other},
                        {"z.test", "ann", CKZSIPServer::LOOKUP_ANY, nullptr}};
    for (const Row& r : rows)
        EXPECT_EQ(server->GetUserRegProfile(r.domain, r.user, r.mode), r.expected)
            << r.domain << " " << r.user;
}

TEST(Accounts, ARegistrationCountsUntilAMinuteAfterItsLifetime) {
    const int64_t now = KZAPI::CKZClock::System().NowSeconds();
    EXPECT_TRUE(CKZSIPServer::IsUserRegistered(now - 100, 60));
    EXPECT_FALSE(CKZSIPServer::IsUserRegistered(now - 200, 60));
    EXPECT_TRUE(CKZSIPServer::IsUserRegistered(now + 30, 0));
}
