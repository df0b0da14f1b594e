// Small helpers shared by the host's socket classes (internal to host/).
#pragma once

#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace KZAPI {

// Address text to IPv4 (network order): a dotted quad, else a host name through the resolver.
// "" or null gives the any-address when allow_any is set and fails otherwise.
inline bool KZ_ParseIPv4(const char* text, uint32_t* ipv4, bool allow_any) {
    if (!text || !*text) {
        *ipv4 = htonl(INADDR_ANY);
        return allow_any;
    }
    uint32_t a = KZ_InetAddr(text);
    if (a == INADDR_NONE) {
        // A name that does not resolve is an error, never the any-address.
        a = KZ_ResolveHostIPv4(text);
        if (a == 0) return false;
    }
    if (a == INADDR_NONE || (a == 0 && !allow_any)) return false;
    *ipv4 = a;
    return true;
}

// Binds fd to ipv4 (network order):port.
inline bool KZ_Bind(int fd, uint32_t ipv4, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipv4;
    a.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
}

// Allows quick re-binding of the address (a listener whose old connections linger in TIME_WAIT)
// and binds fd to ipv4 (network order):port. Not for datagram sockets: there it would let a
// second process share the port.
inline bool KZ_BindReusable(int fd, uint32_t ipv4, uint16_t port) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    return KZ_Bind(fd, ipv4, port);
}

// The address and port fd is bound to (network-order address, host-order port).
inline void KZ_LocalName(int fd, uint32_t* ipv4, uint16_t* port) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *ipv4 = a.sin_addr.s_addr;
    *port = ntohs(a.sin_port);
}

// Milliseconds from now until deadline, never negative.
inline int KZ_MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is ready for events: >0 ready (or failed: the next call on it tells why),
// 0 timed out, -1 error. An interrupted wait goes on for the time remaining.
inline int KZ_WaitFd(int fd, short events, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, KZ_MsLeft(deadline));
        if (r >= 0) return r;
        if (errno != EINTR) return -1;
    }
}

// For events that can come in floods: lets one log line through per interval, and that line
// tells how many events it stands for.
class KZLogThrottle {
public:
    static constexpr uint64_t kIntervalMs = 10000;

    // Counts one event; true when a line is due now, *events then being the events it covers.
    bool Count(uint64_t* events) {
        std::lock_guard lock(m_mutex);
        ++m_pending;
        const uint64_t now = KZ_GetTickCount();
        if (m_logged && now < m_next_ms) return false;
        m_logged = true;
        m_next_ms = now + kIntervalMs;
        *events = m_pending;
        m_pending = 0;
        return true;
    }

private:
    std::mutex m_mutex;
    bool m_logged = false;
    uint64_t m_next_ms = 0;
    uint64_t m_pending = 0;
};

} // namespace KZAPI
