#include "proxy/CKZSIPProxySessionJoin.h"

#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "proxy/CKZSIPProxySite.h"
#include "proxy/ProxyMediaRelay.h"
#include "proxy/ProxySessionMessages.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPElement.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"

#include <cstdlib>
#include <string>

using KZAPI::CKZLogInterface;
using State = ProxySessionState;
using Step = CKZSIPProxySession::JoinStep;

namespace {

constexpr unsigned kError = CKZLogInterface::LOG_ERROR;
constexpr unsigned kTrace = CKZLogInterface::LOG_TRACE;
constexpr char kJoinedText[] = "Success - Joined";

constexpr uint32_t kOriginElements[] = {KZ_IE_SDP_OWNER_USERNAME, KZ_IE_SDP_OWNER_SESSION_ID,
                                        KZ_IE_SDP_OWNER_NETWORK_TYPE, KZ_IE_SDP_OWNER_ADDRESS_TYPE,
                                        KZ_IE_SDP_OWNER_ADDRESS};

// One leg of a session as this server sends requests on it: the From and To that party expects
// (its dialog seen from our side), where it is reached, and its dialog's connection.
struct LegView {
    uint32_t connection = 0;
    std::string local, remote, target, address;
    uint16_t port = 0;
};

LegView view_of(const CKZSIPProxySession& s, int leg) {
    LegView v;
    if (leg == 0) {
        v.connection = s.in_connection;
        v.local = sip_element(s.in_invite.get(), KZ_IE_SIP_TO);
        v.remote = sip_element(s.in_invite.get(), KZ_IE_SIP_FROM);
        v.target = proxy_msg::BareURI(sip_element(s.in_invite.get(), KZ_IE_SIP_CONTACT));
        v.address = s.caller_address;
        v.port = s.caller_port;
        return v;
    }
    v.connection = s.out_connection;
    v.local = sip_element(s.out_invite.get(), KZ_IE_SIP_FROM);
    v.remote = sip_element(s.out_invite.get(), KZ_IE_SIP_TO);
    v.target = s.callee_contact_uri.empty() ? s.request_uri : s.callee_contact_uri;
    v.address = s.callee_address;
    v.port = s.callee_port;
    std::string host;
    uint16_t port = 0;
    if (!s.callee_contact_uri.empty() && proxy_msg::URIHostPort(s.callee_contact_uri, &host, &port)) {
        v.address = host;
        v.port = port;
    }
    return v;
}

sip_msg* invite_of(const CKZSIPProxySession& s, int leg) {
    return leg == 0 ? s.in_invite.get() : s.out_invite.get();
}

uint16_t relay_port_of(const CKZSIPProxySession& s, int leg) {
    return leg == 0 ? s.relay_port_caller : s.relay_port_callee;
}

CKZSIPProxySite* site_of(const CKZSIPProxySession& s) {
    return s.Manager() ? dynamic_cast<CKZSIPProxySite*>(s.Manager()->Site()) : nullptr;
}

SIPMessagePtr leg_request(CKZSIPGroup* group, const LegView& v, const char* method) {
    SIPMessagePtr request = AllocSIPMessage();
    if (!request) return request;
    sip_msg* m = request.get();
    auto set = [m](uint32_t id, const std::string& value) {
        CKZSIPGroup::MSG_SetIE_STR(m, id, 0, value.c_str());
    };
    set(KZ_IE_SIP_REQUEST_LINE_METHOD, method);
    set(KZ_IE_SIP_REQUEST_LINE_URI, v.target);
    set(KZ_IE_SIP_REQUEST_LINE_PROTVERSION, "SIP/2.0");
    set(KZ_IE_SIP_FROM, v.local);
    set(KZ_IE_SIP_TO, v.remote);
    set(KZ_IE_SIP_MAX_FORWARDS, "70");
    set(KZ_IE_SIP_USER_AGENT, group->GetSIPUserAgent());
    proxy_msg::AddOwnVia(m, group);
    return request;
}

bool send_on(CKZSIPGroup* group, const LegView& v, sip_msg* m) {
    return CKZSIPGroup::SendMessage(group->GetSIPHandle(), m, v.address.empty() ? nullptr : v.address.c_str(),
                                    v.port, v.connection) == 0;
}

bool send_bye(CKZSIPGroup* group, const LegView& v) {
    const SIPMessagePtr bye = leg_request(group, v, "BYE");
    return bye && send_on(group, v, bye.get());
}

// The offer for the party on the session's leg: the media of `offered`, under the origin the
// party's peer has used so far (a later version of it, so that the party takes it as a change of
// the same session), pointed at the relay port the party sends to when media is relayed.
bool send_offer(CKZSIPGroup* group, CKZSIPProxySession& s, int leg, sip_msg* offered,
                const std::string& new_peer_target, const CKZSIPProxySession* relay, uint16_t relay_port) {
    const LegView v = view_of(s, leg);
    SIPMessagePtr request = leg_request(group, v, "INVITE");
    if (!request || !offered) return false;
    sip_msg* m = request.get();
    CKZSIPGroup::MSG_Copy_IE_Elements(offered, m, KZ_IE_SIP_CONTENT_TYPE);
    for (const uint32_t element : sip_msg::kSdpElementIds)
        CKZSIPGroup::MSG_Copy_IE_Elements(offered, m, element);
    if (sip_msg* origin = s.MediaOf(1 - leg)) {
        for (const uint32_t element : kOriginElements)
            CKZSIPGroup::CopyIE_STR(origin, m, element, 0, 0);
        const unsigned long long version =
            std::strtoull(sip_element(origin, KZ_IE_SDP_OWNER_SESSION_VERSION).c_str(), nullptr, 10);
        CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SDP_OWNER_SESSION_VERSION, 0,
                                   std::to_string(version + ++s.media_version_bump).c_str());
    }
    if (relay) ProxyRewriteMediaToRelay(m, relay->relay_address.c_str(), relay_port);
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_CONTACT, 0, ("<" + new_peer_target + ">").c_str());
    return send_on(group, v, m);
}

