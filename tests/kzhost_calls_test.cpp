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
#include <functional>
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

namespace {

// Media controls that write down what the commands ask of them; `refuse` makes them say no.
struct MediaLog {
    std::string text;
    bool refuse = false;
    unsigned Note(const std::string& what) {
        text += (text.empty() ? "" : " ") + what;
        return refuse ? 0 : 1;
    }
};

class FakeAudio final : public KZAPI::CKZAudioControl {
public:
    explicit FakeAudio(MediaLog& log) : m_log(log) {}
    unsigned AddAudioPlayDocument(const char* path, uint32_t) override {
        return m_log.Note(std::string("add:") + path);
    }
    unsigned ClearAudioPlayDocument() override {
        return m_log.text += m_log.text.empty() ? "clear" : " clear", 1;
    }
    unsigned PlayAudio(bool loop, bool random) override {
        return m_log.Note("play:" + std::to_string(loop) + std::to_string(random));
    }
    unsigned PlayAudio(int max, const char* stop, unsigned timeout) override {
        return m_log.Note("play-until:" + std::to_string(max) + stop + std::to_string(timeout));
    }
    unsigned RecordAudio(const char* path, uint32_t) override {
        return m_log.Note(Format() + "record:" + path);
    }
    unsigned RecordAudio(const char* path, int, const char* stop, unsigned, uint32_t) override {
        return m_log.Note(Format() + "record-until" + stop + ":" + path);
    }
    unsigned RecordAudio2(const char* path, int, const char* stop, unsigned, uint32_t) override {
        return m_log.Note(Format() + "record-mixed" + stop + ":" + path);
    }
    unsigned StopPlaying(const char* text) override { return m_log.Note(std::string("stop-play:") + text); }
    unsigned StopRecording(const char* text) override {
        return m_log.Note(std::string("stop-record:") + text);
    }

private:
    std::string Format() const { return std::to_string(GetAudioFormat().format) + "/"; }
    MediaLog& m_log;
};

class FakeDTMF final : public KZAPI::CKZDTMFControl {
public:
    explicit FakeDTMF(MediaLog& log) : m_log(log) {}
    // The method the digits went out by (the call's own for a plain play).
    unsigned PlayDTMFString(const char* digits) override {
        return PlayDTMFStringBy(Call().GetDTMFMethod(), digits);
    }
    unsigned PlayDTMFStringBy(int method, const char* digits) override {
        return m_log.Note(std::string("send:") + digits + "/" + std::to_string(method));
    }
    unsigned StartDTMFDetection(int max, const char* stop, unsigned timeout) override {
        return m_log.Note("collect:" + std::to_string(max) + stop + std::to_string(timeout));
    }
    unsigned EnableDTMFDetection() override { return 1; }

private:
    KZAPI::CKZCallControl& Call() const { return *GetChannel()->GetCallControl(); }
    MediaLog& m_log;
};

class FakeTones final : public KZAPI::CKZToneControl {
public:
    explicit FakeTones(MediaLog& log) : m_log(log) {}
    unsigned StartToneDetection() override { return m_log.Note("tones-on"); }
    unsigned StopToneDetection() override { return m_log.Note("tones-off"); }

private:
    MediaLog& m_log;
};

// A channel with a call and the three media controls.
class MediaChannel final : public KZAPI::CKZChannel {
public:
    explicit MediaChannel(int number) : CKZChannel(number, KZAPI::CKZCallControl::KIND_SIP) {
        SetCallControl(&call);
        for (KZAPI::CKZAppControl* control :
             {static_cast<KZAPI::CKZAppControl*>(&audio), static_cast<KZAPI::CKZAppControl*>(&dtmf),
              static_cast<KZAPI::CKZAppControl*>(&tones)})
            control->SetChannel(this);
        SetAudioControl(&audio);
        SetDTMFControl(&dtmf);
        SetToneControl(&tones);
        call.SetDTMFMethod(3);
    }
    ~MediaChannel() override {
        SetCallControl(nullptr);
        SetAudioControl(nullptr);
        SetDTMFControl(nullptr);
        SetToneControl(nullptr);
    }
    MediaLog log;
    FakeCall call;
    FakeAudio audio{log};
    FakeDTMF dtmf{log};
    FakeTones tones{log};
};

} // namespace

