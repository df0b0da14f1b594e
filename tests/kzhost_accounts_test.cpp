// kzhost's account, presence and message commands: every bad command is refused before an account
// is touched; with the module's server on loopback and a raw UDP peer as registrar and far end, an
// added account registers, a message goes out and its delivery, an incoming message and a
// message-summary NOTIFY each come back as one event.
#include "app/KZAccountReports.h"
#include "app/KZControlCommands.h"
#include "app/KZHostAccounts.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "server/CKZSIPGroup.h"
#include "sipstack/sip_group.h"
#include "support/no_stack_queries.h"
#include "support/sip_dialog.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using kzapp::KZJson;

// Two accounts that write down every command that reaches them.
class RecordingAccounts final : public kzapp::IKZAccounts {
public:
    std::vector<std::string> asked;

    int Count() override { return 2; }
    std::vector<kzapp::KZAccountStatus> List() override {
        return {{.account = 1, .watches = {{.target = "bob@127.0.0.1"}}}};
    }
    kzapp::KZAccountOutcome Add(const kzapp::KZAccountRequest& r) override {
        return Note("add " + r.user + "@" + r.domain + " " + std::to_string(r.expires) + " " +
                        std::to_string(static_cast<int>(r.transport)) + (r.register_it ? " register" : ""),
                    3);
    }
    kzapp::KZAccountOutcome Set(int account, kzapp::KZAccountField field, const std::string& value) override {
        return Note("set " + std::to_string(account) + " " + std::to_string(static_cast<int>(field)) + " " +
                        value,
                    account);
    }
    kzapp::KZAccountOutcome Remove(int account) override {
        return Note("remove " + std::to_string(account), account);
    }
    kzapp::KZAccountOutcome Register(int account, bool on) override {
        return Note((on ? "register " : "unregister ") + std::to_string(account), account);
    }
    kzapp::KZAccountOutcome SendMessage(const kzapp::KZMessageRequest& r) override {
        return Note("message " + std::to_string(r.account) + " " + r.from + " " + r.to + " " + r.text, 7);
    }
    kzapp::KZAccountOutcome Watch(const kzapp::KZWatchRequest& r) override {
        return Note("watch " + std::to_string(r.account) + " " + r.target +
                        (r.dialog ? " dialog " : " presence ") + std::to_string(r.expires),
                    r.account);
    }
    kzapp::KZAccountOutcome Unwatch(int account, const std::string& target) override {
        return Note("unwatch " + std::to_string(account) + " " + target, account);
    }

private:
    kzapp::KZAccountOutcome Note(const std::string& what, int number) {
        asked.push_back(what);
        return kzapp::KZAccountOutcome::Accepted(number);
    }
};

KZJson run(kzapp::KZControlCommands& commands, const std::string& line) {
    kzapp::KZClientSession session{.authenticated = true};
    return commands.Execute(line, session);
}

TEST(KzhostAccounts, BadCommandsAreRefusedBeforeAnyAccountIsTouched) {
    const std::string long_text(2048, 'x');
    const std::string long_target = "sip:" + std::string(250, 'b') + "@127.0.0.1";
    const std::string bad[] = {
        R"({"cmd":"account-add","domain":"127.0.0.1"})",
        R"({"cmd":"account-add","user":"alice"})",
        R"({"cmd":"account-add","user":"","domain":"127.0.0.1"})",
        R"({"cmd":"account-add","user":"al ice","domain":"127.0.0.1"})",
        R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1\r\nX: y"})",
        R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","display":"A \"B\""})",
        R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","expires":9})",
        R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","expires":86401})",
        R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","transport":"sctp"})",
        R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","retry":0})",
        R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","register":"yes"})",
        R"({"cmd":"account-set","account":1,"field":"srtp","value":"1"})",
        R"({"cmd":"account-set","account":1,"field":"transport","value":"sctp"})",
        R"({"cmd":"account-set","account":1,"field":"user","value":""})",
        R"({"cmd":"account-set","account":3,"field":"user","value":"bob"})",
        R"({"cmd":"account-remove","account":0})",
        R"({"cmd":"account-remove","account":3})",
        R"({"cmd":"register","account":3})",
        R"({"cmd":"unregister"})",
        R"({"cmd":"message","to":"sip:bob@127.0.0.1"})",
        R"({"cmd":"message","to":"sip:bob@127.0.0.1","text":""})",
        R"({"cmd":"message","to":"bob@127.0.0.1","text":"hi"})",
        R"({"cmd":"message","to":"sip:127.0.0.1","text":"hi"})",
        R"({"cmd":"message","to":"sip:bob@127.0.0.1:x","text":"hi"})",
        R"({"cmd":"message","to":"sip:bob@127.0.0.1","from":"<sip:a b@127.0.0.1>","text":"hi"})",
        R"({"cmd":"message","to":"sip:bob@127.0.0.1","text":"hi","account":3})",
        R"({"cmd":"message","to":"sip:bob@127.0.0.1","text":")" + long_text + R"("})",
        R"({"cmd":"watch","account":1,"target":"bob"})",
        R"({"cmd":"watch","account":1,"target":"tel:+15550100"})",
        R"({"cmd":"watch","account":1,"target":"\"bob\"@127.0.0.1"})",
        R"({"cmd":"watch","account":1,"target":")" + long_target + R"("})",
        R"({"cmd":"watch","account":1,"target":"bob@127.0.0.1","event":"reg"})",
        R"({"cmd":"watch","account":3,"target":"bob@127.0.0.1"})",
        R"({"cmd":"watch","account":1,"target":"BOB@127.0.0.1"})",
        R"({"cmd":"unwatch","account":1,"target":"bob@127.0.0.1\u0007"})",
    };
    kztest::NoStack host;
    kzapp::KZNoCallControl calls;
    RecordingAccounts accounts;
    kzapp::KZControlCommands commands(host, calls, "", &accounts);
    for (const std::string& line : bad) {
        SCOPED_TRACE(line.substr(0, 120));
        EXPECT_EQ(run(commands, line)["event"], "error");
    }
    EXPECT_TRUE(accounts.asked.empty()) << accounts.asked.front();
}

