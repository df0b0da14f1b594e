// The outbound and inbound call flows of the SIP call control against a server on loopback, with
// a raw UDP peer on 127.0.0.1 playing the far end. A recording event handler takes the stack's
// events and the test drives the call control with them, as the dispatch does.
#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZClassEnv.h"
#include "host/CKZClock.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPServer.h"
#include "server/SIPMessagePtr.h"
#include "server/kz_sip_factory.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/sip_msg.h"
#include "support/loopback_config.h"
#include "support/sip_dialog.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

using KZAPI::CKZCfgInterface;
using kztest::header_value;
using kztest::status_line;

namespace {

// One stack event with its message, as the dispatch would hand it to a call control.
struct Received {
    KZSIPEvent event{};
    SIPMessagePtr message;
    std::string address;
    uint16_t port = 0;
};

class RecordingHandler : public CKZSIPEventHandler {
public:
    static std::optional<Received> Next(int timeout_ms = 2000) {
        std::unique_lock lock(s_mutex);
        if (!s_ready.wait_for(lock, std::chrono::milliseconds(timeout_ms), [] { return !s_events.empty(); }))
            return std::nullopt;
        Received r = std::move(s_events.front());
        s_events.pop_front();
        return r;
    }
    static void Clear() {
        std::lock_guard lock(s_mutex);
        s_events.clear();
    }

