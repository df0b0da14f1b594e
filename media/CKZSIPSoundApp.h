// CKZSIPSoundApp: the local sound device as a DSP application of its own DSP (the sound DSP,
// ticking every frame time). Channels join it and leave it; while any is joined, the audio their
// calls receive is played on the speaker and the microphone's audio is sent into every one of
// them, with echo cancellation, gain control and noise suppression as switched, and optionally
// recorded per channel into WAV files (the microphone and the speaker mixed).
//
// This class holds the channels, the ring buffers and the per-frame work; CKZDXSoundApp adds the
// device itself.
#pragma once

#include "host/CKZDSPApp.h"
#include "host/CMutex.h"
#include "host/KZRingBuffer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace KZAPI {
class CKZChannel;
class KZVoicePreprocessor;
} // namespace KZAPI
class CKZSoundChannelTap;

class CKZSIPSoundApp : public KZAPI::CKZDSPApp {
public:
    static constexpr int kMixBufferBytes = 512 * 1024;
    static constexpr int kDefaultBufLenMs = 1000;
    static constexpr int kDefaultEchoMode = 3;
    static constexpr unsigned kRecordCheckMs = 1000;
    // Render backlog beyond which received audio is dropped (the speaker would lag behind).
    static constexpr int kMaxRenderFrames = 10;
    // Received audio held back before playing starts (and again after running dry).
    static constexpr int kRenderCushionFrames = 3;

    // Reports a channel's recording file: channel number, 1 opened / 0 closed, path.
    using RecordReport = std::function<void(int channel, int open, const char* path)>;

    CKZSIPSoundApp();
    ~CKZSIPSoundApp() override;

    // Joining and leaving; the first join starts the device, the last leave stops it. 1 always.
    unsigned DXSoundOpen(KZAPI::CKZChannel* channel);
    unsigned DXSoundClose(KZAPI::CKZChannel* channel);
    bool IsJoined(const KZAPI::CKZChannel* channel) const;
    int GetJoinedCount() const;
    bool IsRunning() const { return m_running.load(); }

    virtual unsigned DXSoundStart() = 0;
    virtual unsigned DXSoundStop() = 0;

    // DSP face.
    void OnDSPTimer() override;
    void OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;

    void MuteMic(bool mute) { m_mic_mute.store(mute); }
    bool GetMicMute() const { return m_mic_mute.load(); }
    void EnableAGC(bool on) { m_agc.store(on); }
    bool IsAGCEnabled() const { return m_agc.load(); }
    void EnableDenoise(bool on) { m_denoise.store(on); }
    bool IsDenoiseEnabled() const { return m_denoise.load(); }
    void EnableEchoCan(int mode) { m_echo_mode.store(mode); }
    int GetEchoCanMode() const { return m_echo_mode.load(); }
    void EnableVAD(bool on) { m_vad.store(on); }
    bool IsVADEnabled() const { return m_vad.load(); }
    void SetDXPlayBufLen(int ms) { m_play_buf_ms = ms; }
    int GetDXPlayBufLen() const { return m_play_buf_ms; }
    void SetDXRecordBufLen(int ms) { m_record_buf_ms = ms; }
    int GetDXRecordBufLen() const { return m_record_buf_ms; }
    int GetFrameTime() const { return m_frame_ms; }
    int GetAudioFormat() const { return m_audio_format; }

    // Per-channel recording.
    void SetRecordReport(RecordReport report);
    bool OpenChanAudioFile(KZAPI::CKZChannel* channel);
    void OpenChanAudioFile();
    void WriteAudioDataIntoChanAudioFile(const uint8_t* data, int length);
    static const char* GetAudioRecordRootFolder(char* out, size_t size);
    static bool IsAudioRecordEnabled();

protected:
    // Frame bytes of 16-bit audio (F).
    int FrameBytes() const { return m_frame_ms * 16; }
    int FrameSamples() const { return m_frame_ms * 8; }

    // The device's part of a tick, under the application mutex.
    virtual void OnDXPlayTimer() = 0;
    virtual void OnDXRecordTimer() = 0;

    // Play side: the next frame for the speaker from the render buffer (silence when there is
    // none or the format is not 16-bit linear). True when it held received audio.
    bool GetRenderDataFromRTBuf(int16_t* frame);
    // Record side, one microphone frame (after echo cancellation) with the reference frame that
    // was played at the time: taps, recording, sending.
    void DeliverCapturedFrame(int16_t* mic, int16_t* reference);
    void SendOutRecordedData(const int16_t* frame);
    // The taps on the audio going to the speaker and coming from the microphone; the host's
    // network command client would hook in here, none exists on this platform.
    virtual void OnRenderBufReady(int16_t* frame, int samples) {}
    virtual void OnCaptureBufReady(int16_t* frame, int samples) {}
    // Once a second: a recording switched on meanwhile opens files for the joined channels.
    void CheckRecordSwitch();

    void ResetStream();
    void SetRunning(bool running) { m_running.store(running); }

    KZAPI::CMutex m_mutex; // the channels and the ticks
    int m_audio_format;
    int m_frame_ms = 20;
    int m_play_buf_ms = kDefaultBufLenMs;
    int m_record_buf_ms = kDefaultBufLenMs;
    std::atomic<int> m_echo_mode{kDefaultEchoMode};
    std::atomic<bool> m_agc{false};
    std::atomic<bool> m_vad{false};
    std::atomic<bool> m_denoise{false};
    std::atomic<bool> m_mic_mute{false};
    KZAPI::KZ_RTMB_HANDLE m_render = nullptr;    // received audio to be played
    KZAPI::KZ_RTMB_HANDLE m_reference = nullptr; // what was played, for echo cancellation
    std::unique_ptr<KZAPI::KZVoicePreprocessor> m_play_agc;
    // Gain control and noise suppression of the microphone, after the echo canceller.
    std::unique_ptr<KZAPI::KZVoicePreprocessor> m_capture_agc;
    bool m_capture_started = false;
    bool m_render_primed = false;

private:
    struct Joined {
        KZAPI::CKZChannel* channel;
        std::unique_ptr<CKZSoundChannelTap> tap;
    };
    void CloseChanAudioFile(KZAPI::CKZChannel* channel);
    void Report(int channel, int open, const char* path);

    std::vector<Joined> m_joined; // under m_mutex
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_record_enabled{false};
    std::vector<uint8_t> m_mix;
    uint16_t m_sequence = 1;
    uint32_t m_timestamp = 0;
    unsigned m_ms_since_record_check = 0;
    KZAPI::CMutex m_report_mutex;
    RecordReport m_report;
};
