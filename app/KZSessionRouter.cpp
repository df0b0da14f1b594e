#include "app/KZSessionRouter.h"

namespace kzapp {

namespace {

// Texts from the network are cut to what any client takes in one event.
constexpr size_t kMaxText = 2047;
// Dialog states and directions as RFC 4235 names them.
constexpr const char* kEarly = "early";
constexpr const char* kConfirmed = "confirmed";
constexpr const char* kTerminated = "terminated";
constexpr const char* kInitiator = "initiator";
constexpr const char* kRecipient = "recipient";
// Session states between the callee's answer and the end of its BYE.
constexpr int kFirstAnsweredState = 8;
constexpr int kLastAnsweredState = 26;

std::string bounded(const char* text) {
    if (!text) return "";
    std::string s(text);
    if (s.size() > kMaxText) s.resize(kMaxText);
    return s;
}

std::string one_line(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

KZSessionStatus status_of(const IKZSessionReports::Report& r) {
    return {r.connection,
            r.site + 1,
            r.state,
            bounded(r.from),
            bounded(r.to),
            bounded(r.uri),
            bounded(r.text),
            r.start,
            r.connect,
            false,
            {}};
}

const char* dialog_state_of(const IKZSessionReports::Report& r) {
    const bool answered = r.connect > 0 || (r.state >= kFirstAnsweredState && r.state <= kLastAnsweredState);
    return answered ? kConfirmed : kEarly;
}

KZJson event_of(const char* kind, const KZSessionStatus& s) {
    return {{"event", kind},        {"session", s.session}, {"site", s.site}, {"state", s.state},
            {"from", s.from},       {"to", s.to},           {"uri", s.uri},   {"start", s.start},
            {"connect", s.connect}, {"text", s.text}};
}

std::string session_name(uint32_t session) {
    return "session " + std::to_string(session);
}

} // namespace

std::string sip_user_of(const std::string& text) {
    size_t at = text.find("sip:");
    size_t skip = 4;
    if (const size_t secure = text.find("sips:"); secure != std::string::npos && secure < at) {
        at = secure;
        skip = 5;
    }
    if (at == std::string::npos) return "";
    const size_t begin = at + skip;
    const size_t end = text.find_first_of("@>;: ", begin);
    if (end == std::string::npos || text[end] != '@') return "";
    return text.substr(begin, end - begin);
}

std::string contact_uri_of(const std::string& contact) {
    if (const size_t open = contact.find('<'); open != std::string::npos) {
        const size_t close = contact.find('>', open);
        return contact.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    }
    return contact.substr(0, contact.find(';'));
}

void KZSessionRouter::Print(const std::string& line) const {
    if (m_outputs.print) m_outputs.print("kzhost: " + one_line(line));
}

KZRoutingLease KZSessionRouter::TakeRouting() {
    std::lock_guard lock(m_mutex);
    ++m_routing_clients;
    return KZRoutingLease(static_cast<void*>(this), [this](void*) { ReleaseRouting(); });
}

// The last routing client gone, no call may be left waiting for it: each goes where it would have
// gone without one, and one whose callee is not registered is turned away.
void KZSessionRouter::ReleaseRouting() {
    std::vector<Entry> orphans;
    {
        std::lock_guard lock(m_mutex);
        if (--m_routing_clients > 0) return;
        for (const auto& [id, entry] : m_sessions)
            if (entry.status.waiting) orphans.push_back(entry);
    }
    for (const Entry& entry : orphans) {
        if (!Claim(entry.status.session)) continue;
        const std::string target = RegisteredTarget(entry);
        const std::string text = target.empty() ? kUnroutedAnswer : target;
        if (m_server.SetNewCallSessionAddr(entry.status.site - 1, entry.status.session, text))
            Print(session_name(entry.status.session) + " routed to " + text + " (no routing client left)");
    }
}

std::optional<KZSessionRouter::Entry> KZSessionRouter::Waiting(uint32_t session) {
    std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(session);
    if (it == m_sessions.end() || !it->second.status.waiting) return std::nullopt;
    return it->second;
}

bool KZSessionRouter::Claim(uint32_t session) {
    std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(session);
    if (it == m_sessions.end() || !it->second.status.waiting) return false;
    it->second.status.waiting = false;
    return true;
}

std::string KZSessionRouter::RegisteredTarget(const Entry& entry) const {
    if (!m_outputs.registered_contact || entry.callee.empty()) return "";
    const std::optional<std::string> contact = m_outputs.registered_contact(entry.status.site, entry.callee);
    return contact ? contact_uri_of(*contact) : "";
}

KZSessionOutcome KZSessionRouter::Answer(const Entry& entry, const std::string& text,
                                         const std::string& line) {
    const uint32_t id = entry.status.session;
    if (!Claim(id)) return KZSessionOutcome::Refused(session_name(id) + " is not waiting for a route");
    if (!m_server.SetNewCallSessionAddr(entry.status.site - 1, id, text))
        return KZSessionOutcome::Refused("the module holds no " + session_name(id));
    Print(session_name(id) + " " + line);
    return KZSessionOutcome::Accepted(text);
}

KZSessionOutcome KZSessionRouter::Route(uint32_t session, const std::string& destination, int ring_timeout) {
    const std::optional<Entry> entry = Waiting(session);
    if (!entry) return KZSessionOutcome::Refused(session_name(session) + " is not waiting for a route");
    std::string text = destination;
    if (destination == "registered") {
        text = RegisteredTarget(*entry);
        if (text.empty())
            return KZSessionOutcome::Refused("callee \"" + entry->callee + "\" of " + session_name(session) +
                                             " is not registered");
    }
    // The module takes the ring time-out as one more item after the destination.
    const std::string directive =
        ring_timeout > 0 ? text + "|RingTimeout<" + std::to_string(ring_timeout) + ">" : text;
    return Answer(*entry, directive, "routed to " + directive);
}

std::optional<KZSessionRouter::Entry> KZSessionRouter::Live(uint32_t session) {
    std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(session);
    if (it == m_sessions.end()) return std::nullopt;
    return it->second;
}

KZSessionOutcome KZSessionRouter::Join(uint32_t session, int leg, uint32_t with, int with_leg) {
    const std::optional<Entry> first = Live(session), second = Live(with);
    if (!first) return KZSessionOutcome::Refused("there is no " + session_name(session));
    if (!second) return KZSessionOutcome::Refused("there is no " + session_name(with));
    const char* legs[] = {"caller", "callee"};
    const std::string what =
        session_name(session) + " " + legs[leg] + " with " + session_name(with) + " " + legs[with_leg];
    if (!m_server.ConnectCallSessions(first->status.site - 1, session, leg, second->status.site - 1, with,
                                      with_leg))
        return KZSessionOutcome::Refused("the module cannot join " + what +
                                         " (both must be established and not joining)");
    Print("joining " + what);
    return KZSessionOutcome::Accepted("joining " + what);
}

KZSessionOutcome KZSessionRouter::Reject(uint32_t session, int code, const std::string& reason) {
    const std::optional<Entry> entry = Waiting(session);
    if (!entry) return KZSessionOutcome::Refused(session_name(session) + " is not waiting for a route");
    const std::string code_text = std::to_string(code);
    return Answer(*entry, code_text + "|" + reason, "rejected " + code_text + " " + reason);
}

std::vector<KZSessionStatus> KZSessionRouter::List() {
    std::lock_guard lock(m_mutex);
    std::vector<KZSessionStatus> list;
    for (const auto& [id, entry] : m_sessions) {
        list.push_back(entry.status);
        list.back().dialog = entry.dialog ? entry.dialog : "";
    }
    return list;
}

std::optional<std::string> KZSessionRouter::OnNewCall(const Report& call, const char* source_address,
                                                      uint16_t source_port, const char* user,
                                                      bool authenticated) {
    Entry entry{status_of(call), sip_user_of(bounded(call.from)), "", nullptr};
    entry.callee = sip_user_of(entry.status.uri);
    if (entry.callee.empty()) entry.callee = sip_user_of(entry.status.to);
    bool routing = false;
    {
        std::lock_guard lock(m_mutex);
        routing = m_routing_clients > 0;
        entry.status.waiting = routing;
        m_sessions[call.connection] = entry;
    }
    const std::string name = session_name(call.connection);
    if (!routing) {
        Print(name + " from " + entry.status.from + " to " + entry.status.to +
              " routed to its callee's registration");
        return std::nullopt;
    }
    if (m_outputs.publish) {
        KZJson event = event_of("incoming-session", entry.status);
        event["source_address"] = bounded(source_address);
        event["source_port"] = source_port;
        event["user"] = bounded(user);
        event["authenticated"] = authenticated;
        m_outputs.publish(event);
    }
    Print(name + " incoming from " + entry.status.from + " to " + entry.status.to);
    return std::string(kHoldDirective);
}

void KZSessionRouter::OnStatus(const Report& session) {
    const char* dialog = dialog_state_of(session);
    Entry told;
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        auto [it, fresh] = m_sessions.try_emplace(session.connection);
        Entry& entry = it->second;
        const bool waiting = !fresh && entry.status.waiting;
        entry.status = status_of(session);
        entry.status.waiting = waiting;
        if (fresh) {
            entry.caller = sip_user_of(entry.status.from);
            entry.callee = sip_user_of(entry.status.uri);
            if (entry.callee.empty()) entry.callee = sip_user_of(entry.status.to);
        }
        changed = entry.dialog != dialog;
        entry.dialog = dialog;
        told = entry;
    }
    if (m_outputs.publish) m_outputs.publish(event_of("session-status", told.status));
    Print(session_name(session.connection) + " state " + std::to_string(session.state) + " " + dialog);
    if (changed) TellWatchers(told, dialog);
}

void KZSessionRouter::OnEnd(const Report& session, int code, const char* reason) {
    std::optional<Entry> ended;
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_sessions.find(session.connection); it != m_sessions.end()) {
            ended = it->second;
            m_sessions.erase(it);
        }
    }
    const KZSessionStatus status = status_of(session);
    const std::string why = bounded(reason);
    if (m_outputs.publish) {
        KZJson event = event_of("session-status", status);
        event["ended"] = true;
        event["code"] = code;
        event["reason"] = why;
        m_outputs.publish(event);
    }
    Print(session_name(session.connection) + " ended " + std::to_string(code) + " " + why);
    // Watchers heard of the dialog only when the session got as far as a status report.
    if (ended && ended->dialog) TellWatchers(*ended, kTerminated);
}

void KZSessionRouter::TellWatchers(const Entry& entry, const char* state) {
    const auto site_of = [&](const std::string& user) {
        const std::optional<int> own = m_outputs.site_of ? m_outputs.site_of(user) : std::nullopt;
        return own.value_or(entry.status.site) - 1;
    };
    if (!entry.caller.empty())
        m_server.UpdateUserState(site_of(entry.caller), entry.caller, kInitiator, state);
    if (!entry.callee.empty())
        m_server.UpdateUserState(site_of(entry.callee), entry.callee, kRecipient, state);
}

} // namespace kzapp
