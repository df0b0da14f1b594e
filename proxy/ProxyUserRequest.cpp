#include "proxy/ProxyUserRequest.h"

#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPAddressParts.h"
#include "sipmsg/kz_sip_defs.h"

namespace proxy_request {

std::string contact_uri(const char* contact) {
    const std::string text = contact ? contact : "";
    const size_t open = text.find('<');
    if (open != std::string::npos) {
        const size_t close = text.find('>', open);
        return text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    }
    return text.substr(0, text.find(';'));
}

Destination destination_of(const ProxyUser& user) {
    if (user.mapped_contact[0]) return {user.source_address, user.source_port};
    const SIPAddressParts parts(user.contact);
    return {parts.host, parts.PortOrDefault()};
}

std::string new_call_id(const CKZSIPGroup& group) {
    char text[128];
    KZAPI::s_printf(text, sizeof(text), "%08x%08x@%s", KZAPI::get_rand_u32(), KZAPI::get_rand_u32(),
                    group.GetRealPublicSIPIP());
    return text;
}

void set_request_basics(sip_msg* m, const CKZSIPGroup& group, const char* method, const std::string& uri,
                        int transport, const std::string& call_id) {
    auto set = [m](uint32_t id, const char* value) { CKZSIPGroup::MSG_SetIE_STR(m, id, 0, value); };
    set(KZ_IE_SIP_REQUEST_LINE_METHOD, method);
    set(KZ_IE_SIP_REQUEST_LINE_URI, uri.c_str());
    set(KZ_IE_SIP_REQUEST_LINE_PROTVERSION, "SIP/2.0");
    char via[CKZSIPGroup::kAddressTextSize + 16];
    KZAPI::s_printf(via, sizeof(via), "%s:%d", group.GetRealPublicSIPIP(), group.GetRealPublicSIPPort());
    set(KZ_IE_SIP_VIA_ADDRESS, via);
    set(KZ_IE_SIP_VIA_PARAM, "rport");
    set(KZ_IE_SIP_VIA_PROTOCOL, transport ? "SIP/2.0/TCP" : "SIP/2.0/UDP");
    if (transport) {
        char code[16];
        KZAPI::s_printf(code, sizeof(code), "%d", transport);
        set(KZ_IE_SIP_PROTOCOL, code);
    }
    set(KZ_IE_SIP_USER_AGENT, group.GetSIPUserAgent());
    set(KZ_IE_SIP_MAX_FORWARDS, "70");
    set(KZ_IE_SIP_CSEQ_METHOD, method);
    set(KZ_IE_SIP_CALLID, call_id.c_str());
}

void set_message_summary(sip_msg* m, const ProxyUser& user) {
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_EVENT, 0, "message-summary");
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING, 0, user.msg_waiting ? "yes" : "no");
    if (!user.msg_waiting) return;
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIMPLE_MSG_SUM_MSG_ACCOUNT, 0, user.msg_account);
    char voice[64];
    KZAPI::s_printf(voice, sizeof(voice), "%d/%d (%d/%d)", user.msg_new, user.msg_old, user.msg_urgent_new,
                    user.msg_urgent_old);
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIMPLE_MSG_SUM_VOICE_MSG, 0, voice);
}

uint32_t send_on_new_connection(CKZSIPGroup* group, sip_msg* m, const Destination* to) {
    uint32_t connection = 0;
    if (group->GetConnectionId(&connection) != 0 || connection == 0) return 0;
    const bool sent = CKZSIPGroup::SendMessage(group->GetSIPHandle(), m, to ? to->address.c_str() : nullptr,
                                               to ? to->port : 0, connection) == 0;
    return sent ? connection : 0;
}

} // namespace proxy_request
