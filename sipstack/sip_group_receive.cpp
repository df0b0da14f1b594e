// Receive processing: one block of received data is parsed into a message, stamped with the
// sender's address (RFC 3581) and matched to its dialog.
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "sipstack/sip_group.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

using KZAPI::CKZLogInterface;

namespace {

std::string decimal(uint32_t v) {
    return std::to_string(v);
}

// A bare name is judged by its form alone, as the resolver would be asked about it: a dotted
// name with a letter in it. Asking the resolver here would let every received datagram cost a
// name lookup on the processing thread.
bool looks_like_host_name(std::string_view name) {
    const bool has_letter = std::any_of(
        name.begin(), name.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
    return has_letter && name.find('.') != std::string_view::npos;
}

// A Via address names a host when it splits into one (with a port or a user part), or when it is
// an address or a host name by itself.
bool via_names_host(const KZAPI::CString& address) {
    std::string copy(address.View());
    if (copy.find_first_of(":@") == std::string::npos)
        return KZAPI::KZ_IsDottedQuad(copy.c_str()) || looks_like_host_name(copy);
    char *user = nullptr, *host = nullptr, *port = nullptr;
    return kz_get_sip_address_info(copy.data(), &user, &host, &port) == 1 && host && *host;
}

// RFC 3581: a request whose top Via asks for rport learns where it really came from.
void stamp_top_via(sip_msg* msg, KZSIPEvent* event) {
    if (!msg->find_ie(KZ_IE_SIP_VIA_ADDRESS, 0)) {
        event->event_type = 0;
        return;
    }
    const KZAPI::CString& param = msg->get_ie_value(KZ_IE_SIP_VIA_PARAM, 0);
    if (param == "rport") {
        std::string rport = "rport=" + decimal(msg->get_from_port());
        std::string received = "received=" + KZAPI::KZ_InetNtoa(msg->get_from_ip());
        msg->set_ie(KZ_IE_SIP_VIA_PARAM, 0, std::string_view(rport));
        msg->set_ie(KZ_IE_SIP_VIA_RECEIVED, 0, std::string_view(received));
    } else if (param.IsEmpty() && !via_names_host(msg->get_ie_value(KZ_IE_SIP_VIA_ADDRESS, 0))) {
        event->event_type = 0;
    }
}

// Line ends after a message (a peer's extra CRLF, a keep-alive) are not another message.
bool only_whitespace(const char* from, const char* end) {
    for (; from < end; ++from)
        if (*from != '\r' && *from != '\n' && *from != ' ' && *from != '\t' && *from != '\0') return false;
    return true;
}

} // namespace

sip_group::ReceiveOutcome sip_group::ReceiveProcessing(sip_msg* current, KZSIPEvent* event) {
    if (!m_parsing.data && !TakeReceivedBlock()) return ReceiveOutcome::kEmpty;
    sip_cmd* cmd = &m_parsing;
    try {
        if (cmd->position >= cmd->length) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "ProcessEvent cmd_pos(%d) > cmd_len(%d)",
                                 static_cast<int>(cmd->position), static_cast<int>(cmd->length));
            m_parsing = sip_cmd();
            return Rejected(&m_counters.parse_failures);
        }
        const size_t left = static_cast<size_t>(cmd->remaining());
        if (CKZLogInterface::IsEnabled(CKZLogInterface::LOG_TRACE)) {
            std::string from = KZAPI::KZ_InetNtoa(cmd->from_ip), to = KZAPI::KZ_InetNtoa(cmd->to_ip);
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "%s:%d -> %s:%d \n%d Bytes Data:\n[%s] prot[%d]",
                                 from.c_str(), cmd->from_port, to.c_str(), cmd->to_port,
                                 static_cast<int>(left), cmd->text(), cmd->protocol);
        }
        ReportReceivedToHook(*cmd);
        // A block of blanks and line ends is a peer holding its NAT binding open ("  \r\n",
        // CRLF pings): nothing to parse and nothing wrong.
        if (only_whitespace(cmd->text(), cmd->data.get() + cmd->length)) {
            m_parsing = sip_cmd();
            m_counters.keep_alives.fetch_add(1, std::memory_order_relaxed);
            return ReceiveOutcome::kRejected;
        }

        if (left >= 20 && left < KZSIPEvent::kRawTextSize) {
            memcpy(event->raw_text, cmd->text(), left);
            event->raw_text[left] = '\0';
        }
        event->protocol = cmd->protocol;
        event->connection = cmd->connection;

        char* start = cmd->data.get() + cmd->position;
        char* next = current->init_from_buf(start, event);
        const bool parsed = event->event_type != 0;
        current->set_ip_address(cmd->from_ip, cmd->from_port, cmd->to_ip, cmd->to_port);
        current->set_prot(cmd->protocol);
        current->set_tcp_socket(cmd->connection);
        current->set_ie(KZ_IE_SIP_PROTOCOL, 0,
                        std::string_view(decimal(static_cast<uint32_t>(cmd->protocol))));
        if (event->event_type == KZ_EVENT_SIP_MESSAGE_REQUEST) stamp_top_via(current, event);

        char* const end = cmd->data.get() + cmd->length;
        // An external text's event carries all of it; the rest of a datagram is not parsed again
        // line by line.
        const bool whole_datagram = event->event_type == KZ_EVENT_SIP_EXTERNAL_MESSAGE && cmd->protocol == 0;
        if (!whole_datagram && next && next > start && next < end && !only_whitespace(next, end))
            cmd->position = static_cast<uint64_t>(next - cmd->data.get());
        else
            m_parsing = sip_cmd();
        if (event->event_type != 0) return ReceiveOutcome::kEvent;
        return Rejected(parsed ? &m_counters.rejected : &m_counters.parse_failures);
    } catch (...) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR,
            "*********************CSIPProcessThread::ProcessEvent got an exception. *************");
        m_parsing = sip_cmd();
        return Rejected(&m_counters.parse_failures);
    }
}

sip_group::ReceiveOutcome sip_group::Rejected(std::atomic<uint64_t>* counter) {
    counter->fetch_add(1, std::memory_order_relaxed);
    ReportDiscards();
    return ReceiveOutcome::kRejected;
}

bool sip_group::AdmitReceived(const sip_msg* msg, KZSIPEvent* event) {
    if (!DialogBookkeeping(msg, event)) {
        Rejected(&m_counters.rejected);
        return false;
    }
    m_counters.messages_delivered.fetch_add(1, std::memory_order_relaxed);
    if (event->event_type == KZ_EVENT_SIP_EXTERNAL_MESSAGE)
        m_counters.external_messages.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool sip_group::WaitForReceived(unsigned timeout_ms) {
    if (m_parsing.data) return true;
    m_undeliverable.Lock();
    const bool undelivered = !m_undeliverable.IsEmpty();
    m_undeliverable.Unlock();
    return undelivered || m_received.Wait(timeout_ms);
}
