#include "server/RegisterCredentials.h"

#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPElement.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"

#include <ctime>

namespace {

// The element ids of one challenge and its credentials.
struct AuthElements {
    uint32_t req_type, req_realm, req_nonce, req_algorithm, req_opaque, req_qop;
    uint32_t type, username, realm, nonce, uri, algorithm, opaque, password, response, cnonce, nc, qop;
};

constexpr AuthElements kWWW{
    KZ_IE_SIP_WWW_AUTH_REQ_TYPE,      KZ_IE_SIP_WWW_AUTH_REQ_REALM,     KZ_IE_SIP_WWW_AUTH_REQ_NONCE,
    KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM, KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE,    KZ_IE_SIP_WWW_AUTH_REQ_QOP,
    KZ_IE_SIP_WWW_AUTH_RESP_TYPE,     KZ_IE_SIP_WWW_AUTH_RESP_USERNAME, KZ_IE_SIP_WWW_AUTH_RESP_REALM,
    KZ_IE_SIP_WWW_AUTH_RESP_NONCE,    KZ_IE_SIP_WWW_AUTH_RESP_URI,      KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM,
    KZ_IE_SIP_WWW_AUTH_RESP_OPAQUE,   KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD, KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE,
    KZ_IE_SIP_WWW_AUTH_RESP_CNONCE,   KZ_IE_SIP_WWW_AUTH_RESP_NC,       KZ_IE_SIP_WWW_AUTH_RESP_QOP};
constexpr AuthElements kProxy{KZ_IE_SIP_PROXY_AUTH_REQ_TYPE,      KZ_IE_SIP_PROXY_AUTH_REQ_REALM,
                              KZ_IE_SIP_PROXY_AUTH_REQ_NONCE,     KZ_IE_SIP_PROXY_AUTH_REQ_ALGORITHM,
                              KZ_IE_SIP_PROXY_AUTH_REQ_OPAQUE,    KZ_IE_SIP_PROXY_AUTH_REQ_QOP,
                              KZ_IE_SIP_PROXY_AUTH_RESP_TYPE,     KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME,
                              KZ_IE_SIP_PROXY_AUTH_RESP_REALM,    KZ_IE_SIP_PROXY_AUTH_RESP_NONCE,
                              KZ_IE_SIP_PROXY_AUTH_RESP_URI,      KZ_IE_SIP_PROXY_AUTH_RESP_ALGORITHM,
                              KZ_IE_SIP_PROXY_AUTH_RESP_OPAQUE,   KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD,
                              KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE, KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE,
                              KZ_IE_SIP_PROXY_AUTH_RESP_NC,       KZ_IE_SIP_PROXY_AUTH_RESP_QOP};

void set(sip_msg* message, uint32_t id, const std::string& value) {
    if (!value.empty()) CKZSIPGroup::MSG_SetIE_STR(message, id, 0, value.c_str());
}

} // namespace

CredentialsOutcome AddRegisterCredentials(sip_msg* request, sip_msg* challenge,
                                          const kz_sip_user_reg_profile& account, std::string* qop,
                                          const char* digest_uri) {
    const bool www = !sip_element(challenge, KZ_IE_SIP_WWW_AUTH_REQ_TYPE).empty();
    const AuthElements& ids = www ? kWWW : kProxy;
    const std::string type = sip_element(challenge, ids.req_type);
    if (!KZAPI::iequals(type, "Digest")) return CredentialsOutcome::NotDigest;
    *qop = sip_element(challenge, ids.req_qop);
    // "auth" anywhere in the offer is answered with auth; integrity protection is not offered.
    if (!qop->empty() && qop->find("auth") == std::string::npos) return CredentialsOutcome::UnsupportedQop;

    set(request, ids.type, type);
    set(request, ids.username, account.authorization_user);
    set(request, ids.realm, sip_element(challenge, ids.req_realm));
    set(request, ids.nonce, sip_element(challenge, ids.req_nonce));
    set(request, ids.algorithm, sip_element(challenge, ids.req_algorithm));
    set(request, ids.opaque, sip_element(challenge, ids.req_opaque));
    set(request, ids.uri, digest_uri ? std::string(digest_uri) : std::string("sip:") + account.domain);
    set(request, ids.password, account.password);
    set(request, ids.qop, qop->empty() ? "" : "auth");
    // Client nonce, nonce count ("00000001": every challenge brings a nonce of its own) and
    // response.
    kz_sip_complete_credentials(request);
    return CredentialsOutcome::Added;
}
