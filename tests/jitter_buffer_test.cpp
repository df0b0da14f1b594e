#include "host/KZJitterBuffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace KZAPI;

namespace {

constexpr int kFrameMs = 20;
constexpr int kFrameBytes = 160;
// Timestamps start just below 2^32 so that streams near sequence 65535 wrap both at once.
constexpr uint32_t kTsBase = 0u - 65535u * 160u - 80u;

uint32_t TimestampOf(int64_t n) {
    return kTsBase + static_cast<uint32_t>(n) * 160u;
}

struct Buffer {
    Buffer(int min_delay, int max_delay, bool adaptive) : jb(KZ_JB_Create(&clock), &KZ_JB_Destroy) {
        EXPECT_TRUE(KZ_JB_ResetAll(jb.get(), min_delay, max_delay, kFrameBytes, kFrameMs, adaptive ? 1 : 0));
    }
    // n is the frame's number in an endless stream: its sequence is n mod 2^16.
    bool Add(int64_t n) {
        std::vector<uint8_t> payload(kFrameBytes, static_cast<uint8_t>(n));
        return KZ_JB_AddFrame(jb.get(), static_cast<uint16_t>(n), TimestampOf(n), payload.data(),
                              kFrameBytes);
    }
    // Drains what is due now, as "seq" or "seq" + "c" for a concealment, and checks each payload
    // and timestamp against the frame it stands for.
    std::string Drain(int get_all = 0) {
        std::string out;
        uint8_t frame[2048];
        uint16_t seq = 0;
        uint32_t ts = 0;
        bool concealed = false;
        while (int n = KZ_JB_GetFrame(jb.get(), frame, sizeof frame, get_all, &seq, &ts, &concealed)) {
            EXPECT_EQ(n, kFrameBytes);
            const int64_t number =
                last_real + 1 + static_cast<uint16_t>(seq - static_cast<uint16_t>(last_real + 1));
            EXPECT_EQ(ts, TimestampOf(number)) << "seq " << seq;
            EXPECT_EQ(frame[0], static_cast<uint8_t>(concealed ? last_real : number)) << "seq " << seq;
            if (!concealed) last_real = number;
            out += (out.empty() ? "" : " ") + std::to_string(seq) + (concealed ? "c" : "");
        }
        return out;
    }
    KZ_JB_STATS Stats() {
        KZ_JB_STATS s;
        KZ_JB_GetStats(jb.get(), &s);
        return s;
    }

