// Subscriptions of registered accounts to other parties' presence or dialog state: loaded from the
// settings or added at run time, sent once the account is registered, retried and refreshed by
// the once-a-second pass, and the responses to their SUBSCRIBEs.
#include "host/CKZAPIEnv.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/ProxyHostPort.h"
#include "server/RegisterCredentials.h"
#include "server/SIPElement.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"

#include <cstdlib>
#include <string>
#include <string_view>

using Account = kz_sip_user_reg_profile;
using Item = kz_sip_user_subscribe_item;

namespace {

constexpr int64_t kRetrySeconds = 5;
constexpr int64_t kShortLifetime = 60;
constexpr int64_t kRefreshMargin = 2;

bool is_due(const Item& item, int64_t now) {
    if (item.lifetime == 0) return false;
    if (item.state < Item::SUBSCRIBED) return item.state_time >= 1 && now - item.state_time >= kRetrySeconds;
    if (item.granted_lifetime == 0 || item.state_time == 0) return false;
    const int64_t due = item.granted_lifetime > kShortLifetime ? item.granted_lifetime - kRefreshMargin
                                                               : item.granted_lifetime;
    return now - item.state_time >= due;
}

// The To of a SUBSCRIBE: a bracketed SIP address as it is, a bare one bracketed, anything else
// made into one; the account's own address when nothing is watched.
std::string subscribe_to(const std::string& address, const std::string& from) {
    if (address.empty()) return from;
    if (address.find("<sip:") != std::string::npos) return address;
    if (address.find("sip:") != std::string::npos) return "<" + address + ">";
    return "<sip:" + address + ">";
}

std::string subscribe_uri(const std::string& address, const char* proxy) {
    if (address.empty()) return std::string("sip:") + proxy;
    if (const size_t open = address.find("<sip:"); open != std::string::npos) {
        const size_t close = address.find('>', open);
        return address.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    }
    if (address.find("sip:") != std::string::npos) return address;
    return "sip:" + address;
}

KZAPI::CKZAPIEnv& host_env() {
    return *KZAPI::CKZAPIEnv::GetKZAPIEnv();
}

} // namespace

bool CKZSIPServer::AddSubscription(int index, const char* address, int lifetime, int event_kind) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a || !address) return false;
    auto item = std::make_unique<Item>();
    KZAPI::str_cpy(item->address, address, sizeof(item->address));
    item->lifetime = lifetime > 0 ? lifetime : Item::kDefaultLifetime;
    item->event_kind = event_kind;
    // Sent on the next pass once the account is registered.
    item->state_time = m_clock->NowSeconds() - kRetrySeconds;
    a->subscriptions.push_back(std::move(item));
    a->has_subscriptions = 1;
    return true;
}

bool CKZSIPServer::RemoveSubscription(int index, const char* address) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a || !address) return false;
    auto& items = a->subscriptions;
    const size_t before = items.size();
    std::erase_if(items,
                  [&](const std::unique_ptr<Item>& item) { return KZAPI::iequals(item->address, address); });
    return items.size() != before;
}

void CKZSIPServer::CheckUsersSubscribeStatus(int64_t now) {
    KZAPI::CMutexLock lock(GetServerMutex());
    for (size_t i = 0; i < m_accounts.size(); ++i) {
        Account& a = *m_accounts[i];
        if (a.state != Account::REGISTERED || !a.has_subscriptions) continue;
        for (auto& item : a.subscriptions)
            if (is_due(*item, now)) SendSubScribe1(*item, now, static_cast<int>(i));
    }
    // Every MESSAGE is reported once: those left unanswered are given up here.
    for (size_t i = m_messages.size(); i-- > 0;)
        if (now - m_messages[i]->send_time > kMessageTimeoutSeconds) ReportMessage(i, 408, "Request Timeout");
}

SIPMessagePtr CKZSIPServer::BuildSubscribe(Account& a, const Item& item, bool* complete) {
    SIPMessagePtr message = AllocSIPMessage();
    if (!message) {
        Log(LOG_ERROR, "Cannot allocate subscribe_msg_msg for user_info!");
        return message;
    }
    sip_msg* m = message.get();
    char contact[kz_sip_user_reg_profile::kTextSize];
    bool ok = AddAccountRequestElements(m, a, RegisterLocalAddress(a, false), "SUBSCRIBE", false, contact,
                                        sizeof(contact));
    auto set = [&](uint32_t id, const std::string& value) {
        ok = CKZSIPGroup::MSG_SetIE_STR(m, id, 0, value.c_str()) == 0 && ok;
    };
    const std::string from = sip_element(m, KZ_IE_SIP_FROM);
    set(KZ_IE_SIP_TO, subscribe_to(item.address, from));
    set(KZ_IE_SIP_REQUEST_LINE_URI, subscribe_uri(item.address, a.proxy));
    set(KZ_IE_SIP_EXPIRES, std::to_string(item.lifetime));
    const bool dialog = item.event_kind == Item::EVENT_DIALOG;
    set(KZ_IE_SIP_EVENT, dialog ? "dialog" : "presence");
    set(KZ_IE_SIP_ACCEPT, dialog ? "application/dialog-info+xml" : "application/pidf+xml");
    *complete = ok;
    return message;
}

