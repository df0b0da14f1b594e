// kzhost's hold, transfer and redirection: the commands refuse every bad argument and every call in
// the wrong state before they reach a call control, and hand good ones on in the form the module
// writes into its messages; the call controls' hold and transfer reports become one line and one
// event each; the calls listing tells who holds a call.
#include "app/KZCallEvents.h"
#include "app/KZControlCommands.h"
#include "app/KZHostCalls.h"
#include "app/KZHostChannels.h"
#include "host/CKZCallControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZClassEnv.h"
#include "host/CKZLogInterface.h"
#include "host/CKZServer.h"
#include "server/kz_sip_factory.h"
#include "support/no_stack_queries.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
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
        {R"({"cmd":"transfer","channel":0,"target":"<sip:carol@127.0.0.1"})", "angle brackets"},
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

// Without a Contact the far end is the remote party: the caller of a call taken, the callee of one placed.
TEST(KzhostTransfer, AnAttendedTransferWithoutAContactCallsTheRemoteParty) {
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
             e.SwapTransferTarget(3, "<sip:carol@127.0.0.1>");
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

TEST(KzhostTransfer, TransferredNamesTheTargetOfTheTransferThatWasSent) {
    Agent agent;
    KZAPI::CKZServer server;
    FakeChannel made(0);
    server.AddChannel(&made.channel);
    made.call.Become(CKZCall::CALL_STATUS_CONNECTED);
    kztest::NoStack host;
    kzapp::KZHostCalls calls(server);
    calls.SetTransferWatch(&agent.events);
    const kzapp::KZControlCommands commands(host, calls, "");
    kzapp::KZClientSession session{.authenticated = true};
    commands.Execute(R"({"cmd":"transfer","channel":0,"target":"sip:carol@127.0.0.1"})", session);
    made.call.refuse = true; // the first is under way
    commands.Execute(R"({"cmd":"transfer","channel":0,"target":"sip:dave@127.0.0.1"})", session);
    made.call.TransferReport(202, "Accepted");
    agent.events.RunOnce();
    ASSERT_EQ(agent.published.size(), 3u); // connected, transfer-progress, transferred
    EXPECT_EQ(agent.published[2].value("target", ""), "<sip:carol@127.0.0.1>");
    server.RemoveChannel(&made.channel);
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

namespace {

const std::string kSDPHead = "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n";

std::string sdp(uint16_t rtp_port, const std::string& direction) {
    return kSDPHead + "m=audio " + std::to_string(rtp_port) +
           " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=" + direction + "\r\n";
}

std::string with_body(std::string message, const std::string& type, const std::string& body) {
    message.replace(message.find("Content-Length: 0"), std::string::npos,
                    "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body);
    return message;
}

// kzhost in the process as it runs its channels: the module's server on loopback with two
// channels, the event agent publishing into a list, and the commands on the channels. The far
// end is a raw UDP peer on 127.0.0.1 that called channel 0 and was answered.
class KzhostCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_ERROR);
        KZAPI::CKZCfgInterface::CFG_Clear();
        m_port = kztest::free_port_pair();
        for (const auto& [key, value] : std::initializer_list<std::pair<const char*, std::string>>{
                 {"kzsrv.sip.ip.address", "127.0.0.1"},
                 {"kzsrv.sip.ip.port", std::to_string(m_port)},
                 {"kzsrv.sip.rtpstartrange", std::to_string(kztest::rtp_start_for_channel(0))},
                 {"kzsrv.sip.callcontrol.auto.answercall", "1"},
                 // A REFER from the far end is reported, then refused: no new call is placed.
                 {"kzsrv.sip.callcontrol.auto.transfercall", "0"}})
            KZAPI::CKZCfgInterface::CFG_SetValue(key, value.c_str());
        KZAPI::AfxGetClassEnv()->SetEntry("allocate", reinterpret_cast<void*>(&KZAPI_Alloc_Class_PRC));
        KZAPI::AfxGetClassEnv()->SetEntry("free", reinterpret_cast<void*>(&KZAPI_Free_Class_PRC));
        m_server = kztest::make_server();
        ASSERT_EQ(m_server->Create(), 1u);
        ASSERT_EQ(m_server->Start(), 1u);
        m_events.Start();
        KZAPI::CKZCallControl::SetEventSink(&m_events);
        m_calls = std::make_unique<kzapp::KZHostCalls>(*m_server);
        m_calls->SetTransferWatch(&m_events);
        m_commands = std::make_unique<kzapp::KZControlCommands>(m_host, *m_calls, "");
        m_channels = std::make_unique<kzapp::KZHostChannels>(*m_server);
        ASSERT_EQ(m_channels->Start(2), "");
        Call();
    }
    void TearDown() override {
        if (m_channels) m_channels->Stop();
        KZAPI::CKZCallControl::SetEventSink(nullptr);
        m_events.Stop();
        m_server->Stop();
        m_server->Destroy();
        m_server.reset();
        KZAPI::CKZCfgInterface::CFG_Clear();
    }

    void Call() {
        const std::string invite =
            with_body(kztest::sip_request("INVITE", m_peer.port(), m_port, "", m_call_id), "application/sdp",
                      sdp(m_rtp.port(), "sendrecv"));
        m_peer.send_to(m_port, invite);
        const std::string ok = NextFromHost("SIP/2.0 200");
        ASSERT_FALSE(ok.empty()) << "the INVITE was not answered";
        const std::string to = kztest::header_value(ok, "To");
        m_to_tag = to.substr(to.find("tag=") + 4);
        m_peer.send_to(m_port, InDialog("ACK", 1));
        ASSERT_FALSE(Await("connected").is_null());
    }
    // The next message from kzhost that starts with start (a method, or "SIP/2.0 200").
    std::string NextFromHost(const std::string& start) {
        for (int i = 0; i < 30; ++i) {
            const std::string m = m_peer.receive(100);
            if (m.rfind(start, 0) == 0) return m;
        }
        return "";
    }
    std::string InDialog(const std::string& method, int cseq, const std::string& extra = "") {
        std::string request = kztest::sip_request(method, m_peer.port(), m_port, extra, m_call_id);
        const std::string to = "To: <sip:service@127.0.0.1:" + std::to_string(m_port) + ">";
        request.insert(request.find(to) + to.size(), ";tag=" + m_to_tag);
        request.replace(request.find("CSeq: 1 "), 8, "CSeq: " + std::to_string(cseq) + " ");
        request.replace(request.find("z9hG4bK-"), 8, "z9hG4bK-" + std::to_string(cseq) + "-");
        return request;
    }
    // The peer's answer to a request kzhost sent, with its dialog fields.
    std::string Answer(const std::string& request, int code, const std::string& reason,
                       const std::string& body = "") {
        std::string answer = kztest::response_to(request, code, reason, "");
        answer.insert(answer.find("Content-Length: 0"),
                      "Contact: <sip:tester@127.0.0.1:" + std::to_string(m_peer.port()) + ">\r\n");
        return body.empty() ? answer : with_body(answer, "application/sdp", body);
    }
    kzapp::KZJson Command(const std::string& line) {
        kzapp::KZClientSession session{.authenticated = true};
        return m_commands->Execute(line, session);
    }
    // The next published event called name; null when none comes within 3 s.
    kzapp::KZJson Await(const std::string& name) {
        kzapp::KZJson found;
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

    uint16_t m_port = 0;
    kztest::ServerPtr m_server;
    std::mutex m_mutex;
    std::vector<kzapp::KZJson> m_published;
    kzapp::KZCallEvents m_events{{[this](const kzapp::KZJson& e) {
                                      std::lock_guard lock(m_mutex);
                                      m_published.push_back(e);
                                  },
                                  {}},
                                 {}};
    kztest::NoStack m_host;
    std::unique_ptr<kzapp::KZHostCalls> m_calls;
    std::unique_ptr<kzapp::KZControlCommands> m_commands;
    std::unique_ptr<kzapp::KZHostChannels> m_channels;
    kztest::UdpPeer m_peer, m_rtp;
    std::string m_call_id = "hold-" + std::to_string(m_peer.port()) + "@127.0.0.1";
    std::string m_to_tag;
};

} // namespace

TEST_F(KzhostCallTest, HoldAndResumeByEitherSideAreReportedAsTheFarEndAcceptsThem) {
    struct Step {
        const char* command; // this side's; null: the far end sends the re-INVITE
        const char* offered; // the direction of the re-INVITE's offer
        const char* event;
    };
    const Step steps[] = {
        {"hold", "sendonly", "held"},
        {"resume", "sendrecv", "resumed"},
        {nullptr, "sendonly", "remote-held"},
        {nullptr, "sendrecv", "remote-resumed"},
    };
    int cseq = 1;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.event);
        if (step.command) {
            const kzapp::KZJson reply =
                Command(std::string(R"({"cmd":")") + step.command + R"(","channel":0})");
            ASSERT_EQ(reply.value("event", ""), "ok") << reply.dump();
            const std::string reinvite = NextFromHost("INVITE ");
            ASSERT_FALSE(reinvite.empty()) << "no re-INVITE";
            EXPECT_NE(reinvite.find("a=" + std::string(step.offered)), std::string::npos) << reinvite;
            const std::string answered = step.offered == std::string("sendonly") ? "recvonly" : "sendrecv";
            m_peer.send_to(m_port, Answer(reinvite, 200, "OK", sdp(m_rtp.port(), answered)));
            EXPECT_FALSE(NextFromHost("ACK ").empty()) << "the 200 was not acknowledged";
        } else {
            ++cseq;
            m_peer.send_to(m_port, with_body(InDialog("INVITE", cseq), "application/sdp",
                                             sdp(m_rtp.port(), step.offered)));
            ASSERT_FALSE(NextFromHost("SIP/2.0 200").empty()) << "the re-INVITE was not answered";
            m_peer.send_to(m_port, InDialog("ACK", cseq));
        }
        EXPECT_FALSE(Await(step.event).is_null()) << "no " << step.event << " event";
    }
    // This side's hold toggles: a second resume has nothing to take off hold.
    EXPECT_EQ(Command(R"({"cmd":"resume","channel":0})").value("reason", ""), "channel 0 is not on hold");
}

