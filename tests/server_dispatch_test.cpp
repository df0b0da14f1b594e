// The event dispatch driving a channel's call: a server on loopback dispatches what a UDP peer
// sends (requests in an inbound call, responses to an INVITE the server sent) to a recording call
// control, whose operations and SIP status are checked per call status.
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/SIPMessagePtr.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/sip_msg.h"
#include "support/loopback_config.h"
#include "support/recording_sip_call.h"
#include "support/sip_dialog.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using KZAPI::CKZCfgInterface;

namespace {

class DispatchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_port = kztest::free_port_pair();
        kztest::configure_loopback_server(s_port);
        s_server = kztest::make_server().release();
        ASSERT_EQ(s_server->Create(), 1u);
        s_channel.SetCallControl(&s_call);
        s_call.SetChannel(&s_channel);
        s_server->AddChannel(&s_channel);
        ASSERT_EQ(s_server->Start(), 1u);
    }
    static void TearDownTestSuite() {
        s_server->Stop();
        s_server->RemoveChannel(&s_channel);
        s_server->Destroy();
        kztest::ServerPtr(s_server).reset();
        CKZCfgInterface::CFG_Clear();
    }

    // A request of the peer's call call_id, sent to the server.
    void SendRequest(const std::string& method, const std::string& call_id, const std::string& extra = "") {
        m_peer.send_to(s_port, kztest::sip_request(method, m_peer.port(), s_port, extra, call_id));
    }
    // A new inbound call offered on the channel: the connection the server gave it.
    uint32_t Offer(const std::string& call_id) {
        s_call.Prepare(SIP_CALL_IDLE, 0, KZAPI::CKZCall::CALL_STATUS_IDLE);
        const int stored = s_call.Stored();
        SendRequest("INVITE", call_id);
        EXPECT_TRUE(s_call.WaitStored(stored + 1));
        EXPECT_EQ(s_call.Ops(), "Cur0 SetSIPConnID OnOffered OnSetup");
        return s_call.GetSIPConnID();
    }
    // An INVITE the server sends on a new connection: to the peer over UDP (the peer's copy is
    // returned), or over TCP to a port where nobody listens.
    std::string Dial(uint32_t* connection, uint16_t closed_tcp_port = 0) {
        CKZSIPGroup* group = s_server->GetSIPGroup();
        EXPECT_EQ(group->GetConnectionId(connection), 0u);
        const uint16_t port = closed_tcp_port ? closed_tcp_port : m_peer.port();
        std::string text = "INVITE sip:b@127.0.0.1:" + std::to_string(port) +
                           " SIP/2.0\r\nFrom: <sip:kz@127.0.0.1>;tag=out" + std::to_string(*connection) +
                           "\r\nTo: <sip:b@127.0.0.1>\r\nCall-ID: out-" + std::to_string(*connection) +
                           "@127.0.0.1\r\nCSeq: 1 INVITE\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
        SIPMessagePtr invite = AllocSIPMessage();
        KZSIPEvent parsed{};
        invite->init_from_buf(text.data(), &parsed);
        if (closed_tcp_port) invite->set_prot(KZ_SIP_PROT_TCP);
        EXPECT_EQ(
            CKZSIPGroup::SendMessage(group->GetSIPHandle(), invite.get(), "127.0.0.1", port, *connection),
            0u);
        return closed_tcp_port ? "" : m_peer.receive(2000);
    }
    // The peer's response to invite with the CSeq method given.
    void Respond(std::string invite, const std::string& status, const std::string& method) {
        invite.replace(invite.find("CSeq: 1 INVITE"), 14, "CSeq: 1 " + method);
        m_peer.send_to(s_port, kztest::response_to(invite, status, m_peer.port()));
    }
    // Whether the peer receives a message starting with first_line within two seconds.
    bool PeerGets(const std::string& first_line) {
        for (std::string m = m_peer.receive(2000); !m.empty(); m = m_peer.receive(2000))
            if (m.rfind(first_line, 0) == 0) return true;
        return false;
    }

    static inline uint16_t s_port = 0;
    static inline CKZSIPServer* s_server = nullptr;
    static inline kztest::RecordingSIPCall s_call;
    static inline KZAPI::CKZChannel s_channel{1, KZAPI::CKZCallControl::KIND_SIP};
    kztest::UdpPeer m_peer;
};

struct Row {
    KZ_SIP_CALL_STATUS status;
    const char* what; // request method, or response status line
    const char* cseq; // the response's CSeq method, or the answer the request gets ("" none)
    const char* ops;
    KZ_SIP_CALL_STATUS after;
};

} // namespace

