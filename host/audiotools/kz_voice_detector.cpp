// KZ_VAD and KZ_BEEP: both cut what they are fed into 10 ms blocks and look at the last two
// blocks (20 ms) to tell a pure tone: the frequency from the interpolated upward zero crossings,
// the purity from a Goertzel filter at that frequency (the share of the window's energy that
// lies there: 1 for a sine, well under 0.9 for vowels, whose energy spreads over harmonics).
#include "host/audiotools/KZVoiceDetector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

namespace KZAPI {

namespace {

constexpr int kMinRate = 8000;
constexpr int kMaxRate = 48000;
constexpr int kBlocksPerSecond = 100; // 10 ms blocks
constexpr int kBlockMs = 1000 / kBlocksPerSecond;
constexpr double kFullScale = 32768.0;
constexpr double kSilentDb = -100.0;

constexpr int kDefaultMaxDb = 20;
constexpr int kDefaultMinAmplitude = 100;
constexpr double kLowestFloorDb = -90.0;
constexpr double kNoiseMarginDb = 6.0;
constexpr double kVoiceDepthDb = 10.0;
constexpr double kSlowRiseDb = 0.03;    // per block: 3 dB/s
constexpr double kFastRiseDb = 0.2;     // per block while the blocks sound like noise: 20 dB/s
constexpr double kNoiseCrossings = 0.3; // zero crossings per sample of hiss (0.5 for white noise)
constexpr double kPeakDecayDb = 0.05;   // per block: 5 dB/s
constexpr int kOnsetBlocks = 2;
constexpr int kReleaseBlocks = 7;
constexpr int kToneBlocks = 3;

constexpr int kDefaultBeepMs = 150;
constexpr double kPurity = 0.9;
constexpr double kSameFrequency = 0.03;

bool RateOk(int rate) {
    return rate >= kMinRate && rate <= kMaxRate;
}

struct Tone {
    double hz = 0;
    bool pure = false;
};

Tone MeasureTone(const int16_t* x, int n, int rate) {
    double mean = 0;
    for (int i = 0; i < n; ++i)
        mean += x[i];
    mean /= n;
    double first = -1, last = -1;
    int crossings = 0;
    for (int i = 0; i + 1 < n; ++i) {
        const double a = x[i] - mean, b = x[i + 1] - mean;
        if (a >= 0 || b < 0) continue;
        last = i + a / (a - b);
        if (first < 0) first = last;
        ++crossings;
    }
    if (crossings < 3 || last <= first) return {};
    Tone tone;
    tone.hz = (crossings - 1) * static_cast<double>(rate) / (last - first);
    const double coeff = 2.0 * std::cos(2.0 * std::numbers::pi * tone.hz / rate);
    double s1 = 0, s2 = 0, energy = 0;
    for (int i = 0; i < n; ++i) {
        const double v = x[i] - mean;
        energy += v * v;
        const double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    tone.pure = energy > 0 && 2.0 * power / (n * energy) >= kPurity;
    return tone;
}

// The stream cut into blocks; the window holds the previous block and the current one.
class BlockWindow {
public:
    explicit BlockWindow(int rate) : m_block(rate / kBlocksPerSecond), m_window(2 * m_block, 0) {}

    // Runs on_block(block, window, window_full) for every block completed by these samples.
    template <typename F> void Feed(const int16_t* samples, int count, F&& on_block) {
        while (count > 0) {
            const int take = std::min(count, m_block - m_filled);
            std::memcpy(m_window.data() + m_block + m_filled, samples, static_cast<size_t>(take) * 2);
            m_filled += take;
            samples += take;
            count -= take;
            if (m_filled < m_block) break;
            on_block(m_window.data() + m_block, m_window.data(), m_blocks > 0);
            std::memmove(m_window.data(), m_window.data() + m_block, static_cast<size_t>(m_block) * 2);
            m_filled = 0;
            ++m_blocks;
        }
    }
    void Reset() {
        std::fill(m_window.begin(), m_window.end(), 0);
        m_filled = 0;
        m_blocks = 0;
    }
    int Block() const { return m_block; }

private:
    int m_block;
    std::vector<int16_t> m_window;
    int m_filled = 0;
    uint64_t m_blocks = 0;
};

// Follows one steady pure tone from window to window.
class ToneRun {
public:
    // Returns the run's length in blocks after this window.
    int Next(const Tone& tone, bool loud_enough) {
        if (!tone.pure || !loud_enough) {
            m_blocks = 0;
            return 0;
        }
        if (m_blocks == 0 || std::abs(tone.hz - m_hz) > kSameFrequency * m_hz) {
            m_hz = tone.hz;
            m_blocks = 0;
        }
        return ++m_blocks;
    }
    double Hz() const { return m_hz; }
    void Reset() { m_blocks = 0; }

private:
    int m_blocks = 0;
    double m_hz = 0;
};

struct BlockMeasure {
    double level_db = kSilentDb;
    double rms = 0;
    double crossings = 0; // per sample
};

BlockMeasure Measure(const int16_t* x, int n) {
    double squares = 0;
    int crossings = 0;
    for (int i = 0; i < n; ++i) {
        squares += static_cast<double>(x[i]) * x[i];
        if (i > 0 && (x[i] < 0) != (x[i - 1] < 0)) ++crossings;
    }
    BlockMeasure m;
    if (squares > 0) m.level_db = 10.0 * std::log10(squares / n / (kFullScale * kFullScale));
    m.rms = std::sqrt(squares / n);
    m.crossings = static_cast<double>(crossings) / n;
    return m;
}

} // namespace

struct KZVADState {
    KZVADState(int rate_, int max_db_, int min_amplitude_)
        : rate(rate_), max_db(max_db_), min_amplitude(min_amplitude_), blocks(rate_) {
        Reset();
    }

