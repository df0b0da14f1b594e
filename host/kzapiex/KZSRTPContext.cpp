#include "host/kzapiex/KZSRTPContext.h"

#include <sys/random.h>

#include <cstring>

namespace KZAPIEx {

namespace {

// The replay window of a receive context (packets); libsrtp's smallest is 64.
constexpr unsigned long kReplayWindow = 128;

template <typename T> T RandomValue() {
    T value{};
    if (getrandom(&value, sizeof(value), 0) != static_cast<ssize_t>(sizeof(value))) value = T{};
    return value;
}

void WriteHeader(uint8_t* out, int payload_type, bool marker, uint16_t sequence, uint32_t timestamp,
                 uint32_t ssrc) {
    out[0] = 0x80; // version 2, no padding, no extension, no CSRC
    out[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | (payload_type & 0x7F));
    out[2] = static_cast<uint8_t>(sequence >> 8);
    out[3] = static_cast<uint8_t>(sequence);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
        out[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
    }
}

} // namespace

std::unique_ptr<KZSRTPContext> KZSRTPContext::Create(Direction direction, const char* key,
                                                     const char* suite_name, uint32_t ssrc, Error& error) {
    error = Error{};
    const KZSRTPSuite* suite = suite_name ? FindSuite(suite_name) : nullptr;
    if (!suite) {
        error = {KZAPIEX_ERR_UNKNOWN_SUITE, "unsupported crypto suite"};
        return nullptr;
    }
    KZSRTPKeyMaterial material;
    const char* reason = "";
    if (!key || !ReadKeyMaterial(key, *suite, material, &reason)) {
        error = {KZAPIEX_ERR_BAD_KEY, key ? reason : "the key is missing"};
        return nullptr;
    }
    srtp_policy_t policy{};
    suite->set_policy(&policy.rtp);
    suite->set_rtcp_policy(&policy.rtcp);
    srtp_master_key_t master{material.key_and_salt.data(), material.mki.data(),
                             static_cast<unsigned>(material.mki_bytes)};
    srtp_master_key_t* masters[] = {&master};
    if (material.mki_bytes > 0) {
        policy.keys = masters;
        policy.num_master_keys = 1;
    } else {
        policy.key = material.key_and_salt.data();
    }
    if (direction == Direction::Receive) {
        policy.ssrc.type = ssrc_any_inbound;
    } else {
        policy.ssrc.type = ssrc_specific;
        policy.ssrc.value = ssrc;
    }
    policy.window_size = kReplayWindow;
    srtp_t session = nullptr;
    const srtp_err_status_t status = srtp_create(&session, &policy);
    std::memset(material.key_and_salt.data(), 0, material.key_and_salt.size());
    if (status != srtp_err_status_ok) {
        error = {KZAPIEX_ERR_SRTP, "libsrtp refused the session", static_cast<int>(status)};
        return nullptr;
    }
    return std::unique_ptr<KZSRTPContext>(new KZSRTPContext(direction, session, ssrc, material.mki_bytes));
}

KZSRTPContext::KZSRTPContext(Direction direction, srtp_t session, uint32_t ssrc, size_t mki_bytes)
    : m_direction(direction), m_session(session), m_ssrc(ssrc), m_use_mki(mki_bytes > 0),
      // A random start, kept below 2^15 so the receiver's rollover guess holds from the first packet.
      m_sequence(static_cast<uint16_t>(RandomValue<uint16_t>() & 0x7FFF)),
      m_timestamp(RandomValue<uint32_t>()) {}

KZSRTPContext::~KZSRTPContext() {
    srtp_dealloc(m_session);
}

int KZSRTPContext::Protect(int payload_type, const uint8_t* payload, int length, bool marker,
                           uint32_t timestamp_increment, uint8_t* output) {
    if (m_direction == Direction::Send && !output) {
        std::lock_guard lock(m_mutex);
        m_timestamp += timestamp_increment;
        return 0;
    }
    if (m_direction != Direction::Send || length < 0 || length > KZAPIEX_MAX_PAYLOAD_BYTES || !output ||
        (length > 0 && !payload) || payload_type < 0 || payload_type > 127)
        return -KZAPIEX_ERR_BAD_ARGUMENT;
    std::lock_guard lock(m_mutex);
    WriteHeader(m_work, payload_type, marker, m_sequence, m_timestamp, m_ssrc);
    if (length > 0) std::memcpy(m_work + KZAPIEX_RTP_HEADER_BYTES, payload, static_cast<size_t>(length));
    int protected_length = KZAPIEX_RTP_HEADER_BYTES + length;
    const srtp_err_status_t status = srtp_protect_mki(m_session, m_work, &protected_length, m_use_mki, 0);
    if (status != srtp_err_status_ok) return -static_cast<int>(status);
    ++m_sequence;
    m_timestamp += timestamp_increment;
    std::memcpy(output, m_work, static_cast<size_t>(protected_length));
    return protected_length;
}

int KZSRTPContext::Unprotect(const uint8_t* packet, int length, uint8_t* output) {
    if (m_direction != Direction::Receive || !packet || !output || length < KZAPIEX_RTP_HEADER_BYTES ||
        length > KZAPIEX_MAX_SRTP_BYTES)
        return -KZAPIEX_ERR_BAD_ARGUMENT;
    std::lock_guard lock(m_mutex);
    std::memcpy(m_work, packet, static_cast<size_t>(length));
    int plain_length = length;
    const srtp_err_status_t status = srtp_unprotect_mki(m_session, m_work, &plain_length, m_use_mki);
    if (status != srtp_err_status_ok) return -static_cast<int>(status);
    std::memcpy(output, m_work, static_cast<size_t>(plain_length));
    return plain_length;
}

int KZSRTPContext::ProtectRTCP(const uint8_t* packet, int length, uint8_t* output) {
    if (m_direction != Direction::Send || !packet || !output || length < KZAPIEX_MIN_RTCP_BYTES ||
        length > KZAPIEX_MAX_RTCP_BYTES)
        return -KZAPIEX_ERR_BAD_ARGUMENT;
    std::lock_guard lock(m_mutex);
    std::memcpy(m_work, packet, static_cast<size_t>(length));
    int protected_length = length;
    const srtp_err_status_t status =
        srtp_protect_rtcp_mki(m_session, m_work, &protected_length, m_use_mki, 0);
    if (status != srtp_err_status_ok) return -static_cast<int>(status);
    std::memcpy(output, m_work, static_cast<size_t>(protected_length));
    return protected_length;
}

int KZSRTPContext::UnprotectRTCP(const uint8_t* packet, int length, uint8_t* output) {
    if (m_direction != Direction::Receive || !packet || !output || length < KZAPIEX_MIN_RTCP_BYTES ||
        length > KZAPIEX_MAX_SRTP_BYTES)
        return -KZAPIEX_ERR_BAD_ARGUMENT;
    std::lock_guard lock(m_mutex);
    std::memcpy(m_work, packet, static_cast<size_t>(length));
    int plain_length = length;
    const srtp_err_status_t status = srtp_unprotect_rtcp_mki(m_session, m_work, &plain_length, m_use_mki);
    if (status != srtp_err_status_ok) return -static_cast<int>(status);
    std::memcpy(output, m_work, static_cast<size_t>(plain_length));
    return plain_length;
}

} // namespace KZAPIEx