TEST_F(DispatchTest, RequestsInAnInboundCallByStatus) {
    const Row rows[] = {
        {SIP_CALL_ANSWERED, "ACK", "", "Cur0 StopCallTimer OnSDPChangeAck OnConnAck", SIP_CALL_ANSWERED},
        {SIP_CALL_REJECTED, "ACK", "", "Cur0 OnRelComp", SIP_CALL_REJECTED},
        {SIP_CALL_REMOTE_HOLD_ACCEPTED, "ACK", "", "Cur0 OnCallHolding(1)", SIP_CALL_REMOTE_HELD},
        {SIP_CALL_REMOTE_UNHOLD_ACCEPTED, "ACK", "", "Cur0 OnSDPChangeAck OnCallHolding(0)",
         SIP_CALL_CONNECTED},
        {SIP_CALL_REINVITE_ACCEPTED, "ACK", "", "Cur0 OnSDPChangeAck", SIP_CALL_CONNECTED},
        {SIP_CALL_CONNECTED, "ACK", "", "Cur0", SIP_CALL_CONNECTED},
        {SIP_CALL_CONNECTED, "BYE", "", "Cur1 OnDisconnect", SIP_CALL_CONNECTED},
        {SIP_CALL_REFER_SENT, "BYE", "", "Cur1 OnDisconnect", SIP_CALL_REFER_SENT},
        {SIP_CALL_RINGING, "BYE", "", "Cur1 OnDisconnect OnRelease", SIP_CALL_RINGING},
        {SIP_CALL_RINGING, "CANCEL", "", "Cur1 OnDisconnect", SIP_CALL_RINGING},
        {SIP_CALL_CONNECTED, "CANCEL", "", "Cur1", SIP_CALL_CONNECTED},
        {SIP_CALL_HELD, "INFO", "SIP/2.0 200 OK", "Cur0 OnInfo", SIP_CALL_HELD},
        {SIP_CALL_RINGING, "INFO", "SIP/2.0 200 OK", "Cur0", SIP_CALL_RINGING},
        {SIP_CALL_REMOTE_HELD, "REFER", "", "Cur0 OnRefer", SIP_CALL_REMOTE_HELD},
        {SIP_CALL_REFER_SENT, "NOTIFY", "", "Cur0 OnReferNotify", SIP_CALL_REFER_SENT},
        {SIP_CALL_CONNECTED, "INVITE", "", "Cur0 OnReInvite", SIP_CALL_CONNECTED},
        {SIP_CALL_RINGING, "INVITE", "SIP/2.0 100 Trying", "", SIP_CALL_RINGING},
    };
    int call = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.what) + " in status " + std::to_string(r.status));
        const std::string call_id = "in-" + std::to_string(++call) + "@127.0.0.1";
        const uint32_t connection = Offer(call_id);
        s_call.Prepare(r.status, connection, KZAPI::CKZCall::CALL_STATUS_OFFERED);
        const int stored = s_call.Stored();
        SendRequest(r.what, call_id);
        if (*r.ops) {
            ASSERT_TRUE(s_call.WaitStored(stored + 1));
        }
        if (*r.cseq) {
            EXPECT_TRUE(PeerGets(r.cseq));
        }
        EXPECT_EQ(s_call.Ops(), r.ops);
        EXPECT_EQ(s_call.GetSIPStatus(), r.after);
    }
}

TEST_F(DispatchTest, ResponsesToAnOutboundInviteByStatusAndMethod) {
    const Row rows[] = {
        {SIP_CALL_CALLING, "100 Trying", "INVITE", "Cur0 OnTrying", SIP_CALL_CALLING},
        {SIP_CALL_RECEIVED_TRYING, "100 Trying", "INVITE", "Cur0", SIP_CALL_RECEIVED_TRYING},
        {SIP_CALL_RECEIVED_TRYING, "180 Ringing", "INVITE", "Cur0 OnRinging", SIP_CALL_RECEIVED_TRYING},
        {SIP_CALL_RECEIVED_RINGING, "183 Session Progress", "INVITE", "Cur0 OnSessionProgress",
         SIP_CALL_RECEIVED_RINGING},
        {SIP_CALL_RECEIVED_SESSION_PROGRESS, "200 OK", "INVITE", "Cur0 OnConnect",
         SIP_CALL_RECEIVED_SESSION_PROGRESS},
        {SIP_CALL_BYE_SENT, "200 OK", "BYE", "Cur0 OnRelease", SIP_CALL_BYE_SENT},
        {SIP_CALL_CANCEL_SENT, "200 OK", "CANCEL", "Cur0 SendSIPAck OnRelease", SIP_CALL_CANCEL_SENT},
        {SIP_CALL_CANCEL_SENT, "200 OK", "INVITE", "Cur0 OnConnect DisconnectCall", SIP_CALL_CALLING},
        {SIP_CALL_HOLD_SENT, "200 OK", "INVITE", "Cur0 OnSDPChangeOK SendSIPAck SetRTPHeld OnCallHolding(1)",
         SIP_CALL_HELD},
        {SIP_CALL_CONNECTED, "200 OK", "BYE", "Cur0", SIP_CALL_CONNECTED},
        {SIP_CALL_CALLING, "486 Busy Here", "INVITE", "Cur1 SendSIPAck OnRelease", SIP_CALL_CALLING},
        {SIP_CALL_CANCEL_SENT, "487 Request Terminated", "INVITE", "Cur0 SendSIPAck OnRelease",
         SIP_CALL_CANCEL_SENT},
        {SIP_CALL_HOLD_SENT, "488 Not Acceptable Here", "INVITE", "Cur0 SendSIPAck OnCallHolding(0)",
         SIP_CALL_CONNECTED},
        {SIP_CALL_REFER_SENT, "403 Forbidden", "REFER", "", SIP_CALL_CONNECTED},
        {SIP_CALL_CALLING, "302 Moved Temporarily", "INVITE",
         "Cur1 StopCallTimer SendSIPAck On3xxResponse OnRelease", SIP_CALL_CALLING},
        {SIP_CALL_CONNECTED, "302 Moved Temporarily", "INVITE", "Cur0 SendSIPAck", SIP_CALL_CONNECTED},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.what) + " " + r.cseq + " in status " + std::to_string(r.status));
        uint32_t connection = 0;
        const std::string invite = Dial(&connection);
        ASSERT_FALSE(invite.empty());
        s_call.Prepare(r.status, connection, KZAPI::CKZCall::CALL_STATUS_CALLING);
        const int stored = s_call.Stored();
        Respond(invite, r.what, r.cseq);
        if (*r.ops) {
            ASSERT_TRUE(s_call.WaitStored(stored + 1));
        } else {
            // Nothing is stored: wait for the status change the response makes.
            for (int i = 0; i < 500 && s_call.GetSIPStatus() == r.status; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(s_call.Ops(), r.ops);
        EXPECT_EQ(s_call.GetSIPStatus(), r.after);
    }
}

