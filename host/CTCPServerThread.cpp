#include "host/CTCPServerThread.h"

#include "host/KZNetAddr.h"
#include "host/KZSockUtil.h"

#include <algorithm>
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
constexpr size_t kNotFound = static_cast<size_t>(-1);

} // namespace

CTCPServerThread::CTCPServerThread() {
    m_wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake_fd < 0) Log(LOG_ERROR, "CTCPServerThread eventfd failed: %s", strerror(errno));
}

CTCPServerThread::~CTCPServerThread() {
    Stop(); // a derived class has stopped already; this only frees what is left
    if (m_wake_fd >= 0) close(m_wake_fd);
}

bool CTCPServerThread::Start(const char* address, uint16_t port) {
    if (m_wake_fd < 0) return false;
    if (IsRunning() || m_listen_fd >= 0) {
        Log(LOG_ERROR, "CTCPServerThread::Start already listening on port %d", m_listen_port);
        return false;
    }
    uint32_t ip = 0;
    if (!KZ_ParseIPv4(address, &ip, true)) {
        Log(LOG_ERROR, "CTCPServerThread::Start bad address %s", address);
        return false;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Log(LOG_ERROR, "CTCPServerThread::Start socket() failed: %s", strerror(errno));
        return false;
    }
    uint32_t bound_ip = 0;
    uint16_t bound_port = 0;
    if (!KZ_BindReusable(fd, ip, port) || listen(fd, SOMAXCONN) != 0) {
        Log(LOG_ERROR, "CTCPServerThread::Start can't listen on %s:%d: %s", KZ_InetNtoa(ip).c_str(), port,
            strerror(errno));
        close(fd);
        return false;
    }
    KZ_LocalName(fd, &bound_ip, &bound_port);
    m_listen_fd = fd;
    m_listen_port = bound_port;
    if (!StartThread()) {
        close(m_listen_fd);
        m_listen_fd = -1;
        m_listen_port = 0;
        return false;
    }
    Log(LOG_TRACE, "CTCPServerThread listening on %s:%d", KZ_InetNtoa(ip).c_str(), m_listen_port);
    return true;
}

void CTCPServerThread::Stop() {
    StopThread();
    {
        CMutexLock lock(m_clients_lock);
        while (!m_clients.empty())
            CloseClient(m_clients.back());
    }
    if (m_listen_fd >= 0) {
        close(m_listen_fd);
        m_listen_fd = -1;
    }
    m_listen_port = 0;
}

void CTCPServerThread::AddClient(CTCPSocket* socket) {
    if (!socket) return;
    {
        CMutexLock lock(m_clients_lock);
        m_clients.push_back(socket);
        m_client_ids.push_back(m_next_client_id++);
    }
    WakeUp(); // the loop adds the new descriptor to its wait set now
}

void CTCPServerThread::CloseClient(CTCPSocket* socket) {
    CMutexLock lock(m_clients_lock);
    const auto it = std::find(m_clients.begin(), m_clients.end(), socket);
    if (it == m_clients.end()) return; // closed already
    const size_t i = static_cast<size_t>(it - m_clients.begin());
    m_clients.erase(it);
    m_client_ids.erase(m_client_ids.begin() + static_cast<std::ptrdiff_t>(i));
    Log(LOG_TRACE, "CTCPServerThread closing connection %s", socket->GetPeerText().c_str());
    OnClientClosed(socket);
    socket->Close();
    DestroyClientSocket(socket);
}

void CTCPServerThread::WakeUp() {
    if (m_wake_fd < 0) return;
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = write(m_wake_fd, &one, sizeof(one));
    } while (r < 0 && errno == EINTR);
}

size_t CTCPServerThread::FindClient(CTCPSocket* socket, uint64_t id) const {
    const auto it = std::lower_bound(m_client_ids.begin(), m_client_ids.end(), id);
    if (it == m_client_ids.end() || *it != id) return kNotFound;
    const size_t i = static_cast<size_t>(it - m_client_ids.begin());
    return m_clients[i] == socket ? i : kNotFound;
}

