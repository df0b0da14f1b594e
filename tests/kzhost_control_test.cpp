// kzhost's control socket: the real program answers on a free port and stops on a busy control
// port; in the process, command lines reach call control or nothing,
// published events reach every subscribed client, a client that does not read is dropped, and clients from
// other hosts must authenticate.
#include "app/KZArgumentChecks.h"
#include "app/KZControlCommands.h"
#include "app/KZControlServer.h"
#include "support/command_table.h"
#include "support/control_client.h"
#include "support/kzhost_process.h"
#include "support/no_stack_queries.h"
#include "support/port_holder.h"
#include "support/sip_peer.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace {

using kzapp::KZJson;
using Clock = std::chrono::steady_clock;

using LineClient = kztest::ControlClient;

struct Row {
    std::string line; // empty: nothing sent, the event comes unasked
    const char* event;
    const char* reason = ""; // contained in "reason" when not empty
};

void expect_reply(LineClient& client, const Row& row) {
    SCOPED_TRACE(row.line.substr(0, 80));
    if (!row.line.empty()) client.Send(row.line);
    const KZJson reply = client.Next().value_or(KZJson::object());
    EXPECT_EQ(reply.value("event", ""), row.event) << reply.dump();
    EXPECT_NE(reply.value("reason", "").find(row.reason), std::string::npos) << reply.dump();
}

} // namespace

// The real program on defaults: its control socket comes up on the configured port, answers each
// line once and stops on SIGINT; a bad command line or a busy control port stops it at once. (Its
// calls' events on the socket are what the interop scripts follow.)
TEST(KzhostControl, TheProgramAnswersCommandsPublishesEventsAndStopsOnABusyPort) {
    const uint16_t sip_port = kztest::free_port_pair();
    const uint16_t control_port = kztest::PortHolder(SOCK_STREAM).Port();
    kztest::KzhostProcess host({"--set", "kzsrv.sip.ip.port=" + std::to_string(sip_port), "--set",
                                "kzhost.control.port=" + std::to_string(control_port), "--set",
                                "kzhost.channels=3", "--log-level", "1"});
    const std::string where = "control socket on 127.0.0.1:" + std::to_string(control_port);
    const std::string banner = host.WaitForOutput(where, 10000);
    ASSERT_NE(banner.find(where), std::string::npos);
    // Without a configuration file SIP listens on every address.
    EXPECT_NE(banner.find("SIP server listening on UDP 0.0.0.0:" + std::to_string(sip_port)),
              std::string::npos)
        << banner;
    LineClient client(control_port);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Ask(R"({"cmd":"calls"})")["channels"].size(), 3u);
    EXPECT_FALSE(client.Next(200)) << "one reply per line, no more";
    EXPECT_EQ(host.Terminate(SIGINT, 15000), 0);
    EXPECT_EQ(kztest::KzhostProcess({"--set", "no-equals-sign"}).Terminate(0, 5000), 2)
        << "a bad command line";

    kztest::PortHolder holder(SOCK_STREAM);
    const std::string port = std::to_string(holder.Port());
    kztest::KzhostProcess busy({"--set", "kzsrv.sip.ip.port=" + std::to_string(kztest::free_port_pair()),
                                "--set", "kzhost.control.port=" + port, "--log-level", "1"});
    EXPECT_EQ(busy.Terminate(0, 10000), 1);
    const std::string reason = "kzhost: cannot start: control port 127.0.0.1:" + port + " is in use\n";
    EXPECT_NE(busy.WaitForOutput(reason, 1000).find(reason), std::string::npos) << busy.WaitForOutput("", 0);
}

namespace {

using kztest::NoStack;

// A control server in this process, on a port the system chooses.
struct InProcess {
    explicit InProcess(kzapp::KZControlOptions options, std::string token = "")
        : commands(host, calls, std::move(token)), server(std::move(options), commands) {
        started = server.Start();
    }
    NoStack host;
    kzapp::KZNoCallControl calls;
    kzapp::KZControlCommands commands;
    kzapp::KZControlServer server;
    std::string started;
};

const KZJson kRinging = {{"event", "ringing"}, {"channel", 3}};

} // namespace

