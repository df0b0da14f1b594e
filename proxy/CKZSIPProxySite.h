// CKZSIPProxySite: a proxy site with users of its own. It is their registrar (REGISTER with
// digest challenges it issues itself), watches that registered UDP users stay reachable, sends
// them message-waiting notices and tells watchers about the dialogs of the users they watch.
#pragma once

#include "host/CKZAPIEnv.h"
#include "proxy/CKZSIPProxySessionManager.h"
#include "proxy/ProxyCredentials.h"
#include "proxy/ProxyDirective.h"
#include "proxy/ProxyNonce.h"
#include "proxy/ProxySourceGuard.h"
#include "proxy/ProxyUser.h"
#include "server/CKZSIPProxySiteI.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CKZSIPServer;
struct KZSIPEvent;

class CKZSIPProxySite : public CKZSIPProxySiteI {
public:
    CKZSIPProxySite(int number, std::vector<std::string> domains, const Options& options,
                    int max_reg_expire = 3600);

    // ---- the dispatch's entries ----
    void OnRegister(const ProxySiteRequest& request) override;
    bool AuthorizeSubscribe(const ProxySiteRequest& request, const char* watcher) override;
    void AddProxyUserSubscribedList(const char* watched, const char* watcher, const char* call_id,
                                    const char* to_tag, const char* from_tag, int lifetime,
                                    int64_t now) override;
    ProxySubscribeOutcome SubscribeMessageSummary(const ProxySiteRequest& request, const char* to_tag,
                                                  int lifetime) override;
    bool IsOKForProxyUser(sip_msg* message, int64_t now) override;
    void CheckProxyUserStatus(CKZSIPGroup* group, int64_t now) override;

    // ---- proxied calls ----
    int OnProxyNewCallSession(const ProxyNewCall& call) override;
    int TransferCall(const ProxyTransferTarget& target, uint32_t connection, sip_msg* invite,
                     CKZSIPGroup* group, const char* sender_address, uint16_t sender_port) override;
    CKZSIPProxySession* FindSession(uint32_t connection) const override;
    bool OnSessionEvent(CKZSIPGroup* group, const KZSIPEvent* event, int64_t now) override;
    // The same with the event's message already read (null when it could not be).
    bool OnSessionMessage(CKZSIPGroup* group, const KZSIPEvent* event, sip_msg* message, int64_t now);
    void CheckProxySessionStatus(CKZSIPGroup* group, int64_t now, bool timeouts_too) override;
    bool SetNewCallSessionAddr(uint32_t connection, const char* address) override;
    bool JoinSessions(CKZSIPGroup* group, uint32_t connection, int leg, CKZSIPProxySiteI& other_site,
                      uint32_t other_connection, int other_leg, int64_t now) override;
    // Reports the session's state to the application.
    virtual void OnProxyCallSessionStatus(CKZSIPProxySession& session);
    // The single end of every session: frees its media relay, reports the end to the application,
    // and removes and deletes it.
    void SaveAndRemoveSession(CKZSIPProxySession* session, int code, const char* reason);
    const CKZSIPProxySessionManager& Sessions() const { return m_sessions; }

    // ---- the application's operations ----
    unsigned SetUserInfo(const char* user, const char* password, int in_use) override;
    unsigned SetUserMsg(const char* user, int waiting, const char* account, int new_count, int old_count,
                        int urgent_new, int urgent_old) override;
    unsigned DisableAllUsers() override;
    unsigned SetUserAuthType(const char* user, int type) override;
    unsigned UpdateUserState(CKZSIPGroup* group, const char* user, const char* direction, const char* state,
                             int64_t now) override;
    unsigned SetUserAttr(const char* user, int attr, const char* value) override;