    void ProcessSIPEvent_REQUEST_INVITE(CKZSIPGroup* g, KZSIPEvent* e) override { Record(g, e); }
    void ProcessSIPEvent_REQUEST_ACK(CKZSIPGroup* g, KZSIPEvent* e) override { Record(g, e); }
    void ProcessSIPEvent_RESPONSE_TRYING(CKZSIPGroup* g, KZSIPEvent* e) override { Record(g, e); }
    void ProcessSIPEvent_RESPONSE_RINGING(CKZSIPGroup* g, KZSIPEvent* e) override { Record(g, e); }
    void ProcessSIPEvent_RESPONSE_SESSIONPROGRESS(CKZSIPGroup* g, KZSIPEvent* e) override { Record(g, e); }
    void ProcessSIPEvent_RESPONSE_OK(CKZSIPGroup* g, KZSIPEvent* e) override { Record(g, e); }

private:
    static void Record(CKZSIPGroup*, KZSIPEvent* event) {
        Received r;
        r.event = *event;
        char address[64] = "";
        unsigned size = sizeof(address);
        sip_msg* message = nullptr;
        if (CKZSIPGroup::GetMessage(event->stack, &message, address, &size, &r.port) != 0) return;
        r.message.reset(message);
        r.address = address;
        std::lock_guard lock(s_mutex);
        s_events.push_back(std::move(r));
        s_ready.notify_all();
    }
    static inline std::mutex s_mutex;
    static inline std::condition_variable s_ready;
    static inline std::deque<Received> s_events;
};

void* allocate_with_recorder(unsigned code) {
    if (code == KZ_CLASS_SIP_EVENT_HANDLER) return static_cast<KZAPI::CKZEventHandler*>(new RecordingHandler);
    return KZAPI_Alloc_Class_PRC(code);
}
void free_with_recorder(unsigned code, void* object) {
    if (code == KZ_CLASS_SIP_EVENT_HANDLER)
        delete static_cast<RecordingHandler*>(static_cast<KZAPI::CKZEventHandler*>(object));
    else
        KZAPI_Free_Class_PRC(code, object);
}

const std::string kOfferSDP = "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                              "m=audio 40000 RTP/AVP 0 8\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n";
const std::string kG729OnlySDP = "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                 "m=audio 40000 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\n";

using kztest::receive_starting;
using kztest::response_to;
using kztest::with_body;

template <bool kUsePRACK> class FlowsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_port = kztest::free_port_pair();
        kztest::configure_loopback_server(s_port, {{"kzsrv.sip.use.prack", kUsePRACK ? "1" : "0"}}, 11);
        KZAPI::AfxGetClassEnv()->SetEntry("allocate", reinterpret_cast<void*>(&allocate_with_recorder));
        KZAPI::AfxGetClassEnv()->SetEntry("free", reinterpret_cast<void*>(&free_with_recorder));
        s_server = kztest::start_server();
        ASSERT_TRUE(s_server);
    }
    static void TearDownTestSuite() {
        kztest::stop_server(s_server);
        KZAPI::AfxGetClassEnv()->SetEntry("allocate", reinterpret_cast<void*>(&KZAPI_Alloc_Class_PRC));
        KZAPI::AfxGetClassEnv()->SetEntry("free", reinterpret_cast<void*>(&KZAPI_Free_Class_PRC));
        CKZCfgInterface::CFG_Clear();
    }
    void SetUp() override {
        RecordingHandler::Clear();
        m_channel.SetCallControl(&m_cc);
        m_cc.SetChannel(&m_channel);
        m_cc.SetAppTimerClock(&m_clock);
        ASSERT_EQ(m_cc.Start(), 1u);
    }
    void TearDown() override {
        m_cc.ResetCallStatus();
        m_cc.CloseRTPSocket();
        m_cc.Stop();
        RecordingHandler::Clear();
    }

    // Hands the next stack event's message to the call control, as the dispatch does.
    Received Deliver() {
        std::optional<Received> r = RecordingHandler::Next();
        EXPECT_TRUE(r.has_value()) << "no event from the stack";
        if (!r) return {};
        Received delivered{r->event, nullptr, r->address, r->port};
        m_cc.SetCurSIPMsg(&r->event, r->message.release(), r->address.c_str(), r->port, 0);
        return delivered;
    }
    // Places a call to the peer; the INVITE as the peer received it.
    std::string PlaceCall() {
        const std::string callee = "<sip:bob@127.0.0.1:" + std::to_string(m_peer.port()) + ">";
        EXPECT_EQ(m_cc.SetupCall("<sip:alice@127.0.0.1>", callee.c_str()), 1u);
        return receive_starting(m_peer, "INVITE ");
    }
    // The peer answers the INVITE; the call control takes the response with handler.
    void Answer(const std::string& invite, const std::string& status, unsigned (CKZSIPAPICC::*handler)(),
                const std::string& extra = "", const std::string& body = "") {
        m_peer.send_to(s_port, response_to(invite, status, m_peer.port(), extra, body));
        Deliver();
        (m_cc.*handler)();
    }
    // The peer offers a call; the call control has been offered it.
    void OfferCall(const std::string& body, const std::string& extra = "") {
        // Each offer is a call of its own: its own Call-ID and branch.
        m_call_id = "flows-" + std::to_string(++m_offers) + "-" + std::to_string(m_peer.port());
        m_invite = kztest::sip_request("INVITE", m_peer.port(), s_port,
                                       extra + "Content-Type: application/sdp\r\n", m_call_id);
        m_invite.replace(m_invite.find("z9hG4bK-"), 8, "z9hG4bK-" + std::to_string(m_offers) + "-");
        m_invite.replace(m_invite.find("Content-Length: 0"), std::string::npos,
                         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        m_peer.send_to(s_port, m_invite);
        const Received r = Deliver();
        m_cc.SetSIPConnID(r.event.connection_id);
        ASSERT_EQ(m_cc.OnOffered(nullptr, nullptr), 1u);
    }
    // A request of the peer inside the offered call's dialog.
    std::string InDialog(const std::string& method, int cseq, const std::string& body = "") {
        return kztest::in_dialog_request(method, m_peer.port(), s_port, m_call_id, m_to_tag, cseq,
                                         body.empty() ? "" : "Content-Type: application/sdp\r\n", body);
    }
    // The peer acknowledges the 200 that answered its offer, as the dispatch delivers the ACK.
    void AcknowledgeAnswer(const std::string& ok) {
        m_to_tag = header_value(ok, "To").substr(header_value(ok, "To").find("tag=") + 4);
        m_peer.send_to(s_port, InDialog("ACK", 1));
        Deliver();
        m_cc.OnSDPChangeAck(s_server->GetSIPGroup());
        EXPECT_EQ(m_cc.OnConnAck(), 1u);
    }
    bool TimerFiresAfter(int seconds) {
        m_clock.Advance(seconds - 1);
        if (m_cc.GetAppTimer().CheckEveryTimer()) return false;
        m_clock.Advance(1);
        return m_cc.GetAppTimer().CheckEveryTimer();
    }

    static inline uint16_t s_port = 0;
    static inline kztest::ServerPtr s_server;
    KZAPI::CKZManualClock m_clock;
    KZAPI::CKZChannel m_channel{11, KZAPI::CKZCallControl::KIND_SIP};
    CKZSIPAPICC m_cc;
    kztest::UdpPeer m_peer;
    std::string m_invite;
    std::string m_call_id;
    std::string m_to_tag;
    int m_offers = 0;
};

