// kzhost's account, presence and message commands: every bad command is refused before an account
// is touched, and good ones reach the accounts with their defaults.
#include "app/KZControlCommands.h"
#include "support/kzhost_fakes.h"
#include "support/no_stack_queries.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kzapp::KZJson;

// Two accounts that write down every command that reaches them.
class RecordingAccounts final : public kzapp::IKZAccounts {
public:
    using Outcome = kzapp::KZAccountOutcome;
    std::vector<std::string> asked;

    int Count() override { return 2; }
    std::vector<kzapp::KZAccountStatus> List() override {
        return {{.account = 1, .watches = {{.target = "bob@127.0.0.1"}}}};
    }
    Outcome Add(const kzapp::KZAccountRequest& r) override {
        return Note(3, "add", r.user + "@" + r.domain, r.expires, static_cast<int>(r.transport),
                    r.register_it);
    }
    Outcome Set(int account, kzapp::KZAccountField field, const std::string& value) override {
        return Note(account, "set", account, static_cast<int>(field), value);
    }
    Outcome Remove(int account) override { return Note(account, "remove", account); }
    Outcome Register(int account, bool on) override { return Note(account, "register", account, on); }
    Outcome SendMessage(const kzapp::KZMessageRequest& r) override {
        return Note(7, "message", r.account, r.from, r.to, r.text);
    }
    Outcome Watch(const kzapp::KZWatchRequest& r) override {
        return Note(r.account, "watch", r.account, r.target, r.dialog, r.expires);
    }
    Outcome Unwatch(int account, const std::string& target) override {
        return Note(account, "unwatch", account, target);
    }

private:
    Outcome Note(int number, const auto&... parts) {
        asked.push_back(kztest::said(parts...));
        return Outcome::Accepted(number);
    }
};

TEST(KzhostAccounts, CommandsReachTheAccountsWithTheirDefaultsOrNotAtAll) {
    const std::string long_text(2048, 'x');
    const kztest::CommandRow rows[] = {
        {R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1:5070","transport":"tls"})", "ok",
         "add alice@127.0.0.1:5070 3600 2 1", R"({"account":3})"},
        {R"({"cmd":"account-add","user":"a","domain":"h","expires":60,"register":false})", "ok",
         "add a@h 60 0 0", R"({"account":3})"},
        {R"({"cmd":"account-set","account":2,"field":"transport","value":"tcp"})", "ok", "set 2 7 tcp",
         R"({"account":2})"},
        {R"({"cmd":"unregister","account":2})", "ok", "register 2 0", R"({"account":2})"},
        {R"({"cmd":"message","to":"<sip:bob@127.0.0.1:5062>","text":"hi\nthere"})", "ok",
         "message 1  <sip:bob@127.0.0.1:5062> hi\nthere", R"({"message":7})"},
        {R"({"cmd":"watch","account":2,"target":"bob@127.0.0.1","event":"dialog"})", "ok",
         "watch 2 bob@127.0.0.1 1 600", R"({"account":2})"},
        {R"({"cmd":"unwatch","account":1,"target":"sip:bob@127.0.0.1"})", "ok", "unwatch 1 sip:bob@127.0.0.1",
         R"({"account":1})"},
        {R"({"cmd":"account-add","domain":"127.0.0.1"})", ""},
        {R"({"cmd":"account-add","user":"alice"})", ""},
        {R"({"cmd":"account-add","user":"al ice","domain":"127.0.0.1"})", ""},
        {R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","expires":9})", ""},
        {R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","expires":86401})", ""},
        {R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","transport":"sctp"})", ""},
        {R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","retry":0})", ""},
        {R"({"cmd":"account-add","user":"alice","domain":"127.0.0.1","register":"yes"})", ""},
        {R"({"cmd":"account-set","account":1,"field":"srtp","value":"1"})", ""},
        {R"({"cmd":"account-set","account":1,"field":"transport","value":"sctp"})", ""},
        {R"({"cmd":"account-set","account":1,"field":"user","value":""})", ""},
        {R"({"cmd":"account-set","account":3,"field":"user","value":"bob"})", ""},
        {R"({"cmd":"account-remove","account":0})", ""},
        {R"({"cmd":"account-remove","account":3})", ""},
        {R"({"cmd":"register","account":3})", ""},
        {R"({"cmd":"unregister"})", ""},
        {R"({"cmd":"message","to":"sip:bob@127.0.0.1"})", ""},
        {R"({"cmd":"message","to":"bob@127.0.0.1","text":"hi"})", ""},
        {R"({"cmd":"message","to":"sip:bob@127.0.0.1","from":"<sip:a b@127.0.0.1>","text":"hi"})", ""},
        {R"({"cmd":"message","to":"sip:bob@127.0.0.1","text":"hi","account":3})", ""},
        {R"({"cmd":"message","to":"sip:bob@127.0.0.1","text":")" + long_text + R"("})", ""},
        {R"({"cmd":"watch","account":1,"target":"bob"})", ""},
        {R"({"cmd":"watch","account":1,"target":"bob@127.0.0.1","event":"reg"})", ""},
        {R"({"cmd":"watch","account":3,"target":"bob@127.0.0.1"})", ""},
        {R"({"cmd":"watch","account":1,"target":"BOB@127.0.0.1"})", ""},
        {R"({"cmd":"unwatch","account":1,"target":"bob@127.0.0.1\u0007"})", ""},
    };
    kztest::NoStack host;
    kzapp::KZNoCallControl calls;
    RecordingAccounts accounts;
    kzapp::KZControlCommands commands(host, calls, "", &accounts);
    kztest::expect_rows(commands, rows, [&] {
        std::string asked;
        for (const std::string& a : accounts.asked)
            asked += a;
        accounts.asked.clear();
        return asked;
    });
}

} // namespace
