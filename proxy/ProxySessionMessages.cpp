#include "proxy/ProxySessionMessages.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPAddressParts.h"
#include "server/SIPElement.h"
#include "sipmsg/kz_sip_defs.h"

#include <cstdlib>

namespace proxy_msg {

namespace {

constexpr uint32_t kViaElements[] = {KZ_IE_SIP_VIA_PROTOCOL, KZ_IE_SIP_VIA_ADDRESS,    KZ_IE_SIP_VIA_BRANCH,
                                     KZ_IE_SIP_VIA_PARAM,    KZ_IE_SIP_VIA_RECEIVED,   KZ_IE_SIP_VIA_MADDR,
                                     KZ_IE_SIP_VIA_CID,      KZ_IE_SIP_VIA_X_ROUTE_TAG};
constexpr unsigned kMaxValues = 20;
constexpr int kDefaultMaxForwards = 70;

// A request of the proxy's own in the dialog of a response: From and To (with tags) as they
// stand, the URI it goes to, and this server's Via.
SIPMessagePtr own_request(CKZSIPGroup* group, sip_msg* response, const char* method, const std::string& uri) {
    SIPMessagePtr request = AllocSIPMessage();
    if (!request) return request;
    sip_msg* m = request.get();
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_REQUEST_LINE_METHOD, 0, method);
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_REQUEST_LINE_URI, 0, uri.c_str());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, "SIP/2.0");
    for (uint32_t element : {KZ_IE_SIP_FROM, KZ_IE_SIP_FROM_TAG, KZ_IE_SIP_TO, KZ_IE_SIP_TO_TAG})
        CKZSIPGroup::CopyIE_STR(response, m, element, 0, 0);
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_MAX_FORWARDS, 0, "70");
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_USER_AGENT, 0, group->GetSIPUserAgent());
    AddOwnVia(m, group);
    return request;
}

bool send_own(CKZSIPGroup* group, uint32_t connection, sip_msg* response, const char* method,
              const std::string& uri, const std::string& address, uint16_t port) {
    if (!group || !response) return false;
    const SIPMessagePtr request = own_request(group, response, method, uri);
    if (!request) return false;
    return CKZSIPGroup::SendMessage(group->GetSIPHandle(), request.get(),
                                    address.empty() ? nullptr : address.c_str(), port, connection) == 0;
}

} // namespace

SIPMessagePtr Copy(sip_msg* message) {
    SIPMessagePtr copy = AllocSIPMessage();
    if (copy && message) CKZSIPGroup::MSG_Copy(message, copy.get());
    return copy;
}

void RemoveTopVia(sip_msg* message) {
    // Each Via is one index across the Via elements; a parameter a Via lacks is an empty value,
    // so every index moves up by one whether it holds a value or not.
    char value[CKZSIPGroup::kIEBufferSize];
    for (uint32_t element : kViaElements)
        for (unsigned i = 1; i < kMaxValues; ++i) {
            if (CKZSIPGroup::MSG_GetIE_STR(message, element, i, value) == 0)
                CKZSIPGroup::MSG_SetIE_STR(message, element, i - 1, value);
            else
                CKZSIPGroup::MSG_ReplaceIE_STR(message, element, i - 1, "");
        }
}

void RemoveAll(sip_msg* message, uint32_t element) {
    // Removing index 0 drops the whole element.
    CKZSIPGroup::MSG_RemoveIE_STR(message, element, 0);
}

int MaxForwards(sip_msg* request, const char* missing_warning) {
    const std::string value = sip_element(request, KZ_IE_SIP_MAX_FORWARDS);
    if (value.empty()) {
        KZAPI::CKZLogInterface::Log(KZAPI::CKZLogInterface::LOG_WARNING, "%s", missing_warning);
        return kDefaultMaxForwards;
    }
    return std::atoi(value.c_str());
}

std::string LocalAddress(const CKZSIPGroup* group) {
    const KZAPI::CString configured = KZAPI::CKZCfgInterface::CFG_GetValue("kzsrv.sip.ip.address", "");
    if (!configured.IsEmpty()) return configured.c_str();
    return group ? group->GetRealPublicSIPIP() : "";
}

uint16_t LocalPort(const CKZSIPGroup* group) {
    const int configured = KZAPI::CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.ip.port", 0);
    if (configured > 0 && configured <= 0xFFFF) return static_cast<uint16_t>(configured);
    return group ? group->GetRealPublicSIPPort() : CKZSIPGroup::kDefaultSIPPort;
}

