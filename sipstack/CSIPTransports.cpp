#include "sipstack/CSIPTransports.h"

#include "host/KZNetAddr.h"
#include "sipstack/sip_group.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using KZAPI::CKZLogInterface;
using Level = KZAPI::CKZLogInterface;
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

CSIPUDPServerThread::CSIPUDPServerThread(sip_group* group)
    : m_group(group), m_batch(std::make_unique<char[]>(kBatch * kSlot)) {}

CSIPUDPServerThread::~CSIPUDPServerThread() {
    Stop();
}

void CSIPUDPServerThread::OnRead(int /*sock*/, int available) {
    char buf[kSlot] = {};
    uint32_t from_ip = 0;
    uint16_t from_port = 0;
    int n = RecvFrom(buf, sizeof(buf), &from_ip, &from_port);
    if (n < 1 || available > kMaxDatagram) return;
    Deliver(buf, static_cast<size_t>(n), from_ip, from_port);
}

void CSIPUDPServerThread::OnReadable(int /*sock*/) {
    Datagram got[kBatch];
    unsigned read = 0;
    for (int round = 0; round < 2; ++round) {
        const int n = RecvBatch(m_batch.get(), kSlot, got, kBatch);
        for (int i = 0; i < n; ++i)
            Deliver(got[i].data, got[i].length, got[i].from_ip, got[i].from_port);
        if (n > 0) read += static_cast<unsigned>(n);
        if (n < static_cast<int>(kBatch)) break;
    }
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    const unsigned pause = m_pacer.AfterRead(static_cast<uint64_t>(now.count()), read);
    // Both batches full: a backlog (a flood, say) is read on without a rest.
    if (pause && read < 2 * kBatch) std::this_thread::sleep_for(std::chrono::microseconds(pause));
}

void CSIPUDPServerThread::Deliver(const char* data, size_t len, uint32_t from_ip, uint16_t from_port) {
    if (len < 1 || len > kMaxDatagram) return; // empty or oversized: dropped
    if (!m_group->IsAllowed(from_ip, from_port)) {
        LogRefused(data, len, from_ip, from_port);
        return;
    }
    sip_cmd cmd;
    cmd.from_ip = from_ip;
    cmd.from_port = from_port;
    cmd.to_ip = GetLocalIP();
    cmd.to_port = GetLocalPort();
    cmd.protocol = 0;
    cmd.assign(data, len);
    m_group->PushReceived(std::move(cmd));
}

void CSIPUDPServerThread::LogRefused(const char* data, size_t len, uint32_t from_ip, uint16_t from_port) {
    uint64_t untold = 0;
    if (!m_group->Refusals().Count(from_ip, m_group->Now(), &untold)) return;
    std::string from = KZ_InetNtoa(from_ip);
    Log(Level::LOG_ERROR, "UDP connection %s:%d is not allowed! Giving up a packet![%s]", from.c_str(),
        from_port, shortened(data, len).c_str());
    if (untold) CSIPRefusalLog::LogUntold(from_ip, untold);
}

void CSIPUDPServerThread::OnSend() {
    TCQueue<sip_cmd>& queue = m_group->UdpSendQueue();
    for (;;) {
        sip_cmd cmd;
        if (!queue.PopLocked(&cmd)) return;
        Send(cmd.text(), cmd.remaining(), cmd.to_ip, cmd.to_port, true);
    }
}

bool CSIPUDPServerThread::Send(const char* text, size_t length, uint32_t to_ip, uint16_t to_port,
                               bool wait_for_room) {
    if (!m_group->IsAllowed(to_ip, to_port)) {
        Log(Level::LOG_ERROR, "UDP send to %s:%d is not allowed! Ignore an outgoing packet!",
            KZ_InetNtoa(to_ip).c_str(), to_port);
        return true;
    }
    const int len = static_cast<int>(length);
    const int sent = SendTo(text, length, to_ip, to_port, wait_for_room);
    if (sent == kWouldBlock) return false;
    if (sent > 0) {
        if (Level::IsEnabled(Level::LOG_TRACE))
            Log(Level::LOG_TRACE, "Sent out %d bytes! %s:%d", len, KZ_InetNtoa(to_ip).c_str(), to_port);
    } else {
        Log(Level::LOG_ERROR, "Failed on sending out %d bytes! %s:%d", len, KZ_InetNtoa(to_ip).c_str(),
            to_port);
    }
    return true;
}

// ---------------- TCP and TLS ----------------

