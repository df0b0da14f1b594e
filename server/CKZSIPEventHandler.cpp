#include "server/CKZSIPEventHandler.h"

#include "host/CKZAPIEnv.h"
#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "include/kzsipapi.h"
#include "server/CKZSIPCallControlI.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPProxySiteI.h"
#include "server/CKZSIPServer.h"
#include "server/SIPAddressParts.h"
#include "server/SIPElement.h"
#include "server/SIPReceivedMessage.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/kz_sip_result.h"

#include <arpa/inet.h>

#include <cstring>
#include <exception>
#include <iterator>
#include <string>

using KZAPI::CKZLogInterface;

namespace {

constexpr unsigned kLogError = CKZLogInterface::LOG_ERROR;
constexpr unsigned kLogTrace = CKZLogInterface::LOG_TRACE;
constexpr unsigned kPollTimeoutMs = 50; // the polled queue ignores it: each poll is one pass

enum : uint32_t {
    METHOD_INVITE = 1,
    METHOD_REGISTER,
    METHOD_CANCEL,
    METHOD_BYE,
    METHOD_ACK,
    METHOD_OPTIONS,
    METHOD_SUBSCRIBE,
    METHOD_NOTIFY,
    METHOD_REFER,
    METHOD_MESSAGE,
    METHOD_INFO,
    METHOD_UPDATE,
    METHOD_PRACK,
    METHOD_OTHER = 15,
};

const char* method_name(uint32_t method) {
    static const char* const names[] = {"",        "INVITE",    "REGISTER", "CANCEL", "BYE",     "ACK",
                                        "OPTIONS", "SUBSCRIBE", "NOTIFY",   "REFER",  "MESSAGE", "INFO",
                                        "UPDATE",  "PRACK",     "",         "OTHER"};
    return method < std::size(names) ? names[method] : "";
}

uint32_t status_of(const KZSIPEvent* event) {
    return event->code & 0xFFF;
}
uint32_t method_of(const KZSIPEvent* event) {
    return (event->code >> 24) & 0xFF;
}

// The text after "=" of a Via parameter ("received=198.51.100.7" gives the address).
std::string via_value(sip_msg* response, uint32_t element) {
    char text[CKZSIPGroup::kIEBufferSize];
    if (CKZSIPGroup::MSG_GetIE_STR(response, element, 0, text) != 0) return "";
    const char* eq = strchr(text, '=');
    return eq ? std::string(eq + 1) : std::string();
}

bool in_private_range(const std::string& address) {
    const uint32_t ip = ntohl(CKZSIPGroup::GetRealInetAddr(address.c_str()));
    return (ip >> 24) == 10 || (ip >> 20) == 0xAC1 || (ip >> 16) == 0xC0A8;
}

// The address and port under which the registrar saw us, when they differ from what the group
// believes its public address is; empty otherwise.
struct PublicAddress {
    std::string address;
    uint16_t port = 0;
};

PublicAddress changed_public_address(CKZSIPGroup* group, sip_msg* response, bool skip_private) {
    const std::string received = via_value(response, KZ_IE_SIP_VIA_RECEIVED);
    const std::string rport = via_value(response, KZ_IE_SIP_VIA_PARAM);
    if (received.empty() || rport.empty() || (skip_private && in_private_range(received))) return {};
    const auto port = static_cast<uint16_t>(atoi(rport.c_str()));
    if (CKZSIPGroup::GetRealInetAddr(received.c_str()) ==
            CKZSIPGroup::GetRealInetAddr(group->GetRealPublicSIPIP()) &&
        port == group->GetRealPublicSIPPort())
        return {};
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                         "Detected original SIP piblic ip is %s:%d, switching to %s:%d !",
                         group->GetRealPublicSIPIP(), static_cast<int>(group->GetRealPublicSIPPort()),
                         received.c_str(), static_cast<int>(port));
    return {received, port};
}

} // namespace

