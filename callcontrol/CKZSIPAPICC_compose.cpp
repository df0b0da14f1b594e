// Composition of the call's requests and responses: addresses, contacts, routes, SDP and
// digest credentials. Every message is a record of elements handed to the SIP group; the stack
// completes it from the dialog (Call-ID, tags, CSeq, Via branch) and sends it.
#include "callcontrol/CKZSIPAPICC.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "media/CKZSIPMediaNegotiation.h"
#include "server/CKZSIPServer.h"
#include "server/SIPAddressParts.h"
#include "sipmsg/kz_sip_defs.h"

#include <arpa/inet.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

using KZAPI::CKZLogInterface;

namespace {

constexpr uint16_t kDefaultSIPPort = 5060;
constexpr const char* kTransportParam = "transport=";
constexpr const char* kMaxForwards = "70";
// User agents that want responses at the address of their Contact, not at the sender's.
constexpr const char* kAnswerAtContactAgents[] = {"Cisco-CP", "OmiPCX Enterprise"};

bool is_set(const char* text) {
    return text && *text;
}

const char* via_protocol(int transport) {
    if (transport == KZ_SIP_PROT_TLS) return "SIP/2.0/TLS";
    return transport > 0 ? "SIP/2.0/TCP" : "SIP/2.0/UDP";
}

bool has_transport_param(const char* contact) {
    std::string lower = contact;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find(kTransportParam) != std::string::npos;
}

const char* or_empty(const char* text) {
    return text ? text : "";
}

bool in_private_range(const char* address) {
    const uint32_t ip = ntohl(CKZSIPGroup::GetRealInetAddr(address));
    return (ip >> 24) == 10 || (ip >> 20) == 0xAC1 || (ip >> 16) == 0xC0A8;
}

// The private block (10/8, 172.16/12, 192.168/16) an address lies in; 0 for none.
uint32_t private_block(const char* address) {
    const uint32_t ip = ntohl(CKZSIPGroup::GetRealInetAddr(address));
    if ((ip >> 24) == 10) return 0x0A000000;
    if ((ip >> 20) == 0xAC1) return 0xAC100000;
    if ((ip >> 16) == 0xC0A8) return 0xC0A80000;
    return 0;
}

bool has_configured_public_address(const CKZSIPGroup* group) {
    const char* address = group ? group->GetUsePublicIPInRTP() : "";
    return is_set(address) && std::strcmp(address, "0") != 0;
}

std::string number_text(long value) {
    return std::to_string(value);
}

uint32_t add(sip_msg* message, uint32_t element, const char* text, unsigned index = 0) {
    return CKZSIPGroup::MSG_AddIE_STR(message, element, index, or_empty(text));
}

// The element's value, or "" when the message lacks it.
std::string element(sip_msg* message, uint32_t id, unsigned index = 0) {
    char text[CKZSIPGroup::kIEBufferSize];
    if (!message || CKZSIPGroup::MSG_GetIE_STR(message, id, index, text) != 0) return "";
    return text;
}

// Copies one element's value when the source has it; 0 also when there was nothing to copy.
uint32_t copy_element(sip_msg* source, sip_msg* target, uint32_t source_id, uint32_t target_id) {
    const std::string value = element(source, source_id);
    return value.empty() ? 0 : CKZSIPGroup::MSG_SetIE_STR(target, target_id, 0, value.c_str());
}

bool answers_at_contact(sip_msg* request) {
    const std::string agent = element(request, KZ_IE_SIP_USER_AGENT);
    for (const char* prefix : kAnswerAtContactAgents)
        if (agent.compare(0, std::strlen(prefix), prefix) == 0) return true;
    return false;
}

// The URI inside the brackets of a header value ("<sip:b@y>;tag=1" gives "sip:b@y").
std::string uri_of(const std::string& value) {
    const size_t open = value.find('<');
    if (open == std::string::npos) return value.substr(0, value.find(';'));
    const size_t close = value.find('>', open);
    return value.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}

// A header value without its tag parameter ("<sip:a@x>;tag=1;p=2" gives "<sip:a@x>;p=2").
std::string without_tag(const char* value) {
    std::string text = or_empty(value);
    const size_t close = text.rfind('>');
    const size_t tag = text.find(";tag=", close == std::string::npos ? 0 : close);
    if (tag == std::string::npos) return text;
    const size_t end = text.find(';', tag + 1);
    text.erase(tag, end == std::string::npos ? std::string::npos : end - tag);
    return text;
}

// The elements of one digest set: what the challenge holds and where the answer puts them.
struct DigestIds {
    uint32_t challenge_type, challenge_qop, challenge_realm, challenge_nonce, challenge_algorithm,
        challenge_opaque;
    uint32_t type, qop, username, realm, nonce, algorithm, opaque, password, uri, cnonce, nc;
};
constexpr DigestIds kWWWDigest = {
    KZ_IE_SIP_WWW_AUTH_REQ_TYPE,    KZ_IE_SIP_WWW_AUTH_REQ_QOP,       KZ_IE_SIP_WWW_AUTH_REQ_REALM,
    KZ_IE_SIP_WWW_AUTH_REQ_NONCE,   KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM, KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE,
    KZ_IE_SIP_WWW_AUTH_RESP_TYPE,   KZ_IE_SIP_WWW_AUTH_RESP_QOP,      KZ_IE_SIP_WWW_AUTH_RESP_USERNAME,
    KZ_IE_SIP_WWW_AUTH_RESP_REALM,  KZ_IE_SIP_WWW_AUTH_RESP_NONCE,    KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM,
    KZ_IE_SIP_WWW_AUTH_RESP_OPAQUE, KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD, KZ_IE_SIP_WWW_AUTH_RESP_URI,
    KZ_IE_SIP_WWW_AUTH_RESP_CNONCE, KZ_IE_SIP_WWW_AUTH_RESP_NC};
constexpr DigestIds kProxyDigest = {
    KZ_IE_SIP_PROXY_AUTH_REQ_TYPE,    KZ_IE_SIP_PROXY_AUTH_REQ_QOP,       KZ_IE_SIP_PROXY_AUTH_REQ_REALM,
    KZ_IE_SIP_PROXY_AUTH_REQ_NONCE,   KZ_IE_SIP_PROXY_AUTH_REQ_ALGORITHM, KZ_IE_SIP_PROXY_AUTH_REQ_OPAQUE,
    KZ_IE_SIP_PROXY_AUTH_RESP_TYPE,   KZ_IE_SIP_PROXY_AUTH_RESP_QOP,      KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME,
    KZ_IE_SIP_PROXY_AUTH_RESP_REALM,  KZ_IE_SIP_PROXY_AUTH_RESP_NONCE,    KZ_IE_SIP_PROXY_AUTH_RESP_ALGORITHM,
    KZ_IE_SIP_PROXY_AUTH_RESP_OPAQUE, KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD, KZ_IE_SIP_PROXY_AUTH_RESP_URI,
    KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE, KZ_IE_SIP_PROXY_AUTH_RESP_NC};

// The dialog elements a challenge keeps so the repeated request continues the same call.
constexpr uint32_t kChallengeDialogIds[] = {KZ_IE_SIP_CALLID,      KZ_IE_SIP_FROM_TAG,
                                            KZ_IE_SIP_TO_TAG,      KZ_IE_SIP_CSEQ_NUMBER,
                                            KZ_IE_SIP_CSEQ_METHOD, KZ_IE_SIP_EXTRA_HEADER};

} // namespace

