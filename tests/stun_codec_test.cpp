// The STUN message codec against the published RFC 5769 vectors (which also check the host's
// HMAC-SHA1 and CRC-32 underneath), its refusals of malformed messages, encoding round trips,
// the client's requests and server names.
#include "host/CKZLogInterface.h"
#include "nat/CKZStunClient.h"
#include "nat/CKZStunMessage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The bytes written as hex digit pairs; spaces between them are ignored.
Bytes Hex(std::string digits) {
    std::erase(digits, ' ');
    Bytes out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// RFC 5769 section 2.1: sample request (SOFTWARE, PRIORITY, ICE-CONTROLLED, USERNAME,
// MESSAGE-INTEGRITY, FINGERPRINT).
const Bytes kSampleRequest = Hex("00 01 00 58 21 12 a4 42 b7 e7 a7 01 bc 34 d6 86 fa 87 df ae"
                                 "80 22 00 10 53 54 55 4e 20 74 65 73 74 20 63 6c 69 65 6e 74"
                                 "00 24 00 04 6e 00 01 ff"
                                 "80 29 00 08 93 2f f9 b1 51 26 3b 36"
                                 "00 06 00 09 65 76 74 6a 3a 68 36 76 59 20 20 20"
                                 "00 08 00 14 9a ea a7 0c bf d8 cb 56 78 1e f2 b5 b2 d3 f2 49 c1 b5 71 a2"
                                 "80 28 00 04 e5 7a 3b cf");
// Section 2.2: sample IPv4 response (SOFTWARE, XOR-MAPPED-ADDRESS, MESSAGE-INTEGRITY, FINGERPRINT).
const Bytes kSampleResponse = Hex("01 01 00 3c 21 12 a4 42 b7 e7 a7 01 bc 34 d6 86 fa 87 df ae"
                                  "80 22 00 0b 74 65 73 74 20 76 65 63 74 6f 72 20"
                                  "00 20 00 08 00 01 a1 47 e1 12 a6 43"
                                  "00 08 00 14 2b 91 f5 99 fd 9e 90 c3 8c 74 89 f9 2a f9 ba 53 f0 6b e7 d7"
                                  "80 28 00 04 c0 7d 4c 96");
const char kShortTermPassword[] = "VOkJxbRl1RmTxUk/WvJxBt";

bool CheckIntegrity(const Bytes& m, const char* key) {
    return CKZStunMessage::CheckIntegrity(m.data(), m.size(), key, strlen(key));
}

std::vector<uint16_t> AttributeTypes(const Bytes& m) {
    std::vector<uint16_t> types;
    size_t offset = KZ_STUN_HEADER_SIZE;
    uint16_t type = 0, len = 0;
    const uint8_t* value = nullptr;
    while (CKZStunMessage::NextAttribute(m.data(), m.size(), offset, type, value, len))
        types.push_back(type);
    return types;
}

// A message from raw attributes; the header length is right unless told otherwise.
Bytes Message(uint16_t type, std::initializer_list<Bytes> attributes, int header_len = -1) {
    Bytes m = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 0};
    for (int i = 0; i < 16; ++i)
        m.push_back(static_cast<uint8_t>(0xA0 + i));
    for (const auto& a : attributes)
        m.insert(m.end(), a.begin(), a.end());
    const size_t len = header_len >= 0 ? static_cast<size_t>(header_len) : m.size() - KZ_STUN_HEADER_SIZE;
    m[2] = static_cast<uint8_t>(len >> 8);
    m[3] = static_cast<uint8_t>(len);
    return m;
}

Bytes Attr(uint16_t type, const Bytes& value, int claimed_len = -1) {
    const size_t len = claimed_len >= 0 ? static_cast<size_t>(claimed_len) : value.size();
    Bytes a = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(len >> 8),
               static_cast<uint8_t>(len)};
    a.insert(a.end(), value.begin(), value.end());
    return a;
}

const Bytes kAddress = Hex("00 01 0d 96 c0 00 02 01"); // 192.0.2.1:3478

std::string ParseError(const Bytes& m) {
    CKZStunMessage msg;
    EXPECT_FALSE(msg.Parse(m.data(), m.size()));
    return msg.GetParseError();
}

class StunCodec : public ::testing::Test {
protected:
    void SetUp() override { KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_ERROR); }
};

} // namespace

