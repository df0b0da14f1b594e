// KZAPI::CString: the host's growable text type. A thin layer over std::string
// (small-string optimised) with the operations the module's text handling needs.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace KZAPI {

class CString {
public:
    CString() = default;
    CString(const char* text) : m_s(text ? text : "") {}
    CString(const char* text, size_t len) : m_s(text, len) {}
    CString(std::string_view text) : m_s(text) {}
    CString(const std::string& text) : m_s(text) {}

    CString& operator=(const char* text) {
        if (text)
            m_s.assign(text);
        else
            m_s.clear();
        return *this;
    }
    CString& operator=(const std::string& text) {
        m_s = text;
        return *this;
    }
    CString& operator=(std::string_view text) {
        m_s.assign(text.data(), text.size());
        return *this;
    }

    size_t GetLength() const { return m_s.size(); }
    bool IsEmpty() const { return m_s.empty(); }
    void Empty() { m_s.clear(); }
    void Reserve(size_t n) { m_s.reserve(n); }
    const char* GetString() const { return m_s.c_str(); }
    const char* c_str() const { return m_s.c_str(); }
    operator const char*() const { return m_s.c_str(); }
    std::string_view View() const { return m_s; }
    const std::string& Std() const { return m_s; }
    char GetAt(size_t i) const { return i < m_s.size() ? m_s[i] : '\0'; }

    CString& operator+=(const CString& s) { return Append(s.View()); }
    CString& operator+=(const char* s) { return Append(s ? std::string_view(s) : std::string_view()); }
    CString& operator+=(std::string_view s) { return Append(s); }
    CString& operator+=(char c) {
        m_s.push_back(c);
        return *this;
    }
    CString& Append(std::string_view s) {
        m_s.append(s.data(), s.size());
        return *this;
    }

    // printf-style formatting; returns the resulting length.
    int Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    int AppendFormat(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    int FormatV(const char* fmt, va_list args);
    int AppendFormatV(const char* fmt, va_list args);

    // Position of the first match at or after start, or -1.
    int Find(const char* sub, int start = 0) const;
    int Find(char c, int start = 0) const;
    int FindNoCase(const char* sub, int start = 0) const;
    int ReverseFind(char c) const;

    CString Left(int count) const;
    CString Mid(int start, int count = -1) const;
    CString Right(int count) const;

    // Trim spaces and tabs.
    CString& TrimLeft();
    CString& TrimRight();
    CString& Trim() { return TrimRight().TrimLeft(); }
    // Trim every white-space character (space, tab, CR, LF, VT, FF) at both ends.
    CString& TrimSpacePlus();

    // Copies one line of src, line end included, into this string and returns the
    // number of bytes consumed; 0 when src is null or empty.
    size_t CopyALine(const char* src);

    void MakeUpper();
    void MakeLower();
    int Compare(const char* s) const { return m_s.compare(s ? s : ""); }
    int CompareNoCase(const char* s) const;
    bool operator==(const CString& o) const { return m_s == o.m_s; }
    bool operator==(const char* s) const { return m_s == (s ? s : ""); }
    bool operator==(std::string_view s) const { return std::string_view(m_s) == s; }

private:
    std::string m_s;
};

} // namespace KZAPI
