// The voice-activity and beep analysers on made signals: what each must be judged, frame by frame
// as a call feeds them (20 ms at 8 kHz).
#include "host/audiotools/KZVoiceDetector.h"

#include "support/audio_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

using namespace KZAPI;
using Samples = std::vector<int16_t>;

namespace {

constexpr int kRate = 8000;
constexpr int kFrame = 160;

// White noise at `dbfs` (RMS), from a fixed seed.
Samples Hiss(int ms, double dbfs) {
    const double rms = 32768.0 * std::pow(10.0, dbfs / 20.0);
    Samples out(static_cast<size_t>(ms * 8));
    uint32_t state = 12345;
    for (int16_t& v : out) {
        state = state * 1664525u + 1013904223u;
        const double uniform = (state >> 8) / 16777216.0 * 2.0 - 1.0; // RMS 1/sqrt(3)
        v = static_cast<int16_t>(std::lround(uniform * rms * std::sqrt(3.0)));
    }
    return out;
}

Samples Tone(int ms, double hz, double dbfs, double hz2 = 0) {
    const double amplitude = 32768.0 * std::pow(10.0, dbfs / 20.0);
    Samples out = kztest::Sine(ms * 8, hz, hz2 > 0 ? amplitude / 2 : amplitude);
    if (hz2 > 0) {
        const Samples second = kztest::Sine(ms * 8, hz2, amplitude / 2);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<int16_t>(out[i] + second[i]);
    }
    return out;
}

Samples Mixed(Samples a, const Samples& b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        a[i] = static_cast<int16_t>(std::clamp(a[i] + b[i], -32768, 32767));
    return a;
}

struct Judged {
    std::vector<int> verdicts; // one per frame
    std::vector<int> beep_frames, beep_hz;
};

Judged Judge(const Samples& audio) {
    std::unique_ptr<KZVADState, void (*)(KZ_VAD_HANDLE)> vad(KZ_VAD_Create(kRate, 20, 100), KZ_VAD_Destroy);
    std::unique_ptr<KZBeepState, void (*)(KZ_BEEP_HANDLE)> beep(KZ_BEEP_Create(kRate, 0), KZ_BEEP_Destroy);
    Judged judged;
    for (size_t at = 0; at + kFrame <= audio.size(); at += kFrame) {
        KZ_VAD_Feed(vad.get(), &audio[at], kFrame);
        judged.verdicts.push_back(KZ_VAD_GetVerdict(vad.get()));
        if (const int hz = KZ_BEEP_Process(beep.get(), &audio[at], kFrame)) {
            judged.beep_frames.push_back(static_cast<int>(at / kFrame));
            judged.beep_hz.push_back(hz);
        }
    }
    return judged;
}

// Every verdict of the frames [from, to) (to < 0: to the end) is one of `allowed`.
bool AllOf(const std::vector<int>& verdicts, int from, int to, std::initializer_list<int> allowed) {
    if (to < 0) to = static_cast<int>(verdicts.size());
    for (int i = from; i < to; ++i)
        if (std::find(allowed.begin(), allowed.end(), verdicts[i]) == allowed.end()) return false;
    return true;
}

TEST(VoiceAnalyser, JudgesMadeSignals) {
    const struct Case {
        const char* name;
        Samples audio;
        int settle_frames;              // frames left out of the judgement (the start)
        std::initializer_list<int> all; // what every later frame may be judged
        int beep_hz;                    // the beep that must be reported, 150 ms into the signal; 0: none
    } cases[] = {
        {"digital silence", Samples(8000, 0), 0, {KZ_VAD_SILENCE}, 0},
        {"line noise under the sound level", Hiss(2000, -60), 0, {KZ_VAD_SILENCE}, 0},
        {"hiss above it, once the floor has risen", Hiss(3000, -38), 25, {KZ_VAD_SILENCE}, 0},
        {"speech", kztest::SpeechLike(3 * kRate), 1, {KZ_VAD_VOICE}, 0},
        {"speech over hiss", Mixed(kztest::SpeechLike(3 * kRate), Hiss(3000, -45)), 1, {KZ_VAD_VOICE}, 0},
        {"a beep", Tone(400, 1000, -20), 2, {KZ_VAD_TONE}, 1000},
        {"a quiet beep", Tone(400, 440, -40), 2, {KZ_VAD_TONE}, 440},
        {"a tone too short for a beep", Tone(120, 1000, -20), 0, {KZ_VAD_VOICE, KZ_VAD_TONE}, 0},
        {"two tones at once", Tone(400, 770, -20, 1336), 1, {KZ_VAD_VOICE}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Judged judged = Judge(c.audio);
        EXPECT_TRUE(AllOf(judged.verdicts, c.settle_frames, -1, c.all))
            << ::testing::PrintToString(judged.verdicts);
        ASSERT_EQ(judged.beep_frames.size(), c.beep_hz ? 1u : 0u);
        if (!c.beep_hz) continue;
        EXPECT_EQ(judged.beep_frames[0], 150 / 20); // the frame that holds its 150th ms
        EXPECT_NEAR(judged.beep_hz[0], c.beep_hz, c.beep_hz / 100);
    }
}

} // namespace
