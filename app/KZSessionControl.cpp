// The control socket's proxy-session commands (server mode). Every argument is checked before the
// sessions are asked anything, so a refused command changes nothing.
#include "app/KZArgumentChecks.h"
#include "app/KZControlCommands.h"

#include <array>

namespace kzapp {

namespace {

constexpr std::array<const char*, 5> kSessionCommands = {"route-sessions", "route", "reject", "sessions",
                                                         "join"};
// Reasons end up in the module's fixed header fields.
constexpr size_t kMaxReason = 64;

struct ReasonPhrase {
    int code;
    const char* text;
};
constexpr std::array<ReasonPhrase, 12> kReasonPhrases = {{{400, "Bad Request"},
                                                          {401, "Unauthorized"},
                                                          {403, "Forbidden"},
                                                          {404, "Not Found"},
                                                          {405, "Method Not Allowed"},
                                                          {408, "Request Timeout"},
                                                          {410, "Gone"},
                                                          {480, "Temporarily Unavailable"},
                                                          {484, "Address Incomplete"},
                                                          {486, "Busy Here"},
                                                          {487, "Request Terminated"},
                                                          {488, "Not Acceptable Here"}}};

const char* reason_phrase(int code) {
    for (const ReasonPhrase& phrase : kReasonPhrases)
        if (phrase.code == code) return phrase.text;
    return "Rejected";
}

// "" when the destination is "registered", "channel" or a sip: URI the module takes as a target.
std::string check_destination(const std::string& destination) {
    if (destination == "registered" || destination == "channel") return "";
    if (!destination.starts_with("sip:"))
        return "\"destination\" must be a sip: URI, \"registered\" or \"channel\"";
    // The module would hold the call again, waiting for itself.
    if (destination == "sip:undefined") return "\"destination\" names no host";
    // The module passes the URI on as it is, "|" being its directives' separator.
    return check_sip_address(
        destination, "destination",
        {.scheme_required = true, .brackets_allowed = false, .parts_checked = false, .forbidden = "|"});
}

KZJson session_reply(const char* command, uint32_t session, const KZSessionOutcome& outcome) {
    if (!outcome.accepted) return error_event(outcome.reason);
    return {{"event", "ok"}, {"cmd", command}, {"session", session}, {"answer", outcome.reason}};
}

} // namespace

bool KZControlCommands::is_session_command(const std::string& name) {
    for (const char* known : kSessionCommands)
        if (name == known) return true;
    return false;
}

KZJson KZControlCommands::RunSessionCommand(const std::string& name, const KZJson& command,
                                            KZClientSession& session) const {
    if (name == "sessions") {
        KZJson list = KZJson::array();
        for (const KZSessionStatus& s : m_sessions.List())
            list.push_back({{"session", s.session},
                            {"site", s.site},
                            {"state", s.state},
                            {"from", s.from},
                            {"to", s.to},
                            {"uri", s.uri},
                            {"start", s.start},
                            {"connect", s.connect},
                            {"text", s.text},
                            {"waiting", s.waiting},
                            {"dialog", s.dialog}});
        return {{"event", "sessions"}, {"sessions", list}};
    }
    if (name == "route-sessions") {
        const bool enabled = command["enabled"].get<bool>();
        if (!enabled)
            session.routing.reset();
        else if (!session.routing)
            session.routing = m_sessions.TakeRouting();
        if (enabled && !session.routing) return error_event(KZNoSessions::kReason);
        return {{"event", "ok"}, {"cmd", "route-sessions"}, {"enabled", enabled}};
    }
    const uint32_t id = command["session"].get<uint32_t>();
    if (name == "route") {
        const std::string destination = command["destination"].get<std::string>();
        if (std::string why = check_destination(destination); !why.empty()) return error_event(why);
        const int ring_timeout = command.contains("ring_timeout") ? command["ring_timeout"].get<int>() : 0;
        if (ring_timeout > 0 && destination == "channel")
            return error_event("\"ring_timeout\" applies to a call routed to a phone, not to \"channel\"");
        return session_reply("route", id, m_sessions.Route(id, destination, ring_timeout));
    }
    if (name == "join") {
        const uint32_t with = command["with"].get<uint32_t>();
        const int leg = command["leg"].get<std::string>() == "callee" ? 1 : 0;
        const int with_leg = command["with_leg"].get<std::string>() == "callee" ? 1 : 0;
        if (with == id) return error_event("a session cannot be joined with itself");
        return session_reply("join", id, m_sessions.Join(id, leg, with, with_leg));
    }
    const int code = command["code"].get<int>();
    const std::string reason =
        command.contains("reason") ? command["reason"].get<std::string>() : std::string(reason_phrase(code));
    if (std::string why = check_field(reason, "reason", {kMaxReason, true, "|"}); !why.empty())
        return error_event(why);
    return session_reply("reject", id, m_sessions.Reject(id, code, reason));
}

} // namespace kzapp
