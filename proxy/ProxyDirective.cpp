#include "proxy/ProxyDirective.h"

#include "host/KZStrFunc.h"
#include "server/ProxyTransferTarget.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

struct StandardRefusal {
    const char* code;
    const char* reason;
};
constexpr StandardRefusal kRefusals[] = {
    {"400", "Bad Request"},        {"402", "Payment Required"},        {"404", "Not Found"},
    {"405", "Method Not Allowed"}, {"406", "Not Acceptable"},          {"408", "Request Timeout"},
    {"409", "Conflict"},           {"480", "Temporarily Unavailable"}, {"486", "Busy Here"},
    {"487", "Request Terminated"}, {"488", "Not Acceptable Here"},     {"489", "Bad Event"},
    {"491", "Request Pending"},    {"493", "Undecipherable"},
};

ProxyDirective answer(int code, std::string reason) {
    ProxyDirective d;
    d.kind = ProxyDirective::Kind::Answer;
    d.code = code;
    d.reason = std::move(reason);
    return d;
}

// "3..." or "4...": "code|reason" as given, or one of the standard refusals; nothing otherwise.
std::optional<ProxyDirective> refusal(const std::string& text) {
    if (text.empty() || (text[0] != '3' && text[0] != '4')) return std::nullopt;
    const size_t bar = text.find('|');
    if (bar != std::string::npos) return answer(std::atoi(text.substr(0, bar).c_str()), text.substr(bar + 1));
    for (const StandardRefusal& r : kRefusals)
        if (text == r.code) return answer(std::atoi(r.code), r.reason);
    return std::nullopt;
}

constexpr char kRingTimeoutItem[] = "RingTimeout<";
// Longer than any call is left ringing; keeps the sweep's arithmetic small.
constexpr int kMaxRingTimeout = 3600;

// Takes the "RingTimeout<N>" items out of the list (the item reader would take one for the
// destination) and returns the last one's seconds, 0 when none is valid.
int take_ring_timeout(std::string& text) {
    int seconds = 0;
    std::string kept;
    size_t begin = 0;
    while (begin <= text.size()) {
        const size_t bar = std::min(text.find('|', begin), text.size());
        const std::string item = text.substr(begin, bar - begin);
        if (item.rfind(kRingTimeoutItem, 0) == 0) {
            seconds = std::atoi(item.c_str() + sizeof(kRingTimeoutItem) - 1);
            if (seconds < 0 || seconds > kMaxRingTimeout) seconds = 0;
        } else {
            kept += (kept.empty() ? "" : "|") + item;
        }
        begin = bar + 1;
    }
    // Still a list, so that a lone destination keeps its meaning as a bare item.
    if (kept.find('|') == std::string::npos) kept += "|";
    text = kept;
    return seconds;
}

ProxyDirective items(std::string text) {
    const int ring_timeout = take_ring_timeout(text);
    const ProxyTransferTarget t = ProxyTransferTarget::Parse(text);
    ProxyDirective d;
    d.ring_timeout = ring_timeout;
    if (!t.destination.empty()) d.target = t.destination;
    d.new_session = t.new_session;
    if (!t.caller.empty() || !t.destination.empty() || !t.user.empty() || !t.password.empty() ||
        !t.request_uri.empty() || !t.dest_ip.empty() || t.dest_port != 0) {
        ProxyLegRewrite r;
        r.from = t.caller;
        // A bare item only names where the call goes; "To<" also rewrites the To header.
        if (text.find("To<") != std::string::npos) r.to = t.destination;
        r.user = t.user;
        r.password = t.password;
        r.request_uri = t.request_uri;
        r.dest_ip = t.dest_ip;
        r.dest_port = t.dest_port;
        d.rewrite = r;
    }
    return d;
}

} // namespace

ProxyDirective ProxyDirective::Read(const std::optional<std::string>& text) {
    ProxyDirective d;
    if (!text) return d;
    const std::string& t = *text;
    if (t.empty() || KZAPI::iequals(t, "channel")) {
        d.kind = Kind::Channel;
        return d;
    }
    if (KZAPI::iequals(t, "rejected")) return answer(403, "Forbidden");
    if (std::optional<ProxyDirective> refused = refusal(t)) return *refused;
    if (KZAPI::iequals(t, "unauthorized")) {
        d.kind = Kind::Challenge;
        return d;
    }
    if (t.find('|') != std::string::npos) return items(t);
    if (t.find("sip:") != std::string::npos) d.target = t;
    return d;
}