using OutboundTest = FlowsTest<false>;
using PRACKTest = FlowsTest<true>;
using InboundTest = FlowsTest<false>;

} // namespace

TEST_F(OutboundTest, InviteTryingRingingOkEndsConnectedWithAnAck) {
    struct Step {
        const char* status;
        unsigned (CKZSIPAPICC::*handler)();
        KZ_SIP_CALL_STATUS sip_status;
        int host_status;
    };
    const Step steps[] = {
        {"100 Trying", &CKZSIPAPICC::OnTrying, SIP_CALL_RECEIVED_TRYING, KZAPI::CKZCall::CALL_STATUS_CALLING},
        {"180 Ringing", &CKZSIPAPICC::OnRinging, SIP_CALL_RECEIVED_RINGING,
         KZAPI::CKZCall::CALL_STATUS_RINGING},
        {"200 OK", &CKZSIPAPICC::OnConnect, SIP_CALL_CONNECTED, KZAPI::CKZCall::CALL_STATUS_CONNECTED},
    };
    const std::string invite = PlaceCall();
    ASSERT_FALSE(invite.empty());
    EXPECT_NE(invite.find("m=audio "), std::string::npos);
    EXPECT_EQ(m_cc.GetSIPStatus(), SIP_CALL_CALLING);
    EXPECT_TRUE(m_cc.IsOutbound());
    for (const Step& step : steps) {
        SCOPED_TRACE(step.status);
        Answer(invite, step.status, step.handler, "", step.sip_status == SIP_CALL_CONNECTED ? kOfferSDP : "");
        EXPECT_EQ(m_cc.GetSIPStatus(), step.sip_status);
        EXPECT_EQ(m_cc.GetCallStatus(), step.host_status);
    }
    const std::string ack = receive_starting(m_peer, "ACK ");
    ASSERT_FALSE(ack.empty());
    EXPECT_EQ(ack.rfind("ACK sip:bob@127.0.0.1:" + std::to_string(m_peer.port()), 0), 0u);
    EXPECT_NE(header_value(ack, "To").find("tag=far1"), std::string::npos);
    EXPECT_STREQ(m_cc.GetPeerRTPIPAddress(), "127.0.0.1");
    EXPECT_EQ(m_cc.GetPeerRTPIPPort(), 40000);
    EXPECT_EQ(m_cc.IsRTPSocketOpen(), 1u);
    EXPECT_STREQ(m_cc.GetSIPToTag(), "far1");
}

