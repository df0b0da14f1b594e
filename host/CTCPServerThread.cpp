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

// The loop wakes at least this often, so a stop and the deadlines are seen without wake-ups.
constexpr int kPollMs = 50;
constexpr size_t kNotFound = static_cast<size_t>(-1);
// Connections taken from the listen queue per pass before the others get their turn.
constexpr int kAcceptBurst = 64;
constexpr unsigned kAcceptBackoffFirstMs = 100;
constexpr unsigned kAcceptBackoffMaxMs = 1000;

bool OutOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

unsigned long long Ull(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

std::string SetUpError(CTCPSocket* socket) {
    const auto* tls = dynamic_cast<const CSSLTCPSocket*>(socket);
    return tls && !tls->HandshakeError().empty() ? tls->HandshakeError() : "failed";
}

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
    m_accept_paused_until = 0;
    m_accept_backoff_ms = 0;
    if (!StartThread("kz-tcp")) {
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
            RemoveAt(m_clients.size() - 1);
        m_accepted_per_address.clear();
    }
    if (m_listen_fd >= 0) {
        close(m_listen_fd);
        m_listen_fd = -1;
    }
    m_listen_port = 0;
}

void CTCPServerThread::SetConnectionLimits(unsigned per_address, unsigned total) {
    m_max_per_address = per_address;
    m_max_total = total;
}

CTCPServerThread::Counters CTCPServerThread::GetCounters() const {
    Counters c;
    c.refused_per_address = m_counters.refused_per_address.load();
    c.refused_total = m_counters.refused_total.load();
    c.idle_closed = m_counters.idle_closed.load();
    c.handshake_timeouts = m_counters.handshake_timeouts.load();
    c.handshake_failures = m_counters.handshake_failures.load();
    c.connect_failures = m_counters.connect_failures.load();
    return c;
}

size_t CTCPServerThread::List(CTCPSocket* socket, Phase phase, bool accepted, uint64_t deadline_ms) {
    m_clients.push_back({socket, m_next_client_id++, phase, accepted, POLLIN, deadline_ms});
    return m_clients.size() - 1;
}

void CTCPServerThread::AddClient(CTCPSocket* socket) {
    if (!socket) return;
    {
        CMutexLock lock(m_clients_lock);
        socket->MarkActivity(NowMs());
        List(socket, Phase::Ready, false, 0);
    }
    WakeUp(); // the loop adds the new descriptor to its wait set now
}

CTCPSocket* CTCPServerThread::ConnectAsync(uint32_t ipv4, uint16_t port) {
    CTCPSocket* socket = CreateClientSocket();
    if (!socket) return nullptr;
    int error = 0;
    if (!socket->StartConnect(ipv4, port, &error)) {
        ++m_counters.connect_failures;
        uint64_t events = 0;
        if (m_connect_log.Count(&events))
            Log(LOG_WARNING, "CTCPServerThread connect to %s:%d failed: %s (%llu failed connects)",
                KZ_InetNtoa(ipv4).c_str(), port, strerror(error), Ull(events));
        socket->Close();
        DestroyClientSocket(socket);
        return nullptr;
    }
    {
        CMutexLock lock(m_clients_lock);
        List(socket, Phase::Connecting, false, NowMs() + m_connect_ms.load());
    }
    WakeUp();
    return socket;
}

void CTCPServerThread::CloseClient(CTCPSocket* socket) {
    CMutexLock lock(m_clients_lock);
    const auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                 [socket](const Client& c) { return c.socket == socket; });
    if (it == m_clients.end()) return; // closed already
    RemoveAt(static_cast<size_t>(it - m_clients.begin()));
}

void CTCPServerThread::RemoveAt(size_t i) {
    const Client c = m_clients[i];
    m_clients.erase(m_clients.begin() + static_cast<std::ptrdiff_t>(i));
    if (c.accepted) {
        const auto it = m_accepted_per_address.find(c.socket->GetPeerIP());
        if (it != m_accepted_per_address.end() && --it->second == 0) m_accepted_per_address.erase(it);
    }
    Log(LOG_TRACE, "CTCPServerThread closing connection %s", c.socket->GetPeerText().c_str());
    // An accepted connection that never finished its set-up was never announced.
    if (!c.accepted || c.phase == Phase::Ready) OnClientClosed(c.socket);
    c.socket->Close();
    DestroyClientSocket(c.socket);
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
    const auto it = std::lower_bound(m_clients.begin(), m_clients.end(), id,
                                     [](const Client& c, uint64_t v) { return c.id < v; });
    if (it == m_clients.end() || it->id != id || it->socket != socket) return kNotFound;
    return static_cast<size_t>(it - m_clients.begin());
}

