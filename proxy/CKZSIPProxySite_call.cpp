// CKZSIPProxySite: a new call at the site. The application is asked where it goes; the call is
// answered, handed to a channel, or relayed as a session with an outgoing INVITE of its own.
#include "proxy/CKZSIPProxySite.h"

#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "proxy/ProxyMediaRelay.h"
#include "proxy/ProxySessionMessages.h"
#include "server/CKZSIPCallControlI.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/ProxyTransferTarget.h"
#include "server/SIPAddressParts.h"
#include "server/SIPElement.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"

#include <cstring>
#include <exception>
#include <string>

using KZAPI::CKZLogInterface;

namespace {

constexpr unsigned kError = CKZLogInterface::LOG_ERROR;
constexpr unsigned kTrace = CKZLogInterface::LOG_TRACE;

// What the application is told of a call that has no session yet.
KZAPI::CKZAPIEnv::ProxySessionReport new_call_report(int site, const ProxyNewCall& call) {
    KZAPI::CKZAPIEnv::ProxySessionReport r;
    r.site = site;
    r.connection = call.connection;
    r.from = call.from;
    r.to = call.to;
    r.uri = call.uri;
    r.via = call.via;
    r.start = call.now;
    r.state = static_cast<int>(ProxySessionState::Created);
    return r;
}
constexpr char kUndefinedContact[] = "sip:undefined";
constexpr char kChannelAgentMark[] = "KZAPISIPUA-";

CKZSIPServer* server() {
    return dynamic_cast<CKZSIPServer*>(KZAPI::CKZServer::GetServerObj());
}

// The registered contact inside a "mapped<...>" record, else the contact as registered.
std::string contact_of(const ProxyUser& user) {
    const std::string mapped = user.mapped_contact;
    const size_t open = mapped.find('<');
    if (open != std::string::npos && mapped.size() > open + 1) {
        std::string inner = mapped.substr(open + 1);
        if (!inner.empty() && inner.back() == '>') inner.pop_back();
        return inner;
    }
    return user.contact;
}

std::string code_text(int code) {
    return std::to_string(code);
}

// Where a caller's phone is reached now, as its INVITE shows it: a phone that moved (a NAT that
// re-bound its port, a new transport) is called back there without waiting for its next
// REGISTER. The registration itself (time and lifetime) is left as it was.
void refresh_from_invite(ProxyUser& user, const ProxyNewCall& call, bool map_source) {
    const std::string contact = sip_element(call.invite, KZ_IE_SIP_CONTACT);
    const SIPAddressParts parts(contact.c_str());
    if (!parts.ok || parts.host.empty()) return;
    KZAPI::str_cpy(user.contact, contact.c_str(), sizeof(user.contact));
    KZAPI::str_cpy(user.source_address, call.source_address, sizeof(user.source_address));
    user.source_port = call.source_port;
    user.transport = std::atoi(sip_element(call.invite, KZ_IE_SIP_PROTOCOL).c_str());
    user.mapped_contact[0] = '\0';
    if (!map_source || (parts.host == call.source_address && parts.PortOrDefault() == call.source_port))
        return;
    if (parts.user.empty())
        KZAPI::s_printf(user.mapped_contact, sizeof(user.mapped_contact), "mapped<sip:%s:%d>",
                        call.source_address, static_cast<int>(call.source_port));
    else
        KZAPI::s_printf(user.mapped_contact, sizeof(user.mapped_contact), "mapped<sip:%s@%s:%d>",
                        parts.user.c_str(), call.source_address, static_cast<int>(call.source_port));
}

} // namespace

// ---- reports ----

KZAPI::CKZAPIEnv::ProxySessionReport CKZSIPProxySite::Report(const CKZSIPProxySession& session) const {
    KZAPI::CKZAPIEnv::ProxySessionReport r;
    r.site = GetNumber();
    r.connection = session.in_connection;
    r.from = session.from.c_str();
    r.to = session.to.c_str();
    r.uri = session.uri.c_str();
    r.via = session.via.c_str();
    r.text = session.text.c_str();
    r.start = session.start_time;
    r.connect = session.connect_time;
    r.state = session.StateNumber();
    return r;
}

