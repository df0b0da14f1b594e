#include "app/KZArgumentChecks.h"

namespace kzapp {

namespace {

// Addresses go into the module's header lines; the limit leaves room for the brackets and
// parameters it adds.
constexpr size_t kMaxAddress = 255;

std::string quoted(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

bool is_control(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

std::string holds(std::string_view name, char c) {
    const char* what = c == '\0'              ? "a NUL character"
                       : is_control(c)        ? "a control character"
                       : c == ' '             ? "a space"
                       : c == '"'             ? "a quote"
                       : c == '<' || c == '>' ? "an angle bracket"
                                              : nullptr;
    return quoted(name) + " holds " + (what ? std::string(what) : quoted(std::string_view(&c, 1)));
}

} // namespace

std::string check_field(std::string_view text, std::string_view name, const KZFieldRule& rule) {
    if (rule.required && text.empty()) return quoted(name) + " is empty";
    if (text.size() > rule.limit)
        return quoted(name) + " is longer than " + std::to_string(rule.limit) + " characters";
    for (const char c : text)
        if ((!rule.controls_allowed && is_control(c)) || rule.forbidden.find(c) != std::string_view::npos)
            return holds(name, c);
    return "";
}

std::string check_sip_address(std::string_view address, std::string_view name, const KZAddressRule& rule) {
    std::string forbidden = "\"" + std::string(rule.forbidden);
    if (std::string why = check_field(address, name, {kMaxAddress, true, forbidden}); !why.empty())
        return why;
    std::string_view rest = address;
    if (rule.brackets_allowed && rest.front() == '<') {
        if (rest.back() != '>' || !rest.starts_with("<sip:"))
            return quoted(name) + " in angle brackets is a <sip:...> address";
        rest = rest.substr(5, rest.size() - 6);
    } else if (rest.starts_with("sip:")) {
        rest = rest.substr(4);
    } else if (rule.scheme_required) {
        return quoted(name) + " is not a sip: address";
    }
    if (const size_t bad = rest.find_first_of(" <>"); bad != std::string_view::npos)
        return holds(name, rest[bad]);
    const size_t at = rest.find('@');
    if (rule.user_required && (at == std::string_view::npos || at == 0))
        return quoted(name) + " names no user";
    // Another scheme ("sips:", "tel:") would be read as the user part of a sip address.
    if (rule.parts_checked && at != std::string_view::npos &&
        rest.substr(0, at).find(':') != std::string_view::npos)
        return quoted(name) + " is not a sip: address";
    const std::string_view host = at == std::string_view::npos ? rest : rest.substr(at + 1);
    if (host.empty() || host.front() == ':' || host.front() == ';') return quoted(name) + " names no host";
    // After the host only a port may follow a colon ("tel:+1555" is no host and port).
    if (const size_t colon = host.find(':'); rule.parts_checked && colon != std::string_view::npos) {
        const std::string_view port = host.substr(colon + 1, host.find(';', colon) - colon - 1);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos)
            return quoted(name) + " is not a sip: address";
    }
    return "";
}

} // namespace kzapp
