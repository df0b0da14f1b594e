// Bounded C-string helpers and small text utilities shared by the host and the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace KZAPI {

// Copies src into dst (capacity size bytes), always NUL-terminating when size > 0.
// Returns the number of characters copied (excluding the NUL).
size_t str_cpy(char* dst, const char* src, size_t size);
// Copies at most n characters of src, bounded by size as above.
size_t str_ncpy(char* dst, const char* src, size_t n, size_t size);
// Appends src to the NUL-terminated dst of capacity size, always terminating.
size_t str_cat(char* dst, const char* src, size_t size);
// snprintf that always terminates and returns the number of characters stored.
int s_printf(char* dst, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Copies from src up to (not including) the first stop character or the end, bounded by size.
// Returns a pointer to the stop character in src, or to src's terminating NUL.
const char* copy_until_char(char* dst, size_t size, const char* src, char stop);
// Writes src with every character outside the URI unreserved set escaped as %XX, so that it can
// stand as a header value inside a URI ("?Replaces=..."). An escape that would not fit whole is
// left out. Returns the length written.
size_t KZ_Replace_Alt_Chars(const char* src, char* dst, size_t size);
// Writes src with its %XX escapes turned back into characters; a malformed escape is copied as
// it stands. Returns the length written.
size_t KZ_Check_Alt_Chars(const char* src, char* dst, size_t size);

// Random fraction in [0, 1) from a per-thread generator seeded from the system's entropy.
double get_rand_rate();
// Random 32-bit value from the same generator.
uint32_t get_rand_u32();

// Milliseconds from a monotonic clock.
uint64_t KZ_GetTickCount();
// Ids of the running process and of the calling thread (as the system numbers them).
long KZ_GetProcessId();
long KZ_GetThreadId();

inline constexpr char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

inline std::string_view trim_white(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && is_white(s[b]))
        ++b;
    while (e > b && is_white(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

inline std::string_view trim_spaces(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ')
        ++b;
    while (e > b && s[e - 1] == ' ')
        --e;
    return s.substr(b, e - b);
}

inline bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

inline bool istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

// Case-insensitive substring search; npos when absent.
size_t find_no_case(std::string_view hay, std::string_view needle);

inline bool contains_no_case(std::string_view hay, std::string_view needle) {
    return find_no_case(hay, needle) != std::string_view::npos;
}

} // namespace KZAPI
