// The header and body tables and their lookups, and the element names read from them.
#include "sipmsg/sip_headers.h"

#include "host/KZStrFunc.h"

#include <array>
#include <vector>

namespace kz_sip {
namespace {

#define N(x)                                                                                                 \
    ElementName {                                                                                            \
        x, #x, true                                                                                          \
    }
#define Q(x)                                                                                                 \
    ElementName {                                                                                            \
        x, #x, false                                                                                         \
    } // not named by the dump

using M = sip_msg;
constexpr HeaderParser kNoParse = nullptr;
constexpr HeaderComposer kGeneric = nullptr;

// clang-format off
constexpr HeaderDescriptor kHeaders[] = {
    {"From: ", "f", &M::parse_from, Form::Own, &M::compose_from, {N(KZ_IE_SIP_FROM), N(KZ_IE_SIP_FROM_TAG)}},
    {"To: ", "t", &M::parse_to, Form::Own, &M::compose_to, {N(KZ_IE_SIP_TO), N(KZ_IE_SIP_TO_TAG)}},
    {"Call-ID: ", "i", &M::parse_call_id, Form::Value, kGeneric, {N(KZ_IE_SIP_CALLID)}},
    {"CSeq: ", "", &M::parse_cseq, Form::Own, &M::compose_cseq, {N(KZ_IE_SIP_CSEQ_NUMBER), N(KZ_IE_SIP_CSEQ_METHOD)}},
    {"Contact: ", "m", &M::parse_contact, Form::Value, kGeneric, {N(KZ_IE_SIP_CONTACT)}},
    {"Content-Type: ", "c", &M::parse_content_type, Form::Value, kGeneric, {N(KZ_IE_SIP_CONTENT_TYPE)}},
    {"Content-Length: ", "l", &M::parse_content_length, Form::ParseOnly, kGeneric, {N(KZ_IE_SIP_CONTENT_LENGTH)}},
    {"Date: ", "", &M::parse_date, Form::Value, kGeneric, {N(KZ_IE_SIP_DATE)}},
    {"Max-Forwards: ", "", &M::parse_max_forwards, Form::Value, kGeneric, {N(KZ_IE_SIP_MAX_FORWARDS)}},
    {"User-Agent: ", "", &M::parse_user_agent, Form::Value, kGeneric, {N(KZ_IE_SIP_USER_AGENT)}},
    {"Accept-Language: ", "", &M::parse_accept_language, Form::Value, kGeneric, {N(KZ_IE_SIP_ACCEPT_LANGUAGE)}},
    {"Allow: ", "", &M::parse_allow, Form::Own, &M::compose_allow, {N(KZ_IE_SIP_ALLOW)}},
    {"Supported: ", "k", &M::parse_support, Form::Value, kGeneric, {N(KZ_IE_SIP_SUPPORT)}},
    {"Require: ", "", &M::parse_require, Form::Value, kGeneric, {N(KZ_IE_SIP_REQUIRE)}},
    {"RSeq: ", "", &M::parse_rseq, Form::Value, kGeneric, {N(KZ_IE_SIP_RSEQ)}},
    {"RAck: ", "", &M::parse_rack, Form::Value, kGeneric, {Q(KZ_IE_SIP_RACK)}},
    {"Replaces: ", "", &M::parse_replaces, Form::Value, kGeneric, {N(KZ_IE_SIP_REPLACES)}},
    {"Reason: ", "", &M::parse_reason, Form::Value, kGeneric, {Q(KZ_IE_SIP_REASON)}},
    {"Via: ", "v", &M::parse_via, Form::Own, &M::compose_via,
     {N(KZ_IE_SIP_VIA_ADDRESS), N(KZ_IE_SIP_VIA_PROTOCOL), N(KZ_IE_SIP_VIA_BRANCH), N(KZ_IE_SIP_VIA_PARAM),
      Q(KZ_IE_SIP_VIA_RECEIVED), Q(KZ_IE_SIP_VIA_MADDR), Q(KZ_IE_SIP_VIA_CID), Q(KZ_IE_SIP_VIA_X_ROUTE_TAG)}},
    {"Expires: ", "", &M::parse_expires, Form::Value, kGeneric, {N(KZ_IE_SIP_EXPIRES)}},
    {"Route: ", "", &M::parse_route, Form::LinePerValue, kGeneric, {N(KZ_IE_SIP_ROUTE)}},
    {"Record-Route: ", "", &M::parse_record_route, Form::LinePerValue, kGeneric, {N(KZ_IE_SIP_RECORD_ROUTE)}},
    {"WWW-Authenticate: ", "", &M::parse_www_auth_req, Form::Own, &M::compose_www_auth_req,
     {N(KZ_IE_SIP_WWW_AUTH_REQ_REALM), N(KZ_IE_SIP_WWW_AUTH_REQ_NONCE), N(KZ_IE_SIP_WWW_AUTH_REQ_ALGORITHM),
      N(KZ_IE_SIP_WWW_AUTH_REQ_OPAQUE), N(KZ_IE_SIP_WWW_AUTH_REQ_TYPE), N(KZ_IE_SIP_WWW_AUTH_REQ_QOP)}},
    {"Authorization: ", "", &M::parse_www_auth_resp, Form::Own, &M::compose_www_auth_resp,
     {N(KZ_IE_SIP_WWW_AUTH_RESP_USERNAME), N(KZ_IE_SIP_WWW_AUTH_RESP_REALM), N(KZ_IE_SIP_WWW_AUTH_RESP_NONCE),
      N(KZ_IE_SIP_WWW_AUTH_RESP_URI), N(KZ_IE_SIP_WWW_AUTH_RESP_ALGORITHM), N(KZ_IE_SIP_WWW_AUTH_RESP_OPAQUE),
      N(KZ_IE_SIP_WWW_AUTH_RESP_TYPE), N(KZ_IE_SIP_WWW_AUTH_RESP_PASSWORD), N(KZ_IE_SIP_WWW_AUTH_RESP_RESPONSE),
      N(KZ_IE_SIP_WWW_AUTH_RESP_CNONCE), N(KZ_IE_SIP_WWW_AUTH_RESP_NC), N(KZ_IE_SIP_WWW_AUTH_RESP_QOP)}},
    {"Proxy-Authenticate: ", "", &M::parse_proxy_auth_req, Form::Own, &M::compose_proxy_auth_req,
     {N(KZ_IE_SIP_PROXY_AUTH_REQ_REALM), N(KZ_IE_SIP_PROXY_AUTH_REQ_NONCE), N(KZ_IE_SIP_PROXY_AUTH_REQ_ALGORITHM),
      N(KZ_IE_SIP_PROXY_AUTH_REQ_OPAQUE), N(KZ_IE_SIP_PROXY_AUTH_REQ_TYPE), N(KZ_IE_SIP_PROXY_AUTH_REQ_QOP)}},
    {"Proxy-Authorization: ", "", &M::parse_proxy_auth_resp, Form::Own, &M::compose_proxy_auth_resp,
     {N(KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME), N(KZ_IE_SIP_PROXY_AUTH_RESP_REALM), N(KZ_IE_SIP_PROXY_AUTH_RESP_NONCE),
      N(KZ_IE_SIP_PROXY_AUTH_RESP_URI), N(KZ_IE_SIP_PROXY_AUTH_RESP_ALGORITHM), N(KZ_IE_SIP_PROXY_AUTH_RESP_OPAQUE),
      N(KZ_IE_SIP_PROXY_AUTH_RESP_TYPE), N(KZ_IE_SIP_PROXY_AUTH_RESP_PASSWORD),
      N(KZ_IE_SIP_PROXY_AUTH_RESP_RESPONSE), N(KZ_IE_SIP_PROXY_AUTH_RESP_CNONCE), N(KZ_IE_SIP_PROXY_AUTH_RESP_NC),
      N(KZ_IE_SIP_PROXY_AUTH_RESP_QOP)}},
    {"Refer-To: ", "r", &M::parse_refer_to, Form::Value, kGeneric, {N(KZ_IE_SIP_REFER_TO)}},
    {"Referred-By: ", "b", &M::parse_referred_by, Form::Value, kGeneric, {N(KZ_IE_SIP_REFERRED_BY)}},
    {"Event: ", "o", &M::parse_event, Form::Value, kGeneric, {N(KZ_IE_SIP_EVENT)}},
    {"Subscription-State: ", "", &M::parse_subscription_state, Form::Value, kGeneric, {N(KZ_IE_SIP_SUBSCRIPTION_STATE)}},
    {"Accept: ", "", &M::parse_accept, Form::Value, kGeneric, {N(KZ_IE_SIP_ACCEPT)}},
    {"P-Asserted-Identity: ", "", &M::parse_p_asserted_identity, Form::Value, kGeneric, {Q(KZ_IE_SIP_P_ASSERTED_IDENTITY)}},
    {"Remote-Party-ID: ", "", &M::parse_remote_party_id, Form::Value, kGeneric, {Q(KZ_IE_SIP_REMOTE_PARTY_ID)}},
    {"P-Charging-Vector: ", "", &M::parse_p_charging_vector, Form::Value, kGeneric, {Q(KZ_IE_SIP_P_CHARGING_VECTOR)}},
    {"X-SMS-To: ", "", &M::parse_x_sms_to, Form::Value, kGeneric, {Q(KZ_IE_SIP_X_SMS_TO)}},
    {"", "", kNoParse, Form::Own, &M::compose_extra_header, {Q(KZ_IE_SIP_EXTRA_HEADER)}},
};
// clang-format on

// Elements of the first line and the bodies, which belong to no header.
constexpr ElementName kOtherElements[] = {
    N(KZ_IE_SIP_REQUEST_LINE_METHOD),
    N(KZ_IE_SIP_REQUEST_LINE_URI),
    N(KZ_IE_SIP_REQUEST_LINE_PROTVERSION),
    N(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION),
    N(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE),
    N(KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING),
    N(KZ_IE_SIP_PAYLOAD),
    N(KZ_IE_SDP_VERSION),
    N(KZ_IE_SDP_OWNER_USERNAME),
    N(KZ_IE_SDP_OWNER_SESSION_ID),
    N(KZ_IE_SDP_OWNER_SESSION_VERSION),
    N(KZ_IE_SDP_OWNER_NETWORK_TYPE),
    N(KZ_IE_SDP_OWNER_ADDRESS_TYPE),
    N(KZ_IE_SDP_OWNER_ADDRESS),
    N(KZ_IE_SDP_SESSION_NAME),
    N(KZ_IE_SDP_TIMESTAMP_START),
    N(KZ_IE_SDP_TIMESTAMP_STOP),
    N(KZ_IE_SDP_MEDIA_TYPE),
    N(KZ_IE_SDP_MEDIA_PORT),
    N(KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS),
    N(KZ_IE_SDP_MEDIA_TRANSPORT),
    N(KZ_IE_SDP_MEDIA_ATTR_RTPMAP),
    N(KZ_IE_SDP_MEDIA_ATTR),
    N(KZ_IE_SDP_CONNECTION_NETWORK_TYPE),
    N(KZ_IE_SDP_CONNECTION_ADDRESS_TYPE),
    N(KZ_IE_SDP_CONNECTION_ADDRESS),
    N(KZ_IE_DTMF_RELAY_SIGNAL),
    N(KZ_IE_DTMF_RELAY_DURATION),
    N(KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING),
    N(KZ_IE_SIMPLE_MSG_SUM_MSG_ACCOUNT),
    N(KZ_IE_SIMPLE_MSG_SUM_VOICE_MSG),
    N(KZ_IE_SIP_FRAG_SIP_VERSION),
    N(KZ_IE_SIP_FRAG_SIP_CODE),
    N(KZ_IE_SIP_FRAG_SIP_CODE_TXT),
};
#undef N
#undef Q

template <uint32_t (sip_msg::*Parse)(std::string_view)>
uint32_t body_line(sip_msg& msg, std::string_view line, KZSIPEvent*, int*) {
    return (msg.*Parse)(line);
}

uint32_t sdp_line(sip_msg& msg, std::string_view line, KZSIPEvent* event, int* media_kind) {
    return msg.parse_sdp(line, event, media_kind);
}

// In the order the Content-Type is tested; the first match wins.
constexpr BodyDescriptor kBodies[] = {
    {M::BODY_SDP,
     {"sdp"},
     false,
     &sdp_line,
     KZ_IE_SDP_VERSION,
     &M::compose_sdp,
     "Content-Type: application/sdp\r\n"},
    {M::BODY_DTMF_RELAY,
     {"dtmf-relay", "application/dtmf"},
     false,
     &body_line<&M::parse_dtmf_replay>,
     KZ_IE_DTMF_RELAY_SIGNAL,
     &M::compose_dtmf_replay,
     "Content-Type: application/dtmf-relay\r\n"},
    {M::BODY_MSG_SUMMARY,
     {"simple-message-summary"},
     false,
     &body_line<&M::parse_simple_msg_summary>,
     KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING,
     &M::compose_simple_msg_summary,
     "Content-Type: application/simple-message-summary\r\n"},
    {M::BODY_SIPFRAG,
     {"message/sipfrag"},
     false,
     &body_line<&M::parse_sip_frag>,
     KZ_IE_SIP_FRAG_SIP_VERSION,
     &M::compose_sip_frag,
     "Content-Type: message/sipfrag;version=2.0\r\n"},
    {M::BODY_PRESENCE,
     {"application/pidf+xml", "application/dialog-info+xml"},
     false,
     &body_line<&M::parse_sip_notify_presence>,
     KZ_IE_SIP_NOTIFY_PRESENCE,
     &M::compose_sip_notify_presence,
     "Content-Type: application/pidf+xml\r\n"},
    {M::BODY_MESSAGE_CONTENT,
     {"text/plain", "application/x-intrado-com-srdi-message+xml"},
     true,
     &body_line<&M::parse_sip_message_content>,
     KZ_IE_SIP_MESSAGE_CONTENT,
     &M::compose_sip_message_content,
     "Content-Type: text/plain\r\n"},
};

// Every parsed name (long and compact) grouped by its lower-case first letter, so a header name
// is compared against a handful of candidates only.
class HeaderIndex {
public:
    HeaderIndex() {
        for (const HeaderDescriptor& h : kHeaders) {
            if (!h.parse) continue;
            add(h.name(), &h);
            if (!h.compact.empty()) add(h.compact, &h);
        }
        for (const HeaderDescriptor& h : kHeaders)
            if (h.form != Form::ParseOnly && h.elements[0].id < std::size(m_led_by))
                m_led_by[h.elements[0].id] = &h;
        for (const BodyDescriptor& b : kBodies)
            m_body_led_by[b.lead - kFirstBodyLead] = &b;
    }
    const HeaderDescriptor* find(std::string_view name) const {
        const int bucket = bucket_of(name);
        if (bucket < 0) return nullptr;
        for (const Entry& e : m_buckets[static_cast<size_t>(bucket)])
            if (KZAPI::iequals(e.name, name)) return e.header;
        return nullptr;
    }
    const HeaderDescriptor* led_by(uint32_t id) const {
        return id < std::size(m_led_by) ? m_led_by[id] : nullptr;
    }
    const BodyDescriptor* body_led_by(uint32_t id) const {
        const uint32_t slot = id - kFirstBodyLead; // wraps for ids below the first lead
        return slot < std::size(m_body_led_by) ? m_body_led_by[slot] : nullptr;
    }

private:
    struct Entry {
        std::string_view name;
        const HeaderDescriptor* header;
    };
    static int bucket_of(std::string_view name) {
        if (name.empty()) return -1;
        const char c = KZAPI::ascii_lower(name[0]);
        return c >= 'a' && c <= 'z' ? c - 'a' : -1;
    }
    void add(std::string_view name, const HeaderDescriptor* h) {
        m_buckets[static_cast<size_t>(bucket_of(name))].push_back(Entry{name, h});
    }