// ---- requests ----

int CKZSIPAPICC::SendSIPRequestMsgEx(const char* method, const char* from, const char* to, const char* uri,
                                     const char* contact, unsigned with_sdp, int direction) {
    if (HasForcedDestination())
        return SendSIPRequestMsg(method, from, to, uri, contact, with_sdp, direction, GetToIP(), GetToPort());
    if (is_set(m_peer_sip_address) && m_peer_sip_port != 0)
        return SendSIPRequestMsg(method, from, to, uri, contact, with_sdp, direction, m_peer_sip_address,
                                 m_peer_sip_port);
    if (is_set(m_account.proxy) && !m_contact_decided) {
        const SIPAddressParts proxy(m_account.proxy);
        if (!proxy.host.empty()) {
            KZAPI::str_cpy(m_peer_sip_address, proxy.host.c_str(), sizeof(m_peer_sip_address));
            m_peer_sip_port = proxy.PortOrDefault();
            return SendSIPRequestMsg(method, from, to, uri, contact, with_sdp, direction, m_peer_sip_address,
                                     m_peer_sip_port);
        }
    }
    // No address: the stack routes by the first Route or the request URI.
    return SendSIPRequestMsg(method, from, to, uri, contact, with_sdp, direction, nullptr, 0);
}

int CKZSIPAPICC::SendSIPRequestMsg(const char* method, const char* from, const char* to, const char* uri,
                                   const char* contact, unsigned with_sdp, int direction,
                                   const char* dest_address, uint16_t dest_port) {
    sip_msg* raw = nullptr;
    const uint32_t allocated = CKZSIPGroup::AllocMessage(&raw);
    if (allocated != 0 || !raw) return static_cast<int>(allocated ? allocated : CKZSIPGroup::kFailure);
    const SIPMessagePtr message(raw);
    const bool invite = KZAPI::iequals(or_empty(method), "INVITE");
    const CKZSIPServer* server = Server();
    const bool prack = server && server->GetUsePRACK();

    uint32_t result = 0;
    if (with_sdp) result |= AddSDPOffer(raw, method, direction);
    result |= AddCommonRequestElements(raw, method, from, to, uri, contact);
    result |= AddTransferElements(raw);
    result |= AddCreditIntoRequest(Group(), raw, nullptr, method);
    if (invite && prack) result |= CKZSIPGroup::MSG_SetIE_STR(raw, KZ_IE_SIP_SUPPORT, 0, "replaces,100rel");
    if (is_set(dest_address))
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "SendSIPRequestMsg %s:%d, protocol:%d, SRTP:%d",
                             dest_address, dest_port, m_transport_protocol, m_srtp_on);
    else
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "SendSIPRequestMsg null:%d, protocol:%d, SRTP:%d",
                             dest_port, m_transport_protocol, m_srtp_on);
    result |= AddTransportElements(raw, nullptr);
    result |= HandRequestToStack(raw, method, dest_address, dest_port);
    return static_cast<int>(result);
}

uint32_t CKZSIPAPICC::AddCommonRequestElements(sip_msg* message, const char* method, const char* from,
                                               const char* to, const char* uri, const char* contact) {
    const CKZSIPGroup* group = Group();
    uint32_t result = add(message, KZ_IE_SIP_FROM, from);
    result |= add(message, KZ_IE_SIP_TO, to);
    result |= add(message, KZ_IE_SIP_REQUEST_LINE_URI, uri);
    result |= add(message, KZ_IE_SIP_REQUEST_LINE_METHOD, method);
    result |= add(message, KZ_IE_SIP_REQUEST_LINE_PROTVERSION, "SIP/2.0");
    if (group && is_set(group->GetSIPUserAgent()))
        result |= add(message, KZ_IE_SIP_USER_AGENT, group->GetSIPUserAgent());
    result |= add(message, KZ_IE_SIP_MAX_FORWARDS, kMaxForwards);
    result |= add(message, KZ_IE_SIP_VIA_PROTOCOL, via_protocol(m_transport_protocol));
    char via[kAddressSize + 8];
    KZAPI::s_printf(via, sizeof(via), "%s:%d", m_sdp_via.via_address, TransportPort(m_sdp_via.via_port));
    result |= add(message, KZ_IE_SIP_VIA_ADDRESS, via);
    char value[kTextSize + 16];
    ContactForTransport(contact, value, sizeof(value));
    if (is_set(value)) result |= add(message, KZ_IE_SIP_CONTACT, value);
    for (int i = 0; i < GetRouteCount(); ++i)
        result |= add(message, KZ_IE_SIP_ROUTE, GetRoute(i), static_cast<unsigned>(i));
    return result;
}

// The new call placed for a received REFER names the dialog it replaces and who referred it.
uint32_t CKZSIPAPICC::AddTransferElements(sip_msg* message) {
    if (!m_org_transfer_cc) return 0;
    char replaces[3 * kTextSize + 32];
    KZAPI::s_printf(replaces, sizeof(replaces), "%s;to-tag=%s;from-tag=%s", m_replaces_call_id,
                    m_replaces_to_tag, m_replaces_from_tag);
    uint32_t result = add(message, KZ_IE_SIP_REPLACES, replaces);
    if (is_set(m_refer_contact)) result |= add(message, KZ_IE_SIP_REFERRED_BY, m_refer_contact);
    const CKZSIPServer* server = Server();
    const bool prack = server && server->GetUsePRACK();
    return result |
           CKZSIPGroup::MSG_SetIE_STR(message, KZ_IE_SIP_SUPPORT, 0, prack ? "replaces,100rel" : "replaces");
}

