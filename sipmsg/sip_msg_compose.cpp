// Composer: writes a sip_msg back as SIP text.
//
// There is no header template. The element list is sorted by id, so walking it yields the header
// lines in id order; each header-carrying id has a fixed format, ids that only contribute to
// another header (Via parameters, tags, authentication fields, SDP fields...) are passed over.
// Body elements have the highest ids and come last; each body kind is composed into a scratch
// string first so that its Content-Length can precede it.
//
// Everything appends straight into the output string: no printf, no per-header temporaries.
#include "host/KZStrFunc.h"
#include "sipmsg/sip_headers.h"
#include "sipmsg/sip_msg.h"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>

using KZAPI::CString;

namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kDefaultViaProtocol = "SIP/2.0/UDP";
// Room for the first line and the fixed parts of the usual headers; values are added on top.
constexpr size_t kFixedReserve = 256;
constexpr size_t kPerValueReserve = 24;

// Challenge fields, as offsets from the REALM id (65 / 97).
enum ChallengeField : uint32_t { CH_REALM = 0, CH_NONCE, CH_ALGORITHM, CH_OPAQUE, CH_TYPE, CH_QOP };
// Credential fields, as offsets from the USERNAME id (81 / 113).
enum CredentialField : uint32_t {
    CR_USERNAME = 0,
    CR_REALM = 1,
    CR_NONCE = 2,
    CR_URI = 3,
    CR_ALGORITHM = 4,
    CR_OPAQUE = 5,
    CR_TYPE = 6,
    CR_PASSWORD = 7,
    CR_RESPONSE = 8,
    CR_CNONCE = 10,
    CR_NC = 11,
    CR_QOP = 12,
};

std::string_view value_of(const sip_ie* ie, unsigned index) {
    return ie ? ie->get_value(index).View() : std::string_view();
}

unsigned count_of(const sip_ie* ie) {
    return ie ? ie->get_value_count() : 0;
}

const sip_ie* element_at(const KZAPI::CPtArray& list, size_t i) {
    return static_cast<const sip_ie*>(list.GetData()[i]);
}

// Finds several elements in one forward pass over the id-sorted list; `ids` must be ascending.
// Headers and the SDP need a dozen or more elements each, and one merge pass is much cheaper
// than a binary search for every one of them.
template <size_t N>
void gather(const KZAPI::CPtArray& list, const uint32_t (&ids)[N], const sip_ie* (&found)[N]) {
    const size_t size = list.GetSize();
    size_t e = 0;
    for (size_t k = 0; k < N; ++k) {
        while (e < size && element_at(list, e)->get_id() < ids[k])
            ++e;
        found[k] = e < size && element_at(list, e)->get_id() == ids[k] ? element_at(list, e) : nullptr;
    }
}

template <typename Int> std::string_view decimal(Int value, char (&buf)[24]) {
    auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), value);
    return std::string_view(buf, static_cast<size_t>(end - buf));
}

template <typename Int> void append_decimal(CString* out, Int value) {
    char buf[24];
    out->Append(decimal(value, buf));
}

// One line per value: "Name: " + value + " " (the space before the line end is part of the format).
uint32_t append_line_per_value(CString* out, std::string_view line_start, const sip_ie* ie) {
    const unsigned count = count_of(ie);
    if (count == 0) return KZ_SIP_RESULT_FAILURE;
    for (unsigned i = 0; i < count; ++i)
        out->Append(line_start).Append(ie->get_value(i).View()).Append(" \r\n");
    return KZ_SIP_RESULT_OK;
}

