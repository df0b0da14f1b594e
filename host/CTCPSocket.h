// Connected stream sockets of the host: CTCPSocket over a TCP connection and CSSLTCPSocket with
// TLS on top of it. A socket belongs to one server thread's client list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct ssl_st SSL;

namespace KZAPI {

// Where a connection's set-up stands after one non-blocking step.
enum class KZHandshake { Done, WantRead, WantWrite, Failed };

class CTCPSocket {
public:
    CTCPSocket() = default;
    virtual ~CTCPSocket();
    CTCPSocket(const CTCPSocket&) = delete;
    CTCPSocket& operator=(const CTCPSocket&) = delete;

    // Creates the socket (no-op when it already has one).
    bool Init();
    // Binds to an address ("" = any) and port (0 = any).
    bool Bind(const char* address, uint16_t port);
    // Connects to ipv4 (network order):port, waiting at most timeout_ms.
    virtual bool Connect(uint32_t ipv4, uint16_t port, unsigned timeout_ms = 3000);
    // Starts a connect without waiting; false when it failed at once (*error tells why). The
    // descriptor becomes writable when the connect has ended: FinishConnect then tells how.
    bool StartConnect(uint32_t ipv4, uint16_t port, int* error = nullptr);
    // 0 when the started connect succeeded, else its errno.
    int FinishConnect();
    // One non-blocking step of whatever the connection needs before it carries data, run each time
    // the descriptor is ready for what the previous step asked. Plain TCP needs nothing.
    virtual KZHandshake HandshakeStep() { return KZHandshake::Done; }
    // Writes all of buf (blocking, bounded by a timeout); returns bytes written or -1. A send that
    // fails or makes no progress for the timeout shuts the connection down (its stream may have
    // lost bytes), so the server thread that owns it sees it close.
    virtual int Send(const char* buf, size_t len);
    // Writes as much of buf as the connection takes now, without waiting: the bytes written (0
    // when it takes none) or -1 when the connection has failed. A TLS retry after 0 must pass the
    // same bytes again.
    virtual int SendSome(const char* buf, size_t len);
    // Reads what is available, at most size bytes; 0 on orderly close, -1 on error.
    virtual int Recv(char* buf, size_t size);
    // Bytes waiting to be read without blocking (TLS: decrypted bytes buffered included); -1
    // when the connection has failed (TLS: also when the peer has ended the session).
    virtual int Available() const;
    // Bytes already taken off the descriptor and held by the socket (TLS: decrypted bytes not yet
    // read). A server thread serves these without waiting for the descriptor to become readable.
    virtual int Buffered() const { return 0; }
    virtual void Close();

    int GetFd() const { return m_fd; }
    void AttachFd(int fd); // an accepted connection
    uint32_t GetPeerIP() const { return m_peer_ip; }
    uint16_t GetPeerPort() const { return m_peer_port; }
    uint32_t GetLocalIP() const { return m_local_ip; }
    uint16_t GetLocalPort() const { return m_local_port; }
    std::string GetPeerText() const;
    // The time (ms) of the connection's last useful traffic, as its server's clock counts it.
    void MarkActivity(uint64_t now_ms) { m_activity_ms = now_ms; }
    uint64_t LastActivity() const { return m_activity_ms; }
    // How long this connection may go without activity; 0 takes its server's idle time-out.
    void SetIdleLimit(uint64_t ms) { m_idle_limit_ms = ms; }
    uint64_t IdleLimit() const { return m_idle_limit_ms; }
    // Set while the owner has bytes the connection would not take: its server then calls OnSend
    // again as soon as the connection is writable.
    void SetWantsWrite(bool wants) { m_wants_write = wants; }
    bool WantsWrite() const { return m_wants_write; }

protected:
    void ReadNames();

    int m_fd = -1;
    uint32_t m_peer_ip = 0;
    uint16_t m_peer_port = 0;
    uint32_t m_local_ip = 0;
    uint16_t m_local_port = 0;
    uint64_t m_activity_ms = 0;
    uint64_t m_idle_limit_ms = 0;
    bool m_wants_write = false;
};

class CSSLTCPSocket : public CTCPSocket {
public:
    ~CSSLTCPSocket() override;
    bool Connect(uint32_t ipv4, uint16_t port, unsigned timeout_ms = 3000) override;
    int Send(const char* buf, size_t len) override;
    int SendSome(const char* buf, size_t len) override;
    int Recv(char* buf, size_t size) override;
    int Available() const override;
    void Close() override;

    // Runs the TLS handshake on the connected socket as server or client (ctx is an SSL_CTX*).
    bool Handshake(void* ctx, bool as_server, unsigned timeout_ms = 5000);
    // Sets up a handshake that HandshakeStep then drives without blocking.
    bool BeginHandshake(void* ctx, bool as_server);
    KZHandshake HandshakeStep() override;
    // Why the last handshake step failed.
    const std::string& HandshakeError() const { return m_handshake_error; }
    int Buffered() const override;
    bool IsSecured() const { return m_ssl != nullptr; }
    // The client context the socket uses for outgoing connections (set by its server thread).
    void SetClientContext(void* ctx) { m_client_ctx = ctx; }

private:
    SSL* m_ssl = nullptr;
    SSL* m_handshaking = nullptr; // becomes m_ssl once the handshake is done
    bool m_as_server = false;
    std::string m_handshake_error;
    void* m_client_ctx = nullptr;
    // Set after a fatal TLS error: the session may not be used again (not even for close_notify).
    mutable bool m_ssl_failed = false;
};

} // namespace KZAPI
