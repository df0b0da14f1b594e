// CKZSIPProxySite: relaying a session's messages between its legs. Responses of the callee to the
// outgoing INVITE go back to the caller; the caller's ACK and CANCEL go on to the callee; once the
// call is established, requests of either side go to the other and their answers come back.
#include "proxy/CKZSIPProxySite.h"

#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "proxy/CKZSIPProxySessionJoin.h"
#include "proxy/CKZSIPProxySessionRoute.h"
#include "proxy/ProxyMediaRelay.h"
#include "proxy/ProxySessionMessages.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/SIPElement.h"
#include "server/SIPReceivedMessage.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using KZAPI::CKZLogInterface;
using State = ProxySessionState;

namespace {

constexpr unsigned kError = CKZLogInterface::LOG_ERROR;
constexpr unsigned kTrace = CKZLogInterface::LOG_TRACE;

int status_of(sip_msg* response) {
    return std::atoi(sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE).c_str());
}

bool is_method(sip_msg* message, const char* method, uint32_t element = KZ_IE_SIP_REQUEST_LINE_METHOD) {
    return KZAPI::iequals(sip_element(message, element), method);
}

// Where a relayed request for one side goes: the URI, and the address and port it is sent to.
struct Hop {
    std::string uri, address;
    uint16_t port = 0;
};

Hop toward_callee(const CKZSIPProxySession& s) {
    Hop hop{s.callee_contact_uri.empty() ? s.request_uri : s.callee_contact_uri, s.callee_address,
            s.callee_port};
    std::string host;
    uint16_t port = 0;
    if (!s.callee_contact_uri.empty() && proxy_msg::URIHostPort(s.callee_contact_uri, &host, &port)) {
        hop.address = host;
        hop.port = port;
    }
    return hop;
}

Hop toward_caller(const CKZSIPProxySession& s) {
    return {proxy_msg::BareURI(sip_element(s.in_invite.get(), KZ_IE_SIP_CONTACT)), s.caller_address,
            s.caller_port};
}

// From and To of a message toward the caller as the caller's INVITE had them, where the
// application rewrote them for the callee.
void restore_caller_view(const CKZSIPProxySession& s, sip_msg* message) {
    if (!s.rewrite) return;
    CKZSIPGroup::CopyIE_STR(s.in_invite.get(), message, KZ_IE_SIP_FROM, 0, 0);
    CKZSIPGroup::CopyIE_STR(s.in_invite.get(), message, KZ_IE_SIP_TO, 0, 0);
}

} // namespace

CKZSIPProxySession* CKZSIPProxySite::FindSession(uint32_t connection) const {
    return m_sessions.FindByConnection(connection);
}

bool CKZSIPProxySite::OnSessionEvent(CKZSIPGroup* group, const KZSIPEvent* event, int64_t now) {
    if (!group || !event || !m_sessions.FindByConnection(event->connection_id)) return false;
    const bool message_event = event->event_type == KZ_EVENT_SIP_MESSAGE_REQUEST ||
                               event->event_type == KZ_EVENT_SIP_MESSAGE_RESPONSE;
    if (!message_event) return OnSessionMessage(group, event, nullptr, now);
    SIPReceivedMessage message(group, event);
    return OnSessionMessage(group, event, message.get(), now);
}

bool CKZSIPProxySite::OnSessionMessage(CKZSIPGroup* group, const KZSIPEvent* event, sip_msg* message,
                                       int64_t now) {
    if (!group || !event) return false;
    m_now = now;
    CKZSIPProxySession* session = m_sessions.FindByConnection(event->connection_id);
    if (!session) return false;
    const bool request = event->event_type == KZ_EVENT_SIP_MESSAGE_REQUEST;
    if (!request && event->event_type != KZ_EVENT_SIP_MESSAGE_RESPONSE) {
        // A join's re-INVITE that is never answered fails the join, not the call.
        if (session->State() == State::JoinedBothAnswered && session->join &&
            event->connection_id == session->ConnectionOf(session->join->leg))
            CKZSIPProxySessionJoin::OnTimeout(group, *this, *session, now);
        else
            OnSessionError(group, *session, event);
        return true;
    }
    const uint32_t connection = event->connection_id;
    if (message && std::find(session->released.begin(), session->released.end(), connection) !=
                       session->released.end()) {
        CKZSIPProxySessionJoin::OnReleasedLeg(group, *session, connection, message, request);
        return true;
    }
    if (message && session->State() == State::JoinedBothAnswered) {
        if (request)
            CKZSIPProxySessionJoin::OnRequest(group, *this, *session, connection, message, now);
        else
            CKZSIPProxySessionJoin::OnResponse(group, *this, *session, connection, message, now);
        return true;
    }
    if (!message) {
        if (request && session->State() == State::Established)
            SaveAndRemoveSession(session, 400, "Bad Request - ProcessProxySIP_Request#1");
        return true;
    }
    if (request)
        OnSessionRequest(group, *session, event, message);
    else
        OnSessionResponse(group, *session, event, message);
    return true;
}

