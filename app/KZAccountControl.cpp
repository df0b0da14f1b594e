// The control socket's account, presence and message commands. Every argument is checked before
// the module is asked anything, so a refused command changes nothing.
#include "app/KZArgumentChecks.h"
#include "app/KZControlCommands.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace kzapp {

namespace {

// The module keeps account texts in 512-character fields; the limit leaves room for the brackets
// and parameters it adds.
constexpr size_t kMaxAccountText = 255;
// A message body, and a NOTIFY's, fits the module's 2048-character text fields.
constexpr size_t kMaxMessageText = 2047;
constexpr size_t kMaxUserIdText = 79;
constexpr int kDefaultWatchSeconds = 600;
constexpr int kDefaultAccount = 1;

constexpr std::array<const char*, 9> kAccountCommands = {"accounts",       "account-add", "account-set",
                                                         "account-remove", "register",    "unregister",
                                                         "message",        "watch",       "unwatch"};

// The spaces and angle brackets of a header field's name-addr stay out of its parts.
constexpr std::string_view kNoSpaces = "\" <>";
constexpr std::string_view kNoQuotes = "\"";
// A message body, unlike a header line, may hold line breaks; the module ends its text at a NUL.
constexpr std::string_view kNul("\0", 1);

std::string check_address(const std::string& address, const char* name, bool sip_only) {
    return check_sip_address(address, name, {.user_required = true, .scheme_required = sip_only});
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

KZFieldRule field_rule(const FieldRule& rule) {
    return {rule.limit, rule.required, rule.spaces_allowed ? kNoQuotes : kNoSpaces};
}

const FieldRule& rule_named(const std::string& name) {
    for (const FieldRule& rule : kFieldRules)
        if (name == rule.name) return rule;
    return kFieldRules.front(); // the table's choices let only these names through
}

std::string check_value(const FieldRule& rule, const std::string& value) {
    if (rule.field == KZAccountField::Transport)
        return value == "udp" || value == "tcp" || value == "tls" ? ""
                                                                  : "\"value\" must be one of udp, tcp, tls";
    return check_field(value, "value", field_rule(rule));
}

bool same_text_ignoring_case(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool watches(const std::vector<KZAccountStatus>& accounts, int account, const std::string& target) {
    for (const KZAccountStatus& a : accounts)
        if (a.account == account)
            for (const KZWatchStatus& w : a.watches)
                if (same_text_ignoring_case(w.target, target)) return true;
    return false;
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
        if (std::string why = check_field(*value, name, field_rule(rule_named(name))); !why.empty())
            return error_event(why);
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
    if (std::string why = check_field(request.text, "text", {kMaxMessageText, true, kNul, true});
        !why.empty())
        return error_event(why);
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
    // A second watch of the same party would only send a second SUBSCRIBE for the same state.
    if (watches(m_accounts.List(), request.account, request.target))
        return error_event("account " + std::to_string(request.account) + " already watches " +
                           request.target);
    KZJson reply = account_reply("watch", m_accounts.Watch(request));
    if (reply["event"] == "ok") reply["target"] = request.target;
    return reply;
}

} // namespace kzapp
