// Digest credentials (RFC 2617): the client nonce, nonce count and response of the Authorization
// and Proxy-Authorization headers of a request, filled in before the request is composed.
#include "host/KZDigest.h"
#include "host/KZStrFunc.h"
#include "sipmsg/sip_msg.h"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct CredentialIds {
    uint32_t type, username, realm, nonce, uri, algorithm, password, response, cnonce, nc, qop;
};

constexpr CredentialIds kAuthorization{
    KZ_IE_SIP_WWW_AUTH_RESP_TYPE,     KZ_IE_SIP_WWW_AUTH_RESP_USERNAME, KZ_IE_SIP_WWW_AUTH_RESP_REALM,
    KZ_IE_SIP_WWW_AUTH_RESP_NONCE,    KZ_IE_SIP_WWW_AUTH_RESP_URI,      KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM,
    KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD, KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE, KZ_IE_SIP_WWW_AUTH_RESP_CNONCE,
    KZ_IE_SIP_WWW_AUTH_RESP_NC,       KZ_IE_SIP_WWW_AUTH_RESP_QOP};
constexpr CredentialIds kProxyAuthorization{
    KZ_IE_SIP_PROXY_AUTH_RESP_TYPE,     KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME,
    KZ_IE_SIP_PROXY_AUTH_RESP_REALM,    KZ_IE_SIP_PROXY_AUTH_RESP_NONCE,
    KZ_IE_SIP_PROXY_AUTH_RESP_URI,      KZ_IE_SIP_PROXY_AUTH_RESP_ALGORITHM,
    KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD, KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE,
    KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE,   KZ_IE_SIP_PROXY_AUTH_RESP_NC,
    KZ_IE_SIP_PROXY_AUTH_RESP_QOP};

// A fresh client nonce: hex MD5 of "<random>:<now>".
void make_cnonce(char (&cnonce)[33]) {
    char text[48];
    auto end = std::to_chars(text, text + 20, static_cast<int32_t>(KZAPI::get_rand_u32())).ptr;
    *end++ = ':';
    end = std::to_chars(end, text + sizeof(text), static_cast<int32_t>(time(nullptr))).ptr;
    KZAPI::KZ_MD5_Hex(text, static_cast<size_t>(end - text), cnonce);
}

const char* digest_method(const sip_msg& msg) {
    if (msg.is_register()) return "REGISTER";
    if (msg.is_invite()) return "INVITE";
    return msg.get_ie_value(KZ_IE_SIP_REQUEST_LINE_METHOD).c_str();
}

// The header is only written with scheme, username, realm and nonce, so nothing is completed
// without them.
bool has_credentials(const sip_msg& msg, const CredentialIds& ids) {
    for (uint32_t id : {ids.type, ids.username, ids.realm, ids.nonce})
        if (!msg.find_ie(id, 0)) return false;
    return true;
}

void complete(sip_msg& msg, const CredentialIds& ids) {
    if (!has_credentials(msg, ids)) return;
    const KZAPI::CString& qop = msg.get_ie_value(ids.qop);
    if (!qop.IsEmpty()) {
        if (!msg.find_ie(ids.cnonce, 0)) {
            char cnonce[33];
            make_cnonce(cnonce);
            msg.set_ie(ids.cnonce, 0, std::string_view(cnonce, 32));
        }
        if (!msg.find_ie(ids.nc, 0)) msg.set_ie(ids.nc, 0, "00000001");
    }
    const KZAPI::CString& password = msg.get_ie_value(ids.password);
    if (password.IsEmpty()) return; // the response stands as the application set it

    // The digest is computed over the nonce count exactly as the composer writes it.
    char nc[kz_sip_nonce_count_size] = {};
    if (msg.find_ie(ids.nc, 0)) kz_sip_format_nonce_count(msg.get_ie_value(ids.nc).c_str(), nc);
    const KZAPI::CString& algorithm = msg.get_ie_value(ids.algorithm);
    const KZAPI::CString& nonce = msg.get_ie_value(ids.nonce);
    const KZAPI::CString& cnonce = msg.get_ie_value(ids.cnonce);
    KZAPI::HASHHEX ha1;
    KZAPI::HASHHEX entity_hash = {};
    KZAPI::HASHHEX response;
    KZAPI::KZ_DigestCalcHA1(algorithm.IsEmpty() ? "MD5" : algorithm.c_str(),
                            msg.get_ie_value(ids.username).c_str(), msg.get_ie_value(ids.realm).c_str(),
                            password.c_str(), nonce.c_str(), cnonce.c_str(), ha1);
    KZAPI::KZ_DigestCalcResponse(ha1, nonce.c_str(), nc, cnonce.c_str(), qop.c_str(), digest_method(msg),
                                 msg.get_ie_value(ids.uri).c_str(), entity_hash, response);
    msg.set_ie(ids.response, 0, std::string_view(response, 32));
}

} // namespace

uint32_t kz_sip_complete_credentials(sip_msg* msg) {
    if (!msg) return KZ_SIP_RESULT_NULL_HANDLE;
    complete(*msg, kAuthorization);
    complete(*msg, kProxyAuthorization);
    return KZ_SIP_RESULT_OK;
}

// Zero-padded to eight characters, sign included, as printf's "%08d" of the value.
void kz_sip_format_nonce_count(const char* value, char (&out)[kz_sip_nonce_count_size]) {
    const long parsed = value ? strtol(value, nullptr, 10) : 0;
    const int n = static_cast<int>(parsed < INT_MIN ? INT_MIN : parsed > INT_MAX ? INT_MAX : parsed);
    char digits[16];
    const char* end =
        std::to_chars(digits, digits + sizeof(digits), n < 0 ? -static_cast<long long>(n) : n).ptr;
    const size_t len = static_cast<size_t>(end - digits);
    size_t pos = 0;
    if (n < 0) out[pos++] = '-';
    for (size_t width = pos + len; width < 8; ++width)
        out[pos++] = '0';
    memcpy(out + pos, digits, len);
    out[pos + len] = '\0';
}