TEST_F(OutboundTest, UnansweredStatusesTimeOutAndAreCancelled) {
    struct Case {
        const char* status;
        unsigned (CKZSIPAPICC::*handler)();
        int seconds;
        const char* cause;
    };
    const Case cases[] = {
        {"100 Trying", &CKZSIPAPICC::OnTrying, 30, "Trying Time-out"},
        {"180 Ringing", &CKZSIPAPICC::OnRinging, 120, "Ringing Time-out"},
        {"183 Session Progress", &CKZSIPAPICC::OnSessionProgress, 120, "Session Progress Time-out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        m_cc.ResetCallStatus();
        const std::string invite = PlaceCall();
        ASSERT_FALSE(invite.empty());
        Answer(invite, c.status, c.handler, "",
               c.handler == &CKZSIPAPICC::OnSessionProgress ? kOfferSDP : "");
        const KZ_SIP_CALL_STATUS waiting = m_cc.GetSIPStatus();
        EXPECT_TRUE(TimerFiresAfter(c.seconds));
        EXPECT_NE(m_cc.GetSIPStatus(), waiting);
        EXPECT_EQ(m_cc.GetDisconnectCauseCode(), 504);
        EXPECT_STREQ(m_cc.GetDisconnectCauseText(), c.cause);
        const std::string cancel = receive_starting(m_peer, "CANCEL ");
        EXPECT_EQ(header_value(cancel, "Call-ID"), header_value(invite, "Call-ID"));
    }
}

// Ringing with a description is early media; a 183 without one and a reliable 180 while PRACK is
// off change nothing of what came before (the 30 s of the 100 still run).
TEST_F(OutboundTest, ProvisionalResponsesTakeTheirStatusFromWhatTheyCarry) {
    struct Case {
        const char* status;
        unsigned (CKZSIPAPICC::*handler)();
        std::string extra, body;
        KZ_SIP_CALL_STATUS after;
        bool early_media;
    };
    const Case cases[] = {
        {"180 Ringing", &CKZSIPAPICC::OnRinging, "", kOfferSDP, SIP_CALL_RECEIVED_SESSION_PROGRESS, true},
        {"183 Session Progress", &CKZSIPAPICC::OnSessionProgress, "", "", SIP_CALL_RECEIVED_TRYING, false},
        {"180 Ringing", &CKZSIPAPICC::OnRinging, "Require: 100rel\r\nRSeq: 5\r\n", "",
         SIP_CALL_RECEIVED_RINGING, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status + c.body);
        m_cc.ResetCallStatus();
        const std::string invite = PlaceCall();
        ASSERT_FALSE(invite.empty());
        Answer(invite, "100 Trying", &CKZSIPAPICC::OnTrying);
        m_clock.Advance(20);
        Answer(invite, c.status, c.handler, c.extra, c.body);
        EXPECT_EQ(m_cc.GetSIPStatus(), c.after);
        EXPECT_EQ(m_cc.IsRTPSocketOpen(), c.early_media ? 1u : 0u);
        EXPECT_EQ(receive_starting(m_peer, "PRACK ", 300), "");
        if (c.early_media) {
            EXPECT_EQ(m_cc.GetPeerRTPIPPort(), 40000);
        } else if (c.after == SIP_CALL_RECEIVED_TRYING) {
            EXPECT_TRUE(TimerFiresAfter(10));
            EXPECT_STREQ(m_cc.GetDisconnectCauseText(), "Trying Time-out");
        }
        m_cc.CloseRTPSocket();
    }
}

TEST_F(PRACKTest, ReliableProvisionalResponsesArePRACKedWithTheirRSeq) {
    struct Case {
        const char* status;
        unsigned (CKZSIPAPICC::*handler)();
        std::string extra, body, rack; // rack empty: no PRACK expected
    };
    const std::string invite = PlaceCall();
    ASSERT_FALSE(invite.empty());
    const std::string cseq = header_value(invite, "CSeq");
    const Case cases[] = {
        {"180 Ringing", &CKZSIPAPICC::OnRinging, "", "", ""},
        {"180 Ringing", &CKZSIPAPICC::OnRinging, "Require: 100rel\r\nRSeq: 5\r\n", "", "5 " + cseq},
        {"183 Session Progress", &CKZSIPAPICC::OnSessionProgress, "Require: 100rel\r\nRSeq: 6\r\n", kOfferSDP,
         "6 " + cseq},
        // A second 183 in the same status draws no second PRACK.
        {"183 Session Progress", &CKZSIPAPICC::OnSessionProgress, "Require: 100rel\r\nRSeq: 7\r\n", kOfferSDP,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra + c.status);
        Answer(invite, c.status, c.handler, c.extra, c.body);
        const std::string prack = receive_starting(m_peer, "PRACK ", c.rack.empty() ? 400 : 1500);
        EXPECT_EQ(header_value(prack, "RAck"), c.rack);
    }
}

TEST_F(InboundTest, HostAnswersBringTheirResponsesAndTheAckConnects) {
    struct Step {
        unsigned (CKZSIPAPICC::*action)();
        const char* status_line;
        KZ_SIP_CALL_STATUS sip_status;
    };
    const Step steps[] = {
        {&CKZSIPAPICC::AcceptCall, "SIP/2.0 100 Trying", SIP_CALL_ACCEPTED},
        {&CKZSIPAPICC::RingCall, "SIP/2.0 180 Ringing", SIP_CALL_RINGING},
        {&CKZSIPAPICC::AcceptCall, "SIP/2.0 100 Trying", SIP_CALL_ACCEPTED},
        {&CKZSIPAPICC::AnswerCall, "SIP/2.0 200 OK", SIP_CALL_ANSWERED},
    };
    OfferCall(kOfferSDP);
    EXPECT_EQ(m_cc.GetCallStatus(), KZAPI::CKZCall::CALL_STATUS_OFFERED);
    std::string ok;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.status_line);
        ASSERT_EQ((m_cc.*step.action)(), 1u);
        const std::string response = receive_starting(m_peer, step.status_line);
        EXPECT_FALSE(response.empty());
        EXPECT_EQ(m_cc.GetSIPStatus(), step.sip_status);
        ok = response;
    }
    // The answer names the negotiated codec (PCMU, first of the offer in the preference) alone.
    EXPECT_NE(ok.find("m=audio " + std::to_string(m_cc.GetLocalRTPPort()) + " RTP/AVP 0\r\n"),
              std::string::npos);
    EXPECT_EQ(m_cc.GetCurrentAudioCodec(), 0);
    EXPECT_EQ(m_cc.IsRTPSocketOpen(), 1u);

    AcknowledgeAnswer(ok);
    EXPECT_EQ(m_cc.GetSIPStatus(), SIP_CALL_CONNECTED);
    EXPECT_EQ(m_cc.GetCallStatus(), KZAPI::CKZCall::CALL_STATUS_CONNECTED);
}

