// The STUN client and CKZStunServer against each other on loopback, where 127.0.0.1 and
// 127.0.0.2 are two addresses of this host, on ports the system chooses: mapped addresses, the
// sockets answers leave from, credentials and error responses, and the NAT classification loop
// on real sockets (the judgement itself is tabled in stun_probe_test.cpp).
#include "host/CKZLogInterface.h"
#include "nat/CKZStunServer.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/sip_peer.h"
#include "support/stun_sockets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using KZAPI::CKZLogInterface;

using namespace kztest::stun;

namespace {

class StunLoopback : public ::testing::Test {
protected:
    void SetUp() override { CKZLogInterface::SetMaxLevel(CKZLogInterface::LOG_ERROR); }
    void TearDown() override { m_server.Stop(); }

    void StartServer(const char* alternate = "127.0.0.2") {
        ASSERT_TRUE(m_server.Start("127.0.0.1", alternate, 0, 0));
    }
    KZStunAddress4 ServerSocket(int index) const { return m_server.GetSocketAddress(index); }

    CKZStunServer m_server;
};

} // namespace

TEST_F(StunLoopback, AnswersFromTheSocketTheChangeRequestNamesWithTheMappedAddress) {
    StartServer();
    CBaseSocket client = OpenClient();
    const KZStunAddress4 local = LocalAddress(client);
    for (int in = 0; in < CKZStunServer::SOCK_COUNT; ++in) {
        for (uint32_t change :
             {0u, KZ_STUN_CHANGE_PORT, KZ_STUN_CHANGE_IP, KZ_STUN_CHANGE_IP | KZ_STUN_CHANGE_PORT}) {
            SCOPED_TRACE(::testing::Message() << "socket " << in << " change " << change);
            const int out =
                in ^ (change & KZ_STUN_CHANGE_IP ? 2 : 0) ^ (change & KZ_STUN_CHANGE_PORT ? 1 : 0);
            const CKZStunMessage req = Request(change);
            ASSERT_TRUE(Send(client, req, ServerSocket(in)));
            Received r;
            ASSERT_TRUE(Receive(client, r));
            EXPECT_EQ(r.msg.msg_type, KZ_STUN_BINDING_RESPONSE);
            EXPECT_EQ(0, memcmp(r.msg.id, req.id, KZ_STUN_TID_SIZE));
            EXPECT_EQ(r.from, ServerSocket(out));
            EXPECT_EQ(r.msg.source_address, ServerSocket(out));
            ASSERT_TRUE(r.msg.has_mapped_address && r.msg.has_xor_mapped_address);
            EXPECT_EQ(r.msg.mapped_address, local);
            EXPECT_EQ(r.msg.xor_mapped_address, local);
            EXPECT_EQ(r.msg.changed_address, ServerSocket(CKZStunServer::SOCK_A2_P2));
            EXPECT_FALSE(r.msg.has_username || r.msg.has_error_code || r.msg.has_secondary_address);
        }
    }

    // The client's binding operation reports the same mapping and keeps the socket open.
    KZStunAddress4 mapped;
    const KZStunAddress4 iface{0, kLo1};
    CBaseSocket bound = CKZStunClient::OpenMappedSocket(ServerSocket(0), mapped, 0, &iface);
    ASSERT_TRUE(bound.IsOpen());
    EXPECT_EQ(mapped, LocalAddress(bound));
}

TEST_F(StunLoopback, WithoutAlternateAddressChangeIpGetsNoAnswer) {
    StartServer(nullptr);
    EXPECT_TRUE(m_server.IsSocketOpen(CKZStunServer::SOCK_A1_P2));
    EXPECT_FALSE(m_server.IsSocketOpen(CKZStunServer::SOCK_A2_P1));
    CBaseSocket client = OpenClient();

    ASSERT_TRUE(Send(client, Request(KZ_STUN_CHANGE_PORT), ServerSocket(0)));
    Received r;
    ASSERT_TRUE(Receive(client, r));
    EXPECT_EQ(r.from, ServerSocket(CKZStunServer::SOCK_A1_P2));
    EXPECT_EQ(r.msg.changed_address, (KZStunAddress4{ServerSocket(CKZStunServer::SOCK_A1_P2).port, 0}));

    ASSERT_TRUE(Send(client, Request(KZ_STUN_CHANGE_IP), ServerSocket(0)));
    EXPECT_FALSE(Receive(client, r, 300)); // what a client takes for a filtered path
}