TEST(KzhostControl, PublishedEventsReachTheClientsSubscribedToThem) {
    InProcess control({});
    ASSERT_EQ(control.started, "");
    LineClient first(control.server.Port()), second(control.server.Port()),
        uninterested(control.server.Port());
    EXPECT_EQ(uninterested.Ask(R"({"cmd":"unsubscribe","events":["ringing"]})")["event"], "subscribed");
    for (LineClient* c : {&first, &second})
        ASSERT_EQ(c->Ask(R"({"cmd":"ping"})")["event"], "pong");

    EXPECT_FALSE(control.server.Publish(KZJson{{"event", "pong"}}))
        << "not an event kind clients subscribe to";
    std::thread publisher([&] { EXPECT_TRUE(control.server.Publish(kRinging)); });
    publisher.join();
    EXPECT_EQ(first.Next(), kRinging);
    EXPECT_EQ(second.Next(), kRinging);
    EXPECT_FALSE(uninterested.Next(300));
    expect_reply(first, {"{\"cmd\":\"ping\",\"pad\":\"" + std::string(100 * 1024, 'x') + "\"}", "error",
                         "line longer"});
    EXPECT_EQ(first.Ask(R"({"cmd":"ping"})")["event"], "pong");
}

TEST(KzhostControl, AClientThatDoesNotReadIsDroppedAndTheOthersStayServed) {
    kzapp::KZControlOptions options;
    options.max_unsent = 64 * 1024;
    InProcess control(options);
    ASSERT_EQ(control.started, "");
    LineClient reader(control.server.Port());
    LineClient sleeper(control.server.Port(), "127.0.0.1", 4096);
    EXPECT_EQ(reader.Ask(R"({"cmd":"unsubscribe"})")["events"], KZJson::array());
    ASSERT_EQ(sleeper.Ask(R"({"cmd":"ping"})")["event"], "pong");

    const KZJson big = {{"event", "progress"}, {"channel", 1}, {"pad", std::string(16 * 1024, 'p')}};
    // Bounded by time, not by count: a sanitized build on a busy machine delivers slowly.
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    while (control.server.ClientCount() == 2 && Clock::now() < give_up)
        if (!control.server.Publish(big)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(control.server.ClientCount(), 1u);
    EXPECT_EQ(reader.Ask(R"({"cmd":"ping"})")["event"], "pong");
}

TEST(KzhostControl, ClientsFromOtherHostsNeedTheToken) {
    struct Case {
        const char* token;
        std::vector<Row> lines;
        bool stays_open;
    };
    const Case cases[] = {
        {"", {{"", "error", "other hosts are refused"}}, false},
        {"s3cret", {{R"({"cmd":"ping"})", "error", "authentication required"}}, false},
        {"s3cret", {{R"({"cmd":"auth","token":"s3cre7"})", "error", "authentication failed"}}, false},
        {"s3cret",
         {{R"({"cmd":"auth","token":"s3cret"})", "authenticated"}, {R"({"cmd":"ping"})", "pong"}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("token ") + c.token);
        kzapp::KZControlOptions options;
        options.trust_loopback = false; // 127.0.0.1 stands for another host
        InProcess control(options, c.token);
        ASSERT_EQ(control.started, "");
        LineClient client(control.server.Port());
        for (const Row& row : c.lines)
            expect_reply(client, row);
        EXPECT_EQ(client.ClosedByServer(300), !c.stays_open);
    }
}

namespace {

// Call control as the commands reach it, one text per command, enums and flags as numbers.
class RecordingCalls final : public kzapp::IKZCallCommands {
public:
    using Outcome = kzapp::KZCallOutcome;
    std::string last;
    Outcome Dial(const kzapp::KZDialRequest& r) override {
        return Note(r.channel.value_or(5), "dial", r.channel ? std::to_string(*r.channel) : "any", r.from,
                    r.to, static_cast<int>(r.transport), r.user + ":" + r.password);
    }
    Outcome Answer(int channel) override { return Note(channel, "answer", channel); }
    Outcome Ring(int channel) override { return Note(channel, "ring", channel); }
    Outcome Hangup(int channel, int cause) override { return Note(channel, "hangup", channel, cause); }
    Outcome Bridge(int channel, int with, bool rtp, bool half) override {
        return Note(channel, "bridge", channel, with, rtp, half);
    }
    Outcome Unbridge(int channel) override { return Note(channel, "unbridge", channel); }
    Outcome Play(const kzapp::KZPlayRequest& r) override {
        std::string files;
        for (const std::string& f : r.files)
            files += f + ",";
        return Note(r.channel, "play", r.channel, files, r.loop, r.random, "stop:" + r.stop_digits);
    }
    Outcome Record(const kzapp::KZRecordRequest& r) override {
        return Note(r.channel, "record", r.channel, r.path, static_cast<int>(r.encoding), r.mixed,
                    r.max_seconds.value_or(-1), "stop:" + r.stop_digits);
    }
    Outcome StopPlay(int channel) override { return Note(channel, "stop-play", channel); }
    Outcome StopRecord(int channel) override { return Note(channel, "stop-record", channel); }
    Outcome SendDTMF(int channel, const std::string& digits, kzapp::KZDTMFMethod m) override {
        return Note(channel, "send-dtmf", channel, digits, static_cast<int>(m));
    }
    Outcome Collect(const kzapp::KZCollectRequest& r) override {
        return Note(r.channel, "collect", r.channel, r.max_digits, r.terminators, r.timeout_ms);
    }
    Outcome DetectTones(int channel, bool on) override { return Note(channel, "detect-tones", channel, on); }
    Outcome Gain(int channel, int in_db, int out_db) override {
        return Note(channel, "gain", channel, in_db, out_db);
    }
    Outcome VoiceDetection(int channel, std::optional<bool> in, std::optional<bool> out) override {
        const auto text = [](std::optional<bool> v) { return v ? std::to_string(*v) : "-"; };
        return Note(channel, "vad", channel, text(in), text(out));
    }
    Outcome Hold(int channel, bool on) override { return Note(channel, on ? "hold" : "resume", channel); }
    Outcome Transfer(const kzapp::KZTransferRequest& r) override {
        return Note(r.channel, "transfer", r.channel, r.target, r.replaces_channel.value_or(-1));
    }
    Outcome Redirect(const kzapp::KZRedirectRequest& r) override {
        return Note(r.channel, "redirect", r.channel, r.target, r.code, r.text);
    }

private:
    template <class... Parts> Outcome Note(int channel, const Parts&... parts) {
        last = kztest::said(parts...);
        return Outcome::Accepted(channel);
    }
};

} // namespace

// Good commands reach call control with their arguments and defaults (the host's call control takes
// the rest of the argument forms from its own table in kzhost_calls_test.cpp); bad ones reach
// nothing.
TEST(KzhostControl, CallCommandsReachCallControlWithTheirArgumentsOrNotAtAll) {
    const std::string long_path = "/" + std::string(255, 'a');
    const kztest::CommandRow rows[] = {
        {R"({"cmd":"dial","to":"sip:b@h"})", "ok", "dial any  sip:b@h 0 :", R"({"channel":5})"},
        {R"({"cmd":"hangup","channel":3})", "ok", "hangup 3 0", R"({"channel":3})"},
        {R"({"cmd":"hangup","channel":3,"cause":486})", "ok", "hangup 3 486", R"({"channel":3})"},
        {R"({"cmd":"bridge","channel":1,"with":2})", "ok", "bridge 1 2 0 0", R"({"channel":1})"},
        {R"({"cmd":"bridge","channel":1,"with":2,"mode":"rtp"})", "ok", "bridge 1 2 1 0", R"({"channel":1})"},
        {R"({"cmd":"bridge","channel":1,"with":2,"mode":"dsp","duplex":"half"})", "ok", "bridge 1 2 0 1",
         R"({"channel":1})"},
        {R"({"cmd":"unbridge","channel":2})", "ok", "unbridge 2", R"({"channel":2})"},
        {R"({"cmd":"play","channel":1,"files":["/a.wav","/b.mp3"],"loop":true,"random":true})", "ok",
         "play 1 /a.wav,/b.mp3, 1 1 stop:", R"({"channel":1})"},
        {R"({"cmd":"record","channel":2,"path":"/r.au"})", "ok",
         "record 2 /r.au 0 0 -1 stop:", R"({"channel":2})"},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"12*#AD"})", "ok", "send-dtmf 0 12*#AD 0",
         R"({"channel":0})"},
        {R"({"cmd":"collect","channel":4,"timeout_ms":300})", "ok", "collect 4 0  300", R"({"channel":4})"},
        {R"({"cmd":"gain","channel":2,"out_db":-6})", "ok", "gain 2 0 -6", R"({"channel":2})"},
        {R"({"cmd":"play","channel":1,"files":[]})", "names no file"},
        {R"({"cmd":"play","channel":1,"files":["a.wav"]})", "not an absolute path"},
        {R"({"cmd":"play","channel":1,"files":"/a.wav"})", "list of strings"},
        {R"({"cmd":"play","channel":1,"files":["/a.wav"],"stop_digits":"#x"})", "only 0-9"},
        {R"({"cmd":"play","channel":1,"files":["/a.wav"],"loop":true,"stop_digits":"#"})", "neither loops"},
        {R"({"cmd":"record","channel":1})", "\"path\" is required"},
        {R"({"cmd":"record","channel":1,"path":")" + long_path + R"("})", "longer than 255"},
        {R"({"cmd":"record","channel":1,"path":"/r.wav","format":"gsm"})", "one of linear, ulaw, alaw"},
        {R"({"cmd":"record","channel":1,"path":"/r.wav","max_seconds":0})", "between 1 and"},
        {R"({"cmd":"send-dtmf","channel":1,"digits":""})", "is empty"},
        {R"({"cmd":"send-dtmf","channel":1,"digits":"12","method":"sms"})", "\"method\" must be one of"},
        {R"({"cmd":"send-dtmf","channel":1,"digits":")" + std::string(65, '1') + R"("})", "more than 64"},
        {R"({"cmd":"collect","channel":1})", "needs"},
        {R"({"cmd":"collect","channel":1,"max_digits":65})", "between 1 and 64"},
        {R"({"cmd":"collect","channel":1,"terminators":")" + std::string(17, '#') + R"("})", "more than 16"},
        {R"({"cmd":"detect-tones","channel":1})", "\"on\" is required"},
        {R"({"cmd":"gain","channel":1,"in_db":21})", "between -40 and 20"},
        {R"({"cmd":"stop-play"})", "\"channel\" is required"},
        {R"({"cmd":"vad","channel":1})", "vad needs"},
        {R"({"cmd":"vad","channel":1,"in":1})", "\"in\" must be"},
        {R"({"cmd":"vad","in":true})", "\"channel\" is required"},
        {R"({"cmd":"vad","channel":3,"in":true})", "ok", "vad 3 1 -", R"({"channel":3})"},
        {R"({"cmd":"vad","channel":3,"out":false,"in":true})", "ok", "vad 3 1 0", R"({"channel":3})"},
        {R"({"cmd":"ping")", "malformed JSON"},
        {R"(["ping"])", "JSON object"},
        {R"({"cmd":"conference"})", "unknown command"},
        {R"({"cmd":"dial","to":5060})", "\"to\" must be a string"},
        {R"({"cmd":"dial","to":"sip:a@127.0.0.1","transport":"sctp"})", "\"transport\""},
        {R"({"cmd":"hangup","channel":1,"cause":16})", "between 400 and 699"},
        {R"({"cmd":"answer","channel":"1"})", "must be an integer"},
        {R"({"cmd":"subscribe","events":["ringing","ringring"]})", "unknown event kind"},
        {R"({"cmd":"bridge","channel":1,"with":2,"mode":"rtp","duplex":"half"})", "full duplex only"},
        {R"({"cmd":"bridge","channel":1,"with":2,"mode":"sip"})", "\"mode\" must be one of dsp, rtp"},
        {R"({"cmd":"media-stats","reset":1})", "true or false"},
    };
    NoStack host;
    RecordingCalls calls;
    const kzapp::KZControlCommands commands(host, calls, "");
    kztest::expect_rows(commands, rows, [&] { return std::exchange(calls.last, ""); });
}

// The checks the commands' text arguments pass (here on short fields): the reason names the
// argument and the first thing in it the module could not carry.
TEST(KzhostControl, ArgumentChecksNameWhatTheModuleCouldNotCarry) {
    using kzapp::KZAddressRule;
    using kzapp::KZFieldRule;
    const KZFieldRule name{8, true, "\" <>"}, reason{8, false, "|"},
        body{8, true, std::string_view("\0", 1), true};
    const KZAddressRule account{.user_required = true, .scheme_required = true}, target{},
        uri{.scheme_required = true, .brackets_allowed = false, .parts_checked = false, .forbidden = "|"};
    const struct {
        std::variant<KZFieldRule, KZAddressRule> rule;
        std::string text;
        const char* reason;
    } rows[] = {
        {name, "alice", ""},
        {name, "", R"("x" is empty)"},
        {name, "12345678", ""},
        {name, "123456789", R"("x" is longer than 8 characters)"},
        {name, "a\r\nX: 1", R"("x" holds a control character)"},
        {name, "a\x7f", R"("x" holds a control character)"},
        {name, "a b", R"("x" holds a space)"},
        {name, "a\"b", R"("x" holds a quote)"},
        {name, "<a>", R"("x" holds an angle bracket)"},
        {reason, "", ""},
        {reason, "Busy <b>", ""},
        {reason, "a|b", R"("x" holds "|")"},
        {reason, "a\tb", R"("x" holds a control character)"},
        {body, "hi\nthere", ""},
        {body, std::string("hi\0", 3), R"("x" holds a NUL character)"},
        {body, "", R"("x" is empty)"},
        {account, "sip:bob@127.0.0.1:5062;transport=tcp", ""},
        {account, "<sip:bob@127.0.0.1>", ""},
        {account, "sip:bob@" + std::string(247, 'h'), ""},
        {account, "sip:bob@" + std::string(248, 'h'), R"("x" is longer than 255 characters)"},
        {account, "", R"("x" is empty)"},
        {account, "bob@127.0.0.1", R"("x" is not a sip: address)"},
        {account, "sip:127.0.0.1", R"("x" names no user)"},
        {account, "sip:@127.0.0.1", R"("x" names no user)"},
        {account, "<bob@127.0.0.1>", R"("x" in angle brackets is a <sip:...> address)"},
        {account, "<sip:bob@127.0.0.1", R"("x" in angle brackets is a <sip:...> address)"},
        {account, "sip:b ob@127.0.0.1", R"("x" holds a space)"},
        {account, "sip:\"bob\"@127.0.0.1", R"("x" holds a quote)"},
        {account, "sip:bob@127.0.0.1>", R"("x" holds an angle bracket)"},
        {account, "sip:bob@127.0.0.1\r\nX: 1", R"("x" holds a control character)"},
        {account, "sip:bob@", R"("x" names no host)"},
        {account, "sip:bob@:5060", R"("x" names no host)"},
        {account, "sip:bob@127.0.0.1:x", R"("x" is not a sip: address)"},
        {account, "sip:bob@127.0.0.1:;lr", R"("x" is not a sip: address)"},
        {account, "sip:bob:pw@127.0.0.1", R"("x" is not a sip: address)"},
        {target, "bob@127.0.0.1", ""},
        {target, "127.0.0.1:5062", ""},
        {target, "<sip:127.0.0.1>", ""},
        {target, "tel:+15550100", R"("x" is not a sip: address)"},
        {target, "sips:bob@127.0.0.1", R"("x" is not a sip: address)"},
        {target, "sip:;lr", R"("x" names no host)"},
        {uri, "sip:bob:pw@127.0.0.1:x", ""},
        {uri, "bob@127.0.0.1", R"("x" is not a sip: address)"},
        {uri, "<sip:bob@127.0.0.1>", R"("x" is not a sip: address)"},
        {uri, "sip:bob@127.0.0.1|x", R"("x" holds "|")"},
        {uri, "sip:<bob>@127.0.0.1", R"("x" holds an angle bracket)"},
    };
    for (const auto& row : rows) {
        const auto* field = std::get_if<KZFieldRule>(&row.rule);
        EXPECT_EQ(field ? kzapp::check_field(row.text, "x", *field)
                        : kzapp::check_sip_address(row.text, "x", std::get<KZAddressRule>(row.rule)),
                  row.reason)
            << row.text;
    }
}
