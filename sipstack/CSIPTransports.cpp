#include "sipstack/CSIPTransports.h"

#include "host/KZNetAddr.h"
#include "sipstack/sip_group.h"

#include <cstring>
#include <memory>
#include <string>

using KZAPI::CKZLogInterface;
using KZAPI::KZ_InetNtoa;

namespace {

constexpr size_t kShortLog = 100;

// Refusal logs show at most 100 bytes of the text: the last five become "..." and two NULs.
std::string shortened(const char* text, size_t len) {
    std::string s(text, len);
    if (s.size() > kShortLog) {
        s.resize(kShortLog);
        s.replace(kShortLog - 5, 5, std::string("...\0\0", 5));
    }
    return std::string(s.c_str());
}

CSIPStreamState* stream_state(KZAPI::CTCPSocket* socket) {
    return dynamic_cast<CSIPStreamState*>(socket);
}

const CSIPStreamKind kTcpKind{"CSIPTCPServerThread", "TCP", 1,
                              "CSIPTCPServerThread::OnRead read error nSize=%d"};
const CSIPStreamKind kTlsKind{"CSIPTLSServerThread", "TCP TLS", 2,
                              "CSIPTLSServerThread::OnRead reading error nSize = %d"};

} // namespace

// ---------------- UDP ----------------

CSIPUDPServerThread::~CSIPUDPServerThread() {
    Stop();
}

void CSIPUDPServerThread::OnRead(int /*sock*/, int available) {
    char buf[kMaxDatagram + 1 + sip_cmd::kPadding] = {};
    uint32_t from_ip = 0;
    uint16_t from_port = 0;
    int n = RecvFrom(buf, sizeof(buf) - sip_cmd::kPadding, &from_ip, &from_port);
    if (n < 1 || n > kMaxDatagram || available > kMaxDatagram) return; // empty or oversized: dropped
    if (!m_group->IsAllowed(from_ip, from_port)) {
        std::string from = KZ_InetNtoa(from_ip);
        Log(1, "UDP connection %s:%d is not allowed! Giving up a packet![%s]", from.c_str(), from_port,
            shortened(buf, static_cast<size_t>(n)).c_str());
        return;
    }
    sip_cmd cmd;
    cmd.from_ip = from_ip;
    cmd.from_port = from_port;
    cmd.to_ip = GetLocalIP();
    cmd.to_port = GetLocalPort();
    cmd.protocol = 0;
    cmd.assign(buf, static_cast<size_t>(n));
    m_group->PushReceived(std::move(cmd));
}

void CSIPUDPServerThread::OnSend() {
    TCQueue<sip_cmd>& queue = m_group->UdpSendQueue();
    for (;;) {
        sip_cmd cmd;
        if (!queue.PopLocked(&cmd)) return;
        std::string to = KZ_InetNtoa(cmd.to_ip);
        if (!m_group->IsAllowed(cmd.to_ip, cmd.to_port)) {
            Log(1, "UDP send to %s:%d is not allowed! Ignore an outgoing packet!", to.c_str(), cmd.to_port);
            continue;
        }
        const int len = static_cast<int>(cmd.length);
        if (SendTo(cmd.text(), cmd.length, cmd.to_ip, cmd.to_port) > 0)
            Log(4, "Sent out %d bytes! %s:%d", len, to.c_str(), cmd.to_port);
        else
            Log(1, "Failed on sending out %d bytes! %s:%d", len, to.c_str(), cmd.to_port);
    }
}

// ---------------- TCP and TLS ----------------

bool CSIPStreamTransport::CheckConnection(sip_cmd&& cmd) {
    KZAPI::CMutexLock lock(m_server->GetClientLock());
    CKZLogInterface::Log(4, "%s::CheckConnection nClientCount %d", m_kind.cls,
                         static_cast<int>(m_server->GetClientCount()));
    KZAPI::CTCPSocket* chosen = nullptr;
    for (size_t i = 0; i < m_server->GetClientCount() && !chosen; ++i) {
        KZAPI::CTCPSocket* p = m_server->GetClient(i);
        if (p == cmd.connection) {
            CKZLogInterface::Log(4, "%s::CheckConnection cmd->tcp_socket == p", m_kind.cls);
            chosen = p;
            break;
        }
        std::string peer = KZ_InetNtoa(p->GetPeerIP());
        CKZLogInterface::Log(4, "%s::CheckConnection peer %s:%d", m_kind.cls, peer.c_str(), p->GetPeerPort());
        if (p->GetPeerIP() == cmd.to_ip && p->GetPeerPort() == cmd.to_port) chosen = p;
    }
    std::string to = KZ_InetNtoa(cmd.to_ip);
    if (!chosen) {
        if (!m_group->IsAllowed(cmd.to_ip, cmd.to_port)) {
            CKZLogInterface::Log(1, "%s::CheckConnection Send to %s connection %s:%d is not allowed!",
                                 m_kind.cls, m_kind.name, to.c_str(), cmd.to_port);
            return false;
        }
        chosen = Connect(cmd.to_ip, cmd.to_port);
        if (!chosen) {
            CKZLogInterface::Log(1, "%s::CheckConnection Couldn't established %s connection to %s:%d\n",
                                 m_kind.cls, m_kind.name, to.c_str(), cmd.to_port);
            return false;
        }
        CKZLogInterface::Log(4, "%s::CheckConnection Established %s connection to %s:%d\n", m_kind.cls,
                             m_kind.name, to.c_str(), cmd.to_port);
    }
    CSIPStreamState* state = stream_state(chosen);
    if (!state) return false;
    cmd.connection = chosen;
    state->send_queue.PushLocked(std::move(cmd));
    m_server->WakeUp();
    return true;
}