// ---- requests ----

void CKZSIPProxySite::OnSessionRequest(CKZSIPGroup* group, CKZSIPProxySession& session,
                                       const KZSIPEvent* event, sip_msg* request) {
    const uint32_t connection = event->connection_id;
    const bool from_caller = connection == session.in_connection;
    const State state = session.State();
    if (is_method(request, "INVITE")) {
        CKZLogInterface::Log(kTrace, "<< ------ SIP_REQUEST_INVITE, Session %d already exists in status %d",
                             static_cast<int>(connection), session.StateNumber());
        if (from_caller && session.InStates(State::Created, State::InviteSent)) {
            CKZLogInterface::Log(kTrace,
                                 "Resend trying to originating side because of duplicated INVITE message!");
            group->SIP_Send1xx(request, connection, "100", "Trying");
        } else if (state == State::Established) {
            RelayInDialogRequest(group, session, connection, request);
        }
        return;
    }
    if (is_method(request, "CANCEL")) {
        if (from_caller && (state < State::FinalReceived || state == State::AwaitingDestination))
            return OnCallerCancel(group, session, request);
        // Too late to cancel anything: the CANCEL itself is still answered.
        group->SIP_SendOK(request, connection, false, "", -1);
        return;
    }
    if (is_method(request, "ACK")) {
        if (from_caller && state == State::FinalRelayed) return OnCallerAck(group, session, request);
        if (state == State::ReInviteAnswerRelayed && connection == session.relaying_from)
            RelayInDialogRequest(group, session, connection, request);
        return;
    }
    if (is_method(request, "BYE")) {
        if (session.InStates(State::FinalRelayed, State::Established))
            RelayInDialogRequest(group, session, connection, request);
        return;
    }
    if (state == State::Established) RelayInDialogRequest(group, session, connection, request);
}

void CKZSIPProxySite::OnCallerCancel(CKZSIPGroup* group, CKZSIPProxySession& session, sip_msg* cancel) {
    group->SIP_Send4xx(cancel, session.in_connection, "487", "Request Terminated");
    group->SIP_SendOK(cancel, session.in_connection, false, "", -1);
    if (session.State() >= State::TryingReceived && session.State() != State::AwaitingDestination &&
        CancelCallee(group, session)) {
        session.SetState(State::CallerCancelSent, m_now);
        return;
    }
    SaveAndRemoveSession(&session, 487, "Call cancelled");
}

bool CKZSIPProxySite::CancelCallee(CKZSIPGroup* group, CKZSIPProxySession& session) {
    uint32_t connection = 0;
    if (!session.out_invite || group->GetConnectionId(&connection) != 0 || connection == 0) return false;
    if (!group->SIP_SendCancel(session.out_invite.get(), connection, session.out_connection)) return false;
    // The stack moves the outgoing dialog to the CANCEL's connection id.
    session.out_connection = connection;
    return true;
}

