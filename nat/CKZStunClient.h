// CKZStunClient: the client side of classic STUN: server names, binding requests, the mapped
// address of a local port and the NAT classification procedure (RFC 3489 section 10.1, with
// the port-preservation and hairpin observations).
#pragma once

#include "host/CBaseSocket.h"
#include "nat/CKZStunMessage.h"
#include "nat/KZStunTypes.h"

#include <cstdint>

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

class CKZStunClient {
public:
    // Test numbers, carried in the first byte of each request's transaction id.
    enum : int { TEST_I = 1, TEST_II = 2, TEST_III = 3, TEST_CHANGE_IP = 4, TEST_I2 = 10, TEST_HAIRPIN = 11 };

    // How long the binding of a mapped socket waits for its answer.
    static constexpr int kMappedSocketWaitMs = 2000 + 150;
    // The classification waits this long per cycle and gives up after so many silent cycles.
    static constexpr int kNatCycleWaitMs = 150;
    static constexpr int kNatMaxTimedOutCycles = 7;
    // Pause after each request the classification sends.
    static constexpr unsigned kSendPauseMs = 10;

    // Parses "host" or "host:port" (host name or dotted address; default port 3478). On failure
    // returns false and sets the port to 65535.
    static bool ParseServerName(const char* name, KZStunAddress4& out);
    // A random port in 16384..32767.
    static uint16_t RandomPort();

    // A Binding Request: random transaction id whose first byte is the test number (when not
    // 0), and always a CHANGE-REQUEST; a USERNAME only when one is given.
    static void BuildRequest(CKZStunMessage& msg, int test_number, bool change_ip, bool change_port,
                             const char* username = nullptr);

    // Sends the request of test test_number from sock to dest (change-port for test 3,
    // change-IP for tests 2 and 4, no change for the others), then pauses kSendPauseMs.
    static bool SendTest(KZAPI::CBaseSocket& sock, const KZStunAddress4& dest, int test_number);

    // Binds a UDP socket on iface:port (port 0 = random port; iface null or address 0 = any
    // address), sends test I to server and waits up to kMappedSocketWaitMs for the answer. On
    // success returns the open socket and its mapped address; otherwise a closed socket.
    static KZAPI::CBaseSocket OpenMappedSocket(const KZStunAddress4& server, KZStunAddress4& mapped,
                                               uint16_t port = 0, const KZStunAddress4* iface = nullptr);

    // Classifies the NAT between the local host and server: sockets on port (0 = random) and
    // port + 1 of iface (null = any address). With verbose, the test results are written to
    // standard output. preserves_port / hairpin (may be null) receive the two observations.
    // Returns a KZStunNatType value.
    static int NatType(const KZStunAddress4& server, bool verbose, bool* preserves_port, bool* hairpin,
                       uint16_t port = 0, const KZStunAddress4* iface = nullptr);

    // Short English name of a classification value.
    static const char* NatTypeName(int nat_type);
};
