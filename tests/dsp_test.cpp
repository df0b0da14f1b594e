#include "host/CKZDSP.h"
#include "host/CKZDSPApp.h"
#include "host/CKZDSPTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace KZAPI;

namespace {

// Writes what reaches it into a shared journal as "<name>:rx<seq>", "<name>:tx<seq>", "<name>:tick".
class RecordingApp : public CKZDSPApp {
public:
    RecordingApp(std::string name, std::vector<std::string>& journal)
        : m_name(std::move(name)), m_journal(journal) {}
    void OnRxBufArrived(uint16_t seq, uint32_t, const uint8_t*, int) override {
        Note("rx" + std::to_string(seq));
    }
    void OnTxBufArrived(uint16_t seq, uint32_t, const uint8_t*, int) override {
        Note("tx" + std::to_string(seq));
    }
    void OnDSPTimer() override {
        Note("tick");
        if (stop_in_tick) StopDSPTimer();
        if (restart_in_tick) StartDSPTimer(restart_in_tick);
    }
    bool stop_in_tick = false;
    unsigned restart_in_tick = 0;

private:
    void Note(const std::string& what) { m_journal.push_back(m_name + ":" + what); }
    std::string m_name;
    std::vector<std::string>& m_journal;
};

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& s : items)
        out += (out.empty() ? "" : " ") + s;
    return out;
}

struct Pair {
    CKZManualClock clock;
    CKZDSPTimer timer{0, &clock};
    std::vector<std::string> journal;
    RecordingApp a1{"a1", journal}, a2{"a2", journal}, b1{"b1", journal};
    CKZDSP a{KZ_AUDIO_FORMAT_LINEAR16, &timer};
    CKZDSP b{KZ_AUDIO_FORMAT_LINEAR16, &timer};
    Pair() {
        EXPECT_TRUE(a.AddApp(&a1));
        EXPECT_TRUE(a.AddApp(&a2));
        EXPECT_TRUE(b.AddApp(&b1));
    }
    // One frame received on each side: a1 adds 1 as received, b1 adds 2 as received.
    std::string Exchange() {
        const uint8_t frame[160] = {};
        journal.clear();
        a1.AddRxFrame(1, 0, frame, sizeof frame, 1);
        b1.AddRxFrame(2, 0, frame, sizeof frame, 1);
        return Join(journal);
    }
};

enum class Link { None, Full, HalfBHearsA, HalfAHearsB };

struct LinkCase {
    Link link;
    const char* journal;
};

class DspLinks : public testing::TestWithParam<LinkCase> {};

TEST_P(DspLinks, ReceivedAudioReachesOwnAppsAndListeners) {
    Pair p;
    const LinkCase& c = GetParam();
    int linked = 0;
    if (c.link == Link::Full) linked = CKZDSP::FullDuplexConnect(&p.a, &p.b);
    if (c.link == Link::HalfBHearsA) linked = CKZDSP::HalfDuplexConnect(&p.b, &p.a);
    if (c.link == Link::HalfAHearsB) linked = CKZDSP::HalfDuplexConnect(&p.a, &p.b);
    ASSERT_EQ(linked, 0);
    EXPECT_EQ(p.Exchange(), c.journal);
    EXPECT_EQ(p.b.IsListeningTo(&p.a), c.link == Link::Full || c.link == Link::HalfBHearsA);
    EXPECT_EQ(p.a.IsListeningTo(&p.b), c.link == Link::Full || c.link == Link::HalfAHearsB);
}

INSTANTIATE_TEST_SUITE_P(Table, DspLinks,
                         testing::Values(LinkCase{Link::None, "a1:rx1 a2:rx1 b1:rx2"},
                                         LinkCase{Link::Full, "a1:rx1 a2:rx1 b1:tx1 b1:rx2 a1:tx2 a2:tx2"},
                                         LinkCase{Link::HalfBHearsA, "a1:rx1 a2:rx1 b1:tx1 b1:rx2"},
                                         LinkCase{Link::HalfAHearsB, "a1:rx1 a2:rx1 b1:rx2 a1:tx2 a2:tx2"}));