void CKZSIPProxySite::OnCallerAck(CKZSIPGroup* group, CKZSIPProxySession& session, sip_msg* ack) {
    const int64_t now = m_now;
    session.SetState(State::AckRelaying, now);
    session.NoteMedia(true, ack); // a caller that made no offer answers in its ACK
    SIPMessagePtr relayed = proxy_msg::Copy(ack);
    if (!relayed)
        return SaveAndRemoveSession(&session, 500, "Server Internal Error - ProcessSIPEvent_REQUEST_ACK#1");
    sip_msg* m = relayed.get();
    const Hop hop = toward_callee(session);
    const int max_forwards =
        proxy_msg::MaxForwards(ack, "There is no Max-Forwards header in SIP Request message.");
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_MAX_FORWARDS, 0, std::to_string(max_forwards - 1).c_str());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_REQUEST_LINE_URI, 0, hop.uri.c_str());
    proxy_msg::RemoveAll(m, KZ_IE_SIP_ROUTE);
    if (session.rewrite) {
        CKZSIPGroup::CopyIE_STR(session.out_invite.get(), m, KZ_IE_SIP_FROM, 0, 0);
        CKZSIPGroup::CopyIE_STR(session.out_invite.get(), m, KZ_IE_SIP_TO, 0, 0);
    }
    if (CKZSIPGroup::SendMessage(group->GetSIPHandle(), m, hop.address.c_str(), hop.port,
                                 session.out_connection) != 0)
        return SaveAndRemoveSession(&session, 500, "Server Internal Error - ProcessSIPEvent_REQUEST_ACK#2");
    session.SetState(State::AckRelayed, now);
    session.SetState(State::Established, now);
}

void CKZSIPProxySite::RelayInDialogRequest(CKZSIPGroup* group, CKZSIPProxySession& session,
                                           uint32_t from_connection, sip_msg* request) {
    const int64_t now = m_now;
    const bool to_callee = from_connection == session.in_connection;
    const std::string method = sip_element(request, KZ_IE_SIP_REQUEST_LINE_METHOD);
    const bool invite = KZAPI::iequals(method, "INVITE"), bye = KZAPI::iequals(method, "BYE");
    const bool reinvite_ack = KZAPI::iequals(method, "ACK");
    session.SetState(invite         ? State::ReInviteRelayed
                     : bye          ? State::ByeRelaying
                     : reinvite_ack ? State::ReInviteAckRelaying
                                    : State::RequestRelaying,
                     now);
    SIPMessagePtr relayed = proxy_msg::Copy(request);
    if (!relayed) {
        group->SIP_Send4xx(request, from_connection, "500", "Server Internal Error");
        return SaveAndRemoveSession(&session, 500, "Server Internal Error - ProcessProxySIP_Request#3");
    }
    sip_msg* m = relayed.get();
    const int max_forwards =
        proxy_msg::MaxForwards(request, "There is no Max-Forwards header in SIP Request message.");
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_MAX_FORWARDS, 0, std::to_string(max_forwards - 1).c_str());
    proxy_msg::RemoveAll(m, KZ_IE_SIP_ROUTE);
    proxy_msg::RemoveAll(m, KZ_IE_SIP_RECORD_ROUTE);
    if (!reinvite_ack) proxy_msg::AddOwnVia(m, group);
    const Hop hop = to_callee ? toward_callee(session) : toward_caller(session);
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_REQUEST_LINE_URI, 0, hop.uri.c_str());
    if (session.rewrite) {
        if (to_callee) {
            CKZSIPGroup::CopyIE_STR(session.out_invite.get(), m, KZ_IE_SIP_FROM, 0, 0);
            CKZSIPGroup::CopyIE_STR(session.out_invite.get(), m, KZ_IE_SIP_TO, 0, 0);
        } else {
            CKZSIPGroup::CopyIE_2_IE_STR(session.in_invite.get(), m, KZ_IE_SIP_TO, KZ_IE_SIP_FROM, 0, 0);
            CKZSIPGroup::CopyIE_2_IE_STR(session.in_invite.get(), m, KZ_IE_SIP_FROM, KZ_IE_SIP_TO, 0, 0);
        }
    }
    if (invite || reinvite_ack) session.NoteMedia(to_callee, request);
    if (invite && session.media_relay) {
        // The re-offer's sender may have moved its media: the relay follows it.
        PointRelayAt(session, to_callee, request);
        ProxyRewriteMediaToRelay(m, session.relay_address.c_str(),
                                 to_callee ? session.relay_port_callee : session.relay_port_caller);
    }
    const uint32_t to_connection = to_callee ? session.out_connection : session.in_connection;
    if (CKZSIPGroup::SendMessage(group->GetSIPHandle(), m, hop.address.c_str(), hop.port, to_connection) !=
        0) {
        if (!reinvite_ack) group->SIP_Send4xx(request, from_connection, "500", "Server Internal Error");
        return SaveAndRemoveSession(&session, 500,
                                    invite ? "Server Internal Error - ProcessSIPEvent_REQUEST_INVITE#3"
                                           : "Server Internal Error - ProcessProxySIP_Request#3");
    }
    if (reinvite_ack) {
        session.SetState(State::ReInviteAckRelayed, now);
        session.SetState(State::Established, now);
        return;
    }
    session.relaying_from = from_connection;
    session.relaying_method = method;
    session.last_relayed = proxy_msg::Copy(request);
    session.SetState(invite ? State::ReInviteRelayed : bye ? State::ByeRelayed : State::RequestRelayed, now);
}