uint32_t append_name_addr(CString* out, std::string_view name, const sip_ie* addr, const sip_ie* tag) {
    std::string_view value = value_of(addr, 0);
    if (value.empty()) return KZ_SIP_RESULT_FAILURE;
    out->Append(name).Append(value);
    std::string_view tag_value = value_of(tag, 0);
    if (!tag_value.empty()) out->Append(";tag=").Append(tag_value);
    out->Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

bool only_semicolons(std::string_view text) {
    return text.find_first_not_of(';') == std::string_view::npos;
}

std::string_view without_trailing_semicolons(std::string_view text) {
    while (!text.empty() && text.back() == ';')
        text.remove_suffix(1);
    return text;
}

// One Via parameter: an optional fixed prefix ("branch=") and the element's value.
struct ViaItem {
    std::string_view prefix;
    std::string_view value;
};

// Items are written each followed by ";" and the trailing ";" characters of the line are then
// dropped. Written forward: items made only of ";" at the end vanish, the last real item loses
// its own trailing ";" and no separator follows it.
void append_via_items(CString* out, const ViaItem* items, size_t count) {
    while (count > 0 && items[count - 1].prefix.empty() && only_semicolons(items[count - 1].value))
        --count;
    for (size_t k = 0; k < count; ++k) {
        out->Append(items[k].prefix);
        if (k + 1 < count)
            out->Append(items[k].value).Append(";");
        else
            out->Append(without_trailing_semicolons(items[k].value));
    }
}

// A challenge parameter: name="value".
void append_quoted(CString* out, std::string_view name, std::string_view value) {
    out->Append(name).Append("=\"").Append(value).Append("\"");
}

// ---- SDP ----

// The rtpmap payload numbers of attribute lines, each preceded by a space.
void append_rtpmap_formats(CString* out, const sip_ie* attributes) {
    const unsigned count = count_of(attributes);
    for (unsigned i = 0; i < count; ++i) {
        const int payload = kz_get_payload_type(attributes->get_value(i).c_str());
        if (payload == -1) continue;
        out->Append(" ");
        append_decimal(out, payload);
    }
}

// Format list of an m= line: the explicit formats, each followed by a space after a leading
// space, or else the payload numbers of the rtpmap attributes.
void append_format_list(CString* out, const sip_ie* formats, const sip_ie* attributes) {
    const unsigned count = count_of(formats);
    if (count == 0) {
        append_rtpmap_formats(out, attributes);
        return;
    }
    out->Append(" ");
    for (unsigned i = 0; i < count; ++i)
        out->Append(formats->get_value(i).View()).Append(" ");
}

void append_attribute_lines(CString* out, const sip_ie* attributes) {
    const unsigned count = count_of(attributes);
    for (unsigned i = 0; i < count; ++i)
        out->Append("a=").Append(attributes->get_value(i).View()).Append(kCRLF);
}

struct SdpMedia {
    const sip_ie* type;
    const sip_ie* port;
    const sip_ie* port_count;
    const sip_ie* transport;
    const sip_ie* audio_formats;
    const sip_ie* video_formats;
    const sip_ie* image_formats;
    const sip_ie* audio_attributes;
    const sip_ie* video_attributes;
};

void append_media(CString* out, const SdpMedia& m, unsigned i) {
    std::string_view type = value_of(m.type, i);
    out->Append("m=").Append(type).Append(" ").Append(value_of(m.port, i));
    std::string_view port_count = value_of(m.port_count, i);
    if (!port_count.empty()) out->Append("/").Append(port_count);
    out->Append(" ").Append(value_of(m.transport, i));

    const sip_ie* attributes;
    if (KZAPI::iequals(type, "audio")) {
        append_format_list(out, m.audio_formats, m.audio_attributes);
        attributes = m.audio_attributes;
    } else if (KZAPI::iequals(type, "video")) {
        append_format_list(out, m.video_formats, m.video_attributes);
        attributes = m.video_attributes;
    } else if (KZAPI::iequals(type, "image")) {
        append_format_list(out, m.image_formats, m.video_attributes);
        attributes = m.video_attributes;
    } else {
        // No formats or attributes are kept for other media; the line is still closed so the
        // next line of the body stays intact.
        out->Append(kCRLF);
        return;
    }
    out->Append(kCRLF);
    append_attribute_lines(out, attributes);
}

// ---- bodies ----

// Body text is built here before it is copied behind its Content-Length; kept per thread so its
// storage is reused from one message to the next.
CString& body_scratch() {
    thread_local CString body;
    return body;
}

size_t estimate_size(const KZAPI::CPtArray& list) {
    size_t size = kFixedReserve;
    for (size_t e = 0; e < list.GetSize(); ++e) {
        const sip_ie* ie = element_at(list, e);
        const unsigned count = ie->get_value_count();
        for (unsigned i = 0; i < count; ++i)
            size += ie->get_value(i).GetLength() + kPerValueReserve;
    }
    return size;
}

uint32_t append_header(const sip_msg& msg, const kz_sip::HeaderDescriptor& h, const sip_ie* ie,
                       CString* out) {
    switch (h.form) {
    case kz_sip::Form::Value:
        if (value_of(ie, 0).empty()) return KZ_SIP_RESULT_FAILURE;
        out->Append(h.line_start);
        out->Append(value_of(ie, 0)).Append(kCRLF);
        return KZ_SIP_RESULT_OK;
    case kz_sip::Form::LinePerValue:
        return append_line_per_value(out, h.line_start, ie);
    case kz_sip::Form::Own:
        return (msg.*h.compose)(out);
    case kz_sip::Form::ParseOnly:
        break;
    }
    return KZ_SIP_RESULT_FAILURE;
}

// "Name: " of the header an element leads, as the header table spells it.
std::string_view line_start_of(uint32_t lead) {
    const kz_sip::HeaderDescriptor* h = kz_sip::header_led_by(lead);
    return h ? h->line_start : std::string_view();
}

uint32_t compose_from_table(const sip_msg& msg, uint32_t id, CString* out) {
    const kz_sip::HeaderDescriptor* h = kz_sip::header_led_by(id);
    return h ? append_header(msg, *h, msg.get_ie(id), out) : KZ_SIP_RESULT_FAILURE;
}

// Content-Type (unless the message carries its own), Content-Length, the empty line and the body.
void append_body(CString* out, const kz_sip::BodyDescriptor& kind, bool has_content_type,
                 const CString& body) {
    if (!has_content_type) out->Append(kind.content_type_line);
    out->Append("Content-Length: ");
    append_decimal(out, body.GetLength());
    out->Append("\r\n\r\n").Append(body.View());
}

} // namespace