    // ---- registrar steps ----
    // The outcome of a REGISTER's check: whether its credentials held, and the lifetime granted
    // (0 when refused or removed).
    struct Verdict {
        bool credentials_ok = false;
        int lifetime = 0;
    };
    Verdict Verify_Register(CKZSIPGroup* group, ProxyUser& user, sip_msg* request,
                            const ProxyCredentials* credentials, const char* source_address,
                            uint16_t source_port, int64_t now);
    // Sends a 401 (www) or 407 challenge with a fresh nonce for the realm.
    bool Challenge(const ProxySiteRequest& request, bool www);
    // Whether the credentials answer a challenge of ours for the user's password.
    bool CheckCredentials(const ProxyUser& user, const ProxyCredentials& credentials, sip_msg* request,
                          int64_t now);
    // Stores a registration (lifetime 0 ends it) and tells the host.
    virtual void OnProxyUserRegistered(ProxyUser& user, int64_t now, int lifetime, const char* source_address,
                                       uint16_t source_port, const char* to, const char* from, int transport,
                                       const char* contact, const char* mapped_contact,
                                       const char* user_agent, int channel);

    // The user of that name (in use or not); null when none.
    ProxyUser* FindUser(const char* name);
    const ProxyUser* FindUser(const char* name) const;
    size_t UserCount() const { return m_users.size(); }

private:
    friend class CKZSIPProxySessionJoin;

    // How a call is to be routed: the directive's target and rewrite, and what the caller proved.
    struct RouteOrder {
        std::optional<std::string> target;
        std::optional<ProxyLegRewrite> rewrite;
        bool new_session = false;
        bool authenticated = false;
        std::string authenticated_user; // whom the caller's credentials proved it to be
        int ring_timeout = 0;
    };
    int RouteCall(const ProxyNewCall& call, const RouteOrder& order);
    // The caller's user record follows where its INVITE came from.
    void RefreshCaller(const ProxyNewCall& call, const RouteOrder& order);
    // Answers the caller (when code is not 0) and reports a call that ended before its session.
    void RefuseCall(const ProxyNewCall& call, int code, const char* reason, const char* end_text);
    // The callee's registered contact for the call: the contact, or the failure answered.
    std::optional<std::string> CalleeContact(const ProxyNewCall& call);
    // Fills the session's target and Request-URI from a contact; false without a host.
    static bool SetDestination(CKZSIPProxySession& session, const std::string& contact);
    // Routing from the outgoing INVITE on; false when it could not leave (the session is ended).
    bool SendOutgoingInvite(CKZSIPGroup* group, CKZSIPProxySession& session, int64_t now);
    bool ReserveMediaRelay(CKZSIPProxySession& session, sip_msg* invite);
    // Tells the relay where one side (the caller's or the callee's) receives, as the message's
    // SDP describes it.
    static void PointRelayAt(const CKZSIPProxySession& session, bool caller_side, sip_msg* described);
    void ContinueWithDestination(CKZSIPGroup* group, CKZSIPProxySession& session, const std::string& text,
                                 int64_t now);
    void HandToChannel(CKZSIPGroup* group, CKZSIPProxySession& session);
    KZAPI::CKZAPIEnv::ProxySessionReport Report(const CKZSIPProxySession& session) const;
    // Answers the caller's INVITE on the incoming leg.
    static bool AnswerCaller(CKZSIPGroup* group, CKZSIPProxySession& session, int code, const char* reason);
    // Answers the caller and ends the session with the same code and the end text.
    void FailSession(CKZSIPGroup* group, CKZSIPProxySession* session, int code, const char* reason,
                     const char* end_text);

    // ---- relaying (CKZSIPProxySite_relay.cpp) ----
    void OnSessionRequest(CKZSIPGroup* group, CKZSIPProxySession& session, const KZSIPEvent* event,
                          sip_msg* request);
    void OnSessionResponse(CKZSIPGroup* group, CKZSIPProxySession& session, const KZSIPEvent* event,
                           sip_msg* response);
    void OnSessionError(CKZSIPGroup* group, CKZSIPProxySession& session, const KZSIPEvent* event);
    void OnCalleeInviteAnswer(CKZSIPGroup* group, CKZSIPProxySession& session, int status, sip_msg* response);
    void OnCalleeAnswered(CKZSIPGroup* group, CKZSIPProxySession& session, sip_msg* response);
    void OnCalleeRefused(CKZSIPGroup* group, CKZSIPProxySession& session, int status, sip_msg* response);
    void OnCallerCancel(CKZSIPGroup* group, CKZSIPProxySession& session, sip_msg* cancel);
    void OnCallerAck(CKZSIPGroup* group, CKZSIPProxySession& session, sip_msg* ack);
    void RelayInDialogRequest(CKZSIPGroup* group, CKZSIPProxySession& session, uint32_t from_connection,
                              sip_msg* request);
    void RelayInDialogResponse(CKZSIPGroup* group, CKZSIPProxySession& session, int status,
                               sip_msg* response);
    // Sends a relayed message on the other leg; the relayed copy is built by the caller.
    bool RelayResponseToCaller(CKZSIPGroup* group, CKZSIPProxySession& session, sip_msg* response);
    bool CancelCallee(CKZSIPGroup* group, CKZSIPProxySession& session);
    // The outgoing INVITE again, answering the callee's challenge with the application's
    // credentials; false when it could not leave.
    bool ResendInviteWithCredentials(CKZSIPGroup* group, CKZSIPProxySession& session, int status,
                                     sip_msg* challenge);

