// The channel's audio application on a real DSP ticked by hand: what it sends while playing
// files, what it writes while recording, and when it reports the end. Test audio is made and
// checked with sox in a private temporary folder.
#include "host/CKZChannel.h"
#include "host/CKZDSP.h"
#include "host/CKZDSPTimer.h"
#include "host/audiocodec/KZAudioCodec.h"
#include "media/CKZSIPAudioControl.h"
#include "support/audio_signals.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using KZAPI::CKZAudioControl;
using kztest::TempDir;

using Bytes = std::vector<uint8_t>;

std::vector<int16_t> Samples(const Bytes& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}
Bytes ToBytes(const std::vector<int16_t>& samples) {
    const auto* data = reinterpret_cast<const uint8_t*>(samples.data());
    return {data, data + samples.size() * 2};
}
Bytes Constant(int bytes, int16_t value) {
    return ToBytes(std::vector<int16_t>(bytes / 2, value));
}
Bytes ReadFile(const std::string& path) {
    const std::string text = kztest::read_bytes(path);
    return {text.begin(), text.end()};
}
const std::string& WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}
// An AU header (8 kHz, one channel) followed by `tail`.
Bytes AuFile(uint32_t data_offset, uint32_t data_size, uint32_t encoding, const Bytes& tail = {}) {
    Bytes out = {'.', 's', 'n', 'd'};
    for (uint32_t field : {data_offset, data_size, encoding, 8000u, 1u})
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(field >> shift));
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}
// The far end: hands the DSP a received frame on ticks it is given one for, and keeps every
// transmitted frame.
class FarEnd : public KZAPI::CKZDSPApp {
public:
    struct Sent {
        uint16_t sequence;
        uint32_t timestamp;
        std::vector<uint8_t> bytes;
    };
    std::vector<Bytes> to_receive; // by tick; empty: nothing that tick
    std::vector<Sent> sent;
    size_t tick = 0;

    void OnDSPTimer() override {
        if (tick < to_receive.size() && !to_receive[tick].empty())
            AddRxFrame(static_cast<uint16_t>(tick), 0, to_receive[tick].data(),
                       static_cast<int>(to_receive[tick].size()), 1);
        ++tick;
    }
    void OnTxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override {
        sent.push_back({sequence, timestamp, {data, data + length}});
    }
    Bytes AllSent() const {
        Bytes all;
        for (const Sent& frame : sent)
            all.insert(all.end(), frame.bytes.begin(), frame.bytes.end());
        return all;
    }
};

class AudioControl : public CKZSIPAudioControl {
public:
    // Read once the ticking has ended.
    std::vector<std::pair<int, std::string>> play_done, record_done;
    void OnPlayAudioDone(int result, const char* text) override {
        std::lock_guard lock(m_mutex);
        play_done.emplace_back(result, text);
    }
    void OnRecordAudioDone(int result, const char* text) override {
        std::lock_guard lock(m_mutex);
        record_done.emplace_back(result, text);
    }

private:
    std::mutex m_mutex;
};
// The module's DTMF application hands the end of a collection on to the audio application.
class ForwardingDTMF : public KZAPI::CKZDTMFControl {
public:
    CKZAudioControl* audio = nullptr;
    void On_DTMF_Done(int result, const char* digits) override { audio->On_DTMF_Done(result, digits); }
};
class Channel : public KZAPI::CKZChannel {
public:
    explicit Channel(KZAPI::CKZDTMFControl* dtmf) { SetDTMFControl(dtmf); }
};

struct Rig {
    explicit Rig(int dsp_format = KZAPI::KZ_AUDIO_FORMAT_LINEAR16) : channel(&dtmf), dsp(dsp_format, &timer) {
        dsp.AddApp(&far);
        dsp.AddApp(&audio);
        dtmf.audio = &audio;
        audio.SetChannel(&channel);
        dtmf.SetChannel(&channel);
        dsp.StartTimer(20);
    }
    void Ticks(int n) {
        for (int i = 0; i < n; ++i)
            dsp.Tick();
    }
    KZAPI::CKZManualClock clock;
    KZAPI::CKZDSPTimer timer{0, &clock};
    FarEnd far;
    AudioControl audio;
    ForwardingDTMF dtmf;
    Channel channel;
    KZAPI::CKZDSP dsp; // goes first, while its applications still live
};