void CKZSIPProxySite::OnProxyCallSessionStatus(CKZSIPProxySession& session) {
    if (session.from.empty() || session.to.empty() || session.uri.empty() || session.via.empty()) return;
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_ProxyCallSessionStatus(Report(session));
}

void CKZSIPProxySite::SaveAndRemoveSession(CKZSIPProxySession* session, int code, const char* reason) {
    if (!session || !m_sessions.Contains(session)) return;
    if (session->media_relay && session->switch_group != CKZSIPProxySession::kNoSwitchGroup)
        if (CKZSIPServer* s = server()) s->FreeUDPSwitchPort(session->switch_group);
    session->switch_group = CKZSIPProxySession::kNoSwitchGroup;
    CKZLogInterface::Log(kTrace, "CKZSIPProxySite::SaveAndRemoveSession %d:%d %d %s", GetNumber(),
                         static_cast<int>(session->in_connection), code, reason ? reason : "");
    if (!session->from.empty() && !session->to.empty() && !session->uri.empty() && !session->via.empty()) {
        try {
            KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_ProxyCallSessionEnd(Report(*session), code,
                                                                        reason ? reason : "");
        } catch (...) {
            CKZLogInterface::Log(kError, "**********FireOn_ProxyCallSessionEnd Exception Reached *********");
        }
    }
    m_sessions.Remove(session);
}

void CKZSIPProxySite::RefuseCall(const ProxyNewCall& call, int code, const char* reason,
                                 const char* end_text) {
    if (code != 0 && call.group)
        call.group->SIP_Send4xx(call.invite, call.connection, code_text(code).c_str(), reason);
    KZAPI::CKZAPIEnv::ProxySessionReport r = new_call_report(GetNumber(), call);
    r.connect = call.now;
    if (!*call.from || !*call.to || !*call.uri || !*call.via) return;
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_ProxyCallSessionEnd(r, code, end_text ? end_text : reason);
}

bool CKZSIPProxySite::AnswerCaller(CKZSIPGroup* group, CKZSIPProxySession& session, int code,
                                   const char* reason) {
    return group && session.in_invite &&
           group->SIP_Send4xx(session.in_invite.get(), session.in_connection, code_text(code).c_str(),
                              reason);
}

void CKZSIPProxySite::FailSession(CKZSIPGroup* group, CKZSIPProxySession* session, int code,
                                  const char* reason, const char* end_text) {
    AnswerCaller(group, *session, code, reason);
    SaveAndRemoveSession(session, code, end_text);
}

// ---- the new-call entry ----

