// sip_cmd: one block of data travelling between a transport and the stack.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

struct sip_cmd {
    // Read buffers carry this much zero padding, so the text is always NUL-terminated.
    static constexpr size_t kPadding = 10;

    uint32_t from_ip = 0;
    uint16_t from_port = 0;
    uint32_t to_ip = 0;
    uint16_t to_port = 0;
    int32_t protocol = 0;
    void* connection = nullptr;
    // The dialog (connection id) a block to send belongs to, so a delivery failure found later by
    // a transport can be reported against it; 0 when none.
    uint32_t dialog_id = 0;
    std::unique_ptr<char[]> data;
    uint64_t length = 0;
    uint64_t position = 0;

    // Copies len bytes of text into a new zero-padded buffer.
    void assign(const char* text, size_t len) {
        data = std::make_unique_for_overwrite<char[]>(len + kPadding);
        if (len) memcpy(data.get(), text, len);
        memset(data.get() + len, 0, kPadding);
        length = len;
        position = 0;
    }
    const char* text() const { return data ? data.get() + position : ""; }
    uint64_t remaining() const { return length > position ? length - position : 0; }
};