bool CTCPServerThread::AdmitPeer(uint32_t peer_ip) {
    const unsigned total = m_max_total.load();
    const unsigned per_address = m_max_per_address.load();
    const bool over_total = total && m_clients.size() >= total;
    const auto it = m_accepted_per_address.find(peer_ip);
    const bool over_address =
        !over_total && per_address && it != m_accepted_per_address.end() && it->second >= per_address;
    if (!over_total && !over_address) return true;
    ++(over_total ? m_counters.refused_total : m_counters.refused_per_address);
    uint64_t events = 0;
    if (m_refused_log.Count(&events))
        Log(LOG_WARNING,
            "CTCPServerThread refusing connection from %s: %s limit of %u reached (%llu refused)",
            KZ_InetNtoa(peer_ip).c_str(), over_total ? "connection" : "per-address",
            over_total ? total : per_address, Ull(events));
    return false;
}

void CTCPServerThread::PauseAccepting(int error) {
    m_accept_backoff_ms =
        m_accept_backoff_ms ? std::min(m_accept_backoff_ms * 2, kAcceptBackoffMaxMs) : kAcceptBackoffFirstMs;
    m_accept_paused_until = KZ_GetTickCount() + m_accept_backoff_ms;
    uint64_t events = 0;
    if (m_accept_log.Count(&events))
        Log(LOG_ERROR, "CTCPServerThread::accept failed: %s; not accepting for %u ms (%llu failures)",
            strerror(error), m_accept_backoff_ms, Ull(events));
}

bool CTCPServerThread::AcceptOne() {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    const int fd = accept4(m_listen_fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // Out of descriptors the connection stays queued and the listener readable: stop watching
        // it for a while instead of spinning. Nothing left to take (EAGAIN) ends the burst too.
        if (OutOfResources(error)) PauseAccepting(error);
        return error == EINTR || error == ECONNABORTED;
    }
    m_accept_backoff_ms = 0;
    CMutexLock lock(m_clients_lock);
    if (!AdmitPeer(a.sin_addr.s_addr)) {
        close(fd);
        return true;
    }
    CTCPSocket* socket = CreateClientSocket();
    if (!socket) {
        close(fd);
        return true;
    }
    socket->AttachFd(fd);
    if (!BeginSetUp(socket, true)) {
        ++m_counters.handshake_failures;
        socket->Close();
        DestroyClientSocket(socket);
        return true;
    }
    ++m_accepted_per_address[socket->GetPeerIP()];
    StepSetUp(List(socket, Phase::SettingUp, true, NowMs() + m_handshake_ms.load()));
    return true;
}

void CTCPServerThread::AcceptBurst() {
    for (int i = 0; i < kAcceptBurst && AcceptOne(); ++i) {
    }
}

void CTCPServerThread::Advance(size_t i, short revents) {
    Client& c = m_clients[i];
    if (c.phase == Phase::SettingUp) {
        StepSetUp(i);
        return;
    }
    // Connecting: writable (or failed) means the connect has ended one way or the other.
    if (!(revents & (POLLOUT | POLLERR | POLLHUP))) return;
    const int error = c.socket->FinishConnect();
    if (error != 0) {
        ++m_counters.connect_failures;
        uint64_t events = 0;
        if (m_connect_log.Count(&events))
            Log(LOG_WARNING, "CTCPServerThread connect to %s:%d failed: %s (%llu failed connects)",
                KZ_InetNtoa(c.socket->GetPeerIP()).c_str(), c.socket->GetPeerPort(), strerror(error),
                Ull(events));
        RemoveAt(i);
        return;
    }
    if (!BeginSetUp(c.socket, false)) {
        FailSetUp(i, false);
        return;
    }
    c.phase = Phase::SettingUp;
    c.deadline_ms = NowMs() + m_handshake_ms.load();
    StepSetUp(i);
}

void CTCPServerThread::StepSetUp(size_t i) {
    Client& c = m_clients[i];
    switch (c.socket->HandshakeStep()) {
    case KZHandshake::Done:
        SetUpDone(i);
        break;
    case KZHandshake::WantRead:
        c.wait_for = POLLIN;
        break;
    case KZHandshake::WantWrite:
        c.wait_for = POLLOUT;
        break;
    case KZHandshake::Failed:
        FailSetUp(i, false);
        break;
    }
}

void CTCPServerThread::SetUpDone(size_t i) {
    Client& c = m_clients[i];
    c.phase = Phase::Ready;
    c.socket->MarkActivity(NowMs());
    m_send_turn_due = true; // an outgoing connection has blocks waiting
    if (c.accepted) {
        Log(LOG_TRACE, "CTCPServerThread accepted connection from %s", c.socket->GetPeerText().c_str());
        OnClientAccepted(c.socket);
    } else {
        OnClientConnected(c.socket);
    }
}

void CTCPServerThread::FailSetUp(size_t i, bool timed_out) {
    const Client& c = m_clients[i];
    ++(timed_out ? m_counters.handshake_timeouts : m_counters.handshake_failures);
    uint64_t events = 0;
    if (m_setup_log.Count(&events))
        Log(LOG_WARNING, "CTCPServerThread dropping connection %s %s: handshake %s (%llu dropped)",
            c.accepted ? "from" : "to", c.socket->GetPeerText().c_str(),
            timed_out ? "timed out" : SetUpError(c.socket).c_str(), Ull(events));
    RemoveAt(i);
}