    enum class AuthStep { Accepted, Answered };
    // The common part of REGISTER and SUBSCRIBE authentication: Accepted when the credentials
    // hold (or the user needs none); otherwise the request has been challenged (or dropped, when
    // its source is shut out). For a REGISTER
    // the accepted registration is recorded through Verify_Register and *lifetime set.
    AuthStep Authenticate(const ProxySiteRequest& request, const char* user_name, int* lifetime);
    void SendRegisterOK(const ProxySiteRequest& request, int lifetime);
    // Requested lifetime of a REGISTER: Expires, else the Contact's expires=, else 3600.
    static int RequestedLifetime(sip_msg* request);
    // Ends a registration whose lifetime passed without a refresh, and tells the host.
    void RegistrationRanOut(ProxyUser& user, int64_t now);
    void SendMessageSummary(CKZSIPGroup* group, ProxyUser& user, int64_t now);

    // ---- message-waiting subscriptions (CKZSIPProxySite_mwi.cpp) ----
    // Fills a new or refreshed subscription from its SUBSCRIBE.
    static void RecordMwiSubscription(ProxyMwiSubscription& subscription, const ProxySiteRequest& request,
                                      const char* to_tag, int lifetime);
    // Sends the user's counters in the subscription's dialog with that Subscription-State.
    bool SendMwiNotify(CKZSIPGroup* group, const ProxyUser& user, ProxyMwiSubscription& subscription,
                       const char* state, int64_t now);
    // Once a second: ends the subscriptions that ran out and sends the changes that are due.
    void ServeMwiSubscriptions(CKZSIPGroup* group, ProxyUser& user, int64_t now);
    // What tells an answer to one of those NOTIFYs (or the NOTIFY itself, come back unanswered).
    struct MwiNotifyAnswer {
        std::string call_id, from_tag, to_tag, status;
    };
    // Null unless the message is about a NOTIFY.
    static std::optional<MwiNotifyAnswer> ReadMwiNotifyAnswer(sip_msg* message);
    // An answer to a NOTIFY of one of the user's subscriptions; an error (or none) ends the
    // subscription (RFC 6665 4.1.3). False when it is not of one.
    bool OnMwiNotifyAnswer(ProxyUser& user, const MwiNotifyAnswer& answer);
    void CheckReachability(CKZSIPGroup* group, ProxyUser& user, int64_t now);
    bool SendOptions(CKZSIPGroup* group, ProxyUser& user, int64_t now);
    void NotifyDialogState(CKZSIPGroup* group, const ProxyUser& watched, const ProxyUser& watcher,
                           const ProxyDialogSubscriber& subscription, const char* direction,
                           const char* state);
    ProxyUser* ActiveUser(const char* name);
    // Counts a challenge to the request's source; false when the source has just been shut out.
    bool AdmitChallenge(const ProxySiteRequest& request);
    // Lets in again the sources whose shut-out has run out.
    void ReleaseShutOutSources(CKZSIPGroup* group, int64_t now);

    int m_max_reg_expire;
    std::vector<std::unique_ptr<ProxyUser>> m_users;
    ProxyNonceCounts m_nonce_counts;
    ProxySourceGuard m_sources;
    CKZSIPProxySessionManager m_sessions{this};
    // The second of the event or sweep being handled: the time of the state changes it makes.
    int64_t m_now = 0;
};