// A proxy that refuses the credentials it asked for ends the call; a server's 401 leaves it waiting.
TEST_F(DispatchTest, ASecondChallengeOfTheInviteEndsTheCallOnlyFromAProxy) {
    for (const char* challenge : {"407 Proxy Authentication Required", "401 Unauthorized"}) {
        SCOPED_TRACE(challenge);
        uint32_t connection = 0;
        const std::string invite = Dial(&connection);
        s_call.Prepare(SIP_CALL_CALLING, connection, KZAPI::CKZCall::CALL_STATUS_CALLING);
        const int stored = s_call.Stored();
        Respond(invite, challenge, "INVITE");
        ASSERT_TRUE(s_call.WaitStored(stored + 1));
        EXPECT_EQ(s_call.Ops(), "Cur0 StopCallTimer SendSIPAck Save ResentInviteWithCredit");
        Respond(invite, challenge, "INVITE");
        ASSERT_TRUE(s_call.WaitStored(stored + 2));
        const bool proxy = challenge[2] == '7';
        EXPECT_EQ(s_call.Ops(), std::string("Cur0 StopCallTimer SendSIPAck Save ResentInviteWithCredit"
                                            "Cur0 StopCallTimer SendSIPAck") +
                                    (proxy ? " ResetCallStatus" : ""));
    }
}

TEST_F(DispatchTest, AnUndeliverableInviteEndsTheCallWithATimeOutCauseByStatus) {
    struct Case {
        KZ_SIP_CALL_STATUS status;
        const char* ops;
        const char* cause;
    };
    const Case cases[] = {
        {SIP_CALL_CALLING, "Cur0 ResetCallStatus", "Server/Gateway No Response, Time-out"},
        {SIP_CALL_RECEIVED_TRYING, "Cur0 ResetCallStatus", "Server/Gateway No Response, Trying Time-out"},
        {SIP_CALL_RECEIVED_RINGING, "Cur0 ResetCallStatus", "Server/Gateway No Response, Ringing Time-out"},
        {SIP_CALL_CANCEL_SENT, "Cur0 ResetCallStatus", "Server/Gateway No Response, Request Time-out"},
        {SIP_CALL_CONNECTED, "Cur0 DisconnectCall ResetCallStatus", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cause);
        uint32_t connection = 0;
        s_call.Prepare(c.status, 0, KZAPI::CKZCall::CALL_STATUS_CALLING);
        const int stored = s_call.Stored();
        {
            // The call owns the connection before the stack can report the INVITE undeliverable.
            KZAPI::CMutexLock lock(s_call.GetCallMutex());
            Dial(&connection, kztest::free_port_pair());
            s_call.SetCRV(KZAPI::CKZCallControl::KIND_SIP, connection);
        }
        ASSERT_TRUE(s_call.WaitStored(stored + 1));
        EXPECT_EQ(s_call.Ops(), c.ops);
        EXPECT_EQ(s_call.GetDisconnectCauseCode(), *c.cause ? 504 : 0);
        EXPECT_STREQ(s_call.GetDisconnectCauseText(), c.cause);
    }
}
