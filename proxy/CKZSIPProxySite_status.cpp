// CKZSIPProxySite: what the site sends its users on its own: message-waiting notices, the
// reachability OPTIONS of live UDP users, and dialog-state notices to the watchers of a user.
#include "proxy/CKZSIPProxySite.h"

#include "host/CKZAPIEnv.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "proxy/ProxyUserRequest.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPElement.h"
#include "server/SIPMessagePtr.h"
#include "sipmsg/kz_sip_defs.h"

#include <cstring>
#include <optional>
#include <string>

using KZAPI::CKZLogInterface;
using namespace proxy_request;

namespace {

constexpr int64_t kCheckIntervalSeconds = 30;
constexpr int64_t kCheckAnswerSeconds = 6;
// More watchers than any phone's busy-lamp field; keeps one user's list bounded.
constexpr size_t kMaxSubscribersPerUser = 256;

} // namespace

void CKZSIPProxySite::CheckProxyUserStatus(CKZSIPGroup* group, int64_t now) {
    if (!group) return;
    ReleaseShutOutSources(group, now);
    for (const auto& user : m_users) {
        if (!user->name[0] || !user->in_use) continue;
        if (user->reg_lifetime > 0 && now >= user->reg_time + user->reg_lifetime)
            RegistrationRanOut(*user, now);
        // A phone subscribed to its messages hears of them in its subscription; one that did not
        // subscribe still gets them unsolicited at its registered contact.
        ServeMwiSubscriptions(group, *user, now);
        if (user->msg_pending && user->IsRegistered(now) && user->contact[0])
            SendMessageSummary(group, *user, now);
        if (GetOptions().check_user_status && user->IsRegistered(now) && user->transport == 0)
            CheckReachability(group, *user, now);
    }
}

void CKZSIPProxySite::RegistrationRanOut(ProxyUser& user, int64_t now) {
    user.EndRegistration(now);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPProxySite::CheckProxyUserStatus registration of %s ran out", user.name);
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_ProxyUserRegistered(
        GetNumber(), user.name, 0, user.contact, user.source_address, user.source_port, user.channel);
}

void CKZSIPProxySite::SendMessageSummary(CKZSIPGroup* group, ProxyUser& user, int64_t /*now*/) {
    const SIPMessagePtr message = AllocSIPMessage();
    if (!message) return;
    sip_msg* m = message.get();
    const std::string uri = contact_uri(user.contact);
    const std::string call_id = new_call_id(*group);
    set_request_basics(m, *group, "NOTIFY", uri, user.transport, call_id);
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_CONTACT, 0, ("<" + uri + ">").c_str());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_FROM, 0, user.from);
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_TO, 0, user.from);
    // Every NOTIFY carries its subscription's state (RFC 6665 4.1.3); phones refuse one without.
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_SUBSCRIPTION_STATE, 0, "active");
    set_message_summary(m, user);
    const Destination to = destination_of(user);
    if (send_on_new_connection(group, m, &to) == 0) return; // tried again next second
    user.msg_pending = false;
    KZAPI::str_cpy(user.notify_call_id, call_id.c_str(), sizeof(user.notify_call_id));
}

void CKZSIPProxySite::CheckReachability(CKZSIPGroup* group, ProxyUser& user, int64_t now) {
    if (user.check_connection == 0) {
        if (now - user.check_time >= kCheckIntervalSeconds) SendOptions(group, user, now);
        return;
    }
    if (now - user.check_time < kCheckAnswerSeconds) return;
    const int lifetime = user.reg_lifetime;
    user.EndRegistration(now);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPProxySite::ProcessProxyUserStatus user status turns to expired(%s,%d,%s,%s)",
                         user.name, lifetime, user.contact, user.source_address);
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_ProxyUserRegistered(
        GetNumber(), user.name, 0, user.contact, user.source_address, user.source_port, user.channel);
}

bool CKZSIPProxySite::SendOptions(CKZSIPGroup* group, ProxyUser& user, int64_t now) {
    const SIPMessagePtr message = AllocSIPMessage();
    if (!message) return false;
    sip_msg* m = message.get();
    const std::string call_id = new_call_id(*group);
    set_request_basics(m, *group, "OPTIONS", contact_uri(user.contact), 0, call_id);
    char from[ProxyUser::kTextSize];
    KZAPI::s_printf(from, sizeof(from), "<sip:%s@%s:%d>",
                    GetDomains().empty() ? "proxy" : GetDomains()[0].c_str(), group->GetRealPublicSIPIP(),
                    group->GetRealPublicSIPPort());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_FROM, 0, from);
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_TO, 0, user.to[0] ? user.to : user.from);
    const Destination to = destination_of(user);
    user.check_time = now;
    user.check_connection = send_on_new_connection(group, m, &to);
    KZAPI::str_cpy(user.check_call_id, user.check_connection ? call_id.c_str() : "",
                   sizeof(user.check_call_id));
    return user.check_connection != 0;
}