void CTCPServerThread::AcceptOne() {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    const int fd = accept4(m_listen_fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection stays queued and the listener readable: back off instead of spinning.
            Log(LOG_ERROR, "CTCPServerThread::accept failed: %s", strerror(errno));
            Sleep(100);
        }
        return; // EAGAIN (taken by no one / aborted before accept) and the like
    }
    CTCPSocket* socket = CreateClientSocket();
    if (!socket) {
        close(fd);
        return;
    }
    socket->AttachFd(fd);
    // Runs on this thread before the socket is listed (and without the list lock), so a slow TLS
    // handshake holds up the other connections for at most its timeout.
    if (!PrepareAccepted(socket)) {
        Log(LOG_WARNING, "CTCPServerThread dropping connection from %s", socket->GetPeerText().c_str());
        socket->Close();
        DestroyClientSocket(socket);
        return;
    }
    Log(LOG_TRACE, "CTCPServerThread accepted connection from %s", socket->GetPeerText().c_str());
    CMutexLock lock(m_clients_lock);
    AddClient(socket);
    OnClientAccepted(socket);
}

void CTCPServerThread::ServeReadable(CTCPSocket* socket, short revents) {
    const int available = socket->Available();
    if (available > 0) {
        OnRead(socket, available); // a close behind the data is seen on a later pass
        return;
    }
    if (available < 0) {
        CloseClient(socket);
        return;
    }
    if (!revents) return;
    // Readable with nothing to read: the peer closed (0) or the connection failed (error). Bytes
    // still on the descriptor are TLS records that carried no application data yet.
    char c;
    const ssize_t r = recv(socket->GetFd(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r > 0 || (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) return;
    CloseClient(socket);
}

void CTCPServerThread::DoUnblockedLoop() {
    struct Watched {
        CTCPSocket* socket;
        uint64_t id;
    };
    std::vector<pollfd> fds;
    std::vector<Watched> watched;
    int timeout = kPollMs;
    {
        CMutexLock lock(m_clients_lock);
        fds.reserve(m_clients.size() + 2);
        watched.reserve(m_clients.size());
        fds.push_back({m_wake_fd, POLLIN, 0});
        fds.push_back({m_listen_fd, POLLIN, 0});
        for (size_t i = 0; i < m_clients.size(); ++i) {
            fds.push_back({m_clients[i]->GetFd(), POLLIN, 0});
            watched.push_back({m_clients[i], m_client_ids[i]});
            if (m_clients[i]->Buffered() > 0) timeout = 0; // already holds data to hand over
        }
    }
    const int ready = poll(fds.data(), fds.size(), timeout);
    if (ready < 0 && errno != EINTR) {
        Log(LOG_ERROR, "CTCPServerThread poll failed: %s", strerror(errno));
        Sleep(10);
        return;
    }
    if (StopRequested()) return;
    bool woken = false;
    if (fds[0].revents & POLLIN) {
        uint64_t count;
        while (read(m_wake_fd, &count, sizeof(count)) > 0) {
        }
        woken = true;
    }
    if (fds[1].revents & POLLIN) AcceptOne();

    CMutexLock lock(m_clients_lock);
    // Callbacks may close any client or add new ones, so each watched socket is looked up again
    // before it is used.
    for (size_t k = 0; k < watched.size(); ++k) {
        const short revents = fds[k + 2].revents;
        if (FindClient(watched[k].socket, watched[k].id) == kNotFound) continue;
        if (!revents && watched[k].socket->Buffered() <= 0) continue;
        ServeReadable(watched[k].socket, revents);
    }
    if (!woken) return;
    // Every client gets its turn to send, including those added during this pass.
    for (size_t i = 0; i < m_clients.size();) {
        const uint64_t id = m_client_ids[i];
        OnSend(m_clients[i]);
        // Continue after this client wherever it now is (earlier clients may have been closed).
        i = static_cast<size_t>(std::upper_bound(m_client_ids.begin(), m_client_ids.end(), id) -
                                m_client_ids.begin());
    }
}

} // namespace KZAPI
