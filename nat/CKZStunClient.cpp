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
// What the host's address conversion gives for text that is no dotted address (INADDR_NONE).
constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

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
    if (net == kNoAddress || strchr(host, '.') == nullptr) net = KZAPI::KZ_ResolveHostIPv4(host);
    if (net == 0 || net == kNoAddress) {
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
    if (!answer.Parse(buf, static_cast<size_t>(n)) || !KZStunAnswerMappedAddress(answer, mapped)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                             "CKZStunClient::OpenMappedSocket the answer has no mapped address");
        return CBaseSocket();
    }
    return sock;
}

namespace {

// Sockets A (port) and B (port + 1) of the classification; a random base port is retried a few
// times when taken. Returns the base port, or 0 when either socket cannot be opened.
uint16_t open_probe_sockets(CBaseSocket& sock_a, CBaseSocket& sock_b, uint16_t port, uint32_t local_ip) {
    for (int attempt = 0; attempt < (port ? 1 : kRandomPortTries); ++attempt) {
        const uint16_t base = port ? port : CKZStunClient::RandomPort();
        if (base < 65535 && sock_a.OpenUDP(local_ip, base) &&
            sock_b.OpenUDP(local_ip, static_cast<uint16_t>(base + 1)))
            return base;
        sock_a.Close();
        sock_b.Close();
    }
    return 0;
}

void read_answers(CBaseSocket* const sockets[2], const bool ready[2], KZNatProbeResults& results) {
    for (int s = 0; s < 2; ++s) {
        if (!ready[s]) continue;
        uint8_t buf[KZ_STUN_MAX_MESSAGE];
        const int n = sockets[s]->RecvFrom(buf, sizeof(buf), nullptr, nullptr);
        CKZStunMessage msg;
        if (n > 0 && msg.Parse(buf, static_cast<size_t>(n))) KZNatRecordAnswer(results, msg);
        // A malformed answer is ignored: its test stays unanswered.
    }
}

void send_missing_tests(CBaseSocket& sock_a, CBaseSocket& sock_b, const KZStunAddress4& server,
                        const KZNatProbeResults& results) {
    KZNatProbeSend sends[KZ_NAT_MAX_PROBE_SENDS];
    const size_t count = KZNatTestsToSend(results, server, sends);
    for (size_t i = 0; i < count; ++i)
        CKZStunClient::SendTest(sends[i].from_b ? sock_b : sock_a, sends[i].dest, sends[i].test);
}

// The host is not behind NAT when its mapped address is one of its own.
bool mapped_address_is_foreign(const KZNatProbeResults& results) {
    if (!results.answered_i || results.mapped_i.addr == 0) return true;
    CBaseSocket probe;
    return !probe.OpenUDP(KZStunToNetOrder(results.mapped_i.addr), 0);
}

} // namespace

int CKZStunClient::NatType(const KZStunAddress4& server, bool verbose, bool* preserves_port, bool* hairpin,
                           uint16_t port, const KZStunAddress4* iface) {
    if (preserves_port) *preserves_port = false;
    if (hairpin) *hairpin = false;

    CBaseSocket sock_a, sock_b;
    KZNatProbeResults results;
    results.local_port = open_probe_sockets(sock_a, sock_b, port, iface ? KZStunToNetOrder(iface->addr) : 0);
    if (!results.local_port) {
        fprintf(stderr, "Some problem opening port/interface to send on\n");
        return KZ_STUN_NAT_FAILURE;
    }

    CBaseSocket* const sockets[2] = {&sock_a, &sock_b};
    for (int timed_out_cycles = 0, cycle = 0; timed_out_cycles < kNatMaxTimedOutCycles; ++cycle) {
        bool ready[2] = {false, false};
        int error = 0;
        const int readable =
            CBaseSocket::WaitAnyReadable(sockets, 2, cycle == 0 ? 0 : kNatCycleWaitMs, ready, &error);
        if (readable < 0) {
            fprintf(stderr, "Error %d %s in select\n", error, CBaseSocket::ErrorText(error).c_str());
            return KZ_STUN_NAT_FAILURE;
        }
        if (readable > 0) {
            read_answers(sockets, ready, results);
            continue;
        }
        ++timed_out_cycles;
        send_missing_tests(sock_a, sock_b, server, results);
    }
    sock_a.Close();
    sock_b.Close();

    const bool is_nat = mapped_address_is_foreign(results);
    if (verbose) {
        fputs(KZNatProbeReport(results, is_nat).c_str(), stdout);
        fflush(stdout);
    }
    if (preserves_port) *preserves_port = results.preserves_port;
    if (hairpin) *hairpin = results.hairpin;
    return KZNatClassify(results, is_nat);
}
