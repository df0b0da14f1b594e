#include "host/CTCPSocket.h"

#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZSockUtil.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace KZAPI {

namespace {

// How long Send and Recv wait for the socket to make progress before giving up.
constexpr int kIoTimeoutMs = 3000;

using Clock = std::chrono::steady_clock;

void SetNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

std::string SslErrorText() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (!e) return errno ? strerror(errno) : "connection closed";
    char text[256];
    ERR_error_string_n(e, text, sizeof(text));
    return text;
}

// OpenSSL's own socket BIO writes with write(2), which raises SIGPIPE when the peer has gone.
// This BIO does the same I/O with send(MSG_NOSIGNAL) so a library never kills its host process.
// The descriptor stays owned by the socket.
int BioFd(BIO* b) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b)));
}

int BioWrite(BIO* b, const char* in, int len) {
    BIO_clear_retry_flags(b);
    for (;;) {
        const ssize_t n = ::send(BioFd(b), in, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(b);
        return -1;
    }
}

int BioRead(BIO* b, char* out, int len) {
    BIO_clear_retry_flags(b);
    for (;;) {
        const ssize_t n = ::recv(BioFd(b), out, static_cast<size_t>(len), 0);
        if (n > 0) return static_cast<int>(n);
        if (n == 0) {
            BIO_set_flags(b, BIO_FLAGS_IN_EOF);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(b);
        return -1;
    }
}

int BioPuts(BIO* b, const char* s) {
    return BioWrite(b, s, static_cast<int>(strlen(s)));
}

long BioCtrl(BIO* b, int cmd, long /*num*/, void* /*ptr*/) {
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return BIO_test_flags(b, BIO_FLAGS_IN_EOF) != 0;
    default:
        return 0;
    }
}

int BioCreate(BIO* b) {
    BIO_set_data(b, reinterpret_cast<void*>(static_cast<intptr_t>(-1)));
    return 1;
}

int BioDestroy(BIO* /*b*/) {
    return 1;
}

const BIO_METHOD* SocketBioMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kzapi socket");
        if (!m) return m;
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_puts(m, BioPuts);
        BIO_meth_set_ctrl(m, BioCtrl);
        BIO_meth_set_create(m, BioCreate);
        BIO_meth_set_destroy(m, BioDestroy);
        return m;
    }();
    return method;
}

} // namespace

// ---------------- CTCPSocket ----------------

CTCPSocket::~CTCPSocket() {
    CTCPSocket::Close();
}

bool CTCPSocket::Init() {
    if (m_fd >= 0) return true;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        // Callers report the failure (out of descriptors it can come in floods) and read errno.
        const int error = errno;
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CTCPSocket::Init socket() failed: %s",
                             strerror(error));
        errno = error;
        return false;
    }
    return true;
}

bool CTCPSocket::Bind(const char* address, uint16_t port) {
    if (!Init()) return false;
    uint32_t ip = 0;
    if (!KZ_ParseIPv4(address, &ip, true)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CTCPSocket::Bind bad address %s", address);
        return false;
    }
    if (!KZ_BindReusable(m_fd, ip, port)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CTCPSocket::Bind %s:%d failed: %s",
                             KZ_InetNtoa(ip).c_str(), port, strerror(errno));
        return false;
    }
    return true;
}

bool CTCPSocket::Connect(uint32_t ipv4, uint16_t port, unsigned timeout_ms) {
    int err = 0;
    if (StartConnect(ipv4, port, &err)) {
        const int w = KZ_WaitFd(m_fd, POLLOUT, static_cast<int>(timeout_ms));
        err = w == 0 ? ETIMEDOUT : w < 0 ? errno : FinishConnect();
    }
    if (err != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CTCPSocket::Connect %s:%d failed: %s",
                             KZ_InetNtoa(ipv4).c_str(), port, strerror(err));
        Close();
        return false;
    }
    return true;
}

bool CTCPSocket::StartConnect(uint32_t ipv4, uint16_t port, int* error) {
    if (!Init()) {
        if (error) *error = errno;
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ipv4;
    a.sin_port = htons(port);
    // Known before the connect ends, so the connection can be found by where it goes.
    m_peer_ip = ipv4;
    m_peer_port = port;
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 || errno == EINPROGRESS ||
        errno == EINTR)
        return true;
    if (error) *error = errno;
    return false;
}

int CTCPSocket::FinishConnect() {
    if (m_fd < 0) return EBADF;
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    // Writable without an error can still mean "not yet" after an interrupted connect.
    sockaddr_in peer{};
    socklen_t peer_len = sizeof(peer);
    if (err == 0 && getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) err = ENOTCONN;
    if (err != 0) return err;
    SetNoDelay(m_fd);
    ReadNames();
    return 0;
}

int CTCPSocket::Send(const char* buf, size_t len) {
    if (m_fd < 0 || (!buf && len) || len > INT_MAX) return -1;
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::send(m_fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && KZ_WaitFd(m_fd, POLLOUT, kIoTimeoutMs) > 0)
            continue;
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                             "CTCPSocket::Send to %s failed after %zu of %zu bytes: %s",
                             GetPeerText().c_str(), done, len, n < 0 ? strerror(errno) : "timed out");
        ::shutdown(m_fd, SHUT_RDWR);
        return -1;
    }
    return static_cast<int>(done);
}

