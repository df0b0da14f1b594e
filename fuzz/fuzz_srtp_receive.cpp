// Feeds SRTP and SRTCP packets into the receive side of a call's SRTP streams: the decoder
// context a call opens through the real extension library (libKZAPIEx.so, loaded as the server
// loads it), unprotected into a buffer of the call's size and parsed as the RTP session does.
// A raw libsrtp sender with the same key protects packets from header fields and payloads the
// input picks; they arrive intact or broken (tag bytes flipped, cut short, grown), next to
// SRTCP packets and raw bytes.
//
// Checks: a decoded packet is never longer than what arrived and is always a parsable RTP
// packet; a decoded intact packet is exactly the packet that was protected; an intact packet
// the receiver must accept (first of its SSRC, or ahead of everything sent on it) decodes; a
// packet with a flipped tag byte or longer than the call's buffer never decodes; an intact
// SRTCP report unprotects to the report sent, and one with a flipped tag bit never does.
//
// Input: the first byte picks the suite (low 3 bits) and an MKI of 1-4 bytes (bit 3, length
// from bits 4-5); then records of a kind byte, a 2-byte big-endian length and that many bytes.
#include "callcontrol/KZSRTPStreams.h"
#include "fuzz_extension_library.h"
#include "host/KZRTPPacket.h"

#include <srtp2/srtp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Suite {
    const char* name;
    void (*set_policy)(srtp_crypto_policy_t*);
    void (*set_rtcp_policy)(srtp_crypto_policy_t*); // the 32-bit-tag suites keep 80 bits on SRTCP
    size_t key_and_salt;
};

void set_default(srtp_crypto_policy_t* policy) {
    srtp_crypto_policy_set_rtp_default(policy);
}

constexpr std::array<Suite, 8> kSuites{{
    {"AES_CM_128_HMAC_SHA1_32", srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32, set_default, 30},
    {"AES_CM_128_HMAC_SHA1_80", set_default, set_default, 30},
    {"AES_192_CM_HMAC_SHA1_32", srtp_crypto_policy_set_aes_cm_192_hmac_sha1_32,
     srtp_crypto_policy_set_aes_cm_192_hmac_sha1_80, 38},
    {"AES_192_CM_HMAC_SHA1_80", srtp_crypto_policy_set_aes_cm_192_hmac_sha1_80,
     srtp_crypto_policy_set_aes_cm_192_hmac_sha1_80, 38},
    {"AES_256_CM_HMAC_SHA1_32", srtp_crypto_policy_set_aes_cm_256_hmac_sha1_32,
     srtp_crypto_policy_set_aes_cm_256_hmac_sha1_80, 46},
    {"AES_256_CM_HMAC_SHA1_80", srtp_crypto_policy_set_aes_cm_256_hmac_sha1_80,
     srtp_crypto_policy_set_aes_cm_256_hmac_sha1_80, 46},
    {"AEAD_AES_128_GCM", srtp_crypto_policy_set_aes_gcm_128_16_auth,
     srtp_crypto_policy_set_aes_gcm_128_16_auth, 28},
    {"AEAD_AES_256_GCM", srtp_crypto_policy_set_aes_gcm_256_16_auth,
     srtp_crypto_policy_set_aes_gcm_256_16_auth, 44},
}};

constexpr uint64_t kMKIValue = 0x0102030405060708ull;

std::array<uint8_t, SRTP_MAX_KEY_LEN> master_key() {
    std::array<uint8_t, SRTP_MAX_KEY_LEN> key{};
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<uint8_t>(0x3c + 7 * i);
    return key;
}

std::string base64(const uint8_t* data, size_t length) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < length; i += 3) {
        const size_t bytes = std::min<size_t>(3, length - i);
        uint32_t chunk = 0;
        for (size_t k = 0; k < 3; ++k)
            chunk = chunk << 8 | (k < bytes ? data[i + k] : 0);
        for (size_t k = 0; k < 4; ++k)
            text += k <= bytes ? kAlphabet[chunk >> (18 - 6 * k) & 63] : '=';
    }
    return text;
}

