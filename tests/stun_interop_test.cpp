// Interoperability with the classic STUN tools of Debian's stun-server and stun-client
// packages (an independent RFC 3489 implementation): their client against kzstund, and kzstun
// and the codec against their server. All on loopback, bounded in time, peers stopped by PID.
#include "support/child_process.h"

#include "host/CBaseSocket.h"
#include "host/CKZLogInterface.h"
#include "nat/CKZStunClient.h"
#include "support/sip_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

using KZAPI::CBaseSocket;

namespace {

constexpr uint32_t kLo1 = 0x7F000001;
constexpr uint32_t kLo2 = 0x7F000002;

// A server is up once the last of its four sockets (127.0.0.2:3479) is bound.
bool WaitForServerPorts(kztest::ChildProcess& server, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!CBaseSocket::IsUDPPortFree(KZStunToNetOrder(kLo2), KZ_STUN_ALTERNATE_PORT)) return true;
        if (server.Terminate(0, 0) >= 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string Require(const char* program) {
    const std::string path = kztest::find_program(program);
    EXPECT_FALSE(path.empty()) << program << " is missing: ./scripts/install-deps installs it "
                               << "(Debian packages stun-client and stun-server)";
    return path;
}

// The classic server knows only the standard ports; another process holding one of them means
// its test cannot run here, which is no fault of ours.
std::string TakenStandardPort() {
    for (uint32_t ip : {kLo1, kLo2})
        for (uint16_t port : {KZ_STUN_DEFAULT_PORT, KZ_STUN_ALTERNATE_PORT})
            if (!CBaseSocket::IsUDPPortFree(KZStunToNetOrder(ip), port))
                return (ip == kLo1 ? "127.0.0.1:" : "127.0.0.2:") + std::to_string(port);
    return "";
}

class StunInterop : public ::testing::Test {
protected:
    void SetUp() override { KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_ERROR); }
};

} // namespace

TEST_F(StunInterop, ClassicClientAgainstKzstund) {
    const std::string stun = Require("stun");
    ASSERT_FALSE(stun.empty());
    // kzstund on ports the system chooses; the classic client is told the first.
    kztest::ChildProcess server;
    ASSERT_TRUE(
        server.Start({KZSTUND_BIN, "-h", "127.0.0.1", "-a", "127.0.0.2", "-p", "0", "-P", "0", "-t", "20"}));
    ASSERT_NE(server.WaitForOutput("kzstund ready", 3000).find("kzstund ready"), std::string::npos)
        << server.Output();
    std::smatch ready;
    const std::string banner = server.Output();
    ASSERT_TRUE(std::regex_search(banner, ready, std::regex("ready: (127\\.0\\.0\\.1:[0-9]+)"))) << banner;

    const uint16_t port = kztest::free_port_pair();
    ASSERT_NE(port, 0);
    std::string out;
    const int status = kztest::run_command(
        {stun, ready[1].str(), "-v", "-i", "127.0.0.1", "-p", std::to_string(port)}, 10000, &out);
    server.Stop();
    ASSERT_GE(status, 0) << "the classic client did not finish\n" << out;

    // Its answer to test I (the first one it prints) carries our SERVER-NAME and its own port.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("MappedAddress = ([0-9.]+:[0-9]+)"))) << out;
    EXPECT_EQ(m[1].str(), "127.0.0.1:" + std::to_string(port)) << out;
    EXPECT_NE(out.find("ServerName = KZSIPAPI STUN v1"), std::string::npos) << out;
    EXPECT_NE(out.find("test II = 1"), std::string::npos) << out;
    EXPECT_NE(out.find("Primary: Open"), std::string::npos) << out;
}

TEST_F(StunInterop, KzstunAgainstClassicServer) {
    const std::string taken = TakenStandardPort();
    if (!taken.empty()) GTEST_SKIP() << "STUN port " << taken << " is held by another process";
    const std::string stund = Require("stund");
    ASSERT_FALSE(stund.empty());
    kztest::ChildProcess server;
    ASSERT_TRUE(server.Start({stund, "-h", "127.0.0.1", "-a", "127.0.0.2"}));
    ASSERT_TRUE(WaitForServerPorts(server, 3000)) << server.Output();

    // The codec reads the classic server's answer: MAPPED-ADDRESS and its XOR-MAPPED-ADDRESS
    // agree with the port the request left from.
    {
        CBaseSocket sock;
        ASSERT_TRUE(sock.OpenUDP(KZStunToNetOrder(kLo1), 0));
        CKZStunMessage req;
        CKZStunClient::BuildRequest(req, CKZStunClient::TEST_I, false, false);
        uint8_t buf[KZ_STUN_MAX_MESSAGE];
        const size_t len = req.Encode(buf, sizeof(buf));
        ASSERT_EQ(sock.SendTo(buf, len, KZStunToNetOrder(kLo1), KZ_STUN_DEFAULT_PORT), static_cast<int>(len));
        ASSERT_EQ(sock.WaitReadable(2000), 1);
        const int n = sock.RecvFrom(buf, sizeof(buf), nullptr, nullptr);
        CKZStunMessage resp;
        ASSERT_TRUE(resp.Parse(buf, static_cast<size_t>(n))) << resp.GetParseError();
        const KZStunAddress4 local{sock.GetLocalPort(), kLo1};
        EXPECT_EQ(resp.mapped_address, local);
        ASSERT_TRUE(resp.has_xor_mapped_address);
        EXPECT_EQ(resp.xor_mapped_address, local);
        EXPECT_EQ(resp.changed_address, (KZStunAddress4{KZ_STUN_ALTERNATE_PORT, kLo2}));
    }

    const uint16_t port = kztest::free_port_pair();
    ASSERT_NE(port, 0);
    std::string out;
    const int status = kztest::run_command(
        {KZSTUN_BIN, "127.0.0.1", "-i", "127.0.0.1", "-p", std::to_string(port)}, 10000, &out);
    server.Stop();
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("mapped address  127.0.0.1:" + std::to_string(port) + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("NAT type        2 open (no NAT, unfiltered)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("preserves port  yes\n"), std::string::npos) << out;
}
