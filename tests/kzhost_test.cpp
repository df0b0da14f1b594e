// The kzhost program end to end: it loads the module, comes up on a configuration, answers on the
// wire, and exits cleanly (status 0, which under the sanitizers also means no leak) on SIGTERM.
#include "support/kzhost_process.h"
#include "support/port_holder.h"
#include "support/sip_dialog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

// What proxies and carriers send is answered where it came from: parameters that only look like
// routing ones are not taken for them, and sips: and tel: parties are accepted.
TEST(Kzhost, ServesTheServerConfigurationAndStopsCleanly) {
    const uint16_t port = kztest::free_port_pair();
    // The configuration's site serves 127.0.0.1: a call to a name that is none of its users is
    // not found there.
    kztest::KzhostProcess host({"--config", KZ_EXAMPLES_DIR "/server.conf", "--set",
                                "kzsrv.sip.ip.port=" + std::to_string(port), "--set", "kzhost.channels=0",
                                "--log-level", "1"});
    ASSERT_TRUE(host.Started());
    const std::string banner = host.WaitForOutput("listening", 10000);
    ASSERT_NE(banner.find("UDP 127.0.0.1:" + std::to_string(port)), std::string::npos) << banner;

    kztest::UdpPeer peer;
    const std::string me = "127.0.0.1:" + std::to_string(peer.port());
    struct Row {
        const char* what;
        std::string replace, with;
    };
    const Row rows[] = {
        {"plain", "", ""},
        {"look-alike Via parameters", ";rport", ";x-rport=9;x-received-by=127.0.0.9;decided=1"},
        {"sips: From", "From: <sip:tester@" + me + ">", "From: <sips:tester@" + me + ">"},
        {"tel: From", "From: <sip:tester@" + me + ">", "From: <tel:+15551230000>"},
        {"tel: To", "To: <sip:service@127.0.0.1:" + std::to_string(port) + ">", "To: <tel:+15551234567>"},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string text = kztest::sip_request("OPTIONS", peer.port(), port, "",
                                               "odd-" + std::to_string(++n) + "@127.0.0.1");
        text.replace(text.find(row.replace), row.replace.size(), row.with);
        peer.send_to(port, text);
        const std::string answer = kztest::receive_starting(peer, "SIP/2.0 2", 4000);
        EXPECT_EQ(kztest::status_line(answer), "SIP/2.0 200 OK") << text;
        EXPECT_NE(answer.find("REGISTER"), std::string::npos);
    }
    peer.send_to(port, kztest::sip_request("INVITE", peer.port(), port));
    EXPECT_EQ(kztest::status_line(kztest::receive_starting(peer, "SIP/2.0 4", 4000)),
              "SIP/2.0 404 Not Found");
    EXPECT_EQ(host.Terminate(SIGTERM, 15000), 0);
    EXPECT_NE(host.WaitForOutput("stopping", 100).find("SIGTERM received"), std::string::npos);
}

TEST(Kzhost, ABusyPortStopsItWithTheReason) {
    for (const kztest::BusyPortCase& c : kztest::kBusyPortCases) {
        SCOPED_TRACE(c.transport);
        kztest::PortHolder holder(c.socket_type);
        ASSERT_NE(holder.Port(), 0);
        const std::string port = std::to_string(holder.Port());
        kztest::KzhostProcess host({"--config", KZ_EXAMPLES_DIR "/server.conf", "--set",
                                    "kzsrv.sip.ip.port=" + port, "--set",
                                    std::string("kzsrv.sip.protocol=") + c.protocol, "--log-level", "1"});
        EXPECT_EQ(host.Terminate(0, 10000), 1);
        const std::string reason =
            "kzhost: cannot start: SIP port 127.0.0.1:" + port + " (" + c.transport + ") is in use\n";
        const std::string output = host.WaitForOutput(reason, 1000);
        EXPECT_NE(output.find(reason), std::string::npos) << output;
        EXPECT_EQ(output.find("listening"), std::string::npos) << output;
    }
}