// ---- playing ----

TEST(AudioControlPlay, TwoFilesPlayInOrderAndEndOnce) {
    TempDir dir;
    const auto a = Constant(800, 1000), b = Constant(640, -2000); // 2.5 and 2 frames of 20 ms
    Rig rig;
    EXPECT_EQ(rig.audio.PlayAudio(false, false), 0u); // nothing to play yet
    rig.audio.AddAudioPlayDocument(WriteFile(dir / "a.raw", a).c_str(), 0);
    rig.audio.AddAudioPlayDocument(WriteFile(dir / "b.raw", b).c_str(), 0);
    ASSERT_EQ(rig.audio.PlayAudio(false, false), 1u);
    rig.Ticks(5);
    EXPECT_TRUE(rig.audio.play_done.empty());
    rig.Ticks(20);
    ASSERT_EQ(rig.audio.play_done.size(), 1u);
    EXPECT_EQ(rig.audio.play_done[0].first, CKZAudioControl::AUDIO_DONE_LIST_END);
    Bytes expected = a;
    expected.resize(960, 0); // the short last frame is filled with silence
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(rig.far.AllSent(), expected);
    for (size_t i = 1; i < rig.far.sent.size(); ++i) {
        EXPECT_EQ(uint16_t(rig.far.sent[i].sequence - rig.far.sent[i - 1].sequence), 1);
        EXPECT_GT(int32_t(rig.far.sent[i].timestamp - rig.far.sent[i - 1].timestamp), 0);
    }
    EXPECT_EQ(rig.audio.GetAudioOutState(), CKZAudioControl::AUDIO_OUT_IDLE);
}

// Files of one frame each, told apart by their sample value.
std::vector<int> PlayedOrder(bool random, int files, int ticks) {
    TempDir dir;
    Rig rig;
    for (int i = 0; i < files; ++i)
        rig.audio.AddAudioPlayDocument(
            WriteFile(dir / (std::to_string(i) + ".raw"), Constant(320, static_cast<int16_t>(100 * (i + 1))))
                .c_str(),
            0);
    EXPECT_EQ(rig.audio.PlayAudio(true, random), 1u);
    rig.Ticks(ticks);
    EXPECT_TRUE(rig.audio.play_done.empty());
    std::vector<int> order;
    for (const auto& frame : rig.far.sent)
        order.push_back(Samples(frame.bytes)[0] / 100 - 1);
    return order;
}

TEST(AudioControlPlay, LoopCyclesThroughTheListInTurnOrAtRandom) {
    const std::vector<int> in_turn = PlayedOrder(false, 3, 100);
    ASSERT_GT(in_turn.size(), 30u);
    for (size_t i = 0; i < in_turn.size(); ++i)
        EXPECT_EQ(in_turn[i], static_cast<int>(i % 3)) << i;
    const std::vector<int> random = PlayedOrder(true, 3, 200);
    ASSERT_GT(random.size(), 60u);
    int counts[3] = {}, out_of_turn = 0;
    for (size_t i = 0; i < random.size(); ++i) {
        ASSERT_TRUE(random[i] >= 0 && random[i] < 3);
        ++counts[random[i]];
        out_of_turn += i > 0 && random[i] != (random[i - 1] + 1) % 3;
    }
    EXPECT_GT(std::min({counts[0], counts[1], counts[2]}), 5);
    EXPECT_GT(out_of_turn, 5);
}

