// What the control socket asks of the proxied call sessions of the module's sites (server mode):
// taking over their routing, answering a waiting call with a destination or a rejection, and
// listing the live ones. Sessions are named by the connection id of their incoming leg; sites
// are numbered from 1 here, as in their configuration keys.
#pragma once

#include "host/CKZAPIEnv.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kzapp {

// One live session as the "sessions" command lists it.
struct KZSessionStatus {
    uint32_t session = 0;
    int site = 1;
    int state = 0;
    std::string from, to, uri, text;
    int64_t start = 0, connect = 0;
    bool waiting = false; // held until a routing client answers it
    std::string dialog;   // "early" or "confirmed" as the watchers were told; "" before that
};

struct KZSessionOutcome {
    bool accepted = false;
    std::string reason; // why not, or where it went

    static KZSessionOutcome Accepted(std::string where) { return {true, std::move(where)}; }
    static KZSessionOutcome Refused(std::string reason) { return {false, std::move(reason)}; }
};

// A claim on the routing decisions: the application routes calls while at least one is held.
// It is released with the client that took it.
using KZRoutingLease = std::shared_ptr<void>;

class IKZSessions {
public:
    virtual ~IKZSessions() = default;
    virtual KZRoutingLease TakeRouting() = 0;
    // destination: a sip: URI, "registered" (the callee's own registration) or "channel";
    // ring_timeout: seconds a ringing callee is given (0: no limit).
    virtual KZSessionOutcome Route(uint32_t session, const std::string& destination, int ring_timeout) = 0;
    // Joins the leg of one established session with the leg of another (legs: 0 the caller's,
    // 1 the callee's); accepted when the module started the join.
    virtual KZSessionOutcome Join(uint32_t session, int leg, uint32_t with, int with_leg) = 0;
    virtual KZSessionOutcome Reject(uint32_t session, int code, const std::string& reason) = 0;
    virtual std::vector<KZSessionStatus> List() = 0;
};

// The module's questions and reports about sessions, as the host environment receives them
// (see KZAPI::CKZAPIEnv for their meaning; sites from 0).
class IKZSessionReports {
public:
    using Report = KZAPI::CKZAPIEnv::ProxySessionReport;
    virtual ~IKZSessionReports() = default;
    virtual std::optional<std::string> OnNewCall(const Report& call, const char* source_address,
                                                 uint16_t source_port, const char* user,
                                                 bool authenticated) = 0;
    virtual void OnStatus(const Report& session) = 0;
    virtual void OnEnd(const Report& session, int code, const char* reason) = 0;
};

// What the router needs of the module's server (sites from 0). Both return false when the
// server refuses.
class IKZProxyServer {
public:
    virtual ~IKZProxyServer() = default;
    virtual bool SetNewCallSessionAddr(int site, uint32_t session, const std::string& text) = 0;
    virtual bool UpdateUserState(int site, const std::string& user, const char* direction,
                                 const char* state) = 0;
    virtual bool ConnectCallSessions(int site, uint32_t session, int leg, int with_site, uint32_t with,
                                     int with_leg) = 0;
};

// Refuses every session command: for a host without proxy sites.
class KZNoSessions final : public IKZSessions {
public:
    static constexpr const char* kReason = "proxy sessions are not available";
    KZRoutingLease TakeRouting() override { return nullptr; }
    KZSessionOutcome Route(uint32_t, const std::string&, int) override {
        return KZSessionOutcome::Refused(kReason);
    }
    KZSessionOutcome Join(uint32_t, int, uint32_t, int) override {
        return KZSessionOutcome::Refused(kReason);
    }
    KZSessionOutcome Reject(uint32_t, int, const std::string&) override {
        return KZSessionOutcome::Refused(kReason);
    }
    std::vector<KZSessionStatus> List() override { return {}; }
};

} // namespace kzapp
