// The SRTP extension library, loaded as the server loads it: the known-answer packets of
// libsrtp's own validation (RFC 3711 AES-CM with HMAC-SHA1, 80- and 32-bit tags) unprotect to
// their reference plaintext, every suite carries packets across, and forged, replayed or
// wrongly keyed packets, unknown suites and bad keys are refused.
#include "host/KZBase64.h"
#include "host/KZRTPPacket.h"
#include "host/kzapiex/KZAPIEx.h"
#include "server/KZAPIExLibrary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// libsrtp's srtp_validate(): master key and salt, the RTP packet and its protected form.
const Bytes kKATKey = {0xe1, 0xf9, 0x7a, 0x0d, 0x3e, 0x01, 0x8b, 0xe0, 0xd6, 0x4f,
                       0xa3, 0x2c, 0x06, 0xde, 0x41, 0x39, 0x0e, 0xc6, 0x75, 0xad,
                       0x49, 0x8a, 0xfe, 0xeb, 0xb6, 0x96, 0x0b, 0x3a, 0xab, 0xe6};
const Bytes kKATPlain = {0x80, 0x0f, 0x12, 0x34, 0xde, 0xca, 0xfb, 0xad, 0xca, 0xfe, 0xba, 0xbe, 0xab, 0xab,
                         0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab, 0xab};
const Bytes kKATProtected80 = {0x80, 0x0f, 0x12, 0x34, 0xde, 0xca, 0xfb, 0xad, 0xca, 0xfe, 0xba, 0xbe, 0x4e,
                               0x55, 0xdc, 0x4c, 0xe7, 0x99, 0x78, 0xd8, 0x8c, 0xa4, 0xd2, 0x15, 0x94, 0x9d,
                               0x24, 0x02, 0xb7, 0x8d, 0x6a, 0xcc, 0x99, 0xea, 0x17, 0x9b, 0x8d, 0xbb};

std::string Base64(const Bytes& bytes) {
    char text[128];
    KZAPI::KZ_b64_encode(bytes.data(), bytes.size(), text, sizeof(text));
    return text;
}

Bytes Pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + 37 * i);
    return bytes;
}

class SRTPLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_library.LoadFrom(KZ_EXT_LIBRARY); }
    static void TearDownTestSuite() { s_library.Unload(); }
    void SetUp() override { ASSERT_TRUE(s_library.IsAvailable()) << KZ_EXT_LIBRARY; }
    void TearDown() override {
        for (void* c : m_decoders)
            s_library.free_decoder(c);
        for (void* c : m_encoders)
            s_library.free_encoder(c);
    }

    // A context that is freed after the test (ssrc < 0: a decoder).
    void* Context(const std::string& key, const char* suite, int64_t ssrc = -1) {
        int error = -1;
        char text[KZAPIEX_ERROR_TEXT_SIZE] = "";
        void* c = ssrc < 0 ? s_library.create_decoder(key.c_str(), suite, &error, text)
                           : s_library.create_encoder(key.c_str(), suite, static_cast<uint32_t>(ssrc), &error,
                                                      text);
        EXPECT_NE(c, nullptr) << suite << ": " << error << " " << text;
        if (c) (ssrc < 0 ? m_decoders : m_encoders).push_back(c);
        return c;
    }
    void* Decoder(const std::string& key, const char* suite) { return Context(key, suite); }
    void* Encoder(const std::string& key, const char* suite, uint32_t ssrc) {
        return Context(key, suite, ssrc);
    }
    Bytes Protect(void* encoder, const Bytes& payload, int payload_type, bool marker, uint32_t increment) {
        Bytes out(payload.size() + KZAPIEX_PROTECT_OVERHEAD);
        const int n = s_library.protect(encoder, payload_type, payload.data(),
                                        static_cast<int>(payload.size()), marker, increment, out.data());
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }
    // The unprotected packet, empty when refused.
    Bytes Unprotect(void* decoder, const Bytes& packet) {
        Bytes out(packet.size());
        const int n =
            s_library.unprotect(decoder, packet.data(), static_cast<int>(packet.size()), out.data());
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }

    static inline KZAPIExLibrary s_library;
    std::vector<void*> m_decoders, m_encoders;
};

} // namespace

TEST_F(SRTPLibrary, KnownAnswerPacketsUnprotectToTheReferencePlaintext) {
    struct Case {
        const char* suite;
        Bytes packet;
    };
    // The 32-bit tag is the first four bytes of the 80-bit one.
    const Case cases[] = {
        {"AES_CM_128_HMAC_SHA1_80", kKATProtected80},
        {"AES_CM_128_HMAC_SHA1_32", Bytes(kKATProtected80.begin(), kKATProtected80.end() - 6)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.suite);
        void* decoder = Decoder(Base64(kKATKey), c.suite);
        EXPECT_EQ(Unprotect(decoder, c.packet), kKATPlain);
    }
}