// A stop by request or by the stop digits ends the play at once with one report: 5 and the stop's
// text, or the collection's result and digits.
TEST(AudioControlPlay, StopsReportOnce) {
    struct Case {
        int max_digits;
        const char* terminators;
        const char* keys; // null: stopped by request
        int result;
        const char* text;
    } cases[] = {{0, "", nullptr, CKZAudioControl::AUDIO_DONE_STOPPED, "bye"},
                 {0, "#", "1#", KZAPI::CKZDTMFControl::DTMF_DONE_TERMINATOR, "1"},
                 {2, "", "42", KZAPI::CKZDTMFControl::DTMF_DONE_MAX_DIGITS, "42"}};
    TempDir dir;
    const std::string file = WriteFile(dir / "t.raw", Constant(32000, 500));
    for (const Case& c : cases) {
        Rig rig;
        rig.audio.AddAudioPlayDocument(file.c_str(), 0);
        ASSERT_EQ(rig.audio.PlayAudio(c.max_digits, c.terminators, 0), 1u);
        rig.Ticks(6);
        const size_t frames = rig.far.sent.size();
        EXPECT_EQ(c.keys ? 1u : rig.audio.StopPlaying(c.text), 1u); // keys stop it below
        for (const char* key = c.keys; key && *key; ++key) {
            rig.dtmf.On_DTMF_Key_Down(*key, 0);
            rig.dtmf.On_DTMF_Key_Up(*key, 100);
        }
        EXPECT_EQ(rig.audio.StopPlaying("again"), 0u);
        rig.Ticks(20);
        EXPECT_EQ(rig.far.sent.size(), frames);
        EXPECT_EQ(rig.audio.play_done, (std::vector<std::pair<int, std::string>>{{c.result, c.text}}));
        EXPECT_FALSE(rig.dtmf.IsCollecting());
    }
}

// A file made by sox from a 440 Hz tone; what the DSP sends must be what sox decodes from it, in
// the DSP's format. (A linear WAV at 8 kHz is played end to end by kzhost_playrecord.sh play-wav.)
TEST(AudioControlPlay, AudioFilesPlayTheirSamples) {
    struct Case {
        const char* name;
        const char* sox_encoding;
        int dsp_format;
    } cases[] = {{"u.au", "-e mu-law", KZAPI::KZ_AUDIO_FORMAT_LINEAR16},
                 {"a.au", "-e a-law", KZAPI::KZ_AUDIO_FORMAT_LINEAR16},
                 {"l.au", "-e signed-integer -b 16", KZAPI::KZ_AUDIO_FORMAT_LINEAR16},
                 {"l.au", "-e signed-integer -b 16", KZAPI::KZ_AUDIO_FORMAT_ULAW},
                 {"u.wav", "-e mu-law", KZAPI::KZ_AUDIO_FORMAT_ULAW}};
    TempDir dir;
    WriteFile(dir / "tone.raw", ToBytes(kztest::Sine(4000, 440, 8000)));
    for (const Case& c : cases) {
        const std::string file = dir / c.name, decoded = dir / "decoded.raw";
        ASSERT_EQ(kztest::shell_output("sox -t raw -r 8000 -e signed -b 16 -c 1 " + dir / "tone.raw" + " " +
                                       c.sox_encoding + " " + file + " && sox " + file +
                                       " -t raw -e signed -b 16 " + decoded + " && echo ok"),
                  "ok");
        Bytes expected = ReadFile(decoded);
        if (c.dsp_format == KZAPI::KZ_AUDIO_FORMAT_ULAW) {
            const auto samples = Samples(expected);
            expected.resize(samples.size());
            KZAUDIO::Linear2Ulaw(samples.data(), static_cast<int>(samples.size()), expected.data());
        }
        Rig rig(c.dsp_format);
        rig.audio.AddAudioPlayDocument(file.c_str(), 0);
        ASSERT_EQ(rig.audio.PlayAudio(false, false), 1u) << c.name;
        rig.Ticks(100);
        auto played = rig.far.AllSent();
        ASSERT_GE(played.size(), expected.size()) << c.name;
        const uint8_t silence = CKZSIPDSPApp::SilenceValue(c.dsp_format);
        EXPECT_TRUE(std::all_of(played.begin() + expected.size(), played.end(),
                                [silence](uint8_t v) { return v == silence; }));
        played.resize(expected.size());
        EXPECT_EQ(played, expected) << c.name << " on format " << c.dsp_format;
        EXPECT_EQ(rig.audio.play_done.size(), 1u);
    }
}

