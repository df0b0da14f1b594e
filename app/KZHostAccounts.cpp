#include "app/KZHostAccounts.h"

#include "host/CMutex.h"
#include "server/CKZSIPServer.h"
#include "server/kz_sip_user_reg_profile.h"

namespace kzapp {

namespace {

using Account = kz_sip_user_reg_profile;
using WatchItem = kz_sip_user_subscribe_item;

constexpr int kMaxCallsPerAccount = 0; // no limit
constexpr int kNoSRTP = 0;

const char* registration_state(int state) {
    switch (state) {
    case Account::REGISTER_SENT:
        return "registering";
    case Account::CREDENTIALS_SENT:
        return "authenticating";
    case Account::REGISTERED:
        return "registered";
    default:
        return "unregistered";
    }
}

const char* watch_state(int state) {
    switch (state) {
    case WatchItem::SUBSCRIBE_SENT:
        return "subscribing";
    case WatchItem::CREDENTIALS_SENT:
        return "authenticating";
    case WatchItem::SUBSCRIBED:
        return "subscribed";
    default:
        return "unsubscribed";
    }
}

KZAccountTransport transport_of(int number) {
    if (number == 1) return KZAccountTransport::Tcp;
    if (number == 2) return KZAccountTransport::Tls;
    return KZAccountTransport::Udp;
}

KZAccountStatus status_of(int index, const Account& a) {
    KZAccountStatus status;
    status.account = index + 1;
    status.user = a.user_name;
    status.domain = a.domain;
    status.proxy = a.proxy;
    status.transport = transport_of(a.transport);
    status.state = registration_state(a.state);
    status.seconds = a.state == Account::REGISTERED ? a.lifetime : 0;
    for (const auto& w : a.subscriptions)
        status.watches.push_back(
            {w->address, w->event_kind == WatchItem::EVENT_DIALOG ? "dialog" : "presence",
             watch_state(w->state),
             w->state == WatchItem::SUBSCRIBED ? static_cast<int>(w->granted_lifetime) : 0});
    return status;
}

int server_field(KZAccountField field) {
    switch (field) {
    case KZAccountField::Display:
        return CKZSIPServer::ACCOUNT_DISPLAY_NAME;
    case KZAccountField::User:
        return CKZSIPServer::ACCOUNT_USER_NAME;
    case KZAccountField::Domain:
        return CKZSIPServer::ACCOUNT_DOMAIN;
    case KZAccountField::Proxy:
        return CKZSIPServer::ACCOUNT_PROXY;
    case KZAccountField::AuthUser:
        return CKZSIPServer::ACCOUNT_AUTHORIZATION_USER;
    case KZAccountField::Password:
        return CKZSIPServer::ACCOUNT_PASSWORD;
    case KZAccountField::UserId:
        return CKZSIPServer::ACCOUNT_USER_ID;
    case KZAccountField::Transport:
        return CKZSIPServer::ACCOUNT_TRANSPORT;
    }
    return -1;
}

std::string account_text(int account) {
    return "account " + std::to_string(account);
}

} // namespace

int KZHostAccounts::Count() {
    return m_server.SIPAccount_Count();
}

std::vector<KZAccountStatus> KZHostAccounts::List() {
    std::vector<KZAccountStatus> list;
    KZAPI::CMutexLock lock(m_server.GetServerMutex());
    for (int i = 0; i < m_server.SIPAccount_Count(); ++i)
        if (const Account* a = m_server.SIPAccount_Handle(i)) list.push_back(status_of(i, *a));
    return list;
}

KZAccountOutcome KZHostAccounts::Add(const KZAccountRequest& r) {
    Account* handle = m_server.SIPAccount_Add(
        r.display.c_str(), r.user.c_str(), r.domain.c_str(), r.proxy.c_str(), r.auth_user.c_str(),
        r.password.c_str(), r.expires, r.register_it ? 1 : 0, kMaxCallsPerAccount, r.retry.value_or(0), 1,
        static_cast<int>(r.transport) | kNoSRTP);
    const int index = handle ? m_server.SIPAccount_Index(handle) : -1;
    if (index < 0) return KZAccountOutcome::Refused("the account could not be added");
    return KZAccountOutcome::Accepted(index + 1);
}

KZAccountOutcome KZHostAccounts::Set(int account, KZAccountField field, const std::string& value) {
    std::string text = value;
    if (field == KZAccountField::Transport)
        text = std::to_string(value == "tcp" ? 1 : value == "tls" ? 2 : 0);
    if (!m_server.SIPAccount_Set(account - 1, server_field(field), text.c_str()))
        return KZAccountOutcome::Refused("no " + account_text(account));
    return KZAccountOutcome::Accepted(account);
}

KZAccountOutcome KZHostAccounts::Remove(int account) {
    Account* handle = m_server.SIPAccount_Handle(account - 1);
    if (!handle || !m_server.SIPAccount_Remove(handle))
        return KZAccountOutcome::Refused("no " + account_text(account));
    return KZAccountOutcome::Accepted(account);
}

KZAccountOutcome KZHostAccounts::Register(int account, bool on) {
    if (!m_server.SIPAccount_Handle(account - 1))
        return KZAccountOutcome::Refused("no " + account_text(account));
    if (!m_server.SIPAccount_Register(account - 1, on ? 1 : 0))
        return KZAccountOutcome::Refused(account_text(account) +
                                         (on ? " could not send its REGISTER" : " could not unregister"));
    return KZAccountOutcome::Accepted(account);
}

KZAccountOutcome KZHostAccounts::SendMessage(const KZMessageRequest& r) {
    std::string from = r.from;
    {
        KZAPI::CMutexLock lock(m_server.GetServerMutex());
        const Account* a = m_server.SIPAccount_Handle(r.account - 1);
        if (!a) return KZAccountOutcome::Refused("no " + account_text(r.account));
        if (from.empty()) from = "<sip:" + std::string(a->user_name) + "@" + a->domain + ">";
    }
    const int id = ++m_last_message_id;
    if (!m_server.SendMessageText(id, from.c_str(), r.to.c_str(), r.text.c_str()))
        return KZAccountOutcome::Refused("the message could not be sent");
    return KZAccountOutcome::Accepted(id);
}

KZAccountOutcome KZHostAccounts::Watch(const KZWatchRequest& r) {
    if (!m_server.AddSubscription(r.account - 1, r.target.c_str(), r.expires,
                                  r.dialog ? WatchItem::EVENT_DIALOG : WatchItem::EVENT_PRESENCE))
        return KZAccountOutcome::Refused("no " + account_text(r.account));
    return KZAccountOutcome::Accepted(r.account);
}

KZAccountOutcome KZHostAccounts::Unwatch(int account, const std::string& target) {
    if (!m_server.RemoveSubscription(account - 1, target.c_str()))
        return KZAccountOutcome::Refused(account_text(account) + " does not watch " + target);
    return KZAccountOutcome::Accepted(account);
}

} // namespace kzapp
