// The host's call object model: the call record, the application timer on a hand-driven clock,
// and spans taking their timer turns on the one shared tick thread.
#include "host/CKZCallControl.h"
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "host/CKZDSPApp.h"
#include "host/CKZSpan.h"
#include "host/CKZTickThread.h"
#include "support/sip_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>

using namespace KZAPI;

namespace {

class CountingApp : public CKZDSPApp {
public:
    void OnAppTimer() override {
        ++fired;
        if (restart_with) StartAppTimer(restart_with);
    }
    int fired = 0;
    unsigned restart_with = 0;
};

class RecordingSpan : public CKZSpan {
public:
    ~RecordingSpan() override { Stop(); }
    bool DoUnblockedLoop() override {
        ++turns;
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
        return true;
    }
    std::atomic<int> turns{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
};

} // namespace

TEST(HostCall, TextFieldsAreBoundedAndResetKeepsTheCause) {
    CKZCallControl cc;
    cc.SetCallID(std::string(600, 'c').c_str());
    EXPECT_EQ(std::string(cc.GetCallID()).size(), CKZCall::kTextSize - 1);
    cc.SetToIP("", 5070);
    EXPECT_FALSE(cc.HasForcedDestination());
    EXPECT_EQ(cc.GetToPort(), 0);
    cc.SetDisconnectCause(302, "Moved");
    cc.AppendDisconnectCauseText(" - <sip:x@y>");
    cc.SetFromTag("a");
    cc.SetCallDirection(CKZCall::CALL_OUTBOUND);
    cc.SetProxyRelatedChanID(4);
    cc.ResetCallStatus();
    EXPECT_STREQ(cc.GetCallID(), "");
    EXPECT_STREQ(cc.GetFromTag(), "");
    EXPECT_FALSE(cc.IsOutbound());
    EXPECT_EQ(cc.GetProxyRelatedChanID(), CKZCall::kNoProxyChannel);
    EXPECT_EQ(cc.GetDisconnectCauseCode(), 302);
    EXPECT_STREQ(cc.GetDisconnectCauseText(), "Moved - <sip:x@y>");
}

TEST(HostAppTimer, FiresOnceAtItsPeriodUnlessStoppedOrKilledAndOnAppTimerMayRestart) {
    CKZManualClock clock;
    CountingApp app;
    app.SetAppTimerClock(&clock);
    EXPECT_EQ(app.StartAppTimer(1000), 0u); // not registered yet
    app.SetAppTimer();
    ASSERT_EQ(app.StartAppTimer(3000), 1u);
    clock.Advance(2);
    EXPECT_FALSE(app.GetAppTimer().CheckEveryTimer());
    clock.Advance(1);
    EXPECT_TRUE(app.GetAppTimer().CheckEveryTimer());
    clock.Advance(10);
    EXPECT_FALSE(app.GetAppTimer().CheckEveryTimer()) << "once";

    app.StartAppTimer(1000);
    app.StopAppTimer();
    clock.Advance(5);
    EXPECT_FALSE(app.GetAppTimer().CheckEveryTimer());

    // Starting again before it fires replaces the period, longer or shorter.
    for (auto [first_ms, second_ms] : {std::pair{30000u, 5000u}, std::pair{2000u, 10000u}}) {
        app.StartAppTimer(first_ms);
        clock.Advance(1);
        app.StartAppTimer(second_ms);
        clock.AdvanceMs(second_ms - 1000);
        EXPECT_FALSE(app.GetAppTimer().CheckEveryTimer()) << first_ms << " then " << second_ms;
        clock.Advance(1);
        EXPECT_TRUE(app.GetAppTimer().CheckEveryTimer()) << first_ms << " then " << second_ms;
    }

    app.restart_with = 2000;
    app.StartAppTimer(1000);
    clock.Advance(1);
    EXPECT_TRUE(app.GetAppTimer().CheckEveryTimer());
    EXPECT_TRUE(app.GetAppTimer().IsRunning());
    EXPECT_EQ(app.GetAppTimer().GetPeriod(), 2000u);

    app.KillAppTimer();
    clock.Advance(5);
    EXPECT_FALSE(app.GetAppTimer().CheckEveryTimer());
    EXPECT_EQ(app.StartAppTimer(1000), 0u);
    EXPECT_EQ(app.fired, 4);
}

TEST(HostTickThread, SpansShareOneThreadAndStopEndsTheirTurns) {
    RecordingSpan a, b;
    a.Start();
    b.Start();
    ASSERT_TRUE(kztest::wait_until([&] { return a.turns > 2 && b.turns > 2; }));
    {
        std::lock_guard la(a.mutex), lb(b.mutex);
        ASSERT_EQ(a.threads.size(), 1u);
        EXPECT_EQ(a.threads, b.threads);
        EXPECT_EQ(a.threads.count(std::this_thread::get_id()), 0u);
    }
    a.Stop();
    const int after_stop = a.turns;
    ASSERT_TRUE(kztest::wait_until([&] { return b.turns > after_stop + 5; })); // the thread goes on for b
    EXPECT_EQ(a.turns, after_stop);
    b.Stop();
    EXPECT_EQ(CKZTickThread::Instance().GetClientCount(), 0);
}

TEST(HostTickThread, ASpanMayStopFromItsOwnTurn) {
    class SelfStoppingSpan : public CKZSpan {
    public:
        ~SelfStoppingSpan() override { Stop(); }
        bool DoUnblockedLoop() override {
            if (++turns == 3) Stop();
            return true;
        }
        std::atomic<int> turns{0};
    } span;
    span.Start();
    ASSERT_TRUE(kztest::wait_until([&] { return CKZTickThread::Instance().GetClientCount() == 0; }));
    EXPECT_EQ(span.turns, 3);
}

// Turns walk only once an armed timer may be due: a timer armed far ahead costs no walk per
// millisecond, one armed while the turns rest still fires on time, and so does a timer noted by
// the walk that found it not yet due.
TEST(HostTickThread, TurnsWalkOnlyWhenAnArmedTimerIsDue) {
    struct WalkingSpan : public CKZSpan {
        ~WalkingSpan() override { Stop(); }
        bool DoUnblockedLoop() override {
            app.GetAppTimer().CheckEveryTimer();
            app.GetAppTimer().NoteForTurns();
            return true;
        }
        struct App : public CKZDSPApp {
            void OnAppTimer() override { ++fired; }
            std::atomic<int> fired{0};
        } app;
    } span;
    CKZManualClock clock;
    CTimer::SetTurnClock(&clock);
    span.app.SetAppTimerClock(&clock);
    span.app.SetAppTimer();
    span.app.StartAppTimer(1000);
    span.Start();
    CKZTickThread& ticks = CKZTickThread::Instance();
    const auto rest_then_fire = [&](unsigned ms, int fired) {
        const uint64_t turns = ticks.GetTurnCount(), passes = ticks.GetPassCount();
        ASSERT_TRUE(kztest::wait_until([&] { return ticks.GetPassCount() > passes + 20; }));
        EXPECT_LE(ticks.GetTurnCount(), turns + 1) << "turns rest until the deadline";
        EXPECT_EQ(span.app.fired, fired - 1);
        clock.Advance(ms);
        EXPECT_TRUE(kztest::wait_until([&] { return span.app.fired == fired; }));
    };
    rest_then_fire(1000, 1); // the deadline the first walk noted
    span.app.StartAppTimer(500);
    rest_then_fire(500, 2); // armed after the turns had nothing left to wait for
    span.Stop();
    CTimer::SetTurnClock(nullptr);
}
