#include "nat/KZNatProbe.h"

bool KZStunAnswerMappedAddress(const CKZStunMessage& msg, KZStunAddress4& out) {
    if (msg.msg_type != KZ_STUN_BINDING_RESPONSE) return false;
    if (msg.has_mapped_address) {
        out = msg.mapped_address;
        return true;
    }
    if (msg.has_xor_mapped_address) {
        out = msg.xor_mapped_address;
        return true;
    }
    return false;
}

namespace {

void record_test_i(KZNatProbeResults& r, const CKZStunMessage& answer) {
    KZStunAddress4 mapped;
    if (r.answered_i || !KZStunAnswerMappedAddress(answer, mapped)) return;
    r.answered_i = true;
    r.mapped_i = mapped;
    r.preserves_port = mapped.port == r.local_port;
    r.changed_known = answer.has_changed_address && answer.changed_address.addr != 0;
    if (r.changed_known) r.changed_i = answer.changed_address;
}

void record_test_i2(KZNatProbeResults& r, const CKZStunMessage& answer) {
    KZStunAddress4 mapped;
    if (r.answered_i2 || !KZStunAnswerMappedAddress(answer, mapped)) return;
    r.answered_i2 = true;
    r.mapped_same = mapped == r.mapped_i;
}

} // namespace

void KZNatRecordAnswer(KZNatProbeResults& r, const CKZStunMessage& answer) {
    const bool is_response = answer.msg_type == KZ_STUN_BINDING_RESPONSE;
    switch (answer.id[0]) {
    case KZ_NAT_TEST_I:
        record_test_i(r, answer);
        break;
    case KZ_NAT_TEST_II:
        r.answered_ii = r.answered_ii || is_response;
        break;
    case KZ_NAT_TEST_III:
        r.answered_iii = r.answered_iii || is_response;
        break;
    case KZ_NAT_TEST_I2:
        record_test_i2(r, answer);
        break;
    case KZ_NAT_TEST_HAIRPIN:
        // Our own request arriving back through the NAT: any message with the number counts.
        r.hairpin = true;
        break;
    default:
        break;
    }
}

size_t KZNatTestsToSend(const KZNatProbeResults& r, const KZStunAddress4& server,
                        KZNatProbeSend out[KZ_NAT_MAX_PROBE_SENDS]) {
    size_t n = 0;
    if (!r.answered_i) out[n++] = {KZ_NAT_TEST_I, false, server};
    if (r.answered_i && !r.answered_i2 && r.changed_known) out[n++] = {KZ_NAT_TEST_I2, false, r.changed_i};
    if (!r.answered_ii) out[n++] = {KZ_NAT_TEST_II, true, server};
    if (!r.answered_iii) out[n++] = {KZ_NAT_TEST_III, true, server};
    if (r.answered_i && !r.hairpin) out[n++] = {KZ_NAT_TEST_HAIRPIN, false, r.mapped_i};
    return n;
}

int KZNatClassify(const KZNatProbeResults& r, bool is_nat) {
    if (!r.answered_i) return KZ_STUN_NAT_BLOCKED;
    if (!is_nat) return r.answered_ii ? KZ_STUN_NAT_OPEN : KZ_STUN_NAT_FIREWALL;
    if (r.answered_ii) return KZ_STUN_NAT_INDEPENDENT_FILTER;
    if (!r.mapped_same) return KZ_STUN_NAT_DEPENDENT_MAPPING;
    if (r.answered_iii) return KZ_STUN_NAT_ADDRESS_FILTER;
    return KZ_STUN_NAT_PORT_FILTER;
}

std::string KZNatProbeReport(const KZNatProbeResults& r, bool is_nat) {
    const auto line = [](const char* name, bool value) {
        return std::string(name) + (value ? "1\n" : "0\n");
    };
    return line("test I = ", r.answered_i) + line("test II = ", r.answered_ii) +
           line("test III = ", r.answered_iii) + line("test I(2) = ", r.answered_i2) +
           line("is nat  = ", is_nat) + line("mapped IP same = ", r.mapped_same) +
           line("hairpin = ", r.hairpin) + line("preserver port = ", r.preserves_port);
}

const char* KZNatTypeName(int nat_type) {
    switch (nat_type) {
    case KZ_STUN_NAT_UNKNOWN:
        return "unknown";
    case KZ_STUN_NAT_FAILURE:
        return "failure (no local socket)";
    case KZ_STUN_NAT_OPEN:
        return "open (no NAT, unfiltered)";
    case KZ_STUN_NAT_BLOCKED:
        return "blocked (no answer to test I)";
    case KZ_STUN_NAT_INDEPENDENT_FILTER:
        return "independent mapping, independent filter";
    case KZ_STUN_NAT_ADDRESS_FILTER:
        return "independent mapping, address-dependent filter";
    case KZ_STUN_NAT_PORT_FILTER:
        return "independent mapping, port-dependent filter";
    case KZ_STUN_NAT_DEPENDENT_MAPPING:
        return "dependent mapping";
    case KZ_STUN_NAT_FIREWALL:
        return "firewall (no NAT, filtered)";
    default:
        return "invalid";
    }
}
