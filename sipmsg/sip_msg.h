// sip_msg: one SIP message held as a list of information elements sorted by element id,
// with the transport facts of where it came from or must go. The parser fills it from text
// (init_from_buf), the composer writes it back (write_into_buf).
#pragma once

#include "host/CPtArray.h"
#include "host/CString.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/kz_sip_export.h"
#include "sipmsg/kz_sip_result.h"
#include "sipmsg/sip_ie.h"

#include <cstdint>
#include <string_view>
#include <vector>

class KZSIPAPI_EXPORT sip_msg {
public:
    // Parser body kinds (bit values); header mode is 1.
    enum BodyKind : int {
        BODY_HEADERS = 1,
        BODY_SDP = 2,
        BODY_DTMF_RELAY = 4,
        BODY_MSG_SUMMARY = 8,
        BODY_SIPFRAG = 16,
        BODY_PRESENCE = 32,
        BODY_MESSAGE_CONTENT = 64,
    };
    // SDP media kinds carried from line to line.
    enum MediaKind : int { MEDIA_AUDIO = 0, MEDIA_VIDEO = 1, MEDIA_IMAGE = 2 };

    sip_msg();
    virtual ~sip_msg();
    sip_msg(const sip_msg&) = delete;
    sip_msg& operator=(const sip_msg&) = delete;

    // ---- element operations (results: 0 or a KZ_SIP_ERR_* code) ----
    uint32_t add_ie(uint32_t id, unsigned index, const char* value);
    uint32_t add_ie(uint32_t id, unsigned index, std::string_view value);
    uint32_t set_ie(uint32_t id, unsigned index, const char* value);
    uint32_t set_ie(uint32_t id, unsigned index, std::string_view value);
    uint32_t replace_ie(uint32_t id, unsigned index, const char* value);
    uint32_t replace_ie(uint32_t id, unsigned index, std::string_view value);
    uint32_t remove_ie(uint32_t id, unsigned index);
    uint32_t get_ie(uint32_t id, unsigned index, char* buffer, unsigned* size) const;
    sip_ie* get_ie(uint32_t id) const;
    sip_ie* get_ie_by_index(unsigned i) const;
    unsigned get_ie_count() const { return static_cast<unsigned>(m_elements.GetSize()); }
    unsigned get_ie_value_count(uint32_t id) const;
    bool find_ie(uint32_t id, unsigned index) const;
    // The value at id/index, or an empty string; never null.
    const KZAPI::CString& get_ie_value(uint32_t id, unsigned index = 0) const;
    bool copy_ie(const sip_msg* src, uint32_t id, unsigned index);
    bool copy_ie(const sip_msg* src, uint32_t src_id, unsigned src_index, uint32_t dst_id,
                 unsigned dst_index);

    void copy_msg_from(const sip_msg* src);
    void copy_via_from(const sip_msg* src, bool keep_branch, bool new_branch);
    void copy_credit_to(sip_msg* dst) const;
    void copy_credit_from(const sip_msg* src);

    // ---- message facts ----
    uint32_t cseq() const;
    const char* cseq_method() const;
    uint32_t get_msg_type() const;
    uint32_t is_request() const;
    uint32_t is_response() const;
    bool is_invite() const { return is_request() == 1; }
    bool is_register() const { return is_request() == 2; }
    bool is_cancel() const { return is_request() == 3; }
    bool is_bye() const { return is_request() == 4; }
    bool is_ack() const { return is_request() == 5; }
    bool is_options() const { return is_request() == 6; }
    bool is_subscribe() const { return is_request() == 7; }
    bool is_notify() const { return is_request() == 8; }
    bool is_refer() const { return is_request() == 9; }
    bool is_message() const { return is_request() == 10; }
    bool is_info() const { return is_request() == 11; }
    bool is_update() const { return is_request() == 12; }
    bool is_prack() const { return is_request() == 13; }
    bool is_other() const { return is_request() == 15; }
    bool is_1xx() const { return in_class(100); }
    bool is_2xx() const { return in_class(200); }
    bool is_3xx() const { return in_class(300); }
    bool is_4xx() const { return in_class(400); }
    bool is_5xx() const { return in_class(500); }
    bool is_6xx() const { return in_class(600); }
    bool is_trying() const { return is_response() == 100; }
    bool is_ringing() const { return is_response() == 180; }
    bool is_empty() const { return m_elements.IsEmpty(); }