using kzfuzz::extension;

// The far end: a libsrtp sender for every SSRC under the same key and MKI.
class Sender {
public:
    Sender(const Suite& suite, size_t mki_bytes) : m_use_mki(mki_bytes > 0) {
        std::array<uint8_t, SRTP_MAX_KEY_LEN> key = master_key();
        std::array<uint8_t, 8> mki{};
        for (size_t i = 0; i < mki_bytes; ++i)
            mki[mki_bytes - 1 - i] = static_cast<uint8_t>(kMKIValue >> (8 * i));
        srtp_master_key_t master{key.data(), mki.data(), static_cast<unsigned>(mki_bytes)};
        srtp_master_key_t* masters[] = {&master};
        srtp_policy_t policy{};
        suite.set_policy(&policy.rtp);
        suite.set_rtcp_policy(&policy.rtcp);
        if (m_use_mki) {
            policy.keys = masters;
            policy.num_master_keys = 1;
        } else {
            policy.key = key.data();
        }
        policy.ssrc.type = ssrc_any_outbound;
        policy.window_size = 128;
        if (srtp_create(&m_session, &policy) != srtp_err_status_ok) abort();
    }
    ~Sender() { srtp_dealloc(m_session); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Protects packet in place (room for the trailer behind it); its new length, or 0.
    int Protect(uint8_t* packet, int length, bool rtcp) {
        const srtp_err_status_t status = rtcp
                                             ? srtp_protect_rtcp_mki(m_session, packet, &length, m_use_mki, 0)
                                             : srtp_protect_mki(m_session, packet, &length, m_use_mki, 0);
        return status == srtp_err_status_ok ? length : 0;
    }

private:
    srtp_t m_session = nullptr;
    const bool m_use_mki;
};

// What the receiver has seen of one SSRC: the highest sequence number sent and accepted.
struct StreamView {
    int sent = -1;
    int accepted = -1;
};

bool must_accept(const StreamView& view, uint16_t sequence) {
    const auto ahead = [&](int highest) {
        return highest < 0 || (sequence > highest && sequence - highest < 0x8000);
    };
    return ahead(view.sent) && ahead(view.accepted);
}

class Receiver {
public:
    Receiver(const Suite& suite, const std::string& key) {
        m_streams.Open(&extension(), {key.c_str(), suite.name, key.c_str(), suite.name, 0x5eed});
        if (!m_streams.CanUnprotect()) abort();
    }

