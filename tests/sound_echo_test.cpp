// The sound device's echo canceller against a synthetic echo: the microphone hears what the
// speaker played, delayed and attenuated. After convergence the echo must be down by 20 dB.
#include "host/KZVoiceProcessing.h"
#include "support/audio_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int kFrame = 160;
constexpr int kTail = 2560;
constexpr int kSeconds = 10;

enum class Source { Noise, Speech };

std::vector<int16_t> FarEnd(Source source, int samples) {
    if (source == Source::Speech) return kztest::SpeechLike(samples);
    std::vector<int16_t> out(samples);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 3000.0);
    for (int16_t& s : out)
        s = static_cast<int16_t>(std::clamp(noise(random), -32767.0, 32767.0));
    return out;
}

double Energy(const std::vector<int16_t>& x, size_t from) {
    double sum = 0;
    for (size_t i = from; i < x.size(); ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return sum;
}

struct EchoCase {
    const char* name;
    Source source;
    int delay_ms;
    double gain_db;
};

class SoundEcho : public ::testing::TestWithParam<EchoCase> {};

TEST_P(SoundEcho, EchoIsDown20dBOverTheLastSecond) {
    const EchoCase& c = GetParam();
    const int samples = kSeconds * 8000;
    const std::vector<int16_t> played = FarEnd(c.source, samples);
    const int delay = c.delay_ms * 8;
    const double gain = std::pow(10.0, c.gain_db / 20.0);
    std::vector<int16_t> mic(samples, 0);
    for (int i = delay; i < samples; ++i)
        mic[i] = static_cast<int16_t>(std::lround(played[i - delay] * gain));

    KZAPI::KZEchoCanceller canceller(kFrame, kTail);
    ASSERT_TRUE(canceller.IsReady());
    std::vector<int16_t> out(samples, 0);
    for (int i = 0; i + kFrame <= samples; i += kFrame) {
        canceller.Playback(&played[i]);
        canceller.Capture(&mic[i], &out[i]);
    }
    const size_t last_second = samples - 8000;
    const double reduction_db =
        10 * std::log10(Energy(mic, last_second) / std::max(Energy(out, last_second), 1.0));
    RecordProperty("reduction_db", std::to_string(reduction_db));
    EXPECT_GE(reduction_db, 20.0) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, SoundEcho,
                         ::testing::Values(EchoCase{"noise_40ms_6dB", Source::Noise, 40, -6.0},
                                           EchoCase{"speech_40ms_6dB", Source::Speech, 40, -6.0},
                                           EchoCase{"noise_200ms_0dB", Source::Noise, 200, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The canceller must not eat the near end's own voice: with no echo at all the microphone's
// speech passes within 3 dB.
TEST(SoundEchoNearEnd, NearSpeechPassesWithoutEcho) {
    const int samples = 4 * 8000;
    const std::vector<int16_t> near = kztest::SpeechLike(samples);
    const std::vector<int16_t> silence(samples, 0);
    KZAPI::KZEchoCanceller canceller(kFrame, kTail);
    std::vector<int16_t> out(samples, 0);
    for (int i = 0; i + kFrame <= samples; i += kFrame) {
        canceller.Playback(&silence[i]);
        canceller.Capture(&near[i], &out[i]);
    }
    const double change_db =
        10 * std::log10(Energy(near, samples - 8000) / std::max(Energy(out, samples - 8000), 1.0));
    EXPECT_LT(std::abs(change_db), 3.0);
}

} // namespace
