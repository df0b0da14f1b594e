// Sending within dialogs: the stack completes a message from its dialog record (Call-ID, tags,
// CSeq, Via), records it so the receive bookkeeping and the timer sweep can follow the
// transaction, works out its destination and hands it to the transports.
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "sipmsg/kz_sip_result.h"
#include "sipstack/sip_group.h"

#include <cstdio>
#include <cstring>
#include <string>

using KZAPI::CKZLogInterface;

namespace {

constexpr size_t kGeneratedSize = 512;
constexpr uint16_t kDefaultSipPort = 5060;
constexpr std::string_view kBranchPrefix = "z9hG4bK";

// Two random numbers written one after the other, twice.
std::string new_tag() {
    auto part = [] {
        return std::to_string(KZAPI::get_rand_u32() & 0x7FFF) +
               std::to_string(KZAPI::get_rand_u32() & 0x7FFF);
    };
    return part() + part();
}

std::string new_branch() {
    char buf[kGeneratedSize];
    sip_msg::gen_unique_branch(buf, sizeof(buf));
    return buf;
}

// A Call-ID is made of the same parts as a branch, without the branch's magic prefix.
std::string new_call_id() {
    std::string b = new_branch();
    return b.rfind(kBranchPrefix, 0) == 0 ? b.substr(kBranchPrefix.size()) : b;
}

const KZAPI::CString& ie(const sip_msg* m, uint32_t id, unsigned index = 0) {
    return m->get_ie_value(id, index);
}

void set(sip_msg* m, uint32_t id, std::string_view value) {
    m->set_ie(id, 0, value);
}

void set_cseq(sip_msg* m, uint32_t number, std::string_view method) {
    set(m, KZ_IE_SIP_CSEQ_NUMBER, std::to_string(number));
    set(m, KZ_IE_SIP_CSEQ_METHOD, method);
}

std::string_view method_of(const sip_msg* m) {
    return ie(m, KZ_IE_SIP_REQUEST_LINE_METHOD).View();
}

void ensure_branch(sip_msg* m) {
    if (!m->find_ie(KZ_IE_SIP_VIA_BRANCH, 0)) set(m, KZ_IE_SIP_VIA_BRANCH, new_branch());
}

// Host and port of a SIP address ("sip:user@host:port;params", a Route value, ...).
bool split_address(std::string_view address, std::string* host, uint16_t* port) {
    std::string copy(address);
    char *user = nullptr, *h = nullptr, *p = nullptr;
    if (kz_get_sip_address_info(copy.data(), &user, &h, &p) != 1 || !h || !*h) return false;
    *host = h;
    long n = p && *p ? strtol(p, nullptr, 10) : 0;
    *port = n > 0 && n <= 65535 ? static_cast<uint16_t>(n) : kDefaultSipPort;
    return true;
}

// "host[:port]" of a Via sent-by, split without asking the resolver what the host is.
bool split_host_port(std::string_view sent_by, std::string* host, uint16_t* port) {
    sent_by = KZAPI::trim_white(sent_by.substr(0, sent_by.find(';')));
    const size_t colon = sent_by.find(':');
    *host = std::string(sent_by.substr(0, colon));
    if (host->empty()) return false;
    long n = colon == std::string_view::npos
                 ? 0
                 : strtol(std::string(sent_by.substr(colon + 1)).c_str(), nullptr, 10);
    *port = n > 0 && n <= 65535 ? static_cast<uint16_t>(n) : kDefaultSipPort;
    return true;
}

bool request_destination(const sip_msg* msg, const char* host, uint16_t port, std::string* out_host,
                         uint16_t* out_port) {
    const bool has_route = msg->find_ie(KZ_IE_SIP_ROUTE, 0);
    if (host && *host && !has_route) {
        *out_host = host;
        *out_port = port;
        return true;
    }
    const KZAPI::CString& target = has_route ? ie(msg, KZ_IE_SIP_ROUTE) : ie(msg, KZ_IE_SIP_REQUEST_LINE_URI);
    return split_address(target.View(), out_host, out_port);
}

std::string_view param_value(const KZAPI::CString& param) {
    std::string_view v = param.View();
    size_t eq = v.find('=');
    return eq == std::string_view::npos ? std::string_view() : KZAPI::trim_white(v.substr(eq + 1));
}

// Where a response goes: the given address, else the source of the request it answers, else
// the address its top Via names (RFC 3581 received/rport first).
void response_destination(sip_msg* msg, const sip_msg* answered, const char* host, uint16_t port,
                          std::string* out_host, uint16_t* out_port) {
    if (host && *host) {
        *out_host = host;
        *out_port = port;
        return;
    }
    if (answered && answered->get_from_ip() && answered->get_from_port()) {
        *out_host = KZAPI::KZ_InetNtoa(answered->get_from_ip());
        *out_port = answered->get_from_port();
        return;
    }
    const KZAPI::CString& rport = ie(msg, KZ_IE_SIP_VIA_PARAM);
    const KZAPI::CString& received = ie(msg, KZ_IE_SIP_VIA_RECEIVED);
    if (!param_value(rport).empty() && !param_value(received).empty()) {
        split_address("sip:" + std::string(param_value(received)) + ":" + std::string(param_value(rport)),
                      out_host, out_port);
        return;
    }
    if (rport == "rport" && received.IsEmpty() && answered) {
        std::string source = KZAPI::KZ_InetNtoa(answered->get_from_ip());
        msg->set_ie(KZ_IE_SIP_VIA_PARAM, 0,
                    std::string_view("rport=" + std::to_string(answered->get_from_port())));
        msg->set_ie(KZ_IE_SIP_VIA_RECEIVED, 0, std::string_view("received=" + source));
        *out_host = source;
        *out_port = answered->get_from_port();
        return;
    }
    if (!split_host_port(ie(msg, KZ_IE_SIP_VIA_ADDRESS).View(), out_host, out_port)) {
        out_host->clear();
        *out_port = 0;
    }
}

// The address a name resolves to when it is a literal one; 0 for a name (resolving it may block).
uint32_t literal_address(const std::string& host) {
    return KZAPI::KZ_IsDottedQuad(host.c_str()) ? kz_get_real_inet_addr(host.c_str()) : 0;
}

std::string dotted(uint32_t ip) {
    return KZAPI::KZ_InetNtoa(ip);
}

bool has_sdp(const sip_msg* m) {
    return m->find_ie(KZ_IE_SDP_VERSION, 0);
}

} // namespace

