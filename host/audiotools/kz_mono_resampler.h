// KZMonoResampler: turns decoded audio of any rate and channel count into the 8 kHz mono 16-bit
// samples the file readers hand out. The resampler's filter delay is taken out, so output sample n
// stands for input time n / 8000 s, and Finish() flushes the filter so that the whole input comes
// out. Internal to the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct SpeexResamplerState_;

namespace KZAPI {

class KZMonoResampler {
public:
    static constexpr int kOutRate = 8000;

    KZMonoResampler();
    ~KZMonoResampler();
    KZMonoResampler(const KZMonoResampler&) = delete;
    KZMonoResampler& operator=(const KZMonoResampler&) = delete;

    // False for a rate or channel count that cannot be resampled. May be called again when the
    // input's layout changes; samples not yet pulled are kept.
    bool Init(int in_rate, int channels);
    // Appends `frames` interleaved frames of samples in [-1, 1].
    void Push(const float* interleaved, size_t frames);
    // The input has ended: the filter's tail is pushed out.
    void Finish();
    // Moves up to `max` output samples to `out` (null drops them); returns how many.
    size_t Pull(int16_t* out, size_t max);
    size_t Available() const { return m_out.size() - m_out_head; }

    // Output samples `in_frames` of input at `in_rate` make, rounded to the nearest.
    static uint64_t OutputLength(uint64_t in_frames, int in_rate);

private:
    struct SpeexDeleter {
        void operator()(SpeexResamplerState_* state) const;
    };
    void Resample(const float* mono, size_t count);
    void Emit(const float* mono, size_t count);

    std::unique_ptr<SpeexResamplerState_, SpeexDeleter> m_speex;
    int m_channels = 1;
    int m_in_rate = kOutRate;
    bool m_finished = false;
    std::vector<float> m_mono;
    std::vector<float> m_resampled;
    std::vector<int16_t> m_out;
    size_t m_out_head = 0;
};

} // namespace KZAPI
