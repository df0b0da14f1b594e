#include "host/KZJitterBuffer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace KZAPI {

namespace {

constexpr int kMaxDelayFrames = 1000; // bounds the storage a reset may ask for
constexpr int kSpareSlots = 4;        // room for a frame or two beyond the maximum delay
constexpr int kMaxConcealRun = 3;     // repeats of the previous frame before a gap
constexpr int64_t kResyncJump = 100;  // a larger sequence jump starts a new stream
constexpr uint64_t kCalmWindowMs = 5000;
constexpr int kHistoryBits = 64; // played frames remembered to tell duplicates from late ones

struct Slot {
    bool used = false;
    int64_t ext = 0;
    uint32_t timestamp = 0;
    int length = 0;
    uint64_t arrival_ms = 0;
};

} // namespace

// Frames live in a ring indexed by their extended sequence number (sequence plus wrap count),
// covering [next_play, next_play + capacity). The playout side walks next_play on a grid of
// frame times kept in next_due_ms.
struct KZJitterBuffer {
    explicit KZJitterBuffer(const CKZClock* c) : clock(c ? c : &CKZClock::System()) {}

    std::mutex mutex;
    const CKZClock* clock;

    // shape
    int min_delay = 2;
    int max_delay = 25;
    int frame_ms = 20;
    bool adaptive = false;
    int capacity = 0;
    std::vector<Slot> slots;
    std::vector<uint8_t> storage; // capacity * KZ_JB_MAX_FRAME_BYTES
    uint8_t last_frame[KZ_JB_MAX_FRAME_BYTES] = {};

    // stream
    bool have_ref = false;   // a frame has been taken since the reset or resync
    bool played_any = false; // next_play has been handed out at least once
    bool playing = false;    // false while (re)filling to the target delay
    int64_t highest = 0;     // highest extended sequence seen
    int64_t next_play = 0;
    int buffered = 0;
    int32_t bad_seq = -1; // a large jump confirmed by its successor resynchronises
    // The frame that made the jump, kept until its successor confirms the new stream.
    uint8_t probation[KZ_JB_MAX_FRAME_BYTES] = {};
    int probation_length = 0;
    uint16_t probation_seq = 0;
    uint32_t probation_ts = 0;
    uint64_t history = 0; // bit k: next_play-1-k was played from real audio

    // playout
    uint64_t next_due_ms = 0;
    int target = 2;
    int pending_pauses = 0; // slots to hold back after the target grew
    int conceal_run = 0;
    int last_length = 0;
    uint32_t last_timestamp = 0;
    uint32_t timestamp_step = 160;
    bool have_last = false;

    // adaptation window
    uint64_t window_start_ms = 0;
    uint64_t window_min_wait_ms = 0; // least time a played frame waited in the buffer
    bool window_late = false;

    KZ_JB_STATS stats;

    uint8_t* SlotData(int index) {
        return storage.data() + static_cast<size_t>(index) * KZ_JB_MAX_FRAME_BYTES;
    }
    int IndexOf(int64_t ext) const { return static_cast<int>(ext % capacity); }
    Slot& SlotOf(int64_t ext) { return slots[IndexOf(ext)]; }
    bool IsBuffered(int64_t ext) { return SlotOf(ext).used && SlotOf(ext).ext == ext; }
};