// A stream transport keeps the message on its connection: the protocol (and TLS type) for a
// request, and the request's socket for a response.
uint32_t CKZSIPAPICC::AddTransportElements(sip_msg* message, sip_msg* request) {
    if (m_transport_protocol <= 0) return 0;
    uint32_t result =
        CKZSIPGroup::MSG_SetIE_STR(message, KZ_IE_SIP_PROTOCOL, 0, number_text(m_transport_protocol).c_str());
    if (request) {
        if (CKZSIPGroup::CopyIE_STR(request, message, KZ_IE_SIP_TCP_SOCKET, 0, 0) != 0)
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "SendSIPResponseMsg request has no TCP socket");
    } else if (m_tls_type != 0) {
        result |= CKZSIPGroup::MSG_SetIE_STR(message, KZ_IE_SIP_SSL_TYPE, 0, number_text(m_tls_type).c_str());
    }
    return result;
}

uint32_t CKZSIPAPICC::HandRequestToStack(sip_msg* message, const char* method, const char* address,
                                         uint16_t port) {
    CKZSIPGroup* group = Group();
    if (!group) return CKZSIPGroup::kFailure;
    if (!KZAPI::iequals(or_empty(method), "CANCEL"))
        return CKZSIPGroup::SendMessage(group->GetSIPHandle(), message, address, port, GetSIPConnID());
    uint32_t connection = 0;
    uint32_t result = group->GetConnectionId(&connection);
    if (result != 0) return result;
    result =
        CKZSIPGroup::SendCancel(group->GetSIPHandle(), message, address, port, connection, GetSIPConnID());
    // The stack moves the dialog to the CANCEL's id: the answers arrive under it.
    if (result == 0) SetSIPConnID(connection);
    return result;
}

uint32_t CKZSIPAPICC::SendInDialogRequest(sip_msg* message, const char* method) {
    uint32_t result = AddCreditIntoRequest(Group(), message, nullptr, method);
    result |= AddTransportElements(message, nullptr);
    if (result != 0) return result;
    if (HasForcedDestination()) return HandRequestToStack(message, method, GetToIP(), GetToPort());
    if (is_set(m_peer_sip_address) && m_peer_sip_port != 0)
        return HandRequestToStack(message, method, m_peer_sip_address, m_peer_sip_port);
    return HandRequestToStack(message, method, nullptr, 0);
}

// A stream call's contact names its transport, so the far end's requests in the dialog come back
// on it; a TLS contact also names the TLS listener, one port above the SIP port.
void CKZSIPAPICC::ContactForTransport(const char* contact, char* out, size_t size) const {
    KZAPI::str_cpy(out, or_empty(contact), size);
    if (m_transport_protocol <= 0 || !is_set(contact) || has_transport_param(contact)) return;
    const bool tls = m_transport_protocol == KZ_SIP_PROT_TLS;
    std::string value = tls ? WithTLSPort(out) : std::string(out);
    const size_t close = value.rfind('>');
    const std::string param = std::string(";") + kTransportParam + (tls ? "tls" : "tcp");
    value.insert(close == std::string::npos ? value.size() : close, param);
    KZAPI::str_cpy(out, value.c_str(), size);
}

uint16_t CKZSIPAPICC::TransportPort(uint16_t sip_port) const {
    return m_transport_protocol == KZ_SIP_PROT_TLS ? static_cast<uint16_t>(sip_port + 1) : sip_port;
}

// The contact's port moved to the TLS listener when it names this side's SIP port.
std::string CKZSIPAPICC::WithTLSPort(const std::string& contact) const {
    const size_t scheme = contact.find("sip:");
    if (scheme == std::string::npos) return contact;
    const size_t host =
        contact.find('@', scheme) != std::string::npos ? contact.find('@', scheme) + 1 : scheme + 4;
    const size_t colon = contact.find(':', host);
    const size_t end = contact.find_first_of(";>", host);
    if (colon == std::string::npos || (end != std::string::npos && colon > end)) return contact;
    const size_t digits_end = end == std::string::npos ? contact.size() : end;
    const int port = std::atoi(contact.substr(colon + 1, digits_end - colon - 1).c_str());
    const CKZSIPGroup* group = Group();
    const bool ours = port == m_local_sip_port || (group && port == group->GetRealPublicSIPPort());
    if (!ours) return contact;
    return contact.substr(0, colon + 1) + std::to_string(port + 1) + contact.substr(digits_end);
}

// ---- responses ----

int CKZSIPAPICC::SendSIPResponseMsg(sip_msg* request, int code, const char* text, const char* via,
                                    const char* call_id, const char* to, const char* from,
                                    const char* contact, unsigned with_sdp, int direction) {
    sip_msg* raw = nullptr;
    const uint32_t allocated = CKZSIPGroup::AllocMessage(&raw);
    if (allocated != 0 || !raw) return static_cast<int>(allocated ? allocated : CKZSIPGroup::kFailure);
    const SIPMessagePtr message(raw);
    CKZSIPGroup* group = Group();
    const CKZSIPServer* server = Server();

    // A 302 may carry its target in the text: "Moved Temporarily Contact: <sip:...>".
    std::string reason = or_empty(text);
    std::string redirect_contact;
    const size_t contact_at = reason.find("Contact: ");
    if (code == 302 && contact_at != std::string::npos) {
        redirect_contact = reason.substr(contact_at + 9);
        reason.erase(contact_at);
    }
    uint32_t result = add(raw, KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, number_text(code).c_str());
    result |= add(raw, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, reason.c_str());
    result |= add(raw, KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, "SIP/2.0");
    if (group && is_set(group->GetSIPUserAgent()))
        result |= add(raw, KZ_IE_SIP_USER_AGENT, group->GetSIPUserAgent());
    result |= add(raw, KZ_IE_SIP_MAX_FORWARDS, kMaxForwards);
    result |= add(raw, KZ_IE_SIP_VIA_PROTOCOL, via_protocol(m_transport_protocol));
    result |= add(raw, KZ_IE_SIP_VIA_ADDRESS, via);
    result |= add(raw, KZ_IE_SIP_TO, to);
    result |= add(raw, KZ_IE_SIP_FROM, from);
    result |= add(raw, KZ_IE_SIP_CALLID, call_id);
    char value[kTextSize + 16];
    ContactForTransport(redirect_contact.empty() ? contact : redirect_contact.c_str(), value, sizeof(value));
    if (is_set(value)) result |= add(raw, KZ_IE_SIP_CONTACT, value);

    if (code != 100 && request) CKZSIPGroup::AddRouteInfo(request, raw, false);
    const bool reliable = (code == 180 || code == 183) && server && server->GetUsePRACK() &&
                          element(request, KZ_IE_SIP_SUPPORT).find("100rel") != std::string::npos;
    if (reliable) {
        result |= add(raw, KZ_IE_SIP_REQUIRE, "100rel");
        result |= add(raw, KZ_IE_SIP_RSEQ, number_text(m_local_sequence++).c_str());
    }
    if (with_sdp && result == 0) result |= AddSDPAnswer(raw, request, direction);

    char address[kAddressSize];
    uint16_t port = 0;
    ResponseDestination(request, address, sizeof(address), port);
    result |= AddTransportElements(raw, request);
    if (!group) return static_cast<int>(result | CKZSIPGroup::kFailure);
    result |= CKZSIPGroup::SendMessage(group->GetSIPHandle(), raw, is_set(address) ? address : nullptr, port,
                                       GetSIPConnID());
    return static_cast<int>(result);
}

