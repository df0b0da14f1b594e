#include "server/RegisterCredentials.h"

#include "host/KZDigest.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/kz_sip_defs.h"

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

constexpr char kNonceCount[] = "00000001"; // every challenge brings a nonce of its own

std::string element(sip_msg* message, uint32_t id) {
    char value[CKZSIPGroup::kIEBufferSize];
    return CKZSIPGroup::MSG_GetIE_STR(message, id, 0, value) == 0 ? std::string(value) : std::string();
}

std::string new_cnonce() {
    char seed[48];
    KZAPI::s_printf(seed, sizeof(seed), "%u:%lld", KZAPI::get_rand_u32(),
                    static_cast<long long>(time(nullptr)));
    char hex[33];
    KZAPI::KZ_MD5_Hex(seed, std::char_traits<char>::length(seed), hex);
    return hex;
}

void set(sip_msg* message, uint32_t id, const std::string& value) {
    if (!value.empty()) CKZSIPGroup::MSG_SetIE_STR(message, id, 0, value.c_str());
}

// Client nonce, nonce count and response of the credentials; kept in one place so that the
// message layer can take the computation over.
void complete_digest(sip_msg* request, const AuthElements& ids, const DigestInput& base) {
    DigestInput in = base;
    if (!in.qop.empty()) {
        in.cnonce = new_cnonce();
        in.nonce_count = kNonceCount;
        set(request, ids.cnonce, in.cnonce);
        set(request, ids.nc, in.nonce_count);
    }
    set(request, ids.response, DigestResponse(in));
}

} // namespace

std::string DigestResponse(const DigestInput& in) {
    KZAPI::HASHHEX ha1;
    KZAPI::HASHHEX entity_hash = {};
    KZAPI::HASHHEX response;
    KZAPI::KZ_DigestCalcHA1(in.algorithm.empty() ? "MD5" : in.algorithm.c_str(), in.user.c_str(),
                            in.realm.c_str(), in.password.c_str(), in.nonce.c_str(), in.cnonce.c_str(), ha1);
    KZAPI::KZ_DigestCalcResponse(ha1, in.nonce.c_str(), in.nonce_count.c_str(), in.cnonce.c_str(),
                                 in.qop.c_str(), in.method.c_str(), in.uri.c_str(), entity_hash, response);
    return std::string(response, 32);
}

CredentialsOutcome AddRegisterCredentials(sip_msg* request, sip_msg* challenge,
                                          const kz_sip_user_reg_profile& account, std::string* qop) {
    const bool www = !element(challenge, KZ_IE_SIP_WWW_AUTH_REQ_TYPE).empty();
    const AuthElements& ids = www ? kWWW : kProxy;
    const std::string type = element(challenge, ids.req_type);
    if (!KZAPI::iequals(type, "Digest")) return CredentialsOutcome::NotDigest;
    *qop = element(challenge, ids.req_qop);
    // "auth" anywhere in the offer is answered with auth; integrity protection is not offered.
    if (!qop->empty() && qop->find("auth") == std::string::npos) return CredentialsOutcome::UnsupportedQop;

    DigestInput in;
    in.user = account.authorization_user;
    in.realm = element(challenge, ids.req_realm);
    in.password = account.password;
    in.algorithm = element(challenge, ids.req_algorithm);
    in.nonce = element(challenge, ids.req_nonce);
    in.qop = qop->empty() ? "" : "auth";
    in.method = "REGISTER";
    in.uri = std::string("sip:") + account.domain;

    set(request, ids.type, type);
    set(request, ids.username, in.user);
    set(request, ids.realm, in.realm);
    set(request, ids.nonce, in.nonce);
    set(request, ids.algorithm, in.algorithm);
    set(request, ids.opaque, element(challenge, ids.req_opaque));
    set(request, ids.uri, in.uri);
    set(request, ids.password, in.password);
    set(request, ids.qop, in.qop);
    complete_digest(request, ids, in);
    return CredentialsOutcome::Added;
}
