// The host and port a request of an account goes to, read from its proxy setting.
#pragma once

#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Host and port of a proxy written as a host, host:port or a SIP address (port 5060 when none).
struct HostPort {
    std::string host;
    uint16_t port = CKZSIPGroup::kDefaultSIPPort;
};

inline HostPort parse_host_port(std::string_view text) {
    if (size_t lt = text.find('<'); lt != std::string_view::npos) text.remove_prefix(lt + 1);
    if (KZAPI::istarts_with(text, "sips:")) text.remove_prefix(5);
    if (KZAPI::istarts_with(text, "sip:")) text.remove_prefix(4);
    text = text.substr(0, text.find_first_of(";>?"));
    if (size_t at = text.find('@'); at != std::string_view::npos) text.remove_prefix(at + 1);
    HostPort out;
    const size_t colon = text.find(':');
    out.host = std::string(KZAPI::trim_spaces(text.substr(0, colon)));
    if (colon != std::string_view::npos) {
        const int port = std::atoi(std::string(text.substr(colon + 1)).c_str());
        if (port > 0 && port <= 65535) out.port = static_cast<uint16_t>(port);
    }
    return out;
}