void CTCPServerThread::ExpireDeadlines() {
    const uint64_t now = NowMs();
    const uint64_t idle_ms = m_idle_ms.load();
    std::vector<Watched> late, idle;
    for (const Client& c : m_clients) {
        if (c.phase != Phase::Ready) {
            if (now >= c.deadline_ms) late.push_back({c.socket, c.id});
        } else {
            const uint64_t limit = c.socket->IdleLimit() ? c.socket->IdleLimit() : idle_ms;
            if (limit && now > c.socket->LastActivity() && now - c.socket->LastActivity() >= limit)
                idle.push_back({c.socket, c.id});
        }
    }
    for (const Watched& w : late) {
        const size_t i = FindClient(w.socket, w.id);
        if (i == kNotFound) continue;
        if (m_clients[i].phase == Phase::Connecting) {
            ++m_counters.connect_failures;
            uint64_t events = 0;
            if (m_connect_log.Count(&events))
                Log(LOG_WARNING, "CTCPServerThread connect to %s timed out (%llu failed connects)",
                    w.socket->GetPeerText().c_str(), Ull(events));
            RemoveAt(i);
        } else {
            FailSetUp(i, true);
        }
    }
    for (const Watched& w : idle) {
        const size_t i = FindClient(w.socket, w.id);
        if (i == kNotFound) continue;
        ++m_counters.idle_closed;
        uint64_t events = 0;
        if (m_idle_log.Count(&events))
            Log(LOG_WARNING, "CTCPServerThread closing idle connection %s (%llu idle connections closed)",
                w.socket->GetPeerText().c_str(), Ull(events));
        RemoveAt(i);
    }
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

short CTCPServerThread::EventsFor(const Client& c) const {
    switch (c.phase) {
    case Phase::Connecting:
        return POLLOUT;
    case Phase::SettingUp:
        return c.wait_for;
    default:
        return c.socket->WantsWrite() ? POLLIN | POLLOUT : POLLIN;
    }
}

void CTCPServerThread::ServeWatched(const Watched& w, short revents) {
    // Callbacks may close any client or add new ones, so the socket is looked up again first.
    CMutexLock lock(m_clients_lock);
    const size_t i = FindClient(w.socket, w.id);
    if (i == kNotFound) return;
    if (m_clients[i].phase != Phase::Ready) {
        if (revents) Advance(i, revents);
        return;
    }
    if (revents & POLLOUT) {
        OnSend(w.socket); // room again for what it had left over
        if (FindClient(w.socket, w.id) == kNotFound) return;
    }
    const short read_events = static_cast<short>(revents & ~POLLOUT);
    if (!read_events && w.socket->Buffered() <= 0) return;
    ServeReadable(w.socket, read_events);
}

void CTCPServerThread::SendTurns() {
    // Every ready client gets its turn to send, including those added during this pass. Each turn
    // looks up where to go on afresh: earlier clients may have been closed meanwhile.
    uint64_t after_id = 0;
    for (;;) {
        CMutexLock lock(m_clients_lock);
        m_send_turn_due = false;
        const auto next = std::upper_bound(m_clients.begin(), m_clients.end(), after_id,
                                           [](uint64_t v, const Client& c) { return v < c.id; });
        if (next == m_clients.end()) return;
        after_id = next->id;
        if (next->phase == Phase::Ready) OnSend(next->socket);
    }
}

void CTCPServerThread::DoUnblockedLoop() {
    std::vector<pollfd> fds;
    std::vector<Watched> watched;
    int timeout = kPollMs;
    {
        CMutexLock lock(m_clients_lock);
        fds.reserve(m_clients.size() + 2);
        watched.reserve(m_clients.size());
        const uint64_t tick = KZ_GetTickCount();
        const bool paused = tick < m_accept_paused_until;
        if (paused) timeout = std::min(timeout, static_cast<int>(m_accept_paused_until - tick));
        fds.push_back({m_wake_fd, POLLIN, 0});
        fds.push_back({paused ? -1 : m_listen_fd, POLLIN, 0});
        for (const Client& c : m_clients) {
            fds.push_back({c.socket->GetFd(), EventsFor(c), 0});
            watched.push_back({c.socket, c.id});
            // Already holds data to hand over.
            if (c.phase == Phase::Ready && c.socket->Buffered() > 0) timeout = 0;
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
    if (fds[1].revents & POLLIN) AcceptBurst();

    // The lock is taken per connection, so a sender waits for at most one connection's work (a
    // handshake step, a read) rather than for the whole pass.
    for (size_t k = 0; k < watched.size(); ++k)
        ServeWatched(watched[k], fds[k + 2].revents);
    {
        CMutexLock lock(m_clients_lock);
        ExpireDeadlines();
    }
    if (woken || m_send_turn_due) SendTurns();
    OnPassDone();
}

} // namespace KZAPI
