// kzhost's calls: the event agent turns status changes and call, media, hold and transfer reports
// into lines and events and answers or hangs up after its delays (on the manual clock), only ever
// the call a timer was set for; the call, hold, transfer and redirection commands act on the right
// channel, in the form the module writes into its messages, and refuse what does not apply; the
// calls listing tells who holds a call.
#include "app/KZCallEvents.h"
#include "app/KZControlCommands.h"
#include "app/KZHostCalls.h"
#include "host/CKZCallControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "host/CKZServer.h"
#include "support/kzhost_fakes.h"
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
using kztest::Agent;
using kztest::FakeCall;
using kztest::FakeChannel;
using kztest::NoStack;

} // namespace

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

TEST(KzhostCalls, CommandsActOnTheRightCallAndRefuseWhatDoesNotApply) {
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
        {R"({"cmd":"dial","channel":7,"to":"sip:b@127.0.0.1"})", "no channel 7"},
        {R"({"cmd":"dial","channel":0,"to":"sip:b@127.0.0.1"})", "channel 0 is busy"},
        {R"({"cmd":"dial","channel":3})", "\"to\" is required"},
        {R"({"cmd":"answer","channel":3})", "channel 3 has no offered call"},
        {R"({"cmd":"hangup","channel":3})", "channel 3 has no call"},
        {R"({"cmd":"unbridge","channel":3})", "channel 3 is not bridged"},
        {R"({"cmd":"bridge","channel":0,"with":0})", "cannot be bridged to itself"},
        {R"({"cmd":"dial","to":"sip:b@127.0.0.1","transport":"tls","user":"u","password":"p"})", "ok", 3,
         "dial <sip:kzhost@127.0.0.1:5071> sip:b@127.0.0.1 u:p 2"},
        {R"({"cmd":"dial","channel":3,"from":"<sip:me@127.0.0.1>","to":"sip:b@127.0.0.1","transport":"tcp"})",
         "ok", 3, "dial <sip:me@127.0.0.1> sip:b@127.0.0.1 : 1"},
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
        {R"({"cmd":"transfer","channel":0,"target":"tel:+15550100"})", "not a sip: address"},
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
        {R"({"cmd":"redirect","channel":2,"target":"sip:carol@"})", "\"target\" names no host"},
        {R"({"cmd":"redirect","channel":0,"target":"carol@127.0.0.1"})", "channel 0 has no offered call"},
        // An answered call is offered no more: channel 2 is answered last.
        {R"({"cmd":"ring","channel":2})", "ok", 2, "ring"},
        {R"({"cmd":"answer","channel":2})", "ok", 2, "answer"},
        {R"({"cmd":"hangup","channel":0,"cause":603})", "ok", 0, "hangup"},
    };
    KZAPI::CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.address", "127.0.0.1");
    KZAPI::CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.port", "5070");
    KZAPI::CKZServer server;
    FakeChannel channels[] = {FakeChannel(0), FakeChannel(1), FakeChannel(2), FakeChannel(3)};
    for (FakeChannel& c : channels)
        server.AddChannel(&c.channel);
    channels[0].call.Become(CKZCall::CALL_STATUS_CONNECTED);
    channels[1].call.Become(CKZCall::CALL_STATUS_CONNECTED);
    channels[1].call.contact = "\"Dave\" <sip:dave@127.0.0.1:5071>;expires=60";
    channels[2].call.Become(CKZCall::CALL_STATUS_OFFERED);
    NoStack host;
    kzapp::KZHostCalls calls(server);
    const kzapp::KZControlCommands commands(host, calls, "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        for (FakeChannel& f : channels) {
            f.call.asked.clear();
            f.call.refuse = c.refuse;
        }
        channels[0].call.Holding(c.held, false);
        const KZJson reply = kztest::run_command(commands, c.line);
        EXPECT_NE(kztest::outcome_of(reply).find(c.reply), std::string::npos) << reply.dump();
        for (FakeChannel& f : channels) {
            const int number = f.channel.GetChannelNumber();
            EXPECT_EQ(f.call.asked, number == c.acts_on ? c.asked : "") << "channel " << number;
        }
    }
    EXPECT_EQ(channels[0].call.GetDisconnectCauseCode(), 603);
    EXPECT_STREQ(channels[0].call.GetDisconnectCauseText(), "Decline");
    for (FakeChannel& c : channels)
        server.RemoveChannel(&c.channel);
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

