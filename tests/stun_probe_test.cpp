// The NAT classification as a function of the probes' answers: how answers are taken in, which
// requests a silent cycle sends, and the classification of every combination of answers.
#include "nat/CKZStunClient.h"
#include "nat/KZNatProbe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint16_t kLocalPort = 20000;
constexpr KZStunAddress4 kServer{3478, 0xC0000201};  // 192.0.2.1
constexpr KZStunAddress4 kChanged{3479, 0xC0000202}; // 192.0.2.2
constexpr KZStunAddress4 kMapped{kLocalPort, 0xCB007101};
constexpr KZStunAddress4 kOtherMapping{kLocalPort + 7, 0xCB007101};

CKZStunMessage Answer(int test, KZStunAddress4 mapped = kMapped, uint16_t type = KZ_STUN_BINDING_RESPONSE) {
    CKZStunMessage m;
    m.msg_type = type;
    m.id[0] = static_cast<uint8_t>(test);
    m.has_mapped_address = true;
    m.mapped_address = mapped;
    m.has_changed_address = true;
    m.changed_address = kChanged;
    return m;
}

KZNatProbeResults Probe(const std::vector<CKZStunMessage>& answers) {
    KZNatProbeResults r;
    r.local_port = kLocalPort;
    for (const auto& a : answers)
        KZNatRecordAnswer(r, a);
    return r;
}

} // namespace

TEST(StunNatClassify, EveryCombinationOfAnswers) {
    struct Case {
        const char* name;
        std::vector<CKZStunMessage> answers;
        bool is_nat;
        int expected;
    };
    const CKZStunMessage i = Answer(KZ_NAT_TEST_I), ii = Answer(KZ_NAT_TEST_II),
                         iii = Answer(KZ_NAT_TEST_III);
    const CKZStunMessage i2_same = Answer(KZ_NAT_TEST_I2), i2_moved = Answer(KZ_NAT_TEST_I2, kOtherMapping);
    const CKZStunMessage ii_error = Answer(KZ_NAT_TEST_II, kMapped, KZ_STUN_BINDING_ERROR_RESPONSE),
                         iii_error = Answer(KZ_NAT_TEST_III, kMapped, KZ_STUN_BINDING_ERROR_RESPONSE),
                         i_error = Answer(KZ_NAT_TEST_I, kMapped, KZ_STUN_BINDING_ERROR_RESPONSE);
    // clang-format off
    const std::vector<Case> cases = {
        {"no answer at all", {}, true, KZ_STUN_NAT_BLOCKED},
        {"no answer to test I, others answered", {ii, iii, i2_same}, false, KZ_STUN_NAT_BLOCKED},
        {"own address, change-IP answered", {i, ii, iii, i2_same}, false, KZ_STUN_NAT_OPEN},
        {"own address, change-IP filtered", {i, iii, i2_same}, false, KZ_STUN_NAT_FIREWALL},
        {"NAT, change-IP answered", {i, ii, i2_same}, true, KZ_STUN_NAT_INDEPENDENT_FILTER},
        {"NAT, change-IP answered beats a moved mapping", {i, ii, i2_moved}, true, KZ_STUN_NAT_INDEPENDENT_FILTER},
        {"NAT, change-port answered", {i, iii, i2_same}, true, KZ_STUN_NAT_ADDRESS_FILTER},
        {"NAT, only tests I and I(2) agree", {i, i2_same}, true, KZ_STUN_NAT_PORT_FILTER},
        {"NAT, test I(2) never answered", {i}, true, KZ_STUN_NAT_PORT_FILTER},
        {"NAT, mapping moves for the changed address", {i, i2_moved}, true, KZ_STUN_NAT_DEPENDENT_MAPPING},
        {"NAT, mapping moves although change-port answered", {i, iii, i2_moved}, true, KZ_STUN_NAT_DEPENDENT_MAPPING},
        {"only the first test I(2) answer counts", {i, i2_moved, i2_same}, true, KZ_STUN_NAT_DEPENDENT_MAPPING},
        {"error responses leave tests II and III unanswered", {i, ii_error, iii_error}, true, KZ_STUN_NAT_PORT_FILTER},
        {"an error response is no answer to test I", {i_error}, true, KZ_STUN_NAT_BLOCKED},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int type = KZNatClassify(Probe(c.answers), c.is_nat);
        EXPECT_EQ(type, c.expected) << KZNatTypeName(type);
    }
}

