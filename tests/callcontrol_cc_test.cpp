// The SIP call control against a server on loopback: its record after a reset, the status timers
// on a hand-driven clock and the current message. The timeouts of an outgoing call's provisional
// statuses are checked on the wire with the call flows.
#include "server/SIPMessagePtr.h"
#include "sipmsg/sip_msg.h"
#include "support/callcontrol_rig.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <string>

using KZAPI::CKZLogInterface;

namespace {

constexpr uint32_t kResponseEvent = KZ_EVENT_SIP_MESSAGE_RESPONSE;
constexpr uint32_t kRequestEvent = KZ_EVENT_SIP_MESSAGE_REQUEST;

class CallControlTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_rig.started); }
    void Advance(int seconds) { m_rig.clock.Advance(seconds); }

    kztest::CallControlRig m_rig{7};
    CKZSIPAPICC& m_cc = m_rig.cc;
};

SIPMessagePtr parse_message(std::string text) {
    SIPMessagePtr message = AllocSIPMessage();
    KZSIPEvent event{};
    message->init_from_buf(text.data(), &event);
    return message;
}

// A message of the dialog of a@x and b@y: a response to the INVITE, or the BYE.
std::string dialog_message(const std::string& first_line, const std::string& extra = "") {
    const char* cseq = first_line.rfind("BYE", 0) == 0 ? "2 BYE" : "1 INVITE";
    return first_line + "\r\nVia: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK1\r\nFrom: <sip:a@x>;tag=1\r\n" +
           "To: <sip:b@y>;tag=2\r\nCall-ID: c1\r\nCSeq: " + cseq + "\r\n" + extra +
           "Content-Length: 0\r\n\r\n";
}
const char* const kContact = "Contact: <sip:b@z.example>\r\n";

// What a reset must settle, read through the public operations.
struct RecordView {
    int sip_status, host_status, conn_id, routes, force_dir, dtmf_payload, codec, proxy_channel, rtp_port;
    std::string call_id, contact, peer_address;
    bool operator==(const RecordView&) const = default;
};

RecordView view(CKZSIPAPICC& cc) {
    return {cc.GetSIPStatus(),        cc.GetCallStatus(),         static_cast<int>(cc.GetSIPConnID()),
            cc.GetRouteCount(),       cc.GetRTPForceDir(),        cc.GetDTMFPayload(),
            cc.GetPresetAudioCodec(), cc.GetProxyRelatedChanID(), cc.GetLocalRTPPort(),
            cc.GetSIPCallID(),        cc.GetLocalContact(),       cc.GetPeerSIPIPAddress()};
}

} // namespace

TEST_F(CallControlTest, EachTimedStatusEndsTheCallWithItsCause) {
    struct Case {
        KZ_SIP_CALL_STATUS status;
        int seconds;
        const char* log;
        const char* cause;
        const char* release_error;
    };
    const Case cases[] = {
        {SIP_CALL_ANSWERED, 5, "Disconnect call because of no ACK response!", "No ACK response, Time-out",
         "Error: Failed to disconnect a call, connection ID is 41"},
        {SIP_CALL_NOTIFY_ACCEPTED, 3, "Received Notify OK, but remote didn't disconnect in 3 seconds!",
         "Notify OK no disconnect Time-out", "Error: Failed to disconnect a call, connection ID is 41"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cause);
        kztest::LogCapture log;
        m_cc.SetSIPStatus(c.status);
        m_cc.SetSIPConnID(41);
        ASSERT_EQ(m_cc.StartSIPStatusTimer(), 1u);
        Advance(c.seconds - 1);
        EXPECT_FALSE(m_cc.GetAppTimer().CheckEveryTimer());
        EXPECT_EQ(m_cc.GetSIPStatus(), c.status);
        Advance(1);
        EXPECT_TRUE(m_cc.GetAppTimer().CheckEveryTimer());
        EXPECT_TRUE(log.Contains(c.log, CKZLogInterface::LOG_ERROR));
        EXPECT_EQ(m_cc.GetDisconnectCauseCode(), 504);
        EXPECT_STREQ(m_cc.GetDisconnectCauseText(), c.cause);
        // No peer is known, so the release cannot be sent and the call is reset.
        EXPECT_TRUE(log.HasLine(c.release_error));
        EXPECT_EQ(m_cc.GetSIPStatus(), SIP_CALL_IDLE);
        EXPECT_EQ(m_cc.GetSIPConnID(), 0u);
    }
}

TEST_F(CallControlTest, TimerInAStatusWithoutTimeoutDoesNothing) {
    for (KZ_SIP_CALL_STATUS status : {SIP_CALL_CONNECTED, SIP_CALL_IDLE, SIP_CALL_HELD, SIP_CALL_CALLING}) {
        kztest::LogCapture log;
        m_cc.SetDisconnectCause(0, "");
        m_cc.SetSIPStatus(status);
        EXPECT_EQ(m_cc.StartSIPStatusTimer(), 0u) << status;
        ASSERT_EQ(m_cc.StartAppTimer(1000), 1u);
        Advance(1);
        EXPECT_TRUE(m_cc.GetAppTimer().CheckEveryTimer());
        EXPECT_EQ(m_cc.GetSIPStatus(), status);
        EXPECT_EQ(m_cc.GetDisconnectCauseCode(), 0) << status;
        EXPECT_EQ(log.CountAtLevel(CKZLogInterface::LOG_ERROR), 0) << status;
    }
}

