#include "host/KZVoiceProcessing.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>

namespace KZAPI {

namespace {

constexpr int kSampleRate = 8000;

void SetFlag(SpeexPreprocessState* state, int request, bool on) {
    int value = on ? 1 : 0;
    speex_preprocess_ctl(state, request, &value);
}

// A preprocessor that does nothing until switched on: speexdsp enables denoise by default.
SpeexPreprocessState* QuietPreprocessor(int frame_samples) {
    SpeexPreprocessState* state = speex_preprocess_state_init(frame_samples, kSampleRate);
    if (!state) return nullptr;
    SetFlag(state, SPEEX_PREPROCESS_SET_DENOISE, false);
    SetFlag(state, SPEEX_PREPROCESS_SET_AGC, false);
    SetFlag(state, SPEEX_PREPROCESS_SET_DEREVERB, false);
    return state;
}

} // namespace

KZEchoCanceller::KZEchoCanceller(int frame_samples, int tail_samples, bool suppress_residual)
    : m_frame(frame_samples) {
    if (frame_samples <= 0 || tail_samples < frame_samples) return;
    m_echo = speex_echo_state_init(frame_samples, tail_samples);
    if (!m_echo) return;
    int rate = kSampleRate;
    speex_echo_ctl(m_echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    m_in = std::make_unique<int16_t[]>(static_cast<size_t>(frame_samples));
    if (suppress_residual) {
        m_residual = QuietPreprocessor(frame_samples);
        if (m_residual) speex_preprocess_ctl(m_residual, SPEEX_PREPROCESS_SET_ECHO_STATE, m_echo);
    }
}

KZEchoCanceller::~KZEchoCanceller() {
    if (m_residual) speex_preprocess_state_destroy(m_residual);
    if (m_echo) speex_echo_state_destroy(m_echo);
}

void KZEchoCanceller::Playback(const int16_t* played) {
    if (m_echo && played) speex_echo_playback(m_echo, played);
}

void KZEchoCanceller::Capture(const int16_t* captured, int16_t* out) {
    if (!m_echo || !captured || !out) return;
    std::copy_n(captured, m_frame, m_in.get());
    speex_echo_capture(m_echo, m_in.get(), out);
    if (m_residual) speex_preprocess_run(m_residual, out);
}

void KZEchoCanceller::Reset() {
    if (m_echo) speex_echo_state_reset(m_echo);
}

KZVoicePreprocessor::KZVoicePreprocessor(int frame_samples) {
    if (frame_samples > 0) m_state = QuietPreprocessor(frame_samples);
}

KZVoicePreprocessor::~KZVoicePreprocessor() {
    if (m_state) speex_preprocess_state_destroy(m_state);
}

void KZVoicePreprocessor::SetAGC(int target_level) {
    if (!m_state) return;
    m_agc = target_level > 0;
    SetFlag(m_state, SPEEX_PREPROCESS_SET_AGC, m_agc);
    if (m_agc) {
        float level = static_cast<float>(target_level);
        speex_preprocess_ctl(m_state, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
    }
}

void KZVoicePreprocessor::SetDenoise(bool on) {
    if (!m_state) return;
    m_denoise = on;
    SetFlag(m_state, SPEEX_PREPROCESS_SET_DENOISE, on);
}

void KZVoicePreprocessor::Run(int16_t* frame) {
    if (m_state && frame && IsActive()) speex_preprocess_run(m_state, frame);
}

} // namespace KZAPI
