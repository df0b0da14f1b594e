// Feeds arbitrary SIP text to a proxy site as a REGISTER and as a SUBSCRIBE for one of its users,
// with the site's digest options (qop, opaque) and its user's authentication type picked by the
// input, then lets time pass over the registrations. Answers go out through a stack that is open
// but not started, towards 127.0.0.1 only; names are never looked up.
//
// Checks: the credentials read are only complete with every part present; a granted lifetime
// is never negative nor above the site's longest.
//
// Input: the first byte picks qop (bit 0), opaque (bit 1), the user's authentication type
// (bits 2-3) and how far time moves (bits 4-7); the rest is the SIP text.
#include "fuzz_loopback_group.h"
#include "proxy/CKZSIPProxySite.h"
#include "proxy/ProxyCredentials.h"
#include "server/CKZSIPGroup.h"
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <vector>

namespace {

constexpr int kMaxRegExpire = 3600;

CKZSIPGroup& fuzz_group() {
    static CKZSIPGroup* group = kzfuzz::open_loopback_group();
    return *group;
}

// A site that checks every registration it records.
class CheckedSite final : public CKZSIPProxySite {
public:
    using CKZSIPProxySite::CKZSIPProxySite;
    void OnProxyUserRegistered(ProxyUser& user, int64_t now, int lifetime, const char* source_address,
                               uint16_t source_port, const char* to, const char* from, int transport,
                               const char* contact, const char* mapped_contact, const char* user_agent,
                               int channel) override {
        if (lifetime < 0 || lifetime > kMaxRegExpire) __builtin_trap();
        CKZSIPProxySite::OnProxyUserRegistered(user, now, lifetime, source_address, source_port, to, from,
                                               transport, contact, mapped_contact, user_agent, channel);
    }
};

void check_credentials(sip_msg& message) {
    const auto credentials = ProxyCredentials::Read(&message);
    if (!credentials) return;
    if (credentials->IsComplete() &&
        (credentials->username.empty() || credentials->realm.empty() || credentials->nonce.empty() ||
         credentials->uri.empty() || credentials->response.empty()))
        __builtin_trap();
    (void)credentials->FollowsChallenge(true, true);
    (void)credentials->FollowsChallenge(false, false);
    if (credentials->ExpectedResponse("pw-alice", "REGISTER").size() > 39) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    CKZSIPGroup& group = fuzz_group();
    CKZSIPProxySiteOptions options;
    options.register_qop = (data[0] & 1) != 0;
    options.register_opaque = (data[0] & 2) != 0;
    options.check_user_status = true;
    CheckedSite site(0, {"127.0.0.1"}, options, kMaxRegExpire);
    site.SetUserInfo("alice", "pw-alice", 1);
    site.SetUserInfo("open", "", 1);
    site.SetUserAuthType("open", ProxyUser::AUTH_NONE);
    site.SetUserAuthType("alice", (data[0] >> 2) & 3);

    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    sip_msg message;
    KZSIPEvent event{};
    message.init_from_buf(text.data(), &event);
    check_credentials(message);

    const int64_t now = 1000;
    const ProxySiteRequest request{&group, &message, 0, "127.0.0.1", "127.0.0.1", 5062, now};
    site.OnRegister(request);
    (void)site.AuthorizeSubscribe(request, "alice");
    (void)site.IsOKForProxyUser(&message, now);
    site.CheckProxyUserStatus(&group, now + 60 * (data[0] >> 4));
    return 0;
}