// Hostile AU files end or fail; none is read past what it holds.
TEST(AudioControlPlay, BrokenAuFilesNeverCrash) {
    std::vector<Bytes> files = {{'.', 's', 'n', 'd'},
                                AuFile(0xFFFFFFF0, 8, 1, {1, 2}),
                                AuFile(24, 0xFFFFFFF0, 99, {7, 7, 7}),
                                AuFile(8, 8, 1, {7, 7, 7})};
    std::mt19937 random(7);
    for (int i = 0; i < 40; ++i) {
        const uint32_t encodings[] = {1, 3, 27, static_cast<uint32_t>(random())};
        files.push_back(AuFile(i % 2 ? random() % 48 : static_cast<uint32_t>(random()),
                               static_cast<uint32_t>(random()), encodings[random() % 4],
                               Bytes(random() % 40, static_cast<uint8_t>(random()))));
    }
    TempDir dir;
    for (size_t i = 0; i < files.size(); ++i) {
        Rig rig;
        rig.audio.AddAudioPlayDocument(WriteFile(dir / "x.au", files[i]).c_str(), 0);
        if (rig.audio.PlayAudio(false, false) == 0) continue;
        rig.Ticks(20);
        EXPECT_EQ(rig.audio.play_done.size(), 1u) << i;
        EXPECT_LE(rig.far.AllSent().size(), 2 * 320u) << i;
    }
}

// ---- recording ----

// A frame for each tick, each filled with its tick's number (never a format's silence).
std::vector<Bytes> NumberedFrames(int ticks, int bytes, bool skip_odd = false) {
    std::vector<Bytes> frames(ticks);
    for (int i = 0; i < ticks; ++i)
        if (!skip_odd || i % 2 == 0) frames[i].assign(bytes, static_cast<uint8_t>(i + 1));
    return frames;
}

// Frames that did not come are written as the format's silence; the first 15 ticks are never
// recorded; an AU file gets its header, with the size set when it is closed.
TEST(AudioControlRecord, MissingReceivedFramesAreSilenceAfterTheFirstTicks) {
    struct Case {
        int format;
        uint8_t silence;
        const char* name;
    } cases[] = {{KZAPI::KZ_AUDIO_FORMAT_ULAW, 0xFF, "r.au"},
                 {KZAPI::KZ_AUDIO_FORMAT_ALAW, 0xD5, "r.raw"},
                 {KZAPI::KZ_AUDIO_FORMAT_LINEAR16, 0, "r.raw"}};
    TempDir dir;
    for (const Case& c : cases) {
        const std::string file = dir / c.name;
        const bool au = file.ends_with(".au");
        Rig rig(c.format);
        rig.audio.SetAudioFormat({c.format, 3, KZAPI::IsLinearAudioFormat(c.format) ? 112 : 96});
        const int bytes = KZAPI::AudioFormatBytes(c.format, 20);
        rig.far.to_receive = NumberedFrames(25, bytes, true);
        ASSERT_EQ(rig.audio.RecordAudio(file.c_str(), 0), 1u);
        rig.Ticks(25);
        EXPECT_EQ(rig.audio.StopRecording("end"), 1u);
        Bytes recorded = ReadFile(file);
        ASSERT_EQ(recorded.size(), (au ? 24u : 0u) + 10u * bytes);
        if (au) {
            EXPECT_EQ(Bytes(recorded.begin(), recorded.begin() + 24), AuFile(24, 10 * 160, 1));
            EXPECT_EQ(kztest::shell_output("soxi -s " + file), "1600");
            recorded.erase(recorded.begin(), recorded.begin() + 24);
        }
        for (int frame = 0; frame < 10; ++frame) {
            const int tick = 15 + frame; // 0-based
            const uint8_t want = tick % 2 == 0 ? static_cast<uint8_t>(tick + 1) : c.silence;
            EXPECT_EQ(
                std::count(recorded.begin() + frame * bytes, recorded.begin() + (frame + 1) * bytes, want),
                bytes)
                << c.format << " frame " << frame;
        }
        EXPECT_EQ(rig.audio.record_done,
                  (std::vector<std::pair<int, std::string>>{{CKZAudioControl::AUDIO_DONE_STOPPED, "end"}}));
    }
}

