// The stack's transports over the host's socket-server threads. They do no SIP work: received
// data becomes sip_cmd blocks in the stack's received-data queue; blocks to send are written out.
// Every datagram and connection is checked against the stack's address filters.
#pragma once

#include "host/CTCPServerThread.h"
#include "host/CTLSServerThread.h"
#include "host/CUDPServerThread.h"
#include "sipstack/CSIPReadPacer.h"
#include "sipstack/CSIPStreamFramer.h"
#include "sipstack/TCQueue.h"
#include "sipstack/sip_cmd.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class sip_group;

// What a SIP stream connection keeps besides its socket: the blocks waiting to be written, the
// one being written, and the bytes read so far of a message not yet complete.
struct CSIPStreamState {
    static constexpr size_t kSendQueueCapacity = 200;
    // Beyond this many waiting blocks the peer is not reading (or the connection never opens):
    // further blocks are refused rather than held without bound.
    static constexpr size_t kMaxQueuedBlocks = 1000;
    TCQueue<sip_cmd> send_queue{kSendQueueCapacity, true};
    sip_cmd writing; // taken from the queue and partly written; only the server thread touches it
    CSIPStreamFramer framer;
    // A message has gone through in either direction: the peer speaks SIP. Such a connection,
    // between messages, is kept for the longer connection lifetime instead of the idle time-out.
    bool proven = false;
    virtual ~CSIPStreamState() = default;
};

class CSIPTCPSocket : public KZAPI::CTCPSocket, public CSIPStreamState {};
class CSIPSSLSocket : public KZAPI::CSSLTCPSocket, public CSIPStreamState {};

class CSIPUDPServerThread : public KZAPI::CUDPServerThread {
public:
    static constexpr int kMaxDatagram = 8191;
    // Datagrams taken with one system call; a wake-up drains at most two such batches before
    // the send queue gets its turn.
    static constexpr unsigned kBatch = 32;
    explicit CSIPUDPServerThread(sip_group* group);
    ~CSIPUDPServerThread() override;

    // Sends at once from the calling thread, which spares a hand-over to this thread for every
    // message; false when the socket's buffer is full, and the message is then for the queue.
    bool SendNow(const char* text, size_t len, uint32_t to_ip, uint16_t to_port) {
        return Send(text, len, to_ip, to_port, false);
    }

protected:
    void OnRead(int sock, int available) override;
    void OnReadable(int sock) override;
    void OnSend() override;

private:
    // One byte more than taken, so a datagram that is too long is seen to be.
    static constexpr size_t kSlot = kMaxDatagram + 1;
    void Deliver(const char* data, size_t len, uint32_t from_ip, uint16_t from_port);
    // A line for a datagram from a source that is not allowed, at most one a second per source.
    void LogRefused(const char* data, size_t len, uint32_t from_ip, uint16_t from_port);
    // False only when the socket had no room and waiting for it was not wanted.
    bool Send(const char* text, size_t len, uint32_t to_ip, uint16_t to_port, bool wait_for_room);

    sip_group* m_group;
    std::unique_ptr<char[]> m_batch; // kBatch read slots of kSlot bytes
    CSIPReadPacer m_pacer;
};

// The log texts and protocol code that tell the TCP and TLS transports apart.
struct CSIPStreamKind {
    const char* cls;        // "CSIPTCPServerThread" / "CSIPTLSServerThread"
    const char* name;       // "TCP" / "TCP TLS"
    int32_t protocol;       // 1 / 2
    const char* read_error; // format of the failed-read log
};

// What a stream transport has refused, closed or failed to deliver since it was opened.
struct CSIPStreamCounters {
    KZAPI::CTCPServerThread::Counters connections;
    uint64_t undelivered = 0; // blocks handed back to the stack as undeliverable
};

// Connection handling shared by the TCP and TLS transports.
class CSIPStreamTransport {
public:
    static constexpr int kMaxRead = 16383;

    CSIPStreamTransport(sip_group* group, KZAPI::CTCPServerThread* server, const CSIPStreamKind& kind);
    virtual ~CSIPStreamTransport() = default;

    // Finds the connection for the block's destination, or starts one, and queues the block on
    // it; never waits for the network. A block queued on a connection that then fails or closes
    // is reported to the stack as undeliverable. False when no connection can be had.
    bool CheckConnection(sip_cmd&& cmd);
    CSIPStreamCounters GetStreamCounters() const;

protected:
    void Read(KZAPI::CTCPSocket* socket, int available);
    void Send(KZAPI::CTCPSocket* socket);
    void Accepted(KZAPI::CTCPSocket* socket);
    void Connected(KZAPI::CTCPSocket* socket);
    void Closed(KZAPI::CTCPSocket* socket);
    // Hands the blocks set aside by Closed and Send to the stack, outside the client-list lock.
    void ReportUndelivered();
    uint64_t StackNowMs() const;
    void UpdateIdleLimit(KZAPI::CTCPSocket* socket, CSIPStreamState* state);

    sip_group* m_group;
    KZAPI::CTCPServerThread* m_server;
    CSIPStreamKind m_kind;

private:
    void SetAside(sip_cmd&& cmd);

    std::mutex m_undelivered_mutex;
    std::vector<sip_cmd> m_undelivered;
    std::atomic<uint64_t> m_undelivered_count{0};
    KZAPI::KZLogThrottle m_connect_log;
};

class CSIPTCPServerThread : public KZAPI::CTCPServerThread, public CSIPStreamTransport {
public:
    explicit CSIPTCPServerThread(sip_group* group);
    ~CSIPTCPServerThread() override;

protected:
    KZAPI::CTCPSocket* CreateClientSocket() override { return new CSIPTCPSocket(); }
    void OnClientAccepted(KZAPI::CTCPSocket* s) override { Accepted(s); }
    void OnClientConnected(KZAPI::CTCPSocket* s) override { Connected(s); }
    void OnPassDone() override { ReportUndelivered(); }
    uint64_t NowMs() const override { return StackNowMs(); }
    void OnClientClosed(KZAPI::CTCPSocket* s) override { Closed(s); }
    void OnRead(KZAPI::CTCPSocket* s, int available) override { Read(s, available); }
    void OnSend(KZAPI::CTCPSocket* s) override { Send(s); }
};

class CSIPTLSServerThread : public KZAPI::CTLSServerThread, public CSIPStreamTransport {
public:
    CSIPTLSServerThread(sip_group* group, int tls_type);
    ~CSIPTLSServerThread() override;

protected:
    KZAPI::CTCPSocket* CreateClientSocket() override;
    void OnClientAccepted(KZAPI::CTCPSocket* s) override { Accepted(s); }
    void OnClientConnected(KZAPI::CTCPSocket* s) override { Connected(s); }
    void OnPassDone() override { ReportUndelivered(); }
    uint64_t NowMs() const override { return StackNowMs(); }
    void OnClientClosed(KZAPI::CTCPSocket* s) override { Closed(s); }
    void OnRead(KZAPI::CTCPSocket* s, int available) override { Read(s, available); }
    void OnSend(KZAPI::CTCPSocket* s) override { Send(s); }
};
