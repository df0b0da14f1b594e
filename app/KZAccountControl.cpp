// The control socket's account, presence and message commands. Every argument is checked before
// the module is asked anything, so a refused command changes nothing.
#include "app/KZControlCommands.h"

#include <array>

namespace kzapp {

namespace {

// The module keeps account texts in 512-character fields and addresses in header lines; these
// limits leave room for the brackets and parameters it adds.
constexpr size_t kMaxAccountText = 255;
constexpr size_t kMaxAddress = 255;
// A message body, and a NOTIFY's, fits the module's 2048-character text fields.
constexpr size_t kMaxMessageText = 2047;
constexpr size_t kMaxUserIdText = 79;
constexpr int kDefaultWatchSeconds = 600;
constexpr int kDefaultAccount = 1;

constexpr std::array<const char*, 9> kAccountCommands = {"accounts",       "account-add", "account-set",
                                                         "account-remove", "register",    "unregister",
                                                         "message",        "watch",       "unwatch"};

std::string quoted(const char* name) {
    return "\"" + std::string(name) + "\"";
}

bool is_control(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// "" when the text can stand in a header field: bounded, printable, without quotes and (when
// spaces_allowed is false) without spaces or angle brackets.
std::string check_field(const std::string& text, const char* name, size_t limit, bool spaces_allowed) {
    if (text.size() > limit) return quoted(name) + " is longer than " + std::to_string(limit) + " characters";
    for (const char c : text) {
        if (is_control(c)) return quoted(name) + " holds a control character";
        if (c == '"') return quoted(name) + " holds a quote";
        if (!spaces_allowed && (c == ' ' || c == '<' || c == '>'))
            return quoted(name) + " holds a space or an angle bracket";
    }
    return "";
}

std::string check_required_field(const std::string& text, const char* name, size_t limit) {
    if (text.empty()) return quoted(name) + " is empty";
    return check_field(text, name, limit, false);
}

// "" when the address is "sip:user@host[:port][;params]", in angle brackets or not, or (unless
// sip_only) a bare "user@host"; the module needs both a user and a host to address a request.
std::string check_address(const std::string& address, const char* name, bool sip_only) {
    if (address.empty()) return quoted(name) + " is empty";
    if (std::string why = check_field(address, name, kMaxAddress, true); !why.empty()) return why;
    std::string_view rest = address;
    const bool bracketed = rest.front() == '<';
    if (bracketed) {
        if (rest.back() != '>') return quoted(name) + " in angle brackets is a <sip:...> address";
        rest = rest.substr(1, rest.size() - 2);
    }
    const bool has_scheme = rest.substr(0, 4) == "sip:";
    if ((sip_only || bracketed) && !has_scheme) return quoted(name) + " is not a sip: address";
    if (has_scheme) rest = rest.substr(4);
    if (rest.find_first_of(" <>") != std::string_view::npos)
        return quoted(name) + " holds a space or an angle bracket";
    const size_t at = rest.find('@');
    if (at == std::string_view::npos || at == 0) return quoted(name) + " names no user";
    if (rest.substr(0, at).find(':') != std::string_view::npos)
        return quoted(name) + " is not a sip: address";
    const std::string_view host = rest.substr(at + 1);
    if (host.empty() || host.front() == ':' || host.front() == ';') return quoted(name) + " names no host";
    if (const size_t colon = host.find(':'); colon != std::string_view::npos) {
        const std::string_view port = host.substr(colon + 1, host.find(';', colon) - colon - 1);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos)
            return quoted(name) + " has no port after its colon";
    }
    return "";
}

std::string check_text(const std::string& text) {
    if (text.empty()) return "\"text\" is empty";
    if (text.size() > kMaxMessageText)
        return "\"text\" is longer than " + std::to_string(kMaxMessageText) + " characters";
    if (text.find('\0') != std::string::npos) return "\"text\" holds a NUL character";
    return "";
}

std::string text_of(const KZJson& command, const char* name) {
    const auto it = command.find(name);
    return it == command.end() ? std::string() : it->get<std::string>();
}

KZAccountTransport transport_of(const std::string& name) {
    if (name == "tcp") return KZAccountTransport::Tcp;
    if (name == "tls") return KZAccountTransport::Tls;
    return KZAccountTransport::Udp;
}

const char* transport_name(KZAccountTransport transport) {
    if (transport == KZAccountTransport::Tcp) return "tcp";
    if (transport == KZAccountTransport::Tls) return "tls";
    return "udp";
}

struct FieldRule {
    const char* name;
    KZAccountField field;
    size_t limit;
    bool required;       // an empty value is refused
    bool spaces_allowed; // display names and passwords
};

constexpr std::array<FieldRule, 8> kFieldRules = {{
    {"display", KZAccountField::Display, kMaxAccountText, false, true},
    {"user", KZAccountField::User, kMaxAccountText, true, false},
    {"domain", KZAccountField::Domain, kMaxAccountText, true, false},
    {"proxy", KZAccountField::Proxy, kMaxAccountText, false, false},
    {"auth_user", KZAccountField::AuthUser, kMaxAccountText, false, false},
    {"password", KZAccountField::Password, kMaxAccountText, false, true},
    {"user_id", KZAccountField::UserId, kMaxUserIdText, false, false},
    {"transport", KZAccountField::Transport, 3, true, false},
}};

const FieldRule& rule_named(const std::string& name) {
    for (const FieldRule& rule : kFieldRules)
        if (name == rule.name) return rule;
    return kFieldRules.front(); // the table's choices let only these names through
}

std::string check_value(const FieldRule& rule, const std::string& value) {
    if (rule.field == KZAccountField::Transport)
        return value == "udp" || value == "tcp" || value == "tls" ? ""
                                                                  : "\"value\" must be one of udp, tcp, tls";
    if (rule.required && value.empty()) return "\"value\" is empty";
    return check_field(value, "value", rule.limit, rule.spaces_allowed);
}

KZJson account_reply(const char* command, const KZAccountOutcome& outcome) {
    if (!outcome.accepted) return error_event(outcome.reason);
    return {{"event", "ok"}, {"cmd", command}, {"account", outcome.number}};
}

} // namespace

bool KZControlCommands::is_account_command(const std::string& name) {
    for (const char* known : kAccountCommands)
        if (name == known) return true;
    return false;
}

KZJson KZControlCommands::RunAccountCommand(const std::string& name, const KZJson& command) const {
    if (name == "accounts") return AccountList();
    if (name == "account-add") return AccountAdd(command);
    if (name == "message") return SendMessage(command);
    const int account = command["account"].get<int>();
    if (account > m_accounts.Count()) return error_event("no account " + std::to_string(account));
    if (name == "account-set") return AccountSet(command);
    if (name == "watch") return WatchTarget(command);
    if (name == "unwatch") {
        const std::string target = command["target"].get<std::string>();
        if (std::string why = check_address(target, "target", false); !why.empty()) return error_event(why);
        return account_reply("unwatch", m_accounts.Unwatch(account, target));
    }
    if (name == "account-remove") return account_reply("account-remove", m_accounts.Remove(account));
    if (name == "register") return account_reply("register", m_accounts.Register(account, true));
    return account_reply("unregister", m_accounts.Register(account, false));
}

KZJson KZControlCommands::AccountList() const {
    KZJson list = KZJson::array();
    for (const KZAccountStatus& a : m_accounts.List()) {
        KZJson watches = KZJson::array();
        for (const KZWatchStatus& w : a.watches)
            watches.push_back(
                {{"target", w.target}, {"event", w.event}, {"state", w.state}, {"seconds", w.seconds}});
        list.push_back({{"account", a.account},
                        {"user", a.user},
                        {"domain", a.domain},
                        {"proxy", a.proxy},
                        {"transport", transport_name(a.transport)},
                        {"state", a.state},
                        {"registered", a.state == "registered"},
                        {"seconds", a.seconds},
                        {"watches", watches}});
    }
    return {{"event", "accounts"}, {"accounts", list}};
}

KZJson KZControlCommands::AccountAdd(const KZJson& command) const {
    KZAccountRequest request;
    request.user = text_of(command, "user");
    request.domain = text_of(command, "domain");
    request.password = text_of(command, "password");
    request.auth_user = text_of(command, "auth_user");
    request.display = text_of(command, "display");
    request.proxy = text_of(command, "proxy");
    for (const auto& [name, value] :
         {std::pair{"user", &request.user}, std::pair{"domain", &request.domain},
          std::pair{"password", &request.password}, std::pair{"auth_user", &request.auth_user},
          std::pair{"display", &request.display}, std::pair{"proxy", &request.proxy}}) {
        const FieldRule& rule = rule_named(name);
        const std::string why = rule.required ? check_required_field(*value, name, rule.limit)
                                              : check_field(*value, name, rule.limit, rule.spaces_allowed);
        if (!why.empty()) return error_event(why);
    }
    request.expires = command.value("expires", request.expires);
    request.register_it = command.value("register", true);
    request.transport = transport_of(text_of(command, "transport"));
    if (command.contains("retry")) request.retry = command["retry"].get<int>();
    return account_reply("account-add", m_accounts.Add(request));
}

KZJson KZControlCommands::AccountSet(const KZJson& command) const {
    const int account = command["account"].get<int>();
    const FieldRule& rule = rule_named(command["field"].get<std::string>());
    const std::string value = command["value"].get<std::string>();
    if (std::string why = check_value(rule, value); !why.empty()) return error_event(why);
    KZJson reply = account_reply("account-set", m_accounts.Set(account, rule.field, value));
    if (reply["event"] == "ok") reply["field"] = rule.name;
    return reply;
}

KZJson KZControlCommands::SendMessage(const KZJson& command) const {
    KZMessageRequest request;
    request.account = command.value("account", kDefaultAccount);
    request.to = command["to"].get<std::string>();
    request.from = text_of(command, "from");
    request.text = command["text"].get<std::string>();
    if (request.account > m_accounts.Count())
        return error_event("no account " + std::to_string(request.account));
    if (std::string why = check_address(request.to, "to", true); !why.empty()) return error_event(why);
    if (command.contains("from"))
        if (std::string why = check_address(request.from, "from", true); !why.empty())
            return error_event(why);
    if (std::string why = check_text(request.text); !why.empty()) return error_event(why);
    const KZAccountOutcome outcome = m_accounts.SendMessage(request);
    if (!outcome.accepted) return error_event(outcome.reason);
    return {{"event", "ok"}, {"cmd", "message"}, {"account", request.account}, {"message", outcome.number}};
}

KZJson KZControlCommands::WatchTarget(const KZJson& command) const {
    KZWatchRequest request;
    request.account = command["account"].get<int>();
    request.target = command["target"].get<std::string>();
    request.dialog = text_of(command, "event") == "dialog";
    request.expires = command.value("expires", kDefaultWatchSeconds);
    if (std::string why = check_address(request.target, "target", false); !why.empty())
        return error_event(why);
    KZJson reply = account_reply("watch", m_accounts.Watch(request));
    if (reply["event"] == "ok") reply["target"] = request.target;
    return reply;
}

} // namespace kzapp