KZAPI::CKZCallControl* CKZSIPEventHandler::OwningCall(const KZSIPEvent* event, const char* request,
                                                      bool log_no_channel, KZAPI::CKZChannel** channel_out) {
    CKZSIPServer* server = Server();
    KZAPI::CKZChannel* channel = server ? server->GetChannelBySIPConnID(event->connection_id) : nullptr;
    if (channel_out) *channel_out = channel;
    const int id = static_cast<int>(event->connection_id);
    if (!channel) {
        if (log_no_channel)
            CKZLogInterface::Log(kLogError, "<< ------ %s, Cannot find chan for Connection ID:%d", request,
                                 id);
        return nullptr;
    }
    KZAPI::CKZCallControl* cc = channel->GetCallControl();
    if (cc && !AsSIPCallControl(cc)) cc = nullptr;
    if (!cc)
        CKZLogInterface::Log(kLogError, "<< ------ %s, Cannot find call control for Connection ID:%d",
                             request, id);
    return cc;
}

CKZSIPServer* CKZSIPEventHandler::Server() {
    return dynamic_cast<CKZSIPServer*>(KZAPI::CKZServer::GetServerObj());
}

unsigned CKZSIPEventHandler::ProcessProxySIP_Request(CKZSIPGroup* group, KZSIPEvent* event) {
    CKZSIPServer* server = Server();
    return server && server->ProxySessionEvent(group, event) ? 1 : 0;
}

unsigned CKZSIPEventHandler::ProcessProxySIP_Response(CKZSIPGroup* group, KZSIPEvent* event) {
    return ProcessProxySIP_Request(group, event);
}

int CKZSIPEventHandler::ProcessSIPEvent(CKZSIPGroup* group) {
    m_work_left = false;
    if (!group) return 0;
    int handled = 0;
    int busy_polls = 0;
    while (handled < kMaxEventsPerPass && busy_polls < kMaxBusyPollsPerPass) {
        const uint32_t result = group->WaitOnEvent(kPollTimeoutMs, &m_event);
        if (result == KZ_QUEUE_MORE_WAITING) {
            ++busy_polls;
            continue;
        }
        if (result != KZ_SIP_RESULT_OK) return handled;
        ProcessSIPEvent(group, &m_event);
        ++handled;
    }
    m_work_left = true;
    return handled;
}

void CKZSIPEventHandler::ProcessSIPEvent(CKZSIPGroup* group, KZSIPEvent* event) {
    try {
        switch (event->event_type) {
        case KZ_EVENT_SIP_MESSAGE_REQUEST:
            ClassifyRequest(group, event);
            break;
        case KZ_EVENT_SIP_MESSAGE_RESPONSE:
            ClassifyResponse(group, event);
            break;
        case KZ_EVENT_QUEUE_SHUTDOWN:
        case KZ_EVENT_QUEUE_TIMEOUT:
            break;
        default:
            ClassifyError(group, event);
            break;
        }
    } catch (...) {
        CKZLogInterface::Log(
            kLogError, "************CKZSIPEventHandler::ProcessSIPEvent Catched Exception**************");
    }
}

void CKZSIPEventHandler::ClassifyRequest(CKZSIPGroup* group, KZSIPEvent* event) {
    const uint32_t method = method_of(event);
    if (method == 0 || method == 14 || method > METHOD_OTHER) {
        CKZLogInterface::Log(kLogError, "Unknown SIP request message (%d)...", static_cast<int>(method));
        return;
    }
    CKZLogInterface::Log(kLogTrace, "<< ------ KZ_SIP_METHOD_%s, Connection ID:%d", method_name(method),
                         static_cast<int>(event->connection_id));
    switch (method) {
    case METHOD_INVITE:
        return ProcessSIPEvent_REQUEST_INVITE(group, event);
    case METHOD_REGISTER:
        return ProcessSIPEvent_REQUEST_REGISTER(group, event);
    case METHOD_CANCEL:
        return ProcessSIPEvent_REQUEST_CANCEL(group, event);
    case METHOD_BYE:
        return ProcessSIPEvent_REQUEST_BYE(group, event);
    case METHOD_ACK:
        return ProcessSIPEvent_REQUEST_ACK(group, event);
    case METHOD_OPTIONS:
        return ProcessSIPEvent_REQUEST_OPTIONS(group, event);
    case METHOD_SUBSCRIBE:
        return ProcessSIPEvent_REQUEST_SUBSCRIBE(group, event);
    case METHOD_NOTIFY:
        return ProcessSIPEvent_REQUEST_NOTIFY(group, event);
    case METHOD_REFER:
        return ProcessSIPEvent_REQUEST_REFER(group, event);
    case METHOD_MESSAGE:
        return ProcessSIPEvent_REQUEST_MESSAGE(group, event);
    case METHOD_INFO:
        return ProcessSIPEvent_REQUEST_INFO(group, event);
    case METHOD_UPDATE:
        return ProcessSIPEvent_REQUEST_UPDATE(group, event);
    case METHOD_PRACK:
        return ProcessSIPEvent_REQUEST_PRACK(group, event);
    default:
        return ProcessSIPEvent_REQUEST_OTHER(group, event);
    }
}

