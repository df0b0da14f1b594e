// Frames SIP messages out of a byte stream (TCP, TLS). Bytes are appended as they are read;
// a message is handed out only when its headers and Content-Length bytes of body are complete,
// so a message split over reads is joined and several messages in one read are separated.
#pragma once

#include <cstddef>
#include <string>

class CSIPStreamFramer {
public:
    static constexpr size_t kDefaultLimit = 64 * 1024;

    explicit CSIPStreamFramer(size_t limit = kDefaultLimit) : m_limit(limit) {}

    // Appends read bytes; false when the buffer would exceed the limit without a complete
    // message in it (the peer is misbehaving and should be disconnected).
    bool Append(const char* data, size_t len);
    // Moves the next complete message into out; false when none is complete yet.
    bool Next(std::string* out);
    size_t Buffered() const { return m_buffer.size() - m_start; }
    void Clear() {
        m_buffer.clear();
        m_start = 0;
    }

private:
    void SkipKeepAlives();
    // Total length of the message starting at m_start, or 0 when it is not complete yet.
    size_t CompleteLength() const;

    std::string m_buffer;
    size_t m_start = 0; // consumed prefix, dropped lazily
    size_t m_limit;
};
