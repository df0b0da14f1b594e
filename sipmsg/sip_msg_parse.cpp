// Parser: turns SIP text into the element list of a sip_msg, one line at a time.
//
// The text is scanned in place. Lines are cut at LF, trimmed of white space at both ends, and
// handed to the header dispatch or, after the empty line, to the body parser chosen from the
// Content-Type. Each call parses one message and returns where the next one begins, so a stream
// buffer holding several messages is parsed by calling it repeatedly.
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "sipmsg/sip_headers.h"
#include "sipmsg/sip_msg.h"

#include <charconv>
#include <cstring>

using KZAPI::contains_no_case;
using KZAPI::find_no_case;
using KZAPI::iequals;
using KZAPI::trim_spaces;

namespace {

constexpr size_t kMaxNameAddr = 511;
constexpr size_t kMaxBodyLine = 511;
constexpr size_t npos = std::string_view::npos;

inline bool is_body_end_char(char c) {
    return c == '\0' || c == '\r' || c == '\n' || c == ' ';
}

// Splits off the text before the first separator; the rest starts after it.
inline std::string_view split_first(std::string_view s, char sep, std::string_view* rest) {
    size_t p = s.find(sep);
    if (p == npos) {
        *rest = std::string_view();
        return s;
    }
    *rest = s.substr(p + 1);
    return s.substr(0, p);
}

// Next space-separated token; runs of spaces count as one separator.
inline std::string_view next_token(std::string_view* s) {
    std::string_view t = trim_spaces(*s);
    size_t p = t.find(' ');
    if (p == npos) {
        *s = std::string_view();
        return t;
    }
    *s = t.substr(p + 1);
    return t.substr(0, p);
}

int64_t decimal_value(std::string_view text) {
    text = trim_spaces(text);
    int64_t v = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec == std::errc::result_out_of_range)
        return text.size() && text[0] == '-' ? INT64_MIN : INT64_MAX;
    return res.ec == std::errc() ? v : 0;
}

void zero_event(KZSIPEvent* event) {
    if (event) memset(event, 0, sizeof(*event));
}

} // namespace

char* sip_msg::init_from_buf(char* text, KZSIPEvent* event) {
    KZSIPEvent scratch{};
    if (!event) event = &scratch;
    release();
    if (!text) return nullptr;
    if (*text == '\0') return text + 1;

    char* limit = text + strlen(text); // parsing never goes past this NUL
    char* pos = text;
    char* next_message = nullptr; // set once the body end is fixed
    char* body_nul = nullptr;     // the NUL that ends the body
    int line_count = 0;
    int body_kind = BODY_HEADERS;
    int media_kind = MEDIA_AUDIO;
    bool in_body = false;

    while (pos < limit) {
        char* line_start = pos;
        char* nl = static_cast<char*>(memchr(pos, '\n', static_cast<size_t>(limit - pos)));
        pos = nl ? nl + 1 : limit;
        const size_t consumed = static_cast<size_t>(pos - line_start);
        std::string_view line = KZAPI::trim_white(std::string_view(line_start, consumed));

        if (!line.empty()) {
            ++line_count;
            if (line_count == 1 && !contains_no_case(line, "SIP/2.0")) {
                std::string_view whole(text, static_cast<size_t>(limit - text));
                event->event_type = KZ_EVENT_SIP_EXTERNAL_MESSAGE;
                event->code = static_cast<uint32_t>(whole.size());
                add_ie(KZ_IE_SIP_EXTERNAL_MESSAGE, 0, whole);
                m_raw = whole;
                return pos;
            }
            parse_line(line_count, body_kind, line, event, &media_kind);
            continue;
        }
        if (line_count == 0 || in_body) continue; // leading empty lines; blank lines inside a body

        // The empty line ends the headers.
        const sip_ie* length_ie = find_element(KZ_IE_SIP_CONTENT_LENGTH);
        const sip_ie* type_ie = find_element(KZ_IE_SIP_CONTENT_TYPE);
        const int64_t content_length = length_ie ? decimal_value(length_ie->get_value(0).View()) : 0;
        if (!length_ie || !type_ie || content_length == 0) break;

        // A negative length leaves no body (and must not be pushed further down by the subtraction).
        if (content_length < 0) break;
        int64_t body_len = content_length - static_cast<int64_t>(consumed);
        if (body_len < 0) break;
        char* const body_start = pos;
        const int64_t remaining = limit - body_start;
        if (body_len > remaining) body_len = remaining;
        const kz_sip::BodyDescriptor* body_kind_row =
            kz_sip::body_for_content_type(type_ie->get_value(0).View(), is_message());
        body_kind = body_kind_row ? body_kind_row->kind : BODY_HEADERS;

        char* end = body_start + body_len;
        if (is_body_end_char(*end)) {
            *end = '\0';
            body_nul = end;
            next_message = end + 1;
        } else if (is_body_end_char(end[-1])) {
            end[-1] = '\0';
            body_nul = end - 1;
            next_message = end;
        } else if (is_body_end_char(end[1])) {
            end[1] = '\0';
            body_nul = end + 1;
            next_message = end + 2;
        } else {
            body_nul = limit;
        }
        if (body_nul < body_start) body_nul = body_start; // empty body cut before it starts
        limit = body_nul;

        std::string_view body(body_start, static_cast<size_t>(body_nul - body_start));
        if (KZAPI::CKZLogInterface::IsEnabled(KZAPI::CKZLogInterface::LOG_TRACE)) {
            std::string shown(body);
            if (next_message)
                KZAPI::CKZLogInterface::Log(KZAPI::CKZLogInterface::LOG_TRACE, "SIP SDP INFO:[%s]",
                                            shown.c_str());
            else
                KZAPI::CKZLogInterface::Log(KZAPI::CKZLogInterface::LOG_TRACE, "SIP SDP INFO %s:[%s]",
                                            type_ie->get_value(0).c_str(), shown.c_str());
        }
        add_ie(KZ_IE_SIP_BODY, 0, body);
        in_body = true;
        pos = body_start;
    }

    char* const message_end = body_nul ? body_nul : pos;
    m_raw = std::string_view(text, static_cast<size_t>(message_end - text));
    return next_message ? next_message : pos;
}

