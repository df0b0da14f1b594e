// The application's answer to a new call at a proxy site, read into what the site does with it.
#pragma once

#include "proxy/CKZSIPProxySession.h"

#include <optional>
#include <string>

struct ProxyDirective {
    enum class Kind {
        Route,     // on to the callee (or to target when one is given)
        Channel,   // to an idle channel of the server
        Answer,    // refused with code and reason
        Challenge, // the caller is asked for credentials
    };
    Kind kind = Kind::Route;
    int code = 0;
    std::string reason;
    std::optional<std::string> target;
    std::optional<ProxyLegRewrite> rewrite;
    bool new_session = false;
    // Seconds a ringing callee is given before the call is cancelled ("RingTimeout<N>"); 0 none.
    int ring_timeout = 0;

    // nullopt (no answer) routes the call to the callee's registered contact.
    static ProxyDirective Read(const std::optional<std::string>& text);
};
