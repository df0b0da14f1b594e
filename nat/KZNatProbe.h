// The NAT classification (RFC 3489 section 10.1, with the port-preservation and hairpin
// observations) as pure functions of what the probes saw: which tests were answered and with
// which mapped addresses. CKZStunClient::NatType runs the sockets and feeds these.
#pragma once

#include "nat/CKZStunMessage.h"
#include "nat/KZStunTypes.h"

#include <cstddef>
#include <string>

// Results of the NAT classification.
enum KZStunNatType : int {
    KZ_STUN_NAT_UNKNOWN = 0,
    KZ_STUN_NAT_FAILURE = 1,            // no local socket
    KZ_STUN_NAT_OPEN = 2,               // no NAT, unfiltered
    KZ_STUN_NAT_BLOCKED = 3,            // no answer to test I
    KZ_STUN_NAT_INDEPENDENT_FILTER = 4, // independent mapping, independent filter
    KZ_STUN_NAT_ADDRESS_FILTER = 5,     // independent mapping, address-dependent filter
    KZ_STUN_NAT_PORT_FILTER = 6,        // independent mapping, port-dependent filter
    KZ_STUN_NAT_DEPENDENT_MAPPING = 7,  // dependent mapping
    KZ_STUN_NAT_FIREWALL = 8,           // no NAT, filtered
};

// Test numbers, carried in the first byte of each request's transaction id.
enum KZNatTest : int {
    KZ_NAT_TEST_I = 1,
    KZ_NAT_TEST_II = 2,
    KZ_NAT_TEST_III = 3,
    KZ_NAT_TEST_CHANGE_IP = 4,
    KZ_NAT_TEST_I2 = 10,
    KZ_NAT_TEST_HAIRPIN = 11,
};

// What the answers so far have shown. local_port is the port of socket A (B is local_port + 1).
struct KZNatProbeResults {
    uint16_t local_port = 0;
    bool answered_i = false;
    bool answered_ii = false;
    bool answered_iii = false;
    bool answered_i2 = false;
    bool mapped_same = true; // test I(2) saw test I's mapping (judged on its first answer)
    bool hairpin = false;
    bool preserves_port = false;
    bool changed_known = false;
    KZStunAddress4 mapped_i;
    KZStunAddress4 changed_i;
};

// One request to (re)send: the test, the socket it leaves from and where it goes.
struct KZNatProbeSend {
    int test;
    bool from_b; // socket B (port + 1) rather than A
    KZStunAddress4 dest;
};
inline constexpr size_t KZ_NAT_MAX_PROBE_SENDS = 5;

// The mapped address an answer reports: MAPPED-ADDRESS, or XOR-MAPPED-ADDRESS without it.
bool KZStunAnswerMappedAddress(const CKZStunMessage& msg, KZStunAddress4& out);

// Takes one parsed answer into the results, by the test number in its transaction id.
void KZNatRecordAnswer(KZNatProbeResults& results, const CKZStunMessage& answer);

// The requests still missing after a silent cycle, in the order they are sent; returns how many
// were written to out.
size_t KZNatTestsToSend(const KZNatProbeResults& results, const KZStunAddress4& server,
                        KZNatProbeSend out[KZ_NAT_MAX_PROBE_SENDS]);

// The classification; is_nat is false when the mapped address of test I is one of the host's own.
int KZNatClassify(const KZNatProbeResults& results, bool is_nat);

// The verbose report, one "name = value" line per observation.
std::string KZNatProbeReport(const KZNatProbeResults& results, bool is_nat);

// Short English name of a classification value.
const char* KZNatTypeName(int nat_type);
