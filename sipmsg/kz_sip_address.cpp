// Address helpers shared by the stack: payload numbers, host resolution and SIP address splitting.
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "sipmsg/sip_msg.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

int kz_get_payload_type(const char* attribute) {
    if (!attribute || strncmp(attribute, "rtpmap:", 7) != 0) return -1;
    const char* p = attribute + 7;
    while (*p == ' ' || *p == '\t')
        ++p;
    char* end = nullptr;
    errno = 0;
    long v = strtol(p, &end, 10);
    if (end == p) return -1;
    if (errno == ERANGE || v > INT_MAX || v < INT_MIN) return v < 0 ? INT_MIN : INT_MAX;
    return static_cast<int>(v);
}

uint32_t kz_get_real_inet_addr(const char* host) {
    if (!host || !*host) return 0;
    size_t len = strlen(host);
    if (len >= 7 && KZAPI::KZ_IsDottedQuad(host)) {
        uint32_t a = KZAPI::KZ_InetAddr(host);
        return a == 0xFFFFFFFFu ? 0 : a;
    }
    if (!strchr(host, '.') && len < 7) return 0;
    return KZAPI::KZ_ResolveHostIPv4(host);
}

int kz_get_host_kind(const char* text) {
    if (!text || !*text) return 1;
    if (KZAPI::KZ_IsDottedQuad(text)) return 2;
    // Only a dotted name with a letter goes to the resolver: digits and dots alone ("1.2.3", a
    // dialled number) would otherwise come back as a numeric address.
    bool has_letter = false;
    for (const char* p = text; *p && !has_letter; ++p)
        has_letter = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z');
    if (has_letter && strchr(text, '.') && KZAPI::KZ_ResolveHostIPv4(text) != 0) return 2;
    return 1;
}

namespace {

void cut_at(char* text, const char* marker) {
    char* p = strstr(text, marker);
    if (p) *p = '\0';
}

void cut_at_char(char* text, char c) {
    char* p = strchr(text, c);
    if (p) *p = '\0';
}

} // namespace

int kz_get_sip_address_info(char* text, char** user, char** host, char** port) {
    if (!text || !user || !host || !port) return 0;
    *user = *host = *port = nullptr;

    cut_at_char(text, '>');
    cut_at(text, "rinstance=");
    cut_at(text, "user=");
    char* semi = strchr(text, ';');
    if (semi) {
        char* at = strchr(text, '@');
        if (at && semi < at) semi = strchr(at, ';');
        if (semi) *semi = '\0';
    }

    char* p = text;
    if (char* lt = strchr(p, '<')) p = lt + 1;
    if (char* scheme = strstr(p, "sip:")) p = scheme + 4;

    if (char* colon = strchr(p, ':')) {
        *colon = '\0';
        *port = colon + 1;
        cut_at_char(*port, ';');
    }
    if (char* at = strchr(p, '@')) {
        *at = '\0';
        *user = p;
        *host = at + 1;
        cut_at_char(*host, ';');
        return 1;
    }
    if (*port) {
        *host = p;
        return 1;
    }
    if (kz_get_host_kind(p) == 2)
        *host = p;
    else
        *user = p;
    return 1;
}
