#include "host/CString.h"

#include "host/KZStrFunc.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace KZAPI {

int CString::FormatV(const char* fmt, va_list args) {
    m_s.clear();
    return AppendFormatV(fmt, args);
}

int CString::AppendFormatV(const char* fmt, va_list args) {
    char stack_buf[256];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(stack_buf, sizeof(stack_buf), fmt, copy);
    va_end(copy);
    if (n < 0) return static_cast<int>(m_s.size());
    if (static_cast<size_t>(n) < sizeof(stack_buf)) {
        m_s.append(stack_buf, static_cast<size_t>(n));
    } else {
        size_t old = m_s.size();
        m_s.resize(old + static_cast<size_t>(n) + 1);
        vsnprintf(m_s.data() + old, static_cast<size_t>(n) + 1, fmt, args);
        m_s.resize(old + static_cast<size_t>(n));
    }
    return static_cast<int>(m_s.size());
}

int CString::Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = FormatV(fmt, args);
    va_end(args);
    return n;
}

int CString::AppendFormat(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = AppendFormatV(fmt, args);
    va_end(args);
    return n;
}

int CString::Find(const char* sub, int start) const {
    if (!sub || start < 0 || static_cast<size_t>(start) > m_s.size()) return -1;
    size_t pos = m_s.find(sub, static_cast<size_t>(start));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(char c, int start) const {
    if (start < 0 || static_cast<size_t>(start) > m_s.size()) return -1;
    size_t pos = m_s.find(c, static_cast<size_t>(start));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::FindNoCase(const char* sub, int start) const {
    if (!sub || start < 0 || static_cast<size_t>(start) > m_s.size()) return -1;
    size_t pos = find_no_case(std::string_view(m_s).substr(static_cast<size_t>(start)), sub);
    return pos == std::string_view::npos ? -1 : static_cast<int>(pos) + start;
}

int CString::ReverseFind(char c) const {
    size_t pos = m_s.rfind(c);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

CString CString::Left(int count) const {
    if (count <= 0) return CString();
    return CString(std::string_view(m_s).substr(0, static_cast<size_t>(count)));
}

CString CString::Mid(int start, int count) const {
    if (start < 0) start = 0;
    if (static_cast<size_t>(start) >= m_s.size()) return CString();
    size_t n = count < 0 ? std::string::npos : static_cast<size_t>(count);
    return CString(std::string_view(m_s).substr(static_cast<size_t>(start), n));
}

CString CString::Right(int count) const {
    if (count <= 0) return CString();
    size_t n = std::min(static_cast<size_t>(count), m_s.size());
    return CString(std::string_view(m_s).substr(m_s.size() - n));
}

CString& CString::TrimLeft() {
    size_t i = m_s.find_first_not_of(" \t");
    if (i == std::string::npos)
        m_s.clear();
    else
        m_s.erase(0, i);
    return *this;
}

CString& CString::TrimRight() {
    size_t i = m_s.find_last_not_of(" \t");
    m_s.resize(i == std::string::npos ? 0 : i + 1);
    return *this;
}

CString& CString::TrimSpacePlus() {
    m_s.assign(trim_white(m_s));
    return *this;
}

size_t CString::CopyALine(const char* src) {
    m_s.clear();
    if (!src || !*src) return 0;
    const char* nl = strchr(src, '\n');
    size_t n = nl ? static_cast<size_t>(nl - src) + 1 : strlen(src);
    m_s.assign(src, n);
    return n;
}

void CString::MakeUpper() {
    for (char& c : m_s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
}

void CString::MakeLower() {
    for (char& c : m_s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
}

int CString::CompareNoCase(const char* s) const {
    return strcasecmp(m_s.c_str(), s ? s : "");
}

} // namespace KZAPI
