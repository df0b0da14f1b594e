// Hold, transfer and redirection inside a call, through the whole module: a server on loopback
// dispatches what a raw UDP peer (bob, 127.0.0.1) sends to the call controls of two channels,
// and the peer checks what comes back on the wire. Timers run on an injectable clock.
#include "host/CKZCallEventSink.h"
#include "support/callcontrol_rig.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

using kztest::header_value;
using kztest::receive_starting;
using kztest::status_line;

namespace {

const std::string kSDP = "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                         "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

class RecordingSink : public KZAPI::CKZCallEventSink {
public:
    void OnCallStatus(KZAPI::CKZCallControl&, int, int) override {}
    void OnCallProgress(KZAPI::CKZCallControl&) override {}
    void OnCallHold(KZAPI::CKZCallControl&, bool held, bool by_remote) override {
        Add(std::string(held ? "held" : "resumed") + (by_remote ? " by remote" : ""));
    }
    void OnTransferProgress(KZAPI::CKZCallControl&, int code, const char* text) override {
        Add("progress " + std::to_string(code) + " " + text);
    }
    void OnCallTransferring(KZAPI::CKZCallControl&, const char* target, bool attended) override {
        Add(std::string(attended ? "attended to " : "to ") + target);
    }
    // What was reported since the last call, once there are at least count reports (or after
    // two seconds): the dispatch reports on its own thread.
    std::vector<std::string> Take(size_t count = 0) {
        kztest::wait_until([&] {
            std::lock_guard lock(m_mutex);
            return m_events.size() >= count;
        });
        std::lock_guard lock(m_mutex);
        return std::exchange(m_events, {});
    }

private:
    void Add(const std::string& event) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(event);
    }
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

using Events = std::vector<std::string>;

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(rig.started);
        m_other_channel.SetCallControl(&m_other);
        m_other.SetChannel(&m_other_channel);
        m_other.SetAppTimerClock(&m_clock);
        ASSERT_EQ(m_other.Start(), 1u);
        for (KZAPI::CKZChannel* channel : {&rig.channel, &m_other_channel})
            rig.server->AddChannel(channel);
        KZAPI::CKZCallControl::SetEventSink(&m_sink);
    }
    void TearDown() override {
        KZAPI::CKZCallControl::SetEventSink(nullptr);
        for (KZAPI::CKZChannel* channel : {&rig.channel, &m_other_channel})
            rig.server->RemoveChannel(channel);
        m_other.ResetCallStatus();
        m_other.CloseRTPSocket();
        m_other.Stop();
    }

    static bool StatusBecomes(const CKZSIPAPICC& cc, KZ_SIP_CALL_STATUS status) {
        return kztest::wait_until([&] { return cc.GetSIPStatus() == status; }, 2000);
    }
    // Places a call from the first channel to the peer, who answers it; the INVITE as sent.
    std::string Connect() {
        const std::string callee = "<sip:bob@127.0.0.1:" + std::to_string(m_peer.port()) + ">";
        EXPECT_EQ(m_cc.SetupCallEx("<sip:alice@127.0.0.1>", callee.c_str(), "", "", "alice", "secret",
                                   "127.0.0.1", m_peer.port(), 0, 0),
                  1u);
        m_invite = receive_starting(m_peer, "INVITE ");
        Reply(m_invite, "200 OK", "", kSDP);
        EXPECT_FALSE(receive_starting(m_peer, "ACK ").empty());
        EXPECT_TRUE(StatusBecomes(m_cc, SIP_CALL_CONNECTED));
        return m_invite;
    }
    void Reply(const std::string& request, const std::string& status, const std::string& extra = "",
               const std::string& body = "") {
        m_peer.send_to(rig.port, kztest::response_to(request, status, m_peer.port(), extra, body));
    }
    // A request of the peer inside the call placed by Connect.
    void PeerSends(const std::string& method, const std::string& extra = "", const std::string& body = "",
                   const std::string& type = "application/sdp") {
        const std::string cseq = std::to_string(++m_cseq);
        m_peer.send_to(rig.port,
                       method + " sip:alice@127.0.0.1:" + std::to_string(rig.port) +
                           " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(m_peer.port()) +
                           ";branch=z9hG4bK-peer" + cseq + "\r\nFrom: " + header_value(m_invite, "To") +
                           ";tag=far1\r\nTo: " + header_value(m_invite, "From") +
                           "\r\nCall-ID: " + header_value(m_invite, "Call-ID") + "\r\nCSeq: " + cseq + " " +
                           method + "\r\nContact: <sip:bob@127.0.0.1:" + std::to_string(m_peer.port()) +
                           ">\r\nMax-Forwards: 70\r\n" + extra + kztest::with_body(body, type));
    }
    void PeerNotifies(const std::string& state, const std::string& fragment,
                      const std::string& event = "refer") {
        PeerSends("NOTIFY", "Event: " + event + "\r\nSubscription-State: " + state + "\r\n",
                  "SIP/2.0 " + fragment + "\r\n", "message/sipfrag");
    }
    // The status line of the next response the peer receives.
    std::string PeerAnswer() { return status_line(receive_starting(m_peer, "SIP/2.0 ")); }

    kztest::CallControlRig rig{11, {}, true}; // the dispatch runs
    CKZSIPAPICC& m_cc = rig.cc;
    kztest::UdpPeer& m_peer = rig.peer;
    KZAPI::CKZManualClock& m_clock = rig.clock;
    RecordingSink m_sink;
    KZAPI::CKZChannel m_other_channel{12, KZAPI::CKZCallControl::KIND_SIP, KZAPI::CKZChannel::DIRECTION_OUT};
    CKZSIPAPICC m_other;
    std::string m_invite;
    int m_cseq = 100;
};

} // namespace