// Some phones want responses at their Contact; everyone else gets them where the request came from.
void CKZSIPAPICC::ResponseDestination(sip_msg* request, char* address, size_t size, uint16_t& port) const {
    KZAPI::str_cpy(address, GetFromIP(), size);
    port = GetFromPort();
    if (!answers_at_contact(request)) return;
    const SIPAddressParts contact(element(request, KZ_IE_SIP_CONTACT).c_str());
    if (contact.host.empty()) return;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "SendSIPResponseMsg found special phone %s",
                         element(request, KZ_IE_SIP_USER_AGENT).c_str());
    KZAPI::str_cpy(address, contact.host.c_str(), size);
    port = contact.PortOrDefault();
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "SendSIPResponseMsg special phone address %s:%d",
                         address, port);
}

// ---- SDP ----

void CKZSIPAPICC::NextSDPSessionVersion() {
    if (!is_set(m_sdp_session_id)) {
        // Made once per call from the clock: the seconds of the time of day, and the
        // milliseconds as the first version.
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
        char text[32] = "";
        std::tm local{};
        localtime_r(&seconds, &local);
        std::strftime(text, sizeof(text), "%a %b %d %H:%M:%S %Y", &local);
        KZAPI::s_printf(m_sdp_session_id, sizeof(m_sdp_session_id), "%.2s", text + 17);
        KZAPI::s_printf(m_sdp_session_version, sizeof(m_sdp_session_version), "%03hu",
                        static_cast<unsigned short>(millis));
    }
    const auto next = static_cast<unsigned short>(std::atoi(m_sdp_session_version) + 1);
    KZAPI::s_printf(m_sdp_session_version, sizeof(m_sdp_session_version), "%03hu", next);
}

uint32_t CKZSIPAPICC::AddSDPSession(sip_msg* message) {
    NextSDPSessionVersion();
    const KZAPI::CString name = KZAPI::KZ_CFG_GetValue("kzsrv.sip.sdp.session.name", "ZELMAR_SIP_SDK");
    const std::string port = number_text(m_sdp_via.sdp_port);
    const struct {
        uint32_t id;
        const char* value;
    } lines[] = {
        {KZ_IE_SDP_VERSION, "0"},
        {KZ_IE_SDP_OWNER_USERNAME, "-"},
        {KZ_IE_SDP_OWNER_SESSION_ID, m_sdp_session_id},
        {KZ_IE_SDP_OWNER_SESSION_VERSION, m_sdp_session_version},
        {KZ_IE_SDP_OWNER_NETWORK_TYPE, "IN"},
        {KZ_IE_SDP_OWNER_ADDRESS_TYPE, "IP4"},
        {KZ_IE_SDP_OWNER_ADDRESS, m_sdp_via.sdp_address},
        {KZ_IE_SDP_CONNECTION_NETWORK_TYPE, "IN"},
        {KZ_IE_SDP_CONNECTION_ADDRESS_TYPE, "IP4"},
        {KZ_IE_SDP_CONNECTION_ADDRESS, m_sdp_via.sdp_address},
        {KZ_IE_SDP_SESSION_NAME, name.c_str()},
        {KZ_IE_SDP_TIMESTAMP_START, "0"},
        {KZ_IE_SDP_TIMESTAMP_STOP, "0"},
        {KZ_IE_SDP_MEDIA_TYPE, "audio"},
        {KZ_IE_SDP_MEDIA_PORT, port.c_str()},
        {KZ_IE_SDP_MEDIA_TRANSPORT, m_media->MediaTransport()},
    };
    uint32_t result = 0;
    for (const auto& line : lines)
        result |= add(message, line.id, line.value);
    return result;
}

// The record's media choices (preset codec, DTMF payload, SRTP) are handed to the negotiation
// before it writes lines. An offer states this side's SRTP choice; an answer the negotiated one.
void CKZSIPAPICC::PrepareMediaForSDP(bool offer) {
    if (m_media->GetPresetAudioCodec() != m_preset_audio_codec) m_media->SetAudioCodec(m_preset_audio_codec);
    if (m_dtmf_payload >= 0 && m_media->GetDTMFPayload() != m_dtmf_payload)
        m_media->SetDTMFPayload(m_dtmf_payload);
    if (offer)
        m_media->SetSRTPInUse(m_srtp_on != 0);
    else
        m_srtp_on = m_media->IsSRTPInUse() ? 1 : 0;
}

uint32_t CKZSIPAPICC::AddSDPOffer(sip_msg* message, const char* method, int direction) {
    PrepareMediaForSDP(true);
    uint32_t result = AddSDPSession(message);
    KZSDPLineRequest request;
    request.isAck = KZAPI::iequals(or_empty(method), "ACK");
    // Inside an established dialog the negotiated payload is offered again (re-INVITE).
    request.offerCurrentPayload = GetSIPStatus() >= SIP_CALL_CONNECTED;
    request.dtmfMethod = GetDTMFMethod();
    request.direction = direction;
    request.forcedDirection = m_rtp_force_dir;
    KZRelayedOffer relayed;
    const KZAPI::CKZChannel* channel = GetChannel();
    const KZAPI::CKZChannel* peer = channel ? channel->GetPeerChannel() : nullptr;
    if (auto* partner = peer ? dynamic_cast<CKZSIPAPICC*>(peer->GetCallControl()) : nullptr) {
        const KZ_SIP_CALL_STATUS status = partner->GetSIPStatus();
        relayed.partner = &partner->Media();
        relayed.offer = partner->GetCurSIPMsg();
        relayed.awaitingAnswer = status == SIP_CALL_ACCEPTED || status == SIP_CALL_RINGING;
        request.relayed = &relayed;
    }
    result |= m_media->AddOfferLines(message, request);
    m_dtmf_payload = m_media->GetDTMFPayload();
    return result;
}