TEST(Dsp, DisconnectStopsDeliveryAndBadLinksAreRefused) {
    Pair p;
    ASSERT_EQ(CKZDSP::FullDuplexConnect(&p.a, &p.b), 0);
    EXPECT_EQ(CKZDSP::FullDuplexConnect(&p.a, &p.b), 0); // already so
    EXPECT_EQ(CKZDSP::FullDuplexDisconnect(&p.b, &p.a), 0);
    EXPECT_EQ(p.Exchange(), "a1:rx1 a2:rx1 b1:rx2");
    EXPECT_EQ(CKZDSP::FullDuplexDisconnect(&p.a, &p.b), -1);

    CKZDSP ulaw(KZ_AUDIO_FORMAT_ULAW, &p.timer);
    EXPECT_EQ(CKZDSP::FullDuplexConnect(&p.a, &ulaw), -1);
    EXPECT_EQ(CKZDSP::HalfDuplexConnect(&ulaw, &p.a), -1);
    EXPECT_EQ(CKZDSP::FullDuplexConnect(&p.a, &p.a), -1);
    EXPECT_EQ(CKZDSP::HalfDuplexConnect(nullptr, &p.a), -1);

    {
        CKZDSP c(KZ_AUDIO_FORMAT_LINEAR16, &p.timer);
        ASSERT_EQ(CKZDSP::HalfDuplexConnect(&c, &p.a), 0);
        ASSERT_EQ(CKZDSP::HalfDuplexConnect(&p.a, &c), 0);
    } // a destroyed listener and source leaves no link behind
    EXPECT_EQ(p.Exchange(), "a1:rx1 a2:rx1 b1:rx2");
}

TEST(Dsp, AppsAreListedOnceAndLeaveCleanly) {
    Pair p;
    EXPECT_FALSE(p.a.AddApp(&p.a1));
    EXPECT_TRUE(p.a.RemoveApp(&p.a1));
    EXPECT_FALSE(p.a.RemoveApp(&p.a1));
    const uint8_t frame[8] = {};
    p.journal.clear();
    EXPECT_EQ(p.a1.AddTxFrame(5, 0, frame, sizeof frame), 0); // no DSP any more
    EXPECT_EQ(p.a2.AddTxFrame(6, 0, frame, sizeof frame), 8);
    EXPECT_EQ(Join(p.journal), "a2:tx6");
}

TEST(DspTimer, TicksOnAFixedGridInAppOrder) {
    Pair p;
    p.a.StartTimer(20);
    p.b.StartTimer(30);
    EXPECT_EQ(p.timer.GetScheduledCount(), 2);
    // Milliseconds advanced, and RunDue's count then.
    const std::pair<int, int> steps[] = {
        {19, 0},   {1, 1},  // a at 20
        {10, 1},            // b at 30
        {10, 1},            // a at 40 (one tick per period)
        {65, 5},            // late: a at 60, 80, 100 and b at 60, 90 all run
        {1000, 2},          // far behind: each skips ahead instead of bursting
        {20, 1},   {10, 1}, // then back on a period again
    };
    for (const auto& [advance_ms, ticks] : steps) {
        p.clock.AdvanceMs(advance_ms);
        EXPECT_EQ(p.timer.RunDue(), ticks) << "after +" << advance_ms;
    }
    p.journal.clear();
    p.clock.AdvanceMs(10);
    EXPECT_EQ(p.timer.RunDue(), 1);
    EXPECT_EQ(Join(p.journal), "a1:tick a2:tick");
    EXPECT_EQ(p.timer.GetLateness().ticks, 13u);
}

TEST(DspTimer, StopFromATickAndRestartWithANewPeriod) {
    Pair p;
    p.a.StartTimer(20);
    p.a1.stop_in_tick = true;
    p.clock.AdvanceMs(20);
    EXPECT_EQ(p.timer.RunDue(), 1);
    EXPECT_EQ(Join(p.journal), "a1:tick a2:tick"); // the tick in progress completes
    EXPECT_FALSE(p.a.IsTimerRunning());
    p.clock.AdvanceMs(100);
    EXPECT_EQ(p.timer.RunDue(), 0);

    p.a1.stop_in_tick = false;
    p.a1.restart_in_tick = 10;
    p.a.StartTimer(20);
    p.clock.AdvanceMs(20);
    EXPECT_EQ(p.timer.RunDue(), 1); // restarted at 10 ms from inside the tick
    p.a1.restart_in_tick = 0;
    p.clock.AdvanceMs(10);
    EXPECT_EQ(p.timer.RunDue(), 1);
    EXPECT_EQ(p.a.GetFrameTime(), 10u);
    p.a.StopTimer();
    EXPECT_EQ(p.timer.GetScheduledCount(), 0);
}

