// Joining two established proxied calls into one (third-party call control in the manner of
// RFC 3725): of session 1 (A-B) leg X is kept, of session 2 (C-D) leg Y. Both kept parties get a
// re-INVITE at once whose offer is the other's last media description (pointed at the media
// relay when the joined call relays media); the session waits in state 36 for both answers.
// When both accept, the two released legs get a BYE, the two sessions end ("Success - Joined")
// and one new session carries X-Y on: its requests, BYE and end report are those of any session.
// When either refuses (491, 488, ...) the join fails and both sessions go on as they were: a
// party that had already accepted is offered its old peer's media again.
#pragma once

#include <cstdint>

class CKZSIPGroup;
class CKZSIPProxySession;
class CKZSIPProxySite;
class sip_msg;
struct KZSIPEvent;

class CKZSIPProxySessionJoin {
public:
    // Sends both re-INVITEs; false (and nothing changed) when either session is not established,
    // a leg is not 0 or 1, a kept party's media is unknown or the first re-INVITE cannot leave.
    static bool Start(CKZSIPGroup* group, CKZSIPProxySite& site1, uint32_t connection1, int leg1,
                      CKZSIPProxySite& site2, uint32_t connection2, int leg2, int64_t now);
    // A request or response on a session that is joining (state 36).
    static void OnRequest(CKZSIPGroup* group, CKZSIPProxySite& site, CKZSIPProxySession& session,
                          uint32_t connection, sip_msg* request, int64_t now);
    static void OnResponse(CKZSIPGroup* group, CKZSIPProxySite& site, CKZSIPProxySession& session,
                           uint32_t connection, sip_msg* response, int64_t now);
    // The answer to the BYE of a leg a join released, or a request that crossed it.
    static void OnReleasedLeg(CKZSIPGroup* group, CKZSIPProxySession& session, uint32_t connection,
                              sip_msg* message, bool request);
    // A kept party that never answers the join's re-INVITE: the join is given up.
    static void OnTimeout(CKZSIPGroup* group, CKZSIPProxySite& site, CKZSIPProxySession& session,
                          int64_t now);

private:
    // Both kept parties accepted: the released legs get their BYE and the joined call goes on.
    static void Complete(CKZSIPGroup* group, CKZSIPProxySession& a, CKZSIPProxySession& b, int64_t now);
};