TEST_F(TransferTest, HoldAndResumeEitherWayOfferTheirDirectionsAndReportEachChangeOnce) {
    Connect();
    // This side: the re-INVITE's direction, the status after the 200, the report. A challenge is
    // answered by the same offer again, with credentials.
    struct Step {
        const char* offer;
        bool challenge;
        KZ_SIP_CALL_STATUS after;
        Events events;
    };
    const Step steps[] = {
        {"a=sendonly", true, SIP_CALL_HELD, {"held"}},
        {"a=sendrecv", false, SIP_CALL_CONNECTED, {"resumed"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.offer);
        ASSERT_EQ(m_cc.Hold(), 1u);
        std::string reinvite = receive_starting(m_peer, "INVITE ");
        EXPECT_NE(reinvite.find(std::string(step.offer) + "\r\n"), std::string::npos);
        if (step.challenge) {
            Reply(reinvite, "401 Unauthorized", "WWW-Authenticate: Digest realm=\"loop\", nonce=\"n1\"\r\n");
            reinvite = receive_starting(m_peer, "INVITE ");
            EXPECT_NE(header_value(reinvite, "Authorization").find("username=\"alice\""), std::string::npos);
            EXPECT_NE(reinvite.find(std::string(step.offer) + "\r\n"), std::string::npos);
        }
        Reply(reinvite, "200 OK", "", kSDP);
        EXPECT_FALSE(receive_starting(m_peer, "ACK ").empty());
        EXPECT_TRUE(StatusBecomes(m_cc, step.after));
        EXPECT_EQ(m_sink.Take(step.events.size()), step.events);
    }
    EXPECT_EQ(m_cc.Hold(), 1u); // held again, then the far end holds too and lets go
    Reply(receive_starting(m_peer, "INVITE "), "200 OK", "", kSDP);
    ASSERT_TRUE(StatusBecomes(m_cc, SIP_CALL_HELD));
    m_sink.Take();
    m_cc.SetSIPStatus(SIP_CALL_CONNECTED);
    const struct {
        const char* offer;
        const char* answer;
        KZ_SIP_CALL_STATUS after_ack;
        Events events;
    } remote[] = {
        {"a=sendonly", "a=recvonly", SIP_CALL_REMOTE_HELD, {"held by remote"}},
        {"a=sendrecv", "a=sendrecv", SIP_CALL_CONNECTED, {"resumed by remote"}},
    };
    for (const auto& r : remote) {
        SCOPED_TRACE(r.offer);
        PeerSends("INVITE", "", kSDP + r.offer + "\r\n");
        const std::string ok = receive_starting(m_peer, "SIP/2.0 200");
        EXPECT_NE(ok.find(std::string(r.answer) + "\r\n"), std::string::npos);
        PeerSends("ACK");
        EXPECT_TRUE(StatusBecomes(m_cc, r.after_ack));
        EXPECT_TRUE(
            kztest::wait_until([&] { return m_cc.IsHeldByRemote() == (r.after_ack != SIP_CALL_CONNECTED); }));
        EXPECT_EQ(m_sink.Take(r.events.size()), r.events);
    }
}

TEST_F(TransferTest, BlindReferLeavesOnlyOnASuccessfulFragmentAndRefusesOtherEvents) {
    Connect();
    ASSERT_EQ(m_cc.TransferTo("carol@127.0.0.1:5999"), 1u);
    const std::string refer = receive_starting(m_peer, "REFER ");
    EXPECT_EQ(header_value(refer, "Refer-To"), "<sip:carol@127.0.0.1:5999>");
    EXPECT_EQ(header_value(refer, "Referred-By"), "<sip:alice@127.0.0.1>");
    Reply(refer, "202 Accepted");
    struct Step {
        const char* event;
        const char* state;
        const char* fragment;
        const char* answer;
        KZ_SIP_CALL_STATUS after;
        Events events;
    };
    const Step steps[] = {
        {"presence", "active", "100 Trying", "SIP/2.0 488 Not Acceptable Here", SIP_CALL_REFER_SENT, {}},
        {"refer",
         "active;expires=60",
         "100 Trying",
         "SIP/2.0 200 OK",
         SIP_CALL_REFER_SENT,
         {"progress 100 Trying"}},
        {"refer",
         "terminated;reason=noresource",
         "200 OK",
         "SIP/2.0 200 OK",
         SIP_CALL_BYE_SENT,
         {"progress 200 OK"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.fragment);
        PeerNotifies(step.state, step.fragment, step.event);
        EXPECT_EQ(PeerAnswer(), step.answer);
        EXPECT_TRUE(StatusBecomes(m_cc, step.after));
        EXPECT_EQ(m_sink.Take(step.events.size()), step.events);
    }
    EXPECT_FALSE(receive_starting(m_peer, "BYE ").empty());
}

TEST_F(TransferTest, AttendedReferCarriesTheEscapedDialogAndGivesUpWhenTheSubscriptionExpires) {
    Connect();
    m_other.SetCallID("c2@127.0.0.1");
    m_other.SetFromTag("a2");
    m_other.SetToTag("c2t");
    m_other.SetCallDirection(KZAPI::CKZCall::CALL_OUTBOUND);
    ASSERT_EQ(m_cc.TransferTo("<sip:carol@127.0.0.1>", 12), 1u);
    const std::string refer = receive_starting(m_peer, "REFER ");
    EXPECT_EQ(header_value(refer, "Refer-To"),
              "<sip:carol@127.0.0.1?Replaces=c2%40127.0.0.1%3Bto-tag%3Dc2t%3Bfrom-tag%3Da2>");
    Reply(refer, "202 Accepted");
    PeerNotifies("active;expires=30", "100 Trying");
    EXPECT_EQ(PeerAnswer(), "SIP/2.0 200 OK");
    ASSERT_TRUE(kztest::wait_until([&] { return m_cc.GetAppTimer().GetPeriod() == 30000; }));
    m_clock.Advance(29);
    EXPECT_FALSE(m_cc.GetAppTimer().CheckEveryTimer());
    m_clock.Advance(1);
    EXPECT_TRUE(m_cc.GetAppTimer().CheckEveryTimer());
    EXPECT_EQ(m_cc.GetSIPStatus(), SIP_CALL_CONNECTED);
    EXPECT_EQ(m_cc.GetDestTransferChanCallControl(), nullptr);
}

TEST_F(TransferTest, ReceivedBlindReferIsRefusedOrPlacedOnThisChannelAfterTheCallEnds) {
    struct Case {
        int auto_transfer;
        const char* answer;
        std::vector<std::string> fragments; // the NOTIFYs' sipfrag status lines
    };
    const Case cases[] = {
        {0, "SIP/2.0 488 Not Acceptable Here", {}},
        {1, "SIP/2.0 202 Accepted", {"SIP/2.0 100 Trying", "SIP/2.0 200 OK"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.auto_transfer);
        Connect();
        m_cc.SetAutoTransfer(c.auto_transfer);
        const std::string target = "<sip:carol@127.0.0.1:" + std::to_string(m_peer.port()) + ">";
        PeerSends("REFER", "Refer-To: " + target + "\r\n");
        EXPECT_EQ(PeerAnswer(), c.answer);
        EXPECT_EQ(m_sink.Take(1), Events{"to " + target});
        for (const std::string& fragment : c.fragments) {
            const std::string notify = receive_starting(m_peer, "NOTIFY ");
            EXPECT_EQ(header_value(notify, "Event"), "refer");
            EXPECT_EQ(header_value(notify, "Content-Type").rfind("message/sipfrag", 0), 0u);
            EXPECT_NE(notify.find("\r\n\r\n" + fragment + "\r\n"), std::string::npos) << notify;
            Reply(notify, "200 OK");
        }
        if (c.fragments.empty()) {
            EXPECT_EQ(m_cc.GetSIPStatus(), SIP_CALL_CONNECTED);
            m_cc.ResetCallStatus();
            continue;
        }
        // The transferor does not hang up: after three seconds this side does, then calls carol.
        ASSERT_TRUE(StatusBecomes(m_cc, SIP_CALL_NOTIFY_ACCEPTED));
        ASSERT_TRUE(kztest::wait_until([&] { return m_cc.GetAppTimer().IsRunning(); }));
        m_clock.Advance(3);
        m_cc.GetAppTimer().CheckEveryTimer();
        const std::string bye = receive_starting(m_peer, "BYE ");
        ASSERT_FALSE(bye.empty());
        Reply(bye, "200 OK");
        const std::string invite = receive_starting(m_peer, "INVITE ");
        EXPECT_EQ(invite.rfind("INVITE sip:carol@127.0.0.1:" + std::to_string(m_peer.port()), 0), 0u)
            << invite;
        EXPECT_EQ(header_value(invite, "Replaces"), "");
    }
}

TEST_F(TransferTest, ReceivedAttendedReferPlacesTheReplacingCallElsewhereAndReportsItsAnswer) {
    Connect();
    m_cc.SetAutoTransfer(2);
    const std::string target = "<sip:carol@127.0.0.1:" + std::to_string(m_peer.port()) +
                               "?Replaces=abc%40127.0.0.1%3Bto-tag%3D1%3Bfrom-tag%3D2>";
    PeerSends("REFER", "Refer-To: " + target + "\r\n");
    EXPECT_EQ(PeerAnswer(), "SIP/2.0 202 Accepted");
    EXPECT_EQ(m_sink.Take(1),
              Events{"attended to <sip:carol@127.0.0.1:" + std::to_string(m_peer.port()) + ">"});
    Reply(receive_starting(m_peer, "NOTIFY "), "200 OK");
    // The accepted NOTIFY places the call on the idle channel, naming the dialog it replaces.
    const std::string invite = receive_starting(m_peer, "INVITE ");
    ASSERT_FALSE(invite.empty());
    EXPECT_NE(header_value(m_invite, "Call-ID"), header_value(invite, "Call-ID"));
    EXPECT_EQ(header_value(invite, "Replaces"), "abc@127.0.0.1;to-tag=1;from-tag=2");
    EXPECT_EQ(header_value(invite, "Referred-By"),
              "<sip:bob@127.0.0.1:" + std::to_string(m_peer.port()) + ">");
    Reply(invite, "200 OK", "", kSDP);
    const std::string final_notify = receive_starting(m_peer, "NOTIFY ");
    EXPECT_EQ(header_value(final_notify, "Call-ID"), header_value(m_invite, "Call-ID"));
    EXPECT_EQ(header_value(final_notify, "Subscription-State"), "terminated;reason=noresource");
    EXPECT_NE(final_notify.find("\r\n\r\nSIP/2.0 200 OK\r\n"), std::string::npos);
    EXPECT_TRUE(StatusBecomes(m_cc, SIP_CALL_FINAL_NOTIFY_SENT));
    EXPECT_TRUE(StatusBecomes(m_other, SIP_CALL_CONNECTED));
}

TEST_F(TransferTest, RedirectAnswersAnOfferedCallWithTheTargetAsContact) {
    const struct {
        const char* target;
        const char* code;
        const char* contact;
    } cases[] = {
        {"carol@127.0.0.1", "302", "<sip:carol@127.0.0.1>"},
        {"<sip:dave@127.0.0.1:5070>", "301", "<sip:dave@127.0.0.1:5070>"},
    };
    int call = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        m_peer.send_to(rig.port, kztest::sip_request("INVITE", m_peer.port(), rig.port, "",
                                                     "redirect-" + std::to_string(++call) + "@127.0.0.1"));
        ASSERT_TRUE(StatusBecomes(m_cc, SIP_CALL_RINGING));
        m_peer.drain(50);
        EXPECT_EQ(m_cc.RedirectTo(c.target, c.code, "Moved"), 1u);
        const std::string response = receive_starting(m_peer, "SIP/2.0 3");
        EXPECT_EQ(status_line(response), std::string("SIP/2.0 ") + c.code + " Moved");
        EXPECT_EQ(header_value(response, "Contact"), c.contact);
        EXPECT_EQ(m_cc.GetSIPStatus(), SIP_CALL_REJECTED);
        m_cc.ResetCallStatus();
    }
    EXPECT_EQ(m_cc.RedirectTo("carol@127.0.0.1", "302", "Moved"), 0u); // nothing offered
}
