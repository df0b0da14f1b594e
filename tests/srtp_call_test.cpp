// SRTP on a live call: a server on loopback with SRTP required answers a raw UDP peer that
// offers a crypto suite and key. The peer protects and unprotects with libsrtp directly, so the
// module's packets are checked against an SRTP implementation of its own: the call's tones come
// out of the peer's decryption, the peer's tones are heard by the call's digit detection, and a
// packet that fails to unprotect is taken as it came.
#include "host/CKZCfgInterface.h"
#include "host/KZBase64.h"
#include "host/KZRTPPacket.h"
#include "support/callcontrol_answering.h"
#include "support/log_capture.h"

#include <srtp2/srtp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using KZAPI::CKZCfgInterface;

namespace {

// The peer's key: 30 bytes (master key and salt) made from a seed, as base64.
std::string test_key_text(uint8_t seed) {
    uint8_t key[30];
    for (size_t i = 0; i < sizeof(key); ++i)
        key[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    char text[64];
    KZAPI::KZ_b64_encode(key, sizeof(key), text, sizeof(text));
    return text;
}

std::vector<uint8_t> key_bytes(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int pending = 0;
    for (size_t i = 0; i < text.size() && alphabet.find(text[i]) != std::string::npos; ++i) {
        bits = bits << 6 | static_cast<uint32_t>(alphabet.find(text[i]));
        if ((pending += 6) >= 8) out.push_back(static_cast<uint8_t>(bits >> (pending -= 8)));
    }
    return out;
}

// One libsrtp session of the peer.
class PeerSRTP {
public:
    PeerSRTP(const char* suite, const std::string& key_text, bool inbound, uint32_t ssrc = 0)
        : m_key(key_bytes(key_text)) {
        srtp_init();
        srtp_policy_t policy{};
        if (std::strcmp(suite, "AES_CM_128_HMAC_SHA1_32") == 0)
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy.rtp);
        else
            srtp_crypto_policy_set_rtp_default(&policy.rtp);
        srtp_crypto_policy_set_rtcp_default(&policy.rtcp);
        policy.ssrc.type = inbound ? ssrc_any_inbound : ssrc_specific;
        policy.ssrc.value = ssrc;
        policy.key = m_key.data();
        policy.window_size = 128;
        EXPECT_EQ(srtp_create(&m_session, &policy), srtp_err_status_ok);
    }
    ~PeerSRTP() { srtp_dealloc(m_session); }
    std::string Protect(const std::string& rtp) {
        std::string buffer = rtp + std::string(SRTP_MAX_TRAILER_LEN, '\0');
        int length = static_cast<int>(rtp.size());
        EXPECT_EQ(srtp_protect(m_session, buffer.data(), &length), srtp_err_status_ok);
        return buffer.substr(0, static_cast<size_t>(length));
    }
    // Empty when the packet does not unprotect.
    std::string Unprotect(std::string srtp) {
        int length = static_cast<int>(srtp.size());
        if (srtp_unprotect(m_session, srtp.data(), &length) != srtp_err_status_ok) return "";
        return srtp.substr(0, static_cast<size_t>(length));
    }

private:
    std::vector<uint8_t> m_key;
    srtp_t m_session = nullptr;
};

std::string payload_of(const std::string& packet) {
    KZAPI::KZRTPPacket p;
    if (!p.Parse(packet.data(), static_cast<int>(packet.size()))) return "";
    return std::string(reinterpret_cast<const char*>(p.GetPayloadData()), p.GetPayloadLength());
}

class SRTPCallTest : public kztest::AnsweringSuite {
protected:
    static void SetUpTestSuite() {
        StartAnswering(1, "kzsrv.srtp.type", "2");
        ASSERT_TRUE(s_calls->server().GetExtensionLibrary().IsAvailable())
            << "libKZAPIEx.so beside the test's run path";
    }
    void TearDown() override { Hangup(m_peer); }

