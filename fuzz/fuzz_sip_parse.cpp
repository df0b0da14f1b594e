// Parses arbitrary bytes as a buffer of SIP messages, as a stream transport would hand them over.
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    char* const end = text.data() + strlen(text.data());
    char* p = text.data();
    sip_msg msg;
    // Each call consumes at least one byte of a non-empty text, so this loop always ends.
    for (int guard = 0; p < end && guard < 100000; ++guard) {
        KZSIPEvent event{};
        char* next = msg.init_from_buf(p, &event);
        if (next <= p) break;
        p = next;
        (void)msg.get_msg_type();
        (void)msg.cseq();
    }
    return 0;
}
