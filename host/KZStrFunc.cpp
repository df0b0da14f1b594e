#include "host/KZStrFunc.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <sys/syscall.h>
#include <unistd.h>

namespace KZAPI {

size_t str_cpy(char* dst, const char* src, size_t size) {
    if (!dst || size == 0) return 0;
    size_t n = src ? strnlen(src, size - 1) : 0;
    if (n) memcpy(dst, src, n);
    dst[n] = '\0';
    return n;
}

size_t str_ncpy(char* dst, const char* src, size_t n, size_t size) {
    if (!dst || size == 0) return 0;
    size_t limit = n < size - 1 ? n : size - 1;
    size_t len = src ? strnlen(src, limit) : 0;
    if (len) memcpy(dst, src, len);
    dst[len] = '\0';
    return len;
}

size_t str_cat(char* dst, const char* src, size_t size) {
    if (!dst || size == 0) return 0;
    size_t used = strnlen(dst, size);
    if (used >= size) { // not terminated within its capacity: terminate it
        dst[size - 1] = '\0';
        return size - 1;
    }
    return used + str_cpy(dst + used, src, size - used);
}

namespace {

bool is_uri_unreserved(unsigned char c) {
    return std::isalnum(c) || std::strchr("-_.!~*'()", c) != nullptr;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

size_t KZ_Replace_Alt_Chars(const char* src, char* dst, size_t size) {
    if (!dst || size == 0) return 0;
    static constexpr char kHex[] = "0123456789ABCDEF";
    size_t n = 0;
    for (const char* p = src ? src : ""; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const size_t need = is_uri_unreserved(c) ? 1 : 3;
        if (n + need >= size) break;
        if (need == 1) {
            dst[n++] = *p;
        } else {
            dst[n++] = '%';
            dst[n++] = kHex[c >> 4];
            dst[n++] = kHex[c & 0xF];
        }
    }
    dst[n] = '\0';
    return n;
}

size_t KZ_Check_Alt_Chars(const char* src, char* dst, size_t size) {
    if (!dst || size == 0) return 0;
    size_t n = 0;
    for (const char* p = src ? src : ""; *p && n + 1 < size; ++p) {
        const int high = p[0] == '%' ? hex_digit(p[1]) : -1;
        const int low = high >= 0 ? hex_digit(p[2]) : -1;
        if (low >= 0) {
            dst[n++] = static_cast<char>(high * 16 + low);
            p += 2;
        } else {
            dst[n++] = *p;
        }
    }
    dst[n] = '\0';
    return n;
}

int s_printf(char* dst, size_t size, const char* fmt, ...) {
    if (!dst || size == 0) return 0;
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(dst, size, fmt, args);
    va_end(args);
    if (n < 0) {
        dst[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

const char* copy_until_char(char* dst, size_t size, const char* src, char stop) {
    if (!src) {
        if (dst && size) dst[0] = '\0';
        return src;
    }
    const char* end = src;
    while (*end && *end != stop)
        ++end;
    str_ncpy(dst, src, static_cast<size_t>(end - src), size);
    return end;
}

namespace {
std::mt19937_64& rng() {
    thread_local std::mt19937_64 gen([] {
        std::random_device rd;
        return (static_cast<uint64_t>(rd()) << 32) ^ rd();
    }());
    return gen;
}
} // namespace

double get_rand_rate() {
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng());
}

uint32_t get_rand_u32() {
    return static_cast<uint32_t>(rng()());
}

uint64_t KZ_GetTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

long KZ_GetProcessId() {
    return static_cast<long>(getpid());
}

long KZ_GetThreadId() {
    return static_cast<long>(syscall(SYS_gettid));
}

size_t find_no_case(std::string_view hay, std::string_view needle) {
    if (needle.empty()) return 0;
    if (needle.size() > hay.size()) return std::string_view::npos;
    const char first_l = ascii_lower(needle[0]);
    const size_t last = hay.size() - needle.size();
    for (size_t i = 0; i <= last; ++i) {
        if (ascii_lower(hay[i]) != first_l) continue;
        size_t k = 1;
        while (k < needle.size() && ascii_lower(hay[i + k]) == ascii_lower(needle[k]))
            ++k;
        if (k == needle.size()) return i;
    }
    return std::string_view::npos;
}

} // namespace KZAPI
