// What the programs say, in one line on standard error, when they cannot start: a port another
// process holds, else the first error the module logged while starting.
#pragma once

#include "host/CBaseSocket.h"
#include "host/CKZLogInterface.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace kzapp {

inline const char* level_tag(unsigned level) {
    switch (level) {
    case KZAPI::CKZLogInterface::LOG_ERROR:
        return "ERR";
    case KZAPI::CKZLogInterface::LOG_WARNING:
        return "WRN";
    default:
        return "TRC";
    }
}

// Remembers the first error line logged while it lives; every line still reaches standard error.
class FirstLoggedError {
public:
    FirstLoggedError() {
        KZAPI::CKZLogInterface::SetSink([this](unsigned level, unsigned, const char* line) {
            std::fprintf(stderr, "%s %s\n", level_tag(level), line);
            std::lock_guard<std::mutex> lock(m_mutex);
            if (level == KZAPI::CKZLogInterface::LOG_ERROR && m_first.empty()) m_first = line;
        });
    }
    ~FirstLoggedError() { KZAPI::CKZLogInterface::SetSink(nullptr); }
    FirstLoggedError(const FirstLoggedError&) = delete;
    FirstLoggedError& operator=(const FirstLoggedError&) = delete;

    std::string Text() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_first;
    }

private:
    std::mutex m_mutex;
    std::string m_first;
};

// "SIP port 127.0.0.1:5060 (UDP) is in use" for the first transport of mask (bit 0 UDP, 1 TCP,
// 2 TLS on port + 1) whose port is taken; "" when all are free.
inline std::string busy_sip_port(const std::string& address, int port, int mask) {
    const std::string shown = address.empty() ? "0.0.0.0" : address;
    const auto in_use = [&](int p, const char* name) {
        return "SIP port " + shown + ":" + std::to_string(p) + " (" + name + ") is in use";
    };
    const auto p = static_cast<uint16_t>(port);
    if ((mask & 1) && !KZAPI::CBaseSocket::IsUDPPortFree(p, address.c_str())) return in_use(port, "UDP");
    if ((mask & 2) && !KZAPI::CBaseSocket::IsTCPPortFree(p, address.c_str())) return in_use(port, "TCP");
    if ((mask & 4) && !KZAPI::CBaseSocket::IsTCPPortFree(static_cast<uint16_t>(p + 1), address.c_str()))
        return in_use(port + 1, "TLS");
    return "";
}

// The reason itself, else the fallback.
inline std::string first_of(const std::string& reason, const std::string& fallback) {
    return reason.empty() ? fallback : reason;
}

inline void report_cannot_start(const char* program, const std::string& reason) {
    std::fprintf(stderr, "%s: cannot start: %s\n", program, reason.c_str());
}

} // namespace kzapp