TEST(KzhostAccounts, GoodCommandsReachTheAccountsWithTheirDefaults) {
    const struct {
        const char* line;
        const char* asked;
        const char* number_key;
        int number;
    } cases[] = {
        {R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1:5070","transport":"tls"})",
         "add alice@127.0.0.1:5070 3600 2 register", "account", 3},
        {R"({"cmd":"account-add","user":"a","domain":"h","expires":60,"register":false})", "add a@h 60 0",
         "account", 3},
        {R"({"cmd":"account-set","account":2,"field":"transport","value":"tcp"})", "set 2 7 tcp", "account",
         2},
        {R"({"cmd":"unregister","account":2})", "unregister 2", "account", 2},
        {R"({"cmd":"message","to":"<sip:bob@127.0.0.1:5062>","text":"hi\nthere"})",
         "message 1  <sip:bob@127.0.0.1:5062> hi\nthere", "message", 7},
        {R"({"cmd":"watch","account":2,"target":"bob@127.0.0.1","event":"dialog"})",
         "watch 2 bob@127.0.0.1 dialog 600", "account", 2},
        {R"({"cmd":"unwatch","account":1,"target":"sip:bob@127.0.0.1"})", "unwatch 1 sip:bob@127.0.0.1",
         "account", 1},
    };
    kztest::NoStack host;
    kzapp::KZNoCallControl calls;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        RecordingAccounts accounts;
        kzapp::KZControlCommands commands(host, calls, "", &accounts);
        const KZJson reply = run(commands, c.line);
        EXPECT_EQ(reply["event"], "ok");
        EXPECT_EQ(reply[c.number_key], c.number);
        ASSERT_EQ(accounts.asked.size(), 1u);
        EXPECT_EQ(accounts.asked.front(), c.asked);
    }
}

// The module's server on loopback with the commands and reports kzhost puts on it; time moves
// through a clock the test owns.
class KzhostAccountsServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_ERROR);
        KZAPI::CKZCfgInterface::CFG_Clear();
        m_port = kztest::free_port_pair();
        for (const auto& [key, value] :
             std::vector<std::pair<const char*, std::string>>{{"kzsrv.sip.ip.address", "127.0.0.1"},
                                                              {"kzsrv.sip.ip.port", std::to_string(m_port)},
                                                              {"kzsrv.sip.use.nat.addr", "1"},
                                                              {"kzsrv.sip.keep.alive.msg", "0"}})
            KZAPI::CKZCfgInterface::CFG_SetValue(key, value.c_str());
        KZAPI::CKZAPIEnv::SetKZAPIEnv(&m_reports);
        m_server = kztest::start_server_on_clock(m_clock);
        ASSERT_TRUE(m_server);
        m_accounts = std::make_unique<kzapp::KZHostAccounts>(*m_server);
        m_commands = std::make_unique<kzapp::KZControlCommands>(m_host, m_calls, "", m_accounts.get());
    }
    void TearDown() override {
        m_server->Stop();
        m_server->Destroy();
        m_server.reset();
        KZAPI::CKZAPIEnv::SetKZAPIEnv(nullptr);
        KZAPI::CKZCfgInterface::CFG_Clear();
    }
    KZJson Command(const std::string& line) { return run(*m_commands, line); }
    // Moves the clock on a second at a time until the server sends a request starting with
    // method; "" when none came within a minute of its time.
    std::string AdvanceUntil(const std::string& method) {
        for (int second = 0; second < 60; ++second) {
            m_clock.Advance(1);
            const std::string m = kztest::receive_starting(m_peer, method + " ", 50);
            if (!m.empty()) return m;
        }
        return "";
    }
    void Reply(const std::string& request, const std::string& status, const std::string& extra = "") {
        m_peer.send_to(m_port, kztest::response_to(request, status, m_peer.port(), extra));
    }
    void SendFromPeer(const std::string& method, const std::string& headers, const std::string& type,
                      const std::string& body) {
        std::string request = kztest::sip_request(method, m_peer.port(), m_port, headers);
        request.replace(request.find("Content-Length: 0\r\n\r\n"), std::string::npos,
                        kztest::with_body(body, type));
        m_peer.send_to(m_port, request);
    }
    // The next published event called name; null when none comes within 3 s.
    KZJson Await(const std::string& name) {
        KZJson found;
        kztest::wait_until([&] {
            std::lock_guard lock(m_mutex);
            for (size_t i = 0; i < m_published.size(); ++i)
                if (m_published[i].value("event", "") == name) {
                    found = m_published[i];
                    m_published.erase(m_published.begin(), m_published.begin() + static_cast<long>(i) + 1);
                    return true;
                }
            return false;
        });
        return found;
    }
    std::string Peer() const { return "127.0.0.1:" + std::to_string(m_peer.port()); }

    uint16_t m_port = 0;
    KZAPI::CKZManualClock m_clock{2000001};
    std::mutex m_mutex;
    std::vector<KZJson> m_published;
    std::vector<std::string> m_lines;
    kzapp::KZAccountReports m_reports{{[this](const KZJson& e) {
                                           std::lock_guard lock(m_mutex);
                                           m_published.push_back(e);
                                       },
                                       [this](const std::string& line) {
                                           std::lock_guard lock(m_mutex);
                                           m_lines.push_back(line);
                                       }}};
    kztest::ServerPtr m_server;
    kztest::NoStack m_host;
    kzapp::KZNoCallControl m_calls;
    std::unique_ptr<kzapp::KZHostAccounts> m_accounts;
    std::unique_ptr<kzapp::KZControlCommands> m_commands;
    kztest::UdpPeer m_peer;
};

} // namespace

