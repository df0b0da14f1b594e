#include "host/CBaseSocket.h"

#include "host/KZNetAddr.h"
#include "host/KZSockUtil.h"
#include "host/KZStrFunc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace KZAPI {

namespace {

sockaddr_in make_address(uint32_t ip, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ip;
    sa.sin_port = htons(port);
    return sa;
}

} // namespace

CBaseSocket::CBaseSocket(CBaseSocket&& other) noexcept
    : m_fd(std::exchange(other.m_fd, kInvalid)), m_last_error(other.m_last_error) {}

CBaseSocket& CBaseSocket::operator=(CBaseSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, kInvalid);
        m_last_error = other.m_last_error;
    }
    return *this;
}

int CBaseSocket::Fail() {
    m_last_error = errno;
    return -1;
}

bool CBaseSocket::OpenUDP(uint32_t ip, uint16_t port, bool reuse_address) {
    Close();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_last_error = errno;
        return false;
    }
    if (reuse_address) {
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    sockaddr_in sa = make_address(ip, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        m_last_error = errno;
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_last_error = 0;
    return true;
}

void CBaseSocket::Close() {
    if (m_fd != kInvalid) {
        ::close(m_fd);
        m_fd = kInvalid;
    }
}

int CBaseSocket::SendTo(const void* data, size_t len, uint32_t ip, uint16_t port) {
    if (m_fd == kInvalid) {
        m_last_error = EBADF;
        return -1;
    }
    sockaddr_in sa = make_address(ip, port);
    ssize_t n;
    do {
        n = ::sendto(m_fd, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail() : static_cast<int>(n);
}

int CBaseSocket::RecvFrom(void* buf, size_t size, uint32_t* from_ip, uint16_t* from_port) {
    if (m_fd == kInvalid) {
        m_last_error = EBADF;
        return -1;
    }
    sockaddr_in sa{};
    socklen_t sa_len = sizeof(sa);
    ssize_t n;
    do {
        n = ::recvfrom(m_fd, buf, size, 0, reinterpret_cast<sockaddr*>(&sa), &sa_len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return Fail();
    if (from_ip) *from_ip = sa.sin_addr.s_addr;
    if (from_port) *from_port = ntohs(sa.sin_port);
    return static_cast<int>(n);
}

int CBaseSocket::WaitReadable(int timeout_ms) {
    CBaseSocket* self = this;
    bool ready = false;
    int error = 0;
    int n = WaitAnyReadable(&self, 1, timeout_ms, &ready, &error);
    if (n < 0) m_last_error = error;
    return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

bool CBaseSocket::GetLocalAddress(uint32_t* ip, uint16_t* port) const {
    if (m_fd == kInvalid) return false;
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    if (ip) *ip = sa.sin_addr.s_addr;
    if (port) *port = ntohs(sa.sin_port);
    return true;
}

uint16_t CBaseSocket::GetLocalPort() const {
    uint16_t port = 0;
    return GetLocalAddress(nullptr, &port) ? port : 0;
}

int CBaseSocket::WaitAnyReadable(CBaseSocket* const* sockets, size_t count, int timeout_ms, bool* ready,
                                 int* error) {
    // Servers wait on a handful of sockets many times a second: no allocation for those.
    constexpr size_t kInline = 16;
    pollfd inline_fds[kInline];
    size_t inline_index[kInline];
    std::vector<pollfd> heap_fds;
    std::vector<size_t> heap_index;
    if (count > kInline) {
        heap_fds.resize(count);
        heap_index.resize(count);
    }
    pollfd* fds = count > kInline ? heap_fds.data() : inline_fds;
    size_t* index = count > kInline ? heap_index.data() : inline_index;
    nfds_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        if (ready) ready[i] = false;
        if (sockets[i] && sockets[i]->IsOpen()) {
            fds[used] = pollfd{sockets[i]->GetHandle(), POLLIN, 0};
            index[used++] = i;
        }
    }
    const uint64_t deadline = timeout_ms >= 0 ? KZ_GetTickCount() + static_cast<uint64_t>(timeout_ms) : 0;
    int wait_ms = timeout_ms;
    for (;;) {
        int n = ::poll(fds, used, wait_ms);
        if (n >= 0) break;
        if (errno != EINTR) {
            if (error) *error = errno;
            return -1;
        }
        if (timeout_ms >= 0) {
            uint64_t now = KZ_GetTickCount();
            wait_ms = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
    }
    int readable = 0;
    for (nfds_t k = 0; k < used; ++k) {
        // An error or hang-up condition is reported as readable: the read then tells what it is.
        if (fds[k].revents & (POLLIN | POLLERR | POLLHUP)) {
            if (ready) ready[index[k]] = true;
            ++readable;
        }
    }
    return readable;
}

bool CBaseSocket::IsUDPPortFree(uint32_t ip, uint16_t port) {
    CBaseSocket probe;
    return probe.OpenUDP(ip, port);
}

bool CBaseSocket::ParseAddress(const char* text, uint32_t* ip) {
    *ip = htonl(INADDR_ANY);
    if (!text || !*text) return true;
    in_addr literal{};
    if (inet_pton(AF_INET, text, &literal) == 1) {
        *ip = literal.s_addr;
        return true;
    }
    *ip = KZ_ResolveHostIPv4(text);
    return *ip != 0;
}

bool CBaseSocket::IsUDPPortFree(uint16_t port, const char* address) {
    uint32_t ip = 0;
    return ParseAddress(address, &ip) && IsUDPPortFree(ip, port);
}

bool CBaseSocket::IsTCPPortFree(uint16_t port, const char* address) {
    uint32_t ip = 0;
    if (!ParseAddress(address, &ip)) return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool free = KZ_BindReusable(fd, ip, port) && ::listen(fd, 1) == 0;
    ::close(fd);
    return free;
}

std::string CBaseSocket::ErrorText(int error) {
    char buf[128] = {};
    // GNU strerror_r may return a static text instead of filling buf.
    const char* text = strerror_r(error, buf, sizeof(buf));
    return text ? text : "";
}

} // namespace KZAPI
