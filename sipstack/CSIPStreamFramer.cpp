#include "sipstack/CSIPStreamFramer.h"

#include "host/KZStrFunc.h"

#include <charconv>
#include <string_view>

namespace {

// Value of the Content-Length (or compact "l") header in a header block; 0 when absent.
size_t content_length(std::string_view headers) {
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t eol = headers.find('\n', pos);
        std::string_view line =
            headers.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
        pos = eol == std::string_view::npos ? headers.size() : eol + 1;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = KZAPI::trim_white(line.substr(0, colon));
        if (!KZAPI::iequals(name, "Content-Length") && !KZAPI::iequals(name, "l")) continue;
        std::string_view value = KZAPI::trim_white(line.substr(colon + 1));
        size_t n = 0;
        auto res = std::from_chars(value.data(), value.data() + value.size(), n);
        return res.ec == std::errc() ? n : 0;
    }
    return 0;
}

} // namespace

bool CSIPStreamFramer::Append(const char* data, size_t len) {
    if (m_start > 0 && m_start == m_buffer.size()) Clear();
    m_buffer.append(data, len);
    SkipKeepAlives();
    // Over the limit is fine only while a complete message waits at the front to be taken.
    return Buffered() <= m_limit || CompleteLength() != 0;
}

void CSIPStreamFramer::SkipKeepAlives() {
    while (m_start < m_buffer.size() &&
           (m_buffer[m_start] == '\r' || m_buffer[m_start] == '\n' || m_buffer[m_start] == ' '))
        ++m_start;
}

size_t CSIPStreamFramer::CompleteLength() const {
    std::string_view rest(m_buffer.data() + m_start, m_buffer.size() - m_start);
    size_t header_end = rest.find("\r\n\r\n");
    size_t sep = 4;
    size_t lf_end = rest.find("\n\n");
    if (lf_end != std::string_view::npos && (header_end == std::string_view::npos || lf_end < header_end)) {
        header_end = lf_end;
        sep = 2;
    }
    if (header_end == std::string_view::npos) return 0;
    size_t body = content_length(rest.substr(0, header_end));
    size_t total = header_end + sep + body;
    if (body > m_limit || total > rest.size()) return 0;
    return total;
}

bool CSIPStreamFramer::Next(std::string* out) {
    SkipKeepAlives();
    size_t total = CompleteLength();
    if (total == 0) {
        if (m_start > 0) { // compact the consumed prefix before more bytes arrive
            m_buffer.erase(0, m_start);
            m_start = 0;
        }
        return false;
    }
    out->assign(m_buffer, m_start, total);
    m_start += total;
    return true;
}
