#include "app/KZControlCommands.h"

#include "app/KZArgumentChecks.h"

#include "app/KZSoundCommands.h"

#include "app/KZCallText.h"
#include "host/CKZAudioControl.h"
#include "host/CKZDTMFControl.h"

#include <algorithm>
#include <array>
#include <climits>

namespace kzapp {

namespace {

constexpr std::array<const char*, static_cast<size_t>(KZEventKind::Count)> kEventKindNames = {
    "offered",
    "ringing",
    "progress",
    "connected",
    "released",
    "error",
    "registration",
    "dtmf",
    "collect-done",
    "play-done",
    "record-done",
    "tone",
    "held",
    "resumed",
    "remote-held",
    "remote-resumed",
    "transfer-progress",
    "transferred",
    "transfer-requested",
    "subscription",
    "message",
    "message-delivered",
    "notify",
    "user-registered",
    "user-unregistered",
    "voice-on",
    "voice-off",
    "beep",
    "incoming-session",
    "session-status"};

// A hangup that names no cause leaves the call control's own.
constexpr int kNoCause = 0;
constexpr int kMaxRecordSeconds = 24 * 3600;
constexpr int kMinGainDb = -40;
constexpr int kMaxGainDb = 20;
constexpr int kMaxCollectTimeoutMs = 3600 * 1000;
// A digit string played in one command; longer ones are sent in several.
constexpr size_t kMaxSentDigits = 64;
constexpr size_t kMaxPathLength = KZAPI::KZ_AC_PLAY_ENTRY::kPathChars - 1;
constexpr size_t kMaxStopDigits = KZAPI::CKZDTMFControl::kMaxTerminators;
constexpr std::string_view kDigitCharacters = "0123456789*#ABCD";
// Reason phrases go into fixed header fields of the module's messages.
constexpr size_t kMaxReasonLength = 64;
constexpr int kDefaultRedirectCode = 302;

enum class ArgType { String, Integer, Boolean, StringList };

struct ArgSpec {
    std::string_view name;
    ArgType type;
    bool required;
    int min = 0;
    int max = INT_MAX;
    std::vector<std::string_view> choices = {}; // for strings and string lists; empty: any
};

struct CommandSpec {
    std::string_view name;
    std::vector<ArgSpec> args;
};

const std::vector<std::string_view> kTransportNames = {"udp", "tcp", "tls"};
const std::vector<std::string_view> kBridgeModes = {"dsp", "rtp"};
const std::vector<std::string_view> kDuplexNames = {"full", "half"};
const std::vector<std::string_view> kEncodingNames = {"linear", "ulaw", "alaw"};
const std::vector<std::string_view> kDTMFMethodNames = {"auto", "inband", "info", "rfc2833"};
const std::vector<std::string_view> kAccountFields = {"display",   "user",     "domain",  "proxy",
                                                      "auth_user", "password", "user_id", "transport"};
const std::vector<std::string_view> kWatchEvents = {"presence", "dialog"};
const std::vector<std::string_view> kUserAuthNames = {"proxy", "www", "none"};
const std::vector<std::string_view> kUserFields = {"password", "auth", "max_expires"};
// The legs of a proxied session: the caller's (incoming) and the callee's (outgoing).
const std::vector<std::string_view> kSessionLegs = {"caller", "callee"};
// Longer than any call is left ringing.
constexpr int kMaxRingTimeout = 3600;
// A user's own longest registration counts only between these (the site's limit applies anyway).
constexpr int kMinUserExpires = 10;
constexpr int kMaxUserExpires = 3600;
constexpr int kMaxMessageCount = 9999;
constexpr int kMinExpires = 10;
constexpr int kMaxExpires = 86400;
constexpr int kMaxRetrySeconds = 3600;
// The module reads only a directive beginning with 3 or 4 as an answer, and a 3xx would redirect
// without a Contact.
constexpr int kMinRejectCode = 400;
constexpr int kMaxRejectCode = 499;
const std::vector<std::string_view> kEventKindChoices(kEventKindNames.begin(), kEventKindNames.end());

// Every command and the arguments it takes besides "cmd" and "id".
const std::vector<CommandSpec>& command_table() {
    static const std::vector<CommandSpec> table = {
        {"auth", {{"token", ArgType::String, true}}},
        {"ping", {}},
        {"stats", {}},
        {"calls", {}},
        {"subscribe", {{"events", ArgType::StringList, false, 0, INT_MAX, kEventKindChoices}}},
        {"unsubscribe", {{"events", ArgType::StringList, false, 0, INT_MAX, kEventKindChoices}}},
        {"dial",
         {{"channel", ArgType::Integer, false},
          {"from", ArgType::String, false},
          {"to", ArgType::String, true},
          {"transport", ArgType::String, false, 0, INT_MAX, kTransportNames},
          {"user", ArgType::String, false},
          {"password", ArgType::String, false},
          {"srtp", ArgType::Boolean, false}}},
        {"answer", {{"channel", ArgType::Integer, true}}},
        {"ring", {{"channel", ArgType::Integer, true}}},
        {"hangup", {{"channel", ArgType::Integer, true}, {"cause", ArgType::Integer, false, 400, 699}}},
        {"bridge",
         {{"channel", ArgType::Integer, true},
          {"with", ArgType::Integer, true},
          {"mode", ArgType::String, false, 0, INT_MAX, kBridgeModes},
          {"duplex", ArgType::String, false, 0, INT_MAX, kDuplexNames}}},
        {"unbridge", {{"channel", ArgType::Integer, true}}},
        {"media-stats", {{"reset", ArgType::Boolean, false}}},
        {"play",
         {{"channel", ArgType::Integer, true},
          {"files", ArgType::StringList, true},
          {"loop", ArgType::Boolean, false},
          {"random", ArgType::Boolean, false},
          {"stop_digits", ArgType::String, false}}},
        {"record",
         {{"channel", ArgType::Integer, true},
          {"path", ArgType::String, true},
          {"format", ArgType::String, false, 0, INT_MAX, kEncodingNames},
          {"mixed", ArgType::Boolean, false},
          {"max_seconds", ArgType::Integer, false, 1, kMaxRecordSeconds},
          {"stop_digits", ArgType::String, false}}},
        {"stop-play", {{"channel", ArgType::Integer, true}}},
        {"stop-record", {{"channel", ArgType::Integer, true}}},
        {"send-dtmf",
         {{"channel", ArgType::Integer, true},
          {"digits", ArgType::String, true},
          {"method", ArgType::String, false, 0, INT_MAX, kDTMFMethodNames}}},
        {"collect",
         {{"channel", ArgType::Integer, true},
          {"max_digits", ArgType::Integer, false, 1, KZAPI::CKZDTMFControl::kMaxCollectedDigits},
          {"terminators", ArgType::String, false},
          {"timeout_ms", ArgType::Integer, false, 1, kMaxCollectTimeoutMs}}},
        {"detect-tones", {{"channel", ArgType::Integer, true}, {"on", ArgType::Boolean, true}}},
        {"vad",
         {{"channel", ArgType::Integer, true},
          {"in", ArgType::Boolean, false},
          {"out", ArgType::Boolean, false}}},
        {"gain",
         {{"channel", ArgType::Integer, true},
          {"in_db", ArgType::Integer, false, kMinGainDb, kMaxGainDb},
          {"out_db", ArgType::Integer, false, kMinGainDb, kMaxGainDb}}},
        {"hold", {{"channel", ArgType::Integer, true}}},
        {"resume", {{"channel", ArgType::Integer, true}}},
        {"transfer",
         {{"channel", ArgType::Integer, true},
          {"target", ArgType::String, false},
          {"replaces_channel", ArgType::Integer, false}}},
        {"redirect",
         {{"channel", ArgType::Integer, true},
          {"target", ArgType::String, true},
          {"code", ArgType::Integer, false, 300, 399},
          {"text", ArgType::String, false}}},
        {"accounts", {}},
        {"account-add",
         {{"user", ArgType::String, true},
          {"domain", ArgType::String, true},
          {"password", ArgType::String, false},
          {"auth_user", ArgType::String, false},
          {"display", ArgType::String, false},
          {"proxy", ArgType::String, false},
          {"expires", ArgType::Integer, false, kMinExpires, kMaxExpires},
          {"register", ArgType::Boolean, false},
          {"transport", ArgType::String, false, 0, INT_MAX, kTransportNames},
          {"retry", ArgType::Integer, false, 1, kMaxRetrySeconds}}},
        {"account-set",
         {{"account", ArgType::Integer, true, 1},
          {"field", ArgType::String, true, 0, INT_MAX, kAccountFields},
          {"value", ArgType::String, true}}},
        {"account-remove", {{"account", ArgType::Integer, true, 1}}},
        {"register", {{"account", ArgType::Integer, true, 1}}},
        {"unregister", {{"account", ArgType::Integer, true, 1}}},
        {"message",
         {{"text", ArgType::String, true},
          {"to", ArgType::String, true},
          {"from", ArgType::String, false},
          {"account", ArgType::Integer, false, 1}}},
        {"watch",
         {{"account", ArgType::Integer, true, 1},
          {"target", ArgType::String, true},
          {"event", ArgType::String, false, 0, INT_MAX, kWatchEvents},
          {"expires", ArgType::Integer, false, kMinExpires, kMaxExpires}}},
        {"unwatch", {{"account", ArgType::Integer, true, 1}, {"target", ArgType::String, true}}},
        {"sound-open", {{"channel", ArgType::Integer, true}}},
        {"sound-close", {{"channel", ArgType::Integer, true}}},
        {"mute", {{"on", ArgType::Boolean, true}}},
        {"devices", {}},
        {"users", {}},
        {"user-add",
         {{"site", ArgType::Integer, false, 1},
          {"user", ArgType::String, true},
          {"password", ArgType::String, false},
          {"auth", ArgType::String, false, 0, INT_MAX, kUserAuthNames},
          {"max_expires", ArgType::Integer, false, kMinUserExpires, kMaxUserExpires}}},
        {"user-set",
         {{"site", ArgType::Integer, false, 1},
          {"user", ArgType::String, true},
          {"field", ArgType::String, true, 0, INT_MAX, kUserFields},
          {"value", ArgType::String, true}}},
        {"user-remove", {{"site", ArgType::Integer, false, 1}, {"user", ArgType::String, true}}},
        {"mwi",
         {{"site", ArgType::Integer, false, 1},
          {"user", ArgType::String, true},
          {"waiting", ArgType::Boolean, true},
          {"account", ArgType::String, false},
          {"new", ArgType::Integer, false, 0, kMaxMessageCount},
          {"old", ArgType::Integer, false, 0, kMaxMessageCount},
          {"urgent_new", ArgType::Integer, false, 0, kMaxMessageCount},
          {"urgent_old", ArgType::Integer, false, 0, kMaxMessageCount}}},
        {"route-sessions", {{"enabled", ArgType::Boolean, true}}},
        {"route",
         {{"session", ArgType::Integer, true, 1},
          {"destination", ArgType::String, true},
          {"ring_timeout", ArgType::Integer, false, 1, kMaxRingTimeout}}},
        {"join",
         {{"session", ArgType::Integer, true, 1},
          {"leg", ArgType::String, true, 0, INT_MAX, kSessionLegs},
          {"with", ArgType::Integer, true, 1},
          {"with_leg", ArgType::String, true, 0, INT_MAX, kSessionLegs}}},
        {"reject",
         {{"session", ArgType::Integer, true, 1},
          {"code", ArgType::Integer, true, kMinRejectCode, kMaxRejectCode},
          {"reason", ArgType::String, false}}},
        {"sessions", {}},
    };
    return table;
}

const CommandSpec* find_command(std::string_view name) {
    for (const CommandSpec& spec : command_table())
        if (spec.name == name) return &spec;
    return nullptr;
}

const ArgSpec* find_argument(const CommandSpec& spec, std::string_view name) {
    for (const ArgSpec& arg : spec.args)
        if (arg.name == name) return &arg;
    return nullptr;
}

std::string in_quotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

bool is_choice(const ArgSpec& arg, const std::string& value) {
    return arg.choices.empty() ||
           std::find(arg.choices.begin(), arg.choices.end(), value) != arg.choices.end();
}

std::string choices_text(const ArgSpec& arg) {
    std::string text;
    for (std::string_view choice : arg.choices)
        text += (text.empty() ? "" : ", ") + std::string(choice);
    return text;
}

// "" when the value suits the argument, else why not.
std::string check_value(const ArgSpec& arg, const KZJson& value) {
    const std::string name = in_quotes(arg.name);
    switch (arg.type) {
    case ArgType::String:
        if (!value.is_string()) return name + " must be a string";
        if (!is_choice(arg, value.get<std::string>())) return name + " must be one of " + choices_text(arg);
        return "";
    case ArgType::Integer: {
        if (!value.is_number_integer()) return name + " must be an integer";
        // Positive numbers parse as unsigned and may exceed every signed type.
        const bool in_range = value.is_number_unsigned()
                                  ? value.get<uint64_t>() <= static_cast<uint64_t>(arg.max) &&
                                        static_cast<int64_t>(value.get<uint64_t>()) >= arg.min
                                  : value.get<int64_t>() >= arg.min && value.get<int64_t>() <= arg.max;
        if (!in_range && arg.max == INT_MAX) return name + " must be at least " + std::to_string(arg.min);
        if (!in_range)
            return name + " must be between " + std::to_string(arg.min) + " and " + std::to_string(arg.max);
        return "";
    }
    case ArgType::Boolean:
        return value.is_boolean() ? "" : name + " must be true or false";
    case ArgType::StringList:
        if (!value.is_array()) return name + " must be a list of strings";
        for (const KZJson& item : value) {
            if (!item.is_string()) return name + " must be a list of strings";
            if (!is_choice(arg, item.get<std::string>()))
                return "unknown event kind " + in_quotes(item.get<std::string>());
        }
        return "";
    }
    return "";
}

// "" when the command carries exactly the arguments its entry allows, each of its type.
std::string check_arguments(const CommandSpec& spec, const KZJson& command) {
    for (const auto& [key, value] : command.items()) {
        if (key == "cmd" || key == "id") continue;
        const ArgSpec* arg = find_argument(spec, key);
        if (!arg) return "unknown argument " + in_quotes(key) + " for " + std::string(spec.name);
        if (std::string why = check_value(*arg, value); !why.empty()) return why;
    }
    for (const ArgSpec& arg : spec.args)
        if (arg.required && !command.contains(arg.name)) return in_quotes(arg.name) + " is required";
    return "";
}

KZJson with_id(KZJson reply, const KZJson& command) {
    if (const auto id = command.find("id"); id != command.end() && !id->is_null()) reply["id"] = *id;
    return reply;
}

std::string string_or_empty(const KZJson& command, const char* name) {
    const auto it = command.find(name);
    return it == command.end() ? std::string() : it->get<std::string>();
}

KZTransport transport_named(const std::string& name) {
    if (name == "tcp") return KZTransport::Tcp;
    if (name == "tls") return KZTransport::Tls;
    return KZTransport::Udp;
}

KZEventMask mask_of(const KZJson& command) {
    const auto events = command.find("events");
    if (events == command.end()) return kAllEventKinds;
    KZEventMask mask = 0;
    for (const KZJson& name : *events)
        mask |= event_bit(*event_kind_named(name.get<std::string>()));
    return mask;
}

// false, or which side holds the call: "local", "remote" or "both".
KZJson held_value(const KZChannelStatus& c) {
    if (c.held_locally && c.held_by_remote) return "both";
    if (c.held_locally) return "local";
    if (c.held_by_remote) return "remote";
    return false;
}

KZJson subscription_reply(KZEventMask mask) {
    KZJson names = KZJson::array();
    for (unsigned k = 0; k < static_cast<unsigned>(KZEventKind::Count); ++k)
        if (mask & (1u << k)) names.push_back(kEventKindNames[k]);
    return {{"event", "subscribed"}, {"events", names}};
}

KZJson call_reply(const char* command, const KZCallOutcome& outcome) {
    if (!outcome.accepted) return error_event(outcome.reason);
    return {{"event", "ok"}, {"cmd", command}, {"channel", outcome.channel}};
}

// Compares every byte whatever the first difference, so the time taken tells nothing about it.
bool same_token(const std::string& offered, const std::string& expected) {
    if (expected.empty() || offered.size() != expected.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < offered.size(); ++i)
        difference |= static_cast<unsigned char>(offered[i] ^ expected[i]);
    return difference == 0;
}

// "" when the text is made of digit characters only and no longer than `limit`, else why not.
std::string check_digits(const KZJson& command, const char* name, size_t limit) {
    const std::string digits = string_or_empty(command, name);
    if (digits.find_first_not_of(kDigitCharacters) != std::string::npos)
        return in_quotes(name) + " may hold only 0-9, *, # and A-D";
    if (digits.size() > limit)
        return in_quotes(name) + " holds more than " + std::to_string(limit) + " digits";
    return "";
}

// "" when the path is one the host can open wherever it runs, else why not.
std::string check_path(const std::string& path) {
    if (path.empty() || path.front() != '/') return in_quotes(path) + " is not an absolute path";
    if (path.size() > kMaxPathLength)
        return "a path is longer than " + std::to_string(kMaxPathLength) + " characters";
    return "";
}

IKZAccounts& no_accounts() {
    static KZNoAccounts none;
    return none;
}

IKZSessions& no_sessions() {
    static KZNoSessions none;
    return none;
}

IKZUsers& no_users() {
    static KZNoUsers none;
    return none;
}

const char* redirect_text(int code) {
    if (code == 301) return "Moved Permanently";
    if (code == 302) return "Moved Temporarily";
    return "Redirection";
}

} // namespace

std::optional<KZEventKind> event_kind_named(std::string_view name) {
    for (size_t k = 0; k < kEventKindNames.size(); ++k)
        if (name == kEventKindNames[k]) return static_cast<KZEventKind>(k);
    return std::nullopt;
}

const char* event_kind_name(KZEventKind kind) {
    return kEventKindNames.at(static_cast<size_t>(kind));
}

KZJson error_event(std::string_view reason, const KZJson* id) {
    KZJson event = {{"event", "error"}, {"reason", reason}};
    if (id && !id->is_null()) event["id"] = *id;
    return event;
}

KZControlCommands::KZControlCommands(IKZHostQueries& host, IKZCallCommands& calls, std::string token,
                                     IKZAccounts* accounts, IKZUsers* users, IKZSessions* sessions)
    : m_host(host), m_calls(calls), m_accounts(accounts ? *accounts : no_accounts()),
      m_users(users ? *users : no_users()), m_sessions(sessions ? *sessions : no_sessions()),
      m_token(std::move(token)) {}

KZJson KZControlCommands::Execute(std::string_view line, KZClientSession& session) const {
    const KZJson command = KZJson::parse(line, nullptr, false);
    const auto refuse = [&](const std::string& reason) {
        if (!session.authenticated) session.close_after_reply = true;
        return error_event(session.authenticated ? reason : "authentication required",
                           command.is_object() && command.contains("id") ? &command["id"] : nullptr);
    };
    if (command.is_discarded()) return refuse("malformed JSON");
    if (!command.is_object()) return refuse("a command is a JSON object");
    const auto cmd = command.find("cmd");
    if (cmd == command.end()) return refuse("\"cmd\" is required");
    if (!cmd->is_string()) return refuse("\"cmd\" must be a string");
    const std::string name = cmd->get<std::string>();
    if (!session.authenticated && name != "auth") return refuse("authentication required");
    const CommandSpec* spec = find_command(name);
    if (!spec) return refuse("unknown command " + in_quotes(name));
    if (std::string why = check_arguments(*spec, command); !why.empty()) return refuse(why);
    return with_id(Run(name, command, session), command);
}

KZJson KZControlCommands::Run(const std::string& name, const KZJson& command,
                              KZClientSession& session) const {
    if (name == "auth") return Authenticate(command, session);
    if (name == "ping") return {{"event", "pong"}};
    if (name == "stats") return Stats();
    if (name == "calls") return Calls();
    if (name == "subscribe") {
        session.subscribed |= mask_of(command);
        return subscription_reply(session.subscribed);
    }
    if (name == "unsubscribe") {
        session.subscribed &= ~mask_of(command);
        return subscription_reply(session.subscribed);
    }
    if (name == "dial") return Dial(command);
    if (name == "bridge") return Bridge(command);
    if (name == "media-stats") return MediaStats(command);
    if (name == "play") return Play(command);
    if (name == "record") return Record(command);
    if (name == "send-dtmf") return SendDTMF(command);
    if (name == "collect") return Collect(command);
    if (name == "vad") return VoiceDetection(command);
    if (name == "transfer") return Transfer(command);
    if (name == "redirect") return Redirect(command);
    if (is_account_command(name)) return RunAccountCommand(name, command);
    if (is_sound_command(name)) return run_sound_command(m_sound, name, command);
    if (is_user_command(name)) return RunUserCommand(name, command);
    if (is_session_command(name)) return RunSessionCommand(name, command, session);
    const int channel = command["channel"].get<int>();
    if (name == "stop-play") return call_reply("stop-play", m_calls.StopPlay(channel));
    if (name == "stop-record") return call_reply("stop-record", m_calls.StopRecord(channel));
    if (name == "detect-tones")
        return call_reply("detect-tones", m_calls.DetectTones(channel, command["on"]));
    if (name == "gain")
        return call_reply("gain",
                          m_calls.Gain(channel, command.value("in_db", 0), command.value("out_db", 0)));
    if (name == "answer") return call_reply("answer", m_calls.Answer(channel));
    if (name == "ring") return call_reply("ring", m_calls.Ring(channel));
    if (name == "hold") return call_reply("hold", m_calls.Hold(channel, true));
    if (name == "resume") return call_reply("resume", m_calls.Hold(channel, false));
    if (name == "unbridge") return call_reply("unbridge", m_calls.Unbridge(channel));
    return call_reply("hangup", m_calls.Hangup(channel, command.value("cause", kNoCause)));
}

KZJson KZControlCommands::Authenticate(const KZJson& command, KZClientSession& session) const {
    if (session.authenticated) return {{"event", "authenticated"}};
    if (!same_token(command["token"].get<std::string>(), m_token)) {
        session.close_after_reply = true;
        return error_event("authentication failed");
    }
    session.authenticated = true;
    return {{"event", "authenticated"}};
}

KZJson KZControlCommands::Stats() const {
    KZ_SIPStackStats s{};
    if (!m_host.ReadStackStats(s)) return error_event("statistics are not available");
    return {{"event", "stats"},
            {"received", s.blocks_received},
            {"delivered", s.messages_delivered},
            {"external", s.external_messages},
            {"parse_failures", s.parse_failures},
            {"rejected", s.rejected},
            {"dropped", s.dropped_queue_full},
            {"queued_bytes", s.queued_bytes},
            {"queued_bytes_peak", s.queued_bytes_peak},
            {"queued_bytes_limit", s.queued_bytes_limit},
            {"undeliverable", s.undeliverable},
            {"undeliverable_dropped", s.undeliverable_dropped},
            {"dialogs", s.dialogs},
            {"stream_refusals", s.stream_refused_by_limits},
            {"stream_idle_closes", s.stream_idle_closes},
            {"stream_handshake_failures", s.stream_handshake_failures},
            {"stream_connect_failures", s.stream_connect_failures}};
}

KZJson KZControlCommands::Calls() const {
    KZJson channels = KZJson::array();
    for (const KZChannelStatus& c : m_host.ListChannels())
        channels.push_back({{"channel", c.channel},
                            {"protocol", c.protocol},
                            {"status", c.call_status},
                            {"state", call_status_name(c.call_status)},
                            {"idle", c.idle},
                            {"sip", c.sip_code},
                            {"direction", c.direction},
                            {"from", c.from},
                            {"to", c.to},
                            {"codec", c.codec},
                            {"held", held_value(c)},
                            {"media", c.media},
                            {"packets_sent", c.packets_sent},
                            {"packets_received", c.packets_received},
                            {"lost", c.lost},
                            {"jitter_ms", c.jitter_ms},
                            {"concealed", c.concealed},
                            {"bridged_to", c.bridged_to},
                            {"bridge", c.bridge},
                            {"crv", c.sip_crv},
                            {"call_id", c.call_id}});
    return {{"event", "calls"}, {"channels", channels}};
}

KZJson KZControlCommands::Bridge(const KZJson& command) const {
    const bool rtp = string_or_empty(command, "mode") == "rtp";
    const bool half = string_or_empty(command, "duplex") == "half";
    if (rtp && half) return error_event("an RTP bridge is full duplex only");
    KZJson reply = call_reply(
        "bridge", m_calls.Bridge(command["channel"].get<int>(), command["with"].get<int>(), rtp, half));
    if (reply["event"] == "bridge") reply["with"] = command["with"];
    return reply;
}

KZJson KZControlCommands::MediaStats(const KZJson& command) const {
    const KZMediaTiming t = m_host.ReadMediaTiming(command.value("reset", false));
    return {{"event", "media-stats"},
            {"send_intervals", t.intervals},
            {"send_jitter_p50_ms", t.send_jitter_p50_ms},
            {"send_jitter_p99_ms", t.send_jitter_p99_ms},
            {"send_jitter_max_ms", t.send_jitter_max_ms},
            {"dsp_ticks", t.ticks},
            {"dsp_late_p50_ms", t.dsp_late_p50_ms},
            {"dsp_late_p99_ms", t.dsp_late_p99_ms},
            {"dsp_late_max_ms", t.dsp_late_max_ms}};
}

KZJson KZControlCommands::Dial(const KZJson& command) const {
    KZDialRequest request;
    if (command.contains("channel")) request.channel = command["channel"].get<int>();
    request.from = string_or_empty(command, "from");
    request.to = command["to"].get<std::string>();
    request.transport = transport_named(string_or_empty(command, "transport"));
    request.user = string_or_empty(command, "user");
    request.password = string_or_empty(command, "password");
    request.srtp = command.value("srtp", false);
    return call_reply("dial", m_calls.Dial(request));
}

KZJson KZControlCommands::Play(const KZJson& command) const {
    KZPlayRequest request;
    request.channel = command["channel"].get<int>();
    request.files = command["files"].get<std::vector<std::string>>();
    request.loop = command.value("loop", false);
    request.random = command.value("random", false);
    request.stop_digits = string_or_empty(command, "stop_digits");
    if (request.files.empty()) return error_event("\"files\" names no file");
    if (request.files.size() > static_cast<size_t>(KZAPI::CKZAudioControl::kMaxPlayList))
        return error_event("\"files\" names more than " +
                           std::to_string(KZAPI::CKZAudioControl::kMaxPlayList) + " files");
    for (const std::string& file : request.files)
        if (std::string why = check_path(file); !why.empty()) return error_event(why);
    if (std::string why = check_digits(command, "stop_digits", kMaxStopDigits); !why.empty())
        return error_event(why);
    // A play that stops on digits runs through the digit collection, which plays the list once.
    if (!request.stop_digits.empty() && (request.loop || request.random))
        return error_event("a play with \"stop_digits\" neither loops nor shuffles");
    return call_reply("play", m_calls.Play(request));
}

KZJson KZControlCommands::Record(const KZJson& command) const {
    KZRecordRequest request;
    request.channel = command["channel"].get<int>();
    request.path = command["path"].get<std::string>();
    const std::string format = string_or_empty(command, "format");
    request.encoding = format == "ulaw"   ? KZRecordEncoding::Ulaw
                       : format == "alaw" ? KZRecordEncoding::Alaw
                                          : KZRecordEncoding::Linear;
    request.mixed = command.value("mixed", false);
    if (command.contains("max_seconds")) request.max_seconds = command["max_seconds"].get<int>();
    request.stop_digits = string_or_empty(command, "stop_digits");
    if (std::string why = check_path(request.path); !why.empty()) return error_event(why);
    if (std::string why = check_digits(command, "stop_digits", kMaxStopDigits); !why.empty())
        return error_event(why);
    return call_reply("record", m_calls.Record(request));
}

KZJson KZControlCommands::SendDTMF(const KZJson& command) const {
    const std::string digits = command["digits"].get<std::string>();
    if (digits.empty()) return error_event("\"digits\" is empty");
    if (std::string why = check_digits(command, "digits", kMaxSentDigits); !why.empty())
        return error_event(why);
    const std::string method = string_or_empty(command, "method");
    const KZDTMFMethod chosen = method == "inband"    ? KZDTMFMethod::Inband
                                : method == "info"    ? KZDTMFMethod::Info
                                : method == "rfc2833" ? KZDTMFMethod::Rfc2833
                                                      : KZDTMFMethod::Auto;
    return call_reply("send-dtmf", m_calls.SendDTMF(command["channel"].get<int>(), digits, chosen));
}

KZJson KZControlCommands::Collect(const KZJson& command) const {
    KZCollectRequest request;
    request.channel = command["channel"].get<int>();
    request.max_digits = command.value("max_digits", 0);
    request.terminators = string_or_empty(command, "terminators");
    request.timeout_ms = command.value("timeout_ms", 0u);
    if (std::string why = check_digits(command, "terminators", kMaxStopDigits); !why.empty())
        return error_event(why);
    // Without any of the three the collection would never end.
    if (request.max_digits == 0 && request.terminators.empty() && request.timeout_ms == 0)
        return error_event("collect needs \"max_digits\", \"terminators\" or \"timeout_ms\"");
    return call_reply("collect", m_calls.Collect(request));
}

KZJson KZControlCommands::VoiceDetection(const KZJson& command) const {
    const auto choice = [&command](const char* key) -> std::optional<bool> {
        if (!command.contains(key)) return std::nullopt;
        return command[key].get<bool>();
    };
    const std::optional<bool> in = choice("in"), out = choice("out");
    if (!in && !out) return error_event("vad needs \"in\" or \"out\"");
    return call_reply("vad", m_calls.VoiceDetection(command["channel"].get<int>(), in, out));
}

KZJson KZControlCommands::Transfer(const KZJson& command) const {
    KZTransferRequest request;
    request.channel = command["channel"].get<int>();
    request.target = string_or_empty(command, "target");
    if (command.contains("replaces_channel"))
        request.replaces_channel = command["replaces_channel"].get<int>();
    // Only an attended transfer can find its target by itself: the far end of the replaced call.
    if (!request.replaces_channel && !command.contains("target"))
        return error_event("\"target\" is required without \"replaces_channel\"");
    if (command.contains("target"))
        if (std::string why = check_sip_address(request.target, "target", {}); !why.empty())
            return error_event(why);
    if (request.replaces_channel == request.channel) return error_event("a call cannot replace itself");
    return call_reply("transfer", m_calls.Transfer(request));
}

KZJson KZControlCommands::Redirect(const KZJson& command) const {
    KZRedirectRequest request;
    request.channel = command["channel"].get<int>();
    request.target = command["target"].get<std::string>();
    request.code = command.value("code", kDefaultRedirectCode);
    request.text =
        command.contains("text") ? command["text"].get<std::string>() : redirect_text(request.code);
    if (std::string why = check_sip_address(request.target, "target", {}); !why.empty())
        return error_event(why);
    if (std::string why = check_field(request.text, "text", {kMaxReasonLength, true}); !why.empty())
        return error_event(why);
    return call_reply("redirect", m_calls.Redirect(request));
}

} // namespace kzapp