    std::array<std::vector<Entry>, 26> m_buckets;
    static constexpr uint32_t kFirstBodyLead = KZ_IE_SDP_VERSION;
    const HeaderDescriptor* m_led_by[KZ_IE_SIP_CONTENT_TYPE + 1] = {};
    const BodyDescriptor* m_body_led_by[KZ_IE_SIP_NOTIFY_PRESENCE - kFirstBodyLead + 1] = {};
};

// Built while the library loads: the composer looks elements up in it for every message.
const HeaderIndex kIndex;

} // namespace

const HeaderDescriptor* find_header(std::string_view name) {
    return kIndex.find(name);
}

const HeaderDescriptor* header_led_by(uint32_t id) {
    return kIndex.led_by(id);
}

const BodyDescriptor* body_for_content_type(std::string_view content_type, bool is_message_request) {
    for (const BodyDescriptor& b : kBodies) {
        if (b.message_request_only && !is_message_request) continue;
        for (std::string_view type : b.content_types)
            if (!type.empty() && KZAPI::contains_no_case(content_type, type)) return &b;
    }
    return nullptr;
}

const BodyDescriptor* body_of_kind(int kind) {
    for (const BodyDescriptor& b : kBodies)
        if (b.kind == kind) return &b;
    return nullptr;
}

const BodyDescriptor* body_led_by(uint32_t id) {
    return kIndex.body_led_by(id);
}

} // namespace kz_sip

const char* kz_sip_ie_name(uint32_t id) {
    using kz_sip::ElementName;
    auto named = [id](const ElementName& e) { return e.id == id && e.dumped; };
    for (const kz_sip::HeaderDescriptor& h : kz_sip::kHeaders)
        for (const ElementName& e : h.elements)
            if (named(e)) return e.name;
    for (const ElementName& e : kz_sip::kOtherElements)
        if (named(e)) return e.name;
    return "Unknown SIP IE value";
}
