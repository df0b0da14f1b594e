#include "host/CUDPServerThread.h"

#include "host/KZNetAddr.h"
#include "host/KZSockUtil.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace KZAPI {

namespace {

// The loop wakes at least this often, so a stop is seen even when no wake-up arrives.
constexpr int kPollMs = 50;
// Datagrams served per pass before sends get their turn again.
constexpr int kReadBurst = 64;
// Receive buffer asked for, so a burst of datagrams waits in the kernel instead of being dropped.
constexpr int kReceiveBuffer = 1 << 20;
// How long SendTo waits for room in a full send buffer.
constexpr int kSendWaitMs = 100;

} // namespace

CUDPServerThread::CUDPServerThread() {
    m_wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake_fd < 0) Log(LOG_ERROR, "CUDPServerThread eventfd failed: %s", strerror(errno));
}

CUDPServerThread::~CUDPServerThread() {
    Stop(); // a derived class has stopped the thread already; this closes what is left
    if (m_wake_fd >= 0) close(m_wake_fd);
}

bool CUDPServerThread::Start() {
    if (m_wake_fd < 0) return false;
    return StartThread("kz-udp");
}

void CUDPServerThread::Stop() {
    StopThread();
    CloseSocket();
}

bool CUDPServerThread::OpenSocket(const char* address, uint16_t port) {
    uint32_t ip = 0;
    if (!KZ_ParseIPv4(address, &ip, true)) {
        Log(LOG_ERROR, "CUDPServerThread::OpenSocket bad address %s", address);
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Log(LOG_ERROR, "CUDPServerThread::OpenSocket socket() failed: %s", strerror(errno));
        return false;
    }
    // SO_RCVBUFFORCE passes the system limit when the process may; otherwise take what is allowed.
    int size = kReceiveBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    if (!KZ_Bind(fd, ip, port)) {
        Log(LOG_ERROR, "CUDPServerThread::OpenSocket bind %s:%d failed: %s", KZ_InetNtoa(ip).c_str(), port,
            strerror(errno));
        close(fd);
        return false;
    }
    uint32_t bound_ip = 0;
    uint16_t bound_port = 0;
    KZ_LocalName(fd, &bound_ip, &bound_port);
    {
        std::unique_lock lock(m_socket_lock);
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
        m_local_ip = bound_ip;
        m_local_port = bound_port;
    }
    WakeUp(); // a running loop starts waiting on the new socket now rather than after its timeout
    return true;
}

void CUDPServerThread::CloseSocket() {
    std::unique_lock lock(m_socket_lock);
    if (m_fd < 0) return;
    close(m_fd);
    m_fd = -1;
    m_local_ip = 0;
    m_local_port = 0;
}

uint16_t CUDPServerThread::GetLocalPort() const {
    return m_local_port.load();
}

uint32_t CUDPServerThread::GetLocalIP() const {
    return m_local_ip.load();
}

int CUDPServerThread::RecvFrom(char* buf, size_t size, uint32_t* from_ip, uint16_t* from_port) {
    std::shared_lock lock(m_socket_lock);
    if (m_fd < 0 || (!buf && size)) return -1;
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    ssize_t n;
    do {
        n = recvfrom(m_fd, buf, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    if (from_ip) *from_ip = a.sin_addr.s_addr;
    if (from_port) *from_port = ntohs(a.sin_port);
    return static_cast<int>(n);
}

int CUDPServerThread::RecvBatch(char* buffers, size_t capacity, Datagram* out, unsigned count) {
    constexpr unsigned kMaxBatch = 64;
    count = std::min(count, kMaxBatch);
    mmsghdr headers[kMaxBatch];
    iovec slots[kMaxBatch];
    sockaddr_in from[kMaxBatch];
    for (unsigned i = 0; i < count; ++i) {
        slots[i] = {buffers + i * capacity, capacity};
        headers[i] = {};
        headers[i].msg_hdr.msg_iov = &slots[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_name = &from[i];
        headers[i].msg_hdr.msg_namelen = sizeof(from[i]);
    }
    std::shared_lock lock(m_socket_lock);
    if (m_fd < 0 || !buffers || !out) return -1;
    int n;
    do {
        // MSG_TRUNC: each length is the datagram's whole size, so a cut one can be told.
        n = recvmmsg(m_fd, headers, count, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < n; ++i)
        out[i] = {buffers + static_cast<size_t>(i) * capacity, headers[i].msg_len, from[i].sin_addr.s_addr,
                  ntohs(from[i].sin_port)};
    return n;
}

int CUDPServerThread::SendTo(const char* buf, size_t len, uint32_t ipv4, uint16_t port, bool wait_for_room) {
    std::shared_lock lock(m_socket_lock);
    if (m_fd < 0 || (!buf && len)) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipv4;
    a.sin_port = htons(port);
    bool waited = false;
    for (;;) {
        const ssize_t n = sendto(m_fd, buf, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        const bool full = errno == EAGAIN || errno == EWOULDBLOCK;
        if (full && !wait_for_room) return kWouldBlock;
        if (full && !waited) {
            waited = true;
            pollfd p{m_fd, POLLOUT, 0};
            poll(&p, 1, kSendWaitMs);
            continue;
        }
        Log(LOG_TRACE, "CUDPServerThread::SendTo %s:%d failed: %s", KZ_InetNtoa(ipv4).c_str(), port,
            strerror(errno));
        return -1;
    }
}

void CUDPServerThread::WakeUp() {
    // One pending wake-up is enough: the loop drains everything queued once it runs.
    if (m_wake_fd < 0 || m_wake_pending.exchange(true)) return;
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = write(m_wake_fd, &one, sizeof(one));
    } while (r < 0 && errno == EINTR);
}

ssize_t CUDPServerThread::NextDatagramSize() const {
    std::shared_lock lock(m_socket_lock);
    if (m_fd < 0) return -1;
    // A pending socket error is read (and cleared) here too.
    return recv(m_fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
}

void CUDPServerThread::OnReadable(int sock) {
    for (int i = 0; i < kReadBurst && m_fd == sock; ++i) {
        const ssize_t size = NextDatagramSize();
        if (size < 0) break;
        OnRead(sock, static_cast<int>(size));
    }
}

void CUDPServerThread::DoUnblockedLoop() {
    const int fd = m_fd.load();
    pollfd fds[2] = {{m_wake_fd, POLLIN, 0}, {fd, POLLIN, 0}}; // a negative fd is ignored by poll
    const int ready = poll(fds, 2, kPollMs);
    if (ready < 0 && errno != EINTR) {
        Log(LOG_ERROR, "CUDPServerThread poll failed: %s", strerror(errno));
        Sleep(10);
        return;
    }
    if (StopRequested()) return;
    if (fds[0].revents & POLLIN) {
        uint64_t count;
        while (read(m_wake_fd, &count, sizeof(count)) > 0) {
        }
        // Cleared before the queue is drained below, so a later push writes a new wake-up.
        m_wake_pending.store(false);
    }
    // The reads take the socket as it is now: one replaced since the poll is read without
    // waiting, and a closed one not at all.
    if ((fds[1].revents & (POLLIN | POLLERR)) && m_fd == fd) OnReadable(fd);
    OnSend();
}

} // namespace KZAPI