// ---- requests ----

uint32_t sip_group::SendRequestInDialog(sip_dialog* d, sip_msg* msg) {
    const int64_t now = Now();
    if (d->state == sip_dialog::STATE_ESTABLISHING && d->direction == sip_dialog::DIR_INCOMING) {
        // Nothing may be sent in a dialog still being offered to us, except a BYE once our 2xx
        // has waited in vain for its ACK: the call ends then rather than when the 2xx gives up.
        if (!msg->is_bye() || !d->establishing_response.is_2xx()) return KZ_SIP_RESULT_FAILURE;
        d->state = sip_dialog::STATE_CONNECTED;
        d->final_response_time = 0;
    }

    const std::string method(method_of(msg));
    const std::string call_id(ie(&d->first_request, KZ_IE_SIP_CALLID).View());
    if (d->state == sip_dialog::STATE_ESTABLISHING) {
        if (msg->is_ack()) {
            const bool cancelled = d->request_sent.is_cancel();
            const bool answered_2xx = d->establishing_response.is_2xx() && !cancelled;
            uint32_t number = d->first_request.cseq();
            set_cseq(msg, number >= 1 ? number : d->random_value, method);
            set(msg, KZ_IE_SIP_CALLID, call_id);
            msg->copy_via_from(&d->first_request, !answered_2xx, answered_2xx);
            set(msg, KZ_IE_SIP_FROM_TAG, d->local_tag.View());
            set(msg, KZ_IE_SIP_TO_TAG, d->remote_tag.View());
            if (answered_2xx) {
                d->ack.copy_msg_from(msg);
                d->state = sip_dialog::STATE_CONNECTED;
                d->final_response_time = 0;
            }
            return 0;
        }
        if (msg->is_prack()) {
            ensure_branch(msg);
            set(msg, KZ_IE_SIP_FROM_TAG, d->local_tag.View());
            set(msg, KZ_IE_SIP_TO_TAG, d->remote_tag.View());
            if (!msg->find_ie(KZ_IE_SIP_CALLID, 0)) set(msg, KZ_IE_SIP_CALLID, call_id);
            set_cseq(msg, ++d->random_value, method);
            return 0;
        }
        if (msg->cseq() == 0)
            d->random_value += 1;
        else
            d->random_value = msg->cseq();
        set_cseq(msg, d->random_value, method);
        set(msg, KZ_IE_SIP_CALLID, call_id);
        if (msg->is_bye()) {
            msg->copy_via_from(&d->first_request, false, false);
            ensure_branch(msg);
        } else {
            msg->copy_via_from(&d->first_request, msg->is_cancel(), !msg->is_cancel());
        }
        const KZAPI::CString& from_tag = ie(msg, KZ_IE_SIP_FROM_TAG);
        d->local_tag = from_tag.IsEmpty() ? KZAPI::CString(new_tag()) : from_tag;
        set(msg, KZ_IE_SIP_FROM_TAG, d->local_tag.View());
        if (msg->find_ie(KZ_IE_SIP_TO_TAG, 0)) d->remote_tag = ie(msg, KZ_IE_SIP_TO_TAG);
        d->first_request.copy_msg_from(msg);
        d->request_sent.copy_msg_from(msg);
        d->direction = sip_dialog::DIR_OUTGOING;
        d->request_sent_time = now;
        return 0;
    }

    if (d->state == sip_dialog::STATE_CONNECTED) {
        if (msg->is_ack()) {
            uint32_t number = d->random_value;
            if (d->request_sent.is_invite()) {
                number = d->request_sent.cseq();
                const bool answered_2xx = d->response_received.is_2xx();
                msg->copy_via_from(&d->request_sent, !answered_2xx, answered_2xx);
            } else if (d->request_sent.is_prack()) {
                number = d->request_sent.cseq() - 1;
            }
            set_cseq(msg, number, method);
        } else {
            set_cseq(msg, ++d->random_value, method);
        }
        set(msg, KZ_IE_SIP_CALLID, call_id);
        ensure_branch(msg);
        set(msg, KZ_IE_SIP_FROM_TAG, d->local_tag.View());
        set(msg, KZ_IE_SIP_TO_TAG, d->remote_tag.View());
        if (msg->is_ack()) {
            d->final_response_time = 0;
            d->ack.copy_msg_from(msg);
            d->request_sent.reset_all();
            d->response_received.reset_all();
        } else {
            d->request_sent_time = now;
            d->request_sent.copy_msg_from(msg);
        }
    }
    return 0;
}