    // The packet as the call's receive path takes it; the decoded length (0 = not decoded).
    int Receive(const uint8_t* data, size_t size) {
        std::vector<uint8_t> packet(data, data + size); // exactly as long as it came
        m_decoded.assign(KZSRTPStreams::kMaxPacketBytes, 0);
        const int length =
            m_streams.Unprotect(packet.data(), static_cast<int>(packet.size()), m_decoded.data());
        if (length <= 0) return 0;
        if (static_cast<size_t>(length) > size) __builtin_trap();
        KZAPI::KZRTPPacket parsed;
        if (!parsed.Parse(m_decoded.data(), length)) __builtin_trap();
        if (parsed.GetPayloadLength() < 0 || parsed.GetPayloadLength() > length) __builtin_trap();
        return length;
    }
    // An SRTCP packet as the call's report path takes it (in place); the compound's length or 0.
    int ReceiveRTCP(const uint8_t* data, size_t size) {
        m_decoded.assign(data, data + size);
        const int length = m_streams.UnprotectRTCP(m_decoded.data(), static_cast<int>(size));
        if (length > static_cast<int>(size)) __builtin_trap();
        return std::max(length, 0);
    }
    const uint8_t* Decoded() const { return m_decoded.data(); }

private:
    KZSRTPStreams m_streams;
    std::vector<uint8_t> m_decoded;
};

// A plain RTP packet from the record: sequence (2), timestamp (4), SSRC (4), marker and payload
// type, CSRC count and extension flag, then the payload.
size_t build_rtp(const uint8_t* data, size_t size, uint8_t* out, size_t capacity) {
    if (size < 12) return 0;
    const size_t csrcs = data[11] & 0x03;
    const bool extension = (data[11] & 0x04) != 0;
    out[0] = static_cast<uint8_t>(0x80 | (extension ? 0x10 : 0) | csrcs);
    out[1] = data[10];
    std::memcpy(out + 2, data, 10);
    size_t at = 12;
    for (size_t i = 0; i < csrcs; ++i, at += 4)
        std::memcpy(out + at, data + 2, 4);
    if (extension) {
        const uint8_t header[] = {0xbe, 0xde, 0x00, 0x01, 0x10, 0xaa, 0x00, 0x00};
        std::memcpy(out + at, header, sizeof(header));
        at += sizeof(header);
    }
    const size_t payload = std::min(size - 12, capacity - at);
    std::memcpy(out + at, data + 12, payload);
    return at + payload;
}

// A compound-looking RTCP packet: a sender report header of the record's SSRC and the rest as body.
size_t build_rtcp(const uint8_t* data, size_t size, uint8_t* out, size_t capacity) {
    if (size < 5) return 0;
    const size_t body = std::min((size - 5) & ~size_t{3}, capacity - 8);
    out[0] = static_cast<uint8_t>(0x80 | (data[4] & 0x1f));
    out[1] = static_cast<uint8_t>(200 + data[4] % 5);
    out[2] = static_cast<uint8_t>((body / 4 + 1) >> 8);
    out[3] = static_cast<uint8_t>(body / 4 + 1);
    std::memcpy(out + 4, data, 4);
    std::memcpy(out + 8, data + 5, body);
    return 8 + body;
}

struct Record {
    uint8_t kind;
    const uint8_t* data;
    size_t size;
};

class Session {
public:
    Session(const Suite& suite, const std::string& key, size_t mki_bytes)
        : m_suite(suite), m_mki(mki_bytes > 0), m_sender(suite, mki_bytes), m_receiver(suite, key) {}

    void Play(const Record& record) {
        switch (record.kind % 4) {
        case 0:
            SendRTP(record, false);
            break;
        case 1:
            SendRTP(record, true);
            break;
        case 2:
            SendRTCP(record);
            break;
        default:
            m_receiver.Receive(record.data, record.size);
            break;
        }
    }

private:
    // The last byte of a broken packet's record says how it breaks: flip a tag byte, cut it, grow it.
    void SendRTP(const Record& record, bool broken) {
        alignas(4) uint8_t packet[KZSRTPStreams::kMaxPacketBytes + 128 + SRTP_MAX_TRAILER_LEN] = {};
        const size_t plain = build_rtp(record.data, record.size, packet, KZSRTPStreams::kMaxPacketBytes + 64);
        if (plain == 0) return;
        const std::vector<uint8_t> original(packet, packet + plain);
        const int sent = m_sender.Protect(packet, static_cast<int>(plain), false);
        if (sent <= 0) return;
        const uint16_t sequence = static_cast<uint16_t>(packet[2] << 8 | packet[3]);
        const uint32_t ssrc = static_cast<uint32_t>(packet[8]) << 24 |
                              static_cast<uint32_t>(packet[9]) << 16 |
                              static_cast<uint32_t>(packet[10]) << 8 | packet[11];
        StreamView& view = m_views[ssrc];
        const bool expected =
            !broken && must_accept(view, sequence) && sent <= KZSRTPStreams::kMaxPacketBytes;
        view.sent = std::max(view.sent, static_cast<int>(sequence));
        size_t length = static_cast<size_t>(sent);
        const uint8_t how = broken ? record.data[record.size - 1] : 0;
        const bool flipped = broken && how % 3 == 0;
        if (flipped)
            packet[sent - 1 - (how / 3) % 4] ^= static_cast<uint8_t>(1u << (how % 8));
        else if (broken && how % 3 == 1)
            length -= std::min(length, size_t{1} + how / 3);
        else if (broken)
            length += 1 + how / 3 % 32;
        const int decoded = m_receiver.Receive(packet, length);
        if (decoded > 0 && (flipped || length > static_cast<size_t>(KZSRTPStreams::kMaxPacketBytes)))
            __builtin_trap();
        if (expected && decoded <= 0) __builtin_trap();
        if (decoded > 0 && !broken &&
            (static_cast<size_t>(decoded) != plain ||
             std::memcmp(m_receiver.Decoded(), original.data(), plain) != 0))
            __builtin_trap();
        if (decoded > 0) view.accepted = std::max(view.accepted, static_cast<int>(sequence));
    }

