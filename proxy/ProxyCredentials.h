// Digest credentials (RFC 2617) that a user's request carries, and their check against the
// user's password.
#pragma once

#include <optional>
#include <string>

class sip_msg;

struct ProxyCredentials {
    bool from_proxy_header = false; // Proxy-Authorization rather than Authorization
    std::string type, username, realm, nonce, uri, algorithm, opaque, response, cnonce, nc, qop;

    // The Authorization elements, else the Proxy-Authorization ones; nothing when neither exists.
    static std::optional<ProxyCredentials> Read(sip_msg* request);

    // Name, realm, nonce, URI and response are all there.
    bool IsComplete() const;
    // qop and opaque as the site's challenge asked: with qop on, qop "auth" and a cnonce; with
    // it off, either no qop and no cnonce or qop "auth" with one. With opaque on an opaque value,
    // with it off none.
    bool FollowsChallenge(bool site_qop, bool site_opaque) const;
    // The response these credentials must carry for the password (its first 39 characters).
    std::string ExpectedResponse(const char* password, const char* method) const;
};