uint32_t sip_msg::parse_line(int line_number, int body_kind, std::string_view line, KZSIPEvent* event,
                             int* media_kind) {
    if (line_number == 1) return parse_first_line(line, event);
    if (body_kind == BODY_HEADERS) return parse_header(line, event);
    const kz_sip::BodyDescriptor* body = kz_sip::body_of_kind(body_kind);
    return body ? body->parse_line(*this, line, event, media_kind) : KZ_SIP_RESULT_FAILURE;
}

uint32_t sip_msg::parse_first_line(std::string_view line, KZSIPEvent* event) {
    KZSIPEvent scratch{};
    if (!event) event = &scratch;
    std::string_view rest = line;
    std::string_view first = next_token(&rest);
    std::string_view second = next_token(&rest);
    rest = trim_spaces(rest);
    if (first.empty() || second.empty() || rest.empty()) {
        zero_event(event);
        release();
        return KZ_SIP_RESULT_FAILURE;
    }
    if (first.find("SIP/2.0") != npos) {
        event->event_type = KZ_EVENT_SIP_MESSAGE_RESPONSE;
        add_ie(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, 0, first);
        add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, second);
        event->code = static_cast<uint32_t>(decimal_value(second));
        add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, rest);
    } else {
        event->event_type = KZ_EVENT_SIP_MESSAGE_REQUEST;
        std::string method(first);
        event->code = kz_sip_make_msg_type(method.c_str());
        add_ie(KZ_IE_SIP_REQUEST_LINE_METHOD, 0, first);
        add_ie(KZ_IE_SIP_REQUEST_LINE_URI, 0, second);
        add_ie(KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, rest);
    }
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::parse_header(std::string_view line, KZSIPEvent* event) {
    size_t colon = line.find(':');
    std::string_view name = trim_spaces(colon == npos ? line : line.substr(0, colon + 1));
    if (name.empty()) {
        zero_event(event);
        release();
        return KZ_SIP_RESULT_FAILURE;
    }
    // The colon must follow the name directly: "Via :" names no header.
    const kz_sip::HeaderDescriptor* header =
        colon == npos ? nullptr : kz_sip::find_header(name.substr(0, name.size() - 1));
    if (!header || !header->parse) return KZ_SIP_RESULT_OK; // unknown headers are dropped
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
    return (this->*header->parse)(value);
}

// ---- whole-value headers: the first occurrence wins ----