namespace {

using JB = KZJitterBuffer;

void ClearStream(JB& jb) {
    for (Slot& s : jb.slots)
        s.used = false;
    jb.have_ref = jb.played_any = jb.playing = false;
    jb.buffered = 0;
    jb.bad_seq = -1;
    jb.history = 0;
    jb.pending_pauses = 0;
    jb.conceal_run = 0;
    jb.have_last = false;
    jb.window_late = false;
    jb.window_min_wait_ms = UINT64_MAX;
}

// Moves the playout point on by one frame, remembering whether that frame was really played.
void Advance(JB& jb, bool played_real) {
    Slot& s = jb.SlotOf(jb.next_play);
    if (s.used && s.ext == jb.next_play) {
        s.used = false;
        --jb.buffered;
    }
    jb.history = (jb.history << 1) | (played_real ? 1u : 0u);
    ++jb.next_play;
}

// Drops the frame at next_play (or counts it lost when it never came).
void DropOldest(JB& jb) {
    if (jb.IsBuffered(jb.next_play))
        ++jb.stats.overflow;
    else
        ++jb.stats.lost;
    jb.played_any = true; // what was dropped must not come back as an early arrival
    Advance(jb, false);
}

int64_t Extend(const JB& jb, uint16_t sequence) {
    const auto delta =
        static_cast<int16_t>(static_cast<uint16_t>(sequence - static_cast<uint16_t>(jb.highest)));
    return jb.highest + delta;
}

void Store(JB& jb, int64_t ext, uint32_t timestamp, const void* data, int length) {
    const int index = jb.IndexOf(ext);
    Slot& s = jb.slots[index];
    s = Slot{true, ext, timestamp, length, jb.clock->TickMs()};
    std::memcpy(jb.SlotData(index), data, static_cast<size_t>(length));
    ++jb.buffered;
    ++jb.stats.added;
    jb.highest = std::max(jb.highest, ext);
    while (jb.buffered > jb.max_delay)
        DropOldest(jb);
}

// True when the frame is to be stored; counts what it refuses.
bool Admit(JB& jb, uint16_t sequence, uint32_t timestamp, const void* data, int length, int64_t& ext) {
    if (!jb.have_ref) {
        // Extended numbers start high so that early reordering never goes negative.
        jb.highest = (int64_t{1} << 32) + sequence;
        jb.next_play = jb.highest;
        jb.have_ref = true;
        ext = jb.highest;
        return true;
    }
    ext = Extend(jb, sequence);
    if (ext - jb.highest > kResyncJump || jb.highest - ext > kResyncJump) {
        // One stray packet must not wipe the stream; its successor confirms a new one.
        if (jb.bad_seq != sequence) {
            jb.bad_seq = static_cast<uint16_t>(sequence + 1);
            jb.probation_seq = sequence;
            jb.probation_ts = timestamp;
            jb.probation_length = length;
            std::memcpy(jb.probation, data, static_cast<size_t>(length));
            return false;
        }
        ClearStream(jb);
        int64_t first = 0;
        Admit(jb, jb.probation_seq, jb.probation_ts, jb.probation, jb.probation_length, first);
        Store(jb, first, jb.probation_ts, jb.probation, jb.probation_length);
        return Admit(jb, sequence, timestamp, data, length, ext);
    }
    jb.bad_seq = -1;
    if (ext < jb.next_play) {
        const int64_t back = jb.next_play - 1 - ext;
        if (!jb.played_any && jb.highest - ext < jb.capacity) {
            jb.next_play = ext; // reordered before playout began
            return true;
        }
        if (back < kHistoryBits && (jb.history >> back) & 1u) {
            ++jb.stats.duplicates;
            return false;
        }
        ++jb.stats.late;
        jb.window_late = true;
        if (jb.adaptive && jb.target < jb.max_delay) {
            ++jb.target;
            ++jb.pending_pauses;
        }
        return false;
    }
    if (jb.IsBuffered(ext)) {
        ++jb.stats.duplicates;
        return false;
    }
    while (ext - jb.next_play >= jb.capacity)
        DropOldest(jb);
    return true;
}

struct Frame {
    int length = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    bool concealed = false;
};

Frame CopyOut(JB& jb, int index, void* out, int capacity) {
    const Slot& s = jb.slots[index];
    const int n = std::min(s.length, capacity);
    std::memcpy(out, jb.SlotData(index), static_cast<size_t>(n));
    std::memcpy(jb.last_frame, jb.SlotData(index), static_cast<size_t>(s.length));
    return {n, static_cast<uint16_t>(s.ext), s.timestamp, false};
}

// Gives the buffered frame at next_play.
Frame PlayBuffered(JB& jb, uint64_t now, void* out, int capacity) {
    const Slot& s = jb.SlotOf(jb.next_play);
    if (jb.have_last && jb.conceal_run == 0 && s.ext == jb.next_play) {
        const auto step = static_cast<int32_t>(s.timestamp - jb.last_timestamp);
        if (step > 0 && step < (1 << 20) && (jb.history & 1u))
            jb.timestamp_step = static_cast<uint32_t>(step);
    }
    jb.window_min_wait_ms = std::min(jb.window_min_wait_ms, now - std::min(now, s.arrival_ms));
    Frame f = CopyOut(jb, jb.IndexOf(jb.next_play), out, capacity);
    jb.last_length = s.length;
    jb.last_timestamp = s.timestamp;
    jb.have_last = true;
    jb.conceal_run = 0;
    jb.played_any = true;
    Advance(jb, true);
    return f;
}

// next_play is missing while later audio is buffered: repeat the previous frame a few times,
// then leave a gap (length 0) for the rest of the hole.
Frame PlayMissing(JB& jb, void* out, int capacity) {
    ++jb.stats.lost;
    jb.window_min_wait_ms = 0;
    Frame f;
    if (jb.have_last && jb.conceal_run < kMaxConcealRun) {
        ++jb.conceal_run;
        f.length = std::min(jb.last_length, capacity);
        std::memcpy(out, jb.last_frame, static_cast<size_t>(f.length));
        f.sequence = static_cast<uint16_t>(jb.next_play);
        f.timestamp = jb.last_timestamp + jb.timestamp_step * static_cast<uint32_t>(jb.conceal_run);
        f.concealed = true;
        ++jb.stats.concealed;
    }
    jb.played_any = true;
    Advance(jb, false);
    return f;
}

bool ReadyToStart(const JB& jb, uint64_t now) {
    if (jb.buffered >= jb.target) return true;
    uint64_t oldest = UINT64_MAX;
    for (const Slot& s : jb.slots)
        if (s.used) oldest = std::min(oldest, s.arrival_ms);
    return oldest != UINT64_MAX && now - oldest >= static_cast<uint64_t>(jb.target) * jb.frame_ms;
}

// Every calm window the buffer may give back a frame of delay. The measure is how long the
// played frames had waited: when every one was there at least a frame time before its turn (and
// none came late), an adaptive buffer lowers its target by one; when every one waited more than
// target + 1 frame times, the buffer holds more than it should in either mode. Either way the
// oldest frame is dropped to take the delay out.
void Adapt(JB& jb, uint64_t now) {
    if (now - jb.window_start_ms < kCalmWindowMs) return;
    const uint64_t frame = static_cast<uint64_t>(jb.frame_ms);
    const bool calm = jb.window_min_wait_ms != UINT64_MAX && jb.window_min_wait_ms >= frame;
    const bool shrink = jb.adaptive && calm && !jb.window_late && jb.target > jb.min_delay;
    const bool excess = calm && jb.window_min_wait_ms >= frame * static_cast<uint64_t>(jb.target + 1);
    if (shrink) --jb.target;
    if ((shrink || excess) && jb.buffered > 1) DropOldest(jb);
    jb.window_start_ms = now;
    jb.window_min_wait_ms = UINT64_MAX;
    jb.window_late = false;
}

// One due slot of the playout grid: a frame, a concealment, or nothing (gap or pause).
Frame PlaySlot(JB& jb, uint64_t now, void* out, int capacity) {
    jb.next_due_ms += static_cast<uint64_t>(jb.frame_ms);
    if (jb.pending_pauses > 0) {
        --jb.pending_pauses;
        return {};
    }
    Adapt(jb, now);
    if (jb.IsBuffered(jb.next_play)) return PlayBuffered(jb, now, out, capacity);
    return PlayMissing(jb, out, capacity);
}

Frame NextPaced(JB& jb, void* out, int capacity) {
    const uint64_t now = jb.clock->TickMs();
    if (!jb.playing) {
        if (!jb.have_ref || jb.buffered == 0 || !ReadyToStart(jb, now)) return {};
        // Frames that fell due while the buffer was dry are gone; resume at the oldest one here.
        while (jb.played_any && !jb.IsBuffered(jb.next_play)) {
            ++jb.stats.lost;
            Advance(jb, false);
        }
        jb.playing = true;
        jb.next_due_ms = now;
        jb.window_start_ms = now;
        jb.window_min_wait_ms = UINT64_MAX;
    }
    const auto frame = static_cast<uint64_t>(jb.frame_ms);
    // A caller late by many frames catches up by at most max_delay of them.
    if (now > jb.next_due_ms + frame * jb.max_delay) jb.next_due_ms = now - frame * (jb.max_delay - 1);
    while (jb.next_due_ms <= now + frame / 2) {
        if (jb.buffered == 0) {
            jb.playing = false; // ran dry: refill to the target before playing on
            return {};
        }
        const Frame f = PlaySlot(jb, now, out, capacity);
        if (f.length > 0) return f;
    }
    return {};
}

Frame NextAll(JB& jb, void* out, int capacity) {
    while (jb.buffered > 0) {
        if (jb.IsBuffered(jb.next_play)) return PlayBuffered(jb, jb.clock->TickMs(), out, capacity);
        ++jb.stats.lost;
        jb.played_any = true;
        Advance(jb, false);
    }
    jb.playing = false;
    return {};
}

} // namespace