uint32_t sip_group::SendNewRequest(sip_msg* msg, uint32_t connection_id, sip_dialog** created) {
    std::unique_ptr<sip_dialog> d = m_dialogs.NewDialog();
    const int64_t now = Now();
    d->connection_id = connection_id;
    d->state = sip_dialog::STATE_ESTABLISHING;
    d->direction = sip_dialog::DIR_OUTGOING;
    d->last_activity_time = now;
    if (msg->cseq() == 0)
        d->random_value += 1;
    else
        d->random_value = msg->cseq();
    set_cseq(msg, d->random_value, method_of(msg));
    ensure_branch(msg);
    d->branch = ie(msg, KZ_IE_SIP_VIA_BRANCH);
    if (!msg->find_ie(KZ_IE_SIP_CALLID, 0)) set(msg, KZ_IE_SIP_CALLID, new_call_id());
    d->call_id = ie(msg, KZ_IE_SIP_CALLID);
    const KZAPI::CString& from_tag = ie(msg, KZ_IE_SIP_FROM_TAG);
    d->local_tag = from_tag.IsEmpty() ? KZAPI::CString(new_tag()) : from_tag;
    set(msg, KZ_IE_SIP_FROM_TAG, d->local_tag.View());
    d->remote_tag = ie(msg, KZ_IE_SIP_TO_TAG);
    d->request_sent_time = now;
    d->protocol = msg->get_prot();
    d->connection = msg->get_tcp_socket();
    d->first_request.copy_msg_from(msg);
    d->request_sent.copy_msg_from(msg);
    *created = m_dialogs.Append(std::move(d));
    return 0;
}

