// The channel's media application bases: digit reports and collections on a hand-driven clock,
// the play list's bounds, tone tables, and tone reports from sox-made call-progress audio fed
// through a real DSP into the SIP tone application.
#include "host/CKZAudioControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZDSP.h"
#include "host/CKZDTMFControl.h"
#include "host/CKZMediaEventSink.h"
#include "host/CKZToneControl.h"
#include "media/CKZSIPToneControl.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace KZAPI;

namespace {

// Writes each report as one line of text.
class RecordingSink : public CKZMediaEventSink {
public:
    RecordingSink() { SetMediaEventSink(this); }
    ~RecordingSink() override { SetMediaEventSink(nullptr); }
    void OnDTMFDigit(int ch, char digit, unsigned ms, const char* method) override {
        Add("digit " + std::to_string(ch) + " " + digit + " " + std::to_string(ms) + " " + method);
    }
    void OnDTMFDone(int ch, int result, const char* digits) override {
        Add(Done("collect", ch, result, digits));
    }
    void OnPlayDone(int ch, int result, const char* text) override { Add(Done("play", ch, result, text)); }
    void OnRecordDone(int ch, int result, const char* text) override {
        Add(Done("record", ch, result, text));
    }
    void OnToneDetected(int ch, const char* name, int hz) override {
        Add("tone " + std::to_string(ch) + " " + name + " " + std::to_string(hz));
    }
    // The reports joined with "|", then forgotten.
    std::string Take() {
        std::lock_guard lock(m_mutex);
        std::string joined;
        for (const auto& line : m_lines)
            joined += (joined.empty() ? "" : "|") + line;
        m_lines.clear();
        return joined;
    }

private:
    static std::string Done(const char* what, int ch, int result, const char* text) {
        return std::string(what) + " " + std::to_string(ch) + " " + std::to_string(result) + " " + text;
    }
    void Add(std::string line) {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(std::move(line));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Runs a script on the control: "+N" moves the clock N ms and checks the timer, "stop" stops the
// collection, any other word presses and releases its key at once.
void RunScript(CKZDTMFControl& dtmf, CKZManualClock& clock, const std::string& script) {
    std::istringstream words(script);
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
}

} // namespace

std::string Repeat(const std::string& text, int times) {
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

TEST(DTMFCollection, EndsOnceForTheFirstConditionMet) {
    struct Case {
        int max_digits;
        const char* terminators;
        unsigned timeout_ms;
        std::string script;
        std::string expected; // the collection's done report, "" for none
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
        RunScript(dtmf, clock, c.script);
        std::string dones;
        std::istringstream lines(sink.Take());
        for (std::string line; std::getline(lines, line, '|');)
            if (line.rfind("collect", 0) == 0) dones += line;
        EXPECT_EQ(dones, c.expected) << c.script;
        EXPECT_FALSE(dtmf.IsCollecting() && !c.expected.empty());
    }
    CKZDTMFControl endless;
    EXPECT_EQ(endless.StartDTMFDetection(0, "", 0), 0u);
    EXPECT_EQ(endless.StopDTMFDetection(), 0u);
}

TEST(DTMFDigits, ReportHowLongTheKeyWasHeldAndHowItCame) {
    struct Case {
        char down; // 0: no key-down
        uint64_t down_tick;
        char up;
        uint64_t up_tick;
        const char* method;
        const char* expected;
    } cases[] = {
        {'5', 1000, '5', 1120, "info", "digit 7 5 120 info"},
        {0, 0, '#', 1120, "rfc2833", "digit 7 # 0 rfc2833"},
        {'1', 1000, '2', 1120, "inband", "digit 7 2 0 inband"},
        {'9', 2000, '9', 1000, "inband", "digit 7 9 0 inband"},
        {'b', 1000, 'b', 1040, "info", "digit 7 B 40 info"},
        {'Z', 1000, 'Z', 1040, "info", ""},
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
// lock starts and stops collections: reports made with the control's lock held would deadlock.
TEST(DTMFCollection, DoneHandlersMayTakeOtherLocks) {
    class AudioLockingDTMF : public CKZDTMFControl {
    public:
        void On_DTMF_Done(int result, const char* digits) override {
            CMutexLock lock(audio_lock);
            CKZDTMFControl::On_DTMF_Done(result, digits);
        }
        CMutex audio_lock;
    } dtmf;
    RecordingSink sink;
    std::thread keys([&] {
        for (int i = 0; i < 20000; ++i) {
            dtmf.On_DTMF_Key_Down('1', i);
            dtmf.On_DTMF_Key_Up('1', i + 1);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        CMutexLock lock(dtmf.audio_lock);
        if (i % 2)
            dtmf.StopDTMFDetection();
        else
            dtmf.StartDTMFDetection(1, "#", 0);
    }
    keys.join();
    EXPECT_NE(sink.Take().find("collect -1 "), std::string::npos);
}

TEST(AudioPlayList, RefusesWhatItCannotHoldWhole) {
    CKZAudioControl audio;
    struct Case {
        std::string path;
        unsigned expected;
    } cases[] = {{std::string(255, 'p'), 1}, {std::string(256, 'p'), 0}, {"", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(audio.AddAudioPlayDocument(c.path.c_str(), 9), c.expected) << c.path.size();
    EXPECT_EQ(audio.AddAudioPlayDocument(nullptr, 0), 0u);
    KZ_AC_PLAY_ENTRY entry;
    ASSERT_TRUE(audio.GetPlayListEntry(0, entry));
    EXPECT_EQ(std::string(entry.path), cases[0].path);
    EXPECT_EQ(entry.offset, 9u);
    while (audio.GetPlayListSize() < CKZAudioControl::kMaxPlayList)
        ASSERT_EQ(audio.AddAudioPlayDocument("/a.wav", 0), 1u);
    EXPECT_EQ(audio.AddAudioPlayDocument("/b.wav", 0), 0u);
    EXPECT_FALSE(audio.GetPlayListEntry(CKZAudioControl::kMaxPlayList, entry));
    audio.ClearAudioPlayDocument();
    EXPECT_EQ(audio.AddAudioPlayDocument("/b.wav", 0), 1u);
}

TEST(AudioControl, StopAudioStopsBothDirectionsAndDoneReportsReachTheSink) {
    class Stoppable : public CKZAudioControl {
    public:
        unsigned StopPlaying(const char* text) override { return Note("play", text, playing); }
        unsigned StopRecording(const char* text) override { return Note("record", text, recording); }
        unsigned Note(const char* what, const char* text, bool active) {
            stops += std::string(what) + (text ? "?" : "") + " ";
            return active;
        }
        bool playing = true, recording = false;
        std::string stops;
    } audio;
    EXPECT_EQ(audio.StopAudio(), 1u);
    EXPECT_EQ(audio.stops, "play record ");
    audio.playing = false;
    EXPECT_EQ(audio.StopAudio(), 0u);
    RecordingSink sink;
    audio.OnPlayAudioDone(CKZAudioControl::AUDIO_DONE_LIST_END, "");
    audio.OnRecordAudioDone(CKZDTMFControl::DTMF_DONE_TERMINATOR, "#");
    EXPECT_EQ(sink.Take(), "play -1 3 |record -1 1 #");
}

TEST(ToneTable, KeepsOnlyWellFormedEntriesWithinCapacity) {
    struct Case {
        std::string text;
        int expected;
    } cases[] = {
        {"busy=480+620/500/500", 1},
        {" dial = 425 / 1500 / 0 ;busy=425/500/500;", 2},
        {"bad;;busy=480/500/500;=480/1/1", 1},
        {"busy=480+620/500", 0},
        {"busy=480+620+700/500/500", 0},
        {"busy=480/500/500/1", 0},
        {"busy=480+/500/500", 0},
        {"busy=-480/500/500", 0},
        {"busy=99999999999/500/500", 0},
        {"busy=5000/500/500", 0},
        {"busy=480/0/0", 0},
        {"bu\"sy=480/500/500", 0},
        {std::string(31, 'n') + "=480/500/500", 1},
        {std::string(32, 'n') + "=480/500/500", 0},
        {Repeat("t=480/1/0;", 40), CKZToneControl::kMaxTones},
        {CKZToneControl::DefaultToneTable(), 8},
    };
    for (const Case& c : cases) {
        KZ_TONE_DEF defs[CKZToneControl::kMaxTones + 1];
        defs[CKZToneControl::kMaxTones].frequency1 = -7;
        EXPECT_EQ(CKZToneControl::ParseToneTable(c.text.c_str(), defs, CKZToneControl::kMaxTones), c.expected)
            << c.text;
        EXPECT_EQ(defs[CKZToneControl::kMaxTones].frequency1, -7);
    }
    KZ_TONE_DEF def;
    ASSERT_EQ(CKZToneControl::ParseToneTable("busy=480+620/500/250", &def, 1), 1);
    EXPECT_EQ(std::string(def.name) + " " + std::to_string(def.frequency1) + "+" +
                  std::to_string(def.frequency2) + "/" + std::to_string(def.on_ms) + "/" +
                  std::to_string(def.off_ms),
              "busy 480+620/500/250");
}

TEST(ToneTable, HostileTextNeverYieldsEntriesOutOfBounds) {
    std::mt19937 random(4711);
    const std::string alphabet = "busy=+/;0123456789 \t\xff\x01-";
    KZ_TONE_DEF defs[4];
    EXPECT_EQ(CKZToneControl::ParseToneTable(nullptr, defs, 4), 0);
    EXPECT_EQ(CKZToneControl::ParseToneTable("a=480/1/0", defs, 0), 0);
    for (int round = 0; round < 3000; ++round) {
        std::string text(random() % 300, ' ');
        for (char& ch : text)
            ch = round % 2 ? alphabet[random() % alphabet.size()] : static_cast<char>(1 + random() % 255);
        const int count = CKZToneControl::ParseToneTable(text.c_str(), defs, 4);
        ASSERT_GE(count, 0);
        ASSERT_LE(count, 4);
        for (int i = 0; i < count; ++i) {
            ASSERT_GT(strnlen(defs[i].name, KZ_TONE_DEF::kNameChars), 0u);
            ASSERT_LT(strnlen(defs[i].name, KZ_TONE_DEF::kNameChars), size_t(KZ_TONE_DEF::kNameChars));
            ASSERT_TRUE(defs[i].frequency1 > 0 && defs[i].frequency1 < 4000 && defs[i].frequency2 >= 0 &&
                        defs[i].frequency2 < 4000 && defs[i].on_ms > 0 && defs[i].off_ms >= 0)
                << text;
        }
    }
}

namespace {

// A cadenced tone made by sox in a DSP host format: `synth` names the sine(s), on/off in seconds.
std::vector<uint8_t> SoxTone(const std::string& synth, double on, double off, const char* encoding) {
    const std::string command = "sox -n -r 8000 -c 1 " + std::string(encoding) + " -t raw - synth " +
                                std::to_string(on) + " " + synth + " channels 1 vol 0.4 pad 0 " +
                                std::to_string(off) + " repeat 3 2>/dev/null";
    std::vector<uint8_t> audio;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        uint8_t block[4096];
        for (size_t n; (n = fread(block, 1, sizeof(block), pipe)) > 0;)
            audio.insert(audio.end(), block, block + n);
        pclose(pipe);
    }
    return audio;
}

} // namespace

TEST(ToneControl, ReportsCallProgressTonesHeardOnTheChannel) {
    struct Case {
        const char* synth;
        double on, off;
        int dsp_format;
        const char* table; // null: the defaults
        bool start;
        const char* expected;
    } cases[] = {
        {"sine 480 sine 620", 0.5, 0.5, KZ_AUDIO_FORMAT_LINEAR16, nullptr, true, "tone 4 busy 480"},
        {"sine 480 sine 620", 0.5, 0.5, KZ_AUDIO_FORMAT_ULAW, nullptr, true, "tone 4 busy 480"},
        {"sine 480 sine 620", 0.5, 0.5, KZ_AUDIO_FORMAT_ALAW, nullptr, true, "tone 4 busy 480"},
        {"sine 425", 0.5, 0.5, KZ_AUDIO_FORMAT_LINEAR16, nullptr, true, "tone 4 busy 425"},
        {"sine 480 sine 620", 0.5, 0.5, KZ_AUDIO_FORMAT_LINEAR16, "engaged=480+620/500/500", true,
         "tone 4 engaged 480"},
        {"sine 480 sine 620", 0.5, 0.5, KZ_AUDIO_FORMAT_LINEAR16, nullptr, false, ""},
    };
    for (const Case& c : cases) {
        const bool law = c.dsp_format != KZ_AUDIO_FORMAT_LINEAR16;
        const char* encoding = !law                                   ? "-b 16 -e signed-integer"
                               : c.dsp_format == KZ_AUDIO_FORMAT_ULAW ? "-e mu-law"
                                                                      : "-e a-law";
        const std::vector<uint8_t> audio = SoxTone(c.synth, c.on, c.off, encoding);
        if (audio.empty()) GTEST_SKIP() << "sox is not available";
        CKZCfgInterface::CFG_Clear();
        if (c.table) CKZCfgInterface::CFG_SetValue("kzsrv.tone.table", c.table);
        CKZChannel channel(4);
        CKZSIPToneControl tone;
        tone.SetChannel(&channel);
        CKZDSP dsp(c.dsp_format);
        ASSERT_TRUE(dsp.AddApp(&tone));
        if (c.start) ASSERT_EQ(tone.StartToneDetection(), 1u);
        RecordingSink sink;
        const int frame = law ? 160 : 320;
        for (size_t at = 0; at + frame <= audio.size(); at += frame)
            dsp.DeliverRxFrame(uint16_t(at / frame), uint32_t(at), audio.data() + at, frame);
        const std::string heard = sink.Take();
        EXPECT_EQ(heard.substr(0, heard.find('|')), c.expected) << c.synth << " format " << c.dsp_format;
        // Once stopped, the same audio is not reported again.
        tone.StopToneDetection();
        for (size_t at = 0; at + frame <= audio.size(); at += frame)
            dsp.DeliverRxFrame(0, 0, audio.data() + at, frame);
        EXPECT_EQ(sink.Take(), "");
        dsp.RemoveApp(&tone);
    }
    CKZCfgInterface::CFG_Clear();
}

TEST(ToneControl, AnUnusableConfiguredTableStartsNothing) {
    CKZCfgInterface::CFG_SetValue("kzsrv.tone.table", "busy=480+620/500");
    CKZToneControl tone;
    EXPECT_EQ(tone.StartToneDetection(), 0u);
    EXPECT_FALSE(tone.IsToneDetectionRunning());
    CKZCfgInterface::CFG_Clear();
}
