// The server: settings read at creation, switch groups, channel look-up, accounts and proxy sites
// from the settings, request vetting, the handing of transferred calls to proxy sites, the server
// on loopback answering what needs no call and refusing busy ports, the loading of the SRTP
// extension library, and the event drain's share per pass.
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "include/kzsipapi.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPProxySiteI.h"
#include "server/CKZSIPServer.h"
#include "server/KZAPIExLibrary.h"
#include "server/ProxyTransferTarget.h"
#include "server/SIPMessagePtr.h"
#include "server/kz_sip_factory.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"
#include "sipstack/KZ_SIPProtocolConfig.h"
#include "support/log_capture.h"
#include "support/port_holder.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { CKZCfgInterface::CFG_Clear(); }
    void TearDown() override { CKZCfgInterface::CFG_Clear(); }
};

// A message record parsed from text (the group's message functions must be filled: a group exists).
SIPMessagePtr parse_message(std::string text) {
    SIPMessagePtr message = AllocSIPMessage();
    KZSIPEvent event{};
    message->init_from_buf(text.data(), &event);
    return message;
}

// A call control that holds a SIP Call-ID, as the module's call controls do.
class CallIdControl : public KZAPI::CKZCallControl {
public:
    explicit CallIdControl(std::string id) : m_id(std::move(id)) {}
    const char* GetSIPCallID() const override { return m_id.c_str(); }

private:
    std::string m_id;
};

TEST_F(ServerTest, CodecListsAreBoundedAndEndWithMinusOne) {
    std::string many = "8,,18,";
    for (int i = 3; i < 60; ++i)
        many += std::to_string(i) + ",";
    int list[CKZSIPServer::kMaxCodecs + 1];
    CKZSIPServer::ParseCodecList(many.c_str(), list, CKZSIPServer::kMaxCodecs);
    EXPECT_EQ((std::vector<int>(list, list + 4)), (std::vector<int>{8, -1, 18, 3})) << "an empty item is -1";
    EXPECT_EQ(list[49], 49);
    EXPECT_EQ(list[50], -1);
}

TEST_F(ServerTest, RTPRangeStartsEvenAndEndsAboveTheStart) {
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.rtpstartrange", "28401");
    EXPECT_EQ(kztest::make_server()->GetRTPRange().start, 28402);
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.rtpstartrange", "28400");
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.rtpendrange", "28000");
    EXPECT_EQ(kztest::make_server()->GetRTPRange().end, 28500);
}

TEST_F(ServerTest, StunServerScanStopsAtTheFirstGapAfterAKey) {
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.stun.server", "stun0.example");
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.stun.server2", "stun2.example");
    kztest::ServerPtr server = kztest::make_server();
    server->Create();
    EXPECT_STREQ(server->GetSIPGroup()->GetSTUNServer(0), "stun0.example");
    EXPECT_STREQ(server->GetSIPGroup()->GetSTUNServer(1), "");
    EXPECT_STREQ(server->GetSIPGroup()->GetSTUNServer(2), "");
    server->Destroy();

    // A key present with an empty value does not end the scan; before any key a gap does not either.
    CKZCfgInterface::CFG_Clear();
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.stun.server1", "");
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.stun.server2", "stun2.example");
    kztest::ServerPtr second = kztest::make_server();
    second->Create();
    EXPECT_STREQ(second->GetSIPGroup()->GetSTUNServer(2), "stun2.example");
    second->Destroy();
}

TEST_F(ServerTest, SwitchGroupsFollowTheChannelBlocks) {
    kztest::ServerPtr server = kztest::make_server();
    server->Create();
    server->BuildUDPSwitchPorts(2, 8);
    EXPECT_STREQ(server->GetUDPSwitchPortList(), "-28432-28434-28436-28438");
    unsigned short a = 0, b = 0;
    EXPECT_EQ(server->InitUDPSwitchPort(a, b), 0);
    EXPECT_EQ(a, 28432);
    EXPECT_EQ(b, 28434);
    EXPECT_EQ(server->InitUDPSwitchPort(a, b), 1);
    EXPECT_EQ(a, 28436);
    EXPECT_EQ(server->InitUDPSwitchPort(a, b), -1);
    server->FreeUDPSwitchPort(7); // ignored
    server->FreeUDPSwitchPort(0);
    EXPECT_EQ(server->InitUDPSwitchPort(a, b), 0);
    EXPECT_EQ(a, 28432);

    server->BuildUDPSwitchPorts(0, 8);
    EXPECT_EQ(server->InitUDPSwitchPort(a, b), -1);
    EXPECT_STREQ(server->GetUDPSwitchPortList(), "");
    server->Destroy();
}