TEST(KzhostCalls, MediaCommandsDriveTheConnectedCallsControls) {
    struct Case {
        const char* line;
        const char* reply; // "ok", or contained in the error's reason
        const char* log;   // what the controls were asked, in order
        bool refuse = false;
    };
    const Case cases[] = {
        {R"({"cmd":"play","channel":1,"files":["/a.wav"]})", "channel 1 has no connected call", ""},
        {R"({"cmd":"play","channel":0,"files":["/a.wav","/b.mp3"],"random":true})", "ok",
         "clear add:/a.wav add:/b.mp3 play:01"},
        {R"({"cmd":"play","channel":0,"files":["/a.wav"],"stop_digits":"#*"})", "ok",
         "clear add:/a.wav play-until:0#*0"},
        {R"({"cmd":"play","channel":0,"files":["/a.wav"]})", "cannot play /a.wav", "clear add:/a.wav clear",
         true},
        {R"({"cmd":"record","channel":0,"path":"/r.wav","format":"ulaw"})", "ok", "3/record:/r.wav"},
        {R"({"cmd":"record","channel":0,"path":"/r.raw","format":"alaw","mixed":true,"stop_digits":"#"})",
         "ok", "4/record-mixed#:/r.raw"},
        {R"({"cmd":"record","channel":0,"path":"/r.wav","stop_digits":"9"})", "ok", "7/record-until9:/r.wav"},
        {R"({"cmd":"record","channel":0,"path":"/r.wav","format":"ulaw"})", "recording did not start",
         "3/record:/r.wav", true},
        {R"({"cmd":"stop-play","channel":0})", "ok", "stop-play:"},
        {R"({"cmd":"stop-record","channel":0})", "channel 0 is not recording", "stop-record:", true},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"12#"})", "ok", "send:12#/3"},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"5","method":"inband"})", "ok", "send:5/0"},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"5","method":"info"})", "ok", "send:5/1"},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"5","method":"rfc2833"})", "digits were not sent",
         "send:5/2", true},
        {R"({"cmd":"collect","channel":0,"max_digits":4,"terminators":"#","timeout_ms":10000})", "ok",
         "collect:4#10000"},
        {R"({"cmd":"detect-tones","channel":0,"on":true})", "ok", "tones-on"},
        {R"({"cmd":"detect-tones","channel":0,"on":true})", "no tone of the table", "tones-on", true},
        {R"({"cmd":"detect-tones","channel":0,"on":false})", "ok", "tones-off"},
    };
    KZAPI::CKZServer server;
    MediaChannel connected(0), idle(1);
    server.AddChannel(&connected);
    server.AddChannel(&idle);
    connected.call.Become(CKZCall::CALL_STATUS_CONNECTED);
    NoStack host;
    kzapp::KZHostCalls calls(server);
    const kzapp::KZControlCommands commands(host, calls, "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        connected.log = {"", c.refuse};
        idle.log = {};
        connected.audio.SetAudioFormat({7, 3, 112});
        kzapp::KZClientSession session{.authenticated = true};
        const KZJson reply = commands.Execute(c.line, session);
        const std::string outcome = reply.value("event", "") == "ok" ? "ok" : reply.value("reason", "");
        EXPECT_NE(outcome.find(c.reply), std::string::npos) << reply.dump();
        EXPECT_EQ(connected.log.text, c.log);
        EXPECT_EQ(idle.log.text, "");
        EXPECT_EQ(connected.call.GetDTMFMethod(), 3) << "the call's own method is left alone";
        if (outcome != "ok") {
            EXPECT_EQ(connected.audio.GetAudioFormat().format, 7) << "a refusal changes nothing";
        }
    }
    // A player or recorder already at work is left to it.
    connected.audio.SetAudioOutState(KZAPI::CKZAudioControl::AUDIO_OUT_PLAYING);
    connected.audio.SetAudioInState(KZAPI::CKZAudioControl::AUDIO_IN_RECORDING);
    connected.log = {};
    kzapp::KZClientSession session{.authenticated = true};
    EXPECT_EQ(commands.Execute(R"({"cmd":"play","channel":0,"files":["/a.wav"]})", session)["reason"],
              "channel 0 is playing already");
    EXPECT_EQ(commands.Execute(R"({"cmd":"record","channel":0,"path":"/a.wav"})", session)["reason"],
              "channel 0 is recording already");
    EXPECT_EQ(connected.log.text, "");
    server.RemoveChannel(&connected);
    server.RemoveChannel(&idle);
}