    // The peer offers suite with its key; returns the crypto line of the call's answer. Digits go
    // out by the automatic method: without telephone events offered, as tones.
    std::string Connect(const char* suite) {
        Call().SetDTMFMethod(3);
        s_sink.Take();
        const std::string ok =
            Dial(m_peer,
                 std::string("m=audio %d RTP/SAVP 0\r\na=rtpmap:0 PCMU/8000\r\na=crypto:1 ") + suite +
                     " inline:" + m_key + "\r\n",
                 "srtp");
        const size_t crypto = ok.find("a=crypto:");
        return crypto == std::string::npos ? "" : ok.substr(crypto, ok.find("\r\n", crypto) - crypto);
    }
    // 240 ms of a key's tones and 200 ms of silence, paced as a phone sends them, protected by
    // srtp or (null) plain.
    void SendTones(char key, PeerSRTP* srtp) {
        for (int i = 0; i < 22; ++i) {
            const std::string audio = kztest::dtmf_ulaw_frame(i < 12 ? key : '\0', i);
            const std::string packet = kztest::rtp_packet(0, false, m_sequence++, m_timestamp += 160, audio);
            m_peer.SendRTP(srtp ? srtp->Protect(packet) : packet);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    kztest::CallingPeer m_peer{s_port};
    std::string m_key = test_key_text(static_cast<uint8_t>(s_call_count + 3));
    uint16_t m_sequence = 1000;
    uint32_t m_timestamp = 8000;
};

} // namespace

TEST_F(SRTPCallTest, TonesCrossBothWaysOnlyAsSRTP) {
    struct Case {
        const char* suite;
        size_t tag_bytes;
    };
    std::string previous_key;
    for (const Case& c : {Case{"AES_CM_128_HMAC_SHA1_80", 10}, Case{"AES_CM_128_HMAC_SHA1_32", 4}}) {
        SCOPED_TRACE(c.suite);
        const std::string crypto = Connect(c.suite);
        // "a=crypto:1 <suite> inline:<40 base64 characters>", a new key for every call.
        const std::string prefix = std::string("a=crypto:1 ") + c.suite + " inline:";
        ASSERT_EQ(crypto.rfind(prefix, 0), 0u) << crypto;
        const std::string call_key = crypto.substr(prefix.size());
        EXPECT_EQ(call_key.size(), 40u);
        EXPECT_EQ(key_bytes(call_key).size(), 30u);
        EXPECT_NE(call_key, previous_key);
        previous_key = call_key;

        PeerSRTP from_call(c.suite, call_key, true);
        PeerSRTP to_call(c.suite, m_key, false, 0x5eed);
        m_peer.Capture(60);
        ASSERT_EQ(Dtmf().PlayDTMFString("5"), 1u);
        std::vector<std::string> wire_payloads, plain_payloads;
        for (const std::string& packet : m_peer.Capture(600)) {
            const std::string plain = from_call.Unprotect(packet);
            ASSERT_FALSE(plain.empty()) << "every packet of the call is SRTP under its announced key";
            EXPECT_EQ(packet.size(), plain.size() + c.tag_bytes);
            wire_payloads.push_back(payload_of(packet).substr(0, 160));
            plain_payloads.push_back(payload_of(plain));
            EXPECT_NE(wire_payloads.back(), plain_payloads.back());
        }
        EXPECT_NE(kztest::inband_keys(plain_payloads).find('5'), std::string::npos)
            << kztest::inband_keys(plain_payloads);
        EXPECT_EQ(kztest::inband_keys(wire_payloads).find('5'), std::string::npos);

        SendTones('9', &to_call);
        EXPECT_EQ(s_sink.Until('9').back().method, "inband");
        Hangup(m_peer);
    }
}

TEST_F(SRTPCallTest, APacketThatDoesNotUnprotectIsTakenAsItCame) {
    Connect("AES_CM_128_HMAC_SHA1_80");
    kztest::LogCapture log;
    SendTones('7', nullptr);
    EXPECT_EQ(s_sink.Until('7').back().method, "inband");
    EXPECT_TRUE(log.Contains("CKZSIPAPICC::DecodeSRTP original len:172, decoded len:", 1));
}