uint32_t sip_msg::parse_call_id(std::string_view v) {
    return add_ie(KZ_IE_SIP_CALLID, 0, v);
}
uint32_t sip_msg::parse_contact(std::string_view v) {
    return add_ie(KZ_IE_SIP_CONTACT, 0, v);
}
uint32_t sip_msg::parse_content_type(std::string_view v) {
    return add_ie(KZ_IE_SIP_CONTENT_TYPE, 0, v);
}
uint32_t sip_msg::parse_content_length(std::string_view v) {
    return add_ie(KZ_IE_SIP_CONTENT_LENGTH, 0, v);
}
uint32_t sip_msg::parse_date(std::string_view v) {
    return add_ie(KZ_IE_SIP_DATE, 0, v);
}
uint32_t sip_msg::parse_max_forwards(std::string_view v) {
    return add_ie(KZ_IE_SIP_MAX_FORWARDS, 0, v);
}
uint32_t sip_msg::parse_user_agent(std::string_view v) {
    return add_ie(KZ_IE_SIP_USER_AGENT, 0, v);
}
uint32_t sip_msg::parse_accept(std::string_view v) {
    return add_ie(KZ_IE_SIP_ACCEPT, 0, v);
}
uint32_t sip_msg::parse_accept_language(std::string_view v) {
    return add_ie(KZ_IE_SIP_ACCEPT_LANGUAGE, 0, v);
}
uint32_t sip_msg::parse_support(std::string_view v) {
    return add_ie(KZ_IE_SIP_SUPPORT, 0, v);
}
uint32_t sip_msg::parse_require(std::string_view v) {
    return add_ie(KZ_IE_SIP_REQUIRE, 0, v);
}
uint32_t sip_msg::parse_rseq(std::string_view v) {
    return add_ie(KZ_IE_SIP_RSEQ, 0, v);
}
uint32_t sip_msg::parse_rack(std::string_view v) {
    return add_ie(KZ_IE_SIP_RACK, 0, v);
}
uint32_t sip_msg::parse_replaces(std::string_view v) {
    return add_ie(KZ_IE_SIP_REPLACES, 0, v);
}
uint32_t sip_msg::parse_reason(std::string_view v) {
    return add_ie(KZ_IE_SIP_REASON, 0, v);
}
uint32_t sip_msg::parse_expires(std::string_view v) {
    return add_ie(KZ_IE_SIP_EXPIRES, 0, v);
}
uint32_t sip_msg::parse_refer_to(std::string_view v) {
    return add_ie(KZ_IE_SIP_REFER_TO, 0, v);
}
uint32_t sip_msg::parse_referred_by(std::string_view v) {
    return add_ie(KZ_IE_SIP_REFERRED_BY, 0, v);
}
uint32_t sip_msg::parse_event(std::string_view v) {
    return add_ie(KZ_IE_SIP_EVENT, 0, v);
}
uint32_t sip_msg::parse_subscription_state(std::string_view v) {
    return add_ie(KZ_IE_SIP_SUBSCRIPTION_STATE, 0, v);
}
uint32_t sip_msg::parse_p_asserted_identity(std::string_view v) {
    return add_ie(KZ_IE_SIP_P_ASSERTED_IDENTITY, 0, v);
}
uint32_t sip_msg::parse_remote_party_id(std::string_view v) {
    return add_ie(KZ_IE_SIP_REMOTE_PARTY_ID, 0, v);
}
uint32_t sip_msg::parse_p_charging_vector(std::string_view v) {
    return add_ie(KZ_IE_SIP_P_CHARGING_VECTOR, 0, v);
}
uint32_t sip_msg::parse_x_sms_to(std::string_view v) {
    return add_ie(KZ_IE_SIP_X_SMS_TO, 0, v);
}

// ---- structured headers ----

uint32_t sip_msg::parse_cseq(std::string_view value) {
    std::string_view method;
    std::string_view number = split_first(value, ' ', &method);
    uint32_t r1 = add_ie(KZ_IE_SIP_CSEQ_NUMBER, 0, number);
    uint32_t r2 = add_ie(KZ_IE_SIP_CSEQ_METHOD, 0, method);
    return r1 == KZ_SIP_RESULT_OK && r2 == KZ_SIP_RESULT_OK ? KZ_SIP_RESULT_OK : KZ_SIP_RESULT_FAILURE;
}

