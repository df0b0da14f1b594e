#include "host/CTLSServerThread.h"

#include "host/KZSockUtil.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace KZAPI {

namespace {

// Builds one side's context for a TLS type (the table is in the header).
SSL_CTX* MakeContext(bool server, int tls_type) {
    SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx) return nullptr;
    int min_version = TLS1_2_VERSION;
    int max_version = 0; // the newest the library has
    bool verify = false;
    switch (tls_type) {
    case 0:
        min_version = TLS1_VERSION;
        break;
    case 1:
        min_version = TLS1_1_VERSION;
        break;
    case 2:
        verify = true;
        break;
    case 4:
        min_version = max_version = TLS1_3_VERSION;
        verify = true;
        break;
    default:
        break;
    }
    // TLS 1.0 and 1.1 need SHA-1 signatures, which security level 1 and up refuse.
    if (min_version < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_min_proto_version(ctx, min_version);
    SSL_CTX_set_max_proto_version(ctx, max_version);
    // Many SIP peers close TCP without close_notify; that is an orderly end here (messages carry
    // their own length), not an error.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    if (verify) {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(ctx);
    } else {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    if (server) {
        static const unsigned char kSessionContext[] = "kzapi-tls";
        SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof(kSessionContext) - 1);
    }
    return ctx;
}

bool LoadCertAndKey(SSL_CTX* ctx, const char* cert_file, const char* key_file) {
    return SSL_CTX_use_certificate_chain_file(ctx, cert_file) == 1 &&
           SSL_CTX_use_PrivateKey_file(ctx, key_file, SSL_FILETYPE_PEM) == 1 &&
           SSL_CTX_check_private_key(ctx) == 1;
}

} // namespace

CTLSServerThread::CTLSServerThread(int tls_type) : m_tls_type(tls_type) {
    m_server_ctx = MakeContext(true, tls_type);
    m_client_ctx = MakeContext(false, tls_type);
    if (!m_server_ctx || !m_client_ctx) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof(text));
        Log(LOG_ERROR, "CTLSServerThread can't create TLS contexts: %s", text);
        ERR_clear_error();
    }
}

CTLSServerThread::~CTLSServerThread() {
    Stop(); // before the contexts go: the loop may be in a handshake
    SSL_CTX_free(static_cast<SSL_CTX*>(m_server_ctx));
    SSL_CTX_free(static_cast<SSL_CTX*>(m_client_ctx));
}

bool CTLSServerThread::SetSSLCertAndKeyFiles(const char* cert_file, const char* key_file) {
    if (!m_server_ctx || !m_client_ctx || !cert_file || !key_file) return false;
    // The same identity serves incoming connections and answers a server that asks our outgoing
    // connections for a certificate.
    const bool ok = LoadCertAndKey(static_cast<SSL_CTX*>(m_server_ctx), cert_file, key_file) &&
                    LoadCertAndKey(static_cast<SSL_CTX*>(m_client_ctx), cert_file, key_file);
    if (!ok) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof(text));
        Log(LOG_ERROR, "CTLSServerThread can't use certificate %s and key %s: %s", cert_file, key_file, text);
    }
    ERR_clear_error();
    return ok;
}

CTCPSocket* CTLSServerThread::ConnectTo(const char* address, uint16_t port) {
    uint32_t ip = 0;
    if (!KZ_ParseIPv4(address, &ip, false)) {
        Log(LOG_ERROR, "CTLSServerThread::ConnectTo bad address %s", address ? address : "(null)");
        return nullptr;
    }
    CTCPSocket* socket = CreateClientSocket();
    auto* tls = dynamic_cast<CSSLTCPSocket*>(socket);
    if (!tls) {
        Log(LOG_ERROR, "CTLSServerThread::ConnectTo the client socket factory made no TLS socket");
        if (socket) DestroyClientSocket(socket);
        return nullptr;
    }
    tls->SetClientContext(m_client_ctx);
    // Connect runs the TCP connect and the client handshake, each bounded by its timeout.
    if (!tls->Connect(ip, port)) {
        Log(LOG_WARNING, "CTLSServerThread::ConnectTo %s:%d failed", KZ_InetNtoa(ip).c_str(), port);
        tls->Close();
        DestroyClientSocket(socket);
        return nullptr;
    }
    AddClient(socket);
    return socket;
}

CTCPSocket* CTLSServerThread::CreateClientSocket() {
    auto* socket = new CSSLTCPSocket();
    socket->SetClientContext(m_client_ctx);
    return socket;
}

bool CTLSServerThread::BeginSetUp(CTCPSocket* socket, bool as_server) {
    auto* tls = dynamic_cast<CSSLTCPSocket*>(socket);
    if (!tls) {
        Log(LOG_ERROR, "CTLSServerThread the client socket factory made no TLS socket");
        return false;
    }
    void* ctx = as_server ? m_server_ctx : m_client_ctx;
    if (!ctx) return false;
    tls->SetClientContext(m_client_ctx);
    return tls->BeginHandshake(ctx, as_server);
}

} // namespace KZAPI
