// The channel's media application bases: digit reports and collections on a hand-driven clock,
// the play list's bounds, tone tables, and tone reports from sox-made call-progress audio fed
// through a real DSP into the SIP tone application.
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZDSP.h"
#include "host/CKZMediaEventSink.h"
#include "media/CKZSIPToneControl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace KZAPI;

namespace {

// Keeps each report as a line "<kind> <channel> <fields>", lines joined by "|".
class RecordingSink : public CKZMediaEventSink {
public:
    RecordingSink() { SetMediaEventSink(this); }
    ~RecordingSink() override { SetMediaEventSink(nullptr); }
    void OnDTMFDigit(int ch, char digit, unsigned ms, const char* how) override {
        Add("digit", ch, std::string(1, digit) + " " + std::to_string(ms) + " " + how);
    }
    void OnDTMFDone(int ch, int result, const char* digits) override {
        Add("collect", ch, Text(result, digits));
    }
    void OnPlayDone(int ch, int result, const char* text) override { Add("play", ch, Text(result, text)); }
    void OnRecordDone(int ch, int result, const char* text) override {
        Add("record", ch, Text(result, text));
    }
    void OnToneDetected(int ch, const char* name, int hz) override { Add("tone", ch, Text(hz, name)); }
    // The lines of one kind (all for ""), forgetting every line.
    std::string Take(const std::string& kind = "") {
        std::lock_guard lock(m_mutex);
        std::string taken;
        for (std::istringstream lines(m_lines); std::getline(lines, m_line, '|');)
            if (m_line.rfind(kind, 0) == 0) taken += (taken.empty() ? "" : "|") + m_line;
        m_lines.clear();
        return taken;
    }

private:
    static std::string Text(int number, const char* text) { return std::to_string(number) + " " + text; }
    void Add(const char* kind, int ch, const std::string& fields) {
        std::lock_guard lock(m_mutex);
        m_lines += (m_lines.empty() ? "" : "|") + std::string(kind) + " " + std::to_string(ch) + " " + fields;
    }
    std::mutex m_mutex;
    std::string m_lines, m_line;
};

std::string Repeat(const std::string& text, int times) {
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

} // namespace

TEST(DTMFCollection, EndsOnceForTheFirstConditionMet) {
    // Script words: "+N" moves the clock N ms and checks the timer, "stop" stops the collection,
    // anything else presses and releases that key.
    struct Case {
        int max_digits;
        const char* terminators;
        unsigned timeout_ms;
        std::string script, expected;
    } cases[] = {
        {3, "", 0, "1 2 3 4", "collect -1 0 123"},
        {0, "#*", 0, "1 2 * 3", "collect -1 1 12"},
        {4, "#", 0, "# 1", "collect -1 1 "},
        {0, "", 5000, "+4999", ""},
        {0, "", 5000, "+4999 +1 1", "collect -1 2 "},
        {0, "", 5000, "+3000 1 +3000 2 +4999", ""},
        {0, "", 5000, "+3000 1 +3000 2 +5000", "collect -1 2 12"},
        {2, "", 1000, "1 2 +5000", "collect -1 0 12"},
        {0, "#", 0, "7 8 stop stop #", "collect -1 3 78"},
        {100, "#", 0, Repeat("5 ", 70), "collect -1 0 " + Repeat("5", CKZDTMFControl::kMaxCollectedDigits)},
    };
    for (const Case& c : cases) {
        RecordingSink sink;
        CKZManualClock clock;
        CKZDTMFControl dtmf;
        dtmf.SetDTMFClock(&clock);
        ASSERT_EQ(dtmf.StartDTMFDetection(c.max_digits, c.terminators, c.timeout_ms), 1u);
        std::istringstream words(c.script);
        for (std::string word; words >> word;) {
            if (word[0] == '+') {
                clock.AdvanceMs(std::stoll(word.substr(1)));
                dtmf.CheckDTMFTimer();
            } else if (word == "stop") {
                dtmf.StopDTMFDetection();
            } else {
                dtmf.On_DTMF_Key_Down(word[0], clock.TickMs());
                dtmf.On_DTMF_Key_Up(word[0], clock.TickMs());
            }
        }
        EXPECT_EQ(sink.Take("collect"), c.expected) << c.script;
    }
    CKZDTMFControl endless;
    EXPECT_EQ(endless.StartDTMFDetection(0, "", 0), 0u);
    EXPECT_EQ(endless.StopDTMFDetection(), 0u);
}

TEST(DTMFDigits, ReportHowLongTheKeyWasHeldAndHowItCame) {
    struct Case {
        char down, up; // down 0: no key-down
        uint64_t down_tick, up_tick;
        const char *method, *expected;
    } cases[] = {
        {'5', '5', 1000, 1120, "info", "digit 7 5 120 info"},
        {0, '#', 0, 1120, "rfc2833", "digit 7 # 0 rfc2833"},
        {'1', '2', 1000, 1120, "inband", "digit 7 2 0 inband"},
        {'9', '9', 2000, 1000, "inband", "digit 7 9 0 inband"},
        {'b', 'b', 1000, 1040, "info", "digit 7 B 40 info"},
        {'Z', 'Z', 1000, 1040, "info", ""},
    };
    CKZChannel channel(7);
    for (const Case& c : cases) {
        RecordingSink sink;
        CKZDTMFControl dtmf;
        dtmf.SetChannel(&channel);
        dtmf.SetDigitMethod(c.method);
        if (c.down) dtmf.On_DTMF_Key_Down(c.down, c.down_tick);
        dtmf.On_DTMF_Key_Up(c.up, c.up_tick);
        EXPECT_EQ(sink.Take(), c.expected);
    }
}

// A module's done handler takes its audio application's lock, while another thread holding that
// lock starts and stops collections: a report made with the control's lock held deadlocks.
TEST(DTMFCollection, DoneHandlersMayTakeOtherLocks) {
    struct AudioLockingDTMF : CKZDTMFControl {
        void On_DTMF_Done(int result, const char* digits) override {
            CMutexLock lock(audio_lock);
            CKZDTMFControl::On_DTMF_Done(result, digits);
        }
        CMutex audio_lock;
    } dtmf;
    RecordingSink sink;
    std::atomic<bool> done{false};
    std::thread keys([&] {
        for (int i = 0; i < 20000; ++i) {
            dtmf.On_DTMF_Key_Down('1', i);
            dtmf.On_DTMF_Key_Up('1', i + 1);
        }
        done.store(true);
    });
    while (!done.load()) {
        CMutexLock lock(dtmf.audio_lock);
        dtmf.StartDTMFDetection(1, "#", 0);
        std::this_thread::yield();
        dtmf.StopDTMFDetection();
    }
    keys.join();
    EXPECT_NE(sink.Take("collect").find("collect -1 0 1"), std::string::npos);
}

TEST(AudioControl, PlayListBoundsStopAndDoneReports) {
    struct Stoppable : CKZAudioControl {
        unsigned StopPlaying(const char* text) override { return Note("play", text, playing); }
        unsigned StopRecording(const char* text) override { return Note("record", text, false); }
        unsigned Note(const char* what, const char* text, bool active) {
            stops += std::string(what) + (text ? "?" : "") + " ";
            return active;
        }
        bool playing = true;
        std::string stops;
    } audio;
    for (auto [path, expected] :
         {std::pair{std::string(255, 'p'), 1u}, {std::string(256, 'p'), 0u}, {"", 0u}})
        EXPECT_EQ(audio.AddAudioPlayDocument(path.c_str(), 9), expected) << path.size();
    KZ_AC_PLAY_ENTRY entry;
    ASSERT_TRUE(audio.GetPlayListEntry(0, entry));
    EXPECT_EQ(std::string(entry.path) + std::to_string(entry.offset), std::string(255, 'p') + "9");
    while (audio.GetPlayListSize() < CKZAudioControl::kMaxPlayList)
        ASSERT_EQ(audio.AddAudioPlayDocument("/a.wav", 0), 1u);
    EXPECT_EQ(audio.AddAudioPlayDocument("/b.wav", 0), 0u);
    EXPECT_FALSE(audio.GetPlayListEntry(CKZAudioControl::kMaxPlayList, entry));

    EXPECT_EQ(audio.StopAudio(), 1u);
    EXPECT_EQ(audio.stops, "play record ");
    RecordingSink sink;
    audio.OnPlayAudioDone(CKZAudioControl::AUDIO_DONE_LIST_END, "");
    audio.OnRecordAudioDone(CKZDTMFControl::DTMF_DONE_TERMINATOR, "#");
    EXPECT_EQ(sink.Take(), "play -1 3 |record -1 1 #");
}

TEST(ToneTable, KeepsOnlyWellFormedEntriesWithinCapacity) {
    const std::pair<std::string, int> cases[] = {
        {"busy=480+620/500/500", 1},
        {" dial = 425 / 1500 / 0 ;busy=425/500/500;", 2},
        {"bad;;busy=480/500/500;=480/1/1", 1},
        {"busy=480+620/500;busy=480+620+700/5/5;busy=480/5/5/1;busy=480+/5/5;busy480/5/5", 0}, // shape
        {"busy=-480/5/5;busy=99999999999/5/5;busy=5000/5/5;busy=480/0/0;busy=480/5/x", 0},     // numbers
        {"bu\"sy=480/5/5;=480/5/5;" + Repeat("n", 32) + "=480/5/5", 0},                        // names
        {Repeat("n", 31) + "=480/5/5", 1},
        {Repeat("t=480/1/0;", 40), CKZToneControl::kMaxTones},
        {CKZToneControl::DefaultToneTable(), 8},
    };
    for (const auto& [text, expected] : cases) {
        KZ_TONE_DEF defs[CKZToneControl::kMaxTones + 1];
        defs[CKZToneControl::kMaxTones].frequency1 = -7; // a guard past the capacity
        EXPECT_EQ(CKZToneControl::ParseToneTable(text.c_str(), defs, CKZToneControl::kMaxTones), expected)
            << text;
        EXPECT_EQ(defs[CKZToneControl::kMaxTones].frequency1, -7);
    }
    KZ_TONE_DEF d;
    ASSERT_EQ(CKZToneControl::ParseToneTable("busy=480+620/500/250", &d, 1), 1);
    EXPECT_EQ(std::vector<int>({d.frequency1, d.frequency2, d.on_ms, d.off_ms}),
              std::vector<int>({480, 620, 500, 250}));
}

TEST(ToneTable, HostileTextNeverYieldsEntriesOutOfBounds) {
    std::mt19937 random(4711);
    KZ_TONE_DEF defs[4];
    EXPECT_EQ(CKZToneControl::ParseToneTable(nullptr, defs, 4), 0);
    int kept = 0;
    // Half the rounds are random bytes, half the default table with a few bytes changed.
    for (int round = 0; round < 4000; ++round) {
        std::string text = round % 2 ? CKZToneControl::DefaultToneTable() : std::string(random() % 300, ' ');
        for (size_t i = 0, n = round % 2 ? 1 + random() % 4 : text.size(); i < n; ++i)
            text[round % 2 ? random() % text.size() : i] = static_cast<char>(1 + random() % 255);
        const int count = CKZToneControl::ParseToneTable(text.c_str(), defs, 4);
        ASSERT_TRUE(count >= 0 && count <= 4);
        for (const KZ_TONE_DEF& d : std::span(defs, count))
            ASSERT_TRUE(d.name[0] && strnlen(d.name, sizeof(d.name)) < sizeof(d.name) && d.frequency1 > 0 &&
                        d.frequency1 < 4000 && d.frequency2 >= 0 && d.frequency2 < 4000 && d.on_ms > 0 &&
                        d.off_ms >= 0)
                << text;
        kept += count;
    }
    EXPECT_GT(kept, 1000); // the mutated tables kept most of their entries
}

// Audio made by sox in a DSP host format from `synth` arguments; empty without sox.
std::vector<uint8_t> SoxAudio(const std::string& synth, const char* encoding) {
    const std::string command = "sox -n -r 8000 -c 1 " + std::string(encoding) + " -t raw - synth " + synth +
                                " channels 1 vol 0.4 2>/dev/null";
    std::vector<uint8_t> audio;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        uint8_t block[4096];
        for (size_t n; (n = fread(block, 1, sizeof(block), pipe)) > 0;)
            audio.insert(audio.end(), block, block + n);
        pclose(pipe);
    }
    return audio;
}