TEST_F(StunCodec, Rfc5769SamplesCarryValidIntegrityAndFingerprintThatAnyChangeBreaks) {
    for (const Bytes& sample : {kSampleRequest, kSampleResponse}) {
        EXPECT_TRUE(CheckIntegrity(sample, kShortTermPassword));
        EXPECT_FALSE(CheckIntegrity(sample, "VOkJxbRl1RmTxUk/WvJxBr"));
        EXPECT_TRUE(CKZStunMessage::CheckFingerprint(sample.data(), sample.size()));
        Bytes changed = sample;
        changed[30] ^= 0x01; // inside SOFTWARE
        EXPECT_FALSE(CheckIntegrity(changed, kShortTermPassword));
        EXPECT_FALSE(CKZStunMessage::CheckFingerprint(changed.data(), changed.size()));
    }
    // PRIORITY (0x0024) is an ICE attribute a classic codec does not know, and it is in the range
    // that must be understood: the request is refused there, after the SOFTWARE text was read.
    EXPECT_EQ(AttributeTypes(kSampleRequest),
              (std::vector<uint16_t>{0x8022, 0x0024, 0x8029, 0x0006, 0x0008, 0x8028}));
    CKZStunMessage msg;
    EXPECT_FALSE(msg.Parse(kSampleRequest.data(), kSampleRequest.size()));
    EXPECT_STREQ(msg.GetParseError(), "Unknown attribute: 0x0024");
    EXPECT_EQ(0, memcmp(msg.id, kSampleRequest.data() + 4, 16));
    EXPECT_STREQ(msg.server_name.value, "STUN test client");
    // Every attribute of the response is known or optional, so the whole message parses.
    ASSERT_TRUE(msg.Parse(kSampleResponse.data(), kSampleResponse.size())) << msg.GetParseError();
    EXPECT_EQ(msg.msg_type, KZ_STUN_BINDING_RESPONSE);
    EXPECT_EQ(msg.xor_mapped_address, (KZStunAddress4{32853, 0xC0000201})); // 192.0.2.1:32853
    EXPECT_STREQ(msg.server_name.value, "test vector");
    EXPECT_EQ(0, memcmp(msg.message_integrity, kSampleResponse.data() + 52, 20));
    EXPECT_FALSE(msg.has_mapped_address);
}

TEST_F(StunCodec, RefusesMalformedFramingAndEveryMalformedKnownAttribute) {
    const Bytes change = Attr(KZ_STUN_ATTR_CHANGE_REQUEST, Hex("00 00 00 04"));
    const std::string length_mismatch = "Message header length doesn't match message size: ";
    const std::string too_long = "claims attribute is larger than size of message ";
    // Placed after a valid attribute, so the refusal is not an accident of position.
    const auto after_valid = [](uint16_t type, const Bytes& value) {
        return Message(KZ_STUN_BINDING_RESPONSE,
                       {Attr(KZ_STUN_ATTR_MAPPED_ADDRESS, kAddress), Attr(type, value)});
    };
    // clang-format off
    const std::pair<Bytes, std::string> refusals[] = {
        {Bytes(19, 0), "Bad message"},
        {Message(KZ_STUN_BINDING_REQUEST, {change}, 0), length_mismatch},
        {Message(KZ_STUN_BINDING_REQUEST, {change}, 4), length_mismatch},
        {Message(KZ_STUN_BINDING_REQUEST, {change}, 200), length_mismatch},
        {Message(KZ_STUN_BINDING_REQUEST, {Attr(KZ_STUN_ATTR_CHANGE_REQUEST, Hex("00 00 00 04"), 8)}), too_long},
        {Message(KZ_STUN_BINDING_REQUEST, {change, Hex("00 01")}), too_long},
        {after_valid(0x0030, Hex("00 00 00 00")), "Unknown attribute: 0x0030"},
        {after_valid(0x7FFF, Hex("")), "Unknown attribute: 0x7fff"},
    };
    // clang-format on
    for (const auto& [message, error] : refusals)
        EXPECT_EQ(ParseError(message).rfind(error, 0), 0u) << ParseError(message);

    struct Case {
        uint16_t type;
        Bytes value;
        const char* error; // after "problem parsing "
    };
    // clang-format off
    const Case attributes[] = {
        {KZ_STUN_ATTR_MAPPED_ADDRESS, Hex("00 01 0d 96"), "MappedAddress"},
        {KZ_STUN_ATTR_MAPPED_ADDRESS, Hex("00 02 0d 96 c0 00 02 01"), "MappedAddress"},
        {KZ_STUN_ATTR_RESPONSE_ADDRESS, Hex("00 01 0d 96 c0 00 02 01 00 00 00 00"), "ResponseAddress"},
        {KZ_STUN_ATTR_CHANGE_REQUEST, Hex("00 00 00 00 00 00 00 04"), "ChangeRequest"},
        {KZ_STUN_ATTR_SOURCE_ADDRESS, Hex(""), "SourceAddress"},
        {KZ_STUN_ATTR_CHANGED_ADDRESS, Hex("00 00 0d 96 c0 00 02 01"), "ChangedAddress"},
        {KZ_STUN_ATTR_USERNAME, Hex("61 62 63 64 65"), "Username"},
        {KZ_STUN_ATTR_USERNAME, Bytes(256, 'a'), "Username"},
        {KZ_STUN_ATTR_PASSWORD, Hex("61 62"), "Password"},
        {KZ_STUN_ATTR_MESSAGE_INTEGRITY, Bytes(16, 1), "MessageIntegrity"},
        {KZ_STUN_ATTR_ERROR_CODE, Hex("00 00"), "ErrorCode"},
        {KZ_STUN_ATTR_ERROR_CODE, Bytes(4 + 256, 'x'), "ErrorCode"},
        {KZ_STUN_ATTR_UNKNOWN_ATTRIBUTES, Hex("00 30 00"), "UnknownAttribute"},
        {KZ_STUN_ATTR_UNKNOWN_ATTRIBUTES, Bytes(18, 0), "UnknownAttribute"},
        {KZ_STUN_ATTR_REFLECTED_FROM, Hex("00 01 0d 96 c0 00"), "ReflectedFrom"},
        {KZ_STUN_ATTR_XOR_ONLY, Hex("00 00 00 00"), "XorOnly"},
        {KZ_STUN_ATTR_XOR_MAPPED_ADDRESS, Hex("00 02 0d 96 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01"), "XorMappedAddress"},
        {KZ_STUN_ATTR_XOR_MAPPED_ADDRESS_5389, Hex("00 01 0d 96"), "XorMappedAddress"},
        {KZ_STUN_ATTR_SERVER_NAME, Bytes(256, 's'), "ServerName"},
        {KZ_STUN_ATTR_SECONDARY_ADDRESS, Hex("00 03 0d 96 c0 00 02 01"), "SecondaryAddress"},
    };
    // clang-format on
    for (const Case& c : attributes) {
        const std::string error = ParseError(after_valid(c.type, c.value));
        EXPECT_EQ(error.rfind(std::string("problem parsing ") + c.error, 0), 0u) << error;
    }
}