// ---- responses ----

void CKZSIPProxySite::OnSessionResponse(CKZSIPGroup* group, CKZSIPProxySession& session,
                                        const KZSIPEvent* event, sip_msg* response) {
    const int status = status_of(response);
    const State state = session.State();
    const bool relaying =
        state == State::ReInviteRelayed || state == State::RequestRelayed || state == State::ByeRelayed;
    if (relaying && event->connection_id != session.relaying_from)
        return RelayInDialogResponse(group, session, status, response);
    if (event->connection_id == session.out_connection &&
        is_method(response, "INVITE", KZ_IE_SIP_CSEQ_METHOD))
        OnCalleeInviteAnswer(group, session, status, response);
}

bool CKZSIPProxySite::RelayResponseToCaller(CKZSIPGroup* group, CKZSIPProxySession& session,
                                            sip_msg* response) {
    SIPMessagePtr relayed = proxy_msg::Copy(response);
    if (!relayed) return false;
    proxy_msg::RemoveTopVia(relayed.get());
    restore_caller_view(session, relayed.get());
    if (const std::optional<std::string> facing =
            proxy_route::FacingAddress(session.caller_address, session.caller_port))
        proxy_route::AdjustRecordRoute(relayed.get(), proxy_msg::LocalAddress(group),
                                       proxy_msg::LocalPort(group), *facing);
    if (session.media_relay && ProxyMediaEndpointOf(response)) {
        PointRelayAt(session, false, response);
        ProxyRewriteMediaToRelay(relayed.get(), session.relay_address.c_str(), session.relay_port_caller);
    }
    if (CKZSIPGroup::SendMessage(group->GetSIPHandle(), relayed.get(), nullptr, 0, session.in_connection) !=
        0)
        return false;
    session.last_relayed = std::move(relayed);
    return true;
}

void CKZSIPProxySite::OnCalleeInviteAnswer(CKZSIPGroup* group, CKZSIPProxySession& session, int status,
                                           sip_msg* response) {
    const int64_t now = m_now;
    const State state = session.State();
    if (session.InStates(State::InviteSent, State::RingingRelayed)) {
        if (status == 100) {
            if (state == State::InviteSent) {
                session.SetState(State::TryingReceived, now);
                OnProxyCallSessionStatus(session);
            }
            return;
        }
        if (status == 180) {
            session.SetState(State::RingingReceived, now);
            if (!RelayResponseToCaller(group, session, response))
                return FailSession(group, &session, 500, "Server Internal Error",
                                   "Server Internal Error - ProcessSIPEvent_RESPONSE_RINGING#2");
            session.SetState(State::RingingRelayed, now);
            return;
        }
        if (status < 200) {
            if (!RelayResponseToCaller(group, session, response))
                FailSession(group, &session, 500, "Server Internal Error",
                            "Server Internal Error - ProcessSIPEvent_RESPONSE_SESSIONPROGRESS#2");
            return;
        }
        if (status < 300) return OnCalleeAnswered(group, session, response);
        if ((status == 401 || status == 407) && session.rewrite && !session.rewrite->user.empty() &&
            !session.credentials_sent && ResendInviteWithCredentials(group, session, status, response))
            return;
        return OnCalleeRefused(group, session, status, response);
    }
    if (status < 200) return;
    const bool cancelled = state == State::CallerCancelSent;
    if (!cancelled && state != State::RingTimeoutCancelSent) return; // a retransmission
    const Hop hop = toward_callee(session);
    const std::string contact = proxy_msg::BareURI(sip_element(response, KZ_IE_SIP_CONTACT));
    const std::string uri = status < 300 && !contact.empty() ? contact : session.request_uri;
    if (!proxy_msg::SendAck(group, session.out_connection, response, uri, hop.address, hop.port))
        CKZLogInterface::Log(kError, "Send ack error!");
    // The callee answered while the CANCEL was on its way: that call is hung up at once.
    if (status < 300) proxy_msg::SendBye(group, session.out_connection, response, uri, hop.address, hop.port);
    if (cancelled) {
        session.SetState(State::CancelledFinalAcked, now);
        session.SetState(State::Cancelled, now);
        return SaveAndRemoveSession(&session, 487, "Call cancelled");
    }
    session.SetState(State::RingTimeoutFinalAcked, now);
    session.SetState(State::RingTimeoutDone, now);
    FailSession(group, &session, 408, "Request Timeout", "Request Timeout");
}

