#include "host/KZRTPSocketPool.h"

#include <algorithm>
#include <new>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace KZAPI {

namespace {

constexpr size_t kMostPairs = 1024;
// Descriptors per pair, and the share of the descriptor limit the pool may hold.
constexpr size_t kFdsPerPair = 2;
constexpr size_t kLimitShare = 4;
// A flood on a kept port must not hold up the call taking it: this much is read away at most,
// and the session's source check deals with the rest.
constexpr int kMostDrained = 1024;

// Reads every datagram waiting on fd without blocking.
void drain(int fd) {
    char scrap[64];
    for (int i = 0; i < kMostDrained && recv(fd, scrap, sizeof(scrap), MSG_DONTWAIT | MSG_TRUNC) >= 0; ++i) {
    }
}

void close_pair(int rtp_fd, int rtcp_fd) {
    if (rtp_fd >= 0) close(rtp_fd);
    if (rtcp_fd >= 0) close(rtcp_fd);
}

size_t capacity_for_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMostPairs;
    return std::min(kMostPairs, static_cast<size_t>(limit.rlim_cur) / kLimitShare / kFdsPerPair);
}

} // namespace

KZRTPSocketPool::KZRTPSocketPool(size_t capacity) : m_capacity(capacity) {
    m_pairs.reserve(capacity);
}

KZRTPSocketPool::~KZRTPSocketPool() {
    for (const Pair& p : m_pairs)
        close_pair(p.rtp_fd, p.rtcp_fd);
}

KZRTPSocketPool& KZRTPSocketPool::Instance() {
    // Never destroyed: calls still ending while the process exits hand their sockets back after
    // the static destructors ran, and the kernel closes what is kept at exit anyway.
    alignas(KZRTPSocketPool) static unsigned char storage[sizeof(KZRTPSocketPool)];
    static KZRTPSocketPool* const pool = ::new (storage) KZRTPSocketPool(capacity_for_descriptor_limit());
    return *pool;
}

bool KZRTPSocketPool::Take(uint32_t ipv4, uint16_t port, int* rtp_fd, int* rtcp_fd) {
    const uint64_t key = Key(ipv4, port);
    {
        CMutexLock lock(m_mutex);
        const auto found =
            std::find_if(m_pairs.begin(), m_pairs.end(), [key](const Pair& p) { return p.key == key; });
        if (found == m_pairs.end()) return false;
        *rtp_fd = found->rtp_fd;
        *rtcp_fd = found->rtcp_fd;
        *found = m_pairs.back();
        m_pairs.pop_back();
    }
    drain(*rtp_fd);
    drain(*rtcp_fd);
    return true;
}

void KZRTPSocketPool::Put(uint32_t ipv4, uint16_t port, int rtp_fd, int rtcp_fd) {
    if (rtp_fd < 0 || rtcp_fd < 0) {
        close_pair(rtp_fd, rtcp_fd);
        return;
    }
    const uint64_t key = Key(ipv4, port);
    bool kept = false;
    {
        CMutexLock lock(m_mutex);
        const bool known =
            std::any_of(m_pairs.begin(), m_pairs.end(), [key](const Pair& p) { return p.key == key; });
        if (!known && m_pairs.size() < m_capacity) {
            m_pairs.push_back(Pair{key, rtp_fd, rtcp_fd});
            kept = true;
        }
    }
    if (!kept) close_pair(rtp_fd, rtcp_fd);
}

void KZRTPSocketPool::EvictPort(uint16_t port) {
    Pair evicted{0, -1, -1};
    {
        CMutexLock lock(m_mutex);
        const auto found = std::find_if(m_pairs.begin(), m_pairs.end(), [port](const Pair& p) {
            const auto kept = static_cast<uint16_t>(p.key & 0xFFFF);
            return kept == port || kept + 1 == port;
        });
        if (found == m_pairs.end()) return;
        evicted = *found;
        *found = m_pairs.back();
        m_pairs.pop_back();
    }
    close_pair(evicted.rtp_fd, evicted.rtcp_fd);
}

size_t KZRTPSocketPool::Size() const {
    CMutexLock lock(m_mutex);
    return m_pairs.size();
}

} // namespace KZAPI
