// The control socket's proxy-user commands (server mode). Every argument is checked before the
// module is asked anything, so a refused command changes nothing.
#include "app/KZArgumentChecks.h"
#include "app/KZControlCommands.h"

#include <array>

namespace kzapp {

namespace {

// The module keeps user names and passwords in 80-character fields.
constexpr size_t kMaxUserText = 79;
constexpr size_t kMaxAccountText = 255;
constexpr int kDefaultSite = 1;

constexpr std::array<const char*, 5> kUserCommands = {"users", "user-add", "user-set", "user-remove", "mwi"};

const char* auth_name(KZUserAuth auth) {
    return auth == KZUserAuth::Www ? "www" : auth == KZUserAuth::None ? "none" : "proxy";
}

KZUserAuth auth_named(const std::string& name) {
    return name == "www" ? KZUserAuth::Www : name == "none" ? KZUserAuth::None : KZUserAuth::Proxy;
}

// User names stand in the module's fields and in the user part of SIP addresses.
constexpr KZFieldRule kUserName{kMaxUserText, true, "\" <>@:;"};
constexpr KZFieldRule kUserText{kMaxUserText, false, "\""};
constexpr KZFieldRule kAccountText{kMaxAccountText, false, "\""};

std::string text_or_empty(const KZJson& command, const char* name) {
    const auto it = command.find(name);
    return it == command.end() ? std::string() : it->get<std::string>();
}

KZJson user_reply(const char* command, const std::string& user, const KZAccountOutcome& outcome) {
    if (!outcome.accepted) return error_event(outcome.reason);
    return {{"event", "ok"}, {"cmd", command}, {"site", outcome.number}, {"user", user}};
}

} // namespace

bool KZControlCommands::is_user_command(const std::string& name) {
    for (const char* known : kUserCommands)
        if (name == known) return true;
    return false;
}

KZJson KZControlCommands::RunUserCommand(const std::string& name, const KZJson& command) const {
    if (name == "users") return UserList();
    const int site = command.value("site", kDefaultSite);
    const std::string user = command["user"].get<std::string>();
    if (std::string why = check_field(user, "user", kUserName); !why.empty()) return error_event(why);
    if (name == "user-add") {
        KZUserRequest request{site, user, text_or_empty(command, "password"),
                              auth_named(command.value("auth", std::string("proxy"))), std::nullopt};
        if (command.contains("max_expires")) request.max_expires = command["max_expires"].get<int>();
        if (std::string why = check_field(request.password, "password", kUserText); !why.empty())
            return error_event(why);
        return user_reply("user-add", user, m_users.Add(request));
    }
    if (name == "user-set") {
        const std::string field = command["field"].get<std::string>();
        const std::string value = command["value"].get<std::string>();
        if (std::string why = check_field(value, "value", kUserText); !why.empty()) return error_event(why);
        KZUserField which = KZUserField::Password;
        if (field == "auth") {
            if (value != "proxy" && value != "www" && value != "none")
                return error_event("\"value\" of auth must be one of proxy, www, none");
            which = KZUserField::Auth;
        } else if (field == "max_expires") {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
                value.size() > 5)
                return error_event("\"value\" of max_expires must be a number of seconds");
            which = KZUserField::MaxExpires;
        }
        return user_reply("user-set", user, m_users.Set(site, user, which, value));
    }
    if (name == "user-remove") return user_reply("user-remove", user, m_users.Remove(site, user));
    KZMwiRequest mwi{site,
                     user,
                     command["waiting"].get<bool>(),
                     text_or_empty(command, "account"),
                     command.value("new", 0),
                     command.value("old", 0),
                     command.value("urgent_new", 0),
                     command.value("urgent_old", 0)};
    if (std::string why = check_field(mwi.account, "account", kAccountText); !why.empty())
        return error_event(why);
    return user_reply("mwi", user, m_users.Mwi(mwi));
}

KZJson KZControlCommands::UserList() const {
    KZJson list = KZJson::array();
    for (const KZUserStatus& u : m_users.List())
        list.push_back({{"site", u.site},
                        {"user", u.user},
                        {"auth", auth_name(u.auth)},
                        {"registered", u.registered},
                        {"seconds", u.seconds},
                        {"contact", u.contact}});
    return {{"event", "users"}, {"users", list}};
}

} // namespace kzapp
