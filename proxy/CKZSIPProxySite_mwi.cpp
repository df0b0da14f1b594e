// CKZSIPProxySite: message-waiting subscriptions (RFC 3842). A user's phone subscribes to its own
// mailbox; the site sends the counters at once in the subscription's dialog, again on every
// change, and a last time when the subscription ends. Phones take only such NOTIFYs: one outside
// their subscription is answered 481.
#include "proxy/CKZSIPProxySite.h"

#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "proxy/ProxyUserRequest.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPAddressParts.h"
#include "server/SIPElement.h"
#include "server/SIPMessagePtr.h"
#include "sipmsg/kz_sip_defs.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>

using KZAPI::CKZLogInterface;
using namespace proxy_request;

namespace {

void copy(char* target, size_t size, const std::string& text) {
    KZAPI::str_cpy(target, text.c_str(), size);
}
template <size_t N> void copy(char (&target)[N], const std::string& text) {
    copy(target, N, text);
}

std::string active_state(const ProxyMwiSubscription& subscription, int64_t now) {
    return "active;expires=" + std::to_string(subscription.SecondsLeft(now));
}

} // namespace

ProxySubscribeOutcome CKZSIPProxySite::SubscribeMessageSummary(const ProxySiteRequest& request,
                                                               const char* to_tag, int lifetime) {
    sip_msg* m = request.message;
    CKZSIPGroup* group = request.group;
    const SIPAddressParts subscriber(sip_element(m, KZ_IE_SIP_FROM).c_str());
    const SIPAddressParts mailbox(sip_element(m, KZ_IE_SIP_TO).c_str());
    ProxyUser* user = ActiveUser(subscriber.user.c_str());
    // A phone learns the messages of its own account, nobody else's.
    if (!user || subscriber.user != mailbox.user) {
        group->SIP_Send4xx(m, request.connection, "403", "Forbidden");
        return ProxySubscribeOutcome::Refused;
    }
    const std::string call_id = sip_element(m, KZ_IE_SIP_CALLID);
    const std::string from_tag = sip_element(m, KZ_IE_SIP_FROM_TAG);
    const bool refresh = !sip_element(m, KZ_IE_SIP_TO_TAG).empty();
    ProxyMwiSubscription* subscription =
        user->mwi_subscriptions.Find(call_id.c_str(), from_tag.c_str(), refresh ? to_tag : "");
    if (refresh && !subscription) {
        group->SIP_Send4xx(m, request.connection, "481", "Call/Transaction Does Not Exist");
        return ProxySubscribeOutcome::Refused;
    }
    if (!subscription) subscription = &user->mwi_subscriptions.Add();
    // No phone keeps a mailbox subscription longer than the site keeps its registrations.
    if (m_max_reg_expire > 0) lifetime = std::min(lifetime, m_max_reg_expire);
    RecordMwiSubscription(*subscription, request, to_tag, lifetime);
    group->SIP_SendOK(m, request.connection, false, to_tag, lifetime);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPProxySite::SubscribeMessageSummary %s subscribed to its messages for %d "
                         "seconds (%s)",
                         user->name, lifetime, subscription->call_id);
    if (lifetime > 0) {
        // The state goes at once (RFC 6665 4.2.1.2), or as soon as the NOTIFY still out is answered.
        subscription->notify_due = true;
        if (!subscription->AwaitsAnswer(request.now))
            SendMwiNotify(group, *user, *subscription, active_state(*subscription, request.now).c_str(),
                          request.now);
        return ProxySubscribeOutcome::Accepted;
    }
    SendMwiNotify(group, *user, *subscription, "terminated", request.now);
    copy(user->notify_call_id, subscription->call_id); // so that its answer is known
    user->mwi_subscriptions.Remove(subscription);
    return ProxySubscribeOutcome::Accepted;
}

void CKZSIPProxySite::RecordMwiSubscription(ProxyMwiSubscription& s, const ProxySiteRequest& request,
                                            const char* to_tag, int lifetime) {
    sip_msg* m = request.message;
    copy(s.call_id, sip_element(m, KZ_IE_SIP_CALLID));
    copy(s.local_tag, to_tag ? to_tag : "");
    copy(s.remote_tag, sip_element(m, KZ_IE_SIP_FROM_TAG));
    copy(s.local_uri, sip_element(m, KZ_IE_SIP_TO));
    copy(s.remote_uri, sip_element(m, KZ_IE_SIP_FROM));
    // A refresh may name a new contact or come from a new address (RFC 6665 4.1.2.1).
    copy(s.contact, contact_uri(sip_element(m, KZ_IE_SIP_CONTACT).c_str()));
    copy(s.source_address, request.source_address ? request.source_address : "");
    s.source_port = request.source_port;
    s.transport = std::atoi(sip_element(m, KZ_IE_SIP_PROTOCOL).c_str());
    s.start = request.now;
    s.lifetime = lifetime;
}

