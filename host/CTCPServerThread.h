// CTCPServerThread: a listening TCP socket and its client connections, served by one thread.
// Accepted and outgoing connections share one client list (guarded by the client-list lock).
// The thread calls OnClientAccepted, OnClientConnected, OnRead, OnSend and OnClientClosed on its
// own thread, with the client-list lock held (callbacks may close or add clients). A derived class
// calls Stop() in its own destructor, while its callbacks still exist.
//
// Nothing on the thread waits for one peer: an accepted connection that needs a handshake (TLS)
// and an outgoing connection that is still connecting stay listed in a set-up phase, driven by
// readiness and bounded by a deadline. Accepted connections are announced (OnClientAccepted) only
// once set up; an outgoing one is the owner's from ConnectAsync on and is always reported by
// OnClientClosed when it goes, set up or not.
#pragma once

#include "host/CBaseThread.h"
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/CMutex.h"
#include "host/CTCPSocket.h"
#include "host/KZSockUtil.h"

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace KZAPI {

class CTCPServerThread : public CBaseThread, public CKZLogInterface {
public:
    // What the thread refused or gave up on since it was made.
    struct Counters {
        uint64_t refused_per_address = 0; // accepted over the per-address limit and closed
        uint64_t refused_total = 0;       // accepted over the global limit and closed
        uint64_t idle_closed = 0;         // closed by the idle time-out
        uint64_t handshake_timeouts = 0;  // set-up (handshake) not done by its deadline
        uint64_t handshake_failures = 0;  // set-up (handshake) failed
        uint64_t connect_failures = 0;    // outgoing connects that failed or timed out
    };

    CTCPServerThread();
    ~CTCPServerThread() override;

    // Listens on address ("" = any) and port and starts the thread.
    bool Start(const char* address, uint16_t port);
    // Stops the thread and closes every connection.
    void Stop();
    uint16_t GetListenPort() const { return m_listen_port; }

    // Client list (connections in set-up included); hold the lock while walking it.
    CMutex& GetClientLock() { return m_clients_lock; }
    size_t GetClientCount() const { return m_clients.size(); }
    CTCPSocket* GetClient(size_t i) const { return i < m_clients.size() ? m_clients[i].socket : nullptr; }
    // Adds a connected socket created through CreateClientSocket (the list owns it).
    void AddClient(CTCPSocket* socket);
    // Starts a connect to ipv4 (network order):port without waiting and lists the new socket as
    // connecting; null when it failed at once. Once connected (and set up) the socket gets
    // OnClientConnected and OnSend; a failure or the connect deadline closes it.
    CTCPSocket* ConnectAsync(uint32_t ipv4, uint16_t port);
    // Closes a socket, calls OnClientClosed and destroys it.
    void CloseClient(CTCPSocket* socket);
    // Frees a socket that never made it into the list.
    virtual void DestroyClientSocket(CTCPSocket* socket) { delete socket; }

    // Makes the thread call OnSend() for every client soon.
    void WakeUp();

    // Limits, all taking effect at once; 0 means none (the time-outs must not be 0).
    void SetConnectionLimits(unsigned per_address, unsigned total);
    // A connection whose activity mark (CTCPSocket::MarkActivity) is older than this is closed.
    void SetIdleTimeout(uint64_t ms) { m_idle_ms = ms; }
    // How long an accepted connection may take over its set-up (TLS handshake).
    void SetHandshakeTimeout(unsigned ms) { m_handshake_ms = ms; }
    // How long an outgoing connection may take to connect, and then again to be set up.
    void SetConnectTimeout(unsigned ms) { m_connect_ms = ms; }
    // The clock that deadlines and idle marks are counted by (null: the system's).
    void SetClock(CKZClock* clock) { m_clock = clock ? clock : &CKZClock::System(); }
    Counters GetCounters() const;

protected:
    enum class Phase : uint8_t { Connecting, SettingUp, Ready };

    // Factory for every connection of this server (accepted or outgoing).
    virtual CTCPSocket* CreateClientSocket() { return new CTCPSocket(); }
    // Prepares the set-up of a connection that has just been accepted (as_server) or has just
    // connected; false drops it. The set-up itself is CTCPSocket::HandshakeStep.
    virtual bool BeginSetUp(CTCPSocket* socket, bool as_server) { return true; }
    virtual void OnClientAccepted(CTCPSocket* socket) {}
    virtual void OnClientConnected(CTCPSocket* socket) {}
    virtual void OnClientClosed(CTCPSocket* socket) {}
    virtual void OnRead(CTCPSocket* socket, int available) = 0;
    // A send turn: after WakeUp, when a connection becomes ready, and when a socket that
    // WantsWrite has become writable.
    virtual void OnSend(CTCPSocket* socket) = 0;
    // Called at the end of every pass without the client-list lock.
    virtual void OnPassDone() {}
    // Now in milliseconds, by the clock deadlines and idle marks are counted with.
    virtual uint64_t NowMs() const { return m_clock.load()->TickMs(); }

    void DoUnblockedLoop() override;
    void OnStopRequested() override { WakeUp(); }

private:
    struct Client {
        CTCPSocket* socket; // owned
        uint64_t id; // grows with each listing: tells a listed socket from a new one at a freed address
        Phase phase;
        bool accepted;
        short wait_for;       // what the set-up waits for (POLLIN / POLLOUT)
        uint64_t deadline_ms; // end of the set-up phase
    };
    struct Watched {
        CTCPSocket* socket;
        uint64_t id;
    };

    void AcceptBurst();
    bool AcceptOne();
    bool AdmitPeer(uint32_t peer_ip);
    void PauseAccepting(int error);
    size_t List(CTCPSocket* socket, Phase phase, bool accepted, uint64_t deadline_ms);
    void Advance(size_t i, short revents);
    void StepSetUp(size_t i);
    void SetUpDone(size_t i);
    void FailSetUp(size_t i, bool timed_out);
    void RemoveAt(size_t i);
    void ExpireDeadlines();
    // Index of the client still listed with this id, or npos. Ids grow with each listing and the
    // list keeps that order, so it stays sorted by id.
    size_t FindClient(CTCPSocket* socket, uint64_t id) const;
    void ServeWatched(const Watched& w, short revents);
    void ServeReadable(CTCPSocket* socket, short revents);
    void SendTurns();
    short EventsFor(const Client& c) const;

    int m_listen_fd = -1;
    uint16_t m_listen_port = 0;
    int m_wake_fd = -1;
    CMutex m_clients_lock;
    std::vector<Client> m_clients;
    std::unordered_map<uint32_t, unsigned> m_accepted_per_address;
    uint64_t m_next_client_id = 1;
    bool m_send_turn_due = false; // a connection became ready: everyone gets a send turn

    std::atomic<unsigned> m_max_per_address{0};
    std::atomic<unsigned> m_max_total{0};
    std::atomic<uint64_t> m_idle_ms{0};
    std::atomic<unsigned> m_handshake_ms{3000};
    std::atomic<unsigned> m_connect_ms{3000};
    std::atomic<CKZClock*> m_clock{&CKZClock::System()};

    // Accepting stops for a while when descriptors run out (in real time, not the clock above).
    uint64_t m_accept_paused_until = 0;
    unsigned m_accept_backoff_ms = 0;

    struct AtomicCounters {
        std::atomic<uint64_t> refused_per_address{0}, refused_total{0}, idle_closed{0}, handshake_timeouts{0},
            handshake_failures{0}, connect_failures{0};
    } m_counters;
    KZLogThrottle m_refused_log, m_idle_log, m_setup_log, m_connect_log, m_accept_log;
};

} // namespace KZAPI