TEST_F(CallControlTest, UnansweredAttendedTransferEndsTheConsultationCallAndKeepsThisOne) {
    KZAPI::CKZChannel consultation_channel{8, KZAPI::CKZCallControl::KIND_SIP};
    CKZSIPAPICC consultation;
    consultation_channel.SetCallControl(&consultation);
    consultation.SetChannel(&consultation_channel);
    consultation.SetAppTimerClock(&m_rig.clock);
    ASSERT_EQ(consultation.Start(), 1u);
    consultation.SetSIPStatus(SIP_CALL_HOLD_SENT);
    m_cc.SetSIPStatus(SIP_CALL_REFER_SENT);
    m_cc.SetDestTransferChanCallControl(&consultation);
    kztest::LogCapture log;
    m_cc.StartAppTimer(32000);
    Advance(32);
    EXPECT_TRUE(m_cc.GetAppTimer().CheckEveryTimer());
    EXPECT_TRUE(
        log.Contains("Attended transfer -> sent REFER, but trying expired.", CKZLogInterface::LOG_ERROR));
    EXPECT_EQ(m_cc.GetSIPStatus(), SIP_CALL_CONNECTED);
    EXPECT_EQ(m_cc.GetDestTransferChanCallControl(), nullptr);
    // Its BYE was tried from the connected status (and failed, which resets it).
    EXPECT_TRUE(log.HasLine("Error: Failed to disconnect a call, connection ID is 0"));
    EXPECT_EQ(consultation.GetSIPStatus(), SIP_CALL_IDLE);
}

TEST_F(CallControlTest, ResetTwiceLeavesTheRecordAsOnce) {
    m_cc.SetSIPStatus(SIP_CALL_CONNECTED);
    m_cc.SetStatus(KZAPI::CKZCall::CALL_STATUS_CONNECTED);
    m_cc.SetSIPConnID(77);
    m_cc.SetSIPCallID("a84b4c76e66710");
    m_cc.AddRoute("<sip:p1.example.com;lr>", 1);
    m_cc.AddRoute("<sip:p2.example.com;lr>", 1);
    m_cc.SetRTPForceDir(1);
    m_cc.SetAudioCodec(8);
    m_cc.SetProxyRelatedChanID(3);
    const int port_during_call = m_cc.GetLocalRTPPort();

    kztest::LogCapture log;
    m_cc.ResetCallStatus();
    EXPECT_TRUE(log.HasLine("Route is reseted! 2"));
    const RecordView once = view(m_cc);
    m_cc.ResetCallStatus();
    EXPECT_EQ(view(m_cc), once);

    EXPECT_EQ(once.sip_status, SIP_CALL_IDLE);
    EXPECT_EQ(once.host_status, 0);
    EXPECT_EQ(once.conn_id, 0);
    EXPECT_EQ(once.routes, 0);
    EXPECT_EQ(once.force_dir, -2);
    EXPECT_EQ(once.codec, -1);
    EXPECT_EQ(once.proxy_channel, -1);
    EXPECT_EQ(once.call_id, "");
    EXPECT_NE(once.rtp_port, port_during_call); // the next call takes the other port of the block
}

TEST_F(CallControlTest, CurrentMessageBecomesTheDisconnectCauseWhenAsked) {
    struct Case {
        uint32_t event_type, code;
        std::string text;
        unsigned reason;
        int last_code, cause_code;
        const char* cause_text;
    };
    const Case cases[] = {
        {kResponseEvent, 0x20000 | 302, dialog_message("SIP/2.0 302 Moved Temporarily", kContact), 1, 302,
         302, "Moved Temporarily - <sip:b@z.example>"},
        {kResponseEvent, 0x20000 | 486, dialog_message("SIP/2.0 486 Busy Here", kContact), 1, 486, 486,
         "Busy Here"},
        {kRequestEvent, (4u << 24) | 0x10000, dialog_message("BYE sip:a@x SIP/2.0", "Max-Forwards: 70\r\n"),
         1, -4, 4, "BYE"},
        {kResponseEvent, 0x20000 | 180, dialog_message("SIP/2.0 180 Ringing"), 0, 180, 9, "kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cause_text);
        m_cc.SetDisconnectCause(9, "kept");
        KZSIPEvent event{};
        event.event_type = c.event_type;
        event.code = c.code;
        SIPMessagePtr message = parse_message(c.text);
        ASSERT_NE(message, nullptr);
        sip_msg* raw = message.release();
        EXPECT_EQ(m_cc.SetCurSIPMsg(&event, raw, "10.0.0.9", 0, c.reason), 1u);
        EXPECT_EQ(m_cc.GetCurSIPMsg(), raw);
        EXPECT_STREQ(m_cc.GetFromIP(), "10.0.0.9");
        EXPECT_EQ(m_cc.GetFromPort(), 5060);
        EXPECT_EQ(m_cc.GetLastMsgCode(), c.last_code);
        EXPECT_EQ(m_cc.GetDisconnectCauseCode(), c.cause_code);
        EXPECT_STREQ(m_cc.GetDisconnectCauseText(), c.cause_text);
    }
    EXPECT_EQ(m_cc.FreeSIPMsg(), 1u);
    EXPECT_EQ(m_cc.GetCurSIPMsg(), nullptr);
}