TEST(StunNatClassify, AnswersGiveTheMappingPortPreservationHairpinAndChangedAddress) {
    KZNatProbeResults r = Probe({Answer(KZ_NAT_TEST_I)});
    EXPECT_EQ(r.mapped_i, kMapped);
    EXPECT_TRUE(r.preserves_port);
    EXPECT_TRUE(r.changed_known);
    EXPECT_EQ(r.changed_i, kChanged);
    EXPECT_FALSE(r.hairpin);

    r = Probe({Answer(KZ_NAT_TEST_I, kOtherMapping), Answer(KZ_NAT_TEST_I), Answer(KZ_NAT_TEST_HAIRPIN)});
    EXPECT_EQ(r.mapped_i, kOtherMapping); // the first answer to test I stands
    EXPECT_FALSE(r.preserves_port);
    EXPECT_TRUE(r.hairpin);

    CKZStunMessage xor_only = Answer(KZ_NAT_TEST_I);
    xor_only.has_mapped_address = false;
    xor_only.has_xor_mapped_address = true;
    xor_only.xor_mapped_address = kOtherMapping;
    xor_only.changed_address.addr = 0; // no usable changed address: test I(2) cannot be sent
    r = Probe({xor_only});
    EXPECT_TRUE(r.answered_i);
    EXPECT_EQ(r.mapped_i, kOtherMapping);
    EXPECT_FALSE(r.changed_known);
}

TEST(StunNatClassify, SilentCyclesResendWhatIsStillMissing) {
    struct Case {
        const char* name;
        std::vector<CKZStunMessage> answers;
        std::string expected; // test@socket>destination, in sending order
    };
    const auto text = [](const KZNatProbeResults& r) {
        KZNatProbeSend sends[KZ_NAT_MAX_PROBE_SENDS];
        std::string out;
        const size_t n = KZNatTestsToSend(r, kServer, sends);
        for (size_t k = 0; k < n; ++k) {
            const char* dest = sends[k].dest == kServer    ? "server"
                               : sends[k].dest == kChanged ? "changed"
                               : sends[k].dest == kMapped  ? "mapped"
                                                           : "?";
            out += std::to_string(sends[k].test) + (sends[k].from_b ? "@B>" : "@A>") + dest + " ";
        }
        return out;
    };
    const CKZStunMessage i = Answer(KZ_NAT_TEST_I), i2 = Answer(KZ_NAT_TEST_I2), ii = Answer(KZ_NAT_TEST_II),
                         iii = Answer(KZ_NAT_TEST_III), hairpin = Answer(KZ_NAT_TEST_HAIRPIN);
    const std::vector<Case> cases = {
        {"nothing answered", {}, "1@A>server 2@B>server 3@B>server "},
        {"test I answered", {i}, "10@A>changed 2@B>server 3@B>server 11@A>mapped "},
        {"all but the hairpin", {i, i2, ii, iii}, "11@A>mapped "},
        {"everything", {i, i2, ii, iii, hairpin}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(text(Probe(c.answers)), c.expected);
    }
}

TEST(StunNatClassify, NoLocalSocketIsAFailure) {
    KZAPI::CBaseSocket taken;
    ASSERT_TRUE(taken.OpenUDP(KZStunToNetOrder(0x7F000001), 0));
    const KZStunAddress4 iface{0, 0x7F000001};
    EXPECT_EQ(CKZStunClient::NatType(kServer, false, nullptr, nullptr, taken.GetLocalPort(), &iface),
              KZ_STUN_NAT_FAILURE);
}
