// CKZStunClient: the client side of classic STUN: server names, binding requests, the mapped
// address of a local port and the NAT classification procedure (RFC 3489 section 10.1, with
// the port-preservation and hairpin observations).
#pragma once

#include "host/CBaseSocket.h"
#include "nat/CKZStunMessage.h"
#include "nat/KZNatProbe.h"
#include "nat/KZStunTypes.h"

#include <cstdint>

class CKZStunClient {
public:
    // Test numbers, carried in the first byte of each request's transaction id.
    enum : int {
        TEST_I = KZ_NAT_TEST_I,
        TEST_II = KZ_NAT_TEST_II,
        TEST_III = KZ_NAT_TEST_III,
        TEST_CHANGE_IP = KZ_NAT_TEST_CHANGE_IP,
        TEST_I2 = KZ_NAT_TEST_I2,
        TEST_HAIRPIN = KZ_NAT_TEST_HAIRPIN,
    };

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
    // Returns a KZStunNatType value. The socket work is here; the judgement is KZNatClassify.
    static int NatType(const KZStunAddress4& server, bool verbose, bool* preserves_port, bool* hairpin,
                       uint16_t port = 0, const KZStunAddress4* iface = nullptr);

    // Short English name of a classification value.
    static const char* NatTypeName(int nat_type) { return KZNatTypeName(nat_type); }
};