TEST_F(SRTPLibrary, EverySuiteCarriesPacketsWithTheHeaderItBuilds) {
    struct Case {
        const char* suite;
        size_t key_bytes; // master key + salt as announced
        size_t tag_bytes;
    };
    // The exact lengths of each suite, and this side's 30-byte key kept under a suite it adopted.
    const Case cases[] = {
        {"AES_CM_128_HMAC_SHA1_32", 30, 4},  {"AES_CM_128_HMAC_SHA1_80", 30, 10},
        {"AES_192_CM_HMAC_SHA1_32", 38, 4},  {"AES_192_CM_HMAC_SHA1_80", 38, 10},
        {"AES_256_CM_HMAC_SHA1_32", 46, 4},  {"AES_256_CM_HMAC_SHA1_80", 46, 10},
        {"AEAD_AES_128_GCM", 28, 16},        {"AEAD_AES_256_GCM", 44, 16},
        {"AES_256_CM_HMAC_SHA1_80", 30, 10}, {"AEAD_AES_256_GCM", 30, 16},
        {"AEAD_AES_128_GCM", 30, 16},
    };
    const uint32_t ssrc = 0x1234abcd;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.suite) + " key " + std::to_string(c.key_bytes));
        const std::string key = Base64(Pattern(c.key_bytes, 7));
        void* encoder = Encoder(key, c.suite, ssrc);
        void* decoder = Decoder(key, c.suite);
        KZAPI::KZRTPPacket first;
        Bytes first_plain;
        for (int i = 0; i < 3; ++i) {
            const Bytes payload = Pattern(160, static_cast<uint8_t>(i));
            const Bytes wire = Protect(encoder, payload, 8, i == 0, 160);
            ASSERT_EQ(wire.size(), KZAPIEX_RTP_HEADER_BYTES + payload.size() + c.tag_bytes);
            EXPECT_NE(Bytes(wire.begin() + KZAPIEX_RTP_HEADER_BYTES, wire.begin() + 12 + 160), payload);
            const Bytes plain = Unprotect(decoder, wire);
            KZAPI::KZRTPPacket rtp;
            ASSERT_TRUE(rtp.Parse(plain.data(), static_cast<int>(plain.size())));
            EXPECT_EQ(Bytes(rtp.GetPayloadData(), rtp.GetPayloadData() + rtp.GetPayloadLength()), payload);
            EXPECT_EQ(rtp.GetPayloadType(), 8);
            EXPECT_EQ(rtp.GetMarker(), i == 0);
            EXPECT_EQ(rtp.GetSSRC(), ssrc);
            if (i == 0) {
                first_plain = plain;
                first.Parse(first_plain.data(), static_cast<int>(first_plain.size()));
            } else {
                EXPECT_EQ(rtp.GetSequenceNumber(), static_cast<uint16_t>(first.GetSequenceNumber() + i));
                EXPECT_EQ(rtp.GetTimestamp(), first.GetTimestamp() + 160u * i);
            }
        }
    }
}

TEST_F(SRTPLibrary, ForgedReplayedAndWronglyKeyedPacketsAreRefused) {
    const std::string key = Base64(Pattern(30, 1));
    for (const char* suite : {"AES_CM_128_HMAC_SHA1_80", "AEAD_AES_128_GCM"}) {
        SCOPED_TRACE(suite);
        void* encoder = Encoder(key, suite, 42);
        void* decoder = Decoder(key, suite);
        void* stranger = Decoder(Base64(Pattern(30, 2)), suite);
        const Bytes wire = Protect(encoder, Pattern(80, 3), 0, false, 160);
        Bytes tag_flipped = wire, payload_flipped = wire;
        tag_flipped.back() ^= 0x01;
        payload_flipped[20] ^= 0x80;
        EXPECT_TRUE(Unprotect(decoder, tag_flipped).empty());
        EXPECT_TRUE(Unprotect(decoder, payload_flipped).empty());
        EXPECT_TRUE(Unprotect(stranger, wire).empty());
        EXPECT_FALSE(Unprotect(decoder, wire).empty());
        EXPECT_TRUE(Unprotect(decoder, wire).empty()) << "a replay";
    }
}