TEST_F(ServerTest, ChannelByCallIdMatchesAStoredPrefix) {
    kztest::ServerPtr server = kztest::make_server();
    KZAPI::CKZChannel empty_channel(0, KZAPI::CKZCallControl::KIND_SIP),
        channel(1, KZAPI::CKZCallControl::KIND_SIP);
    CallIdControl no_id(""), with_id("a84b4c76e66710");
    empty_channel.SetCallControl(&no_id);
    channel.SetCallControl(&with_id);
    EXPECT_EQ(server->GetChannelBySIPCallID("a84b4c76e66710"), nullptr); // no channels yet
    server->AddChannel(&empty_channel);
    server->AddChannel(&channel);

    EXPECT_EQ(server->GetChannelBySIPCallID("a84b4c76e66710@pc33.example.com"), &channel);
    EXPECT_EQ(server->GetChannelBySIPCallID("a84b4c76e66710"), &channel);
    EXPECT_EQ(server->GetChannelBySIPCallID("a84b4c"), nullptr);
    EXPECT_EQ(server->GetChannelBySIPCallID(""), nullptr);

    with_id.SetCRV(KZAPI::CKZCallControl::KIND_SIP, 42);
    EXPECT_EQ(server->GetChannelBySIPConnID(42), &channel);
    EXPECT_EQ(server->GetChannelBySIPConnID(43), nullptr);
    server->RemoveChannel(&empty_channel);
    server->RemoveChannel(&channel);
}

TEST_F(ServerTest, AccountsFillDomainProxyAndUserFromEachOther) {
    CKZCfgInterface::CFG_LoadText("kzsrv.sip.reg.client.num = 2\n"
                                  "kzsrv.sip.reg1.username = alice\n"
                                  "kzsrv.sip.reg1.proxy = pbx.example:5070\n"
                                  "kzsrv.sip.reg1.prot = 18\n"
                                  "kzsrv.sip.reg2.username = bob\n"
                                  "kzsrv.sip.reg2.authorization = bob-auth\n"
                                  "kzsrv.sip.reg2.domain = example.org\n"
                                  "kzsrv.sip.reg2.expire = 600\n");
    kztest::ServerPtr server = kztest::make_server();
    server->Create();
    ASSERT_EQ(server->GetUserRegProfileCount(), 2);
    const kz_sip_user_reg_profile* a = server->GetUserRegProfile(0);
    EXPECT_STREQ(a->domain, "pbx.example:5070");
    EXPECT_STREQ(a->authorization_user, "alice");
    EXPECT_EQ(a->transport, 2); // the low four bits
    const kz_sip_user_reg_profile* b = server->GetUserRegProfile(1);
    EXPECT_STREQ(b->proxy, "example.org");
    EXPECT_STREQ(b->authorization_user, "bob-auth");
    EXPECT_EQ(b->configured_lifetime, 600);
    EXPECT_EQ(server->GetUserRegProfile(2), nullptr);
    server->Destroy();
    EXPECT_EQ(server->GetUserRegProfileCount(), 0);
}

TEST_F(ServerTest, ProxySitesServeTheirDomainsInServerModeOnly) {
    CKZCfgInterface::CFG_LoadText("kzsrv.sip.proxy.sites.num = 2\n"
                                  "kzsrv.sip.proxy.site1.domain = a.example; 10.0.0.1\n"
                                  "kzsrv.sip.proxy.site1.recordroute = 1\n"
                                  "kzsrv.sip.proxy.site2.domain = b.example\n");
    kztest::ServerPtr server = kztest::make_server();
    server->Create();
    ASSERT_EQ(server->ProxySitesCount(), 2);
    EXPECT_EQ(server->GetProxySite(0)->GetDomains(), (std::vector<std::string>{"a.example", "10.0.0.1"}));
    EXPECT_TRUE(server->GetProxySite(0)->GetOptions().record_route);
    EXPECT_EQ(server->GetProxySiteByDomain("A.Example", ""), server->GetProxySite(0));
    EXPECT_EQ(server->GetProxySiteByDomain("c.example", "b.example"), server->GetProxySite(1));
    EXPECT_EQ(server->GetProxySiteByDomain("c.example", ""), nullptr);
    server->Destroy();

    CKZCfgInterface::CFG_SetValue("kzsrv.sip.server.model", "0");
    kztest::ServerPtr client = kztest::make_server();
    client->Create();
    EXPECT_EQ(client->ProxySitesCount(), 0);
    client->Destroy();
}