// ---- message ----

uint32_t sip_msg::write_into_buf(CString* out) const {
    if (!out) return KZ_SIP_RESULT_FAILURE;
    out->Empty();
    out->Reserve(estimate_size(m_elements));
    if (compose_first_line(out) != KZ_SIP_RESULT_OK) return KZ_SIP_RESULT_FAILURE;

    bool has_content_type = false;
    bool body_written = false;
    CString& body = body_scratch();
    // The first three elements make the first line.
    for (size_t e = 3; e < m_elements.GetSize(); ++e) {
        const sip_ie* ie = element_at(m_elements, e);
        const uint32_t id = ie->get_id();
        if (id <= KZ_IE_SIP_CONTENT_TYPE) {
            if (id == KZ_IE_SIP_CONTENT_TYPE && ie->has_value(0)) has_content_type = true;
            // Elements that are only part of another header, and unknown ids, lead no header.
            if (const kz_sip::HeaderDescriptor* h = kz_sip::header_led_by(id))
                append_header(*this, *h, ie, out);
            continue;
        }
        const kz_sip::BodyDescriptor* kind = kz_sip::body_led_by(id);
        if (!kind || (this->*kind->compose)(&body) != KZ_SIP_RESULT_OK) continue;
        append_body(out, *kind, has_content_type, body);
        body_written = true;
    }
    if (!body_written) out->Append("Content-Length: 0\r\n\r\n");
    m_raw = out->View();
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::compose_first_line(CString* out) const {
    static constexpr uint32_t kIds[] = {
        KZ_IE_SIP_REQUEST_LINE_METHOD,       KZ_IE_SIP_REQUEST_LINE_URI,
        KZ_IE_SIP_REQUEST_LINE_PROTVERSION,  KZ_IE_SIP_RESPONSE_LINE_PROTVERSION,
        KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING};
    const sip_ie* found[6];
    gather(m_elements, kIds, found);
    // The request form whenever a method element exists, else the status line.
    const sip_ie* const* parts = found[0] ? found : found + 3;
    std::string_view a = value_of(parts[0], 0), b = value_of(parts[1], 0), c = value_of(parts[2], 0);
    if (a.empty() || b.empty() || c.empty()) return KZ_SIP_RESULT_FAILURE;
    out->Append(a).Append(" ").Append(b).Append(" ").Append(c).Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

// ---- headers ----

uint32_t sip_msg::compose_via(CString* out) const {
    static constexpr uint32_t kIds[] = {
        KZ_IE_SIP_VIA_PROTOCOL, KZ_IE_SIP_VIA_ADDRESS, KZ_IE_SIP_VIA_BRANCH, KZ_IE_SIP_VIA_PARAM,
        KZ_IE_SIP_VIA_RECEIVED, KZ_IE_SIP_VIA_MADDR,   KZ_IE_SIP_VIA_CID,    KZ_IE_SIP_VIA_X_ROUTE_TAG};
    const sip_ie* found[8];
    gather(m_elements, kIds, found);
    const auto [protocol, address, branch, rport, received, maddr, cid, route_tag] = found;
    const unsigned count = count_of(address);
    if (count == 0) return KZ_SIP_RESULT_FAILURE;

    const std::string_view line_start = line_start_of(KZ_IE_SIP_VIA_ADDRESS);
    for (unsigned i = 0; i < count; ++i) {
        std::string_view proto = value_of(protocol, i);
        out->Append(line_start).Append(proto.empty() ? kDefaultViaProtocol : proto).Append(" ");

        ViaItem items[7];
        size_t n = 0;
        auto add = [&](std::string_view prefix, std::string_view value) {
            if (!value.empty()) items[n++] = ViaItem{prefix, value};
        };
        add({}, address->get_value(i).View());
        add({}, value_of(cid, i));
        add({}, value_of(route_tag, i));
        add("branch=", value_of(branch, i));
        add({}, value_of(rport, i));
        add({}, value_of(received, i));
        add({}, value_of(maddr, i));
        append_via_items(out, items, n);
        out->Append(kCRLF);
    }
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::compose_to(CString* out) const {
    return append_name_addr(out, line_start_of(KZ_IE_SIP_TO), find_element(KZ_IE_SIP_TO),
                            find_element(KZ_IE_SIP_TO_TAG));
}

uint32_t sip_msg::compose_from(CString* out) const {
    return append_name_addr(out, line_start_of(KZ_IE_SIP_FROM), find_element(KZ_IE_SIP_FROM),
                            find_element(KZ_IE_SIP_FROM_TAG));
}

uint32_t sip_msg::compose_call_id(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_CALLID, out);
}

uint32_t sip_msg::compose_contact(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_CONTACT, out);
}

uint32_t sip_msg::compose_max_forwards(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_MAX_FORWARDS, out);
}