uint32_t CKZSIPAPICC::AddSDPAnswer(sip_msg* message, sip_msg* request, int direction) {
    PrepareMediaForSDP(false);
    uint32_t result = AddSDPSession(message);
    KZSDPLineRequest lines;
    lines.dtmfMethod = GetDTMFMethod();
    lines.direction = direction;
    lines.forcedDirection = m_rtp_force_dir;
    if (request)
        result |= m_media->AddAnswerLines(message, lines, *request);
    else
        result |= m_media->AddOfferLines(message, lines);
    m_dtmf_payload = m_media->GetDTMFPayload();
    return result;
}

// ---- addresses ----

// The address of this host on the destination's own private network, or null.
const char* CKZSIPAPICC::LocalAddressOnNetworkOf(const char* destination, char* out, size_t size) const {
    if (!is_set(destination)) return nullptr;
    const uint32_t block = private_block(destination);
    if (block == 0) return nullptr;
    const uint32_t wanted = ntohl(CKZSIPGroup::GetRealInetAddr(destination));
    const char* same_block = nullptr;
    for (int i = 0; i < KZAPI::CKZServer::GetLocalIPCount(); ++i) {
        const char* local = KZAPI::CKZServer::GetLocalIP(i);
        if (private_block(local) != block) continue;
        // The same /24 is the best guess at "the same network"; else the same private block.
        if ((ntohl(CKZSIPGroup::GetRealInetAddr(local)) >> 8) == (wanted >> 8)) {
            same_block = local;
            break;
        }
        if (!same_block) same_block = local;
    }
    if (!same_block) return nullptr;
    KZAPI::str_cpy(out, same_block, size);
    return out;
}

void CKZSIPAPICC::BuildLocalContactID(const kz_sip_user_reg_profile* account, CKZSIPGroup* group,
                                      const char* dest_address, const char* user_source) {
    std::string user;
    if (account && is_set(account->user_name))
        user = account->user_name;
    else if (is_set(user_source))
        user = SIPAddressParts(user_source).user;
    if (user.empty()) user = "KZAPISIPUA-CH" + number_text(ChannelNumber());

    const char* registered = nullptr;
    if (account && account->state == kz_sip_user_reg_profile::REGISTERED)
        registered = is_set(account->return_contact) ? account->return_contact
                     : is_set(account->own_contact)  ? account->own_contact
                                                     : nullptr;
    char contact[kTextSize];
    char local[kAddressSize];
    if (registered) {
        KZAPI::str_cpy(contact, registered, sizeof(contact));
    } else if (m_explicit_addr) {
        KZAPI::s_printf(contact, sizeof(contact), "<sip:%s@%s:%d>", user.c_str(),
                        m_explicit_addr->sip_address, m_explicit_addr->sip_port);
    } else if (LocalAddressOnNetworkOf(dest_address, local, sizeof(local))) {
        KZAPI::s_printf(contact, sizeof(contact), "<sip:%s@%s:%d>", user.c_str(), local, m_local_sip_port);
        KZAPI::str_cpy(m_local_rtp_address, local, sizeof(m_local_rtp_address));
    } else if (has_configured_public_address(group)) {
        KZAPI::s_printf(contact, sizeof(contact), "<sip:%s@%s:%d>", user.c_str(),
                        group->GetUsePublicIPInRTP(), m_local_sip_port);
    } else {
        const char* address = group ? group->GetRealPublicSIPIP() : m_local_sip_address;
        const int port = group ? group->GetRealPublicSIPPort() : m_local_sip_port;
        KZAPI::s_printf(contact, sizeof(contact), "<sip:%s@%s:%d>", user.c_str(), address, port);
    }
    ContactForTransport(contact, m_local_contact, sizeof(m_local_contact));
}

CKZSIPAPICC* CKZSIPAPICC::ProxyRelatedCallControl() const {
    const int related = m_proxy_related_channel;
    const CKZSIPServer* server = Server();
    if (related < 0 || !server) return nullptr;
    for (int i = 0; i < server->GetNumOfChannels(); ++i) {
        const KZAPI::CKZChannel* channel = server->GetChannel(i);
        if (channel && channel->GetChannelNumber() == related)
            return dynamic_cast<CKZSIPAPICC*>(channel->GetCallControl());
    }
    return nullptr;
}

unsigned CKZSIPAPICC::DynamicallyDecideSDPAndViaAddrForRequest(
    CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr, const char* request_address,
    const char* rtp_address, const char* local_address, const kz_sip_user_reg_profile* account) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "DynamicallyDecideSDPAndViaAddrForRequest requestAddr:%s rtpAddr:%s localAddr:%s",
                         or_empty(request_address), or_empty(rtp_address), or_empty(local_address));
    char local[kAddressSize];
    if (m_proxy_related_channel >= 0) {
        DecideProxiedAddresses(group, addr, request_address, local_address);
    } else if (m_explicit_addr) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "DynamicallyDecideSDPAndViaAddrForRequest explicit SIP %s:%d RTP %s:%d",
                             m_explicit_addr->sip_address, m_explicit_addr->sip_port,
                             m_explicit_addr->rtp_address, m_explicit_addr->rtp_port);
        KZAPI::str_cpy(addr.via_address, m_explicit_addr->sip_address, sizeof(addr.via_address));
        addr.via_port = m_explicit_addr->sip_port;
        KZAPI::str_cpy(addr.sdp_address, m_explicit_addr->rtp_address, sizeof(addr.sdp_address));
        addr.sdp_port = m_explicit_addr->rtp_port;
        KZAPI::str_cpy(m_local_rtp_address, m_explicit_addr->rtp_address, sizeof(m_local_rtp_address));
        KZAPI::str_cpy(m_real_rtp_address, m_explicit_addr->rtp_address, sizeof(m_real_rtp_address));
        m_local_rtp_port = m_real_rtp_port = m_explicit_addr->rtp_port;
    } else if (LocalAddressOnNetworkOf(request_address, local, sizeof(local))) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "DynamicallyDecideSDPAndViaAddrForRequest proxy is in the same network %s",
                             local);
        KZAPI::str_cpy(addr.via_address, local, sizeof(addr.via_address));
        addr.via_port = m_local_sip_port;
        KZAPI::str_cpy(m_local_rtp_address, local, sizeof(m_local_rtp_address));
        KZAPI::str_cpy(m_real_rtp_address, local, sizeof(m_real_rtp_address));
        if (has_configured_public_address(group)) {
            SetSDPToPublicRTPAddress(group, addr, local, m_local_rtp_port);
        } else {
            KZAPI::str_cpy(addr.sdp_address, local, sizeof(addr.sdp_address));
            addr.sdp_port = m_local_rtp_port;
        }
    } else {
        DecidePublicAddresses(group, addr, rtp_address, local_address, account);
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "DynamicallyDecideSDPAndViaAddrForRequest via %s:%d sdp %s:%d", addr.via_address,
                         addr.via_port, addr.sdp_address, addr.sdp_port);
    return 1;
}