CSIPStreamTransport::CSIPStreamTransport(sip_group* group, KZAPI::CTCPServerThread* server,
                                         const CSIPStreamKind& kind)
    : m_group(group), m_server(server), m_kind(kind) {
    const CSIPStackSettings& settings = group->Settings();
    server->SetConnectionLimits(settings.max_connections_per_address, settings.max_connections);
    server->SetIdleTimeout(static_cast<uint64_t>(settings.stream_idle_timeout_s) * 1000u);
    server->SetHandshakeTimeout(settings.tls_handshake_timeout_ms);
}

uint64_t CSIPStreamTransport::StackNowMs() const {
    return m_group->Clock()->TickMs();
}

CSIPStreamCounters CSIPStreamTransport::GetStreamCounters() const {
    CSIPStreamCounters c;
    c.connections = m_server->GetCounters();
    c.undelivered = m_undelivered_count.load();
    return c;
}

bool CSIPStreamTransport::CheckConnection(sip_cmd&& cmd) {
    KZAPI::CMutexLock lock(m_server->GetClientLock());
    CKZLogInterface::Log(Level::LOG_TRACE, "%s::CheckConnection nClientCount %d", m_kind.cls,
                         static_cast<int>(m_server->GetClientCount()));
    KZAPI::CTCPSocket* chosen = nullptr;
    // A connection still connecting is found too: the block waits on it with the others.
    for (size_t i = 0; i < m_server->GetClientCount() && !chosen; ++i) {
        KZAPI::CTCPSocket* p = m_server->GetClient(i);
        if (p == cmd.connection) {
            CKZLogInterface::Log(Level::LOG_TRACE, "%s::CheckConnection cmd->tcp_socket == p", m_kind.cls);
            chosen = p;
            break;
        }
        std::string peer = KZ_InetNtoa(p->GetPeerIP());
        CKZLogInterface::Log(Level::LOG_TRACE, "%s::CheckConnection peer %s:%d", m_kind.cls, peer.c_str(),
                             p->GetPeerPort());
        if (p->GetPeerIP() == cmd.to_ip && p->GetPeerPort() == cmd.to_port) chosen = p;
    }
    std::string to = KZ_InetNtoa(cmd.to_ip);
    if (!chosen) {
        if (!m_group->IsAllowed(cmd.to_ip, cmd.to_port)) {
            CKZLogInterface::Log(Level::LOG_ERROR,
                                 "%s::CheckConnection Send to %s connection %s:%d is not allowed!",
                                 m_kind.cls, m_kind.name, to.c_str(), cmd.to_port);
            return false;
        }
        chosen = m_server->ConnectAsync(cmd.to_ip, cmd.to_port);
        if (!chosen) {
            uint64_t events = 0;
            if (m_connect_log.Count(&events))
                CKZLogInterface::Log(
                    Level::LOG_ERROR,
                    "%s::CheckConnection Couldn't established %s connection to %s:%d (%llu times)\n",
                    m_kind.cls, m_kind.name, to.c_str(), cmd.to_port,
                    static_cast<unsigned long long>(events));
            return false;
        }
    }
    CSIPStreamState* state = stream_state(chosen);
    if (!state) return false;
    if (state->send_queue.Count() >= CSIPStreamState::kMaxQueuedBlocks) {
        CKZLogInterface::Log(Level::LOG_TRACE, "%s::CheckConnection %s:%d has %d blocks waiting already",
                             m_kind.cls, to.c_str(), cmd.to_port,
                             static_cast<int>(state->send_queue.Count()));
        return false;
    }
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
        CKZLogInterface::Log(Level::LOG_ERROR, m_kind.read_error, n);
        return;
    }
    if (!m_group->IsAllowed(socket->GetPeerIP(), socket->GetPeerPort())) {
        CKZLogInterface::Log(Level::LOG_ERROR,
                             "%s::OnRead %s connection %s:%d is not allowed! Giving up a packet![%s]",
                             m_kind.cls, m_kind.name, peer.c_str(), socket->GetPeerPort(),
                             shortened(buf, static_cast<size_t>(n)).c_str());
        m_server->CloseClient(socket);
        return;
    }
    if (!state) return;
    if (!state->framer.Append(buf, static_cast<size_t>(n))) {
        CKZLogInterface::Log(
            Level::LOG_ERROR,
            "%s::OnRead %s connection %s:%d sent more than %d bytes without a complete message! "
            "Disconnecting...",
            m_kind.cls, m_kind.name, peer.c_str(), socket->GetPeerPort(),
            static_cast<int>(CSIPStreamFramer::kDefaultLimit));
        m_server->CloseClient(socket);
        return;
    }
    std::string message;
    while (state->framer.Next(&message)) {
        // Only whole messages keep a connection alive: a trickle of bytes does not.
        socket->MarkActivity(StackNowMs());
        state->proven = true;
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
    UpdateIdleLimit(socket, state);
}