// The session this one is being joined with, while both are still at it.
CKZSIPProxySession* partner_of(const CKZSIPProxySession& s) {
    if (!s.join || !s.join->partner_site) return nullptr;
    CKZSIPProxySession* p = s.join->partner_site->FindSession(s.join->partner_connection);
    if (!p || p == &s || !p->join || p->State() != State::JoinedBothAnswered) return nullptr;
    return p->join->partner_connection == s.ConnectionOf(s.join->leg) ? p : nullptr;
}

void back_to_call(CKZSIPProxySite& site, CKZSIPProxySession& s, const std::string& text, int64_t now) {
    s.join.reset();
    s.text = text;
    s.SetState(State::Established, now);
    site.OnProxyCallSessionStatus(s);
}

// Both parties of the session are let go and the session ends.
void hang_up(CKZSIPGroup* group, CKZSIPProxySite& site, CKZSIPProxySession& s, int code, const char* text,
             int64_t now) {
    const int kept = s.join ? s.join->leg : 0;
    send_bye(group, view_of(s, kept));
    if (!s.join || !s.join->other_leg_gone) send_bye(group, view_of(s, 1 - kept));
    s.SetState(State::KZ_SIP_PROXY_CONNECTION_DONE, now);
    site.SaveAndRemoveSession(&s, code, text);
}

// The kept party accepted a join that will not happen: it is offered its old peer again.
void restore(CKZSIPGroup* group, CKZSIPProxySession& s, int64_t now) {
    CKZSIPProxySite* site = site_of(s);
    if (!site || !s.join) return;
    if (s.join->other_leg_gone) return hang_up(group, *site, s, 0, "Success", now);
    const int leg = s.join->leg;
    if (!send_offer(group, s, leg, s.MediaOf(1 - leg), view_of(s, 1 - leg).target,
                    s.media_relay ? &s : nullptr, relay_port_of(s, leg)))
        return hang_up(group, *site, s, 500, "Server Internal Error - join could not be undone", now);
    s.join->step = Step::Restoring;
}