// A 1 kHz tone heard on the call, recorded as MP3, keeps its pitch when sox decodes it. (Playing
// an MP3 is asserted end to end by kzhost_playrecord.sh play-mp3.)
TEST(AudioControlRecord, Mp3RecordingPlaysBack) {
    TempDir dir;
    const std::string file = dir / "r.mp3", decoded = dir / "r.raw";
    Rig rig;
    rig.far.to_receive.assign(15 + 125, ToBytes(kztest::Sine(160, 1000, 8000)));
    ASSERT_EQ(rig.audio.RecordAudio(file.c_str(), 0), 1u);
    rig.Ticks(15 + 125);
    rig.audio.StopRecording(nullptr);
    EXPECT_EQ(rig.audio.GetAudioFormat().format, KZAPI::KZ_AUDIO_FORMAT_LINEAR16);
    ASSERT_EQ(
        kztest::shell_output("soxi -r " + file + " && sox " + file + " -t raw -e signed -b 16 " + decoded),
        "8000");
    const auto heard = Samples(ReadFile(decoded));
    ASSERT_GE(heard.size(), 12000u);
    EXPECT_NEAR(kztest::DominantHz({heard.begin() + 2000, heard.begin() + 10000}, 0), 1000, 20);
}

// Real-time play takes every whole frame waiting in its ring; real-time record fills its ring.
TEST(AudioControlRealTime, RingBuffersCarryFrames) {
    Rig rig;
    using Ring = std::unique_ptr<KZAPI::KZRingBuffer, void (*)(KZAPI::KZ_RTMB_HANDLE)>;
    Ring source(KZAPI::KZ_RTMB_Create(4096), KZAPI::KZ_RTMB_Destroy);
    Ring target(KZAPI::KZ_RTMB_Create(4096), KZAPI::KZ_RTMB_Destroy);
    const auto frame = Constant(320, 1234);
    for (int i = 0; i < 3; ++i)
        KZAPI::KZ_RTMB_PutData(source.get(), frame.data(), 320);
    KZAPI::KZ_RTMB_PutData(source.get(), frame.data(), 100); // not a whole frame yet
    rig.far.to_receive = NumberedFrames(4, 320);
    ASSERT_EQ(rig.audio.PlayRTAudio(source.get()), 1u);
    ASSERT_EQ(rig.audio.RecordRTAudio(target.get()), 1u);
    rig.Ticks(4);
    ASSERT_EQ(rig.far.sent.size(), 3u);
    EXPECT_EQ(rig.far.sent[2].bytes, frame);
    EXPECT_EQ(rig.far.sent[2].timestamp - rig.far.sent[0].timestamp, 320u);
    EXPECT_EQ(KZAPI::KZ_RTMB_GetDataSize(source.get()), 100);
    EXPECT_EQ(KZAPI::KZ_RTMB_GetDataSize(target.get()), 4 * 320);
    EXPECT_EQ(rig.audio.StopPlaying(nullptr) + rig.audio.StopRecording(nullptr), 2u);
}

// Starts and stops on one thread while the DSP ticks on another: every start ends in exactly one
// report, whether the file's end or the stop came first.
TEST(AudioControlThreads, EveryStartEndsInOneReport) {
    TempDir dir;
    const std::string recording = dir / "r.raw";
    Rig rig;
    rig.audio.AddAudioPlayDocument(WriteFile(dir / "f.raw", Constant(320, 700)).c_str(), 0);
    std::atomic<bool> ticking{true};
    std::thread dsp_thread([&] {
        while (ticking.load()) {
            rig.dsp.Tick();
            std::this_thread::yield();
        }
    });
    int plays = 0, records = 0;
    for (int i = 0; i < 200; ++i) {
        plays += static_cast<int>(rig.audio.PlayAudio(false, false));
        records += static_cast<int>(rig.audio.RecordAudio2(recording.c_str(), 0, "", 0, 0));
        for (int spin = 0; spin < i % 7; ++spin)
            std::this_thread::yield();
        rig.audio.StopPlaying("stop");
        rig.audio.StopRecording("stop");
    }
    ticking.store(false);
    dsp_thread.join();
    EXPECT_EQ(plays, 200);
    EXPECT_EQ(records, 200);
    EXPECT_EQ(rig.audio.play_done.size(), 200u);
    EXPECT_EQ(rig.audio.record_done.size(), 200u);
    for (const auto& [result, text] : rig.audio.play_done)
        EXPECT_TRUE(result == CKZAudioControl::AUDIO_DONE_LIST_END ||
                    result == CKZAudioControl::AUDIO_DONE_STOPPED);
}

} // namespace