TEST_F(InboundTest, AnOfferWithoutACommonCodecIsRefusedNotAnswered) {
    OfferCall(kG729OnlySDP);
    EXPECT_EQ(m_cc.AnswerCall(), 0u);
    EXPECT_EQ(m_cc.GetDisconnectCauseCode(), 488);
    EXPECT_STREQ(m_cc.GetDisconnectCauseText(), "Not Acceptable Here");
    const std::string refusal = receive_starting(m_peer, "SIP/2.0 ");
    EXPECT_EQ(status_line(refusal), "SIP/2.0 488 Not Acceptable Here");
    EXPECT_EQ(m_cc.IsRTPSocketOpen(), 0u);
}

TEST_F(InboundTest, ReplacesIsReadInEitherTagOrder) {
    const char* values[] = {"abc;from-tag=1;to-tag=2", "abc;to-tag=2;from-tag=1",
                            "Replaces=abc;to-tag=2;from-tag=1"};
    for (const char* value : values) {
        SCOPED_TRACE(value);
        m_cc.ResetCallStatus();
        OfferCall(kOfferSDP, std::string("Replaces: ") + value + "\r\n");
        EXPECT_STREQ(m_cc.GetReplacesCallID(), "abc");
        EXPECT_STREQ(m_cc.GetReplacesFromTag(), "1");
        EXPECT_STREQ(m_cc.GetReplacesToTag(), "2");
        m_peer.drain(50);
    }
}

TEST_F(InboundTest, ReInviteIsAnsweredAndItsStatusFollowsTheOfferedDirection) {
    struct Case {
        KZ_SIP_CALL_STATUS before;
        const char* direction; // the offer's direction line, or a codec this side cannot use
        const char* answer;
        KZ_SIP_CALL_STATUS after;
        const char* answer_direction; // the 200's direction line
    };
    const Case cases[] = {
        {SIP_CALL_CONNECTED, "sendonly", "SIP/2.0 200 OK", SIP_CALL_REMOTE_HOLD_ACCEPTED, "a=recvonly"},
        {SIP_CALL_CONNECTED, "sendrecv", "SIP/2.0 200 OK", SIP_CALL_REINVITE_ACCEPTED, "a=sendrecv"},
        {SIP_CALL_REMOTE_HELD, "sendrecv", "SIP/2.0 200 OK", SIP_CALL_REMOTE_UNHOLD_ACCEPTED, "a=sendrecv"},
        {SIP_CALL_REMOTE_HELD, "inactive", "SIP/2.0 200 OK", SIP_CALL_REMOTE_HOLD_ACCEPTED, "a=recvonly"},
        {SIP_CALL_CONNECTED, "g729", "SIP/2.0 488 Not Acceptable Here", SIP_CALL_CONNECTED, ""},
    };
    OfferCall(kOfferSDP);
    ASSERT_EQ(m_cc.AnswerCall(), 1u);
    AcknowledgeAnswer(receive_starting(m_peer, "SIP/2.0 200 OK"));
    int cseq = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.direction);
        m_cc.SetSIPStatus(c.before);
        const std::string offer =
            std::string(c.direction) == "g729" ? kG729OnlySDP : kOfferSDP + "a=" + c.direction + "\r\n";
        m_peer.send_to(s_port, InDialog("INVITE", ++cseq, offer));
        Deliver();
        m_cc.OnReInvite(s_server->GetSIPGroup());
        const std::string answer = receive_starting(m_peer, "SIP/2.0 ");
        EXPECT_EQ(status_line(answer), c.answer);
        EXPECT_EQ(m_cc.GetSIPStatus(), c.after);
        if (*c.answer_direction) {
            EXPECT_NE(answer.find(std::string(c.answer_direction) + "\r\n"), std::string::npos);
        }
        m_peer.send_to(s_port, InDialog("ACK", cseq));
        RecordingHandler::Next(); // the ACK, which the dispatch would take
    }
}