uint32_t sip_msg::compose_expires(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_EXPIRES, out);
}

uint32_t sip_msg::compose_user_agent(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_USER_AGENT, out);
}

uint32_t sip_msg::compose_allow(CString* out) const {
    const sip_ie* allow = find_element(KZ_IE_SIP_ALLOW);
    const unsigned count = count_of(allow);
    if (count == 0) return KZ_SIP_RESULT_FAILURE;
    out->Append(line_start_of(KZ_IE_SIP_ALLOW));
    for (unsigned i = 0; i < count; ++i) {
        if (i > 0) out->Append(", ");
        out->Append(allow->get_value(i).View());
    }
    out->Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::compose_cseq(CString* out) const {
    const CString& number = get_ie_value(KZ_IE_SIP_CSEQ_NUMBER);
    const CString& method = get_ie_value(KZ_IE_SIP_CSEQ_METHOD);
    if (number.IsEmpty() || method.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    out->Append(line_start_of(KZ_IE_SIP_CSEQ_NUMBER))
        .Append(number.View())
        .Append(" ")
        .Append(method.View())
        .Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::compose_record_route(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_RECORD_ROUTE, out);
}

uint32_t sip_msg::compose_route(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_ROUTE, out);
}

uint32_t sip_msg::compose_refer_to(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_REFER_TO, out);
}

uint32_t sip_msg::compose_referred_by(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_REFERRED_BY, out);
}

uint32_t sip_msg::compose_event(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_EVENT, out);
}

uint32_t sip_msg::compose_subscription_state(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_SUBSCRIPTION_STATE, out);
}

uint32_t sip_msg::compose_accept(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_ACCEPT, out);
}

uint32_t sip_msg::compose_date(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_DATE, out);
}

uint32_t sip_msg::compose_accept_language(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_ACCEPT_LANGUAGE, out);
}

uint32_t sip_msg::compose_support(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_SUPPORT, out);
}

uint32_t sip_msg::compose_replaces(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_REPLACES, out);
}

uint32_t sip_msg::compose_reason(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_REASON, out);
}

uint32_t sip_msg::compose_p_asserted_identity(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_P_ASSERTED_IDENTITY, out);
}

uint32_t sip_msg::compose_p_charging_vector(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_P_CHARGING_VECTOR, out);
}

uint32_t sip_msg::compose_remote_party_id(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_REMOTE_PARTY_ID, out);
}

uint32_t sip_msg::compose_require(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_REQUIRE, out);
}

uint32_t sip_msg::compose_rseq(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_RSEQ, out);
}

uint32_t sip_msg::compose_rack(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_RACK, out);
}

