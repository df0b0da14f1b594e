// kzhost's hold, transfer and redirection: the commands refuse every bad argument and every call in
// the wrong state before they reach a call control, and hand good ones on in the form the module
// writes into its messages; the call controls' hold and transfer reports become one line and one
// event each; the calls listing tells who holds a call.
#include "app/KZCallEvents.h"
#include "app/KZControlCommands.h"
#include "app/KZHostCalls.h"
#include "host/CKZCallControl.h"
#include "host/CKZChannel.h"
#include "host/CKZServer.h"
#include "support/no_stack_queries.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using KZAPI::CKZCall;
using kzapp::KZJson;

// A call control that writes down the hold, transfer and redirection the host asks of it.
class FakeCall final : public KZAPI::CKZCallControl {
public:
    std::string asked;
    bool refuse = false;
    std::string contact;

    unsigned Hold() override { return Note("hold"); }
    unsigned TransferTo(const char* target, int dest_channel) override {
        return Note("transfer " + std::string(target) + " " + std::to_string(dest_channel));
    }
    unsigned RedirectTo(const char* target, const char* code, const char* text) override {
        return Note("redirect " + std::string(target) + " " + code + " " + text);
    }
    const char* GetPeerSIPContactAddress() override { return contact.c_str(); }

    // As the module reports them: under the call's lock.
    void Become(int status) {
        KZAPI::CMutexLock lock(GetCallMutex());
        SetStatus(status);
    }
    void Holding(bool held, bool by_remote) {
        KZAPI::CMutexLock lock(GetCallMutex());
        ReportHolding(held, by_remote);
    }
    void TransferReport(int code, const char* text) {
        KZAPI::CMutexLock lock(GetCallMutex());
        ReportTransferProgress(code, text);
    }

private:
    unsigned Note(const std::string& what) {
        asked = what;
        return refuse ? 0 : 1;
    }
};

struct FakeChannel {
    explicit FakeChannel(int number) : channel(number, KZAPI::CKZCallControl::KIND_SIP) {
        channel.SetCallControl(&call);
        call.SetChannel(&channel);
    }
    ~FakeChannel() { channel.SetCallControl(nullptr); }
    KZAPI::CKZChannel channel;
    FakeCall call;
};

std::string outcome_of(const KZJson& reply) {
    return reply.value("event", "") == "ok" ? "ok" : reply.value("reason", "");
}

} // namespace

