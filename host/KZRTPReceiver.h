// KZRTPReceiver: the one thread that reads the sockets of every RTP session not in poll mode.
//
// Sessions register their RTP and RTCP sockets when they start and unregister when they stop.
// The thread waits on all of them with epoll and calls the session's ReadSocket under the
// session mutex; between datagrams it lets each session send its due RTCP report.
//
// Unregistering synchronises with reading: the thread only ever takes a session's mutex with
// a try-lock while it holds the registry lock, and a session unregisters with its own mutex
// held. So once Unregister returns the thread neither reads for that session nor can start to;
// a read already running finished before the caller got the session mutex. A session may
// unregister (stop) from inside its own hook.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace KZAPI {

class KZRTPSession;

class KZRTPReceiver {
public:
    // The process-wide receiver; its thread starts with the first registration.
    static KZRTPReceiver& Instance();

    // The caller holds the session's mutex for both.
    bool Register(KZRTPSession* session, int rtp_fd, int rtcp_fd);
    void Unregister(KZRTPSession* session);

    ~KZRTPReceiver();
    KZRTPReceiver(const KZRTPReceiver&) = delete;
    KZRTPReceiver& operator=(const KZRTPReceiver&) = delete;

private:
    struct Entry {
        KZRTPSession* session;
        int fd;
        bool reports; // the entry through which the session's RTCP timer is checked
    };

    KZRTPReceiver() = default;
    bool StartLocked();
    void Run();
    // Calls ReadSocket of the entry's session (its socket, or -1 for the report timer alone) if it is still
    // registered and its mutex free. False when the mutex was busy (the socket stays readable and is served
    // next turn).
    bool Serve(uint64_t token, bool read);
    void SweepReports();

    std::mutex m_lock; // the registry
    std::unordered_map<uint64_t, Entry> m_entries;
    uint64_t m_next_token = 1;
    int m_epoll_fd = -1;
    int m_wake_fd = -1;
    bool m_stopping = false;
    std::thread m_thread;
    std::vector<uint64_t> m_sweep; // receiver thread only
};

} // namespace KZAPI