// Recording in u-law, DTMF by INFO, collecting and detecting tones are also kzhost_playrecord.sh's,
// kzhost_dtmf.sh's and kzhost_ivr.sh's.
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
        {R"({"cmd":"record","channel":0,"path":"/r.raw","format":"alaw","mixed":true,"stop_digits":"#"})",
         "ok", "4/record-mixed#:/r.raw"},
        {R"({"cmd":"record","channel":0,"path":"/r.wav","stop_digits":"9"})", "ok", "7/record-until9:/r.wav"},
        {R"({"cmd":"record","channel":0,"path":"/r.wav","format":"ulaw"})", "recording did not start",
         "3/record:/r.wav", true},
        {R"({"cmd":"stop-play","channel":0})", "ok", "stop-play:"},
        {R"({"cmd":"stop-record","channel":0})", "channel 0 is not recording", "stop-record:", true},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"12#"})", "ok", "send:12#/3"},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"5","method":"inband"})", "ok", "send:5/0"},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"5","method":"rfc2833"})", "digits were not sent",
         "send:5/2", true},
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
        const KZJson reply = kztest::run_command(commands, c.line);
        const std::string outcome = kztest::outcome_of(reply);
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
    EXPECT_EQ(
        kztest::outcome_of(kztest::run_command(commands, R"({"cmd":"play","channel":0,"files":["/a.wav"]})")),
        "channel 0 is playing already");
    EXPECT_EQ(
        kztest::outcome_of(kztest::run_command(commands, R"({"cmd":"record","channel":0,"path":"/a.wav"})")),
        "channel 0 is recording already");
    EXPECT_EQ(connected.log.text, "");
    server.RemoveChannel(&connected);
    server.RemoveChannel(&idle);
}