    CKZManualClock clock;
    std::unique_ptr<KZJitterBuffer, decltype(&KZ_JB_Destroy)> jb;
    int64_t last_real = -1;
};

// "1,2|3||5" : frames arriving before each of the ticks, one tick per frame time.
std::vector<std::vector<int64_t>> ParseArrivals(const std::string& text) {
    std::vector<std::vector<int64_t>> ticks;
    std::stringstream all(text);
    for (std::string tick, number; std::getline(all, tick, '|');) {
        ticks.emplace_back();
        for (std::stringstream one(tick); std::getline(one, number, ',');)
            ticks.back().push_back(std::stoll(number));
    }
    return ticks;
}

struct Scenario {
    const char* name;
    const char* arrivals;
    const char* delivered;
    uint64_t duplicates, late, lost, concealed, overflow;
    int max_delay = 25;
};

const Scenario kScenarios[] = {
    {"in order", "1|2|3|4|5", "1 2 3 4 5", 0, 0, 0, 0, 0},
    {"reordered within the delay", "1|2|4|3|5|6", "1 2 3 4 5 6", 0, 0, 0, 0, 0},
    {"duplicates of buffered and played frames", "1|2|2|3,1|4", "1 2 3 4", 2, 0, 0, 0, 0},
    {"a lost frame is concealed", "1|2|3|5|6|7", "1 2 3 4c 5 6 7", 0, 0, 1, 1, 0},
    {"a late frame is refused", "1|2|3|5|6|4|7", "1 2 3 4c 5 6 7", 0, 1, 1, 1, 0},
    {"three repeats, then a gap", "1|2|3|8,9,10", "1 2 3 4c 5c 6c 8 9 10", 0, 0, 4, 3, 0},
    {"an outage resumes at the new audio", "1|2|3|||||9|10|11", "1 2 3 9 10 11", 0, 0, 5, 0, 0},
    {"sequence and timestamp wrap", "65533|65534|65535|65536|65538|65539", "65533 65534 65535 0 1c 2 3", 0, 0,
     1, 1, 0},
    {"reordered across the wrap", "65534|65535|65537|65536|65538", "65534 65535 0 1 2", 0, 0, 0, 0, 0},
    {"a new stream resynchronises", "1|2|3|5000|5001|5002", "1 2 3 5000 5001 5002", 0, 0, 0, 0, 0},
    {"a stray packet is ignored", "1|2|30000|3|4", "1 2 3 4", 0, 0, 0, 0, 0},
    {"a lone frame plays after the minimum delay", "7", "7", 0, 0, 0, 0, 0},
    {"overflow drops the oldest", "1,2,3,4,5,6", "3 4 5 6", 0, 0, 0, 0, 2, 4},
};

class JitterScenario : public testing::TestWithParam<Scenario> {};

TEST_P(JitterScenario, DeliversInOrderOnce) {
    const Scenario& s = GetParam();
    Buffer b(2, s.max_delay, false);
    std::string delivered;
    auto ticks = ParseArrivals(s.arrivals);
    ticks.resize(ticks.size() + 8); // let the buffer run dry
    for (const auto& arrivals : ticks) {
        for (int64_t n : arrivals)
            b.Add(n);
        const std::string out = b.Drain();
        if (!out.empty()) delivered += (delivered.empty() ? "" : " ") + out;
        b.clock.AdvanceMs(kFrameMs);
    }
    EXPECT_EQ(delivered, s.delivered);
    const KZ_JB_STATS st = b.Stats();
    EXPECT_EQ(st.duplicates, s.duplicates);
    EXPECT_EQ(st.late, s.late);
    EXPECT_EQ(st.lost, s.lost);
    EXPECT_EQ(st.concealed, s.concealed);
    EXPECT_EQ(st.overflow, s.overflow);
    EXPECT_EQ(st.buffered_frames, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, JitterScenario, testing::ValuesIn(kScenarios), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

// A stream where every tenth packet arrives `lag` frame times after its send time.
struct JitteryStream {
    int64_t next = 0;
    std::vector<std::pair<int64_t, int64_t>> in_flight; // (arrival tick, frame)
    int64_t tick = 0;

    void Run(Buffer& b, int ticks, int lag) {
        for (int i = 0; i < ticks; ++i, ++tick) {
            const int64_t n = next++;
            in_flight.emplace_back(tick + (n % 10 == 5 ? lag : 0), n);
            for (auto it = in_flight.begin(); it != in_flight.end();) {
                if (it->first > tick) {
                    ++it;
                    continue;
                }
                b.Add(it->second);
                it = in_flight.erase(it);
            }
            b.Drain();
            b.clock.AdvanceMs(kFrameMs);
        }
    }
};

struct AdaptCase {
    bool adaptive;
    int min_delay, max_delay, lag;
    int delay_after_jitter; // target delay once the jitter has run 10 s
    uint64_t max_late;      // late packets over those 10 s
    int delay_after_calm;   // after 30 s without jitter
};

class JitterAdapt : public testing::TestWithParam<AdaptCase> {};

TEST_P(JitterAdapt, GrowsOnLatePacketsAndShrinksWhenCalm) {
    const AdaptCase& c = GetParam();
    Buffer b(c.min_delay, c.max_delay, c.adaptive);
    JitteryStream stream;
    stream.Run(b, 600, c.lag);
    KZ_JB_STATS st = b.Stats();
    EXPECT_EQ(st.delay_frames, c.delay_after_jitter);
    EXPECT_LE(st.late, c.max_late);
    EXPECT_GT(st.late, 0u);
    // Then 30 s without jitter: one frame less per 5 s of calm.
    std::vector<int> shrinks; // ticks since the jitter stopped
    for (int t = 0, delay = st.delay_frames; t < 1500; ++t) {
        stream.Run(b, 1, 0);
        if (b.Stats().delay_frames != delay) shrinks.push_back(t);
        delay = b.Stats().delay_frames;
    }
    ASSERT_EQ(static_cast<int>(shrinks.size()), c.delay_after_jitter - c.delay_after_calm);
    for (size_t i = 0; i < shrinks.size(); ++i)
        EXPECT_GE(shrinks[i], 250 * static_cast<int>(i + 1));
    for (size_t i = 1; i < shrinks.size(); ++i)
        EXPECT_EQ(shrinks[i] - shrinks[i - 1], 250);
    st = b.Stats();
    EXPECT_EQ(st.delay_frames, c.delay_after_calm);
    EXPECT_LE(st.buffered_frames, c.delay_after_calm + 1);
}

// Fixed, every lagging one is late; adaptive, it grows until the lag is covered, but never past
// the maximum, and never below the minimum.
INSTANTIATE_TEST_SUITE_P(Table, JitterAdapt,
                         testing::Values(AdaptCase{false, 2, 25, 4, 2, 100, 2},
                                         AdaptCase{true, 2, 25, 4, 5, 4, 2},
                                         AdaptCase{true, 2, 4, 6, 4, 100, 2},
                                         AdaptCase{true, 3, 25, 3, 4, 2, 3}));

TEST(JitterBuffer, PacesOneFramePerFrameTimeAndCatchesUp) {
    Buffer b(2, 25, false);
    for (int n = 1; n <= 20; ++n)
        ASSERT_TRUE(b.Add(n));
    EXPECT_EQ(b.Drain(), "1");
    EXPECT_EQ(b.Drain(), "");        // the same tick again
    b.clock.AdvanceMs(kFrameMs - 9); // a tick a little early still gets its frame
    EXPECT_EQ(b.Drain(), "2");
    b.clock.AdvanceMs(9);
    EXPECT_EQ(b.Drain(), "");
    b.clock.AdvanceMs(kFrameMs * 4); // three frame times late
    EXPECT_EQ(b.Drain(), "3 4 5 6");
    b.clock.AdvanceMs(kFrameMs);
    EXPECT_EQ(b.Drain(), "7");
}

TEST(JitterBuffer, CatchUpNeverExceedsTheMaximumDelay) {
    Buffer b(2, 6, false);
    for (int n = 1; n <= 6; ++n)
        b.Add(n);
    EXPECT_EQ(b.Drain(), "1");
    b.clock.AdvanceMs(kFrameMs * 100);
    b.Add(7);
    EXPECT_EQ(b.Drain(), "2 3 4 5 6 7");
    b.Add(8);
    EXPECT_EQ(b.Drain(), ""); // the grid moved on rather than leaving 94 frame times due
    b.clock.AdvanceMs(kFrameMs);
    EXPECT_EQ(b.Drain(), "8");
}

TEST(JitterBuffer, GetAllGivesEverythingBufferedInOrderAtOnce) {
    Buffer b(5, 25, false);
    for (int n : {3, 1, 2, 6, 4})
        b.Add(n);
    EXPECT_EQ(b.Drain(1), "1 2 3 4 6");
    EXPECT_EQ(b.Stats().lost, 1u);
    EXPECT_FALSE(b.Add(5)); // its turn has passed
}

} // namespace
