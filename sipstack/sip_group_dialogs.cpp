// Dialog bookkeeping of received messages: each request or response is matched to its dialog
// (Call-ID and tags; the first match in table order wins) and moves that dialog's transaction on.
#include "host/CKZLogInterface.h"
#include "sipmsg/sip_msg_pool.h"
#include "sipstack/sip_group.h"

using KZAPI::CKZLogInterface;

namespace {

const KZAPI::CString& ie(const sip_msg* m, uint32_t id) {
    return m->get_ie_value(id, 0);
}

bool is_2xx_status(const sip_msg& m) {
    return m.is_2xx();
}
bool is_final_failure(const sip_msg& m) {
    uint32_t code = m.is_response();
    return code >= 300 && code < 700;
}

} // namespace

sip_dialog* sip_group::MatchDialog(const sip_msg* msg, bool is_request) {
    const KZAPI::CString& from_tag = ie(msg, KZ_IE_SIP_FROM_TAG);
    const KZAPI::CString& to_tag = ie(msg, KZ_IE_SIP_TO_TAG);
    return m_dialogs.FindByCallId(ie(msg, KZ_IE_SIP_CALLID).View(), [&](const sip_dialog& d) {
        if (d.state == sip_dialog::STATE_ESTABLISHING)
            return is_request ? d.remote_tag == from_tag.View() : d.local_tag == from_tag.View();
        if (is_request) return d.local_tag == to_tag.View() && d.remote_tag == from_tag.View();
        return d.local_tag == from_tag.View() && d.remote_tag == to_tag.View();
    });
}

void sip_group::RemoveDialog(sip_dialog* d) {
    m_dialogs.Remove(d);
}

uint32_t sip_group::TerminateConnection(uint32_t connection_id) {
    KZAPI::CMutexLock lock(m_dialog_mutex);
    sip_dialog* d = m_dialogs.FindByConnectionId(connection_id);
    if (!d) return KZ_SIP_RESULT_FAILURE;
    RemoveDialog(d);
    return 0;
}

bool sip_group::DialogBookkeeping(const sip_msg* msg, KZSIPEvent* event) {
    const bool request = event->event_type == KZ_EVENT_SIP_MESSAGE_REQUEST;
    const bool response = event->event_type == KZ_EVENT_SIP_MESSAGE_RESPONSE;
    if (!request && !response) return true; // external text has no dialog
    if (!msg->find_ie(KZ_IE_SIP_CALLID, 0)) return false;
    PendingResends resends;
    bool accepted = false;
    {
        KZAPI::CMutexLock lock(m_dialog_mutex);
        accepted = request ? BookkeepRequest(msg, event) : BookkeepResponse(msg, event, &resends);
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Dialog Count(in saving):%d",
                             static_cast<int>(m_dialogs.Size()));
    }
    ResendAll(&resends);
    return accepted;
}

