#include "host/KZRTPReceiver.h"

#include "host/CKZLogInterface.h"
#include "host/KZRTPSession.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace KZAPI {

namespace {

constexpr uint64_t kWakeToken = 0;
constexpr int kMaxEvents = 64;
// How often every session's RTCP timer is looked at, and the longest wait for a socket.
constexpr int kSweepMs = 20;
// A socket whose session mutex was busy is tried again after this pause.
constexpr auto kBusyPause = std::chrono::microseconds(200);

} // namespace

KZRTPReceiver& KZRTPReceiver::Instance() {
    static KZRTPReceiver receiver;
    return receiver;
}

KZRTPReceiver::~KZRTPReceiver() {
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
        if (m_wake_fd >= 0) {
            const uint64_t one = 1;
            (void)!write(m_wake_fd, &one, sizeof(one));
        }
    }
    if (m_thread.joinable()) m_thread.join();
    if (m_epoll_fd >= 0) close(m_epoll_fd);
    if (m_wake_fd >= 0) close(m_wake_fd);
}

bool KZRTPReceiver::StartLocked() {
    if (m_thread.joinable()) return true;
    m_epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    m_wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeToken;
    if (m_epoll_fd < 0 || m_wake_fd < 0 || epoll_ctl(m_epoll_fd, EPOLL_CTL_ADD, m_wake_fd, &wake) != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZRTPReceiver start failed: %s", strerror(errno));
        if (m_epoll_fd >= 0) close(m_epoll_fd);
        if (m_wake_fd >= 0) close(m_wake_fd);
        m_epoll_fd = m_wake_fd = -1;
        return false;
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

bool KZRTPReceiver::Register(KZRTPSession* session, int rtp_fd, int rtcp_fd) {
    std::lock_guard lock(m_lock);
    if (m_stopping || !StartLocked()) return false;
    const int fds[] = {rtp_fd, rtcp_fd};
    uint64_t tokens[2] = {};
    for (int i = 0; i < 2; ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tokens[i] = m_next_token++;
        if (epoll_ctl(m_epoll_fd, EPOLL_CTL_ADD, fds[i], &ev) != 0) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZRTPReceiver cannot watch socket %d: %s",
                                 fds[i], strerror(errno));
            if (i == 1) epoll_ctl(m_epoll_fd, EPOLL_CTL_DEL, fds[0], nullptr);
            m_entries.erase(tokens[0]);
            return false;
        }
        m_entries.emplace(tokens[i], Entry{session, fds[i], i == 0});
    }
    return true;
}

void KZRTPReceiver::Unregister(KZRTPSession* session) {
    std::lock_guard lock(m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.session != session) {
            ++it;
            continue;
        }
        epoll_ctl(m_epoll_fd, EPOLL_CTL_DEL, it->second.fd, nullptr);
        it = m_entries.erase(it);
    }
}

bool KZRTPReceiver::Serve(uint64_t token, bool read) {
    std::unique_lock lock(m_lock);
    const auto it = m_entries.find(token);
    if (it == m_entries.end()) return true; // unregistered since the wait returned
    KZRTPSession* session = it->second.session;
    const int fd = read ? it->second.fd : -1;
    // Never wait for a session mutex while holding the registry: its holder may be unregistering.
    if (!session->m_mutex.TryLock()) return false;
    lock.unlock();
    // Still registered: unregistering needs the mutex held here.
    session->ReadSocket(fd);
    session->m_mutex.Unlock();
    return true;
}

void KZRTPReceiver::SweepReports() {
    m_sweep.clear();
    {
        std::lock_guard lock(m_lock);
        for (const auto& [token, entry] : m_entries)
            if (entry.reports) m_sweep.push_back(token);
    }
    for (const uint64_t token : m_sweep)
        Serve(token, false); // a busy one is checked next sweep
}

void KZRTPReceiver::Run() {
    pthread_setname_np(pthread_self(), "kz-rtp-recv");
    epoll_event events[kMaxEvents];
    auto next_sweep = std::chrono::steady_clock::now();
    for (;;) {
        const int n = epoll_wait(m_epoll_fd, events, kMaxEvents, kSweepMs);
        if (n < 0 && errno != EINTR) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZRTPReceiver epoll_wait failed: %s",
                                 strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(kSweepMs));
        }
        bool busy = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeToken) {
                uint64_t count;
                (void)!read(m_wake_fd, &count, sizeof(count));
                continue;
            }
            busy |= !Serve(events[i].data.u64, true);
        }
        {
            std::lock_guard lock(m_lock);
            if (m_stopping) return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_sweep) {
            SweepReports();
            next_sweep = now + std::chrono::milliseconds(kSweepMs);
        }
        if (busy) std::this_thread::sleep_for(kBusyPause);
    }
}

} // namespace KZAPI