void CKZSIPEventHandler::ClassifyResponse(CKZSIPGroup* group, KZSIPEvent* event) {
    const uint32_t status = status_of(event);
    const int id = static_cast<int>(event->connection_id);
    switch (status) {
    case 100:
        CKZLogInterface::Log(kLogTrace, "<< ------ SIP_TRYING_VALUE, Connection ID:%d", id);
        return ProcessSIPEvent_RESPONSE_TRYING(group, event);
    case 180:
        CKZLogInterface::Log(kLogTrace, "<< ------ SIP_RINGING_VALUE, Connection ID:%d", id);
        return ProcessSIPEvent_RESPONSE_RINGING(group, event);
    case 183:
        CKZLogInterface::Log(kLogTrace, "<< ------ SIP_SESSIONPROGRESS_VALUE, Connection ID:%d", id);
        return ProcessSIPEvent_RESPONSE_SESSIONPROGRESS(group, event);
    case 200:
    case 202:
        CKZLogInterface::Log(kLogTrace, "<< ------ SIP_OK_VALUE, Connection ID:%d", id);
        return ProcessSIPEvent_RESPONSE_OK(group, event);
    case 300:
    case 301:
    case 302:
    case 305:
    case 380:
        return ProcessSIPEvent_RESPONSE_3xxFinalResponse(group, event);
    case 401:
        CKZLogInterface::Log(kLogTrace, "<< ------ SIP_UNAUTHORIZED_VALUE, Connection ID:%d", id);
        return ProcessSIPEvent_RESPONSE_UNAUTHORIZED(group, event);
    case 407:
        CKZLogInterface::Log(kLogTrace, "<< ------ 407(Proxy Authenication Required), Connection ID:%d", id);
        return ProcessSIPEvent_RESPONSE_ProxyAuthenicationRequired(group, event);
    default:
        break;
    }
    CKZLogInterface::Log(kLogError, "Unknown SIP response message (%d)...", static_cast<int>(status));
    if (status >= 200 && status <= 699) ProcessSIPEvent_RESPONSE_Non2xxFinalResponse(group, event);
}