TEST_F(StunLoopback, ClassifiesLoopbackAsOpen) {
    StartServer();
    const KZStunAddress4 iface{0, kLo1};
    bool preserves = false, hairpin = false;
    ::testing::internal::CaptureStdout();
    const int type = CKZStunClient::NatType(ServerSocket(0), true, &preserves, &hairpin, 0, &iface);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(type, KZ_STUN_NAT_OPEN);
    EXPECT_TRUE(preserves);
    EXPECT_TRUE(hairpin); // test 11 to its own mapped address arrives
    EXPECT_EQ(out, "test I = 1\ntest II = 1\ntest III = 1\ntest I(2) = 1\nis nat  = 0\nmapped IP same = 1\n"
                   "hairpin = 1\npreserver port = 1\n");
}

TEST_F(StunLoopback, ResponseAddressRedirectsAndXorOnlyDropsMappedAddress) {
    StartServer();
    CBaseSocket client = OpenClient();
    CBaseSocket elsewhere = OpenClient(kLo2);
    CKZStunMessage req = Request();
    req.has_response_address = true;
    req.response_address = LocalAddress(elsewhere);
    ASSERT_TRUE(Send(client, req, ServerSocket(0)));
    Received r;
    ASSERT_TRUE(Receive(elsewhere, r));
    EXPECT_EQ(r.msg.mapped_address, LocalAddress(client)); // the source, not where it was sent
    EXPECT_FALSE(Receive(client, r, 100));

    req = Request();
    req.has_xor_only = true;
    ASSERT_TRUE(Send(client, req, ServerSocket(0)));
    ASSERT_TRUE(Receive(client, r));
    EXPECT_FALSE(r.msg.has_mapped_address);
    ASSERT_TRUE(r.msg.has_xor_mapped_address);
    EXPECT_EQ(r.msg.xor_mapped_address, LocalAddress(client));
}

TEST_F(StunLoopback, CredentialsAreCheckedAndRefusedWithErrorResponses) {
    struct Case {
        const char* username; // null: none
        const char* key;      // MESSAGE-INTEGRITY key; null: none
        unsigned error;       // 0: answered
        const char* reason;   // the error reason begins with it
    };
    const char* const user = CKZStunServer::kTestUsername;
    const char* const password = CKZStunServer::kTestPassword;
    const std::string unknown = std::string("Unknown username. Try ") + user + " with password " + password;
    const Case cases[] = {
        {nullptr, "anything", 432, "No UserName and contains MessageIntegrity"},
        {"someone1", "anything", 430, unknown.c_str()},
        {user, "wrong password", 431, "Integrity Check Failure"},
        {user, password, 0, ""},
        {"plain123", nullptr, 0, ""}, // a USERNAME without MESSAGE-INTEGRITY is simply echoed
    };
    StartServer();
    CBaseSocket client = OpenClient();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.username ? c.username : "(no username)");
        CKZStunMessage req;
        CKZStunClient::BuildRequest(req, 1, false, false, c.username);
        ASSERT_TRUE(Send(client, req, ServerSocket(0), c.key));
        Received r;
        std::vector<uint8_t> raw;
        ASSERT_TRUE(Receive(client, r, 1000, &raw));
        EXPECT_EQ(0, memcmp(r.msg.id, req.id, KZ_STUN_TID_SIZE));
        if (c.error) {
            EXPECT_EQ(r.msg.msg_type, KZ_STUN_BINDING_ERROR_RESPONSE);
            EXPECT_EQ(r.msg.error_code.Code(), c.error);
            EXPECT_EQ(std::string(r.msg.error_code.reason.value).rfind(c.reason, 0), 0u);
            continue;
        }
        EXPECT_EQ(r.msg.msg_type, KZ_STUN_BINDING_RESPONSE);
        EXPECT_STREQ(r.msg.username.value, c.username);
        EXPECT_EQ(r.msg.mapped_address, LocalAddress(client));
        // Signed under the same key.
        EXPECT_TRUE(!c.key || CKZStunMessage::CheckIntegrity(raw.data(), raw.size(), c.key, strlen(c.key)));
    }
}

