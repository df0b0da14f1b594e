#include "nat/CKZStunServer.h"

#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/KZCrypto.h"
#include "host/KZStrFunc.h"
#include "nat/CKZStunClient.h"

#include <cstring>

using KZAPI::CBaseSocket;
using KZAPI::CKZLogInterface;

namespace {

constexpr const char* kSocketNames[CKZStunServer::SOCK_COUNT] = {"A1:P1", "A1:P2", "A2:P1", "A2:P2"};

} // namespace

CKZStunServer::~CKZStunServer() {
    Stop();
}

bool CKZStunServer::Start(const char* primary, const char* alternate, uint16_t port,
                          uint16_t alternate_port) {
    Stop();
    KZAPI::CMutexLock lock(m_lock);
    if (!CKZStunClient::ParseServerName(primary, m_primary)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CKZStunServer::Start can't parse the primary address %s",
                             primary ? primary : "(null)");
        return false;
    }
    m_has_alternate = alternate && *alternate;
    m_alternate = KZStunAddress4{};
    if (m_has_alternate && !CKZStunClient::ParseServerName(alternate, m_alternate)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CKZStunServer::Start can't parse the alternate address %s", alternate);
        m_has_alternate = false;
        return false;
    }
    m_primary.port = port;
    m_alternate.port = alternate_port;
    if (!OpenSockets()) return false;
    return StartThread("kz-stun-server");
}

bool CKZStunServer::Stop() {
    StopThread(kStopWaitMs);
    KZAPI::CMutexLock lock(m_lock);
    CloseSockets();
    return true;
}

KZStunAddress4 CKZStunServer::SocketAddress(int index) const {
    KZStunAddress4 a;
    a.addr = (index & 2) ? m_alternate.addr : m_primary.addr;
    a.port = (index & 1) ? m_alternate.port : m_primary.port;
    return a;
}

bool CKZStunServer::OpenSockets() {
    const uint16_t asked[2] = {m_primary.port, m_alternate.port};
    for (int attempt = 0; attempt < kPortChoiceTries; ++attempt) {
        m_primary.port = asked[0];
        m_alternate.port = asked[1];
        const int failed = OpenEachSocket();
        if (failed < 0) return true;
        // A port the system chose on the primary address may be taken on the alternate one:
        // choose again. A port the caller gave has no alternative.
        if (asked[failed & 1] != 0) return false;
    }
    return false;
}

int CKZStunServer::OpenEachSocket() {
    const int count = m_has_alternate ? SOCK_COUNT : 2;
    for (int i = 0; i < count; ++i) {
        const KZStunAddress4 a = SocketAddress(i);
        char ip[16];
        KZStunIPText(a.addr, ip, sizeof(ip));
        if (!m_sockets[i].OpenUDP(KZStunToNetOrder(a.addr), a.port)) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Can't open %s:%d", ip,
                                 static_cast<int>(a.port));
            CloseSockets();
            return i;
        }
        // A port of 0 is chosen by the system on the primary address; the alternate follows it.
        uint16_t& chosen = (i & 1) ? m_alternate.port : m_primary.port;
        if (chosen == 0) chosen = m_sockets[i].GetLocalPort();
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Opened %s:%d", ip, static_cast<int>(chosen));
    }
    return -1;
}

void CKZStunServer::CloseSockets() {
    for (auto& s : m_sockets)
        s.Close();
}

bool CKZStunServer::IsSocketOpen(int index) const {
    return index >= 0 && index < SOCK_COUNT && m_sockets[index].IsOpen();
}

void CKZStunServer::DoUnblockedLoop() {
    ProcessStep(1);
    Sleep(1);
}

bool CKZStunServer::ProcessStep(int wait_ms) {
    KZAPI::CMutexLock lock(m_lock);
    CBaseSocket* sockets[SOCK_COUNT] = {&m_sockets[0], &m_sockets[1], &m_sockets[2], &m_sockets[3]};
    bool ready[SOCK_COUNT] = {};
    int error = 0;
    const int readable = CBaseSocket::WaitAnyReadable(sockets, SOCK_COUNT, wait_ms, ready, &error);
    if (readable < 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Error on select: %s",
                             CBaseSocket::ErrorText(error).c_str());
        return true;
    }
    for (int i = 0; i < SOCK_COUNT; ++i) {
        if (!ready[i]) continue;
        uint8_t buf[KZ_STUN_MAX_MESSAGE];
        uint32_t from_ip = 0;
        uint16_t from_port = 0;
        const int n = m_sockets[i].RecvFrom(buf, sizeof(buf), &from_ip, &from_port);
        if (n <= 0) {
            CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Get message did not return a valid message");
            return true;
        }
        Answer(i, buf, static_cast<size_t>(n), KZStunAddress4{from_port, KZStunToHostOrder(from_ip)});
        return true; // one request per step
    }
    return true;
}

void CKZStunServer::Answer(int index, const uint8_t* buf, size_t len, const KZStunAddress4& from) {
    CKZStunMessage req;
    if (!req.Parse(buf, len)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Failed to parse message");
        return;
    }
    char text[KZ_STUN_ADDRESS_TEXT_SIZE];
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZStunServer request 0x%04x on %s from %s",
                         static_cast<unsigned>(req.msg_type), kSocketNames[index],
                         KZStunAddressText(from, text, sizeof(text)));
    if (req.msg_type == KZ_STUN_BINDING_REQUEST)
        AnswerBinding(index, req, buf, len, from);
    else if (req.msg_type == KZ_STUN_SHARED_SECRET_REQUEST)
        AnswerSharedSecret(index, req, from);
}

