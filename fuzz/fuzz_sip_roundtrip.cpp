// Parses arbitrary bytes, completes any credentials, composes the result, and parses the composed
// text again: the composer must accept whatever the parser produced, and its text must parse
// without harm.
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    sip_msg msg;
    KZSIPEvent event{};
    msg.init_from_buf(text.data(), &event);
    kz_sip_complete_credentials(&msg);
    KZAPI::CString out;
    if (msg.write_into_buf(&out) != 0) return 0;

    std::vector<char> again(out.c_str(), out.c_str() + out.GetLength() + 1);
    sip_msg reparsed;
    KZSIPEvent event2{};
    reparsed.init_from_buf(again.data(), &event2);
    KZAPI::CString out2;
    reparsed.write_into_buf(&out2);

    sip_msg copy;
    copy.copy_msg_from(&msg);
    return 0;
}
