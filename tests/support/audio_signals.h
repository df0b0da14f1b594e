// Test signals at 8 kHz and the measures that compare a codec's output with its input.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace kztest {

inline constexpr double kSampleRate = 8000.0;

inline std::vector<int16_t> Sine(int samples, double hz, double amplitude) {
    std::vector<int16_t> out(samples);
    for (int i = 0; i < samples; ++i)
        out[i] = static_cast<int16_t>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / kSampleRate)));
    return out;
}

// The spectral envelope of an open vowel: formants near 700, 1200 and 2500 Hz.
inline double Formants(double hz) {
    const auto peak = [hz](double centre, double width) {
        return 1 / (1 + std::pow((hz - centre) / width, 2));
    };
    return 0.15 + peak(700, 200) + 0.6 * peak(1200, 250) + 0.3 * peak(2500, 300);
}

// Voiced speech in outline: a 140 Hz glottal tone whose harmonics up to 3.4 kHz follow the
// formants, a slow pitch glide, and a 4 Hz syllable envelope that never quite closes.
inline std::vector<int16_t> SpeechLike(int samples) {
    std::vector<int16_t> out(samples);
    double phase = 0;
    for (int i = 0; i < samples; ++i) {
        const double t = i / kSampleRate;
        const double pitch = 140.0 + 20.0 * std::sin(2 * std::numbers::pi * 0.7 * t);
        phase += 2 * std::numbers::pi * pitch / kSampleRate;
        double value = 0;
        for (int k = 1; k * pitch < 3400.0; ++k)
            value += Formants(k * pitch) * std::sin(k * phase);
        const double envelope = 0.15 + 0.85 * 0.5 * (1 - std::cos(2 * std::numbers::pi * 4.0 * t));
        out[i] = static_cast<int16_t>(std::lround(2500.0 * envelope * value));
    }
    return out;
}

// The best match of output against input over the lags 0..max_lag (the codec's delay), from
// `skip` samples on (past the codec's start-up).
struct Match {
    int lag = 0;
    double correlation = 0; // normalised, 1 = same shape
    double snr_db = 0;      // input power over the power of the difference
};

inline Match BestMatch(const std::vector<int16_t>& in, const std::vector<int16_t>& out, int skip,
                       int max_lag) {
    Match best;
    best.correlation = -2;
    for (int lag = 0; lag <= max_lag; ++lag) {
        double xy = 0, xx = 0, yy = 0, error = 0;
        for (size_t i = skip; i + lag < out.size() && i < in.size(); ++i) {
            const double x = in[i], y = out[i + lag];
            xy += x * y;
            xx += x * x;
            yy += y * y;
            error += (x - y) * (x - y);
        }
        const double correlation = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
        if (correlation > best.correlation)
            best = {lag, correlation, error > 0 ? 10 * std::log10(xx / error) : 200.0};
    }
    return best;
}

inline double RmsDb(const std::vector<int16_t>& x, int skip) {
    double sum = 0;
    for (size_t i = skip; i < x.size(); ++i)
        sum += double(x[i]) * x[i];
    return 10 * std::log10(sum / std::max<double>(1, x.size() - skip) + 1e-9);
}

// The frequency of the strongest component between 50 Hz and 3.95 kHz, in 2 Hz steps.
inline double DominantHz(const std::vector<int16_t>& x, int skip) {
    double best_hz = 0, best_power = -1;
    for (double hz = 50; hz < 3950; hz += 2) {
        double re = 0, im = 0;
        for (size_t i = skip; i < x.size(); ++i) {
            const double angle = 2 * std::numbers::pi * hz * i / kSampleRate;
            re += x[i] * std::cos(angle);
            im += x[i] * std::sin(angle);
        }
        if (re * re + im * im > best_power) {
            best_power = re * re + im * im;
            best_hz = hz;
        }
    }
    return best_hz;
}

} // namespace kztest
