// kzsipdump: reads a file of SIP text (one or more messages), and for each message prints its
// event, every element with its values, and the text the composer writes back.
#include "host/CString.h"
#include "sipmsg/sip_msg.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

void print_elements(const sip_msg& msg) {
    for (unsigned e = 0; e < msg.get_ie_count(); ++e) {
        const sip_ie* ie = msg.get_ie_by_index(e);
        for (unsigned i = 0; i < sip_ie::MAX_VALUES; ++i) {
            if (!ie->has_value(i)) continue;
            printf("  %-4u %-40s [%u] %s\n", ie->get_id(), kz_sip_ie_name(ie->get_id()), i,
                   ie->get_value(i).c_str());
        }
    }
}

// Files in the repository keep LF line ends; SIP wants CRLF.
std::string to_crlf(const std::string& in) {
    if (in.find("\r\n") != std::string::npos) return in;
    std::string out;
    for (char c : in) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        fprintf(stderr, "kzsipdump: cannot start: cannot read %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    std::string text =
        to_crlf(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    char* p = buf.data();
    char* const end = buf.data() + strlen(buf.data());
    int n = 0;
    while (p < end) {
        sip_msg msg;
        KZSIPEvent event{};
        char* next = msg.init_from_buf(p, &event);
        if (!msg.is_empty()) {
            printf("message %d: %s code 0x%X (%u)\n", ++n, kz_sip_event_name(event.event_type), event.code,
                   event.code);
            print_elements(msg);
            KZAPI::CString out;
            if (msg.write_into_buf(&out) == 0)
                printf("composed:\n%s\n", out.c_str());
            else
                printf("composed: (first line missing)\n");
        }
        if (next <= p) break;
        p = next;
    }
    if (n == 0) fprintf(stderr, "kzsipdump: no SIP message in %s\n", argv[1]);
    return n > 0 ? 0 : 1;
}
