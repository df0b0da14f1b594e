#include "nat/CKZStunClient.h"

#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

using KZAPI::CBaseSocket;
using KZAPI::CKZLogInterface;

namespace {

// A random local port was asked for: a few other random ports are tried when one is taken.
constexpr int kRandomPortTries = 8;

bool send_request(CBaseSocket& sock, const KZStunAddress4& dest, int test_number) {
    const bool change_ip =
        test_number == CKZStunClient::TEST_II || test_number == CKZStunClient::TEST_CHANGE_IP;
    const bool change_port = test_number == CKZStunClient::TEST_III;
    CKZStunMessage req;
    CKZStunClient::BuildRequest(req, test_number, change_ip, change_port);
    uint8_t buf[KZ_STUN_MAX_MESSAGE];
    const size_t len = req.Encode(buf, sizeof(buf));
    if (!len) return false;
    if (sock.SendTo(buf, len, KZStunToNetOrder(dest.addr), dest.port) != static_cast<int>(len)) {
        char text[KZ_STUN_ADDRESS_TEXT_SIZE];
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "CKZStunClient::SendTest to %s failed: %s",
                             KZStunAddressText(dest, text, sizeof(text)),
                             CBaseSocket::ErrorText(sock.GetLastError()).c_str());
        return false;
    }
    return true;
}

// The mapped address an answer reports: MAPPED-ADDRESS, or XOR-MAPPED-ADDRESS without it.
bool answer_mapped_address(const CKZStunMessage& msg, KZStunAddress4& out) {
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

} // namespace

bool CKZStunClient::ParseServerName(const char* name, KZStunAddress4& out) {
    out.addr = 0;
    out.port = 65535;
    if (!name || !*name) return false;

    char host[256];
    const char* colon = KZAPI::copy_until_char(host, sizeof(host), name, ':');
    if (static_cast<size_t>(colon - name) >= sizeof(host)) return false;
    uint16_t port = KZ_STUN_DEFAULT_PORT;
    if (*colon == ':') {
        const char* digits = colon + 1;
        unsigned long value = 0;
        if (!*digits) return false;
        for (const char* p = digits; *p; ++p) {
            if (*p < '0' || *p > '9') return false;
            value = value * 10 + static_cast<unsigned long>(*p - '0');
            if (value > 65535) return false;
        }
        if (value == 0) return false;
        port = static_cast<uint16_t>(value);
    }
    if (!host[0]) return false;

    uint32_t net = KZAPI::KZ_InetAddr(host);
    if (net == 0xFFFFFFFFu || strchr(host, '.') == nullptr) net = KZAPI::KZ_ResolveHostIPv4(host);
    if (net == 0 || net == 0xFFFFFFFFu) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "CKZStunClient::ParseServerName can't resolve %s",
                             host);
        return false;
    }
    out.addr = KZStunToHostOrder(net);
    out.port = port;
    return true;
}

uint16_t CKZStunClient::RandomPort() {
    return static_cast<uint16_t>((KZAPI::get_rand_u32() & 0x3FFFu) | 0x4000u);
}

void CKZStunClient::BuildRequest(CKZStunMessage& msg, int test_number, bool change_ip, bool change_port,
                                 const char* username) {
    msg.Clear();
    msg.msg_type = KZ_STUN_BINDING_REQUEST;
    for (size_t i = 0; i < KZ_STUN_TID_SIZE; i += 4) {
        const uint32_t r = KZAPI::get_rand_u32();
        memcpy(msg.id + i, &r, 4);
    }
    if (test_number != 0) msg.id[0] = static_cast<uint8_t>(test_number);
    msg.has_change_request = true;
    msg.change_request = (change_ip ? KZ_STUN_CHANGE_IP : 0u) | (change_port ? KZ_STUN_CHANGE_PORT : 0u);
    if (username && *username) {
        msg.has_username = true;
        msg.username.Set(username);
    }
}

bool CKZStunClient::SendTest(CBaseSocket& sock, const KZStunAddress4& dest, int test_number) {
    const bool sent = send_request(sock, dest, test_number);
    std::this_thread::sleep_for(std::chrono::milliseconds(kSendPauseMs));
    return sent;
}

CBaseSocket CKZStunClient::OpenMappedSocket(const KZStunAddress4& server, KZStunAddress4& mapped,
                                            uint16_t port, const KZStunAddress4* iface) {
    const uint32_t local_ip = iface ? KZStunToNetOrder(iface->addr) : 0;
    CBaseSocket sock;
    bool opened = false;
    for (int attempt = 0; attempt < (port ? 1 : kRandomPortTries) && !opened; ++attempt)
        opened = sock.OpenUDP(local_ip, port ? port : RandomPort());
    if (!opened) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR, "CKZStunClient::OpenMappedSocket can't open port %u: %s",
            static_cast<unsigned>(port), CBaseSocket::ErrorText(sock.GetLastError()).c_str());
        return CBaseSocket();
    }
    if (!send_request(sock, server, TEST_I)) return CBaseSocket();

    const int ready = sock.WaitReadable(kMappedSocketWaitMs);
    if (ready == 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Timeout");
        return CBaseSocket();
    }
    uint8_t buf[KZ_STUN_MAX_MESSAGE];
    const int n = ready > 0 ? sock.RecvFrom(buf, sizeof(buf), nullptr, nullptr) : -1;
    if (n < 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CKZStunClient::OpenMappedSocket receive error: %s",
                             CBaseSocket::ErrorText(sock.GetLastError()).c_str());
        return CBaseSocket();
    }
    CKZStunMessage answer;
    if (!answer.Parse(buf, static_cast<size_t>(n)) || !answer_mapped_address(answer, mapped)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                             "CKZStunClient::OpenMappedSocket the answer has no mapped address");
        return CBaseSocket();
    }
    return sock;
}