    void SendRTCP(const Record& record) {
        alignas(4) uint8_t packet[KZSRTPStreams::kMaxPacketBytes + SRTP_MAX_TRAILER_LEN + 8] = {};
        const size_t plain = build_rtcp(record.data, record.size, packet, KZSRTPStreams::kMaxPacketBytes);
        if (plain == 0) return;
        const std::vector<uint8_t> original(packet, packet + plain);
        const int sent = m_sender.Protect(packet, static_cast<int>(plain), true);
        if (sent <= 0) return;
        m_receiver.Receive(packet, static_cast<size_t>(sent)); // on the RTP port by mistake
        // Each report carries a fresh index, so an intact one always decodes to what was sent,
        // and one with a flipped tag bit never does.
        std::vector<uint8_t> flipped(packet, packet + sent);
        flipped.back() ^= static_cast<uint8_t>(1u << (record.data[0] % 8));
        if (m_receiver.ReceiveRTCP(flipped.data(), flipped.size()) > 0) __builtin_trap();
        const int decoded = m_receiver.ReceiveRTCP(packet, static_cast<size_t>(sent));
        // libsrtp 2.5 looks for an SRTCP MKI where it would be with the SRTP tag's length, so
        // with an MKI only the suites whose tags agree come through.
        const bool fits = sent <= KZSRTPStreams::kMaxPacketBytes && plain <= KZAPIEX_MAX_RTCP_BYTES &&
                          (!m_mki || m_suite.set_rtcp_policy == m_suite.set_policy);
        if (fits && (decoded != static_cast<int>(plain) ||
                     std::memcmp(m_receiver.Decoded(), original.data(), plain) != 0))
            __builtin_trap();
    }

    const Suite& m_suite;
    const bool m_mki;
    Sender m_sender;
    Receiver m_receiver;
    std::map<uint32_t, StreamView> m_views;
};

std::string inline_key(const Suite& suite, size_t mki_bytes) {
    const std::array<uint8_t, SRTP_MAX_KEY_LEN> key = master_key();
    std::string text = base64(key.data(), suite.key_and_salt);
    if (mki_bytes > 0)
        text += "|2^31|" + std::to_string(kMKIValue & ((1ull << (8 * mki_bytes)) - 1)) + ":" +
                std::to_string(mki_bytes);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const Suite& suite = kSuites[data[0] & 7];
    const size_t mki_bytes = (data[0] & 8) ? 1 + (data[0] >> 4 & 3) : 0;
    (void)extension();
    Session session(suite, inline_key(suite, mki_bytes), mki_bytes);
    size_t at = 1;
    while (at + 3 <= size) {
        const uint8_t kind = data[at];
        const size_t length = static_cast<size_t>(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        const size_t take = std::min(length, size - at);
        if (take > 0 || kind % 4 == 3) session.Play({kind, data + at, take});
        at += take;
    }
    return 0;
}