bool sip_group::BookkeepRequest(const sip_msg* msg, KZSIPEvent* event) {
    const int64_t now = Now();
    sip_dialog* d = MatchDialog(msg, true);
    if (!d) {
        std::unique_ptr<sip_dialog> fresh = m_dialogs.NewDialog();
        uint32_t id = ++m_connection_counter;
        if (id == 0) id = ++m_connection_counter;
        fresh->connection_id = id;
        fresh->state = sip_dialog::STATE_ESTABLISHING;
        fresh->direction = sip_dialog::DIR_INCOMING;
        fresh->call_id = ie(msg, KZ_IE_SIP_CALLID).View();
        fresh->remote_tag = ie(msg, KZ_IE_SIP_FROM_TAG).View();
        fresh->local_tag = ie(msg, KZ_IE_SIP_TO_TAG).View();
        fresh->branch = ie(msg, KZ_IE_SIP_VIA_BRANCH).View();
        fresh->first_request.copy_msg_from(msg);
        fresh->request_received.copy_msg_from(msg);
        fresh->last_activity_time = fresh->request_received_time = now;
        fresh->protocol = msg->get_prot();
        fresh->connection = msg->get_tcp_socket();
        event->connection_id = id;
        m_dialogs.Append(std::move(fresh));
        return true;
    }

    d->last_activity_time = now;
    event->connection_id = d->connection_id;
    if (d->state == sip_dialog::STATE_CONNECTED) {
        if (msg->is_ack()) {
            if (d->request_received.is_invite()) {
                d->final_response_time = 0;
                d->request_received.reset_all();
                d->response_sent.reset_all();
            }
        } else if (!msg->is_cancel()) {
            d->request_received.copy_msg_from(msg);
            d->request_received_time = now;
        }
    } else if (d->state == sip_dialog::STATE_ESTABLISHING && d->direction == sip_dialog::DIR_INCOMING) {
        if (msg->is_prack()) return true;
        if (msg->is_ack()) {
            if (d->request_received.is_cancel()) {
                RemoveDialog(d);
            } else if (is_2xx_status(d->establishing_response)) {
                d->state = sip_dialog::STATE_CONNECTED;
                d->ack.copy_msg_from(msg);
                d->request_received_time = 0;
                d->final_response_time = 0;
            } else if (is_final_failure(d->establishing_response)) {
                RemoveDialog(d);
            }
            return true;
        }
        d->request_received.copy_msg_from(msg);
        d->request_received_time = now;
        if (d->final_response_time && d->first_request.is_invite()) d->final_response_time = 0;
    }
    return true;
}

bool sip_group::BookkeepResponse(const sip_msg* msg, KZSIPEvent* event, PendingResends* resends) {
    const int64_t now = Now();
    sip_dialog* d = MatchDialog(msg, false);
    if (!d) return false;
    d->last_activity_time = now;
    event->connection_id = d->connection_id;
    const std::string_view cseq_method = ie(msg, KZ_IE_SIP_CSEQ_METHOD).View();

    if (d->state == sip_dialog::STATE_CONNECTED) {
        if (d->request_sent_time == 0) {
            // A retransmitted 2xx to our INVITE: the stack answers it with the stored ACK.
            uint32_t first_cseq = d->first_request.cseq();
            if (msg->is_response() == 200 && first_cseq != 0 && msg->cseq() == first_cseq &&
                d->first_request.is_invite() && !d->ack.is_empty()) {
                std::unique_ptr<sip_msg> ack = sip_msg_pool::Take();
                ack->copy_msg_from(&d->ack);
                resends->push_back(PendingResend{std::move(ack), d->connection_id});
            }
        } else {
            d->request_sent_time = 0;
            if (d->request_sent.is_invite()) {
                d->remote_tag = ie(msg, KZ_IE_SIP_TO_TAG).View();
                d->response_received.copy_msg_from(msg);
                d->final_response_time = now;
            } else if (d->request_sent.is_bye() && msg->is_response() == 200 && cseq_method == "BYE") {
                RemoveDialog(d);
            }
        }
        return true;
    }

    if (d->state == sip_dialog::STATE_ESTABLISHING && d->direction == sip_dialog::DIR_OUTGOING) {
        if (msg->is_1xx()) {
            d->remote_tag = ie(msg, KZ_IE_SIP_TO_TAG).View();
            d->establishing_response.copy_msg_from(msg);
            return true;
        }
        if (msg->is_2xx() && cseq_method == "INVITE" && d->request_sent.is_cancel())
            d->request_sent.copy_msg_from(&d->first_request);
        if (d->request_sent.is_invite() || d->request_sent.is_cancel()) {
            if (cseq_method == d->request_sent.get_ie_value(KZ_IE_SIP_REQUEST_LINE_METHOD).View()) {
                d->remote_tag = ie(msg, KZ_IE_SIP_TO_TAG).View();
                d->establishing_response.copy_msg_from(msg);
                d->request_sent_time = 0;
                d->final_response_time = now;
            }
        } else {
            RemoveDialog(d);
        }
    }
    return true;
}
