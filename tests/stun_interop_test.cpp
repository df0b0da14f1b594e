// Interoperability with the classic STUN tools of Debian's stun-server and stun-client
// packages (an independent RFC 3489 implementation): their client against kzstund, and kzstun
// and the codec against their server. All on loopback, bounded in time, peers stopped by PID.
#include "support/child_process.h"

#include "host/CKZLogInterface.h"
#include "support/sip_peer.h"
#include "support/stun_sockets.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

using namespace kztest::stun;

namespace {

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
    // It is up once the last of its four sockets (127.0.0.2:3479) is bound.
    ASSERT_TRUE(kztest::wait_until([] {
        return !CBaseSocket::IsUDPPortFree(KZStunToNetOrder(kLo2), KZ_STUN_ALTERNATE_PORT);
    })) << server.Output();

    // The codec reads the classic server's answer: MAPPED-ADDRESS and its XOR-MAPPED-ADDRESS
    // agree with the port the request left from.
    CBaseSocket sock = OpenClient();
    ASSERT_TRUE(Send(sock, Request(), {KZ_STUN_DEFAULT_PORT, kLo1}));
    Received r;
    ASSERT_TRUE(Receive(sock, r, 2000)) << r.msg.GetParseError();
    EXPECT_EQ(r.msg.mapped_address, LocalAddress(sock));
    ASSERT_TRUE(r.msg.has_xor_mapped_address);
    EXPECT_EQ(r.msg.xor_mapped_address, LocalAddress(sock));
    EXPECT_EQ(r.msg.changed_address, (KZStunAddress4{KZ_STUN_ALTERNATE_PORT, kLo2}));

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