TEST(KzhostTransfer, CommandsCheckEverythingBeforeTheyAct) {
    // Channel 0 and 1 carry connected calls, 2 an offered one, 3 none.
    struct Case {
        std::string line;
        const char* reply; // "ok", or contained in the error's reason
        int acts_on = -1;  // the channel whose call control is asked
        const char* asked = "";
        bool held = false;   // channel 0 is on hold (by this side) before the command
        bool refuse = false; // the call control says no
    };
    const Case cases[] = {
        {R"({"cmd":"hold","channel":0})", "ok", 0, "hold"},
        {R"({"cmd":"hold","channel":0})", "channel 0 is on hold already", -1, "", true},
        {R"({"cmd":"hold","channel":0})", "the call was not put on hold", 0, "hold", false, true},
        {R"({"cmd":"resume","channel":0})", "ok", 0, "hold", true},
        {R"({"cmd":"resume","channel":0})", "channel 0 is not on hold"},
        {R"({"cmd":"resume","channel":0})", "the call was not taken off hold", 0, "hold", true, true},
        {R"({"cmd":"hold","channel":2})", "channel 2 has no connected call"},
        {R"({"cmd":"transfer","channel":0,"target":"sip:carol@127.0.0.1"})", "ok", 0,
         "transfer <sip:carol@127.0.0.1> -1"},
        {R"({"cmd":"transfer","channel":0,"target":"carol@127.0.0.1:5070;transport=tcp"})", "ok", 0,
         "transfer <sip:carol@127.0.0.1:5070;transport=tcp> -1"},
        {R"({"cmd":"transfer","channel":0,"target":"<sip:127.0.0.1>"})", "ok", 0,
         "transfer <sip:127.0.0.1> -1"},
        {R"({"cmd":"transfer","channel":0,"target":"sip:carol@127.0.0.1"})", "the transfer was not sent", 0,
         "transfer <sip:carol@127.0.0.1> -1", false, true},
        {R"({"cmd":"transfer","channel":0})", "\"target\" is required without \"replaces_channel\""},
        {R"({"cmd":"transfer","channel":0,"target":"sips:carol@127.0.0.1"})", "not a sip: address"},
        {R"({"cmd":"transfer","channel":0,"target":"tel:+1555@127.0.0.1"})", "not a sip: address"},
        {R"({"cmd":"transfer","channel":0,"target":"<sip:carol@127.0.0.1"})", "angle brackets"},
        {R"({"cmd":"transfer","channel":0,"target":"sip:carol@127.0.0.1>"})", "angle bracket"},
        {R"({"cmd":"transfer","channel":0,"target":"carol smith@127.0.0.1"})", "a space"},
        {R"({"cmd":"transfer","channel":0,"target":"carol@127.0.0.1\r\nX-Injected: 1"})",
         "control character"},
        {R"({"cmd":"transfer","channel":0,"target":"sip:carol@"})", "names no host"},
        {R"({"cmd":"transfer","channel":0,"target":"sip:carol@127.0.0.1)" + std::string(240, 'x') + "\"}",
         "longer than 255"},
        {R"({"cmd":"transfer","channel":2,"target":"sip:carol@127.0.0.1"})",
         "channel 2 has no connected call"},
        // Attended: the far end's new call replaces the call on channel 1, whose far end it calls.
        {R"({"cmd":"transfer","channel":0,"replaces_channel":1})", "ok", 0,
         "transfer <sip:dave@127.0.0.1:5071> 1"},
        {R"({"cmd":"transfer","channel":0,"replaces_channel":1,"target":"sip:desk@127.0.0.1"})", "ok", 0,
         "transfer <sip:desk@127.0.0.1> 1"},
        {R"({"cmd":"transfer","channel":0,"replaces_channel":0})", "a call cannot replace itself"},
        {R"({"cmd":"transfer","channel":0,"replaces_channel":2})", "channel 2 has no connected call"},
        {R"({"cmd":"redirect","channel":2,"target":"sip:carol@127.0.0.1"})", "ok", 2,
         "redirect <sip:carol@127.0.0.1> 302 Moved Temporarily"},
        {R"({"cmd":"redirect","channel":2,"target":"carol@127.0.0.1","code":301})", "ok", 2,
         "redirect <sip:carol@127.0.0.1> 301 Moved Permanently"},
        {R"({"cmd":"redirect","channel":2,"target":"carol@127.0.0.1","code":380})", "ok", 2,
         "redirect <sip:carol@127.0.0.1> 380 Redirection"},
        {R"({"cmd":"redirect","channel":2,"target":"carol@127.0.0.1","code":305,"text":"Use Proxy"})", "ok",
         2, "redirect <sip:carol@127.0.0.1> 305 Use Proxy"},
        {R"({"cmd":"redirect","channel":2,"target":"carol@127.0.0.1"})", "the call was not redirected", 2,
         "redirect <sip:carol@127.0.0.1> 302 Moved Temporarily", false, true},
        {R"({"cmd":"redirect","channel":2,"target":"carol@127.0.0.1","code":299})", "between 300 and 399"},
        {R"({"cmd":"redirect","channel":2,"target":"carol@127.0.0.1","text":""})", "\"text\" is empty"},
        {R"({"cmd":"redirect","channel":2,"target":"carol@127.0.0.1","text":"Gone\nX: 1"})",
         "control character"},
        {R"({"cmd":"redirect","channel":2})", "\"target\" is required"},
        {R"({"cmd":"redirect","channel":0,"target":"carol@127.0.0.1"})", "channel 0 has no offered call"},
    };
    KZAPI::CKZServer server;
    FakeChannel channels[] = {FakeChannel(0), FakeChannel(1), FakeChannel(2), FakeChannel(3)};
    for (FakeChannel& c : channels)
        server.AddChannel(&c.channel);
    channels[0].call.Become(CKZCall::CALL_STATUS_CONNECTED);
    channels[1].call.Become(CKZCall::CALL_STATUS_CONNECTED);
    channels[1].call.contact = "\"Dave\" <sip:dave@127.0.0.1:5071>;expires=60";
    channels[2].call.Become(CKZCall::CALL_STATUS_OFFERED);
    kztest::NoStack host;
    kzapp::KZHostCalls calls(server);
    const kzapp::KZControlCommands commands(host, calls, "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        for (FakeChannel& f : channels) {
            f.call.asked.clear();
            f.call.refuse = c.refuse;
        }
        channels[0].call.Holding(c.held, false);
        kzapp::KZClientSession session{.authenticated = true};
        const KZJson reply = commands.Execute(c.line, session);
        EXPECT_NE(outcome_of(reply).find(c.reply), std::string::npos) << reply.dump();
        for (FakeChannel& f : channels) {
            const int number = f.channel.GetChannelNumber();
            EXPECT_EQ(f.call.asked, number == c.acts_on ? c.asked : "") << "channel " << number;
        }
    }
    for (FakeChannel& c : channels)
        server.RemoveChannel(&c.channel);
}

