// Small helpers shared by the host's socket classes (internal to host/).
#pragma once

#include "host/KZNetAddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
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

// Milliseconds from now until deadline, never negative.
// Allows quick re-binding of the address and binds fd to ipv4 (network order):port.
inline bool KZ_BindReusable(int fd, uint32_t ipv4, uint16_t port) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipv4;
    a.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
}

// The address and port fd is bound to (network-order address, host-order port).
inline void KZ_LocalName(int fd, uint32_t* ipv4, uint16_t* port) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *ipv4 = a.sin_addr.s_addr;
    *port = ntohs(a.sin_port);
}

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

} // namespace KZAPI
