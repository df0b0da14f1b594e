// kzhost's proxy sites on the control socket: the user commands and the routing commands against a
// held call, what reaches the users and the module's server, and what is refused before anything
// does. The dialog states the watchers are told are what a watching phone hears in kzhost_proxy.sh.
#include "app/KZControlCommands.h"
#include "app/KZSessionRouter.h"
#include "support/command_table.h"
#include "support/no_stack_queries.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using kzapp::KZJson;

namespace {

// Records every call into the server as one line.
class RecordingServer : public kzapp::IKZProxyServer {
public:
    bool SetNewCallSessionAddr(int site, uint32_t session, const std::string& text) override {
        return Note(site, session, text);
    }
    bool UpdateUserState(int site, const std::string& user, const char* direction,
                         const char* state) override {
        return Note(site, user, direction, state);
    }
    bool ConnectCallSessions(int site, uint32_t session, int leg, int with_site, uint32_t with,
                             int with_leg) override {
        return Note("join", site, session, leg, with_site, with, with_leg);
    }
    std::vector<std::string> calls;

private:
    bool Note(const auto&... parts) {
        calls.push_back(kztest::said(parts...));
        return true;
    }
};

// Records the last request as one line of text.
class RecordingUsers : public kzapp::IKZUsers {
public:
    std::vector<kzapp::KZUserStatus> List() override {
        return {{2, "alice", kzapp::KZUserAuth::Www, true, 300, "<sip:alice@127.0.0.1:5062>"}};
    }
    kzapp::KZAccountOutcome Add(const kzapp::KZUserRequest& r) override {
        return Note(r.site, "add", r.user, r.password, static_cast<int>(r.auth), r.max_expires.value_or(-1));
    }
    kzapp::KZAccountOutcome Set(int site, const std::string& user, kzapp::KZUserField field,
                                const std::string& value) override {
        return Note(site, "set", user, static_cast<int>(field), value);
    }
    kzapp::KZAccountOutcome Remove(int site, const std::string& user) override {
        return Note(site, "remove", user);
    }
    kzapp::KZAccountOutcome Mwi(const kzapp::KZMwiRequest& r) override {
        return Note(r.site, "mwi", r.user, r.waiting, r.account, r.new_count, r.old_count, r.urgent_new,
                    r.urgent_old);
    }
    std::string last;

private:
    kzapp::KZAccountOutcome Note(int site, const auto&... parts) {
        last = kztest::said(site, parts...);
        return kzapp::KZAccountOutcome::Accepted(site);
    }
};

struct Fixture {
    RecordingServer server;
    std::vector<KZJson> events;
    kzapp::KZSessionRouter router{server,
                                  {[this](const KZJson& e) { events.push_back(e); }, nullptr,
                                   [](int site, const std::string& user) -> std::optional<std::string> {
                                       if (site == 2 && user == "bob")
                                           return "<sip:bob@127.0.0.1:5071;transport=udp>;expires=300";
                                       return std::nullopt;
                                   },
                                   [](const std::string& user) -> std::optional<int> {
                                       if (user == "alice") return 1;
                                       return std::nullopt;
                                   }}};
    kztest::NoStack queries;
    kzapp::KZNoCallControl calls;
    kzapp::KZControlCommands commands{queries, calls, "", nullptr, nullptr, &router};
    kzapp::KZClientSession client{.authenticated = true};

    KZJson Run(const std::string& line) { return commands.Execute(line, client); }
    // A call from alice to the given user at site 2 (1 in the module).
    std::optional<std::string> Call(const char* callee_uri, uint32_t session = 7) {
        kzapp::IKZSessionReports::Report r;
        r.site = 1;
        r.connection = session;
        r.from = "\"Alice\" <sip:alice@127.0.0.1>;tag=a1";
        r.to = "<sip:someone@127.0.0.1>";
        r.uri = callee_uri;
        return router.OnNewCall(r, "127.0.0.1", 5070, "alice", true);
    }
};

} // namespace

