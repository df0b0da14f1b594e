// Text messages (SIP MESSAGE) sent for the application, tracked until they are answered,
// challenged, fail or time out, each outcome reported once; and the timestamp text of the host's
// data store.
#include "host/CKZAPIEnv.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/RegisterCredentials.h"
#include "server/SIPAddressParts.h"
#include "server/SIPElement.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

using Account = kz_sip_user_reg_profile;
using Item = kz_sip_message_text_item;

namespace {

constexpr int kCSeqStartRange = 10000;

KZAPI::CKZAPIEnv& host_env() {
    return *KZAPI::CKZAPIEnv::GetKZAPIEnv();
}

bool set_all(sip_msg* m, std::initializer_list<std::pair<uint32_t, std::string>> elements) {
    bool ok = true;
    for (const auto& [id, value] : elements)
        ok = CKZSIPGroup::MSG_SetIE_STR(m, id, 0, value.c_str()) == 0 && ok;
    return ok;
}

void set_transport(sip_msg* m, const Account* account) {
    const bool stream = account && account->transport != 0;
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_VIA_PROTOCOL, 0, stream ? "SIP/2.0/TCP" : "SIP/2.0/UDP");
    if (stream)
        CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_PROTOCOL, 0, std::to_string(account->transport).c_str());
}

} // namespace

unsigned CKZSIPServer::SendMessageText(int id, const char* from, const char* to, const char* text) {
    return SendMessageText1(id, from, to, text);
}

unsigned CKZSIPServer::SendMessageText1(int id, const char* from, const char* to, const char* text) {
    KZAPI::CMutexLock lock(GetServerMutex());
    if (!m_pSIPGroup || !from || !to) return 0;
    const SIPAddressParts target(to);
    if (target.user.empty() || target.host.empty()) return 0;
    auto item = std::make_unique<Item>();
    item->id = id;
    item->cseq = static_cast<int>(KZAPI::get_rand_u32() % kCSeqStartRange);
    SIPMessagePtr message = AllocSIPMessage();
    if (!message) return 0;
    sip_msg* m = message.get();

    // The Via names this host as the registrar sees it: the configured address, else the public one.
    const KZAPI::CString configured = CFG_GetValue("kzsrv.sip.ip.address", "");
    const std::string address(KZAPI::trim_spaces(configured.c_str()));
    const std::string via =
        address.empty()
            ? std::string(m_pSIPGroup->GetRealPublicSIPIP()) + ":" +
                  std::to_string(m_pSIPGroup->GetRealPublicSIPPort())
            : address + ":" +
                  std::to_string(CFG_GetIntValue("kzsrv.sip.ip.port", CKZSIPGroup::kDefaultSIPPort));
    const std::string uri =
        "sip:" + target.user + "@" + target.host + (target.port.empty() ? "" : ":" + target.port);

    // The account whose credentials answer a challenge: the addressee's, else the sender's.
    item->account_index =
        SIPAccount_Index(GetUserRegProfile(target.host.c_str(), target.user.c_str(), LOOKUP_ANY));
    const SIPAddressParts sender(from);
    if (item->account_index < 0 && !sender.host.empty() && !sender.port.empty())
        item->account_index =
            SIPAccount_Index(GetUserRegProfile(sender.host.c_str(), sender.user.c_str(), LOOKUP_ANY));
    const Account* account = GetUserRegProfile(item->account_index);

    bool ok = set_all(m, {{KZ_IE_SIP_FROM, from},
                          {KZ_IE_SIP_TO, to},
                          {KZ_IE_SIP_REQUEST_LINE_URI, uri},
                          {KZ_IE_SIP_REQUEST_LINE_METHOD, "MESSAGE"},
                          {KZ_IE_SIP_REQUEST_LINE_PROTVERSION, "SIP/2.0"},
                          {KZ_IE_SIP_USER_AGENT, m_pSIPGroup->GetSIPUserAgent()},
                          {KZ_IE_SIP_MAX_FORWARDS, "70"},
                          {KZ_IE_SIP_VIA_ADDRESS, via},
                          {KZ_IE_SIP_CSEQ_NUMBER, std::to_string(++item->cseq)},
                          {KZ_IE_SIP_CSEQ_METHOD, "MESSAGE"},
                          {KZ_IE_SIP_MESSAGE_CONTENT, text ? text : ""}});
    set_transport(m, account);

    uint32_t connection = 0;
    if (!ok || m_pSIPGroup->GetConnectionId(&connection) != 0 ||
        CKZSIPGroup::SendMessage(m_pSIPGroup->GetSIPHandle(), m, nullptr, 0, connection) != 0)
        return 0;
    item->connection = connection;
    item->send_time = m_clock->NowSeconds();
    item->state = Item::SENT;
    item->saved_request = std::move(message);
    m_messages.push_back(std::move(item));
    return 1;
}