int CKZSIPProxySite::OnProxyNewCallSession(const ProxyNewCall& call) {
    m_now = call.now;
    RouteOrder order;
    std::string user_name;
    const std::optional<ProxyCredentials> credentials = ProxyCredentials::Read(call.invite);
    if (credentials && credentials->IsComplete() &&
        ProxyNonce::IsFresh(credentials->nonce.c_str(), call.now)) {
        const ProxyCredentials& c = *credentials;
        CKZLogInterface::Log(kTrace,
                             "type:%s, username:%s, realm:%s, nonce:%s, uri:%s, algorithm:%s, opaque:%s, "
                             "response:%s, cnonce:%s, nc:%s, qop:%s",
                             c.type.c_str(), c.username.c_str(), c.realm.c_str(), c.nonce.c_str(),
                             c.uri.c_str(), c.algorithm.c_str(), c.opaque.c_str(), c.response.c_str(),
                             c.cnonce.c_str(), c.nc.c_str(), c.qop.c_str());
        const ProxyUser* user = FindUser(c.username.c_str());
        if (user && user->in_use && CheckCredentials(*user, c, call.invite, call.now)) {
            order.authenticated = true;
            order.authenticated_user = c.username;
            user_name = c.username;
        }
    }

    std::optional<std::string> answer;
    try {
        const KZAPI::CKZAPIEnv::ProxySessionReport r = new_call_report(GetNumber(), call);
        answer = KZAPI::CKZAPIEnv::GetKZAPIEnv()->On_ProxyNewCallSession(
            r, call.source_address, call.source_port, user_name.c_str(), order.authenticated);
    } catch (...) {
        CKZLogInterface::Log(kError,
                             "*******CKZSIPProxySite::OnProxyNewCallSession pEnv->On_ProxyNewCallSession "
                             "has an exception*******");
        return -1;
    }
    CKZLogInterface::Log(kTrace, "pEnv->On_ProxyNewCallSession returns %s", answer ? answer->c_str() : "");

    const ProxyDirective directive = ProxyDirective::Read(answer);
    switch (directive.kind) {
    case ProxyDirective::Kind::Channel:
        return -1;
    case ProxyDirective::Kind::Answer:
        RefuseCall(call, directive.code, directive.reason.c_str(), nullptr);
        return 0;
    case ProxyDirective::Kind::Challenge: {
        const SIPAddressParts caller(call.from);
        const ProxyUser* user = FindUser(caller.user.c_str());
        const int type = user && user->in_use ? user->auth_type : ProxyUser::AUTH_PROXY;
        if (type != ProxyUser::AUTH_NONE) {
            const SIPAddressParts callee(call.to);
            const std::string realm = ServesDomain(callee.host.c_str()) || GetDomains().empty()
                                          ? callee.host
                                          : GetDomains().front();
            ProxySiteRequest request;
            request.group = call.group;
            request.message = call.invite;
            request.connection = call.connection;
            request.realm = realm.c_str();
            request.source_address = call.source_address;
            request.source_port = call.source_port;
            request.now = call.now;
            Challenge(request, type == ProxyUser::AUTH_WWW);
        }
        return 0;
    }
    case ProxyDirective::Kind::Route:
        break;
    }
    order.target = directive.target;
    order.rewrite = directive.rewrite;
    order.new_session = directive.new_session;
    order.ring_timeout = directive.ring_timeout;
    return RouteCall(call, order);
}

int CKZSIPProxySite::TransferCall(const ProxyTransferTarget& target, uint32_t connection, sip_msg* invite,
                                  CKZSIPGroup* group, const char* sender_address, uint16_t sender_port) {
    const std::string from = sip_element(invite, KZ_IE_SIP_FROM), to = sip_element(invite, KZ_IE_SIP_TO);
    const std::string uri = sip_element(invite, KZ_IE_SIP_REQUEST_LINE_URI);
    const std::string via = sip_element(invite, KZ_IE_SIP_VIA_ADDRESS);
    CKZSIPServer* s = server();
    ProxyNewCall call;
    call.group = group;
    call.connection = connection;
    call.invite = invite;
    call.from = from.c_str();
    call.to = to.c_str();
    call.uri = uri.c_str();
    call.via = via.c_str();
    call.source_address = sender_address ? sender_address : "";
    call.source_port = sender_port;
    call.now = s ? s->NowSeconds() : 0;
    m_now = call.now;
    RouteOrder order;
    if (!target.destination.empty()) order.target = target.destination;
    order.new_session = target.new_session;
    if (!target.caller.empty() || !target.user.empty() || !target.password.empty() ||
        !target.request_uri.empty() || !target.dest_ip.empty() || target.dest_port != 0) {
        ProxyLegRewrite r;
        r.from = target.caller;
        r.user = target.user;
        r.password = target.password;
        r.request_uri = target.request_uri;
        r.dest_ip = target.dest_ip;
        r.dest_port = target.dest_port;
        order.rewrite = r;
    }
    return RouteCall(call, order);
}

// ---- routing ----

std::optional<std::string> CKZSIPProxySite::CalleeContact(const ProxyNewCall& call) {
    const SIPAddressParts request_uri(call.uri), addressee(call.to);
    const std::string name = !request_uri.user.empty() ? request_uri.user : addressee.user;
    const ProxyUser* user = FindUser(name.c_str());
    if (!user || !user->in_use) {
        RefuseCall(call, 404, "Not Found", "Not Found");
        return std::nullopt;
    }
    if (!user->IsRegistered(call.now)) {
        RefuseCall(call, 480, "Temporarily not available",
                   "Temporarily not available - User no available now");
        return std::nullopt;
    }
    const std::string contact = contact_of(*user);
    if (contact.empty()) {
        RefuseCall(call, 480, "Temporarily not available",
                   "Temporarily not available - GetToUserContactInfo return NULL contact info");
        return std::nullopt;
    }
    return contact;
}

