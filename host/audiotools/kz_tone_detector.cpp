// Call-progress tones are told apart by their frequencies and their cadence.
//
// Every 20 ms the last 40 ms of audio are classified: a tone group of the table (one or two
// frequencies that hold most of the energy, measured with Goertzel filters), quiet, or other sound.
// A 40 ms window resolves 25 Hz, which separates the European 425 Hz from North America's 440 Hz
// even when both tables are watched at once. Runs of one class form segments; a class must last
// two windows to begin a segment, so one odd window does not split a tone. A cadenced tone is
// recognised from a whole on segment and a whole quiet segment of the right lengths followed by the
// tone again; a continuous one once it has lasted longer than any cadence of the same frequencies.
// Speech neither holds a pure tone nor falls quiet in rhythm, so it matches nothing.
#include "host/audiotools/KZToneDetector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <memory>
#include <numbers>
#include <utility>
#include <vector>

namespace KZAPI {

namespace {

constexpr int kRate = 8000;
constexpr int kHop = 160; // 20 ms
constexpr int kHopMs = kHop * 1000 / kRate;
constexpr int kWindow = 2 * kHop;
constexpr int kMaxTones = 256;
constexpr size_t kMaxQueued = 64; // recognitions waiting to be returned
constexpr int kMinHz = 100;
constexpr int kMaxHz = 3900;
constexpr int kMaxStepMs = 60000;
constexpr int kDefaultContinuousMs = 1000;
constexpr int kConfirmHops = 2;
// A single tone holds this share of the window's energy; each of a pair at least the smaller
// share (about 9 dB of twist) and both together the larger.
constexpr double kToneShare = 0.6;
constexpr double kPartnerShare = 0.1;
// Tones quieter than -45 dBFS are not looked for; quiet is that, or 10 dB under the last tone.
constexpr double kMinToneMeanSquare = 33960.0;
constexpr double kQuietBelowTone = 0.1;
// Cadence tolerance: 12 % and 60 ms either way (networks differ, and the windows blur the edges).
constexpr double kCadenceTolerance = 0.12;
constexpr int kCadenceSlackMs = 60;

constexpr int kQuiet = -1;
constexpr int kOther = -2;

struct Range {
    int low = 0; // hops
    int high = 0;
    bool Holds(int hops) const { return hops >= low && hops <= high; }
};

Range CadenceRange(int ms) {
    const double low = ms * (1.0 - kCadenceTolerance) - kCadenceSlackMs;
    const double high = ms * (1.0 + kCadenceTolerance) + kCadenceSlackMs;
    return {std::max(1, static_cast<int>(std::floor(low / kHopMs))),
            static_cast<int>(std::ceil(high / kHopMs))};
}

struct ToneGroup {
    int frequency1 = 0;
    int frequency2 = 0; // 0 for a single tone
    bool operator==(const ToneGroup&) const = default;
};

struct ToneSpec {
    bool usable = false;
    int group = kOther;
    bool continuous = false;
    Range on;
    Range off;
    int continuous_hops = 0;
};

struct Segment {
    int kind = kOther; // a group index, kQuiet or kOther
    int hops = 0;
};

bool Usable(const KZ_TONE_DEF& def) {
    const auto audible = [](int hz) { return hz >= kMinHz && hz <= kMaxHz; };
    const bool steps_ok =
        def.on_ms >= 0 && def.on_ms <= kMaxStepMs && def.off_ms >= 0 && def.off_ms <= kMaxStepMs;
    const bool cadence_ok = def.off_ms == 0 || def.on_ms > 0;
    return audible(def.frequency1) && (def.frequency2 == 0 || audible(def.frequency2)) && steps_ok &&
           cadence_ok;
}

double GoertzelPower(const int16_t* samples, int count, double coefficient) {
    double previous = 0.0;
    double before = 0.0;
    for (int i = 0; i < count; ++i) {
        const double current = samples[i] + coefficient * previous - before;
        before = previous;
        previous = current;
    }
    return previous * previous + before * before - coefficient * previous * before;
}

} // namespace

struct KZToneDetectorState {
    std::vector<ToneSpec> tones;
    std::vector<ToneGroup> groups;
    std::array<int16_t, kWindow> window{};
    int hop_fill = 0;
    double tone_level = 0.0; // mean square of the last window that held a tone
    Segment current;
    Segment last; // the segment before `current`
    Segment before_last;
    Segment pending; // a new class not yet confirmed
    int reported = -1;
    std::deque<int> recognised;

    bool Build(const KZ_TONE_DEF* defs, int count) {
        tones.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            if (!Usable(defs[i])) continue;
            ToneSpec& spec = tones[static_cast<size_t>(i)];
            spec.usable = true;
            spec.group = GroupOf(defs[i]);
            spec.continuous = defs[i].off_ms == 0;
            spec.on = CadenceRange(defs[i].on_ms);
            spec.off = CadenceRange(defs[i].off_ms);
        }
        // A continuous tone must outlast every cadenced "on" of the same frequencies.
        for (int i = 0; i < count; ++i) {
            ToneSpec& spec = tones[static_cast<size_t>(i)];
            if (!spec.usable || !spec.continuous) continue;
            int hops = (defs[i].on_ms > 0 ? defs[i].on_ms : kDefaultContinuousMs) / kHopMs;
            for (const ToneSpec& other : tones) {
                if (other.usable && !other.continuous && other.group == spec.group)
                    hops = std::max(hops, other.on.high + 1);
            }
            spec.continuous_hops = hops;
        }
        return std::any_of(tones.begin(), tones.end(), [](const ToneSpec& spec) { return spec.usable; });
    }