// A call the proxy relays: the two remote parties exchange media directly.
void CKZSIPAPICC::DecideProxiedAddresses(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                                         const char* request_address, const char* local_address) {
    CKZSIPAPICC* related = ProxyRelatedCallControl();
    if (related) {
        KZAPI::str_cpy(addr.sdp_address, related->GetPeerRTPIPAddress(), sizeof(addr.sdp_address));
        addr.sdp_port = related->GetPeerRTPIPPort();
        if (!IsOutbound())
            if (const StaticPayloadInfo* payload = related->Media().CurrentAudioPayload())
                m_media->SetCurrentAudioPayload(*payload);
    }
    char local[kAddressSize];
    const SIPAddressParts given(local_address);
    if (LocalAddressOnNetworkOf(request_address, local, sizeof(local))) {
        KZAPI::str_cpy(addr.via_address, local, sizeof(addr.via_address));
        addr.via_port = m_local_sip_port;
    } else if (!given.host.empty() && KZAPI::CKZServer::IsLocalIP(given.host.c_str()) &&
               !in_private_range(given.host.c_str())) {
        KZAPI::str_cpy(addr.via_address, given.host.c_str(), sizeof(addr.via_address));
        addr.via_port = m_local_sip_port;
    } else {
        KZAPI::str_cpy(addr.via_address, group ? group->GetRealPublicSIPIP() : m_local_sip_address,
                       sizeof(addr.via_address));
        addr.via_port = group ? group->GetRealPublicSIPPort() : m_local_sip_port;
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "DynamicallyDecideSDPAndViaAddrForRequest proxied call, related channel %d",
                         m_proxy_related_channel);
}

void CKZSIPAPICC::DecidePublicAddresses(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                                        const char* rtp_address, const char* local_address,
                                        const kz_sip_user_reg_profile* account) {
    const char* public_sip = group ? group->GetRealPublicSIPIP() : m_local_sip_address;
    const uint16_t public_sip_port = group ? group->GetRealPublicSIPPort() : m_local_sip_port;
    KZ_SIPProtocolConfig config{};
    const bool configured = group && group->GetConfig(&config) == 0 && is_set(config.local_address);
    const SIPAddressParts given(local_address);

    if (is_set(rtp_address) && std::strcmp(rtp_address, public_sip) == 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "DynamicallyDecideSDPAndViaAddrForRequest rtpAddr is the same as SIP public IP");
        const char* sdp = is_set(m_local_rtp_address) ? m_local_rtp_address
                          : configured                ? config.local_address
                                                      : KZAPI::CKZServer::GetLocalIP(0);
        if (has_configured_public_address(group)) {
            SetSDPToPublicRTPAddress(group, addr, sdp, m_local_rtp_port);
        } else {
            KZAPI::str_cpy(addr.sdp_address, sdp, sizeof(addr.sdp_address));
            addr.sdp_port = m_local_rtp_port;
        }
        KZAPI::str_cpy(addr.via_address, public_sip, sizeof(addr.via_address));
        addr.via_port = public_sip_port;
        return;
    }
    if (!configured && !given.host.empty() && KZAPI::CKZServer::IsLocalIP(given.host.c_str()) &&
        !in_private_range(given.host.c_str())) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "DynamicallyDecideSDPAndViaAddrForRequest local public address %s",
                             given.host.c_str());
        KZAPI::str_cpy(addr.via_address, given.host.c_str(), sizeof(addr.via_address));
        addr.via_port = m_local_sip_port;
        KZAPI::str_cpy(addr.sdp_address, given.host.c_str(), sizeof(addr.sdp_address));
        addr.sdp_port = m_local_rtp_port;
        return;
    }
    const CKZSIPServer* server = Server();
    const bool behind_nat = group && !group->IsUsingNATAddr() &&
                            (group->IsInNAT() || group->GetNATType() >= CKZSIPGroup::NAT_FIREWALL);
    if (behind_nat) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "DynamicallyDecideSDPAndViaAddrForRequest !IsUsingNATAddr && (IsInNAT || "
                             "GetNATType(%d)>0A)",
                             static_cast<int>(group->GetNATType()));
        if (server && server->GetDynMapRTPAddr()) {
            char mapped[CKZSIPAPICC::MappedRTPAddress::kSize];
            KZAPI::str_cpy(mapped, m_local_rtp_address, sizeof(mapped));
            uint16_t port = m_local_rtp_port;
            if (group->GetMappedPublicIPAndPort(0, mapped, port) == 1) {
                CKZLogInterface::Log(
                    CKZLogInterface::LOG_TRACE,
                    "DynamicallyDecideSDPAndViaAddrForRequest GetMappedPublicIPAndPort %s:%d", mapped, port);
                KZAPI::str_cpy(m_real_rtp_address, mapped, sizeof(m_real_rtp_address));
                m_real_rtp_port = port;
            }
        }
    }
    KZAPI::str_cpy(addr.sdp_address, m_real_rtp_address, sizeof(addr.sdp_address));
    addr.sdp_port = m_real_rtp_port;
    DecideViaFromAccount(group, addr, account);
}

// The Via of the public path: where the registrar saw the account, else the contact it
// registered, else the group's public address.
void CKZSIPAPICC::DecideViaFromAccount(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                                       const kz_sip_user_reg_profile* account) const {
    if (account && is_set(account->received_address) && account->received_port) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "Used SIP Account(%s) Received address %s:%d for via", account->user_name,
                             account->received_address, account->received_port);
        KZAPI::str_cpy(addr.via_address, account->received_address, sizeof(addr.via_address));
        addr.via_port = account->received_port;
        return;
    }
    const SIPAddressParts registered(account ? account->own_contact : "");
    if (!registered.host.empty()) {
        addr.via_port = registered.PortOrDefault();
        KZAPI::str_cpy(addr.via_address, registered.host.c_str(), sizeof(addr.via_address));
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Used SIP Account(%s) reg_org_contact %s:%d for via",
                             account->user_name, addr.via_address, addr.via_port);
        return;
    }
    KZAPI::str_cpy(addr.via_address, group ? group->GetRealPublicSIPIP() : m_local_sip_address,
                   sizeof(addr.via_address));
    addr.via_port = group ? group->GetRealPublicSIPPort() : m_local_sip_port;
}

