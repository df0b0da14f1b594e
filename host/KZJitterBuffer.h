// KZ_JB_*: the receive jitter buffer of a call. It takes RTP payloads as they arrive (any order,
// duplicates, late) and gives them back in sequence order, each once, at the pace of the frame
// time, after a playout delay that covers the network's jitter.
//
// Delays are in frames. The delay starts at the minimum; an adaptive buffer grows it (up to the
// maximum) when packets come too late to be played and shrinks it again when the buffer has
// stayed fuller than needed for a while; a fixed one keeps the minimum and only drops what would
// exceed the maximum. A missing frame whose successor is already there is concealed by giving
// the previous frame again (flagged), a few times at most; then nothing is given until audio comes.
// Sequence numbers and timestamps may wrap. Storage is allocated at ResetAll, never per packet.
//
// Pacing reads the buffer's clock: each GetFrame call gives at most the frames due by now (one
// per frame time), so a tick that drains "until none" takes one frame per frame time. With
// get_all set every buffered frame is given at once, in order.
#pragma once

#include "host/CKZClock.h"

#include <cstdint>

namespace KZAPI {

struct KZJitterBuffer;
using KZ_JB_HANDLE = KZJitterBuffer*;

inline constexpr int KZ_JB_MAX_FRAME_BYTES = 1500;

struct KZ_JB_STATS {
    uint64_t added = 0;      // frames accepted
    uint64_t delivered = 0;  // frames given (concealments included)
    uint64_t duplicates = 0; // refused: already buffered or played
    uint64_t late = 0;       // refused: their playout time had passed
    uint64_t overflow = 0;   // dropped because the buffer was full
    uint64_t concealed = 0;  // missing frames given as a repeat
    uint64_t lost = 0;       // missing frames (concealed or not)
    int delay_frames = 0;    // current target playout delay
    int buffered_frames = 0;
};

KZ_JB_HANDLE KZ_JB_Create(const CKZClock* clock = nullptr);
void KZ_JB_Destroy(KZ_JB_HANDLE jb);
// Empties the buffer and sets its shape: delays in frames (min >= 1, max >= min), the decoded
// bytes of one frame (a hint for sizing), the frame time in ms, adaptive 0/1. False on nonsense.
bool KZ_JB_ResetAll(KZ_JB_HANDLE jb, int min_delay, int max_delay, int frame_bytes, int frame_time_ms,
                    int adaptive);
// Adds one payload (1..KZ_JB_MAX_FRAME_BYTES bytes). False when refused (duplicate, late, bad).
bool KZ_JB_AddFrame(KZ_JB_HANDLE jb, uint16_t sequence, uint32_t timestamp, const void* data, int length);
// Gives the next due frame into out; returns its length, 0 when none is due. sequence,
// timestamp and concealed (each may be null) describe it.
int KZ_JB_GetFrame(KZ_JB_HANDLE jb, void* out, int capacity, int get_all, uint16_t* sequence,
                   uint32_t* timestamp, bool* concealed = nullptr);
void KZ_JB_GetStats(KZ_JB_HANDLE jb, KZ_JB_STATS* stats);

} // namespace KZAPI
