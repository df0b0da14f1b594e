// KZ_PCM_ANALYZER: level from running sums; the dominant frequency from a power spectrum averaged
// over Hann-windowed blocks (about 8 Hz apart at 8 kHz), its peak refined by fitting a parabola to
// the logarithms of the three strongest neighbouring bins, which puts a steady tone within a
// fraction of a hertz.
#include "host/audiotools/KZSoundTools.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <vector>

namespace KZAPI {

namespace {

constexpr double kFullScale = 32768.0;
constexpr double kFloorDbfs = -120.0;
constexpr int kMaxRate = 768000;

double Dbfs(double amplitude) {
    if (amplitude <= 0.0) return kFloorDbfs;
    return std::max(kFloorDbfs, 20.0 * std::log10(amplitude / kFullScale));
}

// In-place radix-2 transform; `data.size()` is a power of two.
void Fft(std::vector<std::complex<double>>& data) {
    const size_t n = data.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const double angle = -2.0 * std::numbers::pi / static_cast<double>(length);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (size_t start = 0; start < n; start += length) {
            std::complex<double> twiddle(1.0, 0.0);
            for (size_t k = 0; k < length / 2; ++k) {
                const std::complex<double> even = data[start + k];
                const std::complex<double> odd = data[start + k + length / 2] * twiddle;
                data[start + k] = even + odd;
                data[start + k + length / 2] = even - odd;
                twiddle *= step;
            }
        }
    }
}

} // namespace

struct KZPCMAnalyzerState {
    int rate = 8000;
    size_t block = 1024;
    std::vector<double> window;
    std::vector<double> power; // summed over whole blocks
    std::vector<int16_t> pending;
    std::vector<std::complex<double>> scratch;
    int blocks = 0;
    double sum_squares = 0.0;
    int peak = 0;
    uint64_t samples = 0;

    double Weight(size_t i, size_t count) const {
        if (count == block) return window[i];
        return 0.5 -
               0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(count));
    }

    void AddBlock(const int16_t* data, size_t count, std::vector<double>& into) {
        scratch.assign(block, {0.0, 0.0});
        for (size_t i = 0; i < count; ++i)
            scratch[i] = data[i] * Weight(i, count);
        Fft(scratch);
        for (size_t bin = 0; bin < into.size(); ++bin)
            into[bin] += std::norm(scratch[bin]);
    }

    double DominantFrequency(const std::vector<double>& spectrum) const {
        // Bins 0 and 1 hold DC and its window skirt.
        const auto strongest = std::max_element(spectrum.begin() + 2, spectrum.end() - 1);
        if (*strongest <= 0.0) return 0.0;
        const auto bin = static_cast<size_t>(strongest - spectrum.begin());
        const double left = std::log(std::max(spectrum[bin - 1], 1e-30));
        const double centre = std::log(spectrum[bin]);
        const double right = std::log(std::max(spectrum[bin + 1], 1e-30));
        const double curvature = left - 2.0 * centre + right;
        const double offset = curvature < 0.0 ? 0.5 * (left - right) / curvature : 0.0;
        return (static_cast<double>(bin) + offset) * rate / static_cast<double>(block);
    }
};

KZ_PCM_ANALYZER_HANDLE KZ_PCM_ANALYZER_Create(int rate) {
    if (rate <= 0 || rate > kMaxRate) return nullptr;
    auto state = std::make_unique<KZPCMAnalyzerState>();
    state->rate = rate;
    // Blocks of about 1/8 s whatever the rate.
    state->block = std::bit_ceil(static_cast<size_t>(std::max(rate / 8, 64)));
    state->window.resize(state->block);
    for (size_t i = 0; i < state->block; ++i) {
        state->window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                static_cast<double>(state->block));
    }
    state->power.assign(state->block / 2 + 1, 0.0);
    return state.release();
}

void KZ_PCM_ANALYZER_Destroy(KZ_PCM_ANALYZER_HANDLE handle) {
    std::unique_ptr<KZPCMAnalyzerState> owned(handle);
}

void KZ_PCM_ANALYZER_Feed(KZ_PCM_ANALYZER_HANDLE handle, const int16_t* samples, int count) {
    if (handle == nullptr || samples == nullptr || count <= 0) return;
    for (int i = 0; i < count; ++i) {
        handle->sum_squares += static_cast<double>(samples[i]) * samples[i];
        handle->peak = std::max(handle->peak, std::abs(static_cast<int>(samples[i])));
        handle->pending.push_back(samples[i]);
        if (handle->pending.size() == handle->block) {
            handle->AddBlock(handle->pending.data(), handle->block, handle->power);
            handle->pending.clear();
            ++handle->blocks;
        }
    }
    handle->samples += static_cast<uint64_t>(count);
}

KZ_PCM_ANALYSIS KZ_PCM_ANALYZER_Result(KZ_PCM_ANALYZER_HANDLE handle) {
    KZ_PCM_ANALYSIS result;
    if (handle == nullptr || handle->samples == 0) return result;
    result.samples = handle->samples;
    result.rms_dbfs = Dbfs(std::sqrt(handle->sum_squares / static_cast<double>(handle->samples)));
    result.peak_dbfs = Dbfs(handle->peak);
    if (handle->peak == 0) return result;
    if (handle->blocks > 0) {
        result.dominant_hz = handle->DominantFrequency(handle->power);
    } else {
        // Less than one block so far: what there is, zero-padded.
        std::vector<double> partial(handle->power.size(), 0.0);
        handle->AddBlock(handle->pending.data(), handle->pending.size(), partial);
        result.dominant_hz = handle->DominantFrequency(partial);
    }
    return result;
}

void KZ_PCM_ANALYZER_Reset(KZ_PCM_ANALYZER_HANDLE handle) {
    if (handle == nullptr) return;
    std::fill(handle->power.begin(), handle->power.end(), 0.0);
    handle->pending.clear();
    handle->blocks = 0;
    handle->sum_squares = 0.0;
    handle->peak = 0;
    handle->samples = 0;
}

} // namespace KZAPI