// The public RTP address setting decides the SDP address: "0" asks STUN when dynamic mapping is
// on, any other text is the address itself.
void CKZSIPAPICC::SetSDPToPublicRTPAddress(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                                           const char* address, uint16_t port) {
    const KZAPI::CString setting =
        KZAPI::KZ_CFG_GetValue("kzsrv.sip.public.ip.in.rtp", group->GetUsePublicIPInRTP());
    const CKZSIPServer* server = Server();
    KZAPI::str_cpy(addr.sdp_address, address, sizeof(addr.sdp_address));
    addr.sdp_port = port;
    if (std::strcmp(setting.c_str(), "0") == 0) {
        char mapped[CKZSIPAPICC::MappedRTPAddress::kSize];
        KZAPI::str_cpy(mapped, address, sizeof(mapped));
        uint16_t mapped_port = port;
        if (server && server->GetDynMapRTPAddr() &&
            group->GetMappedPublicIPAndPort(0, mapped, mapped_port) == 1) {
            KZAPI::str_cpy(addr.sdp_address, mapped, sizeof(addr.sdp_address));
            addr.sdp_port = mapped_port;
        }
    } else if (is_set(setting.c_str())) {
        KZAPI::str_cpy(addr.sdp_address, setting.c_str(), sizeof(addr.sdp_address));
    }
}

void CKZSIPAPICC::SmartlyDecideRemoteContactID(const char* contact) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::SmartlyDecideRemoteContactID 1, %d",
                         static_cast<int>(m_contact_locked));
    if (m_contact_locked || !is_set(contact)) return;
    m_contact_decided = 1;
    KZAPI::str_cpy(m_peer_contact, contact, sizeof(m_peer_contact));
    const SIPAddressParts address(contact);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::SmartlyDecideRemoteContactID 2, %d",
                         static_cast<int>(address.host.size()));
    if (address.host.empty()) return;
    KZAPI::str_cpy(m_peer_sip_address, address.host.c_str(), sizeof(m_peer_sip_address));
    m_peer_sip_port = address.PortOrDefault();
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::SmartlyDecideRemoteContactID 3, %s",
                         m_peer_sip_address);
    // A private contact behind a public sender is the far end's NAT: answer where it came from.
    if (in_private_range(m_peer_sip_address) && is_set(GetFromIP()) && !in_private_range(GetFromIP())) {
        KZAPI::str_cpy(m_peer_sip_address, GetFromIP(), sizeof(m_peer_sip_address));
        m_peer_sip_port = GetFromPort() ? GetFromPort() : kDefaultSIPPort;
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "Smartly changed remote contact SIP address to %s:%d.", m_peer_sip_address,
                             m_peer_sip_port);
    }
}

int CKZSIPAPICC::BuildSIPRequestURI(const char* contact, char* uri, size_t size) {
    if (!uri || size == 0) return -1;
    uri[0] = '\0';
    if (!is_set(contact)) {
        KZAPI::s_printf(uri, size, "sip:%s:%d", m_peer_sip_address, m_peer_sip_port);
        return 0;
    }
    if (const char* open = std::strstr(contact, "<sip:")) {
        const char* close = std::strchr(open, '>');
        const size_t length = close ? static_cast<size_t>(close - open - 1) : std::strlen(open + 1);
        KZAPI::str_ncpy(uri, open + 1, length, size);
        return 0;
    }
    const SIPAddressParts address(contact);
    if (address.host.empty()) return -1;
    const char* user = address.user.c_str();
    const char* host = address.host.c_str();
    const char* port = address.port.c_str();
    if (!address.user.empty() && !address.port.empty())
        KZAPI::s_printf(uri, size, "sip:%s@%s:%s", user, host, port);
    else if (!address.port.empty())
        KZAPI::s_printf(uri, size, "sip:%s:%s", host, port);
    else if (!address.user.empty())
        KZAPI::s_printf(uri, size, "sip:%s@%s", user, host);
    else
        KZAPI::s_printf(uri, size, "sip:%s", host);
    return 0;
}

void CKZSIPAPICC::BuildSIPFromAndToStr(char* from, size_t from_size, char* to, size_t to_size) {
    // The base holds the parties as the INVITE named them; the answering side is the INVITE's To.
    // Tags are left out: the stack writes the dialog's own.
    const bool placed_here = IsOutbound();
    KZAPI::str_cpy(from, without_tag(placed_here ? GetCallerNum() : GetCalleeNum()).c_str(), from_size);
    KZAPI::str_cpy(to, without_tag(placed_here ? GetCalleeNum() : GetCallerNum()).c_str(), to_size);
}

void CKZSIPAPICC::BuildRouteInfoFromRequest(int order, const char* sender_address, uint16_t sender_port) {
    ResetRoutes();
    sip_msg* message = GetCurSIPMsg();
    for (unsigned i = 0; i < sip_ie::MAX_VALUES; ++i) {
        const std::string route = element(message, KZ_IE_SIP_RECORD_ROUTE, i);
        if (route.empty()) break;
        AddRoute(route.c_str(), order);
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPAPICC::BuildRouteInfoFromRequest %d routes from %s:%d", GetRouteCount(),
                         or_empty(sender_address), sender_port);
}

void CKZSIPAPICC::GetSIPPeerIPAddressAndPort(char* address, size_t size, uint16_t& port) {
    if (HasForcedDestination()) {
        KZAPI::str_cpy(address, GetToIP(), size);
        port = GetToPort();
        return;
    }
    if (!is_set(m_peer_sip_address) && is_set(m_account.proxy) && !m_contact_decided) {
        const SIPAddressParts proxy(m_account.proxy);
        KZAPI::str_cpy(address, proxy.host.c_str(), size);
        port = proxy.host.empty() ? 0 : proxy.PortOrDefault();
        return;
    }
    KZAPI::str_cpy(address, m_peer_sip_address, size);
    port = m_peer_sip_port;
}

unsigned CKZSIPAPICC::SetSIPAndRTPAddr(const char* sip_address, const char* rtp_address) {
    KZAPI::CMutexLock lock(GetCallMutex());
    auto explicit_addr = std::make_unique<ExplicitAddresses>();
    const auto split = [](const char* text, char* host, size_t size, uint16_t& port) {
        const char* colon = std::strrchr(or_empty(text), ':');
        const size_t length = colon ? static_cast<size_t>(colon - text) : std::strlen(or_empty(text));
        KZAPI::str_ncpy(host, or_empty(text), length, size);
        const int number = colon ? std::atoi(colon + 1) : 0;
        port = number > 0 && number <= 0xFFFF ? static_cast<uint16_t>(number) : 0;
        return is_set(host);
    };
    if (!split(sip_address, explicit_addr->sip_address, sizeof(explicit_addr->sip_address),
               explicit_addr->sip_port) ||
        !split(rtp_address, explicit_addr->rtp_address, sizeof(explicit_addr->rtp_address),
               explicit_addr->rtp_port))
        return 0;
    if (explicit_addr->sip_port == 0) explicit_addr->sip_port = m_local_sip_port;
    if (explicit_addr->rtp_port == 0) explicit_addr->rtp_port = m_local_rtp_port;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Set SIP address %s:%d", explicit_addr->sip_address,
                         explicit_addr->sip_port);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Set RTP address %s:%d", explicit_addr->rtp_address,
                         explicit_addr->rtp_port);
    m_explicit_addr = std::move(explicit_addr);
    return 1;
}