void AddOwnVia(sip_msg* message, const CKZSIPGroup* group) {
    char via[CKZSIPGroup::kAddressTextSize + 8];
    KZAPI::s_printf(via, sizeof(via), "%s:%d", LocalAddress(group).c_str(),
                    static_cast<int>(LocalPort(group)));
    CKZSIPGroup::MSG_AddLatestViaAddr(message, via);
}

std::string BareURI(const std::string& address) {
    const size_t open = address.find('<');
    if (open == std::string::npos) return address;
    const size_t close = address.find('>', open);
    return address.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}

bool URIHostPort(const std::string& uri, std::string* host, uint16_t* port) {
    const SIPAddressParts parts(uri.c_str());
    if (!parts.ok || parts.host.empty()) return false;
    *host = parts.host;
    *port = parts.PortOrDefault();
    return true;
}

void AddCredentials(sip_msg* request, sip_msg* challenge, bool www, const std::string& user,
                    const std::string& password) {
    struct Pair {
        uint32_t asked, answered;
    };
    const Pair www_pairs[] = {{KZ_IE_SIP_WWW_AUTH_REQ_TYPE, KZ_IE_SIP_WWW_AUTH_RESP_TYPE},
                              {KZ_IE_SIP_WWW_AUTH_REQ_REALM, KZ_IE_SIP_WWW_AUTH_RESP_REALM},
                              {KZ_IE_SIP_WWW_AUTH_REQ_NONCE, KZ_IE_SIP_WWW_AUTH_RESP_NONCE},
                              {KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM, KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM},
                              {KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE, KZ_IE_SIP_WWW_AUTH_RESP_OPAQUE}};
    const Pair proxy_pairs[] = {{KZ_IE_SIP_PROXY_AUTH_REQ_TYPE, KZ_IE_SIP_PROXY_AUTH_RESP_TYPE},
                                {KZ_IE_SIP_PROXY_AUTH_REQ_REALM, KZ_IE_SIP_PROXY_AUTH_RESP_REALM},
                                {KZ_IE_SIP_PROXY_AUTH_REQ_NONCE, KZ_IE_SIP_PROXY_AUTH_RESP_NONCE},
                                {KZ_IE_SIP_PROXY_AUTH_REQ_ALGORITHM, KZ_IE_SIP_PROXY_AUTH_RESP_ALGORITHM},
                                {KZ_IE_SIP_PROXY_AUTH_REQ_OPAQUE, KZ_IE_SIP_PROXY_AUTH_RESP_OPAQUE}};
    for (const Pair& p : www ? www_pairs : proxy_pairs)
        CKZSIPGroup::CopyIE_2_IE_STR(challenge, request, p.asked, p.answered, 0, 0);
    const std::string qop =
        sip_element(challenge, www ? KZ_IE_SIP_WWW_AUTH_REQ_QOP : KZ_IE_SIP_PROXY_AUTH_REQ_QOP);
    if (qop.find("auth") != std::string::npos)
        CKZSIPGroup::MSG_SetIE_STR(request, www ? KZ_IE_SIP_WWW_AUTH_RESP_QOP : KZ_IE_SIP_PROXY_AUTH_RESP_QOP,
                                   0, "auth");
    CKZSIPGroup::MSG_SetIE_STR(request,
                               www ? KZ_IE_SIP_WWW_AUTH_RESP_USERNAME : KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME, 0,
                               user.c_str());
    CKZSIPGroup::MSG_SetIE_STR(request,
                               www ? KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD : KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD, 0,
                               password.c_str());
    CKZSIPGroup::MSG_SetIE_STR(request, www ? KZ_IE_SIP_WWW_AUTH_RESP_URI : KZ_IE_SIP_PROXY_AUTH_RESP_URI, 0,
                               sip_element(request, KZ_IE_SIP_REQUEST_LINE_URI).c_str());
}

bool SendAck(CKZSIPGroup* group, uint32_t connection, sip_msg* response, const std::string& uri,
             const std::string& address, uint16_t port) {
    return send_own(group, connection, response, "ACK", uri, address, port);
}

bool SendBye(CKZSIPGroup* group, uint32_t connection, sip_msg* response, const std::string& uri,
             const std::string& address, uint16_t port) {
    return send_own(group, connection, response, "BYE", uri, address, port);
}

} // namespace proxy_msg
