// CKZSIPProxySession: one relayed call. The incoming leg is the caller's INVITE, answered by this
// server; the outgoing leg is the INVITE this server sends on to the callee. The session keeps
// both legs' messages and connection ids, where each side is reached, the media relay it uses,
// and its state, which the dispatch and the once-a-second sweep move on.
#pragma once

#include "server/SIPMessagePtr.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CKZSIPProxySessionManager;
class CKZSIPProxySiteI;

// A join in progress (state 36): the leg a session keeps, the session it is joined with (its site
// and the connection of its kept leg), and how far the re-INVITE of the kept leg got. Kept outside
// the session class so that an optional of it can be declared inside.
enum class ProxyJoinStep { None, Offered, Answered, Refused, Restoring };
struct ProxyJoinState {
    int leg = 0;
    CKZSIPProxySiteI* partner_site = nullptr;
    uint32_t partner_connection = 0;
    ProxyJoinStep step = ProxyJoinStep::None;
    bool relay_owner = false;    // the joined call keeps this session's media relay
    bool other_leg_gone = false; // the leg to be released hung up meanwhile
    SIPMessagePtr answer;        // the kept party's answer to the join's offer
};

// The session states, numbered as stored and reported.
enum class ProxySessionState : int {
    Created = 1,
    TryingSent = 2,
    InviteSent = 3,
    TryingReceived = 4,
    RingingReceived = 6,
    RingingRelayed = 7,
    FinalReceived = 8,
    FinalRelayed = 9,
    AckRelaying = 10,
    AckRelayed = 11,
    Established = 12,
    ReInviteRelayed = 14,
    ReInviteAnswered = 15,
    ReInviteAnswerRelayed = 16,
    ReInviteAckRelaying = 17,
    ReInviteAckRelayed = 18,
    RequestRelaying = 19,
    RequestRelayed = 20,
    ByeRelaying = 23,
    ByeRelayed = 24,
    ByeAnswered = 25,
    ByeDone = 26,
    CallerCancelSent = 29,
    CancelledFinalAcked = 30,
    Cancelled = 31,
    RingTimeoutCancelSent = 32,
    RingTimeoutFinalAcked = 33,
    RingTimeoutDone = 34,
    AwaitingDestination = 35,
    JoinedBothAnswered = 36,
    KZ_SIP_PROXY_CONNECTION_DONE = 37,
};

// The application's rewrite of the outgoing leg ("From<", "To<", credentials and where to send);
// an empty From or To is left as the caller sent it.
struct ProxyLegRewrite {
    std::string from, to, user, password, request_uri, dest_ip;
    uint16_t dest_port = 0;
};

class CKZSIPProxySession {
public:
    static constexpr size_t kTextSize = 512;
    static constexpr int kNoSwitchGroup = -1;

    CKZSIPProxySession(CKZSIPProxySessionManager* manager, int64_t now);
    virtual ~CKZSIPProxySession();
    CKZSIPProxySession(const CKZSIPProxySession&) = delete;
    CKZSIPProxySession& operator=(const CKZSIPProxySession&) = delete;

    ProxySessionState State() const { return m_state; }
    int StateNumber() const { return static_cast<int>(m_state); }
    void SetState(ProxySessionState state, int64_t now);
    // Seconds since the last state change.
    int64_t Age(int64_t now) const { return now - m_state_time; }
    bool InStates(ProxySessionState low, ProxySessionState high) const {
        return m_state >= low && m_state <= high;
    }
    CKZSIPProxySessionManager* Manager() const { return m_manager; }

    // ---- the wake-up event: set from any thread, taken on the server thread ----
    void SignalDestination(const char* text);
    // The supplied text, once, when it was signalled.
    std::optional<std::string> TakeDestination();
    bool IsSignalled() const { return m_signalled.load(); }

    // Incoming leg.
    uint32_t in_connection = 0;
    SIPMessagePtr in_invite;
    std::string call_id;
    std::string caller_address; // where the caller's INVITE came from
    uint16_t caller_port = 0;
    std::string from, to, uri, via; // of the caller's INVITE, as reported

    // Outgoing leg.
    uint32_t out_connection = 0;
    SIPMessagePtr out_invite;
    std::string target;         // "<sip:...>" the outgoing INVITE is addressed to
    std::string request_uri;    // its Request-URI
    std::string callee_address; // where the outgoing leg's requests go
    uint16_t callee_port = 0;
    std::string callee_contact_uri; // the callee's Contact from its answer: later requests go there
    std::optional<ProxyLegRewrite> rewrite;
    int max_forwards = 70;
    std::string caller_user_agent;
    int caller_channel = -1;

    // The last response relayed to the caller, and the leg that sent a re-INVITE or request
    // being relayed now.
    SIPMessagePtr last_relayed;
    uint32_t relaying_from = 0;
    std::string relaying_method;

    int64_t start_time = 0;
    int64_t connect_time = 0;
    std::string text; // free text reported with the status

    bool ring_timeout = false;
    int ring_timeout_seconds = 0;
    void SetRingTimeout(int seconds) {
        ring_timeout = seconds > 0;
        ring_timeout_seconds = seconds > 0 ? seconds : 0;
    }

    // Media relay: the switch group and its two ports (caller side, callee side).
    bool media_relay = false;
    int switch_group = kNoSwitchGroup;
    uint16_t relay_port_caller = 0; // the caller sends its media here
    uint16_t relay_port_callee = 0; // the callee sends its media here
    std::string relay_address;

    // The application asked for a dialog of our own toward the callee ("NewSession"): the outgoing
    // leg gets a fresh Call-ID and From tag, so this server must stay in the call to translate.
    bool new_session = false;
    // Whether this server stays in the call's path (Record-Route) until its BYE.
    bool StaysInDialog(bool site_records_route) const { return site_records_route || new_session; }
    bool authenticated = false;
    bool credentials_sent = false; // the outgoing INVITE already answered a challenge

    // The last media description each party sent (its SDP as it sent it): what a join offers the
    // party it is joined to. Leg 0 is the incoming leg (the caller), leg 1 the outgoing one.
    SIPMessagePtr caller_media, callee_media;
    void NoteMedia(bool from_caller, sip_msg* message);
    sip_msg* MediaOf(int leg) const { return (leg == 0 ? caller_media : callee_media).get(); }
    uint32_t ConnectionOf(int leg) const { return leg == 0 ? in_connection : out_connection; }

    // A join in progress (state 36), when one is.
    using JoinStep = ProxyJoinStep;
    using Join = ProxyJoinState;
    std::optional<Join> join;
    // How many media offers of our own this session has made: each is a new SDP version.
    unsigned media_version_bump = 0;
    // Legs released by a join that still owe the answer to their BYE: swallowed here.
    std::vector<uint32_t> released;

private:
    CKZSIPProxySessionManager* m_manager;
    ProxySessionState m_state = ProxySessionState::Created;
    int64_t m_state_time = 0;

    std::mutex m_destination_mutex;
    std::string m_destination;
    std::atomic<bool> m_signalled{false};
};
