// CKZSIPGroup: the standard responses and in-dialog requests. Each builds a new message from the
// one it answers or follows, hands it to the stack (which adds Call-ID, CSeq, tags and Via
// branches from the dialog) and frees it.
#include "server/CKZSIPGroup.h"
#include "server/SIPMessagePtr.h"

#include "host/KZDigest.h"
#include "host/KZStrFunc.h"

#include <cstdlib>
#include <cstring>

namespace {

// The challenge of SIP_Send407: a fixed realm and a nonce derived from the same address.
constexpr char kChallengeAddress[] = "192.0.2.1";
constexpr char kChallengeRealm[] = "192.0.2.1:5070";
// User agents that want the answer to a REGISTER at the address of their Contact.
constexpr const char* kAnswerAtContactAgents[] = {"Cisco-CP", "OmiPCX Enterprise"};
constexpr char kExpiresParameter[] = ";expires=";

// Sets the number of the Contact's expires parameter, dropping whatever follows it, or appends
// the parameter when the Contact has none.
void set_contact_expires(char* contact, size_t size, int expires) {
    char* parameter = strstr(contact, kExpiresParameter);
    char* number = parameter ? parameter + strlen(kExpiresParameter) : contact + strlen(contact);
    const size_t room = size - static_cast<size_t>(number - contact);
    if (parameter)
        KZAPI::s_printf(number, room, "%d", expires);
    else
        KZAPI::s_printf(number, room, "%s%d", kExpiresParameter, expires);
}

bool answers_at_contact(sip_msg* request) {
    char agent[CKZSIPGroup::kIEBufferSize];
    if (CKZSIPGroup::MSG_GetIE_STR(request, KZ_IE_SIP_USER_AGENT, 0, agent) != 0) return false;
    for (const char* prefix : kAnswerAtContactAgents)
        if (strncmp(agent, prefix, strlen(prefix)) == 0) return true;
    return false;
}

void set_number(sip_msg* message, uint32_t element, int value) {
    char text[16];
    KZAPI::s_printf(text, sizeof(text), "%d", value);
    CKZSIPGroup::MSG_SetIE_STR(message, element, 0, text);
}

} // namespace

unsigned CKZSIPGroup::HandToStack(sip_msg* message, uint32_t connection, const char* address, uint16_t port) {
    return SendMessage(m_sip_handle, message, address, port, connection) == 0 ? 1 : 0;
}

// ---- responses ----

unsigned CKZSIPGroup::SIP_Send1xx(sip_msg* request, uint32_t connection, const char* code,
                                  const char* reason) {
    if (!code || !reason) return 0;
    return SendStatus(request, connection, code, reason);
}

unsigned CKZSIPGroup::SIP_Send4xx(sip_msg* request, uint32_t connection, const char* code,
                                  const char* reason) {
    return SendStatus(request, connection, code, reason);
}

// A status response with the common elements; final responses carry the Record-Route too.
unsigned CKZSIPGroup::SendStatus(sip_msg* request, uint32_t connection, const char* code,
                                 const char* reason) {
    const SIPMessagePtr response = AllocSIPMessage();
    if (!response) return 0;
    const bool status = MSG_AddIE_STR(response.get(), KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, code) == 0;
    const bool text = MSG_AddIE_STR(response.get(), KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, reason) == 0;
    MSG_SetIE_STR(response.get(), KZ_IE_SIP_USER_AGENT, 0, m_user_agent);
    CopyIE_STR(request, response.get(), KZ_IE_SIP_PROTOCOL, 0, 0);
    if (!status || !text || !SetCopyCommonSendIE(request, response.get(), nullptr)) return 0;
    if (kz_sip_make_response(code) >= 200) AddRouteInfo(request, response.get(), false);
    SetMessageAllowField(response.get());
    return HandToStack(response.get(), connection);
}

unsigned CKZSIPGroup::SIP_SendOK(sip_msg* request, uint32_t connection, bool with_allow, const char* to_tag,
                                 int expires) {
    const SIPMessagePtr response = AllocSIPMessage();
    if (!response) return 0;
    sip_msg* ok = response.get();
    MSG_AddIE_STR(ok, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, "200");
    MSG_AddIE_STR(ok, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "OK");
    char contact[kLongTextSize];
    KZAPI::s_printf(contact, sizeof(contact), "<sip:KZAPISIPUA@%s:%d>", m_real_public_sip_ip,
                    static_cast<int>(m_real_public_sip_port));
    MSG_AddIE_STR(ok, KZ_IE_SIP_CONTACT, 0, contact);
    MSG_SetIE_STR(ok, KZ_IE_SIP_USER_AGENT, 0, m_user_agent);
    CopyIE_STR(request, ok, KZ_IE_SIP_PROTOCOL, 0, 0);
    if (!SetCopyCommonSendIE(request, ok, this)) return 0;
    AddRouteInfo(request, ok, false);
    if (with_allow) SetMessageAllowField(ok);
    if (to_tag && *to_tag) MSG_SetIE_STR(ok, KZ_IE_SIP_TO_TAG, 0, to_tag);
    if (expires >= 0) set_number(ok, KZ_IE_SIP_EXPIRES, expires);
    return HandToStack(ok, connection);
}

