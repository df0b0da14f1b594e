// Address helpers shared by the stack: payload numbers, host resolution and SIP address splitting.
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "sipmsg/sip_msg.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

void cut_at_char(char* text, char c) {
    char* p = strchr(text, c);
    if (p) *p = '\0';
}

// Cuts the text at the first ";name=" parameter of exactly that name (without regard to case).
void cut_at_param(char* text, std::string_view name) {
    for (char* semi = strchr(text, ';'); semi; semi = strchr(semi + 1, ';')) {
        std::string_view rest(semi + 1);
        if (rest.size() > name.size() && rest[name.size()] == '=' && KZAPI::istarts_with(rest, name)) {
            *semi = '\0';
            return;
        }
    }
}

// Skips the first "sip:", "sips:" or "tel:" (without regard to case).
char* skip_scheme(char* text) {
    char* after = nullptr;
    for (std::string_view scheme : {"sip:", "sips:", "tel:"}) {
        const size_t at = KZAPI::find_no_case(text, scheme);
        if (at != std::string_view::npos && (!after || text + at + scheme.size() < after))
            after = text + at + scheme.size();
    }
    return after ? after : text;
}

} // namespace

// A tel: URI has no host: its number comes back as the user, the host stays null.
int kz_get_sip_address_info(char* text, char** user, char** host, char** port) {
    if (!text || !user || !host || !port) return 0;
    *user = *host = *port = nullptr;

    cut_at_char(text, '>');
    cut_at_param(text, "rinstance");
    cut_at_param(text, "user");
    char* semi = strchr(text, ';');
    if (semi) {
        char* at = strchr(text, '@');
        if (at && semi < at) semi = strchr(at, ';');
        if (semi) *semi = '\0';
    }

    char* p = text;
    if (char* lt = strchr(p, '<')) p = lt + 1;
    p = skip_scheme(p);

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
