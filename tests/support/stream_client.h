// Test-side stream peers over loopback: a TCP or TLS client with bounded blocking I/O, a listener
// whose accept queue is full, half a TLS handshake, and waiting helpers shared by the transport
// and host network tests.
#pragma once

#include "support/sip_peer.h"
#include "support/sip_requests.h"

#include <openssl/ssl.h>

#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace kztest {

// Raises the descriptor limit as far as allowed; returns the limit now in force.
inline rlim_t raise_descriptor_limit() {
    rlimit l{};
    getrlimit(RLIMIT_NOFILE, &l);
    l.rlim_cur = l.rlim_max;
    setrlimit(RLIMIT_NOFILE, &l);
    getrlimit(RLIMIT_NOFILE, &l);
    return l.rlim_cur;
}

// A port on 127.0.0.1 where nothing listens.
inline uint16_t closed_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    const uint16_t port = bound_port(fd);
    close(fd);
    return port;
}

// The first half of a real ClientHello: a peer that stalls inside its handshake.
inline std::string half_client_hello() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(ctx);
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), out);
    SSL_set_connect_state(ssl);
    SSL_do_handshake(ssl);
    char buf[4096];
    const int n = BIO_read(out, buf, sizeof(buf));
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return n > 0 ? std::string(buf, static_cast<size_t>(n / 2)) : "";
}

// A listener on 127.0.0.1 whose accept queue is full: further SYNs are dropped, so connects to
// it neither succeed nor fail. The descriptors close with the object.
class FullBacklog {
public:
    FullBacklog() {
        m_fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = loopback(0);
        bind(m_fds[0], reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(m_fds[0], 0);
        a = loopback(m_port = bound_port(m_fds[0]));
        for (int i = 0; i < 4; ++i) {
            m_fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            connect(m_fds.back(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~FullBacklog() {
        for (int fd : m_fds)
            close(fd);
    }
    FullBacklog(const FullBacklog&) = delete;
    FullBacklog& operator=(const FullBacklog&) = delete;
    uint16_t port() const { return m_port; }

private:
    std::vector<int> m_fds;
    uint16_t m_port = 0;
};

// One client connection, plain or TLS, from from_ip to 127.0.0.1:port. Reads and writes are
// bounded in time, so no peer can hang a test.
class StreamClient {
public:
    explicit StreamClient(uint16_t port, bool tls = false, const char* from_ip = "127.0.0.1",
                          int receive_buffer = 0)
        : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in from = loopback(0, from_ip);
        bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof(from));
        if (receive_buffer) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
        timeval tv{2, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        sockaddr_in to = loopback(port);
        m_ok = connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
        if (!m_ok || !tls) return;
        m_ctx = SSL_CTX_new(TLS_client_method());
        m_ssl = SSL_new(m_ctx);
        SSL_set_fd(m_ssl, m_fd);
        m_ok = SSL_connect(m_ssl) == 1;
    }
    ~StreamClient() {
        SSL_free(m_ssl);
        SSL_CTX_free(m_ctx);
        Close();
    }
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    bool ok() const { return m_ok; }
    uint16_t port() const { return bound_port(m_fd); }
    // Writes all of text; a peer that takes nothing for 10 s makes it fail.
    bool Send(const std::string& text) const {
        const auto deadline = SteadyClock::now() + std::chrono::seconds(10);
        for (size_t done = 0; done < text.size();) {
            const int n =
                m_ssl ? SSL_write(m_ssl, text.data() + done, static_cast<int>(text.size() - done))
                      : static_cast<int>(send(m_fd, text.data() + done, text.size() - done, MSG_NOSIGNAL));
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (m_ssl || (errno != EAGAIN && errno != EWOULDBLOCK) || SteadyClock::now() > deadline)
                return false;
        }
        return true;
    }
    // Reads until `until` appears or n bytes have come, the stream ends or the time is up.
    std::string Read(size_t n, int timeout_ms = 2000, const std::string& until = "") const {
        std::string got;
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        std::vector<char> buf(1 << 16);
        while (got.size() < n && (until.empty() || got.find(until) == std::string::npos)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
            pollfd p{m_fd, POLLIN, 0};
            if (left.count() <= 0 ||
                ((!m_ssl || SSL_pending(m_ssl) == 0) && poll(&p, 1, static_cast<int>(left.count())) <= 0))
                break;
            const size_t want = std::min(buf.size(), n - got.size());
            const int r = m_ssl ? SSL_read(m_ssl, buf.data(), static_cast<int>(want))
                                : static_cast<int>(recv(m_fd, buf.data(), want, 0));
            if (r <= 0) break;
            got.append(buf.data(), static_cast<size_t>(r));
        }
        return got;
    }
    // Sends text and returns the status line of the response that comes within timeout_ms.
    std::string Exchange(const std::string& text, int timeout_ms = 2000) const {
        if (!Send(text)) return "";
        return status_line(Read(1 << 16, timeout_ms, "\r\n\r\n"));
    }
    // True when the other end has closed the connection (end of stream or reset) within timeout_ms.
    bool ClosedByPeer(int timeout_ms = 3000) const {
        pollfd p{m_fd, POLLIN, 0};
        char c;
        return poll(&p, 1, timeout_ms) > 0 && recv(m_fd, &c, 1, MSG_DONTWAIT) <= 0;
    }
    // Closes with a reset instead of an orderly end.
    void Reset() {
        linger l{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        Close();
    }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
    bool m_ok = false;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
};

} // namespace kztest