unsigned CKZSIPGroup::SIP_SendRegOK(sip_msg* request, uint32_t connection, int expires, bool with_allow) {
    char contact[kIEBufferSize];
    if (MSG_GetIE_STR(request, KZ_IE_SIP_CONTACT, 0, contact) != 0) return 0;
    char contact_address[kIEBufferSize];
    KZAPI::str_cpy(contact_address, contact, sizeof(contact_address));
    set_contact_expires(contact, sizeof(contact), expires);

    const SIPMessagePtr response = AllocSIPMessage();
    if (!response) return 0;
    sip_msg* ok = response.get();
    MSG_AddIE_STR(ok, KZ_IE_SIP_CONTACT, 0, contact);
    MSG_AddIE_STR(ok, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, "200");
    MSG_AddIE_STR(ok, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "OK");
    set_number(ok, KZ_IE_SIP_EXPIRES, expires);
    if (!SetCopyCommonSendIE(request, ok, this)) return 0;
    AddRouteInfo(request, ok, false);
    if (with_allow) SetMessageAllowField(ok);
    MSG_SetIE_STR(ok, KZ_IE_SIP_USER_AGENT, 0, m_user_agent);
    CopyIE_STR(request, ok, KZ_IE_SIP_PROTOCOL, 0, 0);

    char *user = nullptr, *host = nullptr, *port = nullptr;
    if (answers_at_contact(request) && GetSIPAddressInfo(contact_address, &user, &host, &port) && host) {
        const int number = port ? atoi(port) : 0;
        return HandToStack(ok, connection, host,
                           number > 0 ? static_cast<uint16_t>(number) : kDefaultSIPPort);
    }
    return HandToStack(ok, connection);
}

unsigned CKZSIPGroup::SIP_Send407(sip_msg* request, uint32_t connection) {
    const SIPMessagePtr response = AllocSIPMessage();
    if (!response) return 0;
    sip_msg* challenge = response.get();
    MSG_AddIE_STR(challenge, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, "407");
    MSG_AddIE_STR(challenge, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, "Proxy Authentication Required");
    MSG_SetIE_STR(challenge, KZ_IE_SIP_USER_AGENT, 0, m_user_agent);
    if (!SetCopyCommonSendIE(request, challenge, this)) return 0;
    AddRouteInfo(request, challenge, false);
    SetMessageAllowField(challenge);
    CopyIE_STR(request, challenge, KZ_IE_SIP_PROTOCOL, 0, 0);

    char nonce[33];
    KZAPI::KZ_MD5_Hex(kChallengeAddress, strlen(kChallengeAddress), nonce);
    MSG_SetIE_STR(challenge, KZ_IE_SIP_WWW_AUTH_REQ_REALM, 0, kChallengeRealm);
    MSG_SetIE_STR(challenge, KZ_IE_SIP_WWW_AUTH_REQ_NONCE, 0, nonce);
    MSG_SetIE_STR(challenge, KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM, 0, "MD5");
    MSG_SetIE_STR(challenge, KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE, 0, "");
    MSG_SetIE_STR(challenge, KZ_IE_SIP_WWW_AUTH_REQ_TYPE, 0, "Digest");
    return HandToStack(challenge, connection);
}

// ---- requests ----

unsigned CKZSIPGroup::SIP_SendACK(sip_msg* response, uint32_t connection) {
    const SIPMessagePtr request = AllocSIPMessage();
    if (!request) return 0;
    sip_msg* ack = request.get();
    CopyIE_STR(response, ack, KZ_IE_SIP_FROM, 0, 0);
    CopyIE_STR(response, ack, KZ_IE_SIP_TO, 0, 0);
    CopyIE_STR(response, ack, KZ_IE_SIP_REQUEST_LINE_URI, 0, 0);
    MSG_SetIE_STR(ack, KZ_IE_SIP_REQUEST_LINE_METHOD, 0, "ACK");
    CopyIE_STR(response, ack, KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, 0);
    CopyIE_STR(response, ack, KZ_IE_SIP_USER_AGENT, 0, 0);
    CopyIE_STR(response, ack, KZ_IE_SIP_MAX_FORWARDS, 0, 0);
    MSG_SetIE_STR(ack, KZ_IE_SIP_USER_AGENT, 0, m_user_agent);
    MSG_Copy_Via(response, ack);
    CopyIE_STR(response, ack, KZ_IE_SIP_CONTACT, 0, 0);
    MSG_Copy_IE_Elements(response, ack, KZ_IE_SIP_ROUTE);
    CopyIE_STR(response, ack, KZ_IE_SIP_PROTOCOL, 0, 0);
    return HandToStack(ack, connection);
}