TEST_F(StunCodec, SkipsUnknownOptionalAttributesAndKeepsReading) {
    const Bytes m = Message(KZ_STUN_BINDING_RESPONSE,
                            {Attr(0x8029, Hex("01 02 03")), // padded to 4
                             Hex("00"), Attr(KZ_STUN_ATTR_MAPPED_ADDRESS, kAddress), Attr(0xFFFF, Hex(""))});
    CKZStunMessage msg;
    ASSERT_TRUE(msg.Parse(m.data(), m.size())) << msg.GetParseError();
    ASSERT_TRUE(msg.has_mapped_address);
    EXPECT_EQ(msg.mapped_address, (KZStunAddress4{3478, 0xC0000201}));

    // A classic server's unpadded error reason as the last attribute is read whole.
    const Bytes error =
        Message(KZ_STUN_BINDING_ERROR_RESPONSE, {Attr(KZ_STUN_ATTR_ERROR_CODE, Hex("00 00 04 20 42 61 64"))});
    ASSERT_TRUE(msg.Parse(error.data(), error.size())) << msg.GetParseError();
    EXPECT_EQ(msg.error_code.Code(), 432u);
    EXPECT_STREQ(msg.error_code.reason.value, "Bad");
}

TEST_F(StunCodec, EveryAttributeSurvivesEncodeAndParse) {
    CKZStunMessage out;
    out.msg_type = KZ_STUN_BINDING_RESPONSE;
    for (int i = 0; i < 16; ++i)
        out.id[i] = static_cast<uint8_t>(0x11 * i + 3);
    out.has_mapped_address = out.has_response_address = out.has_change_request = out.has_source_address =
        out.has_changed_address = out.has_username = out.has_password = out.has_unknown_attributes =
            out.has_reflected_from = out.has_xor_only = out.has_xor_mapped_address = out.has_server_name =
                out.has_secondary_address = true;
    out.mapped_address = out.xor_mapped_address = {40000, 0x0A000001};
    out.response_address = {40001, 0x0A000002};
    out.change_request = KZ_STUN_CHANGE_IP | KZ_STUN_CHANGE_PORT;
    out.source_address = {3478, 0x7F000001};
    out.changed_address = {3479, 0x7F000002};
    out.reflected_from = {5060, 0xC0A80001};
    out.secondary_address = {3478, 0x7F000003};
    out.username.Set("user1234");
    out.password.Set("\x00\x01\x02\x03", 4);
    out.SetErrorCode(420, "Unknown attribute");
    out.unknown_attributes = {{0x0024, 0x0025, 0x0026}, 3};
    out.server_name.Set("odd-length name");

    uint8_t buf[KZ_STUN_MAX_MESSAGE];
    const size_t len = out.Encode(buf, sizeof(buf), "secret", 6, true);
    ASSERT_GT(len, 0u);
    EXPECT_TRUE(CKZStunMessage::CheckIntegrity(buf, len, "secret", 6));
    EXPECT_FALSE(CKZStunMessage::CheckIntegrity(buf, len, "Secret", 6));
    EXPECT_TRUE(CKZStunMessage::CheckFingerprint(buf, len));

    CKZStunMessage in;
    ASSERT_TRUE(in.Parse(buf, len)) << in.GetParseError();
    EXPECT_STREQ(in.error_code.reason.value, "Unknown attribute   "); // spaces to a word boundary
    // Encoding the parsed record again gives the same bytes: nothing was lost or altered.
    uint8_t again[KZ_STUN_MAX_MESSAGE];
    ASSERT_EQ(in.Encode(again, sizeof(again), "secret", 6, true), len);
    EXPECT_EQ(0, memcmp(buf, again, len));

    // On the wire XOR-MAPPED-ADDRESS is obfuscated with the leading transaction id bytes.
    size_t offset = KZ_STUN_HEADER_SIZE;
    uint16_t type = 0, vlen = 0;
    const uint8_t* value = nullptr;
    while (CKZStunMessage::NextAttribute(buf, len, offset, type, value, vlen) &&
           type != KZ_STUN_ATTR_XOR_MAPPED_ADDRESS) {
    }
    ASSERT_EQ(type, KZ_STUN_ATTR_XOR_MAPPED_ADDRESS);
    EXPECT_EQ((value[2] << 8 | value[3]), 40000 ^ (out.id[0] << 8 | out.id[1]));
    EXPECT_EQ(value[7], 0x01 ^ out.id[3]);

    // Every buffer that is too small is refused rather than overrun.
    for (size_t size = 0; size < len; ++size) {
        std::vector<uint8_t> small(size + 1, 0xEE);
        ASSERT_EQ(out.Encode(small.data(), size, "secret", 6, true), 0u) << size;
        EXPECT_EQ(small[size], 0xEE) << size;
    }
}

