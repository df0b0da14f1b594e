// The once-a-second sweep over the dialog table: dialogs that lived too long are removed,
// transactions that waited too long are reported as error events, and unanswered messages are
// re-sent every retransmission interval.
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "sipmsg/sip_msg_pool.h"
#include "sipstack/sip_group.h"

using KZAPI::CKZLogInterface;

namespace {

constexpr int64_t kOneHour = 3600;
constexpr int64_t kAppAnswerLimit = 180;
constexpr int64_t kRemoteAnswerLimit = 180;
constexpr int64_t kInviteNoAnswer = 7;    // reported at 7 s (after re-sends at 2, 4, 6)
constexpr int64_t kNonInviteNoAnswer = 6; // reported after more than 6 s
constexpr int64_t kFinalResponseWindow = 9;

bool is_quick_non_invite(const sip_msg& m) {
    return m.is_register() || m.is_message() || m.is_info() || m.is_notify() || m.is_options() ||
           m.is_subscribe();
}

// The code an error event carries: a request's method code or a response's status.
uint32_t event_code(const sip_msg& m) {
    if (uint32_t status = m.is_response()) return status;
    if (m.is_request()) return m.get_msg_type() & ~static_cast<uint32_t>(KZ_SIP_MSG_REQUEST_FLAG);
    return 0;
}

// Elapsed seconds since a recorded time; a time of 0 means "not set".
inline bool elapsed(int64_t now, int64_t since, int64_t* out) {
    if (since == 0) return false;
    *out = now - since;
    return true;
}

} // namespace

void sip_group::PushErrorEvent(TCQueue<KZSIPEvent>* events, uint32_t type, sip_dialog* d,
                               const sip_msg& msg) {
    if (!events) return;
    std::unique_ptr<sip_msg> copy = sip_msg_pool::Take();
    copy->copy_msg_from(&msg);
    KZSIPEvent e{};
    e.event_type = type;
    e.code = event_code(msg);
    e.connection_id = d->connection_id;
    e.protocol = d->protocol;
    e.connection = d->connection;
    e.message = copy.release(); // owned by the event until the process thread takes it
    events->Push(e);
}

void sip_group::TimerSweep(TCQueue<KZSIPEvent>* events) {
    PendingResends resends;
    {
        KZAPI::CMutexLock lock(m_dialog_mutex);
        const int64_t now = Now();
        const int32_t max_duration = m_settings.max_dialog_duration;
        const size_t before = m_dialogs.Size();
        m_dialogs.ForEach([&](sip_dialog* d) { SweepDialog(d, now, max_duration, events, &resends); });
        if (m_dialogs.Size() == before)
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Dialog Count(in checking status):%d",
                                 static_cast<int>(before));
    }
    ResendAll(&resends);
}

void sip_group::ResendAll(PendingResends* resends) {
    for (PendingResend& r : *resends) {
        ReSendOutgoingMessage(r.message.get(), r.dialog_id);
        sip_msg_pool::Give(std::move(r.message));
    }
    resends->clear();
}

void sip_group::SweepDialog(sip_dialog* d, int64_t now, int32_t max_duration, TCQueue<KZSIPEvent>* events,
                            PendingResends* resends) {
    const bool first_invite = d->first_request.is_invite();
    const int conn = static_cast<int>(d->connection_id);
    const char* call_id = d->call_id.c_str();
    int64_t activity = 0, app = 0, remote = 0, final_age = 0;
    const bool has_activity = elapsed(now, d->last_activity_time, &activity);
    const bool app_pending = elapsed(now, d->request_received_time, &app);
    const bool remote_pending = elapsed(now, d->request_sent_time, &remote);
    const bool final_pending = elapsed(now, d->final_response_time, &final_age);
    const bool too_long = max_duration >= 1 && has_activity && activity > max_duration && first_invite;
    const bool non_invite_too_long = has_activity && activity > kOneHour && !first_invite;
    const int64_t interval = kRetransmissionInterval;

    auto report = [&](uint32_t type, const sip_msg& msg) {
        PushErrorEvent(events, type, d, msg);
        RemoveDialog(d);
    };
    // The transport is not called under the dialog lock: a copy is re-sent after the sweep.
    auto resend = [&](const sip_msg& msg) {
        std::unique_ptr<sip_msg> copy = sip_msg_pool::Take();
        copy->copy_msg_from(&msg);
        resends->push_back(PendingResend{std::move(copy), d->connection_id});
    };

    if (d->state == sip_dialog::STATE_ESTABLISHING) {
        const bool no_response_yet = d->establishing_response.is_empty();
        if (too_long) {
            CKZLogInterface::Log(
                CKZLogInterface::LOG_ERROR,
                "DLG_ESTABLISHING Dialog(ConnID:%d CallID:%s) has been more than %d seconds! Remove "
                "from list now.",
                conn, call_id, max_duration);
            RemoveDialog(d);
        } else if (non_invite_too_long) {
            CKZLogInterface::Log(
                CKZLogInterface::LOG_ERROR,
                "DLG_ESTABLISHING Non-Invite Dialog(ConnID:%d CallID:%s) has been more than one "
                "hour! Remove from list now.",
                conn, call_id);
            RemoveDialog(d);
        } else if (app_pending && app > kAppAnswerLimit) {
            report(KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP, d->request_received);
        } else if (remote_pending && remote > kRemoteAnswerLimit) {
            report(KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE, d->request_sent);
        } else if (remote_pending && remote >= kInviteNoAnswer && d->request_sent.is_invite() &&
                   no_response_yet) {
            report(KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE, d->request_sent);
        } else if (remote_pending && remote > kNonInviteNoAnswer && is_quick_non_invite(d->request_sent)) {
            report(KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE, d->request_sent);
        } else if (remote_pending && no_response_yet && remote > 0 && remote % interval == 0) {
            resend(d->request_sent);
        } else if (final_pending && final_age < kFinalResponseWindow && final_age > 0 &&
                   final_age % interval == 0 && d->direction == sip_dialog::DIR_INCOMING && first_invite &&
                   !no_response_yet) {
            resend(d->establishing_response);
        } else if (final_pending && final_age >= kFinalResponseWindow && first_invite &&
                   d->direction == sip_dialog::DIR_OUTGOING) {
            report(KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_APP, d->first_request);
        } else if (final_pending && final_age >= kFinalResponseWindow && first_invite &&
                   d->direction == sip_dialog::DIR_INCOMING) {
            report(KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_REMOTE, d->first_request);
        }
        return;
    }

    const char* state_name = d->state == sip_dialog::STATE_CONNECTED ? "CONNECTED" : "IDLE";
    if (too_long) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR,
            "%s Dialog(ConnID:%d CallID:%s) has been more than six hours! Remove from list now.", state_name,
            conn, call_id);
        RemoveDialog(d);
        return;
    }
    if (non_invite_too_long) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR,
            "%s Non-Invite Dialog(ConnID:%d CallID:%s) has been more than one hour! Remove from list now.",
            state_name, conn, call_id);
        RemoveDialog(d);
        return;
    }
    if (d->state != sip_dialog::STATE_CONNECTED) return;

    if (app_pending && app > kAppAnswerLimit) {
        report(KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP, d->request_received);
    } else if (remote_pending && remote > kRemoteAnswerLimit) {
        report(KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE, d->request_sent);
    } else if (remote_pending && remote >= kInviteNoAnswer && d->request_sent.is_bye()) {
        report(KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE, d->request_sent);
    } else if (remote_pending && remote > 0 && remote % interval == 0) {
        resend(d->request_sent);
    }
}
