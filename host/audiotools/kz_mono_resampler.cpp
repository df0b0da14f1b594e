#include "host/audiotools/kz_mono_resampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

namespace KZAPI {

namespace {

// speexdsp's "desktop" quality: clean enough for prompts and music, cheap at 8 kHz output.
constexpr int kResampleQuality = 5;
constexpr int kMaxChannels = 64;
constexpr int kMaxRate = 768000;

int16_t ToSample(float value) {
    const float scaled = std::nearbyint(value * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

} // namespace

void KZMonoResampler::SpeexDeleter::operator()(SpeexResamplerState_* state) const {
    speex_resampler_destroy(state);
}

KZMonoResampler::KZMonoResampler() = default;
KZMonoResampler::~KZMonoResampler() = default;

bool KZMonoResampler::Init(int in_rate, int channels) {
    if (in_rate <= 0 || in_rate > kMaxRate || channels <= 0 || channels > kMaxChannels) return false;
    m_channels = channels;
    m_in_rate = in_rate;
    m_finished = false;
    m_speex.reset();
    if (in_rate == kOutRate) return true;
    int error = 0;
    m_speex.reset(
        speex_resampler_init(1, static_cast<spx_uint32_t>(in_rate), kOutRate, kResampleQuality, &error));
    if (!m_speex || error != RESAMPLER_ERR_SUCCESS) return false;
    // A file is resampled as a whole: its first output sample is its first input sample.
    speex_resampler_skip_zeros(m_speex.get());
    return true;
}

void KZMonoResampler::Push(const float* interleaved, size_t frames) {
    if (m_finished || frames == 0) return;
    m_mono.resize(frames);
    for (size_t frame = 0; frame < frames; ++frame) {
        const float* first = interleaved + frame * static_cast<size_t>(m_channels);
        float sum = 0.0f;
        for (int channel = 0; channel < m_channels; ++channel)
            sum += first[channel];
        m_mono[frame] = sum / static_cast<float>(m_channels);
    }
    if (m_speex) {
        Resample(m_mono.data(), frames);
    } else {
        Emit(m_mono.data(), frames);
    }
}

void KZMonoResampler::Finish() {
    if (m_finished) return;
    if (m_speex) {
        // The filter holds back this many input samples; zeros push them out.
        const int latency = speex_resampler_get_input_latency(m_speex.get());
        const std::vector<float> zeros(static_cast<size_t>(std::max(latency, 0)) + 1, 0.0f);
        Resample(zeros.data(), zeros.size());
    }
    m_finished = true;
}

void KZMonoResampler::Resample(const float* mono, size_t count) {
    while (count > 0) {
        spx_uint32_t in_len = static_cast<spx_uint32_t>(std::min<size_t>(count, 1u << 16));
        const size_t room = static_cast<size_t>(in_len) * kOutRate / static_cast<size_t>(m_in_rate) + 64;
        m_resampled.resize(room);
        spx_uint32_t out_len = static_cast<spx_uint32_t>(room);
        speex_resampler_process_float(m_speex.get(), 0, mono, &in_len, m_resampled.data(), &out_len);
        Emit(m_resampled.data(), out_len);
        if (in_len == 0 && out_len == 0) break; // the resampler refuses: drop the rest
        mono += in_len;
        count -= in_len;
    }
}

void KZMonoResampler::Emit(const float* mono, size_t count) {
    if (m_out_head > 0 && m_out_head * 2 >= m_out.size()) {
        m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(m_out_head));
        m_out_head = 0;
    }
    for (size_t i = 0; i < count; ++i)
        m_out.push_back(ToSample(mono[i]));
}

size_t KZMonoResampler::Pull(int16_t* out, size_t max) {
    const size_t count = std::min(max, Available());
    if (out != nullptr) std::copy_n(m_out.begin() + static_cast<std::ptrdiff_t>(m_out_head), count, out);
    m_out_head += count;
    return count;
}

uint64_t KZMonoResampler::OutputLength(uint64_t in_frames, int in_rate) {
    if (in_rate <= 0) return 0;
    const auto rate = static_cast<uint64_t>(in_rate);
    return (in_frames * kOutRate + rate / 2) / rate;
}

} // namespace KZAPI