// RTCP goes as SRTCP: the report after its first 8 bytes is encrypted, followed by the E flag
// and index and the tag; a forged tag, a replay and a report from another SSRC are refused.
TEST_F(SRTPLibrary, ReportsTravelAsSRTCP) {
    const std::string key = Base64(Pattern(30, 4));
    for (const auto& [suite, tag_bytes] : {std::pair{"AES_CM_128_HMAC_SHA1_32", 10u}, // SRTCP keeps 80 bits
                                           std::pair{"AEAD_AES_128_GCM", 16u}}) {
        SCOPED_TRACE(suite);
        void* encoder = Encoder(key, suite, 0x2a);
        void* decoder = Decoder(key, suite);
        Bytes report = {0x81, 201, 0, 7, 0, 0, 0, 0x2a}; // a receiver report from SSRC 0x2a
        const Bytes block = Pattern(24, 5);
        report.insert(report.end(), block.begin(), block.end());
        Bytes wire(report.size() + KZAPIEX_SRTCP_OVERHEAD);
        const int length =
            s_library.protect_rtcp(encoder, report.data(), static_cast<int>(report.size()), wire.data());
        ASSERT_EQ(length, static_cast<int>(report.size() + 4 + tag_bytes));
        wire.resize(static_cast<size_t>(length));
        EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 8), Bytes(report.begin(), report.begin() + 8));
        EXPECT_NE(Bytes(wire.begin() + 8, wire.begin() + 32), block);

        Bytes forged = wire;
        forged.back() ^= 0x01;
        Bytes out(wire.size());
        EXPECT_LT(
            s_library.unprotect_rtcp(decoder, forged.data(), static_cast<int>(forged.size()), out.data()), 0);
        ASSERT_EQ(s_library.unprotect_rtcp(decoder, wire.data(), static_cast<int>(wire.size()), out.data()),
                  static_cast<int>(report.size()));
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(report.size())), report);
        EXPECT_LT(s_library.unprotect_rtcp(decoder, wire.data(), static_cast<int>(wire.size()), out.data()),
                  0)
            << "a replay";
        report[7] = 0x2b;
        EXPECT_LT(
            s_library.protect_rtcp(encoder, report.data(), static_cast<int>(report.size()), wire.data()), 0);
    }
}

TEST_F(SRTPLibrary, AKeyWithLifetimeAndMKICarriesTheMKIOnTheWire) {
    const std::string key = Base64(Pattern(30, 9)) + "|2^20|7:4";
    void* encoder = Encoder(key, "AES_CM_128_HMAC_SHA1_80", 5);
    void* decoder = Decoder(key, "AES_CM_128_HMAC_SHA1_80");
    const Bytes wire = Protect(encoder, Pattern(20, 0), 0, false, 160);
    ASSERT_EQ(wire.size(), 12u + 20 + 4 + 10);
    EXPECT_EQ(Bytes(wire.begin() + 32, wire.begin() + 36), (Bytes{0, 0, 0, 7}));
    EXPECT_EQ(Unprotect(decoder, wire).size(), 32u);
}

TEST_F(SRTPLibrary, CreationFailuresSayWhy) {
    struct Case {
        const char* key;
        const char* suite;
        int error;
    };
    const std::string good = Base64(Pattern(30, 4));
    const std::string short_key = Base64(Pattern(15, 4));
    const std::string bad_mki = good + "|1:99";
    const Case cases[] = {
        {good.c_str(), "F8_128_HMAC_SHA1_80", KZAPIEX_ERR_UNKNOWN_SUITE},
        {good.c_str(), nullptr, KZAPIEX_ERR_UNKNOWN_SUITE},
        {"", "AES_CM_128_HMAC_SHA1_80", KZAPIEX_ERR_BAD_KEY},
        {nullptr, "AES_CM_128_HMAC_SHA1_80", KZAPIEX_ERR_BAD_KEY},
        {"not*base64!", "AES_CM_128_HMAC_SHA1_80", KZAPIEX_ERR_BAD_KEY},
        {short_key.c_str(), "AES_CM_128_HMAC_SHA1_80", KZAPIEX_ERR_BAD_KEY},
        {bad_mki.c_str(), "AES_CM_128_HMAC_SHA1_80", KZAPIEX_ERR_BAD_KEY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key ? c.key : "(null)") + " / " + (c.suite ? c.suite : "(null)"));
        for (bool encoder : {false, true}) {
            int error = 0;
            char text[KZAPIEX_ERROR_TEXT_SIZE] = "";
            void* context = encoder ? s_library.create_encoder(c.key, c.suite, 1, &error, text)
                                    : s_library.create_decoder(c.key, c.suite, &error, text);
            EXPECT_EQ(context, nullptr);
            EXPECT_EQ(error, c.error);
            EXPECT_NE(text[0], '\0');
        }
    }
}
