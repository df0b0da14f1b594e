// KZRTPSocketPool: bound RTP/RTCP socket pairs kept between calls.
//
// Opening, binding and closing two sockets per call is most of a call's system calls; a call
// that ends hands its pair back here and the next call on the same local address and port takes
// it again. A pair is handed out only for the very address and port it is bound to, so the
// configured port range is never left; what arrived on it while it was kept (late packets of the
// previous call) is read away before it is handed out. The pool is bounded: a pair that does not
// fit is closed.
#pragma once

#include "host/CMutex.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace KZAPI {

class KZRTPSocketPool {
public:
    explicit KZRTPSocketPool(size_t capacity);
    ~KZRTPSocketPool(); // closes every pair kept
    KZRTPSocketPool(const KZRTPSocketPool&) = delete;
    KZRTPSocketPool& operator=(const KZRTPSocketPool&) = delete;

    // The process's pool, sized to leave most of the descriptor limit to everything else.
    static KZRTPSocketPool& Instance();

    // A kept pair bound to ipv4 (network order):port (RTCP on port + 1), emptied of waiting
    // datagrams; false when none is kept.
    bool Take(uint32_t ipv4, uint16_t port, int* rtp_fd, int* rtcp_fd);
    // Keeps a bound pair for a later Take; closes it when the pool is full or a pair for the same
    // address and port is kept already.
    void Put(uint32_t ipv4, uint16_t port, int rtp_fd, int rtcp_fd);
    // Closes any kept pair holding port (as its RTP or RTCP port), so that another part of the
    // process (a relay taking over a call's ports) can bind it.
    void EvictPort(uint16_t port);
    size_t Size() const;

private:
    struct Pair {
        uint64_t key;
        int rtp_fd;
        int rtcp_fd;
    };
    static uint64_t Key(uint32_t ipv4, uint16_t port) { return (uint64_t{ipv4} << 16) | port; }

    const size_t m_capacity;
    mutable CMutex m_mutex;
    std::vector<Pair> m_pairs; // capacity reserved up front: no allocation per call
};

} // namespace KZAPI