KZ_JB_HANDLE KZ_JB_Create(const CKZClock* clock) {
    auto jb = std::make_unique<KZJitterBuffer>(clock);
    KZ_JB_ResetAll(jb.get(), 2, 25, 320, 20, 0);
    return jb.release();
}

void KZ_JB_Destroy(KZ_JB_HANDLE jb) {
    std::unique_ptr<KZJitterBuffer> owned(jb);
}

bool KZ_JB_ResetAll(KZ_JB_HANDLE jb, int min_delay, int max_delay, int frame_bytes, int frame_time_ms,
                    int adaptive) {
    if (!jb || min_delay < 1 || max_delay < min_delay || max_delay > kMaxDelayFrames || frame_bytes < 0 ||
        frame_time_ms <= 0 || frame_time_ms > 1000)
        return false;
    std::lock_guard lock(jb->mutex);
    jb->min_delay = min_delay;
    jb->max_delay = max_delay;
    jb->frame_ms = frame_time_ms;
    jb->adaptive = adaptive != 0;
    jb->capacity = max_delay + kSpareSlots;
    jb->slots.assign(static_cast<size_t>(jb->capacity), Slot{});
    jb->storage.resize(static_cast<size_t>(jb->capacity) * KZ_JB_MAX_FRAME_BYTES);
    jb->target = min_delay;
    jb->timestamp_step = static_cast<uint32_t>(frame_time_ms) * 8u;
    jb->stats = {};
    ClearStream(*jb);
    return true;
}