    void Reset() {
        blocks.Reset();
        tone.Reset();
        floor_db = 20.0 * std::log10(min_amplitude / kFullScale);
        peak_db = kSilentDb;
        loud_run = quiet_run = tone_blocks = 0;
        active = false;
    }

    // A block of the start of a voice that is well above the floor: it starts the voice alone.
    bool Strong(const BlockMeasure& m) const {
        return m.rms >= min_amplitude && m.level_db >= floor_db + max_db;
    }

    bool Loud(const BlockMeasure& m) {
        if (m.level_db < floor_db) {
            floor_db = std::max(m.level_db, kLowestFloorDb);
        } else {
            const double rise = m.crossings >= kNoiseCrossings ? kFastRiseDb : kSlowRiseDb;
            floor_db = std::min(floor_db + rise, m.level_db);
        }
        peak_db = std::max(m.level_db, peak_db - kPeakDecayDb);
        if (m.rms < min_amplitude) return false;
        const bool above_floor = m.level_db >= floor_db + kNoiseMarginDb;
        const bool near_peak = m.level_db >= peak_db - max_db;
        // A voice starts near the speech's level, or far enough above the floor that a quiet first
        // consonant counts. Once on, its weak consonants may sink to the floor, and its syllables'
        // troughs (where the floor follows it down) count while the speech stands well above that
        // floor: a steady hiss never does.
        if (!active) return above_floor && (near_peak || m.level_db >= floor_db + max_db);
        return above_floor || (near_peak && peak_db >= floor_db + kVoiceDepthDb);
    }

    void OnBlock(const int16_t* block, const int16_t* window, bool window_full) {
        const BlockMeasure m = Measure(block, blocks.Block());
        const bool strong = Strong(m); // against the floor before this block moves it
        const bool loud = Loud(m);
        if (loud) {
            quiet_run = 0;
            if (++loud_run >= kOnsetBlocks || strong) active = true;
        } else {
            loud_run = 0;
            if (active && ++quiet_run >= kReleaseBlocks) active = false;
        }
        const Tone t = window_full ? MeasureTone(window, 2 * blocks.Block(), rate) : Tone{};
        tone_blocks = tone.Next(t, m.rms >= min_amplitude);
    }

