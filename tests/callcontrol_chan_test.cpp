// The SIP channel and span: made by the class factory, the channel's call control and audio
// direction, and a span whose channels' status timers fire on the shared tick thread.
#include "callcontrol/CKZSIPAPICC.h"
#include "callcontrol/CKZSIPAPIChan.h"
#include "callcontrol/CKZSIPAPISpan.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClassEnv.h"
#include "host/CKZClock.h"
#include "server/CKZSIPCallControlI.h"
#include "server/kz_sip_factory.h"
#include "support/sip_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using KZAPI::CKZCfgInterface;

namespace {

struct FactoryFree {
    unsigned code;
    template <class T> void operator()(T* object) const { KZAPI_Free_Class_PRC(code, object); }
};

// A channel made as the host makes one: by the factory, its call control from the class
// environment.
struct FactoryChannel {
    explicit FactoryChannel(int number) {
        KZAPI::CKZClassEnv* env = KZAPI::AfxGetClassEnv();
        env->SetEntry("allocate", reinterpret_cast<void*>(&KZAPI_Alloc_Class_PRC));
        env->SetEntry("free", reinterpret_cast<void*>(&KZAPI_Free_Class_PRC));
        channel.reset(static_cast<KZAPI::CKZChannel*>(KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_CHANNEL)));
        channel->SetChannelNumber(number);
        sip = dynamic_cast<CKZSIPAPIChan*>(channel.get());
    }
    ~FactoryChannel() {
        if (channel) channel->Destroy();
    }
    std::unique_ptr<KZAPI::CKZChannel, FactoryFree> channel{nullptr, FactoryFree{KZ_CLASS_SIP_CHANNEL}};
    CKZSIPAPIChan* sip = nullptr;
};

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override { CKZCfgInterface::CFG_Clear(); }
    void TearDown() override { CKZCfgInterface::CFG_Clear(); }
};

} // namespace

TEST_F(ChannelTest, CreateGivesTheChannelAConfiguredCallControlAndDestroyTakesItBack) {
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.callcontrol.auto.transfercall", "2");
    FactoryChannel made(5);
    ASSERT_NE(made.sip, nullptr);
    ASSERT_EQ(made.sip->Create(), 1u);
    CKZSIPAPICC* cc = made.sip->GetSIPCallControl();
    ASSERT_NE(cc, nullptr);
    EXPECT_EQ(cc->GetChannel(), made.channel.get());
    EXPECT_EQ(made.channel->GetCallMediaApp(), cc);
    EXPECT_EQ(cc->GetAutoTransfer(), 2);
    EXPECT_EQ(made.sip->Destroy(), 1u);
    EXPECT_EQ(made.channel->GetCallControl(), nullptr);
    EXPECT_EQ(made.channel->GetCallMediaApp(), nullptr);
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.channum.per.span", "24");
    EXPECT_EQ(CKZSIPAPISpan().GetNumOfChannels(), 24);
}

TEST_F(ChannelTest, AudioDirectionMapsOntoTheForcedRTPDirection) {
    FactoryChannel made(1);
    ASSERT_EQ(made.sip->Create(), 1u);
    CKZSIPAPICC* cc = made.sip->GetSIPCallControl();
    const struct { int host, forced; } cases[] = {{0, -1}, {1, 1}, {2, 2}, {3, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(made.sip->SetAudioDir(c.host), 0);
        EXPECT_EQ(cc->GetRTPForceDir(), c.forced) << c.host;
        EXPECT_EQ(made.sip->GetAudioDir(), c.host);
    }
    for (int invalid : {7, -1, 4}) {
        EXPECT_EQ(made.sip->SetAudioDir(invalid), -1);
        EXPECT_EQ(made.sip->GetAudioDir(), 3) << invalid;
    }
    EXPECT_EQ(made.sip->FullDuplexConnect(static_cast<KZAPI::CKZChannel*>(nullptr)), -1);
}

TEST_F(ChannelTest, StartedSpanFiresItsChannelsTimersOnTheTickThread) {
    KZAPI::CKZManualClock clock;
    FactoryChannel ringing(0), connected(1);
    CKZSIPAPISpan span;
    for (FactoryChannel* made : {&ringing, &connected}) {
        ASSERT_EQ(made->sip->Create(), 1u);
        made->sip->GetSIPCallControl()->SetAppTimerClock(&clock);
        ASSERT_EQ(made->channel->Start(), 1u);
        span.AddChannel(made->channel.get());
    }
    CKZSIPAPICC* ringing_cc = ringing.sip->GetSIPCallControl();
    CKZSIPAPICC* connected_cc = connected.sip->GetSIPCallControl();
    ringing_cc->SetSIPStatus(SIP_CALL_RECEIVED_TRYING);
    ringing_cc->StartSIPStatusTimer();
    connected_cc->SetSIPStatus(SIP_CALL_CONNECTED);
    connected_cc->StartAppTimer(1000);
    ASSERT_EQ(span.Start(), 1u);

    clock.Advance(29);
    // Turns check the channels in order: once the connected call's timer has fired twice, a whole
    // turn has checked the ringing call's timer a second before it is due.
    ASSERT_TRUE(kztest::wait_until([&] { return !connected_cc->GetAppTimer().IsRunning(); }));
    connected_cc->StartAppTimer(0);
    ASSERT_TRUE(kztest::wait_until([&] { return !connected_cc->GetAppTimer().IsRunning(); }));
    EXPECT_EQ(ringing_cc->GetSIPStatus(), SIP_CALL_RECEIVED_TRYING);
    clock.Advance(1);
    EXPECT_TRUE(kztest::wait_until([&] { return ringing_cc->GetSIPStatus() == SIP_CALL_IDLE; }));
    span.Stop();
    KZAPI::CMutexLock lock(ringing_cc->GetCallMutex());
    EXPECT_STREQ(ringing_cc->GetDisconnectCauseText(), "Trying Time-out");
    EXPECT_EQ(connected_cc->GetSIPStatus(), SIP_CALL_CONNECTED);
    for (FactoryChannel* made : {&ringing, &connected})
        made->channel->Stop();
}