void CKZSIPProxySite::OnCalleeAnswered(CKZSIPGroup* group, CKZSIPProxySession& session, sip_msg* response) {
    const int64_t now = m_now;
    session.SetState(State::FinalReceived, now);
    session.callee_contact_uri = proxy_msg::BareURI(sip_element(response, KZ_IE_SIP_CONTACT));
    session.NoteMedia(false, response);
    if (!RelayResponseToCaller(group, session, response))
        return FailSession(group, &session, 500, "Server Internal Error",
                           "Server Internal Error - ProcessSIPEvent_RESPONSE_OK#2");
    session.SetState(State::FinalRelayed, now);
    try {
        OnProxyCallSessionStatus(session);
    } catch (...) {
        CKZLogInterface::Log(kError, "**********pSite->OnProxyCallSessionStatus Exception Reached *5*******");
    }
    if (session.StaysInDialog(GetOptions().record_route)) {
        session.connect_time = now;
        return;
    }
    // Without Record-Route the parties talk to each other from now on: this server leaves the call.
    group->TerminateConnection(session.in_connection);
    group->TerminateConnection(session.out_connection);
    SaveAndRemoveSession(&session, 0, "Succeed");
}

void CKZSIPProxySite::OnCalleeRefused(CKZSIPGroup* group, CKZSIPProxySession& session, int status,
                                      sip_msg* response) {
    const int64_t now = m_now;
    session.SetState(State::FinalReceived, now);
    const Hop hop = toward_callee(session);
    if (!proxy_msg::SendAck(group, session.out_connection, response, session.request_uri, hop.address,
                            hop.port))
        CKZLogInterface::Log(kError, "Send ack error!");
    const char* failure = status == 401 ? "Server Internal Error - OnUnauthorized#1"
                          : status == 407
                              ? "Server Internal Error - OnProxyAuthenicationRequired#1"
                              : "Server Internal Error - ProcessSIPEvent_RESPONSE_Non2xxFinalResponse#1";
    if (!RelayResponseToCaller(group, session, response))
        return FailSession(group, &session, 500, "Server Internal Error", failure);
    session.SetState(State::FinalRelayed, now);
    SaveAndRemoveSession(&session, status,
                         sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING).c_str());
}

bool CKZSIPProxySite::ResendInviteWithCredentials(CKZSIPGroup* group, CKZSIPProxySession& session, int status,
                                                  sip_msg* challenge) {
    const Hop hop = toward_callee(session);
    if (!proxy_msg::SendAck(group, session.out_connection, challenge, session.request_uri, hop.address,
                            hop.port))
        CKZLogInterface::Log(kError, "Send ack error!");
    SIPMessagePtr again = proxy_msg::Copy(session.out_invite.get());
    uint32_t connection = 0;
    if (!again || group->GetConnectionId(&connection) != 0 || connection == 0) return false;
    sip_msg* m = again.get();
    proxy_msg::AddCredentials(m, challenge, status == 401, session.rewrite->user, session.rewrite->password);
    // The repeated INVITE continues the challenged call: its Call-ID and tag, the next CSeq.
    CKZSIPGroup::CopyIE_STR(challenge, m, KZ_IE_SIP_CALLID, 0, 0);
    CKZSIPGroup::CopyIE_STR(challenge, m, KZ_IE_SIP_FROM_TAG, 0, 0);
    const int cseq = std::atoi(sip_element(challenge, KZ_IE_SIP_CSEQ_NUMBER).c_str());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_CSEQ_NUMBER, 0, std::to_string(cseq + 1).c_str());
    proxy_msg::RemoveTopVia(m);
    proxy_msg::AddOwnVia(m, group);
    if (CKZSIPGroup::SendMessage(group->GetSIPHandle(), m, session.callee_address.c_str(),
                                 session.callee_port, connection) != 0)
        return false;
    group->TerminateConnection(session.out_connection);
    session.out_connection = connection;
    session.out_invite = std::move(again);
    session.credentials_sent = true;
    return true;
}

