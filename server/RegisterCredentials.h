// Digest credentials (RFC 2617) of a REGISTER answering a 401 or 407 challenge.
#pragma once

#include <string>

class sip_msg;
struct kz_sip_user_reg_profile;

enum class CredentialsOutcome { Added, NotDigest, UnsupportedQop };

// Copies the challenge of `challenge` (WWW-Authenticate, else Proxy-Authenticate) into
// credentials of `request` for the account, with client nonce, nonce count and response.
// `qop` receives the challenge's qop text (for the log line of an unsupported one). The digest
// URI is "sip:" and the account's domain unless digest_uri is given.
CredentialsOutcome AddRegisterCredentials(sip_msg* request, sip_msg* challenge,
                                          const kz_sip_user_reg_profile& account, std::string* qop,
                                          const char* digest_uri = nullptr);
