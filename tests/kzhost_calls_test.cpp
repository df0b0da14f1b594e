// kzhost's calls: the event agent turns status changes into lines and events and answers or hangs
// up after its delays (on the manual clock), only ever the call a timer was set for; the call
// commands act on the right channel and refuse what does not apply.
#include "app/KZCallEvents.h"
#include "app/KZControlCommands.h"
#include "app/KZHostCalls.h"
#include "host/CKZCallControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "host/CKZServer.h"
#include "support/no_stack_queries.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using KZAPI::CKZCall;
using kzapp::KZJson;

// A call control that records what the host asks of it; its calls go out in PCMA.
class FakeCall final : public KZAPI::CKZCallControl {
public:
    std::atomic<int> answered{0}, rung{0}, hung_up{0};
    std::atomic<std::thread::id> answered_on{};
    std::string setup; // the SetupCallEx arguments

    unsigned AnswerCall() override {
        answered_on = std::this_thread::get_id();
        return ++answered, 1;
    }
    unsigned RingCall() override { return ++rung, 1; }
    unsigned DisconnectCall() override { return ++hung_up, 1; }
    unsigned SetupCallEx(const char* from, const char* to, const char*, const char*, const char* user,
                         const char* password, const char*, uint16_t, int protocol, int) override {
        setup = std::string(from) + " " + to + " " + user + ":" + password + " " + std::to_string(protocol);
        return 1;
    }
    int GetCurrentAudioCodec() override { return 8; }

    // As the module changes it: under the call's lock.
    void Become(int status) {
        KZAPI::CMutexLock lock(GetCallMutex());
        SetStatus(status);
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

// The agent without its thread, on the manual clock, collecting what it prints and publishes.
struct Agent {
    explicit Agent(kzapp::KZCallPolicy policy = {})
        : events({[this](const KZJson& e) { published.push_back(e); },
                  [this](const std::string& l) { lines.push_back(l); }},
                 policy, clock) {
        KZAPI::CKZCallControl::SetEventSink(&events);
    }
    ~Agent() { KZAPI::CKZCallControl::SetEventSink(nullptr); }
    void After(int seconds) {
        clock.Advance(seconds);
        events.RunOnce();
    }
    KZAPI::CKZManualClock clock;
    std::vector<KZJson> published;
    std::vector<std::string> lines;
    kzapp::KZCallEvents events;
};

constexpr int kProgress = -1;

} // namespace

TEST(KzhostCalls, EveryCallEventIsOneLineAndOneEvent) {
    struct Step {
        int status; // kProgress: early media
        const char* line;
        const char* event;
    };
    const Step steps[] = {
        {CKZCall::CALL_STATUS_OFFERED,
         "kzhost: call 3 offered from <sip:alice@127.0.0.1> to <sip:ivr@127.0.0.1>",
         R"({"event":"offered","channel":3,"from":"<sip:alice@127.0.0.1>","to":"<sip:ivr@127.0.0.1>","call_id":"c1"})"},
        {CKZCall::CALL_STATUS_IDLE, "kzhost: call 3 released 486 Busy Here",
         R"({"event":"released","channel":3,"cause":486,"text":"Busy Here"})"},
        {CKZCall::CALL_STATUS_CALLING, nullptr, nullptr},
        {CKZCall::CALL_STATUS_RINGING, "kzhost: call 3 ringing", R"({"event":"ringing","channel":3})"},
        {kProgress, "kzhost: call 3 progress", R"({"event":"progress","channel":3,"code":183})"},
        {CKZCall::CALL_STATUS_CONNECTED, "kzhost: call 3 connected PCMA/8000",
         R"({"event":"connected","channel":3,"codec":"PCMA/8000"})"},
        {CKZCall::CALL_STATUS_DISCONNECTED, nullptr, nullptr},
    };
    Agent agent;
    FakeChannel made(3);
    made.call.SetCallerNum("<sip:alice@127.0.0.1>");
    made.call.SetCalleeNum("<sip:ivr@127.0.0.1>");
    made.call.SetCallID("c1");
    made.call.SetDisconnectCause(486, "Busy Here");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.status);
        agent.lines.clear();
        agent.published.clear();
        if (step.status == kProgress)
            made.call.OnSessionProgress();
        else
            made.call.Become(step.status);
        EXPECT_TRUE(agent.published.empty()) << "nothing is reported on the call's own thread";
        agent.events.RunOnce();
        if (!step.line) {
            EXPECT_TRUE(agent.lines.empty() && agent.published.empty());
            continue;
        }
        ASSERT_EQ(agent.lines.size(), 1u);
        EXPECT_EQ(agent.lines[0], step.line);
        ASSERT_EQ(agent.published.size(), 1u);
        EXPECT_EQ(agent.published[0], KZJson::parse(step.event));
    }
}