bool CKZSIPProxySite::SendMwiNotify(CKZSIPGroup* group, const ProxyUser& user, ProxyMwiSubscription& s,
                                    const char* state, int64_t now) {
    const SIPMessagePtr message = AllocSIPMessage();
    if (!message) return false;
    sip_msg* m = message.get();
    auto set = [m](uint32_t id, const char* value) { CKZSIPGroup::MSG_SetIE_STR(m, id, 0, value); };
    set_request_basics(m, *group, "NOTIFY", s.contact[0] ? s.contact : contact_uri(s.remote_uri), s.transport,
                       s.call_id);
    set(KZ_IE_SIP_FROM, s.local_uri);
    set(KZ_IE_SIP_FROM_TAG, s.local_tag);
    set(KZ_IE_SIP_TO, s.remote_uri);
    set(KZ_IE_SIP_TO_TAG, s.remote_tag);
    set(KZ_IE_SIP_CSEQ_NUMBER, std::to_string(++s.cseq).c_str());
    // The same Contact as the 200 that made the dialog: the phone's refreshes come back to it.
    char contact[CKZSIPGroup::kAddressTextSize + 32];
    KZAPI::s_printf(contact, sizeof(contact), "<sip:KZAPISIPUA@%s:%d>", group->GetRealPublicSIPIP(),
                    group->GetRealPublicSIPPort());
    set(KZ_IE_SIP_CONTACT, contact);
    set(KZ_IE_SIP_SUBSCRIPTION_STATE, state);
    set_message_summary(m, user);
    const Destination to{s.source_address, s.source_port};
    const bool sent = send_on_new_connection(group, m, &to) != 0;
    s.notify_due = !sent;
    s.notify_sent = sent ? now : 0;
    return sent;
}

void CKZSIPProxySite::ServeMwiSubscriptions(CKZSIPGroup* group, ProxyUser& user, int64_t now) {
    for (ProxyMwiSubscription& expired : user.mwi_subscriptions.TakeExpired(now)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "CKZSIPProxySite::CheckProxyUserStatus message-waiting subscription of %s ran "
                             "out (%s)",
                             user.name, expired.call_id);
        SendMwiNotify(group, user, expired, "terminated;reason=timeout", now);
        copy(user.notify_call_id, expired.call_id);
    }
    if (user.msg_pending && !user.mwi_subscriptions.Empty()) {
        user.msg_pending = false;
        for (ProxyMwiSubscription& s : user.mwi_subscriptions.Items())
            s.notify_due = true;
    }
    for (ProxyMwiSubscription& s : user.mwi_subscriptions.Items())
        if (s.notify_due && !s.AwaitsAnswer(now))
            SendMwiNotify(group, user, s, active_state(s, now).c_str(), now);
}

std::optional<CKZSIPProxySite::MwiNotifyAnswer> CKZSIPProxySite::ReadMwiNotifyAnswer(sip_msg* message) {
    if (sip_element(message, KZ_IE_SIP_CSEQ_METHOD) != "NOTIFY") return std::nullopt;
    // Our NOTIFY carries our tag in From and the subscriber's in To; so does its answer.
    return MwiNotifyAnswer{sip_element(message, KZ_IE_SIP_CALLID), sip_element(message, KZ_IE_SIP_FROM_TAG),
                           sip_element(message, KZ_IE_SIP_TO_TAG),
                           sip_element(message, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE)};
}

bool CKZSIPProxySite::OnMwiNotifyAnswer(ProxyUser& user, const MwiNotifyAnswer& answer) {
    if (user.mwi_subscriptions.Empty()) return false;
    ProxyMwiSubscription* s =
        user.mwi_subscriptions.Find(answer.call_id.c_str(), answer.to_tag.c_str(), answer.from_tag.c_str());
    if (!s) return false;
    // Our own NOTIFY, without a status, comes back when the stack gave up waiting for its answer.
    const int code = std::atoi(answer.status.c_str());
    if (code >= 100 && code < 300) {
        if (code >= 200) s->notify_sent = 0;
        return true;
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPProxySite::IsOKForProxyUser message-waiting subscription of %s ends: its "
                         "NOTIFY was answered %s (%s)",
                         user.name, answer.status.empty() ? "with nothing" : answer.status.c_str(),
                         s->call_id);
    user.mwi_subscriptions.Remove(s);
    return true;
}