TEST(KzhostCalls, EveryMediaReportIsOneLineAndOneEvent) {
    using Audio = KZAPI::CKZAudioControl;
    using Digits = KZAPI::CKZDTMFControl;
    struct Case {
        std::function<void(kzapp::KZCallEvents&)> report;
        const char* line;
        const char* event;
    };
    const Case cases[] = {
        {[](auto& e) { e.OnDTMFDigit(3, '5', 120, "rfc2833"); }, "kzhost: call 3 digit 5 (rfc2833, 120 ms)",
         R"({"event":"dtmf","channel":3,"digit":"5","duration_ms":120,"method":"rfc2833"})"},
        {[](auto& e) {
             e.CollectionStarts(3);
             e.OnDTMFDone(3, Digits::DTMF_DONE_TERMINATOR, "1234");
         },
         "kzhost: call 3 collected 1234 (terminator)",
         R"({"event":"collect-done","channel":3,"result":"terminator","digits":"1234"})"},
        {[](auto& e) {
             e.CollectionStarts(3);
             e.OnDTMFDone(3, Digits::DTMF_DONE_TIMEOUT, "");
         },
         "kzhost: call 3 collected nothing (timeout)",
         R"({"event":"collect-done","channel":3,"result":"timeout","digits":""})"},
        {[](auto& e) {
             e.CollectionStarts(3);
             e.OnDTMFDone(3, Digits::DTMF_DONE_MAX_DIGITS, "12");
         },
         "kzhost: call 3 collected 12 (max-digits)",
         R"({"event":"collect-done","channel":3,"result":"max-digits","digits":"12"})"},
        {[](auto& e) {
             e.CollectionStarts(3);
             e.OnDTMFDone(3, Digits::DTMF_DONE_STOPPED, "1");
         },
         "kzhost: call 3 collected 1 (stopped)",
         R"({"event":"collect-done","channel":3,"result":"stopped","digits":"1"})"},
        {[](auto& e) { e.OnPlayDone(3, Audio::AUDIO_DONE_LIST_END, ""); }, "kzhost: call 3 play done end",
         R"({"event":"play-done","channel":3,"result":"end","digits":""})"},
        {[](auto& e) { e.OnPlayDone(3, Digits::DTMF_DONE_TERMINATOR, "#"); },
         "kzhost: call 3 play done terminator #",
         R"({"event":"play-done","channel":3,"result":"terminator","digits":"#"})"},
        {[](auto& e) { e.OnPlayDone(3, Audio::AUDIO_DONE_STOPPED, "by request"); },
         "kzhost: call 3 play done stopped",
         R"({"event":"play-done","channel":3,"result":"stopped","digits":""})"},
        {[](auto& e) {
             e.RecordingStarts(3, "/rec/3.wav");
             e.OnRecordDone(3, Digits::DTMF_DONE_TERMINATOR, "#");
         },
         "kzhost: call 3 record done terminator # /rec/3.wav",
         R"({"event":"record-done","channel":3,"result":"terminator","digits":"#","path":"/rec/3.wav"})"},
        {[](auto& e) { e.OnRecordDone(3, Audio::AUDIO_DONE_STOPPED, ""); },
         "kzhost: call 3 record done stopped /rec/3.wav",
         R"({"event":"record-done","channel":3,"result":"stopped","digits":"","path":"/rec/3.wav"})"},
        {[](auto& e) { e.OnToneDetected(3, "busy", 480); }, "kzhost: call 3 tone busy 480 Hz",
         R"({"event":"tone","channel":3,"tone":"busy","frequency":480})"},
    };
    Agent agent;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        agent.lines.clear();
        agent.published.clear();
        c.report(agent.events);
        EXPECT_TRUE(agent.published.empty()) << "nothing is reported on the media thread";
        agent.events.RunOnce();
        ASSERT_EQ(agent.lines.size(), 1u);
        EXPECT_EQ(agent.lines[0], c.line);
        ASSERT_EQ(agent.published.size(), 1u);
        EXPECT_EQ(agent.published[0], KZJson::parse(c.event));
        EXPECT_TRUE(kzapp::event_kind_named(agent.published[0]["event"].get<std::string>()))
            << "subscribable";
    }
    // A play or recording that stops on digits collects them itself and reports its own end; a
    // collection whose end is reported after its call was released belongs to no call any more.
    agent.published.clear();
    agent.events.OnDTMFDone(3, Digits::DTMF_DONE_TERMINATOR, "#");
    agent.events.CollectionStarts(4);
    FakeChannel ended(4);
    ended.call.Become(CKZCall::CALL_STATUS_CONNECTED);
    ended.call.Become(CKZCall::CALL_STATUS_IDLE);
    agent.events.OnDTMFDone(4, Digits::DTMF_DONE_STOPPED, "");
    agent.events.RunOnce();
    for (const KZJson& event : agent.published)
        EXPECT_NE(event["event"], "collect-done") << event.dump();
}

TEST(KzhostCalls, ARecordingIsEndedAtItsLimitUnlessItEndedBefore) {
    struct Case {
        int ended_after; // seconds after the start when the caller's digit ends it; 0: never
        std::vector<int> seconds;
        std::vector<const char*> log; // the controls' log after each wait
        const char* result;           // of the record-done that follows
    };
    const Case cases[] = {
        {0,
         {9, 1, 5},
         {"7/record:/r.wav", "7/record:/r.wav stop-record:max-seconds",
          "7/record:/r.wav stop-record:max-seconds"},
         "max-seconds"},
        {4, {5, 10}, {"7/record:/r.wav", "7/record:/r.wav"}, "terminator"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ended_after);
        Agent agent;
        KZAPI::CKZServer server;
        MediaChannel channel(2);
        server.AddChannel(&channel);
        channel.call.Become(CKZCall::CALL_STATUS_CONNECTED);
        NoStack host;
        kzapp::KZHostCalls calls(server);
        calls.SetMediaWatch(&agent.events);
        const kzapp::KZControlCommands commands(host, calls, "");
        kzapp::KZClientSession session{.authenticated = true};
        agent.events.RunOnce();
        channel.log = {};
        ASSERT_EQ(
            commands.Execute(R"({"cmd":"record","channel":2,"path":"/r.wav","max_seconds":10})", session)
                .value("event", ""),
            "ok");
        int elapsed = 0;
        for (size_t i = 0; i < c.seconds.size(); ++i) {
            if (c.ended_after && elapsed < c.ended_after && elapsed + c.seconds[i] >= c.ended_after)
                agent.events.OnRecordDone(2, KZAPI::CKZDTMFControl::DTMF_DONE_TERMINATOR, "#");
            elapsed += c.seconds[i];
            agent.After(c.seconds[i]);
            EXPECT_EQ(channel.log.text, c.log[i]) << i;
        }
        if (!c.ended_after)
            agent.events.OnRecordDone(2, KZAPI::CKZAudioControl::AUDIO_DONE_STOPPED, "max-seconds");
        agent.events.RunOnce();
        ASSERT_FALSE(agent.published.empty());
        EXPECT_EQ(agent.published.back()["result"], c.result);
        EXPECT_EQ(agent.published.back()["path"], "/r.wav");
        server.RemoveChannel(&channel);
    }
}