void CKZSIPEventHandler::ClassifyError(CKZSIPGroup* group, KZSIPEvent* event) {
    const int id = static_cast<int>(event->connection_id);
    const char* name = kz_sip_event_name(event->event_type);
    switch (event->event_type) {
    case KZ_EVENT_SIP_EXTERNAL_MESSAGE:
        CKZLogInterface::Log(kLogTrace, "<< ------ %s Connection ID:%d", name, id);
        return;
    case KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_APP:
        CKZLogInterface::Log(kLogTrace, "<< ------ %s Connection ID:%d", name, id);
        return ProcessSIPEvent_NO_RESPONSE_FROM_APP(group, event);
    case KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_IE:
        CKZLogInterface::Log(kLogTrace, "<< ------ %s Received. Connection ID:%d, BADIE:%d", name, id,
                             static_cast<int>(event->code));
        return ProcessSIPEvent_SIP_ERROR(group, event);
    case KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_UNREACHABLE_HOST:
    case KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_APP:
    case KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE:
    case KZ_EVENT_SIP_ERROR_INVITE_NO_ACK_FROM_REMOTE:
    case KZ_EVENT_SIP_ERROR_INVITE_NO_FINAL_RESPONSE_FROM_REMOTE:
    case KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_MESSAGE:
    case KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_CONNECTIONID:
        CKZLogInterface::Log(kLogTrace, "<< ------ %s Received. Connection ID:%d", name, id);
        return ProcessSIPEvent_SIP_ERROR(group, event);
    default:
        // The name of an unknown event is its "Unknown SIP event (%d)..." text.
        CKZLogInterface::Log(kLogError, "%s", name);
        return;
    }
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_INVITE(CKZSIPGroup* group, KZSIPEvent* event) {
    SIPReceivedMessage request(group, event);
    if (!request) return;
    CKZSIPServer* server = Server();
    const uint32_t connection = event->connection_id;
    if (server && server->GetChannelBySIPConnID(connection))
        return CallReInvite(group, event, request.release(), request.address(), request.port());
    if (ProcessProxySIP_Request(group, event)) return;

    if (server && server->ProxySitesCount() > 0) {
        char from[512], to[512], via[512], uri[512];
        if (CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_FROM, 0, from) != 0 ||
            CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_TO, 0, to) != 0 ||
            CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_VIA_ADDRESS, 0, via) != 0 ||
            CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_REQUEST_LINE_URI, 0, uri) != 0) {
            group->SIP_Send4xx(request.get(), connection, "400", "Bad Request");
            return;
        }
        SIPAddressParts target(uri);
        if (!target.ok || target.host.empty()) {
            group->SIP_Send4xx(request.get(), connection, "400", "Bad Request");
            return;
        }
        CKZSIPProxySiteI* site = server->GetProxySiteByDomain(target.host.c_str(), "");
        if (site) {
            ProxyNewCall call;
            call.group = group;
            call.connection = connection;
            call.invite = request.get();
            call.from = from;
            call.to = to;
            call.uri = uri;
            call.via = via;
            call.source_address = request.address();
            call.source_port = request.port();
            call.now = server->NowSeconds();
            try {
                KZAPI::CMutexLock lock(server->GetServerMutex());
                if (site->OnProxyNewCallSession(call) >= 0) return;
            } catch (...) {
                CKZLogInterface::Log(
                    kLogError, "************pSite->OnProxyNewCallSession Catched Exception**************");
            }
        }
    }

    KZAPI::CKZChannel* channel =
        server ? server->GetIdleChannel(KZAPI::CKZCallControl::KIND_SIP, 1) : nullptr;
    if (!channel) {
        group->SIP_Send4xx(request.get(), connection, "486", "Busy Here");
        return;
    }
    if (!channel->GetCallControl() || !AsSIPCallControl(channel->GetCallControl())) {
        CKZLogInterface::Log(kLogError,
                             "<< ------ SIP_REQUEST_INVITE, Cannot find call control for Connection ID:%d",
                             static_cast<int>(event->connection_id));
        group->SIP_Send4xx(request.get(), connection, "500",
                           "Internal Server Error - Cannot find call control");
        return;
    }
    NewCallOnChannel(group, event, channel, request.release(), request.address(), request.port());
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_NOTIFY(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Request(group, event)) return;
    SIPReceivedMessage request(group, event);
    if (!request) return;
    CKZSIPServer* server = Server();
    if (server && server->GetChannelBySIPConnID(event->connection_id)) return CallNotify(group, event);
    // A NOTIFY outside any call reports a subscription's state; it is acknowledged in every case.
    ReportSubscriptionNotify(server, request.get());
    group->SIP_SendOK(request.get(), event->connection_id, false, "", -1);
}

