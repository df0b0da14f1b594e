// CKZSIPProxySite: the once-a-second sweep of the sessions. Calls that wait too long for the
// callee, for a BYE's answer or for the application's destination are ended; a waiting call whose
// destination has been given goes on.
#include "proxy/CKZSIPProxySite.h"

#include "host/CKZLogInterface.h"
#include "proxy/CKZSIPProxySessionJoin.h"

#include <vector>

using State = ProxySessionState;

namespace {
// A state held this long without a change ends the session.
constexpr int64_t kStateTimeoutSeconds = 120;
} // namespace

void CKZSIPProxySite::CheckProxySessionStatus(CKZSIPGroup* group, int64_t now, bool timeouts_too) {
    if (!group) return;
    m_now = now;
    // Ending a session removes it: walk a list taken before.
    std::vector<CKZSIPProxySession*> sessions;
    for (size_t i = 0; i < m_sessions.Count(); ++i)
        sessions.push_back(m_sessions.Get(i));
    for (CKZSIPProxySession* session : sessions) {
        if (!m_sessions.Contains(session)) continue;
        const State state = session->State();
        if (state == State::AwaitingDestination && session->IsSignalled()) {
            if (const std::optional<std::string> text = session->TakeDestination())
                ContinueWithDestination(group, *session, *text, now);
            continue;
        }
        if (!timeouts_too) continue;
        const int64_t age = session->Age(now);
        if (session->InStates(State::Created, State::RingingRelayed)) {
            if (state == State::RingingRelayed && session->ring_timeout &&
                session->ring_timeout_seconds > 0 && age > session->ring_timeout_seconds) {
                if (CancelCallee(group, *session)) {
                    session->SetState(State::RingTimeoutCancelSent, now);
                    continue;
                }
            }
            if (age <= kStateTimeoutSeconds) continue;
            AnswerCaller(group, *session, 408, "Request Timeout");
            if (state >= State::TryingReceived) CancelCallee(group, *session);
            SaveAndRemoveSession(session, 408, "Request Timeout");
        } else if (session->InStates(State::ByeRelaying, State::ByeDone)) {
            if (age > kStateTimeoutSeconds)
                SaveAndRemoveSession(session, 408, "Request Timeout - Bye response timeout");
        } else if (state == State::JoinedBothAnswered && age > kStateTimeoutSeconds) {
            CKZSIPProxySessionJoin::OnTimeout(group, *this, *session, now);
        } else if (state == State::AwaitingDestination && age > kStateTimeoutSeconds) {
            FailSession(group, session, 408, "Request Timeout", "Request Timeout");
        }
    }
}