// Between messages a proven connection may rest for its lifetime, and keep-alives refresh it; a
// connection that never completed a message, or holds half of one, gets the short idle time-out.
void CSIPStreamTransport::UpdateIdleLimit(KZAPI::CTCPSocket* socket, CSIPStreamState* state) {
    const bool resting = state->proven && state->framer.Buffered() == 0;
    if (resting) socket->MarkActivity(StackNowMs());
    socket->SetIdleLimit(resting ? static_cast<uint64_t>(m_group->Settings().stream_lifetime_s) * 1000u : 0);
}

void CSIPStreamTransport::Send(KZAPI::CTCPSocket* socket) {
    CSIPStreamState* state = stream_state(socket);
    if (!state) return;
    sip_cmd& cmd = state->writing;
    for (;;) {
        if (!cmd.data && !state->send_queue.PopLocked(&cmd)) {
            socket->SetWantsWrite(false);
            return;
        }
        std::string peer = KZ_InetNtoa(socket->GetPeerIP());
        const int len = static_cast<int>(cmd.length);
        const int sent = socket->SendSome(cmd.text(), cmd.remaining());
        if (sent < 0) {
            CKZLogInterface::Log(Level::LOG_ERROR, "%s::OnSend Failed on sending out %d bytes! %s:%d, %d",
                                 m_kind.cls, len, peer.c_str(), socket->GetPeerPort(), sent);
            m_server->CloseClient(socket); // sets aside what is being written and what waits
            return;
        }
        cmd.position += static_cast<uint64_t>(sent);
        if (sent > 0) socket->MarkActivity(StackNowMs()); // a peer taking a long message is not idle
        if (cmd.remaining() > 0) {
            socket->SetWantsWrite(true); // the rest goes when the peer has taken some
            return;
        }
        CKZLogInterface::Log(Level::LOG_TRACE, "%s::OnSend Sent out %d bytes! %s:%d", m_kind.cls, len,
                             peer.c_str(), socket->GetPeerPort());
        cmd = sip_cmd{};
        state->proven = true;
        UpdateIdleLimit(socket, state);
    }
}

void CSIPStreamTransport::Accepted(KZAPI::CTCPSocket* socket) {
    if (m_group->IsAllowed(socket->GetPeerIP(), socket->GetPeerPort())) return;
    std::string peer = KZ_InetNtoa(socket->GetPeerIP());
    CKZLogInterface::Log(Level::LOG_ERROR,
                         "%s::OnClientAccepted %s connection %s:%d is not allowed! Disconnecting...",
                         m_kind.cls, m_kind.name, peer.c_str(), socket->GetPeerPort());
    m_server->CloseClient(socket);
}

void CSIPStreamTransport::Connected(KZAPI::CTCPSocket* socket) {
    std::string to = KZ_InetNtoa(socket->GetPeerIP());
    CKZLogInterface::Log(Level::LOG_TRACE, "%s::CheckConnection Established %s connection to %s:%d\n",
                         m_kind.cls, m_kind.name, to.c_str(), socket->GetPeerPort());
}

void CSIPStreamTransport::Closed(KZAPI::CTCPSocket* socket) {
    CSIPStreamState* state = stream_state(socket);
    if (!state) return;
    if (state->writing.data) SetAside(std::move(state->writing)); // a message cut off is undelivered too
    state->writing = sip_cmd{};
    sip_cmd cmd;
    while (state->send_queue.PopLocked(&cmd))
        SetAside(std::move(cmd));
    state->framer.Clear();
}

void CSIPStreamTransport::SetAside(sip_cmd&& cmd) {
    std::lock_guard lock(m_undelivered_mutex);
    m_undelivered.push_back(std::move(cmd));
}

void CSIPStreamTransport::ReportUndelivered() {
    std::vector<sip_cmd> blocks;
    {
        std::lock_guard lock(m_undelivered_mutex);
        if (m_undelivered.empty()) return;
        blocks.swap(m_undelivered);
    }
    for (sip_cmd& cmd : blocks) {
        ++m_undelivered_count;
        m_group->ReportUndeliverable(std::move(cmd));
    }
}

CSIPTCPServerThread::CSIPTCPServerThread(sip_group* group) : CSIPStreamTransport(group, this, kTcpKind) {}

CSIPTCPServerThread::~CSIPTCPServerThread() {
    Stop();
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