int CKZStunClient::NatType(const KZStunAddress4& server, bool verbose, bool* preserves_port, bool* hairpin,
                           uint16_t port, const KZStunAddress4* iface) {
    if (preserves_port) *preserves_port = false;
    if (hairpin) *hairpin = false;

    const uint32_t local_ip = iface ? KZStunToNetOrder(iface->addr) : 0;
    CBaseSocket sock_a, sock_b;
    uint16_t base = port;
    bool opened = false;
    for (int attempt = 0; attempt < (port ? 1 : kRandomPortTries) && !opened; ++attempt) {
        base = port ? port : RandomPort();
        opened = base < 65535 && sock_a.OpenUDP(local_ip, base) &&
                 sock_b.OpenUDP(local_ip, static_cast<uint16_t>(base + 1));
    }
    if (!opened) {
        fprintf(stderr, "Some problem opening port/interface to send on\n");
        return KZ_STUN_NAT_FAILURE;
    }

    bool answered_i = false, answered_ii = false, answered_iii = false, answered_i2 = false;
    bool hairpin_seen = false, port_preserved = false, mapped_same = true;
    bool changed_known = false;
    KZStunAddress4 mapped_i, changed_i;

    CBaseSocket* sockets[2] = {&sock_a, &sock_b};
    int timed_out_cycles = 0;
    bool first_cycle = true;
    while (timed_out_cycles < kNatMaxTimedOutCycles) {
        bool ready[2] = {false, false};
        int error = 0;
        const int readable =
            CBaseSocket::WaitAnyReadable(sockets, 2, first_cycle ? 0 : kNatCycleWaitMs, ready, &error);
        first_cycle = false;
        if (readable < 0) {
            fprintf(stderr, "Error %d %s in select\n", error, CBaseSocket::ErrorText(error).c_str());
            return KZ_STUN_NAT_FAILURE;
        }
        if (readable == 0) {
            // Nothing came: (re)send every test still unanswered.
            ++timed_out_cycles;
            if (!answered_i) SendTest(sock_a, server, TEST_I);
            if (answered_i && !answered_i2 && changed_known) SendTest(sock_a, changed_i, TEST_I2);
            if (!answered_ii) SendTest(sock_b, server, TEST_II);
            if (!answered_iii) SendTest(sock_b, server, TEST_III);
            if (answered_i && !hairpin_seen) SendTest(sock_a, mapped_i, TEST_HAIRPIN);
            continue;
        }
        for (int s = 0; s < 2; ++s) {
            if (!ready[s]) continue;
            uint8_t buf[KZ_STUN_MAX_MESSAGE];
            const int n = sockets[s]->RecvFrom(buf, sizeof(buf), nullptr, nullptr);
            CKZStunMessage msg;
            if (n <= 0 || !msg.Parse(buf, static_cast<size_t>(n))) continue; // ignored: stays unanswered
            KZStunAddress4 mapped;
            switch (msg.id[0]) {
            case TEST_I:
                if (!answered_i && answer_mapped_address(msg, mapped)) {
                    answered_i = true;
                    mapped_i = mapped;
                    port_preserved = mapped.port == base;
                    changed_known = msg.has_changed_address && msg.changed_address.addr != 0;
                    if (changed_known) changed_i = msg.changed_address;
                }
                break;
            case TEST_II:
                if (msg.msg_type == KZ_STUN_BINDING_RESPONSE) answered_ii = true;
                break;
            case TEST_III:
                if (msg.msg_type == KZ_STUN_BINDING_RESPONSE) answered_iii = true;
                break;
            case TEST_I2:
                if (!answered_i2 && answer_mapped_address(msg, mapped)) {
                    answered_i2 = true;
                    mapped_same = mapped == mapped_i;
                }
                break;
            case TEST_HAIRPIN:
                hairpin_seen = true;
                break;
            default:
                break;
            }
        }
    }
    sock_a.Close();
    sock_b.Close();

    // The host is not behind NAT when its mapped address is one of its own.
    bool is_nat = true;
    if (answered_i && mapped_i.addr != 0) {
        CBaseSocket probe;
        is_nat = !probe.OpenUDP(KZStunToNetOrder(mapped_i.addr), 0);
    }

    if (verbose) {
        printf("test I = %d\n", answered_i);
        printf("test II = %d\n", answered_ii);
        printf("test III = %d\n", answered_iii);
        printf("test I(2) = %d\n", answered_i2);
        printf("is nat  = %d\n", is_nat);
        printf("mapped IP same = %d\n", mapped_same);
        printf("hairpin = %d\n", hairpin_seen);
        printf("preserver port = %d\n", port_preserved);
        fflush(stdout);
    }
    if (preserves_port) *preserves_port = port_preserved;
    if (hairpin) *hairpin = hairpin_seen;

    if (!answered_i) return KZ_STUN_NAT_BLOCKED;
    if (!is_nat) return answered_ii ? KZ_STUN_NAT_OPEN : KZ_STUN_NAT_FIREWALL;
    if (answered_ii) return KZ_STUN_NAT_INDEPENDENT_FILTER;
    if (!mapped_same) return KZ_STUN_NAT_DEPENDENT_MAPPING;
    if (answered_iii) return KZ_STUN_NAT_ADDRESS_FILTER;
    return KZ_STUN_NAT_PORT_FILTER;
}

const char* CKZStunClient::NatTypeName(int nat_type) {
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