void CKZSIPProxySite::RefreshCaller(const ProxyNewCall& call, const RouteOrder& order) {
    const SIPAddressParts caller(call.from);
    ProxyUser* user = FindUser(caller.user.c_str());
    if (!user || !user->in_use || !user->IsRegistered(call.now)) return;
    // Only the user itself may move its record: one that proved who it is, or one whose account
    // asks for no proof anyway (anyone may register for it).
    const bool proven = order.authenticated && order.authenticated_user == user->name;
    if (proven || user->auth_type == ProxyUser::AUTH_NONE)
        refresh_from_invite(*user, call, GetOptions().map_reg_source);
}

bool CKZSIPProxySite::SetDestination(CKZSIPProxySession& session, const std::string& contact) {
    const SIPAddressParts parts(contact.c_str());
    if (!parts.ok || parts.host.empty()) return false;
    const std::string& u = parts.user;
    const std::string& h = parts.host;
    const std::string& p = parts.port;
    char target[CKZSIPProxySession::kTextSize], uri[CKZSIPProxySession::kTextSize];
    if (!u.empty() && !p.empty()) {
        KZAPI::s_printf(target, sizeof(target), "<sip:%s@%s:%s>", u.c_str(), h.c_str(), p.c_str());
        KZAPI::s_printf(uri, sizeof(uri), "sip:%s@%s:%s", u.c_str(), h.c_str(), p.c_str());
    } else if (!u.empty()) {
        KZAPI::s_printf(target, sizeof(target), "<sip:%s@%s>", u.c_str(), h.c_str());
        KZAPI::s_printf(uri, sizeof(uri), "sip:%s@%s", u.c_str(), h.c_str());
    } else if (!p.empty()) {
        KZAPI::s_printf(target, sizeof(target), "<sip:%s:%s>", h.c_str(), p.c_str());
        KZAPI::s_printf(uri, sizeof(uri), "sip:%s:%s", h.c_str(), p.c_str());
    } else {
        KZAPI::s_printf(target, sizeof(target), "<sip:%s>", h.c_str());
        KZAPI::s_printf(uri, sizeof(uri), "sip:%s", h.c_str());
    }
    session.target = target;
    session.request_uri = uri;
    session.callee_address = h;
    session.callee_port = parts.PortOrDefault();
    return true;
}