int CTCPSocket::SendSome(const char* buf, size_t len) {
    if (m_fd < 0 || (!buf && len)) return -1;
    if (len > INT_MAX) len = INT_MAX;
    for (;;) {
        const ssize_t n = ::send(m_fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

int CTCPSocket::Recv(char* buf, size_t size) {
    if (m_fd < 0 || !buf || size == 0) return -1;
    if (size > INT_MAX) size = INT_MAX;
    for (;;) {
        const ssize_t n = ::recv(m_fd, buf, size, 0);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && KZ_WaitFd(m_fd, POLLIN, kIoTimeoutMs) > 0) continue;
        return -1;
    }
}

int CTCPSocket::Available() const {
    if (m_fd < 0) return -1;
    int n = 0;
    if (ioctl(m_fd, FIONREAD, &n) != 0) return -1;
    return n;
}

void CTCPSocket::Close() {
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
}

void CTCPSocket::AttachFd(int fd) {
    Close();
    m_fd = fd;
    if (m_fd < 0) return;
    const int flags = fcntl(m_fd, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    SetNoDelay(m_fd);
    ReadNames();
}

std::string CTCPSocket::GetPeerText() const {
    return KZ_InetNtoa(m_peer_ip) + ":" + std::to_string(m_peer_port);
}

void CTCPSocket::ReadNames() {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    if (getpeername(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET) {
        m_peer_ip = a.sin_addr.s_addr;
        m_peer_port = ntohs(a.sin_port);
    }
    a = sockaddr_in{};
    len = sizeof(a);
    if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET) {
        m_local_ip = a.sin_addr.s_addr;
        m_local_port = ntohs(a.sin_port);
    }
}

// ---------------- CSSLTCPSocket ----------------
// The descriptor stays non-blocking; Send, Recv and the handshake wait with poll() whenever
// OpenSSL asks to read or write more, so each is bounded by its timeout.

CSSLTCPSocket::~CSSLTCPSocket() {
    CSSLTCPSocket::Close();
}

bool CSSLTCPSocket::Connect(uint32_t ipv4, uint16_t port, unsigned timeout_ms) {
    if (!m_client_ctx) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CSSLTCPSocket::Connect %s:%d without a TLS client context",
                             KZ_InetNtoa(ipv4).c_str(), port);
        return false;
    }
    if (!CTCPSocket::Connect(ipv4, port, timeout_ms)) return false;
    if (Handshake(m_client_ctx, false, timeout_ms)) return true;
    Close();
    return false;
}

bool CSSLTCPSocket::Handshake(void* ctx, bool as_server, unsigned timeout_ms) {
    if (!BeginHandshake(ctx, as_server)) return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const KZHandshake step = HandshakeStep();
        if (step == KZHandshake::Done) return true;
        if (step == KZHandshake::Failed) break;
        const short wait_for = step == KZHandshake::WantRead ? POLLIN : POLLOUT;
        if (KZ_MsLeft(deadline) == 0 || KZ_WaitFd(m_fd, wait_for, KZ_MsLeft(deadline)) <= 0) {
            m_handshake_error = "timed out";
            break;
        }
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "CSSLTCPSocket::Handshake (%s) with %s failed: %s",
                         as_server ? "server" : "client", GetPeerText().c_str(), m_handshake_error.c_str());
    SSL_free(m_handshaking);
    m_handshaking = nullptr;
    return false;
}

bool CSSLTCPSocket::BeginHandshake(void* ctx, bool as_server) {
    if (m_fd < 0 || !ctx) return false;
    SSL_free(m_ssl);
    SSL_free(m_handshaking);
    m_ssl = m_handshaking = nullptr;
    m_ssl_failed = false;
    m_handshake_error.clear();
    const BIO_METHOD* method = SocketBioMethod();
    SSL* ssl = method ? SSL_new(static_cast<SSL_CTX*>(ctx)) : nullptr;
    BIO* bio = ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CSSLTCPSocket::Handshake can't create a TLS session: %s",
                             SslErrorText().c_str());
        SSL_free(ssl);
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(m_fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio); // the session owns the BIO from here on
    // SendSome hands over what fits and is retried with the rest, from wherever it then lies.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (as_server)
        SSL_set_accept_state(ssl);
    else
        SSL_set_connect_state(ssl);
    m_handshaking = ssl;
    m_as_server = as_server;
    return true;
}