TEST_F(KzhostAccountsServerTest, AnAddedAccountRegistersSendsAndReceivesMessagesAndNotifies) {
    const KZJson added = Command(R"({"cmd":"account-add","user":"alice","password":"s3cret","domain":")" +
                                 Peer() + R"(","retry":2})");
    ASSERT_EQ(added["account"], 1) << added.dump();

    const std::string reg = AdvanceUntil("REGISTER");
    ASSERT_FALSE(reg.empty()) << "the added account sent no REGISTER";
    Reply(reg, "200 OK", "Expires: 3600\r\n");
    const KZJson registered = Await("registration");
    EXPECT_EQ(registered["account"], 1);
    EXPECT_EQ(registered["state"], "registered");
    const KZJson listed = Command(R"({"cmd":"accounts"})")["accounts"];
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["state"], "registered");
    EXPECT_EQ(listed[0]["seconds"], 3600);

    const KZJson sent = Command(R"({"cmd":"message","to":"sip:bob@)" + Peer() + R"(","text":"hello bob"})");
    ASSERT_EQ(sent["event"], "ok") << sent.dump();
    const std::string message = kztest::receive_starting(m_peer, "MESSAGE ");
    ASSERT_FALSE(message.empty());
    EXPECT_NE(message.find("\r\n\r\nhello bob"), std::string::npos) << message;
    EXPECT_NE(kztest::header_value(message, "From").find("sip:alice@" + Peer()), std::string::npos)
        << message;
    Reply(message, "200 OK");
    const KZJson delivered = Await("message-delivered");
    EXPECT_EQ(delivered["message"], sent["message"]);
    EXPECT_EQ(delivered["code"], 200);
    EXPECT_EQ(delivered["reason"], "OK");

    SendFromPeer("MESSAGE", "", "text/plain", "hi alice\r\n");
    const KZJson received = Await("message");
    EXPECT_EQ(received["text"], "hi alice");
    EXPECT_FALSE(received.contains("channel"));
    EXPECT_NE(received["from"].get<std::string>().find("sip:tester@127.0.0.1"), std::string::npos);

    SendFromPeer("NOTIFY", "Event: message-summary\r\n", "application/simple-message-summary",
                 "Messages-Waiting: yes\r\nMessage-Account: sip:alice@127.0.0.1\r\nVoice-Message: 2/8\r\n");
    const KZJson summary = Await("notify");
    EXPECT_EQ(summary["event_package"], "message-summary");
    EXPECT_EQ(summary["waiting"], "yes");
    EXPECT_EQ(summary["voice"], "2/8");
    EXPECT_EQ(summary["account_uri"], "sip:alice@127.0.0.1");

    ASSERT_EQ(Command(R"({"cmd":"watch","account":1,"target":"bob@127.0.0.1","expires":120})")["event"],
              "ok");
    const std::string subscribe = AdvanceUntil("SUBSCRIBE");
    ASSERT_FALSE(subscribe.empty());
    Reply(subscribe, "200 OK", "Expires: 120\r\n");
    const KZJson subscribed = Await("subscription");
    EXPECT_EQ(subscribed["account"], 1);
    EXPECT_EQ(subscribed["subscribed"], true);
    EXPECT_EQ(subscribed["seconds"], 120);

    std::lock_guard lock(m_mutex);
    const std::vector<std::string> expected = {"kzhost: account 1 registered for 3600 s",
                                               "kzhost: message " + sent["message"].dump() +
                                                   " delivered 200 OK"};
    for (const std::string& line : expected)
        EXPECT_NE(std::find(m_lines.begin(), m_lines.end(), line), m_lines.end()) << line;
}
