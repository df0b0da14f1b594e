// The outbound and inbound call flows of the SIP call control against a server on loopback, with
// a raw UDP peer on 127.0.0.1 playing the far end. The test takes the stack's events and drives the
// call control with them, as the dispatch does.
#include "support/callcontrol_rig.h"

#include <gtest/gtest.h>

#include <string>

using kztest::header_value;
using kztest::receive_starting;
using kztest::status_line;

namespace {

const std::string kOfferSDP = "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                              "m=audio 40000 RTP/AVP 0 8\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n";
const std::string kG729OnlySDP = "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                 "m=audio 40000 RTP/AVP 18\r\na=rtpmap:18 G729/8000\r\n";

template <bool kUsePRACK> class FlowsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rig.started); }

    // Places a call to the peer; the INVITE as the peer received it.
    std::string PlaceCall() {
        const std::string callee = "<sip:bob@127.0.0.1:" + std::to_string(m_peer.port()) + ">";
        EXPECT_EQ(m_cc.SetupCall("<sip:alice@127.0.0.1>", callee.c_str()), 1u);
        return receive_starting(m_peer, "INVITE ");
    }
    // The peer answers the INVITE; the call control takes the response with handler.
    void Answer(const std::string& invite, const std::string& status, unsigned (CKZSIPAPICC::*handler)(),
                const std::string& extra = "", const std::string& body = "") {
        rig.PeerAnswers(invite, status, extra, body);
        (m_cc.*handler)();
    }
    // The peer offers a call; the call control has been offered it.
    void OfferCall(const std::string& body, const std::string& extra = "") {
        rig.Offer(extra, body);
        ASSERT_EQ(m_cc.OnOffered(nullptr, nullptr), 1u);
    }
    // The peer acknowledges the 200 that answered its offer, as the dispatch delivers the ACK.
    void AcknowledgeAnswer(const std::string& ok) {
        rig.Acknowledge(ok);
        m_cc.OnSDPChangeAck(rig.group());
        EXPECT_EQ(m_cc.OnConnAck(), 1u);
    }

    kztest::CallControlRig rig{11, {{"kzsrv.sip.use.prack", kUsePRACK ? "1" : "0"}}};
    CKZSIPAPICC& m_cc = rig.cc;
    kztest::UdpPeer& m_peer = rig.peer;
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
        EXPECT_TRUE(rig.TimerFiresAfter(c.seconds));
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
        rig.clock.Advance(20);
        Answer(invite, c.status, c.handler, c.extra, c.body);
        EXPECT_EQ(m_cc.GetSIPStatus(), c.after);
        EXPECT_EQ(m_cc.IsRTPSocketOpen(), c.early_media ? 1u : 0u);
        EXPECT_EQ(receive_starting(m_peer, "PRACK ", 300), "");
        if (c.early_media) {
            EXPECT_EQ(m_cc.GetPeerRTPIPPort(), 40000);
        } else if (c.after == SIP_CALL_RECEIVED_TRYING) {
            EXPECT_TRUE(rig.TimerFiresAfter(10));
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
        rig.PeerSends("INVITE", ++cseq, rig.to_with_tag, offer);
        m_cc.OnReInvite(rig.server->GetSIPGroup());
        const std::string answer = receive_starting(m_peer, "SIP/2.0 ");
        EXPECT_EQ(status_line(answer), c.answer);
        EXPECT_EQ(m_cc.GetSIPStatus(), c.after);
        if (*c.answer_direction) {
            EXPECT_NE(answer.find(std::string(c.answer_direction) + "\r\n"), std::string::npos);
        }
        rig.PeerSends("ACK", cseq, rig.to_with_tag);
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
    kz_sip_user_reg_profile* account = rig.server->SIPAccount_Add(
        "Alice", "alice", "127.0.0.1", proxy.c_str(), "alice", "secret", 3600, 0, 0, 10, 1, 0);
    ASSERT_NE(account, nullptr);
    // The callee's own host has no listener: only the account's proxy can receive the call.
    EXPECT_EQ(m_cc.SetupCall("<sip:alice@127.0.0.1>", "<sip:bob@127.0.0.2:5999>"), 1u);
    const std::string invite = receive_starting(m_peer, "INVITE ");
    EXPECT_EQ(invite.substr(0, invite.find("\r\n")), "INVITE sip:bob@127.0.0.2:5999 SIP/2.0");
    EXPECT_STREQ(m_cc.GetUserRegProfile()->user_name, "alice");
    EXPECT_STREQ(m_cc.GetPeerSIPIPAddress(), "127.0.0.1");
    EXPECT_EQ(m_cc.GetPeerSIPIPPort(), m_peer.port());
    rig.server->SIPAccount_Remove(account);
}