uint32_t sip_msg::compose_x_sms_to(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_X_SMS_TO, out);
}

uint32_t sip_msg::compose_content_type(CString* out) const {
    return compose_from_table(*this, KZ_IE_SIP_CONTENT_TYPE, out);
}

// Each value may hold several header lines; every line is written on its own, trimmed. Pieces
// left empty (a value ending in a line feed) are dropped: an empty line would end the headers.
uint32_t sip_msg::compose_extra_header(CString* out) const {
    const sip_ie* extra = find_element(KZ_IE_SIP_EXTRA_HEADER);
    const unsigned count = count_of(extra);
    if (count == 0) return KZ_SIP_RESULT_FAILURE;
    for (unsigned i = 0; i < count; ++i) {
        std::string_view rest = extra->get_value(i).View();
        while (!rest.empty()) {
            const size_t lf = rest.find('\n');
            std::string_view piece = KZAPI::trim_white(rest.substr(0, lf));
            rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
            if (!piece.empty()) out->Append(piece).Append(kCRLF);
        }
    }
    return KZ_SIP_RESULT_OK;
}

// ---- authentication ----

uint32_t sip_msg::compose_proxy_auth_req(CString* out) const {
    return compose_challenge(out, KZ_IE_SIP_PROXY_AUTH_REQ_REALM);
}

uint32_t sip_msg::compose_www_auth_req(CString* out) const {
    return compose_challenge(out, KZ_IE_SIP_WWW_AUTH_REQ_REALM);
}

uint32_t sip_msg::compose_proxy_auth_resp(CString* out) const {
    return compose_credentials(out, KZ_IE_SIP_PROXY_AUTH_RESP_USERNAME);
}

uint32_t sip_msg::compose_www_auth_resp(CString* out) const {
    return compose_credentials(out, KZ_IE_SIP_WWW_AUTH_RESP_USERNAME);
}

