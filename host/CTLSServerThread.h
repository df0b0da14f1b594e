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
// An accepted connection runs its handshake on the server thread without blocking it: it waits in
// the client list, driven by readiness, and is announced once the handshake is done; a peer that
// has not finished within the handshake timeout (SetHandshakeTimeout) is dropped. Outgoing
// connections from ConnectAsync run their client handshake the same way.
#pragma once

#include "host/CTCPServerThread.h"

#include <string>

namespace KZAPI {

class CTLSServerThread : public CTCPServerThread {
public:
    explicit CTLSServerThread(int tls_type = 3);
    ~CTLSServerThread() override;

    // Certificate and key (PEM) presented to peers, as server and as client.
    bool SetSSLCertAndKeyFiles(const char* cert_file, const char* key_file);
    int GetTLSType() const { return m_tls_type; }

    // Opens an outgoing TLS connection, waiting for the connect and the handshake, and adds it
    // to the client list; null on failure. ConnectAsync does the same without waiting.
    CTCPSocket* ConnectTo(const char* address, uint16_t port);

protected:
    CTCPSocket* CreateClientSocket() override;
    bool BeginSetUp(CTCPSocket* socket, bool as_server) override;
    void* ServerContext() const { return m_server_ctx; }
    void* ClientContext() const { return m_client_ctx; }

private:
    int m_tls_type;
    void* m_server_ctx = nullptr; // SSL_CTX*
    void* m_client_ctx = nullptr; // SSL_CTX*
};

} // namespace KZAPI
