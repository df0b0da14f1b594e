// Opening and closing the transports, and handing composed messages to them.
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZSockUtil.h"
#include "sipmsg/kz_sip_result.h"
#include "sipstack/CSIPTransports.h"
#include "sipstack/sip_group.h"

#include <string>

using KZAPI::CKZLogInterface;
using KZAPI::KZ_InetNtoa;

namespace {

constexpr int kTransportPriority = 15;
// Opening at start waits this long after the TLS server is up; nothing waits when a transport
// is opened on demand by a send.
constexpr unsigned kStartSettleMs = 500;

// A peer that is down or not reading makes every message to it fail: one error line per interval.
KZAPI::KZLogThrottle g_stream_discard_log;

const char* protocol_suffix(int32_t protocol) {
    switch (protocol) {
    case 1:
        return "TCP";
    case 2:
        return "TCP TLS";
    default:
        return "UDP";
    }
}

} // namespace

bool sip_group::EnsureUdpTransport() {
    if (m_udp) return true;
    auto udp = std::make_unique<CSIPUDPServerThread>(this);
    udp->Start();
    udp->SetPriority(kTransportPriority);
    if (!udp->OpenSocket(m_config.local_address, static_cast<uint16_t>(m_config.sip_port))) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Couldn't open SIP UDP Server on UDP port %d",
                             m_config.sip_port);
        return false;
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Opened SIP UDP Server on UDP port %d",
                         m_config.sip_port);
    m_udp = std::move(udp);
    return true;
}

bool sip_group::EnsureTcpTransport(bool at_start) {
    if (m_tcp) return true;
    auto tcp = std::make_unique<CSIPTCPServerThread>(this);
    if (!tcp->Start(m_config.local_address, static_cast<uint16_t>(m_config.sip_port))) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Couldn't open SIP TCP Server on TCP port %d",
                             m_config.sip_port);
        return false;
    }
    tcp->SetPriority(kTransportPriority);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Opened SIP TCP Server on TCP port %d",
                         m_config.sip_port);
    m_tcp = std::move(tcp);
    return true;
}

bool sip_group::EnsureTlsTransport(bool at_start) {
    if (m_tls) return true;
    // At start TLS listens on the port after the SIP port; opened on demand it takes the SIP port.
    const int port = at_start ? m_config.sip_port + 1 : m_config.sip_port;
    auto tls = std::make_unique<CSIPTLSServerThread>(this, m_settings.ssl_type);
    tls->SetSSLCertAndKeyFiles(m_settings.cert_file, m_settings.key_file);
    if (!tls->Start(m_config.local_address, static_cast<uint16_t>(port))) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Couldn't open SIP TLS Server on TCP port %d", port);
        return false;
    }
    tls->SetPriority(kTransportPriority);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Opened SIP TLS Server on TCP port %d", port);
    m_tls = std::move(tls);
    if (at_start) KZAPI::CBaseThread::Sleep(kStartSettleMs);
    return true;
}

bool sip_group::StartTransports() {
    KZAPI::CMutexLock lock(m_transport_mutex);
    bool ok = true;
    if (m_config.transport_mask & KZ_SIP_TRANSPORT_UDP) ok = EnsureUdpTransport() && ok;
    if (m_config.transport_mask & KZ_SIP_TRANSPORT_TCP) ok = EnsureTcpTransport(true) && ok;
    if (m_config.transport_mask & KZ_SIP_TRANSPORT_TLS) ok = EnsureTlsTransport(true) && ok;
    return ok;
}

void sip_group::StopTransports() {
    KZAPI::CMutexLock lock(m_transport_mutex);
    if (m_udp) m_udp->Stop();
    if (m_tcp) m_tcp->Stop();
    if (m_tls) m_tls->Stop();
    m_udp.reset();
    m_tcp.reset();
    m_tls.reset();
}

sip_cmd sip_group::OutgoingText::ToCmd() const {
    sip_cmd cmd;
    cmd.to_ip = to_ip;
    cmd.to_port = to_port;
    cmd.protocol = protocol;
    cmd.connection = connection;
    cmd.dialog_id = dialog_id;
    cmd.assign(text, length);
    return cmd;
}