// ---- responses ----

uint32_t sip_group::PrepareResponseInDialog(sip_dialog* d, sip_msg* msg, bool* remove_after) {
    const sip_msg* request = &d->request_received;
    *remove_after = false;
    if (d->state == sip_dialog::STATE_CONNECTED) {
        msg->copy_ie(request, KZ_IE_SIP_CALLID, 0);
        msg->copy_via_from(request, true, false);
        msg->copy_ie(request, KZ_IE_SIP_FROM_TAG, 0);
        msg->copy_ie(request, KZ_IE_SIP_TO_TAG, 0);
        msg->copy_ie(request, KZ_IE_SIP_CSEQ_NUMBER, 0);
        msg->copy_ie(request, KZ_IE_SIP_CSEQ_METHOD, 0);
        return 0;
    }
    if (d->state != sip_dialog::STATE_ESTABLISHING || d->direction != sip_dialog::DIR_INCOMING) return 0;

    const bool to_cancel = request->is_cancel();
    if (to_cancel && msg->is_2xx() && has_sdp(msg)) return KZ_SIP_SEND_REFUSED_SDP_IN_CANCEL_2XX;
    msg->copy_ie(request, KZ_IE_SIP_CALLID, 0);
    msg->copy_via_from(request, true, false);
    msg->copy_ie(request, KZ_IE_SIP_FROM_TAG, 0);
    if (ie(msg, KZ_IE_SIP_CSEQ_METHOD) != "PRACK") {
        msg->copy_ie(request, KZ_IE_SIP_CSEQ_NUMBER, 0);
        msg->copy_ie(request, KZ_IE_SIP_CSEQ_METHOD, 0);
    }
    if (to_cancel && msg->is_response() == 487) set(msg, KZ_IE_SIP_CSEQ_METHOD, "INVITE");

    if (msg->is_trying()) {
        d->trying_sent = 1;
    } else if (msg->find_ie(KZ_IE_SIP_TO_TAG, 0)) {
        d->local_tag = ie(msg, KZ_IE_SIP_TO_TAG);
    } else {
        if (d->local_tag.IsEmpty()) d->local_tag = new_tag();
        set(msg, KZ_IE_SIP_TO_TAG, d->local_tag.View());
    }
    return 0;
}

void sip_group::RecordResponse(sip_dialog* d, sip_msg* msg, bool* remove_after) {
    const KZAPI::CString& method = ie(msg, KZ_IE_SIP_CSEQ_METHOD);
    if (d->state == sip_dialog::STATE_CONNECTED) {
        d->request_received_time = 0;
        if (method == "INVITE") {
            d->response_sent.copy_msg_from(msg);
            d->final_response_time = Now();
        }
        *remove_after = d->request_received.is_bye() && msg->is_response() == 200 && method == "BYE";
        return;
    }
    if (d->state != sip_dialog::STATE_ESTABLISHING || d->direction != sip_dialog::DIR_INCOMING) return;
    if (msg->is_1xx()) return;
    if (method == "INVITE" || method == "CANCEL") {
        d->establishing_response.copy_msg_from(msg);
        d->final_response_time = Now();
        d->request_received_time = 0;
    } else if (method != "PRACK") {
        *remove_after = true;
    }
}