int CKZSIPProxySite::RouteCall(const ProxyNewCall& call, const RouteOrder& order) {
    char reason[CKZSIPGroup::kIEBufferSize] = "";
    if (const int code = CKZSIPServer::RequestValidation(call.invite, reason, sizeof(reason)); code != 0) {
        RefuseCall(call, code, reason, nullptr);
        return 0;
    }
    const SIPAddressParts request_uri(call.uri);
    if (!request_uri.ok || request_uri.host.empty()) {
        RefuseCall(call, 400, "Bad Request", nullptr);
        return 0;
    }
    RefreshCaller(call, order);
    const int max_forwards = proxy_msg::MaxForwards(
        call.invite,
        "CKZSIPProxySite::OnInviteLocalUser - There is no Max-Forwards header in SIP request message.");

    std::string contact;
    if (order.target) {
        contact = *order.target;
    } else {
        const std::optional<std::string> found = CalleeContact(call);
        if (!found) return 0;
        contact = *found;
    }
    const bool later = contact.find(kUndefinedContact) != std::string::npos;

    std::unique_ptr<CKZSIPProxySession> created = m_sessions.Create(call.now);
    CKZSIPProxySession& session = *created;
    if (!later && !SetDestination(session, contact)) {
        RefuseCall(call, 480, "Temporarily not available",
                   "Temporarily not available - No ip address or domain in contact info");
        return 0;
    }
    session.in_connection = call.connection;
    session.in_invite = proxy_msg::Copy(call.invite);
    if (!session.in_invite) {
        RefuseCall(call, 500, "Server Internal Error",
                   "Server Internal Error - CKZSIPGroup::AllocMessage(&psession->orig_msg)");
        return 0;
    }
    session.NoteMedia(true, call.invite);
    session.call_id = sip_element(call.invite, KZ_IE_SIP_CALLID);
    session.caller_address = call.source_address;
    session.caller_port = call.source_port;
    session.from = call.from;
    session.to = call.to;
    session.uri = call.uri;
    session.via = call.via;
    session.max_forwards = max_forwards;
    session.rewrite = order.rewrite;
    session.new_session = order.new_session;
    session.authenticated = order.authenticated;
    session.SetRingTimeout(order.ring_timeout);
    CKZSIPProxySession* kept = m_sessions.Add(std::move(created));
    try {
        OnProxyCallSessionStatus(*kept);
    } catch (...) {
        CKZLogInterface::Log(kError, "**********OnProxyCallSessionStatus Exception Reached *6*******");
    }

    if (!call.group->SIP_Send1xx(call.invite, call.connection, "100", "Trying")) {
        FailSession(call.group, kept, 500, "Server Internal Error",
                    "Server Internal Error - pSIPGroup->SIP_Send1xx Trying");
        return 0;
    }
    kept->SetState(ProxySessionState::TryingSent, call.now);
    if (later) {
        kept->SetState(ProxySessionState::AwaitingDestination, call.now);
        return 1;
    }
    return SendOutgoingInvite(call.group, *kept, call.now) ? 1 : 0;
}

bool CKZSIPProxySite::ReserveMediaRelay(CKZSIPProxySession& session, sip_msg* invite) {
    CKZSIPServer* s = server();
    if (!s || !GetOptions().udp_relay) return false;
    const std::optional<ProxyMediaEndpoint> caller_media = ProxyMediaEndpointOf(invite);
    if (!caller_media) return false;
    // Two parties on one private network reach each other directly.
    if (ProxyIsPrivateAddress(session.caller_address) && ProxyIsPrivateAddress(session.callee_address))
        return false;
    unsigned short caller_side = 0, callee_side = 0;
    const int index = s->InitUDPSwitchPort(caller_side, callee_side);
    if (index == CKZSIPServer::kNoSwitchGroup) return false;
    session.media_relay = true;
    session.switch_group = index;
    session.relay_port_caller = caller_side;
    session.relay_port_callee = callee_side;
    session.relay_address = proxy_msg::LocalAddress(s->GetSIPGroup());
    PointRelayAt(session, true, invite);
    ProxyRewriteMediaToRelay(invite, session.relay_address.c_str(), callee_side);
    return true;
}

void CKZSIPProxySite::PointRelayAt(const CKZSIPProxySession& session, bool caller_side, sip_msg* described) {
    CKZSIPServer* s = server();
    const std::optional<ProxyMediaEndpoint> media = ProxyMediaEndpointOf(described);
    if (!s || !media || !session.media_relay) return;
    // A party that signals from a public address but describes a private one is behind NAT: its
    // side of the relay latches onto where its media comes from instead.
    const std::string& signalling = caller_side ? session.caller_address : session.callee_address;
    const bool behind_nat = ProxyIsPrivateAddress(media->address) && !ProxyIsPrivateAddress(signalling);
    s->SetUDPSwitchPortPeer(session.switch_group,
                            caller_side ? CKZSIPServer::SWITCH_SIDE_FIRST : CKZSIPServer::SWITCH_SIDE_SECOND,
                            behind_nat ? "" : media->address.c_str(), behind_nat ? 0 : media->port);
}

