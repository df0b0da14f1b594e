// CTLSServerThread: a TCP server whose connections run TLS (OpenSSL).
//
// TLS type values (the "kzsrv.sip.ssl.type" setting):
//   0  TLS 1.0 or newer, peer certificate not verified
//   1  TLS 1.1 or newer, peer certificate not verified
//   2  TLS 1.2 or newer, peer certificate verified against the system trust store
//   3  TLS 1.2 or newer, peer certificate not verified (default: SIP peers commonly present
//      self-signed certificates, and the address filters decide who may talk to us)
//   4  TLS 1.3 only, peer certificate verified
// Any other value behaves as 3.
// Verified types check the chain of the certificate a server presents to our outgoing
// connections, and of any certificate an incoming client offers (none is required). Names are
// not matched: connections are made to addresses. Types 0 and 1 lower OpenSSL's security level
// so the old protocol versions can actually be negotiated.
//
// An accepted connection completes its handshake on the server thread before it is listed; a
// peer that has not finished within the handshake timeout is dropped.
#pragma once

#include "host/CTCPServerThread.h"

#include <atomic>
#include <string>

namespace KZAPI {

class CTLSServerThread : public CTCPServerThread {
public:
    explicit CTLSServerThread(int tls_type = 3);
    ~CTLSServerThread() override;

    // Certificate and key (PEM) presented to peers, as server and as client.
    bool SetSSLCertAndKeyFiles(const char* cert_file, const char* key_file);
    int GetTLSType() const { return m_tls_type; }
    // How long an accepted connection may take over its handshake (default 3000 ms).
    void SetHandshakeTimeout(unsigned ms) { m_handshake_timeout_ms = ms; }

    // Opens an outgoing TLS connection and adds it to the client list; null on failure.
    CTCPSocket* ConnectTo(const char* address, uint16_t port);

protected:
    CTCPSocket* CreateClientSocket() override;
    bool PrepareAccepted(CTCPSocket* socket) override;
    void* ServerContext() const { return m_server_ctx; }
    void* ClientContext() const { return m_client_ctx; }

private:
    int m_tls_type;
    std::atomic<unsigned> m_handshake_timeout_ms{3000};
    void* m_server_ctx = nullptr; // SSL_CTX*
    void* m_client_ctx = nullptr; // SSL_CTX*
};

} // namespace KZAPI