namespace {
// A response names the same parties as the request it answers; the application may leave them out.
void copy_parties_when_missing(sip_msg* msg, const sip_msg* request) {
    if (!msg->find_ie(KZ_IE_SIP_FROM, 0)) msg->copy_ie(request, KZ_IE_SIP_FROM, 0);
    if (!msg->find_ie(KZ_IE_SIP_TO, 0)) msg->copy_ie(request, KZ_IE_SIP_TO, 0);
}
} // namespace

// ---- entry points ----

// The dialog lock guards table work only: names are resolved before it is taken (or after it is
// released) and the composed message goes to the transport once it is released, so a slow name
// server or peer holds up this sender alone.
uint32_t sip_group::SendMessage(sip_msg* msg, const char* host, uint16_t port, uint32_t connection_id) {
    if (!msg) return KZ_SIP_RESULT_NULL_HANDLE;
    const bool request = msg->is_request() != 0;
    const bool response = msg->is_response() != 0;
    if (!request && !response) return KZ_SIP_RESULT_FAILURE;

    uint32_t dialog_id = 0;
    uint16_t dest_port = 0;
    std::string dest_host;
    if (request) {
        if (!request_destination(msg, host, port, &dest_host, &dest_port)) return KZ_SIP_RESULT_FAILURE;
        // Credentials go on the message first so every stored copy can be re-sent.
        kz_sip_complete_credentials(msg);
        const uint32_t ip = kz_get_real_inet_addr(dest_host.c_str());
        const uint32_t r = PrepareRequest(msg, connection_id, ip, dest_port, &dialog_id);
        if (r != 0) return r;
        return ComposeAndSendSIPMsg(msg, dotted(ip).c_str(), dest_port, dialog_id);
    }

    std::string given;
    if (host && *host) given = dotted(kz_get_real_inet_addr(host));
    const uint32_t r = PrepareResponse(msg, given.empty() ? nullptr : given.c_str(), port, connection_id,
                                       &dest_host, &dest_port, &dialog_id);
    if (r != 0) return r;
    if (!literal_address(dest_host) && !dest_host.empty()) {
        // A destination named in the Via: resolved now, and given to what the dialog stored.
        const uint32_t ip = kz_get_real_inet_addr(dest_host.c_str());
        StoreResponseDestination(dialog_id, ip, dest_port);
        dest_host = dotted(ip);
    }
    return ComposeAndSendSIPMsg(msg, dest_host.c_str(), dest_port, dialog_id);
}

void sip_group::TakeDialogTransport(sip_dialog* d, sip_msg* msg) {
    d->last_activity_time = Now();
    msg->set_prot(d->protocol);
    msg->set_tcp_socket(d->connection);
}

void sip_group::LogSending(const sip_msg* msg) {
    CKZLogInterface::Log(
        CKZLogInterface::LOG_TRACE, "Dialog Count(in sending):%d, protocol:%d, tcp_socket:%x, ssl_type:%d",
        static_cast<int>(m_dialogs.Size()), msg->get_prot(),
        static_cast<unsigned>(reinterpret_cast<uintptr_t>(msg->get_tcp_socket())), msg->get_ssl_type());
}

uint32_t sip_group::PrepareRequest(sip_msg* msg, uint32_t connection_id, uint32_t dest_ip, uint16_t dest_port,
                                   uint32_t* dialog_id) {
    KZAPI::CMutexLock lock(m_dialog_mutex);
    sip_dialog* d = m_dialogs.FindByConnectionId(connection_id);
    if (d) TakeDialogTransport(d, msg);
    // The destination goes on the message first so every stored copy can be re-sent.
    msg->set_ip_address(0, 0, dest_ip, dest_port);
    uint32_t r = 0;
    sip_dialog* created = nullptr;
    if (d)
        r = SendRequestInDialog(d, msg);
    else if (!msg->is_ack())
        r = SendNewRequest(msg, connection_id, &created);
    if (r != 0) return r;
    if (d || created) *dialog_id = connection_id;
    LogSending(msg);
    return 0;
}