TEST_F(StunLoopback, SharedSecretRequestGetsAUsernameAndItsDerivedPassword) {
    StartServer();
    CBaseSocket client = OpenClient();
    std::string first;
    for (int i = 0; i < 2; ++i) {
        CKZStunMessage req;
        CKZStunClient::BuildRequest(req, 0, false, false);
        req.msg_type = KZ_STUN_SHARED_SECRET_REQUEST;
        req.has_change_request = false;
        ASSERT_TRUE(Send(client, req, ServerSocket(CKZStunServer::SOCK_A2_P2)));
        Received r;
        ASSERT_TRUE(Receive(client, r));
        EXPECT_EQ(r.msg.msg_type, KZ_STUN_SHARED_SECRET_RESPONSE);
        EXPECT_EQ(r.from, ServerSocket(CKZStunServer::SOCK_A2_P2));
        ASSERT_TRUE(r.msg.has_username && r.msg.has_password);
        EXPECT_EQ(r.msg.username.size, 20);
        uint8_t expected[20];
        CKZStunServer::DerivePassword(r.msg.username.value, r.msg.username.size, expected);
        ASSERT_EQ(r.msg.password.size, 20);
        EXPECT_EQ(0, memcmp(r.msg.password.value, expected, 20));
        EXPECT_NE(first, r.msg.username.value) << "a new username each time";
        first = r.msg.username.value;
    }
}

TEST_F(StunLoopback, WhatDoesNotParseOrIsNoRequestGetsNoAnswer) {
    StartServer();
    CBaseSocket client = OpenClient();
    const uint8_t garbage[24] = {0x00, 0x01, 0x00, 0x40};
    ASSERT_EQ(client.SendTo(garbage, sizeof(garbage), KZStunToNetOrder(kLo1), ServerSocket(0).port), 24);
    CKZStunMessage response = Request();
    response.msg_type = KZ_STUN_BINDING_RESPONSE;
    ASSERT_TRUE(Send(client, response, ServerSocket(0)));
    const CKZStunMessage req = Request();
    ASSERT_TRUE(Send(client, req, ServerSocket(0)));
    Received r;
    ASSERT_TRUE(Receive(client, r));
    EXPECT_EQ(0, memcmp(r.msg.id, req.id, KZ_STUN_TID_SIZE)); // the first answer is to the valid request
    EXPECT_FALSE(Receive(client, r, 100));
}

TEST_F(StunLoopback, StartFailsCleanlyAndStopFreesThePorts) {
    {
        kztest::LogCapture log;
        CBaseSocket squatter = OpenClient(kLo2);
        const uint16_t taken = squatter.GetLocalPort();
        EXPECT_FALSE(m_server.Start("127.0.0.1", "127.0.0.2", 0, taken));
        for (int i = 0; i < CKZStunServer::SOCK_COUNT; ++i)
            EXPECT_FALSE(m_server.IsSocketOpen(i));
        EXPECT_TRUE(CBaseSocket::IsUDPPortFree(KZStunToNetOrder(kLo1), taken));
        EXPECT_FALSE(m_server.Start("no-such-host.invalid", nullptr, 0, 0));
        EXPECT_FALSE(m_server.Start("127.0.0.1", "no-such-host.invalid", 0, 0));
    }
    StartServer();
    EXPECT_TRUE(m_server.IsRunning());
    const KZStunAddress4 last = ServerSocket(CKZStunServer::SOCK_A2_P2);
    EXPECT_FALSE(CBaseSocket::IsUDPPortFree(KZStunToNetOrder(last.addr), last.port));
    EXPECT_TRUE(m_server.Stop());
    EXPECT_FALSE(m_server.IsRunning());
    for (int i = 0; i < CKZStunServer::SOCK_COUNT; ++i)
        EXPECT_TRUE(CBaseSocket::IsUDPPortFree(KZStunToNetOrder(ServerSocket(i).addr), ServerSocket(i).port));
}

TEST_F(StunLoopback, KzstundOnATakenPortSaysWhyItCannotStart) {
    CBaseSocket squatter = OpenClient();
    const std::string port = std::to_string(squatter.GetLocalPort());
    std::string out;
    EXPECT_EQ(
        kztest::run_command({KZSTUND_BIN, "-h", "127.0.0.1", "-p", port, "-P", "0", "-t", "5"}, 5000, &out),
        1);
    EXPECT_NE(out.find("kzstund: cannot start: Can't open 127.0.0.1:" + port + "\n"), std::string::npos)
        << out;
}

// How long each silent cycle waits is the client's fixed schedule; what is re-sent on each is
// tabled in stun_probe_test.cpp.
TEST_F(StunLoopback, NoServerMeansBlockedAndNoMappedSocket) {
    const KZStunAddress4 server{kztest::silent_udp_port(), kLo1};
    EXPECT_EQ(CKZStunClient::NatType(server, false, nullptr, nullptr), KZ_STUN_NAT_BLOCKED);
    kztest::LogCapture log;
    KZStunAddress4 mapped{1, 1};
    EXPECT_FALSE(CKZStunClient::OpenMappedSocket(server, mapped).IsOpen());
}