TEST(KzhostCalls, DelaysAnswerAndHangUpOnlyTheCallTheyWereSetFor) {
    struct Case {
        kzapp::KZCallPolicy policy;
        int first_status;                   // what the call becomes
        std::vector<int> seconds;           // waited in turn
        std::vector<int> answered, hung_up; // after each wait
    };
    const Case cases[] = {
        {{}, CKZCall::CALL_STATUS_OFFERED, {0, 1000}, {0, 0}, {0, 0}},
        {{0, {}}, CKZCall::CALL_STATUS_OFFERED, {0, 10}, {1, 1}, {0, 0}},
        {{5, {}}, CKZCall::CALL_STATUS_OFFERED, {4, 1, 10}, {0, 1, 1}, {0, 0, 0}},
        {{{}, 3}, CKZCall::CALL_STATUS_CONNECTED, {2, 1, 10}, {0, 0, 0}, {0, 1, 1}},
        {{5, 3}, CKZCall::CALL_STATUS_CONNECTED, {10}, {0}, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.seconds));
        Agent agent(c.policy);
        FakeChannel made(1);
        made.call.Become(c.first_status);
        for (size_t i = 0; i < c.seconds.size(); ++i) {
            agent.After(c.seconds[i]);
            EXPECT_EQ(made.call.answered, c.answered[i]) << i;
            EXPECT_EQ(made.call.hung_up, c.hung_up[i]) << i;
        }
    }
    // A call that ended leaves its timer behind: the next call on the channel waits its own time.
    Agent agent({5, {}});
    FakeChannel made(2);
    made.call.Become(CKZCall::CALL_STATUS_OFFERED);
    agent.After(1);
    made.call.Become(CKZCall::CALL_STATUS_IDLE);
    agent.After(1);
    made.call.Become(CKZCall::CALL_STATUS_OFFERED);
    agent.After(3);
    EXPECT_EQ(made.call.answered, 0);
    agent.After(2);
    EXPECT_EQ(made.call.answered, 1);
}

TEST(KzhostCalls, TheAgentThreadAnswersOutsideTheCallersThread) {
    kzapp::KZCallEvents events({[](const KZJson&) {}, {}}, {0, {}});
    events.Start();
    KZAPI::CKZCallControl::SetEventSink(&events);
    FakeChannel made(0);
    made.call.Become(CKZCall::CALL_STATUS_OFFERED);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (made.call.answered == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    KZAPI::CKZCallControl::SetEventSink(nullptr);
    events.Stop();
    EXPECT_EQ(made.call.answered, 1);
    EXPECT_NE(made.call.answered_on.load(), std::this_thread::get_id());
}

namespace {

using kztest::NoStack;

} // namespace

TEST(KzhostCalls, CommandsActOnTheRightChannelAndRefuseWhatDoesNotApply) {
    KZAPI::CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.address", "127.0.0.1");
    KZAPI::CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.port", "5070");
    KZAPI::CKZServer server;
    FakeChannel busy(0), idle(1), offered(2);
    for (FakeChannel* c : {&busy, &idle, &offered})
        server.AddChannel(&c->channel);
    busy.call.Become(CKZCall::CALL_STATUS_CONNECTED);
    offered.call.Become(CKZCall::CALL_STATUS_OFFERED);
    struct Case {
        const char* line;
        const char* reply; // "ok", or contained in the error's reason
        FakeCall* call;    // where the command lands
        const char* setup = "";
    };
    const Case cases[] = {
        {R"({"cmd":"dial","channel":7,"to":"sip:b@127.0.0.1"})", "no channel 7", nullptr},
        {R"({"cmd":"dial","channel":0,"to":"sip:b@127.0.0.1"})", "channel 0 is busy", nullptr},
        {R"({"cmd":"dial","channel":1})", "\"to\" is required", nullptr},
        {R"({"cmd":"answer","channel":1})", "channel 1 has no offered call", nullptr},
        {R"({"cmd":"hangup","channel":1})", "channel 1 has no call", nullptr},
        {R"({"cmd":"dial","to":"sip:b@127.0.0.1","transport":"tls","user":"u","password":"p"})", "ok",
         &idle.call, "<sip:kzhost@127.0.0.1:5071> sip:b@127.0.0.1 u:p 2"},
        {R"({"cmd":"dial","channel":1,"from":"<sip:me@127.0.0.1>","to":"sip:b@127.0.0.1","transport":"tcp"})",
         "ok", &idle.call, "<sip:me@127.0.0.1> sip:b@127.0.0.1 : 1"},
        {R"({"cmd":"ring","channel":2})", "ok", &offered.call},
        {R"({"cmd":"answer","channel":2})", "ok", &offered.call},
        {R"({"cmd":"hangup","channel":0,"cause":603})", "ok", &busy.call},
    };
    NoStack host;
    kzapp::KZHostCalls calls(server);
    const kzapp::KZControlCommands commands(host, calls, "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        for (FakeChannel* f : {&busy, &idle, &offered}) {
            f->call.setup.clear();
            f->call.answered = f->call.rung = f->call.hung_up = 0;
        }
        kzapp::KZClientSession session{.authenticated = true};
        const KZJson reply = commands.Execute(c.line, session);
        const std::string outcome = reply.value("event", "") == "ok" ? "ok" : reply.value("reason", "");
        EXPECT_NE(outcome.find(c.reply), std::string::npos) << reply.dump();
        for (FakeChannel* f : {&busy, &idle, &offered}) {
            const bool acted = !f->call.setup.empty() || f->call.answered || f->call.rung || f->call.hung_up;
            EXPECT_EQ(acted, &f->call == c.call) << f->channel.GetChannelNumber();
        }
        if (c.call) {
            EXPECT_EQ(c.call->setup, c.setup);
        }
    }
    EXPECT_EQ(busy.call.GetDisconnectCauseCode(), 603);
    EXPECT_STREQ(busy.call.GetDisconnectCauseText(), "Decline");
    for (FakeChannel* c : {&busy, &idle, &offered})
        server.RemoveChannel(&c->channel);
    KZAPI::CKZCfgInterface::CFG_Clear();
}