void CKZSIPEventHandler::ReportSubscriptionNotify(CKZSIPServer* server, sip_msg* notify) {
    KZAPI::CKZAPIEnv& env = *KZAPI::CKZAPIEnv::GetKZAPIEnv();
    const std::string event = sip_element(notify, KZ_IE_SIP_EVENT);
    const std::string type = sip_element(notify, KZ_IE_SIP_CONTENT_TYPE);
    const std::string state = sip_element(notify, KZ_IE_SIP_SUBSCRIPTION_STATE);
    const std::string to = sip_element(notify, KZ_IE_SIP_TO);
    const bool reg = KZAPI::iequals(event, "reg");
    if (!reg && !KZAPI::iequals(event, "presence") && !KZAPI::iequals(event, "dialog")) {
        if (KZAPI::istarts_with(type, "application/simple-message-summary"))
            env.Send_NotifySimpleMessageSummary(sip_element(notify, KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING).c_str(),
                                                sip_element(notify, KZ_IE_SIMPLE_MSG_SUM_MSG_ACCOUNT).c_str(),
                                                sip_element(notify, KZ_IE_SIMPLE_MSG_SUM_VOICE_MSG).c_str());
        return;
    }
    if (reg && !KZAPI::istarts_with(type, "application/reginfo+xml")) return;
    const bool xml_body = reg || KZAPI::istarts_with(type, "application/pidf+xml") ||
                          KZAPI::istarts_with(type, "application/dialog-info+xml");
    if (xml_body) {
        env.FireOn_Notify(0, to.c_str(), event.c_str(), state.c_str(), type.c_str(),
                          sip_element(notify, KZ_IE_SIP_BODY).c_str());
        return;
    }
    const SIPAddressParts addressee(to.c_str());
    kz_sip_user_reg_profile* account =
        server ? server->GetUserRegProfile(addressee.host.c_str(), addressee.user.c_str(),
                                           CKZSIPServer::LOOKUP_ANY)
               : nullptr;
    const int index = account ? server->SIPAccount_Index(account) : -1;
    env.FireOn_Notify(index, to.c_str(), event.c_str(), state.c_str(), type.c_str(),
                      sip_element(notify, KZ_IE_SIP_NOTIFY_PRESENCE).substr(0, kMaxReportedBody).c_str());
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_MESSAGE(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Request(group, event)) return;
    SIPReceivedMessage request(group, event);
    if (!request) return;
    sip_msg* message = request.get();
    std::string to = sip_element(message, KZ_IE_SIP_X_SMS_TO);
    if (to.empty()) to = sip_element(message, KZ_IE_SIP_TO);
    std::string text = sip_element(message, KZ_IE_SIP_MESSAGE_CONTENT).substr(0, kMaxReportedBody);
    // A trailing line break, in any of its forms, is not part of the text.
    for (char end : {'\n', '\r', '\n'})
        if (!text.empty() && text.back() == end) text.pop_back();
    CKZSIPServer* server = Server();
    const KZAPI::CKZChannel* channel = server ? server->GetChannelBySIPConnID(event->connection_id) : nullptr;
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_Message(
        channel ? channel->GetChannelNumber() : -1, sip_element(message, KZ_IE_SIP_FROM).c_str(), to.c_str(),
        sip_element(message, KZ_IE_SIP_REQUEST_LINE_URI).c_str(), text.c_str());
    group->SIP_SendOK(message, event->connection_id, false, "", -1);
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_OPTIONS(CKZSIPGroup* group, KZSIPEvent* event) {
    SIPReceivedMessage request(group, event);
    if (request) group->SIP_SendOK(request.get(), event->connection_id, true, "", -1);
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_PRACK(CKZSIPGroup* group, KZSIPEvent* event) {
    SIPReceivedMessage request(group, event);
    if (request) group->SIP_SendOK(request.get(), event->connection_id, false, "", -1);
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_UPDATE(CKZSIPGroup*, KZSIPEvent*) {
    // UPDATE is not answered.
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_OTHER(CKZSIPGroup* group, KZSIPEvent* event) {
    SIPReceivedMessage request(group, event);
    if (request) group->SIP_Send4xx(request.get(), event->connection_id, "501", "Not Implemented");
}

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_REGISTER(CKZSIPGroup* group, KZSIPEvent* event) {
    SIPReceivedMessage request(group, event);
    if (!request) return;
    const uint32_t connection = event->connection_id;
    char from[512], to[512], uri[512];
    if (CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_FROM, 0, from) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_TO, 0, to) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_REQUEST_LINE_URI, 0, uri) != 0) {
        group->SIP_Send4xx(request.get(), connection, "400", "Bad Request");
        return;
    }
    const SIPAddressParts addressee(to);
    if (!addressee.ok || addressee.user.empty() || addressee.host.empty()) {
        group->SIP_Send4xx(request.get(), connection, "400", "Bad Request");
        return;
    }
    const SIPAddressParts target(uri);
    CKZSIPServer* server = Server();
    CKZSIPProxySiteI* site =
        server ? server->GetProxySiteByDomain(addressee.host.c_str(), target.host.c_str()) : nullptr;
    if (!site) {
        group->SIP_Send4xx(request.get(), connection, "406", "Not Acceptable");
        return;
    }
    // The realm of the challenge is the domain by which the site was found.
    const std::string& realm = site->ServesDomain(addressee.host.c_str()) ? addressee.host : target.host;
    KZAPI::CMutexLock lock(server->GetServerMutex());
    site->OnRegister({group, request.get(), connection, realm.c_str(), request.address(), request.port(),
                      server->NowSeconds()});
}

namespace {
// A dialog tag of 8 random characters for an answer that creates the dialog.
std::string random_tag() {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string tag;
    for (int i = 0; i < 8; ++i)
        tag += kChars[KZAPI::get_rand_u32() % (sizeof(kChars) - 1)];
    return tag;
}

// A SUBSCRIBE's lifetime as a REGISTER's, but without a default: -1 when it names none.
int subscribe_lifetime(sip_msg* request) {
    const std::string expires = sip_element(request, KZ_IE_SIP_EXPIRES);
    if (!expires.empty()) return atoi(expires.c_str());
    std::string contact = sip_element(request, KZ_IE_SIP_CONTACT);
    for (char& c : contact)
        c = KZAPI::ascii_lower(c);
    const size_t at = contact.find("expires=");
    if (at == std::string::npos) return -1;
    return atoi(contact.c_str() + at + 8);
}
} // namespace

void CKZSIPEventHandler::ProcessSIPEvent_REQUEST_SUBSCRIBE(CKZSIPGroup* group, KZSIPEvent* event) {
    SIPReceivedMessage request(group, event);
    if (!request) return;
    const uint32_t connection = event->connection_id;
    char from[512], to[512], call_id[512], uri[512], via[512];
    if (CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_FROM, 0, from) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_TO, 0, to) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_CALLID, 0, call_id) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_REQUEST_LINE_URI, 0, uri) != 0 ||
        CKZSIPGroup::MSG_GetIE_STR(request.get(), KZ_IE_SIP_VIA_ADDRESS, 0, via) != 0) {
        group->SIP_Send4xx(request.get(), connection, "400", "Bad Request");
        return;
    }
    std::string to_tag = sip_element(request.get(), KZ_IE_SIP_TO_TAG);
    if (to_tag.empty()) to_tag = random_tag();
    const std::string from_tag = sip_element(request.get(), KZ_IE_SIP_FROM_TAG);
    CKZLogInterface::Log(kLogTrace,
                         "CKZSIPEventHandler::ProcessSIPEvent_REQUEST_SUBSCRIBE FromTag:%s ToTag:%s",
                         from_tag.c_str(), to_tag.c_str());
    const SIPAddressParts target(uri);
    const int lifetime = subscribe_lifetime(request.get());
    if (!target.ok || target.user.empty() || target.host.empty() || lifetime < 0) {
        group->SIP_Send4xx(request.get(), connection, "400", "Bad Request");
        return;
    }
    CKZSIPServer* server = Server();
    // A refresh inside the dialog is sent to the Contact we gave, which names our address rather
    // than the site's domain: the site is then the one of the subscribed resource (the To).
    const SIPAddressParts resource(to);
    CKZSIPProxySiteI* site =
        server ? server->GetProxySiteByDomain(target.host.c_str(), resource.host.c_str()) : nullptr;
    if (!site) {
        group->SIP_Send4xx(request.get(), connection, "406", "Not Acceptable");
        return;
    }
    KZAPI::CMutexLock lock(server->GetServerMutex());
    const int64_t now = server->NowSeconds();
    // The watcher is the one who proves who it is.
    const SIPAddressParts watcher(from);
    const ProxySiteRequest site_request{
        group, request.get(), connection, target.host.c_str(), request.address(), request.port(), now};
    if (!site->AuthorizeSubscribe(site_request, watcher.user.c_str())) return;
    const std::string event_package = sip_element(request.get(), KZ_IE_SIP_EVENT);
    ProxySubscribeOutcome outcome = ProxySubscribeOutcome::NotHandled;
    if (KZAPI::iequals(event_package, "message-summary"))
        outcome = site->SubscribeMessageSummary(site_request, to_tag.c_str(), lifetime);
    if (outcome == ProxySubscribeOutcome::Refused) return;
    if (outcome == ProxySubscribeOutcome::NotHandled)
        group->SIP_SendOK(request.get(), connection, false, to_tag.c_str(), lifetime);
    if (KZAPI::iequals(event_package, "dialog"))
        site->AddProxyUserSubscribedList(target.user.c_str(), watcher.user.c_str(), call_id, to_tag.c_str(),
                                         from_tag.c_str(), lifetime, now);
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_ProxyUserSubscribed(site->GetNumber(), from, to, uri, via,
                                                                call_id, from_tag.c_str(), request.port());
}