// The session's kept party refused the join (or never answered): the session goes on as it was.
void refused(CKZSIPGroup* group, CKZSIPProxySite& site, CKZSIPProxySession& s, const std::string& why,
             int64_t now) {
    CKZLogInterface::Log(kTrace, "CKZSIPProxySessionJoin %d:%d %s", site.GetNumber(),
                         static_cast<int>(s.in_connection), why.c_str());
    CKZSIPProxySession* partner = partner_of(s);
    if (s.join && s.join->other_leg_gone)
        hang_up(group, site, s, 0, "Success", now);
    else
        back_to_call(site, s, why, now);
    if (partner && partner->join->step == Step::Answered) restore(group, *partner, now);
}

// Fills one leg of the joined call from the kept leg of a session. The joined call's incoming
// slot holds a party as if it had called (its From is the party), the outgoing slot as if it had
// been called; each keeps the From and To of its own dialog.
void fill_in_slot(CKZSIPProxySession& joined, const CKZSIPProxySession& s, int leg) {
    const LegView v = view_of(s, leg);
    joined.in_connection = v.connection;
    joined.in_invite = proxy_msg::Copy(invite_of(s, leg));
    sip_msg* m = joined.in_invite.get();
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_FROM, 0, v.remote.c_str());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_TO, 0, v.local.c_str());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_CONTACT, 0, ("<" + v.target + ">").c_str());
    joined.call_id = sip_element(m, KZ_IE_SIP_CALLID);
    joined.caller_address = v.address;
    joined.caller_port = v.port;
    joined.from = v.remote;
    joined.via = s.via;
    joined.caller_media = proxy_msg::Copy(s.join->answer.get());
}

void fill_out_slot(CKZSIPProxySession& joined, const CKZSIPProxySession& s, int leg) {
    const LegView v = view_of(s, leg);
    joined.out_connection = v.connection;
    joined.out_invite = proxy_msg::Copy(invite_of(s, leg));
    sip_msg* m = joined.out_invite.get();
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_FROM, 0, v.local.c_str());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_TO, 0, v.remote.c_str());
    joined.target = "<" + v.target + ">";
    joined.request_uri = v.target;
    joined.callee_contact_uri = v.target;
    joined.callee_address = v.address;
    joined.callee_port = v.port;
    joined.to = v.remote;
    joined.uri = v.target;
    joined.callee_media = proxy_msg::Copy(s.join->answer.get());
}

} // namespace

bool CKZSIPProxySessionJoin::Start(CKZSIPGroup* group, CKZSIPProxySite& site1, uint32_t connection1, int leg1,
                                   CKZSIPProxySite& site2, uint32_t connection2, int leg2, int64_t now) {
    CKZSIPProxySession* s1 = site1.FindSession(connection1);
    CKZSIPProxySession* s2 = site2.FindSession(connection2);
    const auto leg_ok = [](int leg) { return leg == 0 || leg == 1; };
    if (!group || !s1 || !s2 || s1 == s2 || !leg_ok(leg1) || !leg_ok(leg2)) return false;
    if (s1->State() != State::Established || s2->State() != State::Established) return false;
    if (!s1->MediaOf(leg1) || !s2->MediaOf(leg2)) return false;
    // The joined call keeps one media relay: the first session's, else the second's.
    const bool first_owns = s1->media_relay || !s2->media_relay;
    CKZSIPProxySession& owner = first_owns ? *s1 : *s2;
    CKZSIPProxySession& other = first_owns ? *s2 : *s1;
    CKZSIPProxySite& owner_site = first_owns ? site1 : site2;
    CKZSIPProxySite& other_site = first_owns ? site2 : site1;
    const int owner_leg = first_owns ? leg1 : leg2, other_leg = first_owns ? leg2 : leg1;
    const CKZSIPProxySession* relay = owner.media_relay ? &owner : nullptr;
    const LegView owner_view = view_of(owner, owner_leg), other_view = view_of(other, other_leg);

    if (!send_offer(group, owner, owner_leg, other.MediaOf(other_leg), other_view.target, relay,
                    relay_port_of(owner, owner_leg)))
        return false;
    owner.join.emplace();
    owner.join->leg = owner_leg;
    owner.join->partner_site = &other_site;
    owner.join->partner_connection = other_view.connection;
    owner.join->step = Step::Offered;
    owner.join->relay_owner = true;
    other.join.emplace();
    other.join->leg = other_leg;
    other.join->partner_site = &owner_site;
    other.join->partner_connection = owner_view.connection;
    other.join->step = Step::Offered;
    owner.SetState(State::JoinedBothAnswered, now);
    other.SetState(State::JoinedBothAnswered, now);
    CKZLogInterface::Log(kTrace, "CKZSIPProxySessionJoin %d:%d leg %d with %d:%d leg %d", site1.GetNumber(),
                         static_cast<int>(s1->in_connection), leg1, site2.GetNumber(),
                         static_cast<int>(s2->in_connection), leg2);
    // The second party sends its media where the first one's relay port for the other side is.
    if (!send_offer(group, other, other_leg, owner.MediaOf(owner_leg), owner_view.target, relay,
                    relay_port_of(owner, 1 - owner_leg)))
        refused(group, other_site, other, "join failed: re-INVITE could not be sent", now);
    return true;
}