TEST(KzhostTransfer, AnAttendedTransferFindsTheFarEndByContactElseByTheRemoteParty) {
    struct Case {
        const char* contact;
        unsigned direction;
        const char* caller;
        const char* callee;
        const char* found; // "" when the call names no far end
    };
    const Case cases[] = {
        {"<sip:dave@127.0.0.1:5071;transport=tcp>", CKZCall::CALL_INBOUND, "<sip:x@127.0.0.1>", "",
         "<sip:dave@127.0.0.1:5071;transport=tcp>"},
        {"sip:dave@127.0.0.1:5071", CKZCall::CALL_INBOUND, "", "", "<sip:dave@127.0.0.1:5071>"},
        {"", CKZCall::CALL_INBOUND, "\"Erin\" <sip:erin@127.0.0.1>;tag=e1", "<sip:ivr@127.0.0.1>",
         "<sip:erin@127.0.0.1>"},
        {"", CKZCall::CALL_OUTBOUND, "<sip:ivr@127.0.0.1>", "sip:frank@127.0.0.1;tag=f1",
         "<sip:frank@127.0.0.1>"},
        {"", CKZCall::CALL_OUTBOUND, "<sip:ivr@127.0.0.1>", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.found);
        FakeChannel made(1);
        made.call.contact = c.contact;
        made.call.SetCallDirection(c.direction);
        made.call.SetCallerNum(c.caller);
        made.call.SetCalleeNum(c.callee);
        EXPECT_EQ(kzapp::KZHostCalls::FarEndOf(made.call), c.found);
    }
}

namespace {

// The agent without its thread, collecting what it prints and publishes.
struct Agent {
    Agent()
        : events({[this](const KZJson& e) { published.push_back(e); },
                  [this](const std::string& l) { lines.push_back(l); }},
                 {}) {
        KZAPI::CKZCallControl::SetEventSink(&events);
    }
    ~Agent() { KZAPI::CKZCallControl::SetEventSink(nullptr); }
    std::vector<KZJson> published;
    std::vector<std::string> lines;
    kzapp::KZCallEvents events;
};

} // namespace