// Status changes and reports of a call on channel 3, in the order a call goes through them.
TEST(KzhostCalls, EveryReportIsItsLinesAndEvents) {
    using Audio = KZAPI::CKZAudioControl;
    using Digits = KZAPI::CKZDTMFControl;
    struct Case {
        std::function<void(FakeCall&, kzapp::KZCallEvents&)> report;
        std::vector<std::string> lines;
        std::vector<const char*> events;
    };
    const auto becomes = [](int status) { return [status](FakeCall& c, auto&) { c.Become(status); }; };
    const auto collected = [](int result, const char* digits) {
        return [=](FakeCall&, kzapp::KZCallEvents& e) {
            e.CollectionStarts(3);
            e.OnDTMFDone(3, result, digits);
        };
    };
    const Case cases[] = {
        {becomes(CKZCall::CALL_STATUS_OFFERED),
         {"kzhost: call 3 offered from <sip:alice@127.0.0.1> to <sip:ivr@127.0.0.1>"},
         {R"({"event":"offered","channel":3,"from":"<sip:alice@127.0.0.1>","to":"<sip:ivr@127.0.0.1>","call_id":"c1"})"}},
        {becomes(CKZCall::CALL_STATUS_IDLE),
         {"kzhost: call 3 released 486 Busy Here"},
         {R"({"event":"released","channel":3,"cause":486,"text":"Busy Here"})"}},
        {becomes(CKZCall::CALL_STATUS_CALLING), {}, {}},
        {[](FakeCall& c, auto&) { c.OnSessionProgress(); },
         {"kzhost: call 3 progress"},
         {R"({"event":"progress","channel":3,"code":183})"}},
        {becomes(CKZCall::CALL_STATUS_CONNECTED),
         {"kzhost: call 3 connected PCMA/8000"},
         {R"({"event":"connected","channel":3,"codec":"PCMA/8000"})"}},
        {[](FakeCall& c, auto&) { c.Holding(true, false); },
         {"kzhost: call 3 held"},
         {R"({"event":"held","channel":3})"}},
        {[](FakeCall& c, auto&) { c.Holding(true, false); }, {}, {}}, // no change, no report
        {[](FakeCall& c, auto&) { c.Holding(true, true); },
         {"kzhost: call 3 held by remote"},
         {R"({"event":"remote-held","channel":3})"}},
        {[](FakeCall& c, auto& e) {
             e.SwapTransferTarget(3, "<sip:carol@127.0.0.1>");
             c.TransferReport(100, "Trying");
         },
         {"kzhost: call 3 transfer 100 Trying"},
         {R"({"event":"transfer-progress","channel":3,"code":100,"text":"Trying"})"}},
        {[](FakeCall& c, auto&) { c.TransferReport(200, "OK"); },
         {"kzhost: call 3 transfer 200 OK", "kzhost: call 3 transferred to <sip:carol@127.0.0.1>"},
         {R"({"event":"transfer-progress","channel":3,"code":200,"text":"OK"})",
          R"({"event":"transferred","channel":3,"target":"<sip:carol@127.0.0.1>","role":"transferor"})"}},
        {[](FakeCall& c, auto&) { c.OnCallTransfering("<sip:dave@127.0.0.1>", "abc@127.0.0.1", "f1", "t1"); },
         {"kzhost: call 3 transfer requested to <sip:dave@127.0.0.1> (attended)"},
         {R"({"event":"transfer-requested","channel":3,"target":"<sip:dave@127.0.0.1>","attended":true})"}},
        {[](FakeCall&, auto& e) { e.OnDTMFDigit(3, '5', 120, "rfc2833"); },
         {"kzhost: call 3 digit 5 (rfc2833, 120 ms)"},
         {R"({"event":"dtmf","channel":3,"digit":"5","duration_ms":120,"method":"rfc2833"})"}},
        {collected(Digits::DTMF_DONE_TERMINATOR, "1234"),
         {"kzhost: call 3 collected 1234 (terminator)"},
         {R"({"event":"collect-done","channel":3,"result":"terminator","digits":"1234"})"}},
        {collected(Digits::DTMF_DONE_TIMEOUT, ""),
         {"kzhost: call 3 collected nothing (timeout)"},
         {R"({"event":"collect-done","channel":3,"result":"timeout","digits":""})"}},
        {[](FakeCall&, auto& e) { e.OnPlayDone(3, Audio::AUDIO_DONE_LIST_END, ""); },
         {"kzhost: call 3 play done end"},
         {R"({"event":"play-done","channel":3,"result":"end","digits":""})"}},
        {[](FakeCall&, auto& e) { e.OnPlayDone(3, Digits::DTMF_DONE_TERMINATOR, "#"); },
         {"kzhost: call 3 play done terminator #"},
         {R"({"event":"play-done","channel":3,"result":"terminator","digits":"#"})"}},
        {[](FakeCall&, auto& e) {
             e.RecordingStarts(3, "/rec/3.wav");
             e.OnRecordDone(3, Digits::DTMF_DONE_TERMINATOR, "#");
         },
         {"kzhost: call 3 record done terminator # /rec/3.wav"},
         {R"({"event":"record-done","channel":3,"result":"terminator","digits":"#","path":"/rec/3.wav"})"}},
        {[](FakeCall&, auto& e) { e.OnRecordDone(3, Audio::AUDIO_DONE_STOPPED, ""); },
         {"kzhost: call 3 record done stopped /rec/3.wav"},
         {R"({"event":"record-done","channel":3,"result":"stopped","digits":"","path":"/rec/3.wav"})"}},
        {[](FakeCall&, auto& e) { e.OnToneDetected(3, "busy", 480); },
         {"kzhost: call 3 tone busy 480 Hz"},
         {R"({"event":"tone","channel":3,"tone":"busy","frequency":480})"}},
        {becomes(CKZCall::CALL_STATUS_DISCONNECTED), {}, {}},
    };
    Agent agent;
    FakeChannel made(3);
    made.call.SetCallerNum("<sip:alice@127.0.0.1>");
    made.call.SetCalleeNum("<sip:ivr@127.0.0.1>");
    made.call.SetCallID("c1");
    made.call.SetDisconnectCause(486, "Busy Here");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.empty() ? "nothing" : c.lines[0]);
        agent.Clear();
        c.report(made.call, agent.events);
        EXPECT_TRUE(agent.published.empty()) << "nothing is reported on the call's or media's own thread";
        agent.events.RunOnce();
        EXPECT_EQ(agent.lines, c.lines);
        ASSERT_EQ(agent.published.size(), c.events.size());
        for (size_t i = 0; i < c.events.size(); ++i) {
            EXPECT_EQ(agent.published[i], KZJson::parse(c.events[i]));
            EXPECT_TRUE(kzapp::event_kind_named(agent.published[i]["event"].get<std::string>()))
                << "subscribable";
        }
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

// The limit itself ends kzhost_playrecord.sh's recordings ("max_seconds"); one the caller ended
// before is left alone.
TEST(KzhostCalls, ARecordingIsEndedAtItsLimitUnlessItEndedBefore) {
    Agent agent;
    KZAPI::CKZServer server;
    MediaChannel channel(2);
    server.AddChannel(&channel);
    channel.call.Become(CKZCall::CALL_STATUS_CONNECTED);
    NoStack host;
    kzapp::KZHostCalls calls(server);
    calls.SetMediaWatch(&agent.events);
    const kzapp::KZControlCommands commands(host, calls, "");
    agent.events.RunOnce();
    channel.log = {};
    ASSERT_EQ(kztest::outcome_of(kztest::run_command(
                  commands, R"({"cmd":"record","channel":2,"path":"/r.wav","max_seconds":10})")),
              "ok");
    agent.After(4);
    agent.events.OnRecordDone(2, KZAPI::CKZDTMFControl::DTMF_DONE_TERMINATOR, "#");
    agent.After(1);
    agent.After(10);
    EXPECT_EQ(channel.log.text, "7/record:/r.wav") << "no stop at the limit";
    ASSERT_FALSE(agent.published.empty());
    EXPECT_EQ(agent.published.back()["result"], "terminator");
    EXPECT_EQ(agent.published.back()["path"], "/r.wav");
    server.RemoveChannel(&channel);
}

// Without a Contact the far end is the remote party: the caller of a call taken, the callee of one placed.
TEST(KzhostCalls, AnAttendedTransferWithoutAContactCallsTheRemoteParty) {
    const struct {
        unsigned direction;
        const char* caller;
        const char* callee;
        const char* found; // "" when the call names no far end
    } cases[] = {
        {CKZCall::CALL_INBOUND, "\"Erin\" <sip:erin@127.0.0.1>;tag=e1", "<sip:ivr@127.0.0.1>",
         "<sip:erin@127.0.0.1>"},
        {CKZCall::CALL_OUTBOUND, "<sip:ivr@127.0.0.1>", "sip:frank@127.0.0.1;tag=f1",
         "<sip:frank@127.0.0.1>"},
        {CKZCall::CALL_OUTBOUND, "<sip:ivr@127.0.0.1>", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.found);
        FakeChannel made(1);
        made.call.SetCallDirection(c.direction);
        made.call.SetCallerNum(c.caller);
        made.call.SetCalleeNum(c.callee);
        EXPECT_EQ(kzapp::KZHostCalls::FarEndOf(made.call), c.found);
    }
}

TEST(KzhostCalls, TransferredNamesTheTargetOfTheTransferThatWasSent) {
    Agent agent;
    KZAPI::CKZServer server;
    FakeChannel made(0);
    server.AddChannel(&made.channel);
    made.call.Become(CKZCall::CALL_STATUS_CONNECTED);
    kztest::NoStack host;
    kzapp::KZHostCalls calls(server);
    calls.SetTransferWatch(&agent.events);
    const kzapp::KZControlCommands commands(host, calls, "");
    kztest::run_command(commands, R"({"cmd":"transfer","channel":0,"target":"sip:carol@127.0.0.1"})");
    made.call.refuse = true; // the first is under way
    kztest::run_command(commands, R"({"cmd":"transfer","channel":0,"target":"sip:dave@127.0.0.1"})");
    made.call.TransferReport(202, "Accepted");
    agent.events.RunOnce();
    ASSERT_EQ(agent.published.size(), 3u); // connected, transfer-progress, transferred
    EXPECT_EQ(agent.published[2].value("target", ""), "<sip:carol@127.0.0.1>");
    server.RemoveChannel(&made.channel);
}

TEST(KzhostCalls, TheCallsListingTellsWhichSideHoldsACall) {
    NoStack host;
    const std::pair<bool, bool> holds[] = {{false, false}, {true, false}, {false, true}, {true, true}};
    for (const auto& [local, remote] : holds) {
        kzapp::KZChannelStatus status;
        status.held_locally = local;
        status.held_by_remote = remote;
        host.channels.push_back(status);
    }
    kzapp::KZNoCallControl calls;
    const kzapp::KZControlCommands commands(host, calls, "");
    const KZJson listed = kztest::run_command(commands, R"({"cmd":"calls"})")["channels"];
    ASSERT_EQ(listed.size(), 4u);
    const KZJson expected[] = {false, "local", "remote", "both"};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(listed[i]["held"], expected[i]) << i;
}
