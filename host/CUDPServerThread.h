// CUDPServerThread: one UDP socket served by its own thread. The thread waits for datagrams and
// for send requests (WakeUp) and calls OnRead / OnSend on its own thread. A derived class calls
// Stop() in its own destructor, while its callbacks still exist.
#pragma once

#include "host/CBaseThread.h"
#include "host/CKZLogInterface.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>

namespace KZAPI {

class CUDPServerThread : public CBaseThread, public CKZLogInterface {
public:
    // One datagram of a batch read: data points into the caller's buffers; length is the
    // datagram's whole size, which may exceed the buffer (the data is then cut).
    struct Datagram {
        const char* data;
        size_t length;
        uint32_t from_ip;
        uint16_t from_port;
    };

    CUDPServerThread();
    ~CUDPServerThread() override;

    // Starts the thread (the socket may be opened before or after).
    bool Start();
    // Stops the thread and closes the socket.
    void Stop();
    // Binds the socket to address ("" = any) and port. The port is this socket's alone: a
    // second bind to it fails.
    bool OpenSocket(const char* address, uint16_t port);
    void CloseSocket();
    int GetSocket() const { return m_fd.load(); }
    uint16_t GetLocalPort() const;
    uint32_t GetLocalIP() const;

    // Reads one datagram; returns its size (the datagram is cut to size) or -1.
    int RecvFrom(char* buf, size_t size, uint32_t* from_ip, uint16_t* from_port);
    // Reads up to count waiting datagrams with one call, each into its own slot of `capacity`
    // bytes of buffers; returns how many were read (0 when none waits) or -1.
    int RecvBatch(char* buffers, size_t capacity, Datagram* out, unsigned count);
    // Sends one datagram to ipv4 (network order):port; returns bytes sent or -1. With a full send
    // buffer it waits a little for room, unless told not to: it then returns kWouldBlock.
    static constexpr int kWouldBlock = -2;
    int SendTo(const char* buf, size_t len, uint32_t ipv4, uint16_t port, bool wait_for_room = true);
    // Makes the thread call OnSend() soon.
    void WakeUp();

protected:
    // A datagram of `available` bytes is waiting on the socket.
    virtual void OnRead(int sock, int available) = 0;
    // Called after every wake-up and on every pass of the loop.
    virtual void OnSend() = 0;
    // The socket is readable. By default each waiting datagram (up to a burst) goes to OnRead; a
    // server may take them in batches with RecvBatch instead.
    virtual void OnReadable(int sock);

    void DoUnblockedLoop() override;
    void OnStopRequested() override { WakeUp(); }

private:
    // Keeps the socket from being closed or replaced while a call uses it: shared by the reads
    // and sends (so a send on one thread and a read on the loop's never wait for each other),
    // exclusive while the socket is opened or closed.
    mutable std::shared_mutex m_socket_lock;
    std::atomic<int> m_fd{-1};
    int m_wake_fd = -1;
    std::atomic<bool> m_wake_pending{false}; // a wake-up is written and not yet taken
    std::atomic<uint32_t> m_local_ip{0};
    std::atomic<uint16_t> m_local_port{0};

    // The size of the next waiting datagram (whole, even when larger than any buffer), or -1.
    ssize_t NextDatagramSize() const;
};

} // namespace KZAPI
