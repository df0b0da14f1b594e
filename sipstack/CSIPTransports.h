// The stack's transports over the host's socket-server threads. They do no SIP work: received
// data becomes sip_cmd blocks in the stack's received-data queue; blocks to send are written out.
// Every datagram and connection is checked against the stack's address filters.
#pragma once

#include "host/CTCPServerThread.h"
#include "host/CTLSServerThread.h"
#include "host/CUDPServerThread.h"
#include "sipstack/CSIPStreamFramer.h"
#include "sipstack/TCQueue.h"
#include "sipstack/sip_cmd.h"

#include <cstdint>

class sip_group;

// What a SIP stream connection keeps besides its socket: the blocks waiting to be written and
// the bytes read so far of a message not yet complete.
struct CSIPStreamState {
    static constexpr size_t kSendQueueCapacity = 200;
    TCQueue<sip_cmd> send_queue{kSendQueueCapacity, true};
    CSIPStreamFramer framer;
    virtual ~CSIPStreamState() = default;
};

class CSIPTCPSocket : public KZAPI::CTCPSocket, public CSIPStreamState {};
class CSIPSSLSocket : public KZAPI::CSSLTCPSocket, public CSIPStreamState {};

class CSIPUDPServerThread : public KZAPI::CUDPServerThread {
public:
    static constexpr int kMaxDatagram = 8191;
    explicit CSIPUDPServerThread(sip_group* group) : m_group(group) {}
    ~CSIPUDPServerThread() override;

protected:
    void OnRead(int sock, int available) override;
    void OnSend() override;

private:
    sip_group* m_group;
};

// The log texts and protocol code that tell the TCP and TLS transports apart.
struct CSIPStreamKind {
    const char* cls;        // "CSIPTCPServerThread" / "CSIPTLSServerThread"
    const char* name;       // "TCP" / "TCP TLS"
    int32_t protocol;       // 1 / 2
    const char* read_error; // format of the failed-read log
};

// Connection handling shared by the TCP and TLS transports.
class CSIPStreamTransport {
public:
    static constexpr int kMaxRead = 16383;

    CSIPStreamTransport(sip_group* group, KZAPI::CTCPServerThread* server, const CSIPStreamKind& kind)
        : m_group(group), m_server(server), m_kind(kind) {}

    // Finds or opens the connection for the block's destination and queues the block on it.
    bool CheckConnection(sip_cmd&& cmd);

    void Read(KZAPI::CTCPSocket* socket, int available);
    void Send(KZAPI::CTCPSocket* socket);
    void Accepted(KZAPI::CTCPSocket* socket);
    void Closed(KZAPI::CTCPSocket* socket);

    // Opens a new outgoing connection (the TCP and TLS servers differ here).
    virtual KZAPI::CTCPSocket* Connect(uint32_t ipv4, uint16_t port) = 0;
    virtual ~CSIPStreamTransport() = default;

protected:
    sip_group* m_group;
    KZAPI::CTCPServerThread* m_server;
    CSIPStreamKind m_kind;
};

class CSIPTCPServerThread : public KZAPI::CTCPServerThread, public CSIPStreamTransport {
public:
    explicit CSIPTCPServerThread(sip_group* group);
    ~CSIPTCPServerThread() override;
    KZAPI::CTCPSocket* Connect(uint32_t ipv4, uint16_t port) override;

protected:
    KZAPI::CTCPSocket* CreateClientSocket() override { return new CSIPTCPSocket(); }
    void OnClientAccepted(KZAPI::CTCPSocket* s) override { Accepted(s); }
    void OnClientClosed(KZAPI::CTCPSocket* s) override { Closed(s); }
    void OnRead(KZAPI::CTCPSocket* s, int available) override { Read(s, available); }
    void OnSend(KZAPI::CTCPSocket* s) override { Send(s); }
};

class CSIPTLSServerThread : public KZAPI::CTLSServerThread, public CSIPStreamTransport {
public:
    CSIPTLSServerThread(sip_group* group, int tls_type);
    ~CSIPTLSServerThread() override;
    KZAPI::CTCPSocket* Connect(uint32_t ipv4, uint16_t port) override;

protected:
    KZAPI::CTCPSocket* CreateClientSocket() override;
    void OnClientAccepted(KZAPI::CTCPSocket* s) override { Accepted(s); }
    void OnClientClosed(KZAPI::CTCPSocket* s) override { Closed(s); }
    void OnRead(KZAPI::CTCPSocket* s, int available) override { Read(s, available); }
    void OnSend(KZAPI::CTCPSocket* s) override { Send(s); }
};