// Holds the first transmitted frame until released, noting whether the unlinking call on the
// other thread had already returned by then.
class BlockingApp : public CKZDSPApp {
public:
    void OnTxBufArrived(uint16_t, uint32_t, const uint8_t*, int) override {
        entered = true;
        while (!release)
            std::this_thread::yield();
        if (unlinked) unlinked_while_inside = true;
    }
    std::atomic<bool> entered{false}, release{false}, unlinked{false}, unlinked_while_inside{false};
};

class DspUnlink : public testing::TestWithParam<int> {};

TEST_P(DspUnlink, WaitsForTheDeliveryInProgress) {
    BlockingApp on_b;
    CKZDSPApp on_a;
    CKZDSP a, b;
    a.AddApp(&on_a);
    b.AddApp(&on_b);
    ASSERT_EQ(CKZDSP::FullDuplexConnect(&a, &b), 0);
    const uint8_t frame[160] = {};
    std::thread deliver([&] { on_a.AddRxFrame(1, 0, frame, sizeof frame, 1); });
    while (!on_b.entered)
        std::this_thread::yield();
    std::thread unlink([&] {
        if (GetParam() == 0) CKZDSP::FullDuplexDisconnect(&a, &b);
        if (GetParam() == 1) b.RemoveApp(&on_b);
        if (GetParam() == 2) b.DisconnectAll();
        on_b.unlinked = true;
    });
    for (int i = 0; i < 10000; ++i)
        std::this_thread::yield(); // give a wrong unlink time to return
    on_b.release = true;
    deliver.join();
    unlink.join();
    EXPECT_FALSE(on_b.unlinked_while_inside);
}

INSTANTIATE_TEST_SUITE_P(Table, DspUnlink, testing::Values(0, 1, 2)); // disconnect, RemoveApp, DisconnectAll

// Real timer threads tick two full-duplex DSPs that feed each other while another thread
// connects, disconnects and destroys a third DSP and removes and adds apps.
class CountingApp : public CKZDSPApp {
public:
    void OnDSPTimer() override {
        const uint8_t frame[160] = {};
        ++ticks;
        AddRxFrame(static_cast<uint16_t>(ticks.load()), 0, frame, sizeof frame, 1);
    }
    void OnRxBufArrived(uint16_t, uint32_t, const uint8_t*, int) override { ++rx; }
    void OnTxBufArrived(uint16_t, uint32_t, const uint8_t*, int) override { ++tx; }
    std::atomic<int> ticks{0}, rx{0}, tx{0};
};

TEST(DspThreaded, DeliveriesSurviveConcurrentRewiring) {
    CKZDSPTimer timer(2);
    CountingApp on_a, on_b;
    CKZDSP a(KZ_AUDIO_FORMAT_LINEAR16, &timer), b(KZ_AUDIO_FORMAT_LINEAR16, &timer);
    a.AddApp(&on_a);
    b.AddApp(&on_b);
    a.StartTimer(1);
    b.StartTimer(1);
    std::atomic<bool> quiet_broken{false};
    std::thread rewire([&] {
        // Enough rounds for both timers to have ticked through many of them.
        for (int round = 0; round < 300 || on_a.ticks.load() < 300 || on_b.ticks.load() < 300; ++round) {
            CountingApp on_c;
            auto c = std::make_unique<CKZDSP>(KZ_AUDIO_FORMAT_LINEAR16, &timer);
            c->AddApp(&on_c);
            c->StartTimer(1);
            CKZDSP::FullDuplexConnect(&a, &b);
            CKZDSP::HalfDuplexConnect(c.get(), &a);
            CKZDSP::HalfDuplexConnect(c.get(), &b);
            CKZDSP::HalfDuplexConnect(&a, c.get());
            std::this_thread::yield();
            CKZDSP::FullDuplexDisconnect(&a, &b);
            const int heard = on_b.tx.load();
            std::this_thread::yield();
            // Nothing reaches b from a once the disconnect returned (b hears no one else).
            if (on_b.tx.load() != heard) quiet_broken = true;
            if (round % 3 == 0) c->RemoveApp(&on_c);
            c.reset(); // with its links and its timer
        }
    });
    rewire.join();
    a.StopTimer();
    b.StopTimer();
    const int ticks = on_a.ticks.load();
    EXPECT_EQ(timer.GetScheduledCount(), 0);
    EXPECT_FALSE(quiet_broken.load());
    EXPECT_GT(ticks, 0);
    EXPECT_GT(on_b.tx.load(), 0);
    std::this_thread::yield();
    EXPECT_EQ(on_a.ticks.load(), ticks); // stopped means stopped
}

} // namespace