bool CKZSIPProxySite::SendOutgoingInvite(CKZSIPGroup* group, CKZSIPProxySession& session, int64_t now) {
    SIPMessagePtr out = proxy_msg::Copy(session.in_invite.get());
    if (!out) {
        FailSession(group, &session, 500, "Server Internal Error",
                    "Server Internal Error- CKZSIPGroup::AllocMessage(&psession->term_msg)");
        return false;
    }
    sip_msg* m = out.get();
    const ProxyLegRewrite* rewrite = session.rewrite ? &*session.rewrite : nullptr;
    std::string uri = rewrite && !rewrite->request_uri.empty() ? rewrite->request_uri : session.request_uri;
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_REQUEST_LINE_URI, 0, uri.c_str());
    CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_MAX_FORWARDS, 0,
                               std::to_string(session.max_forwards - 1).c_str());

    const std::string local = proxy_msg::LocalAddress(group);
    const uint16_t local_port = proxy_msg::LocalPort(group);
    // A Route naming this server has brought the request here and is done.
    const SIPAddressParts first_route(sip_element(m, KZ_IE_SIP_ROUTE).c_str());
    if (first_route.ok && first_route.host == local && first_route.PortOrDefault() == local_port)
        CKZSIPGroup::MSG_RemoveLatestRoute(m);
    const bool stays = session.StaysInDialog(GetOptions().record_route);
    if (stays) {
        char record_route[CKZSIPGroup::kIEBufferSize];
        KZAPI::s_printf(record_route, sizeof(record_route), "<sip:%s:%d;lr>", local.c_str(),
                        static_cast<int>(local_port));
        CKZSIPGroup::MSG_AddLatestRecordRoute(m, record_route);
    }
    const std::string route = sip_element(m, KZ_IE_SIP_ROUTE);
    if (!route.empty() && route.find(";lr") == std::string::npos) {
        // A strict router: it gets the Request-URI, and the original one travels as the last Route.
        unsigned last = 0;
        char value[CKZSIPGroup::kIEBufferSize];
        while (last < 20 && CKZSIPGroup::MSG_GetIE_STR(m, KZ_IE_SIP_ROUTE, last, value) == 0)
            ++last;
        const std::string appended = "<" + uri + ">";
        CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_ROUTE, last, appended.c_str());
        uri = proxy_msg::BareURI(route);
        CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_REQUEST_LINE_URI, 0, uri.c_str());
        CKZSIPGroup::MSG_RemoveLatestRoute(m);
    }
    proxy_msg::AddOwnVia(m, group);

    uint32_t connection = 0;
    if (group->GetConnectionId(&connection) != 0 || connection == 0) {
        FailSession(group, &session, 500, "Server Internal Error",
                    "Server Internal Error - CKZSIPGroup::SendMessage term_msg");
        return false;
    }
    session.caller_user_agent = sip_element(session.in_invite.get(), KZ_IE_SIP_USER_AGENT);
    const std::string caller_contact = sip_element(session.in_invite.get(), KZ_IE_SIP_CONTACT);
    if (const size_t mark = caller_contact.find(kChannelAgentMark); mark != std::string::npos)
        session.caller_channel = std::atoi(caller_contact.c_str() + mark + std::strlen(kChannelAgentMark));
    ReserveMediaRelay(session, m);
    if (stays) proxy_msg::RemoveAll(m, KZ_IE_SIP_CALLID);
    if (session.new_session) proxy_msg::RemoveAll(m, KZ_IE_SIP_FROM_TAG);
    if (rewrite) {
        if (!rewrite->from.empty()) {
            CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_FROM, 0, rewrite->from.c_str());
        }
        if (!rewrite->to.empty()) {
            CKZSIPGroup::MSG_SetIE_STR(m, KZ_IE_SIP_TO, 0, rewrite->to.c_str());
            proxy_msg::RemoveAll(m, KZ_IE_SIP_TO_TAG);
        }
    }

    std::string host = session.callee_address;
    uint16_t port = session.callee_port;
    if (rewrite && !rewrite->dest_ip.empty()) {
        host = rewrite->dest_ip;
        port = rewrite->dest_port ? rewrite->dest_port : CKZSIPGroup::kDefaultSIPPort;
    }
    session.callee_address = host;
    session.callee_port = port;
    session.out_connection = connection;
    if (CKZSIPGroup::SendMessage(group->GetSIPHandle(), m, host.c_str(), port, connection) != 0) {
        CKZLogInterface::Log(kError, "ERROR *** SendMessage New Message *** !");
        session.out_connection = 0;
        FailSession(group, &session, 500, "Server Internal Error",
                    "Server Internal Error - CKZSIPGroup::SendMessage term_msg");
        return false;
    }
    session.out_invite = std::move(out);
    session.SetState(ProxySessionState::InviteSent, now);
    return true;
}