    int Verdict() const {
        if (!active) return KZ_VAD_SILENCE;
        return tone_blocks >= kToneBlocks ? KZ_VAD_TONE : KZ_VAD_VOICE;
    }

    int rate;
    int max_db;
    int min_amplitude;
    BlockWindow blocks;
    ToneRun tone;
    double floor_db = 0;
    double peak_db = kSilentDb;
    int loud_run = 0;
    int quiet_run = 0;
    int tone_blocks = 0;
    bool active = false;
};

KZ_VAD_HANDLE KZ_VAD_Create(int rate, int max_db_level, int max_sound_level) {
    if (!RateOk(rate)) return nullptr;
    return std::make_unique<KZVADState>(rate, max_db_level > 0 ? max_db_level : kDefaultMaxDb,
                                        max_sound_level > 0 ? max_sound_level : kDefaultMinAmplitude)
        .release();
}

void KZ_VAD_Destroy(KZ_VAD_HANDLE handle) {
    std::unique_ptr<KZVADState> owned(handle);
}

void KZ_VAD_Feed(KZ_VAD_HANDLE handle, const int16_t* samples, int count) {
    if (!handle || !samples || count <= 0) return;
    handle->blocks.Feed(samples, count, [handle](const int16_t* block, const int16_t* window, bool full) {
        handle->OnBlock(block, window, full);
    });
}

int KZ_VAD_GetVerdict(KZ_VAD_HANDLE handle) {
    return handle ? handle->Verdict() : KZ_VAD_SILENCE;
}

void KZ_VAD_Reset(KZ_VAD_HANDLE handle) {
    if (handle) handle->Reset();
}

struct KZBeepState {
    KZBeepState(int rate_, int min_ms_) : rate(rate_), min_ms(min_ms_), blocks(rate_) {}

    // The beep's frequency when this block makes it long enough.
    int OnBlock(const int16_t* block, const int16_t* window, bool window_full) {
        const BlockMeasure m = Measure(block, blocks.Block());
        const Tone t = window_full ? MeasureTone(window, 2 * blocks.Block(), rate) : Tone{};
        const int run = tone.Next(t, m.rms >= kDefaultMinAmplitude);
        if (run == 0) {
            reported = false;
            return 0;
        }
        // The first pure window already covers two blocks of the tone.
        if (reported || (run + 1) * kBlockMs < min_ms) return 0;
        reported = true;
        return static_cast<int>(std::lround(tone.Hz()));
    }

    int rate;
    int min_ms;
    BlockWindow blocks;
    ToneRun tone;
    bool reported = false;
};

KZ_BEEP_HANDLE KZ_BEEP_Create(int rate, int min_ms) {
    if (!RateOk(rate)) return nullptr;
    return std::make_unique<KZBeepState>(rate, min_ms > 0 ? min_ms : kDefaultBeepMs).release();
}

void KZ_BEEP_Destroy(KZ_BEEP_HANDLE handle) {
    std::unique_ptr<KZBeepState> owned(handle);
}

int KZ_BEEP_Process(KZ_BEEP_HANDLE handle, const int16_t* samples, int count) {
    if (!handle || !samples || count <= 0) return 0;
    int found = 0;
    handle->blocks.Feed(samples, count, [&](const int16_t* block, const int16_t* window, bool full) {
        if (const int hz = handle->OnBlock(block, window, full)) found = hz;
    });
    return found;
}

void KZ_BEEP_Reset(KZ_BEEP_HANDLE handle) {
    if (!handle) return;
    handle->blocks.Reset();
    handle->tone.Reset();
    handle->reported = false;
}

} // namespace KZAPI