uint32_t sip_msg::parse_allow(std::string_view value) {
    unsigned index = 0;
    while (!value.empty() || index == 0) {
        std::string_view piece = split_first(value, ',', &value);
        if (add_ie(KZ_IE_SIP_ALLOW, index, piece) != KZ_SIP_RESULT_OK) return KZ_SIP_RESULT_FAILURE;
        ++index;
    }
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::parse_list(std::string_view value, uint32_t id) {
    uint32_t result = KZ_SIP_RESULT_FAILURE;
    while (!value.empty()) {
        std::string_view piece = split_first(value, ',', &value);
        if (add_ie(id, get_ie_value_count(id), piece) == KZ_SIP_RESULT_OK) result = KZ_SIP_RESULT_OK;
    }
    return result;
}

uint32_t sip_msg::parse_route(std::string_view value) {
    return parse_list(value, KZ_IE_SIP_ROUTE);
}
uint32_t sip_msg::parse_record_route(std::string_view value) {
    return parse_list(value, KZ_IE_SIP_RECORD_ROUTE);
}

namespace {

// Parameter names are matched whole and without regard to case (RFC 3261 7.3.1): "x-received-by"
// is not "received" and "decided" is not "cid".
struct ViaParam {
    std::string_view name;
    uint32_t id;
};
constexpr ViaParam kViaParams[] = {
    {"branch", KZ_IE_SIP_VIA_BRANCH},
    {"cid", KZ_IE_SIP_VIA_CID},
    {"x-route-tag", KZ_IE_SIP_VIA_X_ROUTE_TAG},
    {"rport", KZ_IE_SIP_VIA_PARAM},
    {"received-port", KZ_IE_SIP_VIA_PARAM},
    {"received", KZ_IE_SIP_VIA_RECEIVED},
    {"maddr", KZ_IE_SIP_VIA_MADDR},
};

struct Param {
    std::string_view name;
    std::string_view value; // empty for a bare name
    bool has_value;
};

Param split_param(std::string_view part) {
    const size_t eq = part.find('=');
    if (eq == npos) return Param{trim_spaces(part), {}, false};
    return Param{trim_spaces(part.substr(0, eq)), trim_spaces(part.substr(eq + 1)), true};
}

const ViaParam* via_param_named(std::string_view name) {
    for (const ViaParam& p : kViaParams)
        if (iequals(p.name, name)) return &p;
    return nullptr;
}

// Start of the first "sip:", "sips:" or "tel:" URI in the text (the scheme must start a word).
size_t find_uri_scheme(std::string_view text) {
    for (size_t colon = text.find(':'); colon != npos; colon = text.find(':', colon + 1)) {
        size_t start = colon;
        while (start > 0 && KZAPI::ascii_lower(text[start - 1]) >= 'a' &&
               KZAPI::ascii_lower(text[start - 1]) <= 'z')
            --start;
        std::string_view scheme = text.substr(start, colon - start);
        if (iequals(scheme, "sip") || iequals(scheme, "sips") || iequals(scheme, "tel")) return start;
    }
    return npos;
}

} // namespace

// Stores one Via parameter as "name[=value]" with the name spelt as the stack looks it up.
uint32_t sip_msg::add_via_param(unsigned index, std::string_view part) {
    const Param param = split_param(part);
    const ViaParam* known = via_param_named(param.name);
    if (!known) return KZ_SIP_RESULT_OK; // parameters the stack has no use for
    if (known->id == KZ_IE_SIP_VIA_BRANCH) return add_ie(known->id, index, param.value);
    if (known->name == "received-port" && !param.has_value) return KZ_SIP_RESULT_OK;
    const std::string_view text = trim_spaces(part);
    const size_t canonical_size = known->name.size() + (param.has_value ? 1 + param.value.size() : 0);
    if (param.name == known->name && text.size() == canonical_size) return add_ie(known->id, index, text);
    std::string canonical(known->name);
    if (param.has_value) canonical.append("=").append(param.value);
    return add_ie(known->id, index, std::string_view(canonical));
}

// "SIP/2.0/UDP host:port;param;param=value": one Via per line, a comma is no separator here.
uint32_t sip_msg::parse_via(std::string_view value) {
    const unsigned index = get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS);
    std::string_view params;
    std::string_view sent = trim_spaces(split_first(value, ';', &params));
    std::string_view address;
    std::string_view protocol = split_first(sent, ' ', &address);
    if (add_ie(KZ_IE_SIP_VIA_PROTOCOL, index, protocol) != KZ_SIP_RESULT_OK ||
        add_ie(KZ_IE_SIP_VIA_ADDRESS, index, address) != KZ_SIP_RESULT_OK)
        return KZ_SIP_RESULT_FAILURE;
    while (!params.empty()) {
        std::string_view part = split_first(params, ';', &params);
        if (add_via_param(index, part) != KZ_SIP_RESULT_OK) return KZ_SIP_RESULT_FAILURE;
    }
    return KZ_SIP_RESULT_OK;
}

