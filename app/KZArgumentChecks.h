// The checks the control commands run on their text arguments before anything is asked of the
// module: each returns "" when the argument may be used, else the reason of the error event,
// naming the argument in quotes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kzapp {

// A text bound for one of the module's fixed fields or a header line.
struct KZFieldRule {
    size_t limit;
    bool required = false;           // an empty text is refused
    std::string_view forbidden = {}; // characters refused besides the control characters
    bool controls_allowed = false;   // line breaks and tabs may stand, as in a message body
};

std::string check_field(std::string_view text, std::string_view name, const KZFieldRule& rule);

// A SIP address the module can send a request to: "sip:user@host[:port][;params]", "user@host",
// "host" or any of them in "<sip:...>", as the rule allows. Addresses take at most 255 characters,
// no control characters, quotes, spaces or angle brackets (but the enclosing ones).
struct KZAddressRule {
    bool user_required = false;      // "sip:host" is refused
    bool scheme_required = false;    // "user@host" without "sip:" is refused
    bool brackets_allowed = true;    // "<sip:user@host>"
    bool parts_checked = true;       // no ':' in the user part, only a port after the host's colon
    std::string_view forbidden = {}; // further characters refused
};

std::string check_sip_address(std::string_view address, std::string_view name, const KZAddressRule& rule);

} // namespace kzapp
