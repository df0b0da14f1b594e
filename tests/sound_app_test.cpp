// The sound application with the WAV-file device, on real DSP threads: a channel whose call
// "receives" a 440 Hz tone must have it played into the playback file, and the capture file's
// 1 kHz tone must reach the channel's transmit side, in the channel's own format.
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZDSP.h"
#include "host/CKZDxDSP.h"
#include "host/audiocodec/KZAudioCodec.h"
#include "host/audiotools/KZWavFile.h"
#include "media/CKZDXSoundApp.h"
#include "media/CKZDXSoundChannel.h"
#include "support/audio_signals.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

namespace {

using KZAPI::CKZCfgInterface;

// Power of one frequency relative to the signal's whole power (Goertzel), 1.0 for a pure tone.
double ToneShare(const std::vector<int16_t>& x, double hz) {
    if (x.empty()) return 0;
    const double w = 2 * std::numbers::pi * hz / 8000.0;
    double s1 = 0, s2 = 0, total = 0;
    for (int16_t v : x) {
        const double s = v + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
        total += static_cast<double>(v) * v;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return total > 0 ? 2 * power / (x.size() * total) : 0;
}

// A call's media face: it "receives" a 440 Hz tone every tick and keeps what is to be sent.
class FakeCallMedia : public KZAPI::CKZDSPApp {
public:
    void OnDSPTimer() override {
        std::vector<uint8_t> frame(160);
        std::vector<int16_t> linear(160);
        for (int i = 0; i < 160; ++i, ++m_phase)
            linear[i] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 440 * m_phase / 8000.0));
        KZAUDIO::Linear2Ulaw(linear.data(), 160, frame.data());
        AddRxFrame(0, 0, frame.data(), 160, 0);
    }
    void OnTxBufArrived(uint16_t, uint32_t, const uint8_t* data, int length) override {
        std::lock_guard lock(m_mutex);
        for (int i = 0; i < length; ++i)
            m_sent.push_back(KZAUDIO::UlawToLinear(data[i]));
    }
    std::vector<int16_t> Sent() {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }

private:
    long m_phase = 0;
    std::mutex m_mutex;
    std::vector<int16_t> m_sent;
};

class SoundChannel : public KZAPI::CKZChannel, public CKZDXSoundChannel {
public:
    explicit SoundChannel(int number) : CKZChannel(number) {}
};

std::vector<int16_t> ReadWav(const std::string& path) {
    std::vector<int16_t> samples;
    KZAPI::KZ_WAV_FILE_HANDLE file = KZAPI::KZ_WAV_FILE_ROpen(path.c_str(), nullptr, 0);
    if (!file) return samples;
    std::vector<int16_t> chunk(800);
    for (int got; (got = KZAPI::KZ_WAV_FILE_Read(file, reinterpret_cast<uint8_t*>(chunk.data()), 1600)) > 0;)
        samples.insert(samples.end(), chunk.begin(), chunk.begin() + got / 2);
    KZAPI::KZ_WAV_FILE_Close(file);
    return samples;
}

struct SoundCase {
    const char* name;
    int echo_mode;
    bool mute;
};

class SoundApp : public ::testing::TestWithParam<SoundCase> {};