TEST_F(ServerTest, RequestValidationNamesWhatIsWrong) {
    const CKZSIPGroup group; // the first group fills the message functions the helpers use
    const std::string good = kztest::sip_request("INVITE", 5062, 5060);
    auto edited = [&](const std::string& line, const std::string& with) {
        std::string text = good;
        return text.replace(text.find(line), line.size(), with);
    };
    // The request, the code and reason of its refusal.
    const std::tuple<std::string, int, const char*> cases[] = {
        {good, 0, ""},
        {edited("Max-Forwards: 70", "Max-Forwards: 0"), 483, "Too Many Hops"},
        {edited("To: <sip:service@127.0.0.1:5060>\r\n", ""), 400, "Bad Request"},
        {edited("Max-Forwards: 70\r\n", ""), 0, ""}}; // only a warning
    kztest::LogCapture log;
    for (const auto& [text, code, expected_reason] : cases) {
        const SIPMessagePtr message = parse_message(text);
        char reason[64] = "";
        EXPECT_EQ(CKZSIPServer::RequestValidation(message.get(), reason, sizeof(reason)), code)
            << expected_reason;
        EXPECT_STREQ(reason, expected_reason);
    }
    EXPECT_TRUE(log.Contains("There is no Max-Forwards head in SIP request.", CKZLogInterface::LOG_WARNING));
}

TEST(ProxyTransferTargetText, ItemsNameEachPartOfTheTransfer) {
    EXPECT_EQ(ProxyTransferTarget::Parse("sip:bob@10.0.0.2").destination, "sip:bob@10.0.0.2");
    const ProxyTransferTarget t = ProxyTransferTarget::Parse(
        "To<sip:bob@b.example>|From<sip:alice@a.example>|User<alice>|Password<s3cret>|"
        "RequestURI<sip:bob@10.0.0.2:5070>|DestIP<10.0.0.2>|DestPort<5070>|newsession");
    EXPECT_EQ(t.destination + " " + t.caller + " " + t.user + " " + t.password + " " + t.request_uri + " " +
                  t.dest_ip + " " + std::to_string(t.dest_port),
              "<sip:bob@b.example> <sip:alice@a.example> alice s3cret sip:bob@10.0.0.2:5070 10.0.0.2 5070");
    EXPECT_TRUE(t.new_session);
    EXPECT_EQ(ProxyTransferTarget::Parse("sip:carol@c.example|NewSession").destination,
              "sip:carol@c.example");
}

// A site that records what the proxy hands it.
class RecordingSite : public CKZSIPProxySiteI {
public:
    using CKZSIPProxySiteI::CKZSIPProxySiteI;
    int TransferCall(const ProxyTransferTarget& target, uint32_t connection, sip_msg*, CKZSIPGroup*,
                     const char* address, uint16_t port) override {
        last = target.destination + " " + std::to_string(connection) + " " + address + ":" +
               std::to_string(port);
        return 7;
    }
    std::string last; // destination, connection and sender
};

// A server whose sites record what the proxy hands them.
class RecordingServer : public CKZSIPServer {
protected:
    std::unique_ptr<CKZSIPProxySiteI> CreateProxySite(int number, std::vector<std::string> domains,
                                                      const CKZSIPProxySiteOptions& options) override {
        return std::make_unique<RecordingSite>(number, std::move(domains), options);
    }
};

TEST_F(ServerTest, TransferredCallsGoToTheSiteOfTheirDomain) {
    CKZCfgInterface::CFG_LoadText("kzsrv.sip.proxy.sites.num = 2\n"
                                  "kzsrv.sip.proxy.site1.domain = a.example\n"
                                  "kzsrv.sip.proxy.site2.domain = b.example\n");
    RecordingServer server;
    server.Create();
    auto* site_b = static_cast<RecordingSite*>(server.GetProxySite(1));

    // To names no site's domain, nor does the Request-URI: no site takes the call.
    const SIPMessagePtr elsewhere = parse_message(kztest::sip_request("INVITE", 5062, 5060));
    EXPECT_EQ(
        server.Proxy_TransferCall(9, elsewhere.get(), server.GetSIPGroup(), "sip:x@y", "127.0.0.1", 5062), 0);
    EXPECT_TRUE(site_b->last.empty());

    std::string invite = kztest::sip_request("INVITE", 5062, 5060);
    invite.replace(invite.find("To: <sip:service@127.0.0.1:5060>"), 33, "To: <sip:bob@B.example>");
    const SIPMessagePtr to_b = parse_message(invite);
    EXPECT_EQ(server.Proxy_TransferCall(9, to_b.get(), server.GetSIPGroup(),
                                        "To<sip:bob@10.0.0.2>|NewSession", "127.0.0.1", 5062),
              7);
    EXPECT_EQ(site_b->last, "<sip:bob@10.0.0.2> 9 127.0.0.1:5062");
    server.Destroy();
}