uint32_t sip_group::PrepareResponse(sip_msg* msg, const char* host, uint16_t port, uint32_t connection_id,
                                    std::string* dest_host, uint16_t* dest_port, uint32_t* dialog_id) {
    KZAPI::CMutexLock lock(m_dialog_mutex);
    sip_dialog* d = m_dialogs.FindByConnectionId(connection_id);
    bool remove_after = false;
    if (d) {
        TakeDialogTransport(d, msg);
        const uint32_t r = PrepareResponseInDialog(d, msg, &remove_after);
        if (r != 0) return r;
        copy_parties_when_missing(msg, &d->request_received);
    }
    response_destination(msg, d ? &d->request_received : nullptr, host, port, dest_host, dest_port);
    msg->set_ip_address(0, 0, literal_address(*dest_host), *dest_port);
    LogSending(msg);
    if (!d) return 0;
    *dialog_id = connection_id;
    RecordResponse(d, msg, &remove_after);
    // Removed before the response leaves: a retransmission of the request that crosses it opens a
    // new dialog, as it would had it come after.
    if (remove_after) m_dialogs.Remove(d);
    return 0;
}

void sip_group::StoreResponseDestination(uint32_t dialog_id, uint32_t ip, uint16_t port) {
    if (!dialog_id || !ip) return;
    KZAPI::CMutexLock lock(m_dialog_mutex);
    sip_dialog* d = m_dialogs.FindByConnectionId(dialog_id);
    if (!d) return;
    for (sip_msg* stored : {&d->establishing_response, &d->response_sent})
        if (!stored->is_empty() && stored->get_to_ip() == 0)
            stored->set_ip_address(stored->get_from_ip(), stored->get_from_port(), ip, port);
}

uint32_t sip_group::SendCancel(sip_msg* msg, const char* host, uint16_t port, uint32_t new_connection_id,
                               uint32_t dialog_connection_id) {
    if (!msg || !msg->is_cancel()) return KZ_SIP_RESULT_FAILURE;
    // The CANCEL's own Route or URI names its destination: resolved before the lock.
    std::string dest_host;
    uint16_t dest_port = 0;
    const bool routable = request_destination(msg, host, port, &dest_host, &dest_port);
    const uint32_t ip = routable ? kz_get_real_inet_addr(dest_host.c_str()) : 0;
    {
        KZAPI::CMutexLock lock(m_dialog_mutex);
        sip_dialog* d = m_dialogs.FindByConnectionId(dialog_connection_id);
        if (!d || d->state != sip_dialog::STATE_ESTABLISHING || d->direction != sip_dialog::DIR_OUTGOING ||
            !d->establishing_response.is_1xx())
            return KZ_SIP_RESULT_FAILURE; // no CANCEL before a provisional response

        uint32_t number = d->first_request.cseq();
        set_cseq(msg, number ? number : d->random_value, "CANCEL");
        msg->copy_via_from(&d->first_request, true, false);
        msg->copy_ie(&d->first_request, KZ_IE_SIP_CALLID, 0);
        if (!msg->find_ie(KZ_IE_SIP_FROM_TAG, 0)) set(msg, KZ_IE_SIP_FROM_TAG, d->local_tag.View());
        if (!routable) return KZ_SIP_RESULT_FAILURE;

        const std::string call_id(d->call_id.View());
        const uint32_t old_id = d->connection_id;
        d->connection_id = new_connection_id;
        m_dialogs.Reindex(d, call_id, old_id);
        d->request_sent_time = d->last_activity_time = Now();
        msg->set_prot(d->protocol);
        msg->set_tcp_socket(d->connection);
        msg->set_ip_address(0, 0, ip, dest_port);
        kz_sip_complete_credentials(msg);
        d->request_sent.copy_msg_from(msg);
    }
    return ComposeAndSendSIPMsg(msg, dotted(ip).c_str(), dest_port, new_connection_id);
}