bool KZ_JB_AddFrame(KZ_JB_HANDLE jb, uint16_t sequence, uint32_t timestamp, const void* data, int length) {
    if (!jb || !data || length <= 0 || length > KZ_JB_MAX_FRAME_BYTES) return false;
    std::lock_guard lock(jb->mutex);
    int64_t ext = 0;
    if (!Admit(*jb, sequence, timestamp, data, length, ext)) return false;
    Store(*jb, ext, timestamp, data, length);
    return true;
}

int KZ_JB_GetFrame(KZ_JB_HANDLE jb, void* out, int capacity, int get_all, uint16_t* sequence,
                   uint32_t* timestamp, bool* concealed) {
    if (!jb || !out || capacity <= 0) return 0;
    std::lock_guard lock(jb->mutex);
    const Frame f = get_all ? NextAll(*jb, out, capacity) : NextPaced(*jb, out, capacity);
    if (f.length == 0) return 0;
    ++jb->stats.delivered;
    if (sequence) *sequence = f.sequence;
    if (timestamp) *timestamp = f.timestamp;
    if (concealed) *concealed = f.concealed;
    return f.length;
}

void KZ_JB_GetStats(KZ_JB_HANDLE jb, KZ_JB_STATS* stats) {
    if (!stats) return;
    *stats = {};
    if (!jb) return;
    std::lock_guard lock(jb->mutex);
    *stats = jb->stats;
    stats->delay_frames = jb->target;
    stats->buffered_frames = jb->buffered;
}

} // namespace KZAPI