void CKZSIPProxySite::RelayInDialogResponse(CKZSIPGroup* group, CKZSIPProxySession& session, int status,
                                            sip_msg* response) {
    const int64_t now = m_now;
    const State state = session.State();
    const bool to_caller = session.relaying_from == session.in_connection;
    SIPMessagePtr relayed = proxy_msg::Copy(response);
    if (!relayed) return;
    sip_msg* m = relayed.get();
    proxy_msg::RemoveTopVia(m);
    if (to_caller) restore_caller_view(session, m);
    const bool final = status >= 200;
    if (state == State::ReInviteRelayed && final && status < 300) {
        session.SetState(State::ReInviteAnswered, now);
        session.NoteMedia(!to_caller, response);
        if (session.media_relay) {
            PointRelayAt(session, !to_caller, response);
            ProxyRewriteMediaToRelay(m, session.relay_address.c_str(),
                                     to_caller ? session.relay_port_caller : session.relay_port_callee);
        }
    } else if (state == State::ReInviteRelayed && final) {
        // A refused re-INVITE is acknowledged here; its sender acknowledges our relay of it.
        const uint32_t answered_leg = to_caller ? session.out_connection : session.in_connection;
        const Hop hop = to_caller ? toward_callee(session) : toward_caller(session);
        if (!proxy_msg::SendAck(group, answered_leg, response, hop.uri, hop.address, hop.port))
            CKZLogInterface::Log(kError, "Send ack error!");
    }
    if (state == State::ByeRelayed && final) session.SetState(State::ByeAnswered, now);
    if (CKZSIPGroup::SendMessage(group->GetSIPHandle(), m, nullptr, 0, session.relaying_from) != 0) {
        if (state == State::ReInviteRelayed)
            return SaveAndRemoveSession(&session, 500,
                                        "Server Internal Error - ProcessSIPEvent_RESPONSE_OK#4");
        if (state != State::ByeRelayed)
            return SaveAndRemoveSession(&session, 500, "Server Internal Error - ProcessProxySIP_Request#3");
    }
    if (!final) return;
    if (state == State::ByeRelayed) {
        session.SetState(State::ByeDone, now);
        return SaveAndRemoveSession(&session, 0, "Success");
    }
    if (state == State::ReInviteRelayed && status < 300) {
        session.SetState(State::ReInviteAnswerRelayed, now);
        return;
    }
    session.SetState(State::Established, now);
}

// ---- errors ----

void CKZSIPProxySite::OnSessionError(CKZSIPGroup* group, CKZSIPProxySession& session,
                                     const KZSIPEvent* event) {
    if (session.State() == State::KZ_SIP_PROXY_CONNECTION_DONE) {
        CKZLogInterface::Log(kError, "**********COULDN'T REMOVE THE SESSION BECAUSE IT IS IN "
                                     "KZ_SIP_PROXY_CONNECTION_DONE Status");
        return;
    }
    CKZLogInterface::Log(kError, "**********SHOULD NEVER REACH THIS...");
    const bool from_app = event->event_type == KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP;
    const char* text = from_app ? "Server Internal Error - ProcessSIPEvent_NO_RESPONSE_FROM_APP#1"
                                : "Server Internal Error - ProcessSIPEvent_SIP_ERROR#1";
    const bool caller_waiting =
        session.State() < State::FinalRelayed || session.State() == State::AwaitingDestination;
    if (caller_waiting && event->connection_id != session.in_connection)
        AnswerCaller(group, session, 500, "Server Internal Error");
    SaveAndRemoveSession(&session, 500, text);
}