// ---- responses: calls are driven in the call paths, the server's own requests here ----

void CKZSIPEventHandler::ProcessSIPEvent_RESPONSE_OK(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    CKZSIPServer* server = Server();
    if (!server) return;
    if (server->GetChannelBySIPConnID(event->connection_id)) return CallAnsweredOK(group, event);
    SIPReceivedMessage response(group, event);
    if (!response) return;
    if (server->CheckOKForProxyUser(response.get())) return; // a proxy user answered the site
    if (server->OnOK(event->connection_id, response.get()) != 0) {
        CKZLogInterface::Log(kLogError, "<< ------ SIP_RESPONSE_OK, Cannot find chan for Connection ID:%d",
                             static_cast<int>(event->connection_id));
        return;
    }
    const PublicAddress seen = changed_public_address(group, response.get(), false);
    if (!seen.address.empty()) server->AdjustSIPandRTPIPAddress(group, seen.address.c_str(), seen.port);
}

void CKZSIPEventHandler::ProcessSIPEvent_RESPONSE_UNAUTHORIZED(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    CKZSIPServer* server = Server();
    if (server && server->GetChannelBySIPConnID(event->connection_id))
        return CallChallenged(group, event, false);
    ServerChallenge(group, event);
}

void CKZSIPEventHandler::ProcessSIPEvent_RESPONSE_ProxyAuthenicationRequired(CKZSIPGroup* group,
                                                                             KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    CKZSIPServer* server = Server();
    if (server && server->GetChannelBySIPConnID(event->connection_id))
        return CallChallenged(group, event, true);
    ServerChallenge(group, event);
}