TEST_P(SoundApp, ToneGoesBothWaysThroughTheWavDevice) {
    const SoundCase& c = GetParam();
    kztest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string in = dir / "mic.wav";
    const std::string out = dir / "speaker.wav";
    {
        const std::vector<int16_t> tone = kztest::Sine(8000 * 4, 1000, 8000);
        KZAPI::KZ_WAV_FILE_HANDLE file = KZAPI::KZ_WAV_FILE_Open(in.c_str(), 7, false, 0);
        ASSERT_NE(file, nullptr);
        KZAPI::KZ_FILE_Write(file, reinterpret_cast<const uint8_t*>(tone.data()),
                             static_cast<int>(tone.size() * 2));
        KZAPI::KZ_WAV_FILE_Close(file);
    }
    CKZCfgInterface::CFG_Clear();
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.dxsound.device.playback", ("wav:" + out).c_str());
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.dxsound.device.capture", ("wav:" + in).c_str());

    FakeCallMedia media;
    KZAPI::CKZDSP channel_dsp(KZAPI::KZ_AUDIO_FORMAT_ULAW);
    channel_dsp.AddApp(&media);
    SoundChannel channel(3);
    channel.SetCallMediaApp(&media);
    {
        CKZDXSoundApp sound;
        sound.EnableEchoCan(c.echo_mode);
        sound.SetDXPlayBufLen(640);
        sound.SetDXRecordBufLen(80);
        ASSERT_EQ(sound.Create(nullptr, KZAPI::KZ_AUDIO_FORMAT_LINEAR16, 20), 1u);
        ASSERT_TRUE(sound.HasCapture());
        sound.MuteMic(c.mute);
        KZAPI::CKZDxDSP dx;
        dx.AddApp(&sound);
        channel_dsp.StartTimer(20);
        EXPECT_EQ(sound.DXSoundOpen(&channel), 1u);
        EXPECT_EQ(channel.IsDXSoundOpen(), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_EQ(sound.DXSoundClose(&channel), 1u);
        EXPECT_EQ(channel.IsDXSoundOpen(), 0u);
        EXPECT_FALSE(sound.IsRunning());
        channel_dsp.StopTimer();
        dx.RemoveApp(&sound);
        sound.DXDestroy();
    }
    channel_dsp.RemoveApp(&media);

    const std::vector<int16_t> played = ReadWav(out);
    ASSERT_GT(played.size(), 8000u) << "the speaker played less than a second";
    const std::vector<int16_t> tail(played.end() - 8000, played.end());
    EXPECT_GT(ToneShare(tail, 440), 0.7) << "the far end's tone is not what the speaker played";
    EXPECT_GT(kztest::RmsDb(tail, 0), 66); // an RMS of 2000

    const std::vector<int16_t> sent = media.Sent();
    ASSERT_GT(sent.size(), 8000u) << "the microphone sent less than a second";
    const std::vector<int16_t> sent_tail(sent.end() - 8000, sent.end());
    if (c.mute) {
        EXPECT_LT(kztest::RmsDb(sent_tail, 0), 34) << "a muted microphone was heard"; // an RMS of 50
    } else {
        EXPECT_GT(ToneShare(sent_tail, 1000), 0.7) << "the microphone's tone did not reach the call";
        EXPECT_GT(kztest::RmsDb(sent_tail, 0), 66);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SoundApp,
                         ::testing::Values(SoundCase{"speex_canceller", 4, false},
                                           SoundCase{"muted", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A render backlog of more than ten frames after a tick is dropped rather than played late.
TEST(SoundAppRender, BacklogAboveTenFramesIsDropped) {
    const struct {
        int queued;
        bool dropped;
    } cases[] = {{11, false}, {12, true}};
    for (const auto& c : cases) {
        CKZCfgInterface::CFG_Clear();
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.dxsound.device", "null");
        CKZDXSoundApp sound;
        ASSERT_EQ(sound.Create(nullptr, KZAPI::KZ_AUDIO_FORMAT_LINEAR16, 20), 1u);
        ASSERT_EQ(sound.DXSoundStart(), 1u);
        kztest::LogCapture log;
        const std::vector<int16_t> frame(160, 1000);
        for (int i = 0; i < c.queued; ++i)
            sound.OnRxBufArrived(0, 0, reinterpret_cast<const uint8_t*>(frame.data()), 320);
        sound.OnDSPTimer();
        sound.DXSoundStop();
        EXPECT_EQ(log.Contains("m_hRTBufRender is greater than 200ms length. Reset!", 1), c.dropped)
            << c.queued;
    }
}

// The gain-control target: an explicit level above 1000 is taken, anything lower means 8000.
TEST(SoundAppAGC, TargetFromLevelKey) {
    const struct {
        const char* value;
        int target;
    } cases[] = {{"", 0}, {"500", 8000}, {"12000", 12000}, {"1000", 8000}};
    for (const auto& c : cases) {
        CKZCfgInterface::CFG_SetValue("kzsrv.dx.capture.agc.level", c.value);
        EXPECT_EQ(CKZDXSoundApp::AGCTarget("kzsrv.dx.capture.agc.level"), c.target) << c.value;
    }
}

} // namespace