TEST_F(KzhostCallTest, ABlindTransferIsReportedAsTheFarEndNotifiesIt) {
    const std::string target = "sip:carol@127.0.0.1:" + std::to_string(kztest::silent_udp_port());
    const kzapp::KZJson reply = Command(R"({"cmd":"transfer","channel":0,"target":")" + target + R"("})");
    ASSERT_EQ(reply.value("event", ""), "ok") << reply.dump();
    const std::string refer = NextFromHost("REFER ");
    ASSERT_FALSE(refer.empty()) << "no REFER";
    EXPECT_NE(kztest::header_value(refer, "Refer-To").find("<" + target + ">"), std::string::npos) << refer;
    m_peer.send_to(m_port, Answer(refer, 202, "Accepted"));
    int cseq = 1;
    for (const char* sipfrag : {"SIP/2.0 100 Trying\r\n", "SIP/2.0 200 OK\r\n"}) {
        const bool last = sipfrag[8] == '2';
        std::string notify =
            InDialog("NOTIFY", ++cseq,
                     std::string("Event: refer\r\nSubscription-State: ") +
                         (last ? "terminated;reason=noresource" : "active;expires=60") + "\r\n");
        m_peer.send_to(m_port, with_body(notify, "message/sipfrag;version=2.0", sipfrag));
        EXPECT_FALSE(NextFromHost("SIP/2.0 200").empty()) << "the NOTIFY was not answered";
    }
    const kzapp::KZJson trying = Await("transfer-progress");
    EXPECT_EQ(trying.value("code", 0), 100) << trying.dump();
    const kzapp::KZJson ok = Await("transfer-progress");
    EXPECT_EQ(ok.value("code", 0), 200) << ok.dump();
    const kzapp::KZJson transferred = Await("transferred");
    EXPECT_EQ(transferred.value("target", ""), "<" + target + ">") << transferred.dump();
    // The transferor leaves the call.
    const std::string bye = NextFromHost("BYE ");
    ASSERT_FALSE(bye.empty()) << "no BYE after the transfer";
    m_peer.send_to(m_port, Answer(bye, 200, "OK"));
    EXPECT_FALSE(Await("released").is_null());
}

TEST_F(KzhostCallTest, AReferFromTheFarEndIsReportedBeforeItIsRefused) {
    const std::string target = "<sip:dave@127.0.0.1:" + std::to_string(kztest::silent_udp_port()) + ">";
    m_peer.send_to(
        m_port, InDialog("REFER", 2, "Refer-To: " + target + "\r\nReferred-By: <sip:tester@127.0.0.1>\r\n"));
    const std::string answer = NextFromHost("SIP/2.0 ");
    EXPECT_EQ(kztest::status_line(answer), "SIP/2.0 488 Not Acceptable Here");
    const kzapp::KZJson requested = Await("transfer-requested");
    EXPECT_EQ(requested.value("target", ""), target) << requested.dump();
    EXPECT_EQ(requested.value("attended", true), false);
    EXPECT_EQ(m_server->GetChannel(0)->GetCallControl()->GetCallStatus(), CKZCall::CALL_STATUS_CONNECTED)
        << "the call goes on";
}