    // ---- transport fields ----
    void set_ip_address(uint32_t from_ip, uint16_t from_port, uint32_t to_ip, uint16_t to_port) {
        m_from_ip = from_ip;
        m_from_port = from_port;
        m_to_ip = to_ip;
        m_to_port = to_port;
    }
    uint32_t get_from_ip() const { return m_from_ip; }
    uint16_t get_from_port() const { return m_from_port; }
    uint32_t get_to_ip() const { return m_to_ip; }
    uint16_t get_to_port() const { return m_to_port; }
    void set_prot(int32_t prot) { m_protocol = prot; }
    int32_t get_prot() const { return m_protocol; }
    void set_tcp_socket(void* connection) { m_connection = connection; }
    void* get_tcp_socket() const { return m_connection; }
    void set_ssl_type(int32_t type) { m_ssl_type = type; }
    int32_t get_ssl_type() const { return m_ssl_type; }
    void set_raw_msg(std::string_view text) { m_raw = text; }
    const KZAPI::CString& get_raw_msg() const { return m_raw; }

    // Deletes every element and clears both addresses; protocol, connection and raw text stay.
    void reset_all();
    void release() { reset_all(); }
    // Empties everything, transport fields and raw text included, keeping the storage: the
    // record is then as a new one.
    void reset_for_reuse();

    // ---- parser ----
    // Parses one message from the NUL-terminated text (modified in place) and returns where the
    // next message begins. The event's type and code are filled.
    char* init_from_buf(char* text, KZSIPEvent* event);
    uint32_t parse_line(int line_number, int body_kind, std::string_view line, KZSIPEvent* event,
                        int* media_kind);
    uint32_t parse_first_line(std::string_view line, KZSIPEvent* event);
    uint32_t parse_header(std::string_view line, KZSIPEvent* event);
    uint32_t parse_via(std::string_view value);
    uint32_t parse_from(std::string_view value);
    uint32_t parse_to(std::string_view value);
    uint32_t parse_call_id(std::string_view value);
    uint32_t parse_cseq(std::string_view value);
    uint32_t parse_contact(std::string_view value);
    uint32_t parse_content_type(std::string_view value);
    uint32_t parse_content_length(std::string_view value);
    uint32_t parse_date(std::string_view value);
    uint32_t parse_max_forwards(std::string_view value);
    uint32_t parse_user_agent(std::string_view value);
    uint32_t parse_accept(std::string_view value);
    uint32_t parse_accept_language(std::string_view value);
    uint32_t parse_allow(std::string_view value);
    uint32_t parse_support(std::string_view value);
    uint32_t parse_require(std::string_view value);
    uint32_t parse_rseq(std::string_view value);
    uint32_t parse_rack(std::string_view value);
    uint32_t parse_replaces(std::string_view value);
    uint32_t parse_reason(std::string_view value);
    uint32_t parse_expires(std::string_view value);
    uint32_t parse_route(std::string_view value);
    uint32_t parse_record_route(std::string_view value);
    uint32_t parse_www_auth_req(std::string_view value);
    uint32_t parse_www_auth_resp(std::string_view value);
    uint32_t parse_proxy_auth_req(std::string_view value);
    uint32_t parse_proxy_auth_resp(std::string_view value);
    uint32_t parse_refer_to(std::string_view value);
    uint32_t parse_referred_by(std::string_view value);
    uint32_t parse_event(std::string_view value);
    uint32_t parse_subscription_state(std::string_view value);
    uint32_t parse_p_asserted_identity(std::string_view value);
    uint32_t parse_remote_party_id(std::string_view value);
    uint32_t parse_p_charging_vector(std::string_view value);
    uint32_t parse_x_sms_to(std::string_view value);
    uint32_t parse_dtmf_replay(std::string_view line);
    uint32_t parse_simple_msg_summary(std::string_view line);
    uint32_t parse_sip_frag(std::string_view line);
    uint32_t parse_sip_notify_presence(std::string_view line);
    uint32_t parse_sip_message_content(std::string_view line);