    int GroupOf(const KZ_TONE_DEF& def) {
        ToneGroup group{std::min(def.frequency1, def.frequency2), std::max(def.frequency1, def.frequency2)};
        if (group.frequency1 == 0 || group.frequency1 == group.frequency2) group = {group.frequency2, 0};
        const auto found = std::find(groups.begin(), groups.end(), group);
        if (found != groups.end()) return static_cast<int>(found - groups.begin());
        groups.push_back(group);
        return static_cast<int>(groups.size()) - 1;
    }

    void Reset() {
        window.fill(0);
        hop_fill = 0;
        tone_level = 0.0;
        current = last = before_last = pending = Segment{};
        reported = -1;
        recognised.clear();
    }

    void Feed(const int16_t* samples, int count) {
        for (int i = 0; i < count; ++i) {
            window[static_cast<size_t>(kHop + hop_fill)] = samples[i];
            if (++hop_fill < kHop) continue;
            Advance(Classify());
            std::copy(window.begin() + kHop, window.end(), window.begin());
            hop_fill = 0;
        }
    }

    // Share of the window's energy at `hz`: 1 for a pure tone there.
    double Share(int hz, double energy) const {
        const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * hz / kRate);
        return 2.0 * GoertzelPower(window.data(), kWindow, coefficient) / (kWindow * energy);
    }

    int Classify() {
        double energy = 0.0;
        for (const int16_t sample : window)
            energy += static_cast<double>(sample) * sample;
        const double mean_square = energy / kWindow;
        if (mean_square < kMinToneMeanSquare) return kQuiet;
        int best = kOther;
        double best_share = 0.0;
        for (size_t g = 0; g < groups.size(); ++g) {
            const double share1 = Share(groups[g].frequency1, energy);
            double share = share1;
            if (groups[g].frequency2 != 0) {
                const double share2 = Share(groups[g].frequency2, energy);
                if (std::min(share1, share2) < kPartnerShare) continue;
                share += share2;
            }
            if (share >= kToneShare && share > best_share) {
                best = static_cast<int>(g);
                best_share = share;
            }
        }
        if (best >= 0) {
            tone_level = mean_square;
            return best;
        }
        return mean_square < tone_level * kQuietBelowTone ? kQuiet : kOther;
    }

    void Advance(int kind) {
        if (kind == current.kind) {
            current.hops += 1 + pending.hops;
            pending.hops = 0;
        } else if (pending.hops > 0 && kind == pending.kind) {
            if (++pending.hops >= kConfirmHops) {
                StartSegment(pending);
                pending.hops = 0;
            }
        } else {
            current.hops += pending.hops; // an odd window belongs to the segment around it
            pending = {kind, 1};
        }
        WatchCurrent();
    }

    void StartSegment(const Segment& next) {
        before_last = last;
        last = current;
        current = next;
        if (reported >= 0 && !Continues(tones[static_cast<size_t>(reported)], last)) reported = -1;
        for (size_t i = 0; i < tones.size(); ++i) {
            const ToneSpec& spec = tones[i];
            if (!spec.usable || spec.continuous) continue;
            const bool cycle = before_last.kind == spec.group && spec.on.Holds(before_last.hops) &&
                               last.kind == kQuiet && spec.off.Holds(last.hops) && current.kind == spec.group;
            if (cycle) {
                Recognise(static_cast<int>(i));
                return;
            }
        }
    }

    // Whether a finished segment keeps a reported cadence going.
    static bool Continues(const ToneSpec& spec, const Segment& segment) {
        if (spec.continuous) return false;
        if (segment.kind == spec.group) return spec.on.Holds(segment.hops);
        return segment.kind == kQuiet && spec.off.Holds(segment.hops);
    }

    // The open segment may already break a reported cadence, or complete a continuous tone.
    void WatchCurrent() {
        if (reported >= 0) {
            const ToneSpec& spec = tones[static_cast<size_t>(reported)];
            const bool overrun = current.kind == spec.group ? !spec.continuous && current.hops > spec.on.high
                                 : current.kind == kQuiet   ? current.hops > spec.off.high
                                                            : true;
            if (overrun) reported = -1;
        }
        for (size_t i = 0; i < tones.size(); ++i) {
            const ToneSpec& spec = tones[i];
            if (spec.usable && spec.continuous && current.kind == spec.group &&
                current.hops >= spec.continuous_hops) {
                Recognise(static_cast<int>(i));
                return;
            }
        }
    }

    void Recognise(int index) {
        if (reported == index) return;
        reported = index;
        if (recognised.size() < kMaxQueued) recognised.push_back(index);
    }
};

KZ_TONE_HANDLE KZ_TONE_Create(const KZ_TONE_DEF* defs, int count) {
    if (defs == nullptr || count <= 0 || count > kMaxTones) return nullptr;
    auto state = std::make_unique<KZToneDetectorState>();
    if (!state->Build(defs, count)) return nullptr;
    return state.release();
}

void KZ_TONE_Destroy(KZ_TONE_HANDLE handle) {
    std::unique_ptr<KZToneDetectorState> owned(handle);
}

int KZ_TONE_Process(KZ_TONE_HANDLE handle, const int16_t* samples, int count) {
    if (handle == nullptr) return -1;
    if (samples != nullptr && count > 0) handle->Feed(samples, count);
    if (handle->recognised.empty()) return -1;
    const int index = handle->recognised.front();
    handle->recognised.pop_front();
    return index;
}

void KZ_TONE_Reset(KZ_TONE_HANDLE handle) {
    if (handle != nullptr) handle->Reset();
}

} // namespace KZAPI