// The final response to a request of the method, skipping provisional ones and the re-sent
// answers to earlier requests.
std::string final_response(const kztest::UdpPeer& peer, const std::string& method, int timeout_ms = 2000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string r = peer.receive(200);
        if (r.rfind("SIP/2.0 1", 0) != 0 && kztest::header_value(r, "CSeq") == "1 " + method) return r;
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
    std::string Ask(const std::string& method, const std::string& extra = "") {
        m_peer.send_to(m_port, kztest::sip_request(method, m_peer.port(), m_port, extra));
        return final_response(m_peer, method);
    }

    uint16_t m_port = 0;
    kztest::UdpPeer m_peer;
    kztest::ServerPtr m_server;
};

// (The sites' challenge to a REGISTER is proxy_site_test's.)
TEST_F(RunningServer, AnswersWhatNeedsNoCallAndChallengesRegistrationsOnlyForItsSites) {
    // Method, extra header lines, the answer ("" = not answered).
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"OPTIONS", "", "SIP/2.0 200 OK"},
        {"INVITE", "", "SIP/2.0 486 Busy Here"}, // no channels
        {"PUBLISH", "", "SIP/2.0 501 Not Implemented"},
        {"PRACK", "", "SIP/2.0 200 OK"},
        {"NOTIFY", "Event: reg\r\nContent-Type: text/plain\r\n", "SIP/2.0 200 OK"},
        {"REGISTER", "", "SIP/2.0 406 Not Acceptable"}, // no proxy sites
        {"UPDATE", "", ""}};
    m_server = kztest::make_server();
    ASSERT_EQ(m_server->Create(), 1u);
    ASSERT_EQ(m_server->Start(), 1u);
    EXPECT_STREQ(m_server->GetMappedPublicSIPIPAddress(), "127.0.0.1");
    for (const auto& [method, extra, status] : cases)
        EXPECT_EQ(kztest::status_line(Ask(method, extra)), status) << method;
    // Stopping without registered accounts closes the stack.
    EXPECT_EQ(m_server->Stop(), 1u);
    EXPECT_FALSE(m_server->IsStarted());
    m_peer.send_to(m_port, kztest::sip_request("OPTIONS", m_peer.port(), m_port));
    EXPECT_EQ(m_peer.receive(300), "");
}

// A port taken before the start is found by the server's own probe; a TCP port taken while the
// UDP one is free only by the stack's start.
TEST_F(RunningServer, RefusesToStartOnABusyPort) {
    struct Case {
        int socket_type;
        const char* protocol;
        std::string error;
    };
    std::vector<Case> cases;
    for (const kztest::BusyPortCase& c : kztest::kBusyPortCases)
        cases.push_back(
            {c.socket_type, c.protocol,
             std::string("Error: SIP ") + c.transport + " Port(%d) is used by other applications already."});
    cases.push_back({SOCK_STREAM, "3", "Error: m_pSIPGroup->Start failed ("});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        kztest::PortHolder holder(c.socket_type);
        ASSERT_NE(holder.Port(), 0);
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.port", std::to_string(holder.Port()).c_str());
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.protocol", c.protocol);
        kztest::LogCapture log;
        m_server = kztest::make_server();
        m_server->Create();
        EXPECT_EQ(m_server->Start(), 0u);
        std::string error = c.error;
        if (const size_t at = error.find("%d"); at != std::string::npos)
            error.replace(at, 2, std::to_string(holder.Port()));
        EXPECT_TRUE(log.Contains(error, CKZLogInterface::LOG_ERROR));
        m_server->Destroy();
        m_server.reset();
    }
}

TEST(SRTPExtensionLibrary, LoadsOnlyALibraryThatStartsAndSaysWhyNot) {
    // The library, whether it is available, the one error line logged (null for none).
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"/nonexistent/libKZAPIEx.so", false, nullptr},
        {KZ_FAKE_EXT_FAILS, false, "KZAPIEx Init Error 7"},
        {KZ_FAKE_EXT_NO_INIT, false, "Doesn't locate functios in KZAPIEx.dll"},
        {KZ_FAKE_EXT_OK, true, nullptr}};
    for (const auto& [path, available, error] : cases) {
        SCOPED_TRACE(path);
        kztest::LogCapture log;
        {
            KZAPIExLibrary library;
            library.Load(); // none is installed beside the module or on the search path: silent
            library.LoadFrom(path);
            EXPECT_EQ(library.IsAvailable(), available);
            EXPECT_EQ(library.release != nullptr, available);
            library.Unload(); // the fake's release answers 0 the first time
            EXPECT_FALSE(library.IsAvailable());
        }
        EXPECT_EQ(log.CountAtLevel(CKZLogInterface::LOG_ERROR), error ? 1 : 0);
        EXPECT_TRUE(!error || log.Contains(error, CKZLogInterface::LOG_ERROR));
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

} // namespace