void CKZSIPEventHandler::ServerChallenge(CKZSIPGroup* group, KZSIPEvent* event) {
    CKZSIPServer* server = Server();
    if (!server || server->GetChannelBySIPConnID(event->connection_id)) return; // a call's challenge
    SIPReceivedMessage response(group, event);
    if (!response) return;
    if (server->CheckOKForProxyUser(response.get())) return; // a proxy user refused the site's request
    // A public address seen by the registrar goes into the Via and Contact of the answer.
    const PublicAddress seen = changed_public_address(group, response.get(), true);
    if (!seen.address.empty()) server->AdjustSIPandRTPIPAddress(group, seen.address.c_str(), seen.port);
    server->OnUnauthorized(event->connection_id, response.get(), seen.address.c_str(), seen.port);
}

void CKZSIPEventHandler::ProcessSIPEvent_RESPONSE_Non2xxFinalResponse(CKZSIPGroup* group, KZSIPEvent* event) {
    CKZSIPServer* server = Server();
    if (!server) return;
    SIPReceivedMessage response(group, event);
    if (!response || server->CheckOKForProxyUser(response.get())) return;
    if (ProcessProxySIP_Response(group, event)) return;
    if (server->GetChannelBySIPConnID(event->connection_id)) return CallRefused(group, event);
    if (server->OnSIPError(event->connection_id, response.get(), event) != 0)
        CKZLogInterface::Log(
            kLogError, "<< ------ SIP_RESPONSE_TransactionTerminated, Cannot find chan for Connection ID:%d",
            static_cast<int>(event->connection_id));
}

void CKZSIPEventHandler::ProcessSIPEvent_SIP_ERROR(CKZSIPGroup* group, KZSIPEvent* event) {
    if (ProcessProxySIP_Response(group, event)) return;
    CKZSIPServer* server = Server();
    if (!server) return;
    if (server->GetChannelBySIPConnID(event->connection_id)) return CallError(event);
    SIPReceivedMessage message(group, event);
    // A request of a proxy site to one of its users that went unanswered.
    if (message && server->CheckOKForProxyUser(message.get())) return;
    if (server->OnSIPError(event->connection_id, message.get(), event) != 0)
        CKZLogInterface::Log(kLogError, "<< ------ SIP_ERROR, Cannot find chan for Connection ID:%d",
                             static_cast<int>(event->connection_id));
}
