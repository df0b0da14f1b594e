#include "proxy/ProxyCredentials.h"

#include "host/KZDigest.h"
#include "proxy/ProxyUser.h"
#include "server/SIPElement.h"
#include "sipmsg/kz_sip_defs.h"

#include <string_view>

namespace {

struct CredentialElements {
    uint32_t type, username, realm, nonce, uri, algorithm, opaque, response, cnonce, nc, qop;
};
constexpr CredentialElements kAuthorization{
    KZ_IE_SIP_WWW_AUTH_RESP_TYPE,   KZ_IE_SIP_WWW_AUTH_RESP_USERNAME, KZ_IE_SIP_WWW_AUTH_RESP_REALM,
    KZ_IE_SIP_WWW_AUTH_RESP_NONCE,  KZ_IE_SIP_WWW_AUTH_RESP_URI,      KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM,
    KZ_IE_SIP_WWW_AUTH_RESP_OPAQUE, KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE, KZ_IE_SIP_WWW_AUTH_RESP_CNONCE,
    KZ_IE_SIP_WWW_AUTH_RESP_NC,     KZ_IE_SIP_WWW_AUTH_RESP_QOP};
constexpr CredentialElements kProxyAuthorization{
    KZ_IE_SIP_PROXY_AUTH_RESP_TYPE,   KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME, KZ_IE_SIP_PROXY_AUTH_RESP_REALM,
    KZ_IE_SIP_PROXY_AUTH_RESP_NONCE,  KZ_IE_SIP_PROXY_AUTH_RESP_URI,      KZ_IE_SIP_PROXY_AUTH_RESP_ALGORITHM,
    KZ_IE_SIP_PROXY_AUTH_RESP_OPAQUE, KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE, KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE,
    KZ_IE_SIP_PROXY_AUTH_RESP_NC,     KZ_IE_SIP_PROXY_AUTH_RESP_QOP};

bool present(sip_msg* request, const CredentialElements& e) {
    return !sip_element(request, e.type).empty() || !sip_element(request, e.username).empty() ||
           !sip_element(request, e.response).empty();
}

ProxyCredentials read_from(sip_msg* request, const CredentialElements& e) {
    ProxyCredentials c;
    c.type = sip_element(request, e.type);
    c.username = sip_element(request, e.username);
    c.realm = sip_element(request, e.realm);
    c.nonce = sip_element(request, e.nonce);
    c.uri = sip_element(request, e.uri);
    c.algorithm = sip_element(request, e.algorithm);
    c.opaque = sip_element(request, e.opaque);
    c.response = sip_element(request, e.response);
    c.cnonce = sip_element(request, e.cnonce);
    c.nc = sip_element(request, e.nc);
    c.qop = sip_element(request, e.qop);
    return c;
}

} // namespace

std::optional<ProxyCredentials> ProxyCredentials::Read(sip_msg* request) {
    if (!request) return std::nullopt;
    if (present(request, kAuthorization)) return read_from(request, kAuthorization);
    if (!present(request, kProxyAuthorization)) return std::nullopt;
    ProxyCredentials c = read_from(request, kProxyAuthorization);
    c.from_proxy_header = true;
    return c;
}

bool ProxyCredentials::IsComplete() const {
    return !username.empty() && !realm.empty() && !nonce.empty() && !uri.empty() && !response.empty();
}

bool ProxyCredentials::FollowsChallenge(bool site_qop, bool site_opaque) const {
    const bool auth_with_cnonce = qop == "auth" && !cnonce.empty();
    const bool qop_ok = site_qop ? auth_with_cnonce : (qop.empty() ? cnonce.empty() : auth_with_cnonce);
    const bool opaque_ok = site_opaque ? !opaque.empty() : opaque.empty();
    return qop_ok && opaque_ok;
}

std::string ProxyCredentials::ExpectedResponse(const char* password, const char* method) const {
    const std::string_view whole = password ? password : "";
    const std::string cut(whole.substr(0, ProxyUser::kDigestPasswordLength));
    KZAPI::HASHHEX ha1 = "", expected = "", no_entity = "";
    KZAPI::KZ_DigestCalcHA1(algorithm.c_str(), username.c_str(), realm.c_str(), cut.c_str(), nonce.c_str(),
                            cnonce.c_str(), ha1);
    KZAPI::KZ_DigestCalcResponse(ha1, nonce.c_str(), nc.c_str(), cnonce.c_str(), qop.c_str(), method,
                                 uri.c_str(), no_entity, expected);
    return expected;
}