    // ---- SDP ----
    uint32_t parse_sdp(std::string_view line, KZSIPEvent* event, int* media_kind);
    uint32_t parse_sdp_v(std::string_view rest);
    uint32_t parse_sdp_o(std::string_view rest);
    uint32_t parse_sdp_s(std::string_view rest);
    uint32_t parse_sdp_c(std::string_view rest);
    uint32_t parse_sdp_t(std::string_view rest);
    uint32_t parse_sdp_m(std::string_view rest, int* media_kind);
    uint32_t parse_sdp_a(std::string_view rest, int media_kind);
    uint32_t parse_sdp_b(std::string_view) { return 0; }
    uint32_t parse_sdp_e(std::string_view) { return 0; }
    uint32_t parse_sdp_i(std::string_view) { return 0; }
    uint32_t parse_sdp_k(std::string_view) { return 0; }
    uint32_t parse_sdp_p(std::string_view) { return 0; }
    uint32_t parse_sdp_r(std::string_view) { return 0; }
    uint32_t parse_sdp_u(std::string_view) { return 0; }
    uint32_t parse_sdp_z(std::string_view) { return 0; }
    uint32_t compose_sdp(KZAPI::CString* body) const;
    // Every element an SDP body is made of, in ascending id order.
    static constexpr uint32_t kSdpElementIds[] = {KZ_IE_SIP_PAYLOAD,
                                                  KZ_IE_SIP_VIDEO_PAYLOAD,
                                                  KZ_IE_SIP_IMAGE_PAYLOAD,
                                                  KZ_IE_SDP_VERSION,
                                                  KZ_IE_SDP_OWNER_USERNAME,
                                                  KZ_IE_SDP_OWNER_SESSION_ID,
                                                  KZ_IE_SDP_OWNER_SESSION_VERSION,
                                                  KZ_IE_SDP_OWNER_NETWORK_TYPE,
                                                  KZ_IE_SDP_OWNER_ADDRESS_TYPE,
                                                  KZ_IE_SDP_OWNER_ADDRESS,
                                                  KZ_IE_SDP_SESSION_NAME,
                                                  KZ_IE_SDP_TIMESTAMP_START,
                                                  KZ_IE_SDP_TIMESTAMP_STOP,
                                                  KZ_IE_SDP_MEDIA_TYPE,
                                                  KZ_IE_SDP_MEDIA_PORT,
                                                  KZ_IE_SDP_MEDIA_NUMBER_OF_PORTS,
                                                  KZ_IE_SDP_MEDIA_TRANSPORT,
                                                  KZ_IE_SDP_MEDIA_ATTR_RTPMAP,
                                                  KZ_IE_SDP_VIDEO_MEDIA_ATTR,
                                                  KZ_IE_SDP_CONNECTION_NETWORK_TYPE,
                                                  KZ_IE_SDP_CONNECTION_ADDRESS_TYPE,
                                                  KZ_IE_SDP_CONNECTION_ADDRESS};

    // ---- composer ----
    uint32_t write_into_buf(KZAPI::CString* out) const;
    uint32_t compose_first_line(KZAPI::CString* out) const;
    uint32_t compose_via(KZAPI::CString* out) const;
    uint32_t compose_to(KZAPI::CString* out) const;
    uint32_t compose_from(KZAPI::CString* out) const;
    uint32_t compose_call_id(KZAPI::CString* out) const;
    uint32_t compose_contact(KZAPI::CString* out) const;
    uint32_t compose_max_forwards(KZAPI::CString* out) const;
    uint32_t compose_expires(KZAPI::CString* out) const;
    uint32_t compose_user_agent(KZAPI::CString* out) const;
    uint32_t compose_allow(KZAPI::CString* out) const;
    uint32_t compose_cseq(KZAPI::CString* out) const;
    uint32_t compose_record_route(KZAPI::CString* out) const;
    uint32_t compose_route(KZAPI::CString* out) const;
    uint32_t compose_refer_to(KZAPI::CString* out) const;
    uint32_t compose_referred_by(KZAPI::CString* out) const;
    uint32_t compose_event(KZAPI::CString* out) const;
    uint32_t compose_subscription_state(KZAPI::CString* out) const;
    uint32_t compose_accept(KZAPI::CString* out) const;
    uint32_t compose_date(KZAPI::CString* out) const;
    uint32_t compose_accept_language(KZAPI::CString* out) const;
    uint32_t compose_support(KZAPI::CString* out) const;
    uint32_t compose_replaces(KZAPI::CString* out) const;
    uint32_t compose_reason(KZAPI::CString* out) const;
    uint32_t compose_p_asserted_identity(KZAPI::CString* out) const;
    uint32_t compose_p_charging_vector(KZAPI::CString* out) const;
    uint32_t compose_remote_party_id(KZAPI::CString* out) const;
    uint32_t compose_require(KZAPI::CString* out) const;
    uint32_t compose_rseq(KZAPI::CString* out) const;
    uint32_t compose_rack(KZAPI::CString* out) const;
    uint32_t compose_x_sms_to(KZAPI::CString* out) const;
    uint32_t compose_extra_header(KZAPI::CString* out) const;
    uint32_t compose_proxy_auth_req(KZAPI::CString* out) const;
    uint32_t compose_proxy_auth_resp(KZAPI::CString* out) const;
    uint32_t compose_www_auth_req(KZAPI::CString* out) const;
    uint32_t compose_www_auth_resp(KZAPI::CString* out) const;
    uint32_t compose_content_type(KZAPI::CString* out) const;
    uint32_t compose_dtmf_replay(KZAPI::CString* body) const;
    uint32_t compose_simple_msg_summary(KZAPI::CString* body) const;
    uint32_t compose_sip_frag(KZAPI::CString* body) const;
    uint32_t compose_sip_message_content(KZAPI::CString* body) const;
    uint32_t compose_sip_notify_presence(KZAPI::CString* body) const;

