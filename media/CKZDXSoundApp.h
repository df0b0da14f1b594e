// CKZDXSoundApp: the sound application with its devices: the speaker (playback) and the
// microphone (capture) chosen by the device keys, the echo canceller, and the play and record
// ticks that move one frame each way per tick between the ring buffers and the devices.
//
// Device names: "kzsrv.sip.dxsound.device" names both sides, ".playback" and ".capture" override
// it per side. A name is "null" (the null device), "wav:PATH" (a WAV file to play into or
// capture from) or text found in a sound card's name; empty means the default card. Without a
// card the null device stands in, so that calls still run.
#pragma once

#include "media/CKZSIPSoundApp.h"

#include <memory>
#include <string>
#include <vector>

namespace KZAPI {
class KZSoundPlayback;
class KZSoundCapture;
class KZEchoCanceller;
} // namespace KZAPI

class CKZDXSoundApp : public CKZSIPSoundApp {
public:
    static constexpr int kEchoFrameSamples = 160;
    static constexpr int kEchoTailSamples = 2560;
    static constexpr int kDefaultPlaybackDelayFrames = 2;

    CKZDXSoundApp();
    ~CKZDXSoundApp() override;

    // Stores the audio format and frame time and creates the devices: 1 once playback works.
    // The window of the original platform has no meaning here and is ignored.
    unsigned Create(void* window, int audio_format, int frame_ms);
    unsigned DXCreate(void* window);
    void DXDestroy();
    unsigned DXReCreate(void* window);

    unsigned DXSoundStart() override;
    unsigned DXSoundStop() override;
    unsigned DXSoundPlay();
    unsigned DXSoundRecord();

    bool HasPlayback() const { return m_playback != nullptr; }
    bool HasCapture() const { return m_capture_device != nullptr; }
    bool HasEchoCanceller() const { return m_echo != nullptr; }
    std::string GetPlaybackName() const;
    std::string GetCaptureName() const;
    // Frames the speaker played as silence for lack of audio since the device started.
    uint64_t GetUnderruns() const;

    // AGC target from a level key: the value when above 1000, else 8000; 0 when unset.
    static int AGCTarget(const char* key);

protected:
    void OnDXPlayTimer() override;
    void OnDXRecordTimer() override;

private:
    void CreateEchoCanceller();
    void RecordFrame(int16_t* mic);
    void LogUnderruns();

    std::unique_ptr<KZAPI::KZSoundPlayback> m_playback;
    std::unique_ptr<KZAPI::KZSoundCapture> m_capture_device;
    std::unique_ptr<KZAPI::KZEchoCanceller> m_echo;
    uint64_t m_write_position = 0; // samples handed to the speaker since start
    int m_delay_frames = kDefaultPlaybackDelayFrames;
    std::vector<int16_t> m_frame;  // the speaker's frame
    std::vector<int16_t> m_mic;    // the microphone's frame
    std::vector<int16_t> m_played; // what the speaker played with it
    uint64_t m_logged_underruns = 0;
    bool m_had_real_data = false;
};