uint32_t sip_group::SendBlock(const OutgoingText& out, const char* log_prefix) {
    KZAPI::CMutexLock lock(m_transport_mutex);
    const std::string to = KZ_InetNtoa(out.to_ip);
    const uint16_t port = out.to_port;
    const int32_t protocol = out.protocol;
    // The text is copied for the log only when it can be shown: at trace level, or for a UDP send
    // that may be refused before its transport exists. A stream send that fails is logged whole at
    // trace level only: its text may be large, and a flood of failures must not flood the log.
    const int len = static_cast<int>(out.length);
    const bool stream = protocol == 1 || protocol == 2;
    std::string text;
    if (CKZLogInterface::IsEnabled(CKZLogInterface::LOG_TRACE) || (!stream && !m_udp))
        text.assign(out.text, out.length);
    bool sent = false;
    if (stream) {
        CSIPStreamTransport* stream = nullptr;
        if (protocol == 1 && EnsureTcpTransport(false)) stream = m_tcp.get();
        if (protocol == 2 && EnsureTlsTransport(false)) stream = m_tls.get();
        sent = stream && stream->CheckConnection(out.ToCmd());
    } else if (EnsureUdpTransport()) {
        // Queued only behind others or when the socket is full; the transport thread sends those.
        if (!m_udp_send.IsEmptyLocked() || !m_udp->SendNow(out.text, out.length, out.to_ip, out.to_port)) {
            m_udp_send.PushLocked(out.ToCmd());
            m_udp->WakeUp();
        }
        sent = true;
    }
    if (sent) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "%s to %s:%d \n%d Bytes Data:\n[%s] on %s",
                             log_prefix, to.c_str(), port, len, text.c_str(), protocol_suffix(protocol));
    } else if (std::string(log_prefix) == "ReSend") {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "Discard resend TCP msg to %s:%d \n%d Bytes Data:\n[%s]", to.c_str(), port, len,
                             text.c_str());
    } else if (stream) {
        uint64_t discarded = 0;
        if (g_stream_discard_log.Count(&discarded))
            CKZLogInterface::Log(
                CKZLogInterface::LOG_ERROR, "Discard %s message to %s:%d (%d bytes; %llu discarded)",
                protocol_suffix(protocol), to.c_str(), port, len, static_cast<unsigned long long>(discarded));
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Discard %s message to %s:%d \n%d Bytes Data:\n[%s]",
                             protocol_suffix(protocol), to.c_str(), port, len, text.c_str());
    } else {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Discard %s message to %s:%d \n%d Bytes Data:\n[%s]",
                             protocol_suffix(protocol), to.c_str(), port, len, text.c_str());
    }
    return sent ? KZ_SIP_RESULT_OK : KZ_SIP_RESULT_FAILURE;
}

namespace {

// The text of a message being composed and sent: a buffer the thread keeps, so its capacity is
// reused from message to message, or a buffer of its own for a send made while another is under
// way on the same thread (a message hook that sends).
class ComposeBuffer {
public:
    ComposeBuffer() : m_text(t_busy ? m_own : t_text) { t_busy = m_kept = &m_text == &t_text; }
    ~ComposeBuffer() {
        if (!m_kept) return;
        t_busy = false;
        if (t_text.Std().capacity() > kMaxKeptCapacity) t_text = KZAPI::CString();
    }
    ComposeBuffer(const ComposeBuffer&) = delete;
    ComposeBuffer& operator=(const ComposeBuffer&) = delete;
    KZAPI::CString& Text() { return m_text; }

private:
    static constexpr size_t kMaxKeptCapacity = 64 * 1024;
    static thread_local KZAPI::CString t_text;
    static thread_local bool t_busy;
    KZAPI::CString m_own;
    KZAPI::CString& m_text;
    bool m_kept = false;
};
thread_local KZAPI::CString ComposeBuffer::t_text;
thread_local bool ComposeBuffer::t_busy = false;

} // namespace

uint32_t sip_group::ComposeAndSendSIPMsg(sip_msg* msg, const char* host, uint16_t port, uint32_t dialog_id) {
    const uint32_t ip = kz_get_real_inet_addr(host);
    const int32_t protocol = msg->get_prot();
    if (protocol == 0 && (ip == 0 || port == 0)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "ComposeAndSendSIPMsg error, toip or port is 0 on UDP");
        return KZ_SIP_RESULT_FAILURE;
    }
    ComposeBuffer buffer;
    KZAPI::CString& text = buffer.Text();
    if (msg->write_into_buf(&text) != 0 || text.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    const uint32_t result = SendBlock(
        {text.c_str(), text.GetLength(), ip, port, protocol, msg->get_tcp_socket(), dialog_id}, "Send");
    msg->set_ip_address(msg->get_from_ip(), msg->get_from_port(), ip, port);
    ReportToHook(1, msg, text.c_str(), text.GetLength());
    return result;
}

void sip_group::ReSendOutgoingMessage(sip_msg* msg, uint32_t dialog_id) {
    const int32_t protocol = msg->get_prot();
    if (protocol == 0 && (msg->get_to_ip() == 0 || msg->get_to_port() == 0)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "ReSendOutgoingMessage error, toip or port is 0 on UDP");
        return;
    }
    ComposeBuffer buffer;
    KZAPI::CString& text = buffer.Text();
    if (msg->write_into_buf(&text) != 0 || text.IsEmpty()) return;
    SendBlock({text.c_str(), text.GetLength(), msg->get_to_ip(), msg->get_to_port(), protocol,
               msg->get_tcp_socket(), dialog_id},
              "ReSend");
    ReportToHook(1, msg, text.c_str(), text.GetLength());
}

uint32_t sip_group::SendExternalMessage(const char* text, size_t len, const char* host, uint16_t port,
                                        int32_t protocol, void* connection) {
    if (!text) return KZ_SIP_RESULT_FAILURE;
    const uint32_t ip = kz_get_real_inet_addr(host);
    if (protocol == 0 && (ip == 0 || port == 0)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "ComposeAndSendSIPMsg error, toip or port is 0 on UDP");
        return KZ_SIP_RESULT_FAILURE;
    }
    return SendBlock({text, len, ip, port, protocol, connection, 0}, "Send");
}
