// The audio tools against independent parts: call-progress tones made by sox, files checked with
// soxi, MP3 made by sox's LAME and read back by sox.
#include "host/audiotools/KZDTMF.h"
#include "host/audiotools/KZMP3File.h"
#include "host/audiotools/KZSoundTools.h"
#include "host/audiotools/KZToneDetector.h"
#include "host/audiotools/KZWavFile.h"

#include "support/audio_signals.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace KZAPI;
using Samples = std::vector<int16_t>;

namespace {

constexpr int kFrame = 160;

class AudioToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kztest::have_tool("sox") || !kztest::have_tool("soxi")) GTEST_SKIP() << "sox missing";
        ASSERT_TRUE(m_dir.ok());
    }
    std::string Path(const std::string& name) const { return m_dir / name; }
    // Runs sox from `input` (a file or -n with its format) to `name` in the output `format`,
    // through `effects`.
    std::string Sox(const std::string& name, const std::string& input, const std::string& format,
                    const std::string& effects = "") const {
        const std::string command = "sox " + input + " " + format + " " + Path(name) + " " + effects;
        EXPECT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
        return Path(name);
    }
    kztest::TempDir m_dir;
};

Samples ReadWav(const std::string& path, uint32_t* data_bytes = nullptr, uint32_t offset = 0) {
    Samples all;
    KZ_WAV_FILE_HANDLE wav = KZ_WAV_FILE_ROpen(path.c_str(), data_bytes, offset);
    if (wav == nullptr) return all;
    Samples frame(kFrame);
    while (int bytes = KZ_WAV_FILE_Read(wav, reinterpret_cast<uint8_t*>(frame.data()), kFrame * 2))
        all.insert(all.end(), frame.begin(), frame.begin() + bytes / 2);
    KZ_WAV_FILE_Close(wav);
    return all;
}

Samples ReadMp3(const std::string& path) {
    Samples all, frame(kFrame);
    KZ_MP3_FILE_HANDLE mp3 = KZ_MP3_FILE_ROpen(path.c_str());
    EXPECT_NE(mp3, nullptr) << path;
    int bytes = 0;
    while ((bytes = KZ_MP3_FILE_Read(mp3, reinterpret_cast<uint8_t*>(frame.data()), kFrame * 2)) > 0)
        all.insert(all.end(), frame.begin(), frame.begin() + bytes / 2);
    EXPECT_EQ(bytes, 0) << "the end, not an error";
    KZ_MP3_FILE_Close(mp3);
    return all;
}

// The digits seen frame by frame, a digit held over several frames counted once.
std::string DetectDigits(const Samples& audio) {
    KZ_DTMF_HANDLE dtmf = KZ_DTMF_Create(8000, 16, kFrame);
    std::string seen;
    int previous = -1;
    for (size_t at = 0; at + kFrame <= audio.size(); at += kFrame) {
        const int code = KZ_DTMF_Detect_Single_N_1(dtmf, audio.data() + at, kFrame);
        if (code >= 0 && code != previous) seen += KZ_DTMF_CharOfCode(code);
        previous = code;
    }
    KZ_DTMF_Destroy(dtmf);
    return seen;
}

// North-American and European call-progress tones.
const KZ_TONE_DEF kTones[] = {
    {"dial", 350, 440, 1000, 0},        {"ringback", 440, 480, 2000, 4000}, {"busy", 480, 620, 500, 500},
    {"congestion", 480, 620, 250, 250}, {"dial", 425, 0, 1000, 0},          {"ringback", 425, 0, 1000, 4000},
    {"busy", 425, 0, 500, 500},         {"congestion", 425, 0, 250, 250},
};

std::vector<int> DetectTones(const Samples& audio) {
    KZ_TONE_HANDLE detector = KZ_TONE_Create(kTones, std::size(kTones));
    std::vector<int> seen;
    for (size_t at = 0; at + kFrame <= audio.size(); at += kFrame) {
        const int index = KZ_TONE_Process(detector, audio.data() + at, kFrame);
        if (index >= 0) seen.push_back(index);
    }
    KZ_TONE_Destroy(detector);
    return seen;
}

constexpr const char* kSox8k = "-r 8000 -b 16 -c 1";

// Sox's effects for `cycles` of a tone: on, then off, peaking at -16 dBFS.
std::string ToneEffects(const KZ_TONE_DEF& tone, int cycles) {
    std::string args =
        "synth " + std::to_string(tone.on_ms / 1000.0) + " sine " + std::to_string(tone.frequency1);
    if (tone.frequency2 != 0) args += " sine " + std::to_string(tone.frequency2);
    args += " gain -n -16";
    if (tone.off_ms > 0)
        args += " pad 0 " + std::to_string(tone.off_ms / 1000.0) + " repeat " + std::to_string(cycles - 1);
    return args;
}

