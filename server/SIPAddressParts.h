// The user, host and port of a SIP address ("<sip:user@host:port;...>" and its plainer forms),
// split on a copy of the text.
#pragma once

#include "host/KZStrFunc.h"
#include "server/CKZSIPGroup.h"

#include <cstdint>
#include <cstdlib>
#include <string>

struct SIPAddressParts {
    static constexpr uint16_t kDefaultPort = 5060;

    explicit SIPAddressParts(const char* address) {
        char text[CKZSIPGroup::kIEBufferSize];
        KZAPI::str_cpy(text, address ? address : "", sizeof(text));
        char *u = nullptr, *h = nullptr, *p = nullptr;
        ok = CKZSIPGroup::GetSIPAddressInfo(text, &u, &h, &p) == 1;
        user = u ? u : "";
        host = h ? h : "";
        port = p ? p : "";
    }
    // The port as a number; 5060 when missing or not a valid port.
    uint16_t PortOrDefault() const {
        const int number = std::atoi(port.c_str());
        return number > 0 && number <= 0xFFFF ? static_cast<uint16_t>(number) : kDefaultPort;
    }

    bool ok = false;
    std::string user, host, port;
};