// [display-name] <sip:|sips:|tel: URI>;tag=..., or a bare URI whose parameters follow it.
uint32_t sip_msg::parse_name_addr(std::string_view value, uint32_t addr_id, uint32_t tag_id) {
    const size_t scheme = find_uri_scheme(value);
    if (scheme == npos) return KZ_SIP_RESULT_FAILURE;
    size_t addr_end;
    size_t gt = value.find('>', scheme);
    if (gt != npos) {
        addr_end = gt + 1;
    } else {
        size_t semi = value.find(';', scheme);
        addr_end = semi == npos ? value.size() : semi;
    }
    std::string_view name_addr = trim_spaces(value.substr(0, addr_end));
    if (name_addr.empty()) return KZ_SIP_RESULT_FAILURE;
    if (add_ie(addr_id, 0, name_addr.substr(0, kMaxNameAddr)) != KZ_SIP_RESULT_OK)
        return KZ_SIP_RESULT_FAILURE;

    std::string_view params = value.substr(addr_end);
    while (!params.empty()) {
        const Param param = split_param(split_first(params, ';', &params));
        if (!iequals(param.name, "tag")) continue;
        if (!param.value.empty()) add_ie(tag_id, 0, param.value.substr(0, kMaxNameAddr));
        break;
    }
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::parse_from(std::string_view value) {
    return parse_name_addr(value, KZ_IE_SIP_FROM, KZ_IE_SIP_FROM_TAG);
}
uint32_t sip_msg::parse_to(std::string_view value) {
    return parse_name_addr(value, KZ_IE_SIP_TO, KZ_IE_SIP_TO_TAG);
}

namespace {

struct AuthParam {
    std::string_view name; // matched at the start of the parameter name, with its '='
    uint32_t offset;       // element id relative to the header's base id; 0 means ignored
};

// Offsets from the TYPE element's family base (65 / 97 for challenges, 81 / 113 for credentials).
constexpr AuthParam kChallengeParams[] = {
    {"realm=", 0}, {"qop=", 5}, {"nonce=", 1}, {"opaque=", 3}, {"stale=", UINT32_MAX}, {"algorithm=", 2},
};
constexpr AuthParam kCredentialParams[] = {
    {"username=", 0},       {"realm=", 1},     {"nonce=", 2}, {"opaque=", 5},
    {"stale=", UINT32_MAX}, {"algorithm=", 4}, {"uri=", 3},   {"response=", 8},
    {"cnonce=", 10},        {"nc=", 11},       {"qop=", 12},
};

} // namespace

uint32_t sip_msg::parse_challenge(std::string_view value, uint32_t type_id, bool credentials) {
    std::string_view params;
    std::string_view scheme = trim_spaces(split_first(value, ' ', &params));
    if (scheme.empty()) return KZ_SIP_RESULT_FAILURE;
    add_ie(type_id, 0, scheme);

    // Challenge ids: realm is the family base, TYPE = base + 4. Credential ids: username is the
    // base, TYPE = base + 6.
    const uint32_t base = credentials ? type_id - 6 : type_id - 4;
    while (!params.empty()) {
        size_t eq = params.find('=');
        if (eq == npos) break;
        std::string_view name = trim_spaces(params.substr(0, eq + 1));
        std::string_view v = params.substr(eq + 1);
        while (!v.empty() && v.front() == ' ')
            v.remove_prefix(1);
        std::string_view param_value;
        if (!v.empty() && v.front() == '"') {
            size_t close = v.find('"', 1);
            param_value = v.substr(1, close == npos ? npos : close - 1);
            size_t comma = close == npos ? npos : v.find(',', close);
            params = comma == npos ? std::string_view() : v.substr(comma + 1);
        } else {
            size_t comma = v.find(',');
            param_value = v.substr(0, comma);
            params = comma == npos ? std::string_view() : v.substr(comma + 1);
        }
        const AuthParam* table = credentials ? kCredentialParams : kChallengeParams;
        const size_t count = credentials ? std::size(kCredentialParams) : std::size(kChallengeParams);
        for (size_t i = 0; i < count; ++i) {
            if (!KZAPI::istarts_with(name, table[i].name)) continue;
            if (table[i].offset != UINT32_MAX) add_ie(base + table[i].offset, 0, param_value);
            break;
        }
    }
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::parse_www_auth_req(std::string_view v) {
    return parse_challenge(v, KZ_IE_SIP_WWW_AUTH_REQ_TYPE, false);
}
uint32_t sip_msg::parse_proxy_auth_req(std::string_view v) {
    return parse_challenge(v, KZ_IE_SIP_PROXY_AUTH_REQ_TYPE, false);
}
uint32_t sip_msg::parse_www_auth_resp(std::string_view v) {
    return parse_challenge(v, KZ_IE_SIP_WWW_AUTH_RESP_TYPE, true);
}
uint32_t sip_msg::parse_proxy_auth_resp(std::string_view v) {
    return parse_challenge(v, KZ_IE_SIP_PROXY_AUTH_RESP_TYPE, true);
}

// ---- bodies ----

uint32_t sip_msg::parse_dtmf_replay(std::string_view line) {
    if (line.size() >= kMaxBodyLine) return KZ_SIP_RESULT_FAILURE;
    size_t eq = line.find('=');
    if (eq == npos) return KZ_SIP_RESULT_OK;
    std::string_view name = line.substr(0, eq + 1);
    std::string_view value = line.substr(eq + 1);
    if (iequals(name, "Signal=") || iequals(name, "d=")) return add_ie(KZ_IE_DTMF_RELAY_SIGNAL, 0, value);
    if (iequals(name, "Duration=") || iequals(name, "t=")) return add_ie(KZ_IE_DTMF_RELAY_DURATION, 0, value);
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::parse_simple_msg_summary(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == npos) return KZ_SIP_RESULT_OK;
    std::string_view name = line.substr(0, colon + 1);
    std::string_view value = line.substr(colon + 1);
    if (iequals(name, "Messages-Waiting:")) return add_ie(KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING, 0, value);
    if (iequals(name, "Message-Account:")) return add_ie(KZ_IE_SIMPLE_MSG_SUM_MSG_ACCOUNT, 0, value);
    if (iequals(name, "Voice-Message:")) return add_ie(KZ_IE_SIMPLE_MSG_SUM_VOICE_MSG, 0, value);
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::parse_sip_frag(std::string_view line) {
    if (line.size() >= kMaxBodyLine) return KZ_SIP_RESULT_FAILURE;
    std::string_view rest = line;
    std::string_view version = next_token(&rest);
    std::string_view code = next_token(&rest);
    add_ie(KZ_IE_SIP_FRAG_SIP_VERSION, 0, version);
    add_ie(KZ_IE_SIP_FRAG_SIP_CODE, 0, code);
    add_ie(KZ_IE_SIP_FRAG_SIP_CODE_TXT, 0, trim_spaces(rest));
    return KZ_SIP_RESULT_OK;
}

namespace {

// Appends a body line and its CRLF to the single value of a text element.
uint32_t append_body_line(sip_msg* msg, uint32_t id, std::string_view line) {
    sip_ie* ie = msg->get_ie(id);
    if (!ie) {
        std::string first(line);
        first += "\r\n";
        return msg->add_ie(id, 0, std::string_view(first));
    }
    ie->append_value(0, line);
    ie->append_value(0, "\r\n");
    return KZ_SIP_RESULT_OK;
}

} // namespace

uint32_t sip_msg::parse_sip_notify_presence(std::string_view line) {
    return append_body_line(this, KZ_IE_SIP_NOTIFY_PRESENCE, line);
}

uint32_t sip_msg::parse_sip_message_content(std::string_view line) {
    return append_body_line(this, KZ_IE_SIP_MESSAGE_CONTENT, line);
}