void CKZSIPProxySessionJoin::OnRequest(CKZSIPGroup* group, CKZSIPProxySite& site, CKZSIPProxySession& s,
                                       uint32_t connection, sip_msg* request, int64_t now) {
    if (!s.join) return;
    const std::string method = sip_element(request, KZ_IE_SIP_REQUEST_LINE_METHOD);
    if (KZAPI::iequals(method, "INVITE")) {
        // Ours is outstanding on one leg; the other is about to be released.
        group->SIP_Send4xx(request, connection, "491", "Request Pending");
        return;
    }
    if (!KZAPI::iequals(method, "BYE")) return;
    group->SIP_SendOK(request, connection, false, "", -1);
    if (connection != s.ConnectionOf(s.join->leg)) {
        s.join->other_leg_gone = true;
        return;
    }
    // The kept party left: there is nothing to join. The partner goes back to its own call.
    CKZSIPProxySession* partner = partner_of(s);
    if (!s.join->other_leg_gone) send_bye(group, view_of(s, 1 - s.join->leg));
    s.SetState(State::KZ_SIP_PROXY_CONNECTION_DONE, now);
    site.SaveAndRemoveSession(&s, 0, "Success");
    if (partner && partner->join->step == Step::Answered) restore(group, *partner, now);
}

void CKZSIPProxySessionJoin::OnResponse(CKZSIPGroup* group, CKZSIPProxySite& site, CKZSIPProxySession& s,
                                        uint32_t connection, sip_msg* response, int64_t now) {
    if (!s.join || connection != s.ConnectionOf(s.join->leg)) return;
    if (!KZAPI::iequals(sip_element(response, KZ_IE_SIP_CSEQ_METHOD), "INVITE")) return;
    const int status = std::atoi(sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE).c_str());
    if (status < 200) return;
    const int leg = s.join->leg;
    const LegView v = view_of(s, leg);
    if (!proxy_msg::SendAck(group, v.connection, response, v.target, v.address, v.port))
        CKZLogInterface::Log(kError, "Send ack error!");
    const bool accepted = status < 300;
    if (s.join->step == Step::Restoring) {
        if (!accepted)
            return hang_up(group, site, s, status, "Server Internal Error - join could not be undone", now);
        s.NoteMedia(leg == 0, response);
        return back_to_call(site, s, s.text, now);
    }
    if (!accepted) {
        return refused(group, site, s,
                       "join failed: " + std::to_string(status) + " " +
                           sip_element(response, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING),
                       now);
    }
    s.join->answer = proxy_msg::Copy(response);
    s.join->step = Step::Answered;
    CKZSIPProxySession* partner = partner_of(s);
    if (!partner) {
        s.text = "join failed";
        return restore(group, s, now);
    }
    if (partner->join->step == Step::Answered) Complete(group, s, *partner, now);
}

