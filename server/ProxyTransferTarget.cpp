#include "server/ProxyTransferTarget.h"

#include "host/KZStrFunc.h"

#include <cstdlib>
#include <string_view>

namespace {

// The text after the first "<" of the item, without a trailing ">".
std::string bracketed_value(std::string_view item) {
    std::string_view value = item.substr(item.find('<') + 1);
    if (!value.empty() && value.back() == '>') value.remove_suffix(1);
    return std::string(value);
}

// The item from its "<" on (an address in angle brackets).
std::string from_bracket(std::string_view item) {
    return std::string(item.substr(item.find('<')));
}

void apply_item(std::string_view item, ProxyTransferTarget& t) {
    auto has = [&](std::string_view name) { return item.find(name) != std::string_view::npos; };
    if (has("RequestURI<"))
        t.request_uri = bracketed_value(item);
    else if (has("Password<"))
        t.password = bracketed_value(item);
    else if (has("DestPort<"))
        t.dest_port = static_cast<uint16_t>(std::atoi(bracketed_value(item).c_str()));
    else if (has("DestIP<"))
        t.dest_ip = bracketed_value(item);
    else if (has("User<"))
        t.user = bracketed_value(item);
    else if (has("From<"))
        t.caller = from_bracket(item);
    else if (has("To<"))
        t.destination = from_bracket(item);
    else if (KZAPI::iequals(item, "NewSession"))
        t.new_session = true;
    else
        t.destination = std::string(item);
}

} // namespace

ProxyTransferTarget ProxyTransferTarget::Parse(const std::string& text) {
    ProxyTransferTarget t;
    if (text.find('|') == std::string::npos) {
        t.destination = text;
        return t;
    }
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t bar = rest.find('|');
        const std::string_view item = rest.substr(0, bar);
        if (!item.empty()) apply_item(item, t);
        if (bar == std::string_view::npos) break;
        rest.remove_prefix(bar + 1);
    }
    return t;
}