void CKZStunServer::AnswerBinding(int index, const CKZStunMessage& req, const uint8_t* buf, size_t len,
                                  const KZStunAddress4& from) {
    const bool signed_request = req.has_message_integrity;
    if (signed_request) {
        if (!req.has_username) {
            SendError(index, req, from, 432, "No UserName and contains MessageIntegrity");
            return;
        }
        if (req.username.size != sizeof(kTestUsername) - 1 ||
            memcmp(req.username.value, kTestUsername, req.username.size) != 0) {
            char reason[KZ_STUN_MAX_STRING];
            KZAPI::s_printf(reason, sizeof(reason), "Unknown username. Try %s with password %s",
                            kTestUsername, kTestPassword);
            SendError(index, req, from, 430, reason);
            return;
        }
        if (!CKZStunMessage::CheckIntegrity(buf, len, kTestPassword, sizeof(kTestPassword) - 1)) {
            SendError(index, req, from, 431, "Integrity Check Failure");
            return;
        }
    }

    // The answer leaves from the socket the request asks for, relative to the one it came in on.
    int out = index;
    if (req.has_change_request && (req.change_request & KZ_STUN_CHANGE_IP)) out ^= 2;
    if (req.has_change_request && (req.change_request & KZ_STUN_CHANGE_PORT)) out ^= 1;
    const KZStunAddress4 dest = req.has_response_address ? req.response_address : from;
    if (!m_sockets[out].IsOpen() || dest.port == 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZStunServer no answer: %s is not open",
                             kSocketNames[out]);
        return;
    }

    CKZStunMessage resp;
    resp.msg_type = KZ_STUN_BINDING_RESPONSE;
    memcpy(resp.id, req.id, KZ_STUN_TID_SIZE);
    resp.has_mapped_address = !req.has_xor_only;
    resp.mapped_address = from;
    resp.has_xor_mapped_address = true;
    resp.xor_mapped_address = from;
    resp.has_source_address = true;
    resp.source_address = SocketAddress(out);
    resp.has_changed_address = true;
    resp.changed_address = m_alternate;
    if (req.has_username) {
        resp.has_username = true;
        resp.username = req.username;
    }
    resp.has_server_name = true;
    resp.server_name.Set(kServerName);
    if (signed_request)
        Send(out, resp, dest, kTestPassword, sizeof(kTestPassword) - 1);
    else
        Send(out, resp, dest);
}

void CKZStunServer::AnswerSharedSecret(int index, const CKZStunMessage& req, const KZStunAddress4& from) {
    CKZStunMessage resp;
    resp.msg_type = KZ_STUN_SHARED_SECRET_RESPONSE;
    memcpy(resp.id, req.id, KZ_STUN_TID_SIZE);
    // 20 characters: a tag, the time in seconds and randomness, a whole number of STUN words.
    char username[24];
    KZAPI::s_printf(username, sizeof(username), "kz%08x%08x%02x",
                    static_cast<unsigned>(KZAPI::CKZClock::System().NowSeconds()),
                    static_cast<unsigned>(KZAPI::get_rand_u32()),
                    static_cast<unsigned>(KZAPI::get_rand_u32() & 0xFFu));
    resp.has_username = true;
    resp.username.Set(username);
    uint8_t password[KZ_STUN_HMAC_SIZE];
    DerivePassword(resp.username.value, resp.username.size, password);
    resp.has_password = true;
    resp.password.Set(password, sizeof(password));
    resp.has_server_name = true;
    resp.server_name.Set(kServerName);
    Send(index, resp, from);
}

void CKZStunServer::SendError(int index, const CKZStunMessage& req, const KZStunAddress4& from, unsigned code,
                              const char* reason) {
    CKZStunMessage resp;
    resp.msg_type = KZ_STUN_BINDING_ERROR_RESPONSE;
    memcpy(resp.id, req.id, KZ_STUN_TID_SIZE);
    resp.SetErrorCode(code, reason);
    resp.has_server_name = true;
    resp.server_name.Set(kServerName);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZStunServer error %u %s", code, reason);
    Send(index, resp, from);
}

void CKZStunServer::Send(int index, const CKZStunMessage& msg, const KZStunAddress4& dest, const void* key,
                         size_t key_len) {
    uint8_t buf[KZ_STUN_MAX_MESSAGE];
    const size_t len = msg.Encode(buf, sizeof(buf), key, key_len);
    if (!len || dest.port == 0) return;
    if (m_sockets[index].SendTo(buf, len, KZStunToNetOrder(dest.addr), dest.port) < 0) {
        char text[KZ_STUN_ADDRESS_TEXT_SIZE];
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "CKZStunServer can't send to %s: %s",
                             KZStunAddressText(dest, text, sizeof(text)),
                             CBaseSocket::ErrorText(m_sockets[index].GetLastError()).c_str());
    }
}

void CKZStunServer::DerivePassword(const char* username, size_t len, uint8_t out[KZ_STUN_HMAC_SIZE]) {
    KZAPI::KZ_HMAC_SHA1(kSecretKey, sizeof(kSecretKey) - 1, username, len, out);
}
