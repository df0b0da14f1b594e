#include "sipstack/IP_ADDR.h"

#include "host/KZStrFunc.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

bool parse_ipv4(const char* text, uint8_t out[4]) {
    if (!*text || strspn(text, "0123456789.") != strlen(text) || !strchr(text, '.')) return false;
    unsigned a = 0, b = 0, c = 0, d = 0;
    char trailing = 0;
    if (sscanf(text, "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &trailing) != 4) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    out[0] = static_cast<uint8_t>(a);
    out[1] = static_cast<uint8_t>(b);
    out[2] = static_cast<uint8_t>(c);
    out[3] = static_cast<uint8_t>(d);
    return true;
}

void parse_mac(const char* text, uint8_t out[6]) {
    char lower[18];
    KZAPI::str_cpy(lower, text, sizeof(lower));
    for (char& ch : lower)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    unsigned v[6] = {};
    sscanf(lower, "%x-%x-%x-%x-%x-%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    for (int i = 0; i < 6; ++i)
        out[i] = static_cast<uint8_t>(v[i]);
}

} // namespace

void IP_ADDR::classify(const char* text) {
    if (!text) text = "";
    flag = 0;
    if (parse_ipv4(text, ip)) {
        kind = KIND_IP;
        KZAPI::str_cpy(address_text, text, sizeof(address_text));
    } else if (strchr(text, '-') && strlen(text) == 17) {
        kind = KIND_MAC;
        parse_mac(text, mac);
        KZAPI::str_cpy(address_text, text, sizeof(address_text));
    } else {
        kind = KIND_IDENTITY;
        KZAPI::str_cpy(identity, text, sizeof(identity));
    }
}

bool IP_ADDR::same_as(const IP_ADDR& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
    case KIND_IP:
        return memcmp(ip, other.ip, sizeof(ip)) == 0;
    case KIND_MAC:
        return memcmp(mac, other.mac, sizeof(mac)) == 0;
    case KIND_IDENTITY:
        return strcmp(identity, other.identity) == 0;
    default:
        return false;
    }
}