// Every call-progress tone of the default table in a call is the interop script's
// (kzhost_playrecord.sh tones); here: each DSP format, the dial tones, and a table of one's own.
TEST(ToneControl, ReportsTonesHeardOnTheChannelWhileDetectionRuns) {
    struct Case {
        const char* synth;
        int format;
        const char *table, *expected; // table null: the defaults; expected null: start refused
    } cases[] = {
        {"0.5 sine 480 sine 620 pad 0 0.5 repeat 3", KZ_AUDIO_FORMAT_LINEAR16, nullptr, "480 busy"},
        {"0.5 sine 480 sine 620 pad 0 0.5 repeat 3", KZ_AUDIO_FORMAT_ULAW, nullptr, "480 busy"},
        {"0.5 sine 480 sine 620 pad 0 0.5 repeat 3", KZ_AUDIO_FORMAT_ALAW, nullptr, "480 busy"},
        {"3 sine 350 sine 440", KZ_AUDIO_FORMAT_LINEAR16, nullptr, "350 dial"},
        {"3 sine 425", KZ_AUDIO_FORMAT_ALAW, nullptr, "425 dial"},
        {"0.5 sine 480 sine 620 pad 0 0.5 repeat 3", KZ_AUDIO_FORMAT_LINEAR16, "engaged=480+620/500/500",
         "480 engaged"},
        {"0.5 sine 480 sine 620 pad 0 0.5 repeat 3", KZ_AUDIO_FORMAT_LINEAR16, "busy=480+620/500", nullptr},
    };
    const std::map<int, const char*> encodings = {{KZ_AUDIO_FORMAT_LINEAR16, "-b 16 -e signed-integer"},
                                                  {KZ_AUDIO_FORMAT_ULAW, "-e mu-law"},
                                                  {KZ_AUDIO_FORMAT_ALAW, "-e a-law"}};
    for (const Case& c : cases) {
        const bool law = c.format != KZ_AUDIO_FORMAT_LINEAR16;
        const auto audio = SoxAudio(c.synth, encodings.at(c.format));
        if (audio.empty()) GTEST_SKIP() << "sox is not available";
        CKZCfgInterface::CFG_Clear();
        if (c.table) CKZCfgInterface::CFG_SetValue("kzsrv.tone.table", c.table);
        CKZChannel channel(4);
        CKZSIPToneControl tone;
        tone.SetChannel(&channel);
        CKZDSP dsp(c.format);
        ASSERT_TRUE(dsp.AddApp(&tone));
        RecordingSink sink;
        const auto feed = [&] {
            const int frame = law ? 160 : 320; // 20 ms
            for (size_t at = 0; at + frame <= audio.size(); at += frame)
                dsp.DeliverRxFrame(uint16_t(at / frame), uint32_t(at), audio.data() + at, frame);
        };
        feed(); // not started yet
        ASSERT_EQ(tone.StartToneDetection(), c.expected ? 1u : 0u) << c.table;
        feed();
        const std::string heard = sink.Take();
        EXPECT_EQ(heard.substr(0, heard.find('|')), c.expected ? std::string("tone 4 ") + c.expected : "")
            << c.synth << " in " << c.format;
        tone.StopToneDetection();
        feed();
        EXPECT_EQ(sink.Take(), "");
        dsp.RemoveApp(&tone);
    }
    CKZCfgInterface::CFG_Clear();
}
