// The voice processing of the local sound device, over speexdsp: the acoustic echo canceller
// (the far end's voice played on the speaker and picked up again by the microphone is taken out
// of what the microphone sends) and the preprocessor (automatic gain control and noise
// suppression). 8 kHz 16-bit mono, one fixed frame size per object.
#pragma once

#include <cstdint>
#include <memory>

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace KZAPI {

class KZEchoCanceller {
public:
    // frame_samples per call, tail_samples the longest echo path it models. With
    // suppress_residual a preprocessor behind the filter takes out the echo the filter leaves.
    KZEchoCanceller(int frame_samples, int tail_samples, bool suppress_residual = true);
    ~KZEchoCanceller();
    KZEchoCanceller(const KZEchoCanceller&) = delete;
    KZEchoCanceller& operator=(const KZEchoCanceller&) = delete;

    bool IsReady() const { return m_echo != nullptr; }
    int FrameSamples() const { return m_frame; }
    // One frame as played on the speaker (the reference), then the microphone frame captured at
    // the same time; `out` (may be `captured`) receives the microphone without the echo.
    void Playback(const int16_t* played);
    void Capture(const int16_t* captured, int16_t* out);
    void Reset();

private:
    const int m_frame;
    SpeexEchoState_* m_echo = nullptr;
    SpeexPreprocessState_* m_residual = nullptr;
    std::unique_ptr<int16_t[]> m_in;
};

class KZVoicePreprocessor {
public:
    explicit KZVoicePreprocessor(int frame_samples);
    ~KZVoicePreprocessor();
    KZVoicePreprocessor(const KZVoicePreprocessor&) = delete;
    KZVoicePreprocessor& operator=(const KZVoicePreprocessor&) = delete;

    bool IsReady() const { return m_state != nullptr; }
    // target_level: the speech level the gain control aims at (16-bit sample scale); 0 turns
    // gain control off.
    void SetAGC(int target_level);
    void SetDenoise(bool on);
    bool IsActive() const { return m_agc || m_denoise; }
    // Processes one frame in place (nothing when neither switch is on).
    void Run(int16_t* frame);

private:
    SpeexPreprocessState_* m_state = nullptr;
    bool m_agc = false;
    bool m_denoise = false;
};

} // namespace KZAPI
