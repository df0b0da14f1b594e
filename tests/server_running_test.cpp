// The server on loopback: what it answers without a call, what it refuses to start on, and how it
// loads the SRTP extension library.
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "include/kzsipapi.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"
#include "server/KZAPIExLibrary.h"
#include "server/kz_sip_factory.h"
#include "sipmsg/kz_sip_result.h"
#include "sipstack/KZ_SIPProtocolConfig.h"
#include "support/log_capture.h"
#include "support/port_holder.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

// The final response to the request sent, skipping provisional ones.
std::string final_response(const kztest::UdpPeer& peer, int timeout_ms = 2000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string r = peer.receive(200);
        if (!r.empty() && r.rfind("SIP/2.0 1", 0) != 0) return r;
    }
    return "";
}

class RunningServer : public ::testing::Test {
protected:
    void SetUp() override {
        CKZCfgInterface::CFG_Clear();
        m_port = kztest::free_port_pair();
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.address", " 127.0.0.1 ");
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.port", std::to_string(m_port).c_str());
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.use.nat.addr", "1"); // no STUN on a test machine
    }
    void TearDown() override {
        if (m_server) {
            m_server->Stop();
            m_server->Destroy();
        }
        m_server.reset();
        CKZCfgInterface::CFG_Clear();
    }
    void StartServer() {
        m_server = kztest::make_server();
        ASSERT_EQ(m_server->Create(), 1u);
        ASSERT_EQ(m_server->Start(), 1u);
    }
    std::string Ask(const std::string& method, const std::string& extra = "") {
        m_peer.send_to(m_port, kztest::sip_request(method, m_peer.port(), m_port, extra));
        return final_response(m_peer);
    }

    uint16_t m_port = 0;
    kztest::UdpPeer m_peer;
    kztest::ServerPtr m_server;
};

} // namespace

TEST_F(RunningServer, AnswersWhatNeedsNoCall) {
    StartServer();
    EXPECT_TRUE(m_server->IsStarted());
    EXPECT_STREQ(m_server->GetMappedPublicSIPIPAddress(), "127.0.0.1");
    EXPECT_EQ(m_server->GetMappedPublicSIPIPPort(), m_port);

    const std::string options = Ask("OPTIONS");
    EXPECT_EQ(kztest::status_line(options), "SIP/2.0 200 OK");
    EXPECT_EQ(kztest::header_value(options, "Allow"),
              "INVITE, ACK, CANCEL, BYE, REFER, NOTIFY, REGISTER, OPTIONS, INFO");
    EXPECT_EQ(kztest::header_value(options, "User-Agent"), "Zelmar-SIP-SDK");

    EXPECT_EQ(kztest::status_line(Ask("INVITE")), "SIP/2.0 486 Busy Here"); // no channels
    EXPECT_EQ(kztest::status_line(Ask("PUBLISH")), "SIP/2.0 501 Not Implemented");
    EXPECT_EQ(kztest::status_line(Ask("PRACK")), "SIP/2.0 200 OK");
    EXPECT_EQ(kztest::status_line(Ask("MESSAGE")), "SIP/2.0 200 OK");
    EXPECT_EQ(kztest::status_line(Ask("NOTIFY", "Event: reg\r\nContent-Type: text/plain\r\n")),
              "SIP/2.0 200 OK");
    EXPECT_EQ(kztest::status_line(Ask("REGISTER")), "SIP/2.0 406 Not Acceptable"); // no proxy sites

    m_peer.send_to(m_port, kztest::sip_request("UPDATE", m_peer.port(), m_port));
    EXPECT_EQ(m_peer.receive(500), ""); // UPDATE is not answered
}

TEST_F(RunningServer, ChallengesRegistrationsForItsSites) {
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.proxy.sites.num", "1");
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.proxy.site1.domain", "127.0.0.1");
    StartServer();
    const std::string challenge = Ask("REGISTER");
    EXPECT_EQ(kztest::status_line(challenge), "SIP/2.0 407 Proxy Authentication Required");
    EXPECT_NE(challenge.find("Digest"), std::string::npos);
}

TEST_F(RunningServer, RefusesToStartOnABusyPort) {
    for (const kztest::BusyPortCase& c : kztest::kBusyPortCases) {
        SCOPED_TRACE(c.transport);
        kztest::PortHolder holder(c.socket_type);
        ASSERT_NE(holder.Port(), 0);
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.port", std::to_string(holder.Port()).c_str());
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.protocol", c.protocol);
        kztest::LogCapture log;
        m_server = kztest::make_server();
        m_server->Create();
        EXPECT_EQ(m_server->Start(), 0u);
        EXPECT_FALSE(m_server->IsStarted());
        EXPECT_TRUE(log.Contains(std::string("Error: SIP ") + c.transport + " Port(" +
                                     std::to_string(holder.Port()) +
                                     ") is used by other applications already.",
                                 CKZLogInterface::LOG_ERROR));
        m_server->Destroy();
        m_server.reset();
    }
}

