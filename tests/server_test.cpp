// The server: class factory, settings read at creation, switch groups, channel look-up, accounts
// and proxy sites from the settings, request vetting, the SRTP extension library, and the server
// running on loopback answering what needs no call.
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZEventHandler.h"
#include "host/CKZLogInterface.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPProxySite.h"
#include "server/CKZSIPServer.h"
#include "server/ProxyTransferTarget.h"
#include "server/SIPMessagePtr.h"
#include "server/kz_sip_factory.h"
#include "server/kz_sip_user_reg_profile.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/kz_sip_result.h"
#include "sipmsg/sip_msg.h"
#include "support/log_capture.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
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

} // namespace

TEST_F(ServerTest, FactoryKnowsItsCodesOnly) {
    EXPECT_EQ(KZAPI_Alloc_Class_PRC(7), nullptr);
    EXPECT_EQ(KZAPI_Alloc_Class_PRC(0), nullptr);

    kztest::ServerPtr server = kztest::make_server();
    ASSERT_NE(server, nullptr);
    // Freeing with a code that is not the server's must leave it alive (ASan would see a double
    // free when the deleter runs otherwise).
    KZAPI_Free_Class_PRC(5, static_cast<KZAPI::CKZServer*>(server.get()));
    KZAPI_Free_Class_PRC(KZ_CLASS_SIP_SERVER, nullptr);
    EXPECT_EQ(server->GetDetectedNATType(), KZ_SIP_RESULT_FAILURE); // no group before Create

    auto* handler = static_cast<KZAPI::CKZEventHandler*>(KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_EVENT_HANDLER));
    EXPECT_NE(dynamic_cast<CKZSIPEventHandler*>(handler), nullptr);
    KZAPI_Free_Class_PRC(KZ_CLASS_SIP_EVENT_HANDLER, handler);
    void* board = KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_BOARD);
    EXPECT_NE(board, nullptr);
    KZAPI_Free_Class_PRC(KZ_CLASS_SIP_BOARD, board);
}

TEST_F(ServerTest, ModeDecidesTheJitterBufferDefaults) {
    struct Case {
        const char* mode;
        bool server_model;
        int jb_max;
        bool jb_get_all_data;
    };
    for (const Case& c : {Case{nullptr, true, 25, false}, Case{"0", false, 10, true}}) {
        SCOPED_TRACE(c.mode ? c.mode : "default");
        if (c.mode) CKZCfgInterface::CFG_SetValue("kzsrv.sip.server.model", c.mode);
        kztest::ServerPtr server = kztest::make_server();
        ASSERT_EQ(server->Create(), 1u);
        EXPECT_EQ(server->IsSIPServerModel(), c.server_model);
        EXPECT_EQ(server->GetJBMaxDelay(), c.jb_max);
        EXPECT_EQ(server->GetJBGetAllData(), c.jb_get_all_data);
        EXPECT_EQ(server->Destroy(), 1u);
    }
}

