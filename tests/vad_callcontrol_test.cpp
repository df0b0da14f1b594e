// Voice detection on a call control's audio through its own operations: what the send pass may
// send of each frame, what the application hears (FireOn_VoiceActivityDetected), frame by frame.
#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZAPIEnv.h"

#include "support/audio_signals.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int kFrame = 160; // 20 ms at 8 kHz, 16-bit linear: the DSP's format without a DSP
constexpr int kBytes = 2 * kFrame;
constexpr int kChannel = 4;
constexpr int kOut = 0, kIn = 1;

struct Report {
    int direction, verdict;
    bool operator==(const Report&) const = default;
};

class RecordingEnv final : public KZAPI::CKZAPIEnv {
public:
    void FireOn_VoiceActivityDetected(int channel, int direction, int verdict, int, int) override {
        EXPECT_EQ(channel, kChannel);
        reports.push_back({direction, verdict});
    }
    std::vector<Report> reports;
};

enum class Audio { Voice, Silence, Beep, None };

struct Step {
    Audio audio;
    int sent;                    // bytes the send pass may send (outgoing only)
    std::vector<Report> reports; // what the application hears after each of its frames
    int frames = 1;
};

class VoiceCallTest : public ::testing::Test {
protected:
    void SetUp() override { KZAPI::CKZAPIEnv::SetKZAPIEnv(&m_env); }
    void TearDown() override { KZAPI::CKZAPIEnv::SetKZAPIEnv(nullptr); }

    const int16_t* Frame(Audio audio) {
        const std::vector<int16_t>& source = audio == Audio::Voice ? m_speech : m_beep;
        if (audio == Audio::Silence) return m_silence.data();
        const int16_t* frame = &source[m_at];
        m_at = (m_at + kFrame) % (source.size() - kFrame);
        return frame;
    }
    const uint8_t* Bytes(Audio audio) { return reinterpret_cast<const uint8_t*>(Frame(audio)); }

    RecordingEnv m_env;
    CKZSIPAPICC m_cc;
    std::vector<int16_t> m_speech = kztest::SpeechLike(8000);
    std::vector<int16_t> m_beep = kztest::Sine(8000, 1000, 3000);
    std::vector<int16_t> m_silence = std::vector<int16_t>(kFrame, 0);
    size_t m_at = 0;
};

TEST_F(VoiceCallTest, OutgoingVoiceEndsOnASilentFrameOrFiveTicksWithoutAudio) {
    m_cc.SetOutVAD(1);
    m_cc.InitVOutPreProcessHandle(kFrame, 8000);
    const Step steps[] = {{Audio::Voice, kBytes, {{kOut, 1}}},
                          {Audio::Voice, kBytes, {}},
                          // The analyser bridges a word's closure for 70 ms; the frame that it judges
                          // silent ends the voice at once and is held back.
                          {Audio::Silence, kBytes, {}, 3},
                          {Audio::Silence, 0, {{kOut, 0}}},
                          {Audio::Silence, 0, {}},
                          {Audio::Voice, kBytes, {{kOut, 1}}},
                          // Ticks with nothing to send: the voice lasts five of them.
                          {Audio::None, kBytes, {}, 4},
                          {Audio::None, 0, {{kOut, 0}}},
                          {Audio::None, 0, {}},
                          {Audio::Silence, 0, {}}};
    int n = 0;
    for (const Step& step : steps)
        for (int i = 0; i < step.frames; ++i) {
            SCOPED_TRACE(n++);
            m_env.reports.clear();
            const uint8_t* frame = step.audio == Audio::None ? nullptr : Bytes(step.audio);
            EXPECT_EQ(m_cc.DetectOutVoiceActivity(frame, kBytes, kChannel, nullptr), step.sent);
            EXPECT_EQ(m_env.reports, step.reports);
        }
}

TEST_F(VoiceCallTest, OutgoingAudioPassesUnjudgedWhenNothingAsksForDetection) {
    m_cc.InitVOutPreProcessHandle(kFrame, 8000);
    for (Audio audio : {Audio::Voice, Audio::Silence, Audio::None}) {
        const uint8_t* frame = audio == Audio::None ? nullptr : Bytes(audio);
        EXPECT_EQ(m_cc.DetectOutVoiceActivity(frame, kBytes, kChannel, nullptr), kBytes);
    }
    EXPECT_TRUE(m_env.reports.empty());
}

TEST_F(VoiceCallTest, IncomingVoiceToneAndBeepAreReportedOncePerTick) {
    m_cc.SetStatus(KZAPI::CKZCall::CALL_STATUS_CONNECTED);
    m_cc.SetInVAD(1);
    m_cc.InitVInPreProcessHandle(kFrame, 8000);
    const Step steps[] = {{Audio::Voice, 0, {{kIn, 1}}},
                          {Audio::Voice, 0, {}},
                          {Audio::Silence, 0, {}, 3},
                          {Audio::Silence, 0, {{kIn, 0}}},
                          {Audio::Voice, 0, {{kIn, 1}}},
                          {Audio::None, 0, {}, 4},
                          {Audio::None, 0, {{kIn, 0}}},
                          {Audio::None, 0, {}},
                          // A beep: voice at once, a tone-like voice from its third window, a beep
                          // at 150 ms.
                          {Audio::Beep, 0, {{kIn, 1}}},
                          {Audio::Beep, 0, {{kIn, 2}}},
                          {Audio::Beep, 0, {}, 5},
                          {Audio::Beep, 0, {{kIn, 3}}},
                          {Audio::Beep, 0, {}}};
    int n = 0;
    for (const Step& step : steps)
        for (int i = 0; i < step.frames; ++i) {
            SCOPED_TRACE(n++);
            m_env.reports.clear();
            if (step.audio != Audio::None) m_cc.OnRxBufArrived(0, 0, Bytes(step.audio), kBytes);
            m_cc.DetectInVoiceActivity(kChannel, nullptr);
            EXPECT_EQ(m_env.reports, step.reports);
        }
}

TEST_F(VoiceCallTest, IncomingAudioIsNotJudgedBeforeTheCallConnects) {
    m_cc.SetInVAD(1);
    m_cc.InitVInPreProcessHandle(kFrame, 8000);
    for (int i = 0; i < 5; ++i) {
        m_cc.OnRxBufArrived(0, 0, Bytes(Audio::Voice), kBytes);
        m_cc.DetectInVoiceActivity(kChannel, nullptr);
    }
    EXPECT_TRUE(m_env.reports.empty());
}

} // namespace
