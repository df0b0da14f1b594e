#include "host/KZNetAddr.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace KZAPI {

uint32_t KZ_InetAddr(const char* text) {
    if (!text) return INADDR_NONE;
    return inet_addr(text);
}

bool KZ_IsDottedQuad(const char* text) {
    if (!text) return false;
    int dots = 0, digits = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == '.') {
            if (digits == 0) return false;
            ++dots;
            digits = 0;
        } else if (*p >= '0' && *p <= '9') {
            ++digits;
        } else {
            return false;
        }
    }
    return dots == 3 && digits > 0;
}

namespace {
std::atomic<bool> g_resolve_names{true};
} // namespace

void KZ_SetNameResolution(bool enabled) {
    g_resolve_names.store(enabled);
}

uint32_t KZ_ResolveHostIPv4(const char* name) {
    if (!name || !*name || !g_resolve_names.load()) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || !result) return 0;
    uint32_t addr = 0;
    for (addrinfo* ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr) {
            addr = reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(result);
    return addr;
}

std::string KZ_InetNtoa(uint32_t addr) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, buf, sizeof(buf));
    return buf;
}

} // namespace KZAPI
