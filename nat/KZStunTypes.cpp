#include "nat/KZStunTypes.h"

#include "host/KZStrFunc.h"

const char* KZStunIPText(uint32_t ip, char* out, size_t size) {
    KZAPI::s_printf(out, size, "%u.%u.%u.%u", (ip >> 24) & 0xFFu, (ip >> 16) & 0xFFu, (ip >> 8) & 0xFFu,
                    ip & 0xFFu);
    return out;
}

const char* KZStunAddressText(const KZStunAddress4& address, char* out, size_t size) {
    char ip[16];
    KZAPI::s_printf(out, size, "%s:%u", KZStunIPText(address.addr, ip, sizeof(ip)),
                    static_cast<unsigned>(address.port));
    return out;
}