void CSIPStreamTransport::Read(KZAPI::CTCPSocket* socket, int available) {
    CSIPStreamState* state = stream_state(socket);
    char buf[kMaxRead + sip_cmd::kPadding];
    int to_read = available > 0 && available < kMaxRead ? available : kMaxRead;
    int n = socket->Recv(buf, static_cast<size_t>(to_read));
    std::string peer = KZ_InetNtoa(socket->GetPeerIP());
    if (n < 1) {
        CKZLogInterface::Log(1, m_kind.read_error, n);
        return;
    }
    if (!m_group->IsAllowed(socket->GetPeerIP(), socket->GetPeerPort())) {
        CKZLogInterface::Log(1, "%s::OnRead %s connection %s:%d is not allowed! Giving up a packet![%s]",
                             m_kind.cls, m_kind.name, peer.c_str(), socket->GetPeerPort(),
                             shortened(buf, static_cast<size_t>(n)).c_str());
        m_server->CloseClient(socket);
        return;
    }
    if (!state) return;
    if (!state->framer.Append(buf, static_cast<size_t>(n))) {
        CKZLogInterface::Log(
            1,
            "%s::OnRead %s connection %s:%d sent more than %d bytes without a complete message! "
            "Disconnecting...",
            m_kind.cls, m_kind.name, peer.c_str(), socket->GetPeerPort(),
            static_cast<int>(CSIPStreamFramer::kDefaultLimit));
        m_server->CloseClient(socket);
        return;
    }
    std::string message;
    while (state->framer.Next(&message)) {
        sip_cmd cmd;
        cmd.from_ip = socket->GetPeerIP();
        cmd.from_port = socket->GetPeerPort();
        cmd.to_ip = socket->GetLocalIP();
        cmd.to_port = socket->GetLocalPort();
        cmd.protocol = m_kind.protocol;
        cmd.connection = socket;
        cmd.assign(message.data(), message.size());
        m_group->PushReceived(std::move(cmd));
    }
}

void CSIPStreamTransport::Send(KZAPI::CTCPSocket* socket) {
    CSIPStreamState* state = stream_state(socket);
    if (!state) return;
    for (;;) {
        sip_cmd cmd;
        if (!state->send_queue.PopLocked(&cmd)) return;
        std::string peer = KZ_InetNtoa(socket->GetPeerIP());
        const int len = static_cast<int>(cmd.length);
        int sent = socket->Send(cmd.text(), cmd.length);
        if (sent > 0)
            CKZLogInterface::Log(4, "%s::OnSend Sent out %d bytes! %s:%d", m_kind.cls, len, peer.c_str(),
                                 socket->GetPeerPort());
        else
            CKZLogInterface::Log(1, "%s::OnSend Failed on sending out %d bytes! %s:%d, %d", m_kind.cls, len,
                                 peer.c_str(), socket->GetPeerPort(), sent);
    }
}

void CSIPStreamTransport::Accepted(KZAPI::CTCPSocket* socket) {
    if (m_group->IsAllowed(socket->GetPeerIP(), socket->GetPeerPort())) return;
    std::string peer = KZ_InetNtoa(socket->GetPeerIP());
    CKZLogInterface::Log(1, "%s::OnClientAccepted %s connection %s:%d is not allowed! Disconnecting...",
                         m_kind.cls, m_kind.name, peer.c_str(), socket->GetPeerPort());
    m_server->CloseClient(socket);
}

void CSIPStreamTransport::Closed(KZAPI::CTCPSocket* socket) {
    if (CSIPStreamState* state = stream_state(socket)) {
        state->send_queue.Lock();
        while (state->send_queue.Pop()) {
        }
        state->send_queue.Unlock();
        state->framer.Clear();
    }
}

CSIPTCPServerThread::CSIPTCPServerThread(sip_group* group) : CSIPStreamTransport(group, this, kTcpKind) {}

CSIPTCPServerThread::~CSIPTCPServerThread() {
    Stop();
}

KZAPI::CTCPSocket* CSIPTCPServerThread::Connect(uint32_t ipv4, uint16_t port) {
    std::unique_ptr<KZAPI::CTCPSocket> socket(CreateClientSocket());
    if (!socket->Init() || !socket->Bind("", 0) || !socket->Connect(ipv4, port)) {
        socket->Close();
        DestroyClientSocket(socket.release());
        return nullptr;
    }
    KZAPI::CTCPSocket* s = socket.release();
    AddClient(s);
    return s;
}

CSIPTLSServerThread::CSIPTLSServerThread(sip_group* group, int tls_type)
    : KZAPI::CTLSServerThread(tls_type), CSIPStreamTransport(group, this, kTlsKind) {}

CSIPTLSServerThread::~CSIPTLSServerThread() {
    Stop();
}

KZAPI::CTCPSocket* CSIPTLSServerThread::CreateClientSocket() {
    auto* socket = new CSIPSSLSocket();
    socket->SetClientContext(ClientContext());
    return socket;
}

KZAPI::CTCPSocket* CSIPTLSServerThread::Connect(uint32_t ipv4, uint16_t port) {
    std::string address = KZ_InetNtoa(ipv4);
    return ConnectTo(address.c_str(), port);
}