    // New Via branch "z9hG4bK..." into buffer, cut to size - 1 characters.
    static void gen_unique_branch(char* buffer, unsigned size);
    void gen_via_branch(int index);

private:
    bool in_class(uint32_t base) const {
        uint32_t code = is_response();
        return code >= base && code < base + 100;
    }
    // Position of the element with this (canonical) id, or the insertion point with found=false.
    size_t lower_bound(uint32_t id, bool* found) const;
    sip_ie* find_element(uint32_t id) const;
    sip_ie* new_element(uint32_t id);
    void recycle(sip_ie* ie);
    uint32_t compose_challenge(KZAPI::CString* out, uint32_t base) const;
    uint32_t compose_credentials(KZAPI::CString* out, uint32_t base) const;
    uint32_t parse_challenge(std::string_view value, uint32_t type_id, bool credentials);
    uint32_t add_via_param(unsigned index, std::string_view part);
    // Sets id/index to the source's value (an empty source value adds nothing).
    void copy_value(const sip_msg* src, uint32_t id, unsigned index);
    // Via parts at index count and beyond the Via addresses are left over from another message.
    void drop_via_parts_beyond(unsigned count);
    // A copy of the non-empty values of an element (trimmed), or null when it has none.
    sip_ie* copy_element(const sip_ie& from);
    uint32_t parse_name_addr(std::string_view value, uint32_t addr_id, uint32_t tag_id);
    uint32_t parse_list(std::string_view value, uint32_t id);

    KZAPI::CPtArray m_elements;   // owned sip_ie*, sorted by id
    std::vector<sip_ie*> m_spare; // emptied elements kept for reuse by this message
    uint32_t m_from_ip = 0;
    uint16_t m_from_port = 0;
    uint32_t m_to_ip = 0;
    uint16_t m_to_port = 0;
    int32_t m_protocol = 0;
    void* m_connection = nullptr;
    int32_t m_ssl_type = 0;
    mutable KZAPI::CString m_raw; // the text last parsed or composed, kept beside the message
};

// Completes the Authorization and Proxy-Authorization credentials of a request before it is
// composed: with a qop a missing cnonce and nonce count are created, and with a password the
// digest response (RFC 2617) is computed. Everything is stored in the message, so every copy
// and resend carries the same credentials. 0, or KZ_SIP_RESULT_NULL_HANDLE for a null message.
KZSIPAPI_EXPORT uint32_t kz_sip_complete_credentials(sip_msg* msg);
// "%08d" of the decimal nonce-count text, NUL-terminated.
constexpr size_t kz_sip_nonce_count_size = 24;
KZSIPAPI_EXPORT void kz_sip_format_nonce_count(const char* value, char (&out)[kz_sip_nonce_count_size]);

// Payload number of an "rtpmap:%d" / "rtpmap: %d" attribute, or -1.
KZSIPAPI_EXPORT int kz_get_payload_type(const char* attribute);
// IPv4 address (network order) of a dotted literal or a resolvable name; 0 when unresolved.
KZSIPAPI_EXPORT uint32_t kz_get_real_inet_addr(const char* host);
// Splits a SIP address in place into user, host and port; 1 on success, 0 for null arguments.
KZSIPAPI_EXPORT int kz_get_sip_address_info(char* text, char** user, char** host, char** port);
// 2 for an IPv4 literal or a dotted name that resolves, 1 otherwise.
KZSIPAPI_EXPORT int kz_get_host_kind(const char* text);