// From, To, their tags, Request-URI and Contact of a BYE. Swapped, the BYE goes to the party the
// message came from: its URI is the one inside the brackets of the message's From.
bool CKZSIPGroup::FillByeParties(sip_msg* source, sip_msg* bye, bool same_direction) {
    if (same_direction) {
        for (uint32_t element : {KZ_IE_SIP_FROM, KZ_IE_SIP_FROM_TAG, KZ_IE_SIP_TO, KZ_IE_SIP_TO_TAG,
                                 KZ_IE_SIP_REQUEST_LINE_URI, KZ_IE_SIP_CONTACT})
            CopyIE_STR(source, bye, element, 0, 0);
        return true;
    }
    char from[kIEBufferSize];
    if (MSG_GetIE_STR(source, KZ_IE_SIP_FROM, 0, from) != 0) return false;
    char* open = strchr(from, '<');
    char* close = open ? strchr(open, '>') : nullptr;
    if (!open || !close) return false;
    *close = '\0';
    MSG_SetIE_STR(bye, KZ_IE_SIP_REQUEST_LINE_URI, 0, open + 1);
    CopyIE_2_IE_STR(source, bye, KZ_IE_SIP_FROM, KZ_IE_SIP_TO, 0, 0);
    CopyIE_2_IE_STR(source, bye, KZ_IE_SIP_FROM_TAG, KZ_IE_SIP_TO_TAG, 0, 0);
    CopyIE_2_IE_STR(source, bye, KZ_IE_SIP_TO, KZ_IE_SIP_FROM, 0, 0);
    CopyIE_2_IE_STR(source, bye, KZ_IE_SIP_TO_TAG, KZ_IE_SIP_FROM_TAG, 0, 0);
    char contact[kLongTextSize];
    KZAPI::s_printf(contact, sizeof(contact), "<sip:proxy@%s:%d>", m_real_public_sip_ip,
                    static_cast<int>(m_real_public_sip_port));
    MSG_SetIE_STR(bye, KZ_IE_SIP_CONTACT, 0, contact);
    return true;
}

unsigned CKZSIPGroup::SIP_SendBye(sip_msg* dialog_message, bool same_direction, uint32_t connection,
                                  const char* address, uint16_t port) {
    const SIPMessagePtr request = AllocSIPMessage();
    if (!request) return 0;
    sip_msg* bye = request.get();
    if (!FillByeParties(dialog_message, bye, same_direction)) return 0;
    MSG_SetIE_STR(bye, KZ_IE_SIP_REQUEST_LINE_METHOD, 0, "BYE");
    CopyIE_STR(dialog_message, bye, KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, 0);
    CopyIE_STR(dialog_message, bye, KZ_IE_SIP_MAX_FORWARDS, 0, 0);
    MSG_SetIE_STR(bye, KZ_IE_SIP_USER_AGENT, 0, m_user_agent);
    char via[kAddressTextSize + 8];
    KZAPI::s_printf(via, sizeof(via), "%s:%d", m_real_public_sip_ip,
                    static_cast<int>(m_real_public_sip_port));
    MSG_AddLatestViaAddr(bye, via);
    CopyIE_STR(dialog_message, bye, KZ_IE_SIP_PROTOCOL, 0, 0);
    if (address && *address && port) return HandToStack(bye, connection, address, port);
    return HandToStack(bye, connection);
}

unsigned CKZSIPGroup::SIP_SendCancel(sip_msg* invite, uint32_t connection, uint32_t dialog) {
    const SIPMessagePtr request = AllocSIPMessage();
    if (!request) return 0;
    sip_msg* cancel = request.get();
    MSG_SetIE_STR(cancel, KZ_IE_SIP_REQUEST_LINE_METHOD, 0, "CANCEL");
    MSG_SetIE_STR(cancel, KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, "SIP/2.0");
    for (uint32_t element : {KZ_IE_SIP_REQUEST_LINE_URI, KZ_IE_SIP_FROM, KZ_IE_SIP_TO, KZ_IE_SIP_CONTACT})
        CopyIE_STR(invite, cancel, element, 0, 0);
    MSG_SetIE_STR(cancel, KZ_IE_SIP_USER_AGENT, 0, m_user_agent);
    MSG_Copy_Via(invite, cancel);
    CopyIE_STR(invite, cancel, KZ_IE_SIP_MAX_FORWARDS, 0, 0);
    return SendCancel(m_sip_handle, cancel, nullptr, 0, connection, dialog) == 0 ? 1 : 0;
}

uint32_t CKZSIPGroup::SIP_SendPRACK(sip_msg*, uint32_t) {
    return kFailure;
}
