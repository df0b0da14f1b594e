// CTCPServerThread: a listening TCP socket and its client connections, served by one thread.
// Accepted and outgoing connections share one client list (guarded by the client-list lock).
// The thread calls OnClientAccepted, OnRead, OnSend and OnClientClosed on its own thread, with the
// client-list lock held (callbacks may close or add clients). A derived class calls Stop() in its
// own destructor, while its callbacks still exist.
#pragma once

#include "host/CBaseThread.h"
#include "host/CKZLogInterface.h"
#include "host/CMutex.h"
#include "host/CTCPSocket.h"

#include <cstdint>
#include <vector>

namespace KZAPI {

class CTCPServerThread : public CBaseThread, public CKZLogInterface {
public:
    CTCPServerThread();
    ~CTCPServerThread() override;

    // Listens on address ("" = any) and port and starts the thread.
    bool Start(const char* address, uint16_t port);
    // Stops the thread and closes every connection.
    void Stop();
    uint16_t GetListenPort() const { return m_listen_port; }

    // Client list; hold the lock while walking it.
    CMutex& GetClientLock() { return m_clients_lock; }
    size_t GetClientCount() const { return m_clients.size(); }
    CTCPSocket* GetClient(size_t i) const { return i < m_clients.size() ? m_clients[i] : nullptr; }
    // Adds a connected socket created through CreateClientSocket (the list owns it).
    void AddClient(CTCPSocket* socket);
    // Closes a socket, calls OnClientClosed and destroys it.
    void CloseClient(CTCPSocket* socket);
    // Frees a socket that never made it into the list.
    virtual void DestroyClientSocket(CTCPSocket* socket) { delete socket; }

    // Makes the thread call OnSend() for every client soon.
    void WakeUp();

protected:
    // Factory for every connection of this server (accepted or outgoing).
    virtual CTCPSocket* CreateClientSocket() { return new CTCPSocket(); }
    // Completes an accepted connection before it is announced (TLS runs its handshake here).
    virtual bool PrepareAccepted(CTCPSocket* socket) { return true; }
    virtual void OnClientAccepted(CTCPSocket* socket) {}
    virtual void OnClientClosed(CTCPSocket* socket) {}
    virtual void OnRead(CTCPSocket* socket, int available) = 0;
    virtual void OnSend(CTCPSocket* socket) = 0;

    void DoUnblockedLoop() override;
    void OnStopRequested() override { WakeUp(); }

private:
    void AcceptOne();
    // Index of the client still listed with this id, or npos. Ids grow with each AddClient and
    // the list keeps that order, so m_client_ids stays sorted.
    size_t FindClient(CTCPSocket* socket, uint64_t id) const;
    void ServeReadable(CTCPSocket* socket, short revents);

    int m_listen_fd = -1;
    uint16_t m_listen_port = 0;
    int m_wake_fd = -1;
    CMutex m_clients_lock;
    std::vector<CTCPSocket*> m_clients; // owned
    // One id per client: tells a socket still listed from a new one at a freed address.
    std::vector<uint64_t> m_client_ids;
    uint64_t m_next_client_id = 1;
};

} // namespace KZAPI