// ---- digest credentials ----

void CKZSIPAPICC::SaveCreditChallengeInfo(CKZSIPGroup*, kz_sip_user_reg_profile* account) {
    sip_msg* response = GetCurSIPMsg();
    m_credit_pending = Credit::None;
    m_credit_challenge = AllocSIPMessage();
    if (!response || !m_credit_challenge) return;
    const bool www = !element(response, KZ_IE_SIP_WWW_AUTH_REQ_TYPE).empty() ||
                     element(response, KZ_IE_SIP_PROXY_AUTH_REQ_TYPE).empty();
    const DigestIds& ids = www ? kWWWDigest : kProxyDigest;
    sip_msg* saved = m_credit_challenge.get();
    const std::string qop = element(response, ids.challenge_qop);
    if (!qop.empty()) {
        if (qop.find("auth") == std::string::npos) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "QOP(%s) is not supported!", qop.c_str());
            return;
        }
        add(saved, ids.qop, "auth");
    }
    copy_element(response, saved, ids.challenge_type, ids.type);
    copy_element(response, saved, ids.challenge_realm, ids.realm);
    copy_element(response, saved, ids.challenge_nonce, ids.nonce);
    copy_element(response, saved, ids.challenge_algorithm, ids.algorithm);
    copy_element(response, saved, ids.challenge_opaque, ids.opaque);
    const kz_sip_user_reg_profile& user = account ? *account : m_account;
    const char* name = is_set(user.authorization_user) ? user.authorization_user : user.user_name;
    if (is_set(name)) add(saved, ids.username, name);
    if (is_set(user.password)) add(saved, ids.password, user.password);
    for (uint32_t id : kChallengeDialogIds)
        copy_element(response, saved, id, id);
    m_credit_nonce_count = 0;
    m_credit_pending = www ? Credit::WWW : Credit::Proxy;
}

uint32_t CKZSIPAPICC::AddCreditIntoRequest(CKZSIPGroup*, sip_msg* request, const char*, const char* method) {
    // An ACK belongs to the transaction it acknowledges: it neither takes the credentials nor
    // changes whether the last request carried them.
    if (KZAPI::iequals(or_empty(method), "ACK")) return 0;
    const Credit kind = m_credit_pending;
    m_credit_pending = Credit::None;
    m_credit_sent = kind == Credit::None ? 0 : 1;
    if (kind == Credit::None || !request || !m_credit_challenge) return 0;
    CopyCredit(request, kind);
    if (KZAPI::iequals(or_empty(method), "INVITE")) {
        const std::string cseq = element(m_credit_challenge.get(), KZ_IE_SIP_CSEQ_NUMBER);
        if (!cseq.empty())
            CKZSIPGroup::MSG_SetIE_STR(request, KZ_IE_SIP_CSEQ_NUMBER, 0,
                                       number_text(std::atol(cseq.c_str()) + 1).c_str());
    }
    return 0;
}

void CKZSIPAPICC::CopyCredit(sip_msg* request, Credit kind) {
    const DigestIds& ids = kind == Credit::WWW ? kWWWDigest : kProxyDigest;
    sip_msg* saved = m_credit_challenge.get();
    for (uint32_t id : {ids.realm, ids.nonce, ids.algorithm, ids.opaque, ids.type, ids.username, ids.password,
                        ids.cnonce, ids.qop})
        copy_element(saved, request, id, id);
    const std::string uri = uri_of(element(request, KZ_IE_SIP_TO));
    if (!uri.empty()) CKZSIPGroup::MSG_SetIE_STR(request, ids.uri, 0, uri.c_str());
    // The composer counts the first use itself; later uses of the same nonce carry their count.
    if (++m_credit_nonce_count >= 2) {
        char count[16];
        KZAPI::s_printf(count, sizeof(count), "%08d", m_credit_nonce_count);
        CKZSIPGroup::MSG_SetIE_STR(request, ids.nc, 0, count);
    }
    for (uint32_t id : {KZ_IE_SIP_CALLID, KZ_IE_SIP_FROM_TAG, KZ_IE_SIP_EXTRA_HEADER})
        copy_element(saved, request, id, id);
}

unsigned CKZSIPAPICC::ResentByeWithCredit(CKZSIPGroup*) {
    KZAPI::CMutexLock lock(GetCallMutex());
    CloseRTPSocket();
    char uri[kTextSize];
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPICC::ResentByeWithCredit szURIStr:%s", uri);
    if (SendByeInDialog() != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "Error: Failed to disconnect a call, connection ID is %d",
                             static_cast<int>(GetSIPConnID()));
        ResetCallStatus();
        return 0;
    }
    SetSIPStatus(SIP_CALL_BYE_SENT);
    SetStatus(CALL_STATUS_DISCONNECTED);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Disconnecting from %s   ID:%d ...", m_peer_sip_address,
                         static_cast<int>(GetSIPConnID()));
    return 1;
}

unsigned CKZSIPAPICC::ResentInviteWithCredit() {
    KZAPI::CMutexLock lock(GetCallMutex());
    SetStatus(CALL_STATUS_RESERVED);
    // The replay keeps the Call-ID and tags but takes a new connection: the challenged dialog goes,
    // so the stack matches the answers to the new INVITE.
    if (CKZSIPGroup* group = Group(); group && GetSIPConnID() != 0)
        group->TerminateConnection(GetSIPConnID());
    SetSIPConnID(0);
    // Copies: the replay stores the parties again from its own arguments.
    const std::string caller = GetCallerNum();
    const std::string callee = GetCalleeNum();
    if (m_placed_by_setup_call) return SetupCall(caller.c_str(), callee.c_str());
    const std::string uri = m_setup_uri, contact = m_setup_contact;
    const std::string name = m_setup_auth_name, password = m_setup_auth_password;
    const std::string destination = GetToIP();
    return SetupCallEx(caller.c_str(), callee.c_str(), uri.c_str(), contact.c_str(), name.c_str(),
                       password.c_str(), destination.c_str(), GetToPort(), m_transport_protocol,
                       m_srtp_on ? 1 : 0);
}