// scheme realm="..", nonce=".."[, qop=".."][, opaque=".."][, algorithm=".."]
// Every parameter is quoted, so joining with ", " leaves no trailing separator to strip.
uint32_t sip_msg::compose_challenge(CString* out, uint32_t base) const {
    const CString& realm = get_ie_value(base + CH_REALM);
    const CString& nonce = get_ie_value(base + CH_NONCE);
    if (realm.IsEmpty() || nonce.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    out->Append(line_start_of(base)).Append(get_ie_value(base + CH_TYPE).View()).Append(" ");
    append_quoted(out, "realm", realm.View());
    out->Append(", ");
    append_quoted(out, "nonce", nonce.View());
    const struct {
        std::string_view name;
        uint32_t field;
    } optional[] = {{"qop", CH_QOP}, {"opaque", CH_OPAQUE}, {"algorithm", CH_ALGORITHM}};
    for (const auto& param : optional) {
        const CString& value = get_ie_value(base + param.field);
        if (value.IsEmpty()) continue;
        out->Append(", ");
        append_quoted(out, param.name, value.View());
    }
    out->Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

// scheme username="..",realm="..",nonce="..",uri=".."[,opaque=".."][,nc=NNNNNNNN]
//        [,qop=Q,cnonce=".."][,algorithm=A],response=".."
// The cnonce, nonce count and response are written as they stand: kz_sip_complete_credentials
// fills them before the message is sent.
uint32_t sip_msg::compose_credentials(CString* out, uint32_t base) const {
    const CString& scheme = get_ie_value(base + CR_TYPE);
    const CString& username = get_ie_value(base + CR_USERNAME);
    const CString& realm = get_ie_value(base + CR_REALM);
    const CString& nonce = get_ie_value(base + CR_NONCE);
    if (scheme.IsEmpty() || username.IsEmpty() || realm.IsEmpty() || nonce.IsEmpty())
        return KZ_SIP_RESULT_FAILURE;

    out->Append(line_start_of(base)).Append(scheme.View()).Append(" ");
    append_quoted(out, "username", username.View());
    out->Append(",");
    append_quoted(out, "realm", realm.View());
    out->Append(",");
    append_quoted(out, "nonce", nonce.View());
    out->Append(",");
    append_quoted(out, "uri", get_ie_value(base + CR_URI).View());

    const CString& opaque = get_ie_value(base + CR_OPAQUE);
    if (!opaque.IsEmpty()) {
        out->Append(",");
        append_quoted(out, "opaque", opaque.View());
    }
    if (find_ie(base + CR_NC, 0)) {
        char nc[kz_sip_nonce_count_size];
        kz_sip_format_nonce_count(get_ie_value(base + CR_NC).c_str(), nc);
        out->Append(",nc=").Append(nc);
    }
    const CString& qop = get_ie_value(base + CR_QOP);
    if (!qop.IsEmpty()) {
        out->Append(",qop=").Append(qop.View()).Append(",");
        append_quoted(out, "cnonce", get_ie_value(base + CR_CNONCE).View());
    }
    const CString& algorithm = get_ie_value(base + CR_ALGORITHM);
    if (!algorithm.IsEmpty()) out->Append(",algorithm=").Append(algorithm.View());
    out->Append(",");
    append_quoted(out, "response", get_ie_value(base + CR_RESPONSE).View());
    out->Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

// ---- bodies ----

uint32_t sip_msg::compose_dtmf_replay(CString* body) const {
    const CString& signal = get_ie_value(KZ_IE_DTMF_RELAY_SIGNAL);
    if (signal.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    body->Empty();
    body->Append("Signal=").Append(signal.View()).Append(kCRLF);
    const CString& duration = get_ie_value(KZ_IE_DTMF_RELAY_DURATION);
    if (!duration.IsEmpty()) body->Append("Duration=").Append(duration.View()).Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::compose_simple_msg_summary(CString* body) const {
    const CString& waiting = get_ie_value(KZ_IE_SIMPLE_MSG_SUM_MSG_WAITING);
    if (waiting.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    body->Empty();
    body->Append("Messages-Waiting: ").Append(waiting.View()).Append(kCRLF);
    const CString& account = get_ie_value(KZ_IE_SIMPLE_MSG_SUM_MSG_ACCOUNT);
    if (!account.IsEmpty()) body->Append("Message-Account: ").Append(account.View()).Append(kCRLF);
    const CString& voice = get_ie_value(KZ_IE_SIMPLE_MSG_SUM_VOICE_MSG);
    if (!voice.IsEmpty()) body->Append("Voice-Message: ").Append(voice.View()).Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

// "version code text": a missing code or text is left out together with its separator.
uint32_t sip_msg::compose_sip_frag(CString* body) const {
    const CString& version = get_ie_value(KZ_IE_SIP_FRAG_SIP_VERSION);
    if (version.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    body->Empty();
    body->Append(version.View());
    const CString& code = get_ie_value(KZ_IE_SIP_FRAG_SIP_CODE);
    if (!code.IsEmpty()) body->Append(" ").Append(code.View());
    const CString& text = get_ie_value(KZ_IE_SIP_FRAG_SIP_CODE_TXT);
    if (!text.IsEmpty()) body->Append(" ").Append(text.View());
    body->Append(kCRLF);
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::compose_sip_message_content(CString* body) const {
    const CString& content = get_ie_value(KZ_IE_SIP_MESSAGE_CONTENT);
    if (content.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    *body = content.View();
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::compose_sip_notify_presence(CString* body) const {
    const CString& presence = get_ie_value(KZ_IE_SIP_NOTIFY_PRESENCE);
    if (presence.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    *body = presence.View();
    return KZ_SIP_RESULT_OK;
}

// v=, o=, s=, c=, t= and one m= line per media with its attribute lines. Every required element
// is checked before anything is written, so a failure leaves the body as it was.
uint32_t sip_msg::compose_sdp(CString* body) const {
    if (!body) return KZ_SIP_RESULT_FAILURE;
    // Every element the SDP is made of, in ascending id order, found in one pass.
    enum : size_t {
        AUDIO_FORMATS,
        VIDEO_FORMATS,
        IMAGE_FORMATS,
        VERSION,
        OWNER /* six fields */,
        SESSION_NAME = OWNER + 6,
        TIME_START,
        TIME_STOP,
        MEDIA_TYPE,
        MEDIA_PORT,
        MEDIA_PORT_COUNT,
        MEDIA_TRANSPORT,
        AUDIO_ATTRIBUTES,
        VIDEO_ATTRIBUTES,
        CONNECTION /* three fields */,
        COUNT = CONNECTION + 3
    };
    static_assert(std::size(kSdpElementIds) == COUNT, "one slot per SDP element");
    const sip_ie* e[COUNT];
    gather(m_elements, kSdpElementIds, e);

    // Required: v=, all of o=, c= and t=, and the media type, port and transport elements.
    static constexpr size_t kRequiredValues[] = {VERSION,   OWNER,      OWNER + 1,      OWNER + 2,
                                                 OWNER + 3, OWNER + 4,  OWNER + 5,      TIME_START,
                                                 TIME_STOP, CONNECTION, CONNECTION + 1, CONNECTION + 2};
    for (size_t k : kRequiredValues)
        if (value_of(e[k], 0).empty()) return KZ_SIP_RESULT_FAILURE;
    const SdpMedia media{e[MEDIA_TYPE],      e[MEDIA_PORT],       e[MEDIA_PORT_COUNT],
                         e[MEDIA_TRANSPORT], e[AUDIO_FORMATS],    e[VIDEO_FORMATS],
                         e[IMAGE_FORMATS],   e[AUDIO_ATTRIBUTES], e[VIDEO_ATTRIBUTES]};
    if (!media.type || !media.port || !media.transport) return KZ_SIP_RESULT_FAILURE;

    body->Empty();
    body->Append("v=").Append(value_of(e[VERSION], 0)).Append(kCRLF);
    body->Append("o=").Append(value_of(e[OWNER], 0));
    for (size_t k = OWNER + 1; k < OWNER + 6; ++k)
        body->Append(" ").Append(value_of(e[k], 0));
    body->Append(kCRLF);
    body->Append("s=").Append(value_of(e[SESSION_NAME], 0)).Append(kCRLF);
    body->Append("c=")
        .Append(value_of(e[CONNECTION], 0))
        .Append(" ")
        .Append(value_of(e[CONNECTION + 1], 0))
        .Append(" ")
        .Append(value_of(e[CONNECTION + 2], 0))
        .Append(kCRLF);
    body->Append("t=").Append(value_of(e[TIME_START], 0)).Append(" ").Append(value_of(e[TIME_STOP], 0));
    body->Append(kCRLF);
    const unsigned count = media.type->get_value_count();
    for (unsigned i = 0; i < count; ++i)
        append_media(body, media, i);
    return KZ_SIP_RESULT_OK;
}

// ---- Via branches ----

namespace {

char random_letter() {
    const bool upper = (KZAPI::get_rand_u32() & 1u) != 0;
    return static_cast<char>((upper ? 'A' : 'a') + KZAPI::get_rand_u32() % 26);
}

// Appends the decimal text of value at text[*len].
template <typename Int> void put_decimal(char* text, size_t* len, Int value) {
    char buf[24];
    std::string_view digits = decimal(value, buf);
    memcpy(text + *len, digits.data(), digits.size());
    *len += digits.size();
}

void put_text(char* text, size_t* len, std::string_view part) {
    memcpy(text + *len, part.data(), part.size());
    *len += part.size();
}

} // namespace

// "z9hG4bK" + pid and time + random letters + tick count and thread id + other random letters.
void sip_msg::gen_unique_branch(char* buffer, unsigned size) {
    if (!buffer || size == 0) return;
    memset(buffer, 0, size);

    constexpr unsigned kMaxPairs = 10;
    char first_letters[kMaxPairs];
    char second_letters[kMaxPairs];
    unsigned pairs = 0;
    unsigned wanted = 0;
    do {
        first_letters[pairs] = random_letter();
        second_letters[pairs] = random_letter();
        ++pairs;
        wanted = KZAPI::get_rand_u32() % kMaxPairs + 1;
    } while (pairs < wanted);

    // Magic cookie, four decimals of at most 20 digits each and two letter runs.
    char text[7 + 4 * 20 + 2 * kMaxPairs + 1];
    size_t len = 0;
    put_text(text, &len, "z9hG4bK");
    put_decimal(text, &len, KZAPI::KZ_GetProcessId());
    put_decimal(text, &len, static_cast<long long>(time(nullptr)));
    put_text(text, &len, std::string_view(second_letters, pairs));
    put_decimal(text, &len, KZAPI::KZ_GetTickCount());
    put_decimal(text, &len, KZAPI::KZ_GetThreadId());
    put_text(text, &len, std::string_view(first_letters, pairs));

    const size_t keep = len < size - 1 ? len : size - 1;
    memcpy(buffer, text, keep);
}

void sip_msg::gen_via_branch(int index) {
    if (index < 0) return;
    char branch[512];
    gen_unique_branch(branch, sizeof(branch));
    set_ie(KZ_IE_SIP_VIA_BRANCH, static_cast<unsigned>(index), branch);
}