TEST_F(ServerTest, CodecListsEndWithMinusOne) {
    int list[CKZSIPServer::kMaxCodecs + 1];
    CKZSIPServer::ParseCodecList("0", list, CKZSIPServer::kMaxCodecs);
    EXPECT_EQ(list[0], 0);
    EXPECT_EQ(list[1], -1);
    CKZSIPServer::ParseCodecList("8,,18", list, CKZSIPServer::kMaxCodecs);
    EXPECT_EQ(list[0], 8);
    EXPECT_EQ(list[1], -1); // an empty item
    EXPECT_EQ(list[2], 18);
    EXPECT_EQ(list[3], -1);
    std::string many;
    for (int i = 0; i < 60; ++i)
        many += std::to_string(i) + ",";
    CKZSIPServer::ParseCodecList(many.c_str(), list, CKZSIPServer::kMaxCodecs);
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
    KZAPI::CKZChannel empty_channel(0, KZAPI::CKZCallControl::KIND_SIP);
    KZAPI::CKZChannel channel(1, KZAPI::CKZCallControl::KIND_SIP);
    CallIdControl no_id("");
    CallIdControl with_id("a84b4c76e66710");
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
    EXPECT_EQ(a->lifetime, 3600);
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
    EXPECT_EQ(server->GetProxySite(1)->GetNumber(), 1);
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

TEST_F(ServerTest, SettingsWrittenBackThroughTheConfiguration) {
    kztest::ServerPtr server = kztest::make_server();
    server->EnableVAD(true);
    server->EnableAGC(false);
    EXPECT_EQ(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.vad.enabled", -1), 1);
    EXPECT_EQ(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.agc.enabled", -1), 0);
}

TEST_F(ServerTest, RequestValidationNamesWhatIsWrong) {
    const CKZSIPGroup group; // the first group fills the message functions the helpers use
    const std::string good = kztest::sip_request("INVITE", 5062, 5060);
    auto edited = [&](const std::string& line, const std::string& with) {
        std::string text = good;
        return text.replace(text.find(line), line.size(), with);
    };
    struct Case {
        std::string text;
        int code;
        const char* reason;
    };
    const Case cases[] = {{good, 0, ""},
                          {edited("Max-Forwards: 70", "Max-Forwards: 0"), 483, "Too Many Hops"},
                          {edited("To: <sip:service@127.0.0.1:5060>\r\n", ""), 400, "Bad Request"},
                          {edited("Max-Forwards: 70\r\n", ""), 0, ""}}; // only a warning
    kztest::LogCapture log;
    for (const Case& c : cases) {
        const SIPMessagePtr message = parse_message(c.text);
        char reason[64] = "";
        EXPECT_EQ(CKZSIPServer::RequestValidation(message.get(), reason, sizeof(reason)), c.code) << c.reason;
        EXPECT_STREQ(reason, c.reason);
    }
    EXPECT_TRUE(log.Contains("There is no Max-Forwards head in SIP request.", CKZLogInterface::LOG_WARNING));
}

TEST(ProxyTransferTargetText, ItemsNameEachPartOfTheTransfer) {
    const ProxyTransferTarget plain = ProxyTransferTarget::Parse("sip:bob@10.0.0.2");
    EXPECT_EQ(plain.destination, "sip:bob@10.0.0.2");
    EXPECT_FALSE(plain.new_session);

    const ProxyTransferTarget t = ProxyTransferTarget::Parse(
        "To<sip:bob@b.example>|From<sip:alice@a.example>|User<alice>|Password<s3cret>|"
        "RequestURI<sip:bob@10.0.0.2:5070>|DestIP<10.0.0.2>|DestPort<5070>|newsession");
    EXPECT_EQ(t.destination, "<sip:bob@b.example>");
    EXPECT_EQ(t.caller, "<sip:alice@a.example>");
    EXPECT_EQ(t.user, "alice");
    EXPECT_EQ(t.password, "s3cret");
    EXPECT_EQ(t.request_uri, "sip:bob@10.0.0.2:5070");
    EXPECT_EQ(t.dest_ip, "10.0.0.2");
    EXPECT_EQ(t.dest_port, 5070);
    EXPECT_TRUE(t.new_session);

    EXPECT_EQ(ProxyTransferTarget::Parse("sip:carol@c.example|NewSession").destination,
              "sip:carol@c.example");
}

namespace {
// A site that records what the proxy hands it.
class RecordingSite : public CKZSIPProxySite {
public:
    using CKZSIPProxySite::CKZSIPProxySite;
    int TransferCall(const ProxyTransferTarget& target, uint32_t connection, sip_msg*, CKZSIPGroup*,
                     const char* address, uint16_t port) override {
        last_destination = target.destination;
        last_connection = connection;
        last_sender = std::string(address) + ":" + std::to_string(port);
        return 7;
    }
    std::string last_destination, last_sender;
    uint32_t last_connection = 0;
};
} // namespace

// A server whose sites record what the proxy hands them.
class RecordingServer : public CKZSIPServer {
protected:
    std::unique_ptr<CKZSIPProxySite> CreateProxySite(int number, std::vector<std::string> domains,
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
    EXPECT_TRUE(site_b->last_destination.empty());

    std::string invite = kztest::sip_request("INVITE", 5062, 5060);
    invite.replace(invite.find("To: <sip:service@127.0.0.1:5060>"), 33, "To: <sip:bob@B.example>");
    const SIPMessagePtr to_b = parse_message(invite);
    EXPECT_EQ(server.Proxy_TransferCall(9, to_b.get(), server.GetSIPGroup(),
                                        "To<sip:bob@10.0.0.2>|NewSession", "127.0.0.1", 5062),
              7);
    EXPECT_EQ(site_b->last_destination, "<sip:bob@10.0.0.2>");
    EXPECT_EQ(site_b->last_connection, 9u);
    EXPECT_EQ(site_b->last_sender, "127.0.0.1:5062");
    server.Destroy();
}
