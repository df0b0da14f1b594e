// A suite whose server on loopback answers the calls a raw UDP peer makes to channels made by the
// class factory, with telephone events only when the peer offers them. The digits the calls hear
// go to the suite's sink.
#pragma once

#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/CKZMediaEventSink.h"
#include "support/call_peer.h"
#include "support/loopback_config.h"
#include "support/sip_peer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kztest {

class AnsweringSuite : public ::testing::Test {
protected:
    // count channels, the first of them offered calls; key and value: one more setting.
    static void StartAnswering(int count, const char* key = nullptr, const char* value = nullptr) {
        KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_ERROR);
        s_port = free_port_pair();
        configure_loopback_server(
            s_port,
            {{"kzsrv.sip.callcontrol.auto.answercall", "1"}, {"kzsrv.sip.default.dtmf.payload", "-1"}}, 0);
        if (key) KZAPI::CKZCfgInterface::CFG_SetValue(key, value);
        s_calls = std::make_unique<FactoryCallServer>();
        ASSERT_TRUE(s_calls->Start(count, 1));
        KZAPI::CKZMediaEventSink::SetMediaEventSink(&s_sink);
    }
    static void TearDownTestSuite() {
        KZAPI::CKZMediaEventSink::SetMediaEventSink(nullptr);
        s_calls.reset();
        KZAPI::CKZCfgInterface::CFG_Clear();
    }

    static CKZSIPAPICC& Call(KZAPI::CKZChannel* channel = nullptr) {
        return FactoryCallServer::Call(channel ? channel : s_calls->channels[0]);
    }
    static CKZSIPDTMFControl& Dtmf(KZAPI::CKZChannel* channel = nullptr) {
        return FactoryCallServer::Dtmf(channel ? channel : s_calls->channels[0]);
    }
    // The peer calls with the media lines ("%d" its RTP port) and the call's RTP socket opens;
    // the call's 200 OK, or "".
    static std::string Dial(CallingPeer& leg, const std::string& media, const std::string& name,
                            KZAPI::CKZChannel* channel = nullptr) {
        const std::string ok = leg.Call(media, name + "-" + std::to_string(++s_call_count) + "-" +
                                                   std::to_string(leg.sip.port()));
        EXPECT_FALSE(ok.empty()) << "no 200 OK";
        EXPECT_TRUE(wait_until([&] { return Call(channel).IsRTPSocketOpen() == 1u; }));
        return ok;
    }
    // Ends the peer's call, if there is one, and waits for the channel to be idle.
    static void Hangup(CallingPeer& leg, KZAPI::CKZChannel* channel = nullptr) {
        if (leg.to_tag.empty()) return;
        leg.Bye(99);
        EXPECT_TRUE(
            wait_until([&] { return Call(channel).GetCallStatus() == KZAPI::CKZCall::CALL_STATUS_IDLE; }));
    }

    static inline uint16_t s_port = 0;
    static inline std::unique_ptr<FactoryCallServer> s_calls;
    static inline DigitSink s_sink;
    static inline int s_call_count = 0;
};

} // namespace kztest