KZ_PCM_ANALYSIS Analyse(const Samples& audio) {
    KZ_PCM_ANALYZER_HANDLE analyzer = KZ_PCM_ANALYZER_Create(8000);
    KZ_PCM_ANALYZER_Feed(analyzer, audio.data(), static_cast<int>(audio.size()));
    const KZ_PCM_ANALYSIS result = KZ_PCM_ANALYZER_Result(analyzer);
    KZ_PCM_ANALYZER_Destroy(analyzer);
    return result;
}

// Frequency from rising zero crossings: an estimate that shares nothing with the analyser.
double ZeroCrossingHz(const Samples& audio) {
    int first = -1, last = -1, crossings = 0;
    for (size_t i = 1; i < audio.size(); ++i) {
        if (audio[i - 1] < 0 && audio[i] >= 0) {
            if (first < 0) first = static_cast<int>(i);
            last = static_cast<int>(i);
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * 8000.0 / (last - first) : 0.0;
}

} // namespace

TEST_F(AudioToolsTest, GeneratedDigitsAreDetectedOnceEachInOrder) {
    KZ_DTMF_HANDLE dtmf = KZ_DTMF_Create(8000, 16, kFrame);
    // Digits, tone and gap ms, what is detected: "7" is too short for a digit.
    for (const auto& [digits, on_ms, gap_ms, seen] :
         {std::tuple{"1155#", 50, 50, "1155#"}, {"7", 30, 200, ""}}) {
        const size_t per_digit = (on_ms + gap_ms) * 8;
        Samples audio(std::strlen(digits) * per_digit + 2 * kFrame);
        const int bytes = KZ_DTMF_Gen_String_Tone(dtmf, reinterpret_cast<uint8_t*>(audio.data()),
                                                  static_cast<int>(audio.size() * 2), digits, on_ms, gap_ms);
        ASSERT_EQ(bytes, static_cast<int>(std::strlen(digits) * per_digit * 2)) << digits;
        // Each digit is tone for exactly on_ms and silence for exactly gap_ms.
        for (size_t d = 0; d < std::strlen(digits); ++d) {
            const auto start = audio.begin() + d * per_digit;
            const auto silent = start + on_ms * 8;
            EXPECT_TRUE(std::all_of(silent, start + per_digit, [](int16_t s) { return s == 0; })) << digits;
            EXPECT_GT(kztest::RmsDb(Samples(start, start + 80), 0), 60.0) << "tone from the start";
            EXPECT_GT(kztest::RmsDb(Samples(silent - 80, silent), 0), 60.0) << "tone until the end of on_ms";
        }
        // Written as 16-bit linear, turned into mu-law by sox, read back.
        const std::string linear = Path("gen.wav"), law = Path("gen-ulaw.wav");
        KZ_WAV_FILE_HANDLE wav = KZ_WAV_FILE_Open(linear.c_str(), 5, false, 0);
        KZ_FILE_Write(wav, reinterpret_cast<const uint8_t*>(audio.data()), bytes + 4 * kFrame);
        KZ_WAV_FILE_Close(wav);
        ASSERT_EQ(std::system(("sox " + linear + " -e u-law " + law).c_str()), 0);
        EXPECT_EQ(DetectDigits(ReadWav(law)), seen) << digits << " " << on_ms << " ms";
    }
    uint8_t small[100];
    EXPECT_EQ(KZ_DTMF_Gen_String_Tone(dtmf, small, sizeof(small), "1", 100, 0), 0);
    Samples room(8000);
    for (const char* refused : {"12E", "1X"})
        EXPECT_EQ(
            KZ_DTMF_Gen_String_Tone(dtmf, reinterpret_cast<uint8_t*>(room.data()), 16000, refused, 50, 50),
            0);
    KZ_DTMF_Destroy(dtmf);
}

TEST_F(AudioToolsTest, SoxCallProgressTonesAreTold) {
    for (size_t i = 0; i < std::size(kTones); ++i) {
        const KZ_TONE_DEF& tone = kTones[i];
        const int cycles = tone.off_ms == 0 ? 1 : 3;
        KZ_TONE_DEF longer = tone;
        if (tone.off_ms == 0) longer.on_ms = 3000;
        const Samples audio = ReadWav(Sox("tone.wav", "-n", kSox8k, ToneEffects(longer, cycles)));
        EXPECT_EQ(DetectTones(audio), std::vector<int>{static_cast<int>(i)})
            << tone.name << " " << tone.frequency1;
        EXPECT_EQ(DetectDigits(audio), "") << tone.name;
    }
    // Busy, two seconds of silence, busy again: two occurrences.
    Samples twice = ReadWav(Sox("busy.wav", "-n", kSox8k, ToneEffects(kTones[2], 3)));
    twice.resize(twice.size() + 16000, 0);
    const Samples again = twice;
    twice.insert(twice.end(), again.begin(), again.end());
    EXPECT_EQ(DetectTones(twice), (std::vector<int>{2, 2}));
    // Busy's frequencies at a cadence of neither busy nor congestion, and a dial tone off by 30 Hz.
    EXPECT_EQ(DetectTones(ReadWav(Sox("odd.wav", "-n", kSox8k, ToneEffects({"", 480, 620, 375, 375}, 4)))),
              std::vector<int>{});
    EXPECT_EQ(DetectTones(ReadWav(Sox("off.wav", "-n", kSox8k, ToneEffects({"", 455, 0, 3000, 0}, 1)))),
              std::vector<int>{});
}

TEST_F(AudioToolsTest, WrittenWavHasTheEncodingRateAndLength) {
    const Samples tone = kztest::Sine(4000, 500, 8000);
    for (const auto& [format, encoding, bytes_per_sample] : {std::tuple{3, "u-law", 1},
                                                             {4, "A-law", 1},
                                                             {5, "Signed Integer PCM", 2},
                                                             {7, "Signed Integer PCM", 2}}) {
        const std::string path = Path("out.wav");
        const auto* data = reinterpret_cast<const uint8_t*>(tone.data());
        KZ_WAV_FILE_HANDLE wav = KZ_WAV_FILE_Open(path.c_str(), format, false, 0);
        ASSERT_NE(wav, nullptr);
        for (int at = 0; at < 3000 * bytes_per_sample; at += 200)
            EXPECT_EQ(KZ_FILE_Write(wav, data + at, 200), 200);
        KZ_WAV_FILE_Close(wav);
        EXPECT_EQ(kztest::shell_output("soxi -e " + path), encoding);
        EXPECT_EQ(kztest::shell_output("soxi -r " + path), "8000");
        EXPECT_EQ(kztest::shell_output("soxi -s " + path), "3000");
        // Append after 1000 samples' worth: what followed is replaced.
        wav = KZ_WAV_FILE_Open(path.c_str(), format, true, 1000 * bytes_per_sample);
        ASSERT_NE(wav, nullptr);
        EXPECT_EQ(KZ_FILE_Write(wav, data, 500 * bytes_per_sample), 500 * bytes_per_sample);
        KZ_WAV_FILE_Close(wav);
        EXPECT_EQ(kztest::shell_output("soxi -s " + path), "1500");
        // Sox decodes it independently: the appended bytes repeat the file's first 500.
        const Samples by_sox = ReadWav(Sox("decoded.wav", path, kSox8k));
        ASSERT_EQ(by_sox.size(), 1500u);
        EXPECT_TRUE(std::equal(by_sox.begin() + 1000, by_sox.end(), by_sox.begin()));
        EXPECT_TRUE(bytes_per_sample != 2 || std::equal(by_sox.begin(), by_sox.begin() + 1000, tone.begin()));
        uint32_t data_bytes = 0;
        const Samples back = ReadWav(path, &data_bytes, 200);
        EXPECT_EQ(data_bytes, 3000u);
        EXPECT_EQ(back, Samples(by_sox.begin() + 100, by_sox.end())) << "read from 200 bytes on";
        EXPECT_EQ(KZ_WAV_FILE_Open(path.c_str(), format == 3 ? 4 : 3, true, 0), nullptr) << "other encoding";
    }
}

TEST_F(AudioToolsTest, OtherRatesAreReadAt8kHzInTimeAndTune) {
    for (const char* layout : {"-r 44100 -c 2", "-r 16000 -c 1", "-r 11025 -c 1 -e u-law", "-r 8000 -c 2"}) {
        // Half a second of silence, then 1.5 s of 1 kHz.
        const std::string path = Sox("rate.wav", "-n", layout, "synth 1.5 sine 1000 gain -n -6 pad 0.5 0");
        uint32_t data_bytes = 0;
        const Samples audio = ReadWav(path, &data_bytes);
        EXPECT_EQ(data_bytes, 32000u) << layout;
        ASSERT_EQ(audio.size(), 16000u) << layout;
        const auto onset =
            std::find_if(audio.begin(), audio.end(), [](int16_t s) { return std::abs(s) > 2000; });
        EXPECT_NEAR(onset - audio.begin(), 4000, 8) << layout;
        const Samples tone(audio.begin() + 4100, audio.end() - 100);
        EXPECT_NEAR(Analyse(tone).dominant_hz, 1000.0, 10.0) << layout;
        EXPECT_NEAR(ZeroCrossingHz(tone), 1000.0, 10.0) << layout;
    }
}

// A 44.1 kHz MP3 from sox read at 8 kHz is the interop script's play-mp3 (length and pitch).
TEST_F(AudioToolsTest, Mp3IsWrittenToLengthAndOnlyMp3IsRead) {
    for (const std::string& no_mp3 : {Path("missing.mp3"), Sox("pcm.wav", "-n", kSox8k, "synth 2 sine 1000")})
        EXPECT_EQ(KZ_MP3_FILE_ROpen(no_mp3.c_str()), nullptr) << no_mp3;

    const std::string written = Path("written.mp3");
    KZ_MP3_FILE_HANDLE mp3 = KZ_MP3_FILE_WOpen(written.c_str(), 8000, 32);
    ASSERT_NE(mp3, nullptr);
    const Samples tone = kztest::Sine(16000, 440, 10000);
    for (size_t at = 0; at < tone.size(); at += kFrame)
        EXPECT_EQ(KZ_MP3_FILE_Write(mp3, reinterpret_cast<const uint8_t*>(tone.data() + at), kFrame * 2),
                  kFrame * 2);
    KZ_MP3_FILE_Close(mp3);
    EXPECT_NEAR(std::stod(kztest::shell_output("soxi -D " + written)), 2.0, 0.05);
    const Samples by_sox = ReadWav(Sox("written.wav", written, "-r 8000"));
    EXPECT_NEAR(ZeroCrossingHz(Samples(by_sox.begin() + 2000, by_sox.end() - 2000)), 440.0, 4.4);
    // Our own reader honours the encoder's delay and padding.
    EXPECT_NEAR(ReadMp3(written).size(), 16000.0, 8.0);
}

TEST(SoundTools, MixSaturates) {
    for (const auto& [x, y, sum] : {std::tuple<int16_t, int16_t, int16_t>{1000, -3000, -2000},
                                    {30000, 10000, 32767},
                                    {-30000, -10000, -32768}}) {
        int16_t a[2] = {x, y}, b[2] = {y, x};
        const int16_t* inputs[] = {a, b};
        EXPECT_EQ(KZ_SND_Mix(a, inputs, 2, 2), 2); // into one of the inputs
        EXPECT_EQ(Samples(a, a + 2), Samples(2, sum));
    }
    EXPECT_EQ(KZ_SND_Mix(nullptr, nullptr, 2, 2), 0);
}

TEST(SoundTools, AgcGainsQuietAudioAndLimitsLoudAudio) {
    for (const auto& [factor, amplitude, expected_peak] :
         {std::tuple{2.0f, 4000.0, 8000.0}, {0.5f, 20000.0, 10000.0}, {4.0f, 20000.0, 32767 * 0.891}}) {
        KZ_AGC4_HANDLE agc = KZ_AGC4_Create(factor);
        Samples audio = kztest::Sine(8000, 1000, amplitude);
        for (size_t at = 0; at < audio.size(); at += kFrame)
            KZ_AGC4_Process(agc, audio.data() + at, kFrame);
        KZ_AGC4_Destroy(agc);
        const int peak = *std::max_element(audio.begin(), audio.end());
        EXPECT_NEAR(peak, expected_peak, expected_peak * 0.01) << factor;
        EXPECT_NEAR(Analyse(audio).dominant_hz, 1000.0, 10.0) << "no distortion moves the pitch";
    }
    // After a loud passage the gain comes back for quiet audio.
    KZ_AGC4_HANDLE agc = KZ_AGC4_Create(4.0f);
    Samples loud = kztest::Sine(kFrame, 1000, 30000), quiet = kztest::Sine(16000, 1000, 1000);
    KZ_AGC4_Process(agc, loud.data(), kFrame);
    for (size_t at = 0; at < quiet.size(); at += kFrame)
        KZ_AGC4_Process(agc, quiet.data() + at, kFrame);
    KZ_AGC4_Destroy(agc);
    EXPECT_NEAR(*std::max_element(quiet.end() - kFrame, quiet.end()), 4000, 40);
}

TEST(SoundTools, AnalyserMeasuresLevelAndPitch) {
    for (const auto& [hz, amplitude, samples] : {std::tuple{300.0, 16384.0, 8000},
                                                 {1000.0, 3277.0, 16000},
                                                 {3100.0, 32767.0, 8000},
                                                 {697.0, 16384.0, 400}}) {
        const KZ_PCM_ANALYSIS result = Analyse(kztest::Sine(samples, hz, amplitude));
        const double peak_db = 20 * std::log10(amplitude / 32768);
        EXPECT_NEAR(result.peak_dbfs, peak_db, 0.1) << hz;
        EXPECT_NEAR(result.rms_dbfs, peak_db - 3.01, 0.1) << hz;
        EXPECT_NEAR(result.dominant_hz, hz, hz * 0.01) << hz;
        EXPECT_EQ(result.samples, static_cast<uint64_t>(samples));
    }
    EXPECT_EQ(Analyse(Samples(800, 0)).dominant_hz, 0.0);
}