int CKZSIPServer::SendMessageText2(Item& item, sip_msg* challenge) {
    KZAPI::CMutexLock lock(GetServerMutex());
    const Account* account = GetUserRegProfile(item.account_index);
    if (!item.saved_request || !account || !challenge || !m_pSIPGroup) return -1;
    const std::string uri = sip_element(item.saved_request.get(), KZ_IE_SIP_REQUEST_LINE_URI);
    if (uri.empty()) return -1;
    SIPMessagePtr message = AllocSIPMessage();
    if (!message || CKZSIPGroup::MSG_Copy(item.saved_request.get(), message.get()) != 0) return -1;
    sip_msg* m = message.get();
    const std::string number = sip_element(challenge, KZ_IE_SIP_CSEQ_NUMBER);
    item.cseq = number.empty() ? item.cseq + 1 : std::atoi(number.c_str()) + 1;
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_CSEQ_NUMBER, 0, std::to_string(item.cseq).c_str());
    std::string qop;
    if (AddRegisterCredentials(m, challenge, *account, &qop, uri.c_str()) ==
        CredentialsOutcome::UnsupportedQop) {
        Log(LOG_ERROR, "QOP(%s) is not supported!", qop.c_str());
        return -1;
    }
    set_transport(m, account);
    uint32_t connection = 0;
    if (m_pSIPGroup->GetConnectionId(&connection) != 0 ||
        CKZSIPGroup::SendMessage(m_pSIPGroup->GetSIPHandle(), m, nullptr, 0, connection) != 0)
        return -1;
    item.connection = connection;
    item.state = Item::CREDENTIALS_SENT;
    item.send_time = m_clock->NowSeconds();
    return 0;
}

int CKZSIPServer::GetMessageTextCount() const {
    KZAPI::CMutexLock lock(const_cast<CKZSIPServer*>(this)->GetServerMutex());
    return static_cast<int>(m_messages.size());
}

void CKZSIPServer::ReportMessage(size_t position, int code, const char* reason) {
    const int id = m_messages[position]->id;
    m_messages.erase(m_messages.begin() + static_cast<std::ptrdiff_t>(position));
    host_env().Send_MessageTextDelivered(id, code, reason);
}

// The answer to a MESSAGE in flight: its status is the outcome, except a first challenge, which
// is answered with the account's credentials.
uint32_t CKZSIPServer::OnMessageAnswer(uint32_t connection, sip_msg* response, const KZSIPEvent* event,
                                       bool challenged) {
    for (size_t i = 0; connection && i < m_messages.size(); ++i) {
        Item& item = *m_messages[i];
        if (item.connection != connection) continue;
        if (challenged && item.state == Item::SENT && item.account_index >= 0 &&
            SendMessageText2(item, response) == 0)
            return 0;
        const std::string code = sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE);
        const std::string reason = sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING);
        // A transaction that timed out is the 408 the ten-second sweep would have reported.
        if (event && code.empty() && event->event_type == KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE)
            ReportMessage(i, 408, "Request Timeout");
        else if (!code.empty() || !event || challenged)
            ReportMessage(i, code.empty() ? (challenged ? 401 : 200) : std::atoi(code.c_str()),
                          reason.empty() && code.empty() && !challenged ? "OK" : reason.c_str());
        else
            ReportMessage(i, static_cast<int>(event->event_type), kz_sip_event_name(event->event_type));
        return 0;
    }
    return kNotHandled;
}

// ---- timestamps ----

void CKZSIPServer::ConvertUnixTimeToMySQLTimeStamp(int64_t time, char* buffer, size_t size) {
    const time_t t = static_cast<time_t>(time);
    struct tm local {};
    localtime_r(&t, &local);
    // The data store keeps standard time all year.
    if (local.tm_isdst > 0) {
        const time_t standard = t - 3600;
        localtime_r(&standard, &local);
    }
    KZAPI::s_printf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                    local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

int64_t CKZSIPServer::ConvertMySQLTimeStampToUnixTime(const char* text) {
    struct tm local {};
    if (!text || std::sscanf(text, "%d-%d-%d %d:%d:%d", &local.tm_year, &local.tm_mon, &local.tm_mday,
                             &local.tm_hour, &local.tm_min, &local.tm_sec) != 6)
        return 0;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    local.tm_isdst = 1;
    return static_cast<int64_t>(mktime(&local));
}