KZHandshake CSSLTCPSocket::HandshakeStep() {
    if (m_ssl) return KZHandshake::Done;
    if (!m_handshaking) return KZHandshake::Failed;
    ERR_clear_error();
    errno = 0;
    const int r = SSL_do_handshake(m_handshaking);
    if (r == 1) {
        m_ssl = std::exchange(m_handshaking, nullptr);
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CSSLTCPSocket::Handshake (%s) with %s done: %s %s",
                             m_as_server ? "server" : "client", GetPeerText().c_str(), SSL_get_version(m_ssl),
                             SSL_get_cipher_name(m_ssl));
        return KZHandshake::Done;
    }
    const int e = SSL_get_error(m_handshaking, r);
    if (e == SSL_ERROR_WANT_READ) return KZHandshake::WantRead;
    if (e == SSL_ERROR_WANT_WRITE) return KZHandshake::WantWrite;
    m_handshake_error = SslErrorText();
    const long verify = SSL_get_verify_result(m_handshaking);
    if (verify != X509_V_OK)
        m_handshake_error += std::string(" (certificate: ") + X509_verify_cert_error_string(verify) + ")";
    SSL_free(m_handshaking);
    m_handshaking = nullptr;
    return KZHandshake::Failed;
}

int CSSLTCPSocket::Send(const char* buf, size_t len) {
    if (!m_ssl) return CTCPSocket::Send(buf, len);
    if (m_fd < 0 || m_ssl_failed || (!buf && len) || len > INT_MAX) return -1;
    size_t done = 0;
    while (done < len) {
        ERR_clear_error();
        errno = 0;
        size_t written = 0;
        const int r = SSL_write_ex(m_ssl, buf + done, len - done, &written);
        if (r == 1) {
            done += written;
            continue;
        }
        const int e = SSL_get_error(m_ssl, r);
        const short wait_for = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        // A retried SSL_write must repeat the same arguments, which is what the loop does.
        if (wait_for && KZ_WaitFd(m_fd, wait_for, kIoTimeoutMs) > 0) continue;
        const std::string why = wait_for ? std::string("timed out") : SslErrorText();
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                             "CSSLTCPSocket::Send to %s failed after %zu of %zu bytes: %s",
                             GetPeerText().c_str(), done, len, why.c_str());
        m_ssl_failed = true; // a record may be half written: the session can't go on
        ::shutdown(m_fd, SHUT_RDWR);
        return -1;
    }
    return static_cast<int>(done);
}

int CSSLTCPSocket::SendSome(const char* buf, size_t len) {
    if (!m_ssl) return CTCPSocket::SendSome(buf, len);
    if (m_fd < 0 || m_ssl_failed || (!buf && len)) return -1;
    if (len == 0) return 0;
    ERR_clear_error();
    errno = 0;
    size_t written = 0;
    const int r = SSL_write_ex(m_ssl, buf, len, &written);
    if (r == 1) return static_cast<int>(written);
    const int e = SSL_get_error(m_ssl, r);
    if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) return 0;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CSSLTCPSocket::SendSome to %s failed: %s",
                         GetPeerText().c_str(), SslErrorText().c_str());
    m_ssl_failed = true;
    return -1;
}

int CSSLTCPSocket::Recv(char* buf, size_t size) {
    if (!m_ssl) return CTCPSocket::Recv(buf, size);
    if (m_fd < 0 || m_ssl_failed || !buf || size == 0) return -1;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        size_t got = 0;
        const int r = SSL_read_ex(m_ssl, buf, size, &got);
        if (r == 1) return static_cast<int>(got);
        const int e = SSL_get_error(m_ssl, r);
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        const short wait_for = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (wait_for) {
            if (KZ_WaitFd(m_fd, wait_for, kIoTimeoutMs) > 0) continue;
            return -1;
        }
        m_ssl_failed = true;
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CSSLTCPSocket::Recv from %s failed: %s",
                             GetPeerText().c_str(), SslErrorText().c_str());
        return -1;
    }
}

int CSSLTCPSocket::Available() const {
    if (!m_ssl) return CTCPSocket::Available();
    if (m_fd < 0 || m_ssl_failed) return -1;
    int pending = SSL_pending(m_ssl);
    if (pending > 0) return pending;
    // Let OpenSSL take in whatever records have arrived (without consuming application data):
    // a readable descriptor may carry only handshake messages such as TLS 1.3 session tickets,
    // or only part of a record.
    ERR_clear_error();
    errno = 0;
    char c;
    size_t got = 0;
    const int r = SSL_peek_ex(m_ssl, &c, 1, &got);
    if (r == 1) {
        pending = SSL_pending(m_ssl);
        return pending > 0 ? pending : 1;
    }
    const int e = SSL_get_error(m_ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
    if (e != SSL_ERROR_ZERO_RETURN) m_ssl_failed = true;
    ERR_clear_error();
    return -1; // failed, or the peer ended the session
}

int CSSLTCPSocket::Buffered() const {
    return m_ssl && !m_ssl_failed ? SSL_pending(m_ssl) : 0;
}

void CSSLTCPSocket::Close() {
    SSL_free(m_handshaking);
    m_handshaking = nullptr;
    if (m_ssl) {
        // One attempt at close_notify; the descriptor is non-blocking, so this never waits.
        if (!m_ssl_failed && m_fd >= 0 && SSL_is_init_finished(m_ssl)) SSL_shutdown(m_ssl);
        SSL_free(m_ssl);
        m_ssl = nullptr;
        ERR_clear_error();
    }
    m_ssl_failed = false;
    CTCPSocket::Close();
}

} // namespace KZAPI