// Which flag each change asks for is seen on loopback, where the server answers accordingly.
TEST_F(StunCodec, ClientRequestsAreHeaderAndChangeRequestWithTheTestNumberFirst) {
    CKZStunMessage a, b;
    CKZStunClient::BuildRequest(a, CKZStunClient::TEST_III, false, true);
    uint8_t buf[64];
    ASSERT_EQ(a.Encode(buf, sizeof(buf)), 28u); // as classic clients send
    EXPECT_EQ(buf[4], CKZStunClient::TEST_III);
    EXPECT_FALSE(a.has_username);
    CKZStunClient::BuildRequest(b, CKZStunClient::TEST_III, false, true, "abcd");
    EXPECT_NE(0, memcmp(a.id + 1, b.id + 1, 15)); // random transaction ids
    EXPECT_STREQ(b.username.value, "abcd");
}

TEST_F(StunCodec, ServerNames) {
    const std::pair<const char*, KZStunAddress4> good[] = {{"192.0.2.10", {3478, 0xC000020A}},
                                                           {"192.0.2.10:5000", {5000, 0xC000020A}},
                                                           {"localhost:3479", {3479, 0x7F000001}}};
    KZStunAddress4 a;
    for (const auto& [name, address] : good) {
        ASSERT_TRUE(CKZStunClient::ParseServerName(name, a)) << name;
        EXPECT_EQ(a, address);
    }
    const std::string too_long(300, 'a');
    for (const char* bad : {"", ":3478", "192.0.2.10:", "192.0.2.10:0", "192.0.2.10:65536", "192.0.2.10:34x",
                            "no-such-host.invalid", static_cast<const char*>(nullptr), too_long.c_str()}) {
        EXPECT_FALSE(CKZStunClient::ParseServerName(bad, a)) << (bad ? bad : "(null)");
        EXPECT_EQ(a.port, 65535);
    }
}
