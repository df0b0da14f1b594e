// CKZStunServer: a classic STUN server (RFC 3489) on a primary and an optional alternate
// address, each on ports 3478 and 3479, so that clients can find their mapped address and
// classify their NAT. A host thread answers one request per pass of its loop. The application
// creates, starts and stops it.
#pragma once

#include "host/CBaseSocket.h"
#include "host/CBaseThread.h"
#include "host/CMutex.h"
#include "nat/CKZStunMessage.h"
#include "nat/KZStunTypes.h"

#include <cstddef>
#include <cstdint>

class __attribute__((visibility("default"))) CKZStunServer : public KZAPI::CBaseThread {
public:
    // The sockets, in the order they are opened and served: A1 primary, A2 alternate address,
    // P1 3478, P2 3479.
    enum : int { SOCK_A1_P1 = 0, SOCK_A1_P2 = 1, SOCK_A2_P1 = 2, SOCK_A2_P2 = 3, SOCK_COUNT = 4 };

    // SERVER-NAME of every answer: 16 bytes, a whole number of STUN words.
    static constexpr char kServerName[] = "KZSIPAPI STUN v1";
    // Built-in test credentials: the only username a request with MESSAGE-INTEGRITY may carry;
    // the integrity is checked under the test password.
    static constexpr char kTestUsername[] = "kzstun-test-user";
    static constexpr char kTestPassword[] = "kzstun-test-pass";
    // The key that derives the password of a generated username (Shared Secret Response).
    static constexpr char kSecretKey[] = "KZSIPAPI STUN shared secret key";
    static constexpr int kStopWaitMs = 500;
    // How often system-chosen ports are chosen again when the alternate address has them taken.
    static constexpr int kPortChoiceTries = 4;

    CKZStunServer() = default;
    ~CKZStunServer() override;

    // Parses both addresses (host or dotted address; an alternate of null or "" means none),
    // opens the sockets on port and alternate_port (3478 and 3479 unless given; 0 lets the
    // system choose a free one, read back with GetSocketAddress) and starts the thread. False when an
    // address does not parse or a socket cannot be opened (everything opened is closed again).
    bool Start(const char* primary, const char* alternate, uint16_t port = KZ_STUN_DEFAULT_PORT,
               uint16_t alternate_port = KZ_STUN_ALTERNATE_PORT);
    // Stops the thread (waiting up to kStopWaitMs) and closes the sockets.
    bool Stop();

    // One processing step: waits up to wait_ms for a request on the open sockets and answers
    // the first readable one. The thread runs it with 1 ms, then sleeps 1 ms.
    bool ProcessStep(int wait_ms = 1);

    bool IsSocketOpen(int index) const;
    // The address and port socket index answers on.
    KZStunAddress4 GetSocketAddress(int index) const { return SocketAddress(index); }
    const KZStunAddress4& GetPrimaryAddress() const { return m_primary; }
    bool HasAlternateAddress() const { return m_has_alternate; }
    const KZStunAddress4& GetAlternateAddress() const { return m_alternate; }

    // The password a Shared Secret Response gives with a username: HMAC-SHA1 under kSecretKey.
    static void DerivePassword(const char* username, size_t len, uint8_t out[KZ_STUN_HMAC_SIZE]);

protected:
    void DoUnblockedLoop() override;

private:
    bool OpenSockets();
    // Opens the sockets in order; the index of the first that cannot be opened (all are closed
    // again then), or -1.
    int OpenEachSocket();
    void CloseSockets();
    KZStunAddress4 SocketAddress(int index) const;
    void Answer(int index, const uint8_t* buf, size_t len, const KZStunAddress4& from);
    void AnswerBinding(int index, const CKZStunMessage& req, const uint8_t* buf, size_t len,
                       const KZStunAddress4& from);
    void AnswerSharedSecret(int index, const CKZStunMessage& req, const KZStunAddress4& from);
    void SendError(int index, const CKZStunMessage& req, const KZStunAddress4& from, unsigned code,
                   const char* reason);
    void Send(int index, const CKZStunMessage& msg, const KZStunAddress4& dest, const void* key = nullptr,
              size_t key_len = 0);

    KZAPI::CMutex m_lock; // Start / Stop / ProcessStep from different threads
    KZStunAddress4 m_primary;
    KZStunAddress4 m_alternate;
    bool m_has_alternate = false;
    KZAPI::CBaseSocket m_sockets[SOCK_COUNT];
};

static_assert(sizeof(CKZStunServer::kServerName) - 1 == 16, "SERVER-NAME is a fixed 16-byte text");
static_assert((sizeof(CKZStunServer::kTestUsername) - 1) % 4 == 0, "USERNAME is a multiple of four bytes");