void CKZSIPProxySessionJoin::Complete(CKZSIPGroup* group, CKZSIPProxySession& a, CKZSIPProxySession& b,
                                      int64_t now) {
    CKZSIPProxySession& owner = a.join->relay_owner ? a : b;
    CKZSIPProxySession& other = a.join->relay_owner ? b : a;
    CKZSIPProxySite* owner_site = site_of(owner);
    CKZSIPProxySite* other_site = site_of(other);
    if (!owner_site || !other_site) return;
    const int owner_leg = owner.join->leg, other_leg = other.join->leg;

    std::unique_ptr<CKZSIPProxySession> created = owner_site->m_sessions.Create(now);
    CKZSIPProxySession& joined = *created;
    // With a relay, the incoming slot is the party on the relay's first side.
    if (!owner.media_relay || owner_leg == 0) {
        fill_in_slot(joined, owner, owner_leg);
        fill_out_slot(joined, other, other_leg);
    } else {
        fill_in_slot(joined, other, other_leg);
        fill_out_slot(joined, owner, owner_leg);
    }
    // Each party keeps the From and To of its own dialog on what is relayed to it.
    joined.rewrite = ProxyLegRewrite{};
    joined.start_time = now;
    joined.connect_time = now;
    joined.text = "joined " + std::to_string(owner.in_connection) + "+" + std::to_string(other.in_connection);
    if (owner.media_relay) {
        joined.media_relay = true;
        joined.switch_group = owner.switch_group;
        joined.relay_port_caller = owner.relay_port_caller;
        joined.relay_port_callee = owner.relay_port_callee;
        joined.relay_address = owner.relay_address;
        owner.media_relay = false;
        owner.switch_group = CKZSIPProxySession::kNoSwitchGroup;
        CKZSIPProxySite::PointRelayAt(joined, true, joined.caller_media.get());
        CKZSIPProxySite::PointRelayAt(joined, false, joined.callee_media.get());
    }
    for (CKZSIPProxySession* s : {&owner, &other}) {
        const LegView released = view_of(*s, 1 - s->join->leg);
        if (s->join->other_leg_gone) continue;
        send_bye(group, released);
        joined.released.push_back(released.connection);
    }
    joined.SetState(State::Established, now);
    owner.SetState(State::KZ_SIP_PROXY_CONNECTION_DONE, now);
    other.SetState(State::KZ_SIP_PROXY_CONNECTION_DONE, now);
    owner_site->SaveAndRemoveSession(&owner, 0, kJoinedText);
    other_site->SaveAndRemoveSession(&other, 0, kJoinedText);
    CKZSIPProxySession* kept = owner_site->m_sessions.Add(std::move(created));
    try {
        owner_site->OnProxyCallSessionStatus(*kept);
    } catch (...) {
        CKZLogInterface::Log(kError, "**********OnProxyCallSessionStatus Exception Reached *7*******");
    }
}

void CKZSIPProxySessionJoin::OnReleasedLeg(CKZSIPGroup* group, CKZSIPProxySession& session,
                                           uint32_t connection, sip_msg* message, bool request) {
    if (request) {
        group->SIP_SendOK(message, connection, false, "", -1);
        return;
    }
    const int status = std::atoi(sip_element(message, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE).c_str());
    if (status >= 200) std::erase(session.released, connection);
}

void CKZSIPProxySessionJoin::OnTimeout(CKZSIPGroup* group, CKZSIPProxySite& site, CKZSIPProxySession& s,
                                       int64_t now) {
    if (s.join && s.join->step == Step::Restoring)
        return hang_up(group, site, s, 408, "Request Timeout - join could not be undone", now);
    refused(group, site, s, "join failed: no answer", now);
}

bool CKZSIPProxySite::JoinSessions(CKZSIPGroup* group, uint32_t connection, int leg,
                                   CKZSIPProxySiteI& other_site, uint32_t other_connection, int other_leg,
                                   int64_t now) {
    auto* other = dynamic_cast<CKZSIPProxySite*>(&other_site);
    if (!other) return false;
    m_now = now;
    other->m_now = now;
    return CKZSIPProxySessionJoin::Start(group, *this, connection, leg, *other, other_connection, other_leg,
                                         now);
}