TEST_F(OutboundTest, KeepAliveGoesToTheUDPPeerOnTheTick501) {
    const std::string invite = PlaceCall();
    ASSERT_FALSE(invite.empty());
    Answer(invite, "200 OK", &CKZSIPAPICC::OnConnect, "", kOfferSDP);
    receive_starting(m_peer, "ACK ");
    for (int tick = 1; tick <= 500; ++tick)
        m_cc.SendKeepAliveMsgForOutboundCall();
    EXPECT_EQ(m_peer.receive(200), "");
    m_cc.SendKeepAliveMsgForOutboundCall();
    EXPECT_EQ(m_peer.receive(1000), "  \r\n");
    for (int tick = 1; tick <= 500; ++tick)
        m_cc.SendKeepAliveMsgForOutboundCall();
    EXPECT_EQ(m_peer.receive(200), "");
}

TEST_F(OutboundTest, SetupCallExGoesToTheGivenDestinationOrURI) {
    struct Case {
        std::string from, to, uri, dest;
        std::string request_line; // empty: nothing may be placed
    };
    const std::string peer = std::to_string(m_peer.port());
    const Case cases[] = {
        {"", "<sip:bob@127.0.0.2>", "", "127.0.0.1", ""},
        {"<sip:alice@127.0.0.1>", "", "", "127.0.0.1", ""},
        {"<sip:alice@127.0.0.1>", "<sip:bob@127.0.0.2>", "", "127.0.0.1", "INVITE sip:bob@127.0.0.2 SIP/2.0"},
        {"<sip:alice@127.0.0.1>", "<sip:bob@127.0.0.2>", "sip:carol@127.0.0.1:" + peer, "",
         "INVITE sip:carol@127.0.0.1:" + peer + " SIP/2.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request_line);
        m_cc.ResetCallStatus();
        const unsigned placed = m_cc.SetupCallEx(c.from.c_str(), c.to.c_str(), c.uri.c_str(), "", "", "",
                                                 c.dest.c_str(), m_peer.port(), 0, 0);
        EXPECT_EQ(placed, c.request_line.empty() ? 0u : 1u);
        // Looked for by its own request line: an earlier case's INVITE may still be retransmitted.
        const std::string invite = receive_starting(
            m_peer, c.request_line.empty() ? "INVITE " : c.request_line, c.request_line.empty() ? 300 : 1500);
        EXPECT_EQ(invite.substr(0, invite.find("\r\n")), c.request_line);
        EXPECT_EQ(m_cc.GetSIPStatus(), c.request_line.empty() ? SIP_CALL_IDLE : SIP_CALL_CALLING);
    }
}

TEST_F(OutboundTest, CallerAccountSendsTheInviteThroughItsProxy) {
    const std::string proxy = "127.0.0.1:" + std::to_string(m_peer.port());
    kz_sip_user_reg_profile* account = s_server->SIPAccount_Add("Alice", "alice", "127.0.0.1", proxy.c_str(),
                                                                "alice", "secret", 3600, 0, 0, 10, 1, 0);
    ASSERT_NE(account, nullptr);
    // The callee's own host has no listener: only the account's proxy can receive the call.
    EXPECT_EQ(m_cc.SetupCall("<sip:alice@127.0.0.1>", "<sip:bob@127.0.0.2:5999>"), 1u);
    const std::string invite = receive_starting(m_peer, "INVITE ");
    EXPECT_EQ(invite.substr(0, invite.find("\r\n")), "INVITE sip:bob@127.0.0.2:5999 SIP/2.0");
    EXPECT_STREQ(m_cc.GetUserRegProfile()->user_name, "alice");
    EXPECT_STREQ(m_cc.GetPeerSIPIPAddress(), "127.0.0.1");
    EXPECT_EQ(m_cc.GetPeerSIPIPPort(), m_peer.port());
    s_server->SIPAccount_Remove(account);
}
