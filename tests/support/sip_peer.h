// Test-side SIP peers over real loopback sockets: a UDP peer and a TCP peer that send raw text
// and collect what the stack sends back, free test ports, and waiting on real time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kztest {

using SteadyClock = std::chrono::steady_clock;

// Polls done every millisecond until it holds or timeout_ms of real time pass.
inline bool wait_until(const std::function<bool()>& done, int timeout_ms = 3000) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (SteadyClock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The IPv4 address of port on 127.0.0.1, or on ip.
inline sockaddr_in loopback(uint16_t port, const char* ip = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

inline uint16_t bound_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

inline bool port_pair_is_free(uint16_t port) {
    for (uint16_t p : {port, static_cast<uint16_t>(port + 1)}) {
        for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
            int s = socket(AF_INET, type, 0);
            sockaddr_in a = loopback(p);
            const bool bound = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
            close(s);
            if (!bound) return false;
        }
    }
    return true;
}

// A port that was free a moment ago on 127.0.0.1 for both UDP and TCP (and the next one for TLS).
// It is taken below the kernel's ephemeral range (32768 and up by default), so the outgoing
// connections of tests running beside this one can never be given it before the stack binds it.
inline uint16_t free_port_pair() {
    static thread_local uint32_t seed =
        static_cast<uint32_t>(getpid()) * 2654435761u ^
        static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 200; ++attempt) {
        seed = seed * 1103515245u + 12345u;
        const uint16_t port = static_cast<uint16_t>(20000 + 2 * ((seed >> 8) % 6300)); // 20000..32598
        if (port_pair_is_free(port)) return port;
    }
    return 0;
}

// The RTP range start that gives channel (ports_per_channel ports each) a block that was free a
// moment ago: the RTP and RTCP ports of both turns of its block. Tests running beside each other
// then never reserve the same RTP ports.
inline uint16_t rtp_start_for_channel(int channel, int ports_per_channel = 4) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const uint16_t port = free_port_pair();
        if (port != 0 && port_pair_is_free(static_cast<uint16_t>(port + 2)))
            return static_cast<uint16_t>(port - channel * ports_per_channel);
    }
    return 0;
}

class UdpPeer {
public:
    UdpPeer() {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback(0);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        m_port = bound_port(m_fd);
    }
    ~UdpPeer() { close(m_fd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    uint16_t port() const { return m_port; }
    void send_to(uint16_t port, const std::string& text) const {
        sockaddr_in a = loopback(port);
        sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    // Next datagram within timeout_ms, or "".
    std::string receive(int timeout_ms = 1000) const {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return "";
        char buf[65536];
        ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    // Every datagram that arrives within timeout_ms.
    std::vector<std::string> drain(int timeout_ms = 100) const {
        std::vector<std::string> all;
        for (std::string s = receive(timeout_ms); !s.empty(); s = receive(timeout_ms))
            all.push_back(s);
        return all;
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A UDP port on 127.0.0.1 that nobody answers on (taken and released at once).
inline uint16_t silent_udp_port() {
    UdpPeer probe;
    return probe.port();
}

class TcpPeer {
public:
    explicit TcpPeer(uint16_t port) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        sockaddr_in a = loopback(port);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~TcpPeer() { close(m_fd); }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    bool connected() const { return m_connected; }
    uint16_t local_port() const { return bound_port(m_fd); }
    void send(const std::string& text) const { ::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // Sends one byte per write, letting each one leave on its own.
    void send_bytewise(const std::string& text) const {
        for (char c : text) {
            ::send(m_fd, &c, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    // Whatever arrives within timeout_ms (stops after a quiet 100 ms once something came).
    std::string receive(int timeout_ms = 1000) const {
        std::string all;
        int wait = timeout_ms;
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, wait) <= 0) return all;
            char buf[65536];
            ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
            if (n <= 0) return all;
            all.append(buf, static_cast<size_t>(n));
            wait = 100;
        }
    }
    // True when the stack closed the connection within timeout_ms.
    bool closed_by_peer(int timeout_ms = 1000) const {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char c;
        return recv(m_fd, &c, 1, MSG_PEEK) <= 0;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

} // namespace kztest
