// What the control socket asks of the users of the module's proxy sites (server mode): adding,
// changing, taking out of service and listing them, and their message-waiting counters. Sites are
// numbered from 1 here, as in their configuration keys.
#pragma once

#include "app/KZAccountCommands.h"

#include <optional>
#include <string>
#include <vector>

namespace kzapp {

// How a user proves who it is: challenged with 407, with 401, or not at all.
enum class KZUserAuth { Proxy = 0, Www = 1, None = 2 };

struct KZUserStatus {
    int site = 1;
    std::string user;
    KZUserAuth auth = KZUserAuth::Proxy;
    bool registered = false;
    int seconds = 0; // granted, while registered
    std::string contact;
};

struct KZUserRequest {
    int site = 1;
    std::string user, password;
    KZUserAuth auth = KZUserAuth::Proxy;
    std::optional<int> max_expires; // none: the site's limit only
};

// The fields a user-set may change.
enum class KZUserField { Password, Auth, MaxExpires };

struct KZMwiRequest {
    int site = 1;
    std::string user;
    bool waiting = false;
    std::string account; // the Message-Account of the notice; may be empty
    int new_count = 0, old_count = 0, urgent_new = 0, urgent_old = 0;
};

class IKZUsers {
public:
    virtual ~IKZUsers() = default;
    virtual std::vector<KZUserStatus> List() = 0;
    virtual KZAccountOutcome Add(const KZUserRequest& request) = 0;
    virtual KZAccountOutcome Set(int site, const std::string& user, KZUserField field,
                                 const std::string& value) = 0;
    virtual KZAccountOutcome Remove(int site, const std::string& user) = 0;
    virtual KZAccountOutcome Mwi(const KZMwiRequest& request) = 0;
};

// Refuses every user command: for a host without proxy sites.
class KZNoUsers final : public IKZUsers {
public:
    static constexpr const char* kReason = "proxy users are not available";
    std::vector<KZUserStatus> List() override { return {}; }
    KZAccountOutcome Add(const KZUserRequest&) override { return KZAccountOutcome::Refused(kReason); }
    KZAccountOutcome Set(int, const std::string&, KZUserField, const std::string&) override {
        return KZAccountOutcome::Refused(kReason);
    }
    KZAccountOutcome Remove(int, const std::string&) override { return KZAccountOutcome::Refused(kReason); }
    KZAccountOutcome Mwi(const KZMwiRequest&) override { return KZAccountOutcome::Refused(kReason); }
};

} // namespace kzapp
