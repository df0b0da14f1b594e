// SDP body lines: each line of an SDP body is stored in the KZ_IE_SDP_* elements and the
// payload-format elements. The media kind of the latest "m=" line decides where "a=" lines go.
#include "host/KZStrFunc.h"
#include "sipmsg/sip_msg.h"

using KZAPI::iequals;
using KZAPI::trim_spaces;

namespace {

// Next space-separated token; runs of spaces count as one separator.
std::string_view next_token(std::string_view* s) {
    std::string_view t = trim_spaces(*s);
    size_t p = t.find(' ');
    if (p == std::string_view::npos) {
        *s = std::string_view();
        return t;
    }
    *s = t.substr(p + 1);
    return t.substr(0, p);
}

} // namespace

namespace {

using SdpLineParser = uint32_t (sip_msg::*)(std::string_view);

struct SdpLine {
    char type;
    SdpLineParser parse;
};

// Line types other than "m=" and "a=", which depend on the media kind; b, e, i, k, p, r, u and z
// are accepted and dropped.
constexpr SdpLine kSdpLines[] = {
    {'v', &sip_msg::parse_sdp_v}, {'o', &sip_msg::parse_sdp_o}, {'s', &sip_msg::parse_sdp_s},
    {'c', &sip_msg::parse_sdp_c}, {'t', &sip_msg::parse_sdp_t}, {'b', &sip_msg::parse_sdp_b},
    {'e', &sip_msg::parse_sdp_e}, {'i', &sip_msg::parse_sdp_i}, {'k', &sip_msg::parse_sdp_k},
    {'p', &sip_msg::parse_sdp_p}, {'r', &sip_msg::parse_sdp_r}, {'u', &sip_msg::parse_sdp_u},
    {'z', &sip_msg::parse_sdp_z},
};

} // namespace

uint32_t sip_msg::parse_sdp(std::string_view line, KZSIPEvent* /*event*/, int* media_kind) {
    int scratch_kind = MEDIA_AUDIO;
    if (!media_kind) media_kind = &scratch_kind;
    if (line.size() < 2 || line[1] != '=') return KZ_SIP_RESULT_FAILURE;
    std::string_view rest = line.substr(2);
    if (line[0] == 'm') return parse_sdp_m(rest, media_kind);
    if (line[0] == 'a') return parse_sdp_a(rest, *media_kind);
    for (const SdpLine& l : kSdpLines)
        if (l.type == line[0]) return (this->*l.parse)(rest);
    return KZ_SIP_RESULT_FAILURE;
}

uint32_t sip_msg::parse_sdp_v(std::string_view rest) {
    return add_ie(KZ_IE_SDP_VERSION, 0, rest);
}

uint32_t sip_msg::parse_sdp_o(std::string_view rest) {
    uint32_t result = KZ_SIP_RESULT_OK;
    for (uint32_t id = KZ_IE_SDP_OWNER_USERNAME; id <= KZ_IE_SDP_OWNER_ADDRESS; ++id)
        if (add_ie(id, 0, next_token(&rest)) != KZ_SIP_RESULT_OK) result = KZ_SIP_RESULT_FAILURE;
    return result;
}

uint32_t sip_msg::parse_sdp_s(std::string_view rest) {
    return add_ie(KZ_IE_SDP_SESSION_NAME, 0, rest);
}

uint32_t sip_msg::parse_sdp_c(std::string_view rest) {
    std::string_view network = next_token(&rest);
    if (network.empty()) return KZ_SIP_RESULT_FAILURE;
    std::string_view address_type = next_token(&rest);
    std::string_view address = next_token(&rest);
    // A later c= line (per media) finds the elements already set and is dropped.
    if (add_ie(KZ_IE_SDP_CONNECTION_NETWORK_TYPE, 0, network) != KZ_SIP_RESULT_OK)
        return KZ_SIP_RESULT_FAILURE;
    if (add_ie(KZ_IE_SDP_CONNECTION_ADDRESS_TYPE, 0, address_type) != KZ_SIP_RESULT_OK)
        return KZ_SIP_RESULT_FAILURE;
    if (add_ie(KZ_IE_SDP_CONNECTION_ADDRESS, 0, address) != KZ_SIP_RESULT_OK) return KZ_SIP_RESULT_FAILURE;
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::parse_sdp_t(std::string_view rest) {
    uint32_t r1 = add_ie(KZ_IE_SDP_TIMESTAMP_START, 0, next_token(&rest));
    uint32_t r2 = add_ie(KZ_IE_SDP_TIMESTAMP_STOP, 0, next_token(&rest));
    return r1 == KZ_SIP_RESULT_OK && r2 == KZ_SIP_RESULT_OK ? KZ_SIP_RESULT_OK : KZ_SIP_RESULT_FAILURE;
}

uint32_t sip_msg::parse_sdp_a(std::string_view rest, int media_kind) {
    uint32_t id;
    if (media_kind == MEDIA_AUDIO)
        id = KZ_IE_SDP_MEDIA_ATTR_RTPMAP;
    else if (media_kind == MEDIA_VIDEO)
        id = KZ_IE_SDP_VIDEO_MEDIA_ATTR;
    else
        return KZ_SIP_RESULT_OK; // attributes of image media are not kept
    return add_ie(id, get_ie_value_count(id), rest);
}

uint32_t sip_msg::parse_sdp_m(std::string_view rest, int* media_kind) {
    std::string_view fields = rest;
    std::string_view media = next_token(&fields);
    std::string_view port = next_token(&fields);
    std::string_view transport = next_token(&fields);
    if (media.empty() || port.empty() || transport.empty())
        return KZ_SIP_RESULT_OK; // fewer than three fields

    const unsigned index = get_ie_value_count(KZ_IE_SDP_MEDIA_TYPE);
    add_ie(KZ_IE_SDP_MEDIA_TYPE, index, media);
    uint32_t formats_id = KZ_IE_SIP_PAYLOAD;
    if (iequals(media, "video")) {
        *media_kind = MEDIA_VIDEO;
        formats_id = KZ_IE_SIP_VIDEO_PAYLOAD;
    } else if (iequals(media, "image")) {
        *media_kind = MEDIA_IMAGE;
        formats_id = KZ_IE_SIP_IMAGE_PAYLOAD;
    } else {
        *media_kind = MEDIA_AUDIO;
    }

    size_t slash = port.find('/');
    if (slash == std::string_view::npos) {
        add_ie(KZ_IE_SDP_MEDIA_PORT, index, port);
    } else {
        add_ie(KZ_IE_SDP_MEDIA_PORT, index, port.substr(0, slash));
        add_ie(KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS, index, port.substr(slash + 1));
    }
    add_ie(KZ_IE_SDP_MEDIA_TRANSPORT, index, transport);

    for (unsigned i = 0; i < sip_ie::MAX_VALUES; ++i) {
        std::string_view format = next_token(&fields);
        if (format.empty()) break;
        add_ie(formats_id, i, format);
    }
    return KZ_SIP_RESULT_OK;
}