TEST(KzhostSessions, AnswersToAHeldCallReachTheServerAsDirectives) {
    const struct {
        const char* line;
        const char* reaches;
    } cases[] = {
        {R"({"cmd":"route","session":7,"destination":"sip:carol@127.0.0.1:5090"})",
         "1 7 sip:carol@127.0.0.1:5090"},
        {R"({"cmd":"route","session":7,"destination":"registered"})",
         "1 7 sip:bob@127.0.0.1:5071;transport=udp"},
        {R"({"cmd":"route","session":7,"destination":"channel"})", "1 7 channel"},
        {R"({"cmd":"route","session":7,"destination":"sip:carol@127.0.0.1:5090","ring_timeout":20})",
         "1 7 sip:carol@127.0.0.1:5090|RingTimeout<20>"},
        {R"({"cmd":"reject","session":7,"code":486})", "1 7 486|Busy Here"},
        {R"({"cmd":"reject","session":7,"code":404,"reason":"Nobody Here"})", "1 7 404|Nobody Here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Fixture f;
        EXPECT_EQ(f.Run(R"({"cmd":"route-sessions","enabled":true})").value("event", ""), "ok");
        EXPECT_EQ(f.Call("sip:bob@127.0.0.2"), "sip:undefined");
        ASSERT_EQ(f.events.size(), 1u);
        EXPECT_EQ(f.events[0].value("event", ""), "incoming-session");
        EXPECT_EQ(f.events[0].value("site", 0), 2);
        EXPECT_EQ(f.Run(c.line).value("event", ""), "ok");
        EXPECT_EQ(f.server.calls, std::vector<std::string>{c.reaches});
        EXPECT_EQ(f.Run(c.line).value("event", ""), "error") << "a call is answered once";
        EXPECT_EQ(f.server.calls.size(), 1u);
    }
}

TEST(KzhostSessions, BadSessionCommandsChangeNothing) {
    const kztest::CommandRow rows[] = {
        {R"({"cmd":"route","session":8,"destination":"sip:bob@127.0.0.1"})", "not waiting"},
        {R"({"cmd":"route","session":7})", "\"destination\" is required"},
        {R"({"cmd":"route","session":0,"destination":"channel"})", "at least 1"},
        {R"({"cmd":"route","session":7,"destination":"bob@127.0.0.1"})", "must be a sip: URI"},
        {R"({"cmd":"route","session":7,"destination":"sip:undefined"})", "no host"},
        {R"({"cmd":"route","session":7,"destination":"sip:bob@127.0.0.1|From<x>"})", "holds \"|\""},
        {R"({"cmd":"reject","session":7,"code":500})", "between 400 and 499"},
        {R"({"cmd":"reject","session":7})", "\"code\" is required"},
        {R"({"cmd":"reject","session":7,"code":486,"reason":"a|b"})", "\"|\""},
        {R"({"cmd":"route-sessions"})", "\"enabled\" is required"},
        {R"({"cmd":"route","session":9,"destination":"registered"})", "dave"}, // no registration to route to
        {R"({"cmd":"route","session":7,"destination":"channel","ring_timeout":5})", "not to \"channel\""},
        {R"({"cmd":"route","session":7,"destination":"sip:bob@127.0.0.1","ring_timeout":0})",
         "between 1 and 3600"},
        {R"({"cmd":"join","session":7,"leg":"caller","with":7,"with_leg":"callee"})", "itself"},
        {R"({"cmd":"join","session":7,"leg":"caller","with":11,"with_leg":"caller"})", "no session 11"},
        {R"({"cmd":"join","session":7,"leg":"middle","with":9,"with_leg":"caller"})", "must be one of"},
        {R"({"cmd":"join","session":7,"leg":"callee","with":9,"with_leg":"caller"})", "ok",
         "join 1 7 1 1 9 0"},
    };
    Fixture f;
    f.Run(R"({"cmd":"route-sessions","enabled":true})");
    f.Call("sip:bob@127.0.0.2");
    f.Call("sip:dave@127.0.0.2", 9);
    kztest::expect_rows(
        f.commands, rows,
        [&] {
            std::string calls;
            for (const std::string& call : f.server.calls)
                calls += call;
            f.server.calls.clear();
            return calls;
        },
        &f.client);
    ASSERT_EQ(f.router.List().size(), 2u);
    EXPECT_TRUE(f.router.List().at(0).waiting);
    EXPECT_TRUE(f.router.List().at(1).waiting);
}

TEST(KzhostSessions, CallsGoToTheRegistrationWithoutARoutingClient) {
    Fixture f;
    EXPECT_EQ(f.Call("sip:bob@127.0.0.2"), std::nullopt);
    EXPECT_TRUE(f.events.empty());
    f.Run(R"({"cmd":"route-sessions","enabled":true})");
    EXPECT_EQ(f.Call("sip:bob@127.0.0.2"), "sip:undefined");
    f.client.routing.reset(); // the client leaves with the call still held
    EXPECT_EQ(f.server.calls, std::vector<std::string>{"1 7 sip:bob@127.0.0.1:5071;transport=udp"});
    EXPECT_EQ(f.Call("sip:dave@127.0.0.2"), std::nullopt);
}

TEST(KzhostSessions, UserNamesOfAddresses) {
    const struct {
        const char* text;
        const char* user;
    } cases[] = {{"\"Bob\" <sip:bob@127.0.0.1:5060>;tag=x", "bob"},
                 {"sips:carol@127.0.0.1", "carol"},
                 {"<sip:127.0.0.1:5060>", ""},
                 {"tel:+15550100", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(kzapp::sip_user_of(c.text), c.user) << c.text;
}

TEST(ProxyUsersControl, CommandsReachTheUsersWithTheirArgumentsOrNotAtAll) {
    const kztest::CommandRow rows[] = {
        {R"({"cmd":"user-add","user":"alice","password":"pw 1"})", "ok", "1 add alice pw 1 0 -1"},
        {R"({"cmd":"user-add","site":2,"user":"bob","auth":"none","max_expires":60})", "ok",
         "2 add bob  2 60"},
        {R"({"cmd":"user-set","user":"bob","field":"auth","value":"www"})", "ok", "1 set bob 1 www"},
        {R"({"cmd":"user-set","site":3,"user":"bob","field":"max_expires","value":"120"})", "ok",
         "3 set bob 2 120"},
        {R"({"cmd":"user-remove","site":2,"user":"bob"})", "ok", "2 remove bob"},
        {R"({"cmd":"mwi","user":"bob","waiting":true,"account":"sip:bob@127.0.0.1","new":3,"urgent_new":1})",
         "ok", "1 mwi bob 1 sip:bob@127.0.0.1 3 0 1 0"},
        {R"({"cmd":"user-add","user":"a@b"})", "holds \"@\""},
        {R"({"cmd":"user-add","user":"a","password":"q\"uote"})", "quote"},
        {R"({"cmd":"user-add","user":"a","auth":"digest"})", "one of proxy, www, none"},
        {R"({"cmd":"user-add","user":"a","max_expires":5})", "between 10 and 3600"},
        {R"({"cmd":"user-add","site":0,"user":"a"})", "at least 1"},
        {R"({"cmd":"user-set","user":"a","field":"auth","value":"open"})", "proxy, www, none"},
        {R"({"cmd":"user-set","user":"a","field":"max_expires","value":"1e3"})", "number of seconds"},
        {R"({"cmd":"mwi","user":"a"})", "\"waiting\" is required"},
        {R"({"cmd":"mwi","user":"a","waiting":true,"new":10000})", "between 0 and 9999"},
    };
    kztest::NoStack queries;
    kzapp::KZNoCallControl calls;
    RecordingUsers users;
    const kzapp::KZControlCommands commands(queries, calls, "", nullptr, &users);
    kztest::expect_rows(commands, rows, [&] { return std::exchange(users.last, ""); });
    EXPECT_EQ(
        kztest::run_command(commands, R"({"cmd":"users"})").dump(),
        R"({"event":"users","users":[{"site":2,"user":"alice","auth":"www","registered":true,"seconds":300,)"
        R"("contact":"<sip:alice@127.0.0.1:5062>"}]})");
    const kzapp::KZControlCommands without_sites(queries, calls, "");
    EXPECT_EQ(kztest::run_command(without_sites, R"({"cmd":"users"})").value("users", KZJson::array()).size(),
              0u)
        << "a host without proxy sites lists no users";
}