// ---- the application's destination for a waiting session ----

bool CKZSIPProxySite::SetNewCallSessionAddr(uint32_t connection, const char* address) {
    CKZSIPProxySession* session = m_sessions.FindByConnection(connection);
    if (!session) return false;
    session->SignalDestination(address);
    return true;
}

void CKZSIPProxySite::ContinueWithDestination(CKZSIPGroup* group, CKZSIPProxySession& session,
                                              const std::string& text, int64_t now) {
    CKZLogInterface::Log(kTrace, "CKZSIPProxySite::ContinueToTransfer pSession->term_sip_addr is %s",
                         text.c_str());
    session.max_forwards = proxy_msg::MaxForwards(
        session.in_invite.get(),
        "CKZSIPProxySite::OnInviteLocalUser - There is no Max-Forwards header in SIP request message.");
    if (KZAPI::iequals(text, "channel")) return HandToChannel(group, session);
    std::string target = text;
    if (KZAPI::iequals(text, "rejected") || KZAPI::iequals(text, "unauthorized") ||
        text.find('|') != std::string::npos) {
        const ProxyDirective directive = ProxyDirective::Read(text);
        if (directive.kind == ProxyDirective::Kind::Answer) {
            return FailSession(group, &session, directive.code, directive.reason.c_str(),
                               directive.reason.c_str());
        }
        if (directive.kind == ProxyDirective::Kind::Challenge) {
            return FailSession(group, &session, 407, "Proxy Authentication Required",
                               "Proxy Authentication Required");
        }
        if (directive.rewrite) session.rewrite = directive.rewrite;
        session.new_session = session.new_session || directive.new_session;
        if (directive.ring_timeout > 0) session.SetRingTimeout(directive.ring_timeout);
        target = directive.target.value_or("");
    }
    if (!SetDestination(session, target)) {
        return FailSession(group, &session, 480, "Temporarily not available",
                           "Temporarily not available - No ip address or domain in contact info");
    }
    SendOutgoingInvite(group, session, now);
}

void CKZSIPProxySite::HandToChannel(CKZSIPGroup* group, CKZSIPProxySession& session) {
    CKZSIPServer* s = server();
    KZAPI::CKZChannel* channel = s ? s->GetIdleChannel(KZAPI::CKZCallControl::KIND_SIP, 1) : nullptr;
    if (!channel) return FailSession(group, &session, 486, "Busy Here", "Busy Here");
    KZAPI::CKZCallControl* cc = channel->GetCallControl();
    CKZSIPCallControlI* sip = cc ? AsSIPCallControl(cc) : nullptr;
    if (!sip) {
        CKZLogInterface::Log(kError,
                             "<< ------ SIP_REQUEST_INVITE, Cannot find call control for Connection ID:%d",
                             static_cast<int>(session.in_connection));
        return FailSession(group, &session, 500, "Internal Server Error",
                           "Internal Server Error - Cannot find call control");
    }
    KZSIPEvent event{};
    event.event_type = KZ_EVENT_SIP_MESSAGE_REQUEST;
    event.stack = group->GetSIPHandle();
    event.code = kz_sip_make_msg_type("INVITE");
    event.connection_id = session.in_connection;
    {
        KZAPI::CMutexLock lock(cc->GetCallMutex());
        sip->SetCurSIPMsg(&event, session.in_invite.release(), session.caller_address.c_str(),
                          session.caller_port, 0);
        sip->SetSIPConnID(session.in_connection);
        cc->OnOffered(nullptr, nullptr);
        cc->OnSetup();
    }
    // The channel owns the incoming leg now; the session only reports its end.
    SaveAndRemoveSession(&session, 0, "Success - Call to channel.");
}