bool CKZSIPProxySite::IsOKForProxyUser(sip_msg* message, int64_t now) {
    const std::string call_id = sip_element(message, KZ_IE_SIP_CALLID);
    if (call_id.empty()) return false;
    const bool ok = sip_element(message, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE) == "200";
    const std::optional<MwiNotifyAnswer> notify_answer = ReadMwiNotifyAnswer(message);
    for (const auto& user : m_users) {
        if (notify_answer && OnMwiNotifyAnswer(*user, *notify_answer)) return true;
        if (user->check_connection && call_id == user->check_call_id) {
            if (ok) {
                user->check_connection = 0;
                user->check_call_id[0] = '\0';
                user->check_time = now;
            }
            return true;
        }
        if (call_id == user->notify_call_id) return true;
    }
    return false;
}

// ---- dialog subscriptions ----

void CKZSIPProxySite::AddProxyUserSubscribedList(const char* watched, const char* watcher,
                                                 const char* call_id, const char* to_tag,
                                                 const char* from_tag, int lifetime, int64_t now) {
    ProxyUser* user = FindUser(watched);
    if (!user || !watcher || !*watcher) return;
    ProxyDialogSubscriber* entry = nullptr;
    for (ProxyDialogSubscriber& s : user->subscribers)
        if (std::strcmp(s.watcher, watcher) == 0) entry = &s;
    if (!entry) {
        // Room is made from subscriptions that ran out before a live one is refused.
        std::erase_if(user->subscribers, [now](const ProxyDialogSubscriber& s) { return !s.IsLive(now); });
        if (user->subscribers.size() >= kMaxSubscribersPerUser) return;
        entry = &user->subscribers.emplace_back();
        KZAPI::str_cpy(entry->watcher, watcher, sizeof(entry->watcher));
    }
    KZAPI::str_cpy(entry->call_id, call_id ? call_id : "", sizeof(entry->call_id));
    KZAPI::str_cpy(entry->to_tag, to_tag ? to_tag : "", sizeof(entry->to_tag));
    KZAPI::str_cpy(entry->from_tag, from_tag ? from_tag : "", sizeof(entry->from_tag));
    entry->start = now;
    entry->lifetime = lifetime;
    CKZLogInterface::Log(
        CKZLogInterface::LOG_TRACE,
        "CKZSIPProxySite::AddProxyUserSubscribedList %s has a new notify target user %s for %d "
        "seconds.",
        watched, watcher, lifetime);
}

unsigned CKZSIPProxySite::UpdateUserState(CKZSIPGroup* group, const char* name, const char* direction,
                                          const char* state, int64_t now) {
    const ProxyUser* watched = FindUser(name);
    if (!watched || !group) return 0;
    for (const ProxyDialogSubscriber& s : watched->subscribers) {
        if (!s.IsLive(now)) continue;
        const ProxyUser* watcher = ActiveUser(s.watcher);
        if (watcher && watcher->contact[0]) NotifyDialogState(group, *watched, *watcher, s, direction, state);
    }
    return 1;
}

void CKZSIPProxySite::NotifyDialogState(CKZSIPGroup* group, const ProxyUser& watched,
                                        const ProxyUser& watcher, const ProxyDialogSubscriber& subscription,
                                        const char* direction, const char* state) {
    const SIPMessagePtr message = AllocSIPMessage();
    if (!message) return;
    sip_msg* m = message.get();
    auto set = [m](uint32_t id, const char* value) { CKZSIPGroup::MSG_SetIE_STR(m, id, 0, value); };
    set_request_basics(m, *group, "NOTIFY", contact_uri(watcher.contact), watcher.transport,
                       subscription.call_id);
    set(KZ_IE_SIP_FROM, watched.from);
    set(KZ_IE_SIP_TO, watcher.from);
    // The notifier's tag is the one it gave the subscription in its answer.
    set(KZ_IE_SIP_FROM_TAG, subscription.to_tag);
    set(KZ_IE_SIP_TO_TAG, subscription.from_tag);
    set(KZ_IE_SIP_CONTACT, watched.contact);
    set(KZ_IE_SIP_EVENT, "dialog");
    set(KZ_IE_SIP_SUBSCRIPTION_STATE, "active");
    set(KZ_IE_SIP_CONTENT_TYPE, "application/dialog-info+xml");
    std::string body = "<?xml version=\"1.0\"?>\r\n";
    body +=
        "<dialog-info xmlns=\"urn:ietf:params:xml:ns:dialog-info\" version=\"1\" state=\"full\" entity=\"";
    body += contact_uri(watched.to[0] ? watched.to : watched.from) + "\">\r\n";
    body += std::string("<dialog id=\"") + watched.name + "\" ";
    if (direction && *direction) body += std::string("direction=\"") + direction + "\"";
    body += ">\r\n";
    body += std::string("<state>") + (state ? state : "") + "</state>\r\n";
    body += "</dialog>\r\n</dialog-info>\r\n";
    set(KZ_IE_SIP_NOTIFY_PRESENCE, body.c_str());
    send_on_new_connection(group, m, nullptr);
}
