// The NAT classification measured through real Linux NAT: a client namespace, a NAT namespace
// (plain forwarding, masquerade, or masquerade with random ports) and a server namespace whose
// kzstund holds two addresses; kzstun runs in the client namespace. Needs root and a kernel that
// lets this machine create network namespaces; where it cannot, the tests are skipped.
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <unistd.h>

namespace {

struct Classification {
    int nat_type = -1;
    std::string mapped;
    std::string local;
    std::string output;
};

class StunNetns : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "network namespace tests need root (they run as root in ./scripts/test)";
        m_ip = kztest::find_program("ip");
        ASSERT_FALSE(m_ip.empty()) << "ip is missing: ./scripts/install-deps installs iproute2";
        ASSERT_TRUE(!kztest::find_program("nft").empty() || !kztest::find_program("iptables").empty())
            << "neither nft nor iptables is installed: ./scripts/install-deps installs nftables";

        // Can this machine create a namespace with a veth pair at all?
        const std::string probe = "kzprobe-" + std::to_string(getpid());
        std::string out;
        const bool can = kztest::run_command({m_ip, "netns", "add", probe}, 5000, &out) == 0 &&
                         kztest::run_command(
                             {m_ip, "-n", probe, "link", "add", "p0", "type", "veth", "peer", "name", "p1"},
                             5000, &out) == 0;
        kztest::run_command({m_ip, "netns", "del", probe}, 5000);
        if (!can) GTEST_SKIP() << "this machine cannot create network namespaces with veth links: " << out;

        m_id = std::to_string(getpid());
        m_script = std::string(KZ_NAT_SCRIPT_DIR) + "/netns.sh";
    }

    void TearDown() override {
        m_server.Stop();
        if (!m_id.empty()) kztest::run_command({"bash", m_script, "down", m_id}, 10000);
    }

    void BuildTopology(const char* mode) {
        std::string out;
        ASSERT_EQ(kztest::run_command({"bash", m_script, "up", m_id, mode}, 15000, &out), 0) << out;
    }

    void StartServer() {
        ASSERT_TRUE(m_server.Start({m_ip, "netns", "exec", "kzs-" + m_id, KZSTUND_BIN, "-h", "10.77.2.2",
                                    "-a", "10.77.2.3", "-t", "30"}));
        ASSERT_NE(m_server.WaitForOutput("kzstund ready", 5000).find("kzstund ready"), std::string::npos)
            << m_server.Output();
    }

    Classification Classify() {
        Classification c;
        const int status = kztest::run_command(
            {m_ip, "netns", "exec", "kzc-" + m_id, KZSTUN_BIN, "10.77.2.2", "-v"}, 15000, &c.output);
        EXPECT_EQ(status, 0) << c.output;
        std::smatch m;
        if (std::regex_search(c.output, m, std::regex("NAT type +([0-9]+)")))
            c.nat_type = std::stoi(m[1].str());
        if (std::regex_search(c.output, m, std::regex("mapped address +(\\S+)"))) c.mapped = m[1].str();
        if (std::regex_search(c.output, m, std::regex("local address +(\\S+)"))) c.local = m[1].str();
        return c;
    }

    std::string m_ip, m_id, m_script;
    kztest::ChildProcess m_server;
};

} // namespace

TEST_F(StunNetns, ClassifiesEachKindOfLinuxNat) {
    struct Case {
        const char* mode; // of tests/nat/netns.sh
        int nat_type;
        const char* mapped_prefix;
        const char* observation;
    };
    // No answer at all (blocked) is classified on loopback (stun_loopback_test).
    const Case cases[] = {
        {"route", 2, "10.77.1.2:", "mapped IP same = 1"},      // open: not translated
        {"masquerade", 6, "10.77.2.1:", "mapped IP same = 1"}, // port-dependent filter
        {"random-fully", 7, "10.77.2.1:", "mapped IP same = 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        BuildTopology(c.mode);
        StartServer();
        const Classification result = Classify();
        EXPECT_EQ(result.nat_type, c.nat_type) << result.output;
        EXPECT_EQ(result.mapped.rfind(c.mapped_prefix, 0), 0u) << result.output;
        EXPECT_NE(result.output.find(c.observation), std::string::npos) << result.output;
        if (c.nat_type == 2) { // not translated: the client's own port too
            EXPECT_EQ(result.mapped.substr(result.mapped.find(':')),
                      result.local.substr(result.local.find(':')));
        }
        m_server.Stop();
        kztest::run_command({"bash", m_script, "down", m_id}, 10000);
    }
}