TEST(KzhostTransfer, EveryHoldAndTransferReportIsItsLinesAndEvents) {
    struct Case {
        std::function<void(FakeCall&, kzapp::KZCallEvents&)> report;
        std::vector<std::string> lines;
        std::vector<const char*> events;
    };
    const Case cases[] = {
        {[](FakeCall& c, auto&) { c.Holding(true, false); },
         {"kzhost: call 3 held"},
         {R"({"event":"held","channel":3})"}},
        {[](FakeCall& c, auto&) { c.Holding(true, false); }, {}, {}}, // no change, no report
        {[](FakeCall& c, auto&) { c.Holding(false, false); },
         {"kzhost: call 3 resumed"},
         {R"({"event":"resumed","channel":3})"}},
        {[](FakeCall& c, auto&) { c.Holding(true, true); },
         {"kzhost: call 3 held by remote"},
         {R"({"event":"remote-held","channel":3})"}},
        {[](FakeCall& c, auto&) { c.Holding(false, true); },
         {"kzhost: call 3 resumed by remote"},
         {R"({"event":"remote-resumed","channel":3})"}},
        {[](FakeCall& c, auto& e) {
             e.TransferStarts(3, "<sip:carol@127.0.0.1>");
             c.TransferReport(100, "Trying");
         },
         {"kzhost: call 3 transfer 100 Trying"},
         {R"({"event":"transfer-progress","channel":3,"code":100,"text":"Trying"})"}},
        {[](FakeCall& c, auto&) { c.TransferReport(200, "OK"); },
         {"kzhost: call 3 transfer 200 OK", "kzhost: call 3 transferred to <sip:carol@127.0.0.1>"},
         {R"({"event":"transfer-progress","channel":3,"code":200,"text":"OK"})",
          R"({"event":"transferred","channel":3,"target":"<sip:carol@127.0.0.1>","role":"transferor"})"}},
        {[](FakeCall& c, auto&) { c.TransferReport(486, "Busy Here"); },
         {"kzhost: call 3 transfer 486 Busy Here"},
         {R"({"event":"transfer-progress","channel":3,"code":486,"text":"Busy Here"})"}},
        {[](FakeCall& c, auto&) { c.OnCallTransfering("<sip:carol@127.0.0.1>", "", "", ""); },
         {"kzhost: call 3 transfer requested to <sip:carol@127.0.0.1> (blind)"},
         {R"({"event":"transfer-requested","channel":3,"target":"<sip:carol@127.0.0.1>","attended":false})"}},
        {[](FakeCall& c, auto&) { c.OnCallTransfering("<sip:dave@127.0.0.1>", "abc@127.0.0.1", "f1", "t1"); },
         {"kzhost: call 3 transfer requested to <sip:dave@127.0.0.1> (attended)"},
         {R"({"event":"transfer-requested","channel":3,"target":"<sip:dave@127.0.0.1>","attended":true})"}},
    };
    Agent agent;
    FakeChannel made(3);
    made.call.Become(CKZCall::CALL_STATUS_CONNECTED);
    agent.events.RunOnce();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.empty() ? "nothing" : c.lines[0]);
        agent.lines.clear();
        agent.published.clear();
        c.report(made.call, agent.events);
        EXPECT_TRUE(agent.published.empty()) << "nothing is reported on the call's own thread";
        agent.events.RunOnce();
        EXPECT_EQ(agent.lines, c.lines);
        ASSERT_EQ(agent.published.size(), c.events.size());
        for (size_t i = 0; i < c.events.size(); ++i) {
            EXPECT_EQ(agent.published[i], KZJson::parse(c.events[i]));
            EXPECT_TRUE(kzapp::event_kind_named(agent.published[i]["event"].get<std::string>()))
                << "subscribable";
        }
    }
}

namespace {

class HeldChannels final : public kzapp::IKZHostQueries {
public:
    std::vector<kzapp::KZChannelStatus> channels;
    bool ReadStackStats(KZ_SIPStackStats&) override { return false; }
    std::vector<kzapp::KZChannelStatus> ListChannels() override { return channels; }
    kzapp::KZMediaTiming ReadMediaTiming(bool) override { return {}; }
};

} // namespace

TEST(KzhostTransfer, TheCallsListingTellsWhichSideHoldsACall) {
    HeldChannels host;
    const std::pair<bool, bool> holds[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (const auto& [local, remote] : holds) {
        kzapp::KZChannelStatus status;
        status.held_locally = local;
        status.held_by_remote = remote;
        host.channels.push_back(status);
    }
    kzapp::KZNoCallControl calls;
    const kzapp::KZControlCommands commands(host, calls, "");
    kzapp::KZClientSession session{.authenticated = true};
    const KZJson listed = commands.Execute(R"({"cmd":"calls"})", session)["channels"];
    ASSERT_EQ(listed.size(), 4u);
    const KZJson expected[] = {false, "local", "remote", "both"};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(listed[i]["held"], expected[i]) << i;
}