int CKZSIPServer::HandSubscribeToStack(int64_t now, Account& a, Item& item, SIPMessagePtr message,
                                       bool complete, int sent_state) {
    uint32_t connection = 0;
    bool sent = false;
    if (complete && m_pSIPGroup->GetConnectionId(&connection) == 0) {
        const HostPort proxy = parse_host_port(a.proxy);
        sent = CKZSIPGroup::SendMessage(m_pSIPGroup->GetSIPHandle(), message.get(),
                                        proxy.host.empty() ? nullptr : proxy.host.c_str(),
                                        proxy.host.empty() ? 0 : proxy.port, connection) == 0;
    }
    item.pending_connection = sent ? connection : 0;
    item.state = sent ? sent_state : Item::UNSUBSCRIBED;
    item.state_time = now;
    item.saved_subscribe = std::move(message);
    return sent ? 1 : 0;
}

int CKZSIPServer::SendSubScribe1(Item& item, int64_t now, int index) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a || !m_pSIPGroup) return 0;
    bool complete = false;
    SIPMessagePtr message = BuildSubscribe(*a, item, &complete);
    if (!message) return 0;
    complete = CKZSIPGroup::MSG_SetIE_STR(message.get(), KZ_IE_SIP_CSEQ_NUMBER, 0,
                                          std::to_string(++a->cseq).c_str()) == 0 &&
               complete;
    // A refresh keeps the subscription's Call-ID. A retry starts over: the unanswered attempt
    // may still be in the stack under the old one.
    if (item.saved_subscribe && item.state == Item::SUBSCRIBED)
        CKZSIPGroup::CopyIE_STR(item.saved_subscribe.get(), message.get(), KZ_IE_SIP_CALLID, 0, 0);
    return HandSubscribeToStack(now, *a, item, std::move(message), complete, Item::SUBSCRIBE_SENT);
}

int CKZSIPServer::SendSubScribe2(Item& item, int64_t now, int index, sip_msg* challenge) {
    KZAPI::CMutexLock lock(GetServerMutex());
    Account* a = GetUserRegProfile(index);
    if (!a || !m_pSIPGroup || !challenge) return 0;
    bool complete = false;
    SIPMessagePtr message = BuildSubscribe(*a, item, &complete);
    if (!message) return 0;
    sip_msg* m = message.get();
    CKZSIPGroup::CopyIE_STR(challenge, m, KZ_IE_SIP_FROM_TAG, 0, 0);
    CKZSIPGroup::CopyIE_STR(challenge, m, KZ_IE_SIP_CALLID, 0, 0);
    a->cseq = std::atoi(sip_element(challenge, KZ_IE_SIP_CSEQ_NUMBER).c_str()) + 1;
    complete =
        CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_CSEQ_NUMBER, 0, std::to_string(a->cseq).c_str()) == 0 &&
        complete;
    std::string qop;
    if (AddRegisterCredentials(m, challenge, *a, &qop) == CredentialsOutcome::UnsupportedQop) {
        Log(LOG_ERROR, "QOP(%s) is not supported!", qop.c_str());
        return 0;
    }
    return HandSubscribeToStack(now, *a, item, std::move(message), complete, Item::CREDENTIALS_SENT);
}

// A response to a SUBSCRIBE in flight: a 2xx subscribes for the granted lifetime, a first
// challenge is answered, a second one or a failure gives the subscription up until the next try.
uint32_t CKZSIPServer::OnSubscriptionAnswer(uint32_t connection, sip_msg* response, bool challenged,
                                            bool failed) {
    if (!connection) return kNotHandled;
    for (size_t i = 0; i < m_accounts.size(); ++i) {
        for (auto& entry : m_accounts[i]->subscriptions) {
            Item& item = *entry;
            if (item.pending_connection != connection) continue;
            if (item.state != Item::SUBSCRIBE_SENT && item.state != Item::CREDENTIALS_SENT)
                return kNotHandled;
            const int index = static_cast<int>(i);
            const int64_t now = m_clock->NowSeconds();
            if (challenged && item.state == Item::SUBSCRIBE_SENT) {
                SendSubScribe2(item, now, index, response);
                return 0;
            }
            item.pending_connection = 0;
            item.state_time = now;
            if (challenged || failed) {
                item.state = Item::UNSUBSCRIBED;
                host_env().Send_SubscribeStatus(index, 0, challenged ? item.lifetime : 0);
                return 0;
            }
            const std::string expires = sip_element(response, KZ_IE_SIP_EXPIRES);
            item.granted_lifetime = expires.empty() ? item.lifetime : std::atoi(expires.c_str());
            Log(LOG_TRACE, "Subscribed! %d seconds.", static_cast<int>(item.granted_lifetime));
            item.state = item.granted_lifetime > 0 ? Item::SUBSCRIBED : Item::UNSUBSCRIBED;
            host_env().Send_SubscribeStatus(index, item.granted_lifetime > 0 ? 1 : 0,
                                            static_cast<int>(item.granted_lifetime));
            return 0;
        }
    }
    return kNotHandled;
}
