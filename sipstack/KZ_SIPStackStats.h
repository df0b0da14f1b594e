/* KZ_SIPStackStats: counters of one stack instance, read with KZ_SIP_GetStats. Every field is a
 * total since KZ_SIP_Open unless it says "now". A plain C record so any caller can read it. */
#pragma once

#include <stdint.h>

typedef struct KZ_SIPStackStats {
    /* received data */
    uint64_t blocks_received;    /* blocks handed to the stack by the transports */
    uint64_t messages_delivered; /* received messages delivered as events */
    uint64_t external_messages;  /* of those, texts that are not SIP (no SIP/2.0 in the first line) */
    uint64_t parse_failures;     /* blocks (or parts of blocks) that did not parse */
    uint64_t rejected;           /* parsed, but refused: no Via, no Call-ID, no dialog */
    uint64_t keep_alives;        /* blocks of nothing but line ends and blanks (a peer's keep-alive) */
    uint64_t dropped_queue_full; /* blocks dropped because the received queue was full */
    uint64_t queued_bytes;       /* now: bytes held by the received queue */
    uint64_t queued_bytes_peak;  /* highest value queued_bytes reached */
    uint64_t queued_bytes_limit; /* the bound of queued_bytes */
    /* sending */
    uint64_t undeliverable;         /* sent blocks a transport could not deliver */
    uint64_t undeliverable_dropped; /* of those, reported only in this count (report queue full) */
    /* dialogs */
    uint64_t dialogs; /* now */
    /* stream transports (TCP, TLS) */
    uint64_t stream_refused_by_limits;
    uint64_t stream_idle_closes;
    uint64_t stream_handshake_failures;
    uint64_t stream_connect_failures;
    uint64_t reserved[7]; /* always zero */
} KZ_SIPStackStats;