// The UDP port is free, so only the stack's start can find the TCP port taken.
TEST_F(RunningServer, ATransportThatCannotOpenFailsTheStart) {
    kztest::PortHolder holder(SOCK_STREAM);
    ASSERT_NE(holder.Port(), 0);
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.port", std::to_string(holder.Port()).c_str());
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.protocol", "3");
    kztest::LogCapture log;
    m_server = kztest::make_server();
    m_server->Create();
    EXPECT_EQ(m_server->Start(), 0u);
    EXPECT_FALSE(m_server->IsStarted());
    EXPECT_TRUE(log.Contains("Error: m_pSIPGroup->Start failed (", CKZLogInterface::LOG_ERROR));
}

TEST_F(RunningServer, StopsPromptlyWithoutRegisteredAccounts) {
    StartServer();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_server->Stop(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_FALSE(m_server->IsStarted());
    m_peer.send_to(m_port, kztest::sip_request("OPTIONS", m_peer.port(), m_port));
    EXPECT_EQ(m_peer.receive(300), ""); // the stack is closed
}

TEST(SRTPExtensionLibrary, LoadsOnlyALibraryThatStartsAndSaysWhyNot) {
    struct Case {
        const char* path;
        bool available;
        const char* error; // the one error line logged, or null for none
    };
    const Case cases[] = {{"/nonexistent/libKZAPIEx.so", false, nullptr},
                          {KZ_FAKE_EXT_FAILS, false, "KZAPIEx Init Error 7"},
                          {KZ_FAKE_EXT_NO_INIT, false, "Doesn't locate functios in KZAPIEx.dll"},
                          {KZ_FAKE_EXT_OK, true, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        kztest::LogCapture log;
        {
            KZAPIExLibrary library;
            library.Load(); // none is installed beside the module or on the search path: silent
            library.LoadFrom(c.path);
            EXPECT_EQ(library.IsAvailable(), c.available);
            EXPECT_EQ(library.release != nullptr, c.available);
            library.Unload(); // the fake's release answers 0 the first time
            EXPECT_FALSE(library.IsAvailable());
        }
        EXPECT_EQ(log.CountAtLevel(CKZLogInterface::LOG_ERROR), c.error ? 1 : 0);
        EXPECT_TRUE(!c.error || log.Contains(c.error, CKZLogInterface::LOG_ERROR));
    }
}

TEST(SIPEventDrain, ABurstIsHandledAtMostOneThousandAndOneEventsPerPass) {
    const uint16_t port = kztest::free_port_pair();
    CKZSIPGroup group;
    ASSERT_EQ(group.Open(), 0u);
    ASSERT_EQ(group.CreateEventQueue(), 0);
    KZ_SIPProtocolConfig config{};
    group.GetConfig(&config);
    KZAPI::str_cpy(config.local_address, "127.0.0.1", sizeof(config.local_address));
    config.sip_port = port;
    config.transport_mask = KZ_SIP_TRANSPORT_UDP;
    ASSERT_EQ(group.SetConfig(&config), 0u);
    group.SetUseNATAddr(1);
    ASSERT_EQ(group.Start(), 0u);

    kztest::UdpPeer peer;
    constexpr int kBurst = 2000;
    for (int i = 0; i < kBurst; ++i)
        peer.send_to(port,
                     kztest::sip_request("OPTIONS", peer.port(), port, "", "burst-" + std::to_string(i)));

    // Let the UDP thread move the whole burst into the stack before the first pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    CKZSIPEventHandler handler;
    int first = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (first == 0 && std::chrono::steady_clock::now() < deadline)
        first = handler.ProcessSIPEvent(&group);
    EXPECT_EQ(first, CKZSIPEventHandler::kMaxEventsPerPass);
    int total = first;
    while (total < kBurst && std::chrono::steady_clock::now() < deadline) {
        const int n = handler.ProcessSIPEvent(&group);
        EXPECT_LE(n, CKZSIPEventHandler::kMaxEventsPerPass);
        total += n;
    }
    EXPECT_EQ(total, kBurst);
    group.Stop();
    group.DestroyEventQueue();
    group.Close();
}
