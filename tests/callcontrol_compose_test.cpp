// What the call control puts on the wire: requests and responses composed by a started call
// control, sent through a server on loopback to a raw SIP peer that reads the text. The test holds
// the server's lock, so the server loop stands still and the test takes the stack's events itself.
#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPServer.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "support/loopback_config.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using KZAPI::CKZCfgInterface;

namespace {

using Config = std::vector<std::pair<const char*, const char*>>;
constexpr int kChannel = 3;

constexpr auto& header = kztest::header_value;

std::string first_line(const std::string& text) {
    return text.substr(0, text.find("\r\n"));
}

// A server on loopback with one started call control, a UDP peer, and the server loop held off.
class Rig {
public:
    explicit Rig(const Config& extra = {}) {
        port = kztest::free_port_pair();
        kztest::configure_loopback_server(port, {{"kzsrv.sip.protocol", "3"}}, kChannel); // UDP and TCP
        for (const auto& [key, value] : extra)
            CKZCfgInterface::CFG_SetValue(key, value);
        server = kztest::make_server();
        started = server->Create() == 1 && server->Start() == 1;
        server->GetServerMutex().Lock();
        channel.SetCallControl(&cc);
        cc.SetChannel(&channel);
        cc.Start();
    }
    ~Rig() {
        cc.Stop();
        server->GetServerMutex().Unlock();
        server->Stop();
        server->Destroy();
        server.reset();
        CKZCfgInterface::CFG_Clear();
    }
    CKZSIPGroup* group() const { return server->GetSIPGroup(); }
    std::string at(uint16_t p) const { return "127.0.0.1:" + std::to_string(p); }

    // The next message event of the stack, made the call's current message.
    bool Await(uint32_t type, unsigned reason = 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end) {
            KZSIPEvent event{};
            if (group()->WaitOnEvent(0, &event) == 0 && event.event_type == type) {
                last_connection = event.connection_id;
                return cc.SetCurSIPMsg(&event, reason) == 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    // The next datagram to the peer whose first line starts with start ("" when none came).
    std::string PeerGets(const std::string& start, int timeout_ms = 1500) {
        for (std::string text = peer.receive(timeout_ms); !text.empty(); text = peer.receive(timeout_ms))
            if (text.rfind(start, 0) == 0) return text;
        return "";
    }

    // The peer calls the channel; the call control takes the INVITE as an offered call.
    void OfferInbound(const std::string& supported = "") {
        invite = "INVITE sip:bob@" + at(port) + " SIP/2.0\r\nVia: SIP/2.0/UDP " + at(peer.port()) +
                 ";branch=z9hG4bK-in1\r\nMax-Forwards: 70\r\nFrom: <sip:alice@" + at(peer.port()) +
                 ">;tag=a1\r\nTo: <sip:bob@" + at(port) + ">\r\nCall-ID: in-call-1\r\nCSeq: 1 INVITE\r\n" +
                 "Contact: <sip:alice@" + at(peer.port()) + ";transport=udp>\r\n" +
                 (supported.empty() ? "" : "Supported: " + supported + "\r\n") + "Content-Length: 0\r\n\r\n";
        peer.send_to(port, invite);
        ASSERT_TRUE(Await(KZ_EVENT_SIP_MESSAGE_REQUEST));
        cc.SetSIPConnID(last_connection);
        cc.SetCallDirection(KZAPI::CKZCall::CALL_INBOUND);
        cc.SetCallerNum(header(invite, "From").c_str());
        cc.SetCalleeNum(header(invite, "To").c_str());
        cc.SmartlyDecideRemoteContactID(header(invite, "Contact").c_str());
        cc.SetSIPStatus(SIP_CALL_ACCEPTED);
    }
    // Answers the offered call with 200 and lets the peer's ACK confirm the dialog.
    void ConnectInbound() {
        ASSERT_EQ(Respond(200, "OK"), 0);
        const std::string ok = PeerGets("SIP/2.0 200");
        ASSERT_FALSE(ok.empty());
        to_with_tag = header(ok, "To");
        PeerSends("ACK", 1, to_with_tag);
        cc.SetSIPStatus(SIP_CALL_CONNECTED);
    }
    // A request of the peer inside the inbound dialog (CANCEL reuses the INVITE's branch).
    void PeerSends(const std::string& method, int cseq, const std::string& to) {
        const std::string branch = method == "CANCEL" ? "z9hG4bK-in1" : "z9hG4bK-" + method;
        peer.send_to(port, method + " sip:bob@" + at(port) + " SIP/2.0\r\nVia: SIP/2.0/UDP " +
                               at(peer.port()) + ";branch=" + branch +
                               "\r\nMax-Forwards: 70\r\nFrom: " + header(invite, "From") + "\r\nTo: " + to +
                               "\r\nCall-ID: in-call-1\r\nCSeq: " + std::to_string(cseq) + " " + method +
                               "\r\nContent-Length: 0\r\n\r\n");
        ASSERT_TRUE(Await(KZ_EVENT_SIP_MESSAGE_REQUEST));
    }
    int Respond(int code, const char* text, unsigned with_sdp = 0) {
        sip_msg* request = cc.GetCurSIPMsg();
        const std::string via = element(request, KZ_IE_SIP_VIA_ADDRESS), to = element(request, KZ_IE_SIP_TO),
                          from = element(request, KZ_IE_SIP_FROM), id = element(request, KZ_IE_SIP_CALLID);
        return cc.SendSIPResponseMsg(request, code, text, via.c_str(), id.c_str(), to.c_str(), from.c_str(),
                                     cc.GetLocalContact(), with_sdp, -1);
    }

    // The channel calls the peer; returns the INVITE as the peer read it.
    std::string PlaceOutbound(unsigned with_sdp = 1) {
        uint32_t connection = 0;
        group()->GetConnectionId(&connection);
        cc.SetSIPConnID(connection);
        cc.SetCallDirection(KZAPI::CKZCall::CALL_OUTBOUND);
        cc.SetCallerNum(("<sip:bob@" + at(port) + ">").c_str());
        cc.SetCalleeNum(("<sip:carol@" + at(peer.port()) + ">").c_str());
        cc.SmartlyDecideRemoteContactID(cc.GetCalleeNum());
        cc.SetSIPStatus(SIP_CALL_CALLING);
        return SendInvite(with_sdp);
    }
    std::string SendInvite(unsigned with_sdp = 1) {
        char from[512], to[512], uri[512];
        cc.BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
        cc.BuildSIPRequestURI(cc.GetPeerSIPContactAddress(), uri, sizeof(uri));
        if (cc.SendSIPRequestMsgEx("INVITE", from, to, uri, cc.GetLocalContact(), with_sdp, 0) != 0)
            return "";
        return PeerGets("INVITE ");
    }
    // The peer answers the channel's INVITE; the stack takes the response.
    void PeerAnswers(const std::string& request, const std::string& status, const std::string& extra = "") {
        peer.send_to(port, "SIP/2.0 " + status + "\r\nVia: " + header(request, "Via") +
                               "\r\nFrom: " + header(request, "From") + "\r\nTo: " + header(request, "To") +
                               ";tag=peer-tag\r\nCall-ID: " + header(request, "Call-ID") + "\r\nCSeq: " +
                               header(request, "CSeq") + "\r\n" + extra + "Content-Length: 0\r\n\r\n");
        ASSERT_TRUE(Await(KZ_EVENT_SIP_MESSAGE_RESPONSE, 1));
    }

    static std::string element(sip_msg* message, uint32_t id) {
        char text[CKZSIPGroup::kIEBufferSize] = "";
        CKZSIPGroup::MSG_GetIE_STR(message, id, 0, text);
        return text;
    }

    uint16_t port = 0;
    kztest::ServerPtr server;
    bool started = false;
    KZAPI::CKZChannel channel{kChannel, KZAPI::CKZCallControl::KIND_SIP};
    CKZSIPAPICC cc;
    kztest::UdpPeer peer;
    uint32_t last_connection = 0;
    std::string invite, to_with_tag;
};

} // namespace

TEST(CallControlCompose, HangUpSendsWhatTheStatusCallsFor) {
    enum Setup { INBOUND_OFFERED, INBOUND_CONNECTED, OUTBOUND_RINGING, INBOUND_OFFERED_ONLY };
    struct Case {
        const char* name;
        Setup setup;
        KZ_SIP_CALL_STATUS status;
        const char* totag_switch;
        int cause_code;
        const char* cause_text;
        unsigned sent;
        const char* first_line; // regex; "" = nothing reaches the peer
        KZ_SIP_CALL_STATUS after;
    };
    const Case cases[] = {
        {"busy", INBOUND_OFFERED, SIP_CALL_RINGING, "1", 0, "", 1, "SIP/2.0 486 Busy Here",
         SIP_CALL_REJECTED},
        {"cause", INBOUND_OFFERED, SIP_CALL_ACCEPTED, "1", 603, "Decline", 1, "SIP/2.0 603 Decline",
         SIP_CALL_REJECTED},
        {"bye", INBOUND_CONNECTED, SIP_CALL_CONNECTED, "1", 0, "", 1,
         "BYE sip:alice@127\\.0\\.0\\.1:\\d+;transport=udp SIP/2\\.0", SIP_CALL_BYE_SENT},
        {"bye held", INBOUND_CONNECTED, SIP_CALL_HELD, "1", 0, "", 1, "BYE ", SIP_CALL_BYE_SENT},
        {"cancel with tag", OUTBOUND_RINGING, SIP_CALL_RECEIVED_RINGING, "1", 0, "", 1, "CANCEL sip:carol@",
         SIP_CALL_CANCEL_SENT},
        {"cancel without tag", OUTBOUND_RINGING, SIP_CALL_RECEIVED_RINGING, "0", 0, "", 1,
         "CANCEL sip:carol@", SIP_CALL_CANCEL_SENT},
        {"idle", INBOUND_OFFERED_ONLY, SIP_CALL_IDLE, "1", 0, "", 0, "", SIP_CALL_IDLE},
        {"refer sent", INBOUND_CONNECTED, SIP_CALL_REFER_SENT, "1", 0, "", 0, "", SIP_CALL_REFER_SENT},
        {"refer received", INBOUND_CONNECTED, SIP_CALL_REFER_RECEIVED, "1", 0, "", 0, "",
         SIP_CALL_REFER_RECEIVED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(Config{{"kzsrv.sip.get.totag.from.ring.for.cancel", c.totag_switch}});
        ASSERT_TRUE(rig.started);
        if (c.setup == OUTBOUND_RINGING) {
            const std::string invite = rig.PlaceOutbound();
            ASSERT_FALSE(invite.empty());
            rig.PeerAnswers(invite, "180 Ringing");
            rig.cc.SetSIPToTag("peer-tag");
        } else {
            rig.OfferInbound();
            if (c.setup == INBOUND_CONNECTED) rig.ConnectInbound();
        }
        rig.cc.SetSIPStatus(c.status);
        rig.cc.SetDisconnectCause(c.cause_code, c.cause_text);
        EXPECT_EQ(rig.cc.DisconnectSIPCall(), c.sent);
        EXPECT_EQ(rig.cc.GetSIPStatus(), c.after);
        if (!*c.first_line) {
            EXPECT_EQ(rig.PeerGets("", 300), "");
            continue;
        }
        const std::string text = rig.PeerGets(std::string(c.first_line).substr(0, 3));
        EXPECT_TRUE(std::regex_search(first_line(text), std::regex(std::string("^") + c.first_line))) << text;
        if (c.setup == INBOUND_CONNECTED) {
            // The answering side's BYE names the remote party in To, itself in From.
            EXPECT_NE(header(text, "To").find("sip:alice@"), std::string::npos) << text;
            EXPECT_NE(header(text, "From").find("sip:bob@"), std::string::npos) << text;
            EXPECT_EQ(header(text, "To").find("tag=a1;tag"), std::string::npos) << text;
        }
        if (c.setup == OUTBOUND_RINGING) {
            EXPECT_EQ(header(text, "To").find("tag=peer-tag") != std::string::npos, *c.totag_switch == '1')
                << text;
        }
    }
}

TEST(CallControlCompose, RemoteHangUpIsAnsweredForItsTransaction) {
    struct Case {
        const char* name;
        bool connected;
        const char* method;
        std::vector<std::pair<const char*, const char*>> answers; // first line, CSeq
    };
    const Case cases[] = {
        {
            "cancel",
            false,
            "CANCEL",
            {{"SIP/2.0 487 Request Terminated", "1 INVITE"}, {"SIP/2.0 200 OK", "1 CANCEL"}},
        },
        {"bye", true, "BYE", {{"SIP/2.0 200 OK", "2 BYE"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        ASSERT_TRUE(rig.started);
        rig.OfferInbound();
        if (c.connected) {
            rig.ConnectInbound();
            rig.PeerSends(c.method, 2, rig.to_with_tag);
        } else {
            ASSERT_EQ(rig.Respond(180, "Ringing"), 0);
            ASSERT_FALSE(rig.PeerGets("SIP/2.0 180").empty());
            rig.cc.SetSIPStatus(SIP_CALL_RINGING);
            rig.PeerSends(c.method, 1, header(rig.invite, "To"));
        }
        // The host answers through ReleaseCall while the request is current, then the call is idle.
        rig.cc.SetStatus(KZAPI::CKZCall::CALL_STATUS_CONNECTED);
        EXPECT_EQ(rig.cc.OnDisconnect(), 1u);
        EXPECT_EQ(rig.cc.GetSIPStatus(), SIP_CALL_IDLE);
        EXPECT_EQ(rig.cc.GetCallStatus(), KZAPI::CKZCall::CALL_STATUS_IDLE);
        for (const auto& [line, cseq] : c.answers) {
            const std::string text = rig.PeerGets("SIP/2.0");
            EXPECT_EQ(first_line(text), line);
            EXPECT_EQ(header(text, "CSeq"), cseq);
        }
    }
}

TEST(CallControlCompose, ProvisionalIsReliableOnlyWhenTheCallerSupportsIt) {
    struct Case {
        const char* prack;
        const char* supported;
        bool reliable;
    };
    const Case cases[] = {
        {"1", "100rel, timer", true}, {"1", "timer", false}, {"1", "", false}, {"0", "100rel", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.prack) + " / " + c.supported);
        Rig rig(Config{{"kzsrv.sip.use.prack", c.prack}});
        ASSERT_TRUE(rig.started);
        rig.OfferInbound(c.supported);
        ASSERT_EQ(rig.Respond(183, "Session Progress"), 0);
        const std::string text = rig.PeerGets("SIP/2.0 183");
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(header(text, "Require"), c.reliable ? "100rel" : "");
        EXPECT_EQ(header(text, "RSeq"), c.reliable ? "1" : "");
    }
}

TEST(CallControlCompose, OverTCPTheContactNamesTheTransportAndTheAnswerUsesTheConnection) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    kztest::TcpPeer tcp(rig.port);
    ASSERT_TRUE(tcp.connected());
    const std::string from = rig.at(tcp.local_port());
    tcp.send("INVITE sip:bob@" + rig.at(rig.port) + " SIP/2.0\r\nVia: SIP/2.0/TCP " + from +
             ";branch=z9hG4bK-tcp\r\nMax-Forwards: 70\r\nFrom: <sip:alice@" + from +
             ">;tag=t1\r\nTo: <sip:bob@" + rig.at(rig.port) +
             ">\r\nCall-ID: tcp-call\r\nCSeq: 1 INVITE\r\nContact: <sip:alice@" + from +
             ";transport=tcp>\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(rig.Await(KZ_EVENT_SIP_MESSAGE_REQUEST));
    rig.cc.SetSIPConnID(rig.last_connection);
    EXPECT_GT(rig.cc.GetTransportProtocol(), 0);

    rig.cc.BuildLocalContactID(nullptr, rig.group(), "127.0.0.1", nullptr);
    const std::string contact = "<sip:KZAPISIPUA-CH3@" + rig.at(rig.port) + ";transport=tcp>";
    EXPECT_EQ(rig.cc.GetLocalContact(), contact);

    sip_msg* request = rig.cc.GetCurSIPMsg();
    const std::string via = Rig::element(request, KZ_IE_SIP_VIA_ADDRESS);
    ASSERT_EQ(rig.cc.SendSIPResponseMsg(request, 180, "Ringing", via.c_str(), "tcp-call",
                                        Rig::element(request, KZ_IE_SIP_TO).c_str(),
                                        Rig::element(request, KZ_IE_SIP_FROM).c_str(),
                                        "<sip:bob@127.0.0.1:5062>", 0, -1),
              0);
    const std::string text = tcp.receive(1500);
    EXPECT_EQ(first_line(text), "SIP/2.0 180 Ringing") << text;
    EXPECT_EQ(header(text, "Contact"), "<sip:bob@127.0.0.1:5062;transport=tcp>");
}

TEST(CallControlCompose, OffersOfOneCallShareTheSessionAndCountTheVersion) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    const std::regex origin("\r\no=- (\\S+) (\\d+) IN IP4 127\\.0\\.0\\.1\r\n");
    std::smatch first, second;
    const std::string one = rig.PlaceOutbound(1);
    const std::string two = rig.SendInvite(1);
    ASSERT_TRUE(std::regex_search(one, first, origin)) << one;
    ASSERT_TRUE(std::regex_search(two, second, origin)) << two;
    EXPECT_EQ(first[1].str(), second[1].str());
    EXPECT_EQ(std::stoi(second[2].str()), std::stoi(first[2].str()) + 1);
    EXPECT_EQ(header(one, "Content-Type"), "application/sdp");
    EXPECT_NE(one.find("m=audio " + std::to_string(rig.cc.GetSDPAndViaAddr().sdp_port) + " RTP/AVP"),
              std::string::npos);
}

TEST(CallControlCompose, CredentialsGoWithTheOneRequestThatAnswersTheChallenge) {
    struct Case {
        const char* challenge;
        const char* challenge_header;
        const char* answer_header;
    };
    const Case cases[] = {{"401 Unauthorized", "WWW-Authenticate", "Authorization"},
                          {"407 Proxy Authentication Required", "Proxy-Authenticate", "Proxy-Authorization"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.challenge);
        Rig rig;
        ASSERT_TRUE(rig.started);
        const std::string invite = rig.PlaceOutbound(0);
        ASSERT_FALSE(invite.empty());
        rig.PeerAnswers(invite, c.challenge,
                        std::string(c.challenge_header) +
                            ": Digest realm=\"loop\", nonce=\"n0nce\", qop=\"auth\"\r\n");
        kz_sip_user_reg_profile account;
        KZAPI::str_cpy(account.authorization_user, "bob", sizeof(account.authorization_user));
        KZAPI::str_cpy(account.password, "secret", sizeof(account.password));
        rig.cc.SaveCreditChallengeInfo(rig.group(), &account);

        const std::string repeated = rig.SendInvite(0);
        const std::string credentials = header(repeated, c.answer_header);
        EXPECT_NE(credentials.find("username=\"bob\""), std::string::npos) << repeated;
        EXPECT_NE(credentials.find("nonce=\"n0nce\""), std::string::npos) << repeated;
        EXPECT_NE(credentials.find("response=\""), std::string::npos) << repeated;
        EXPECT_EQ(header(repeated, "Call-ID"), header(invite, "Call-ID"));
        EXPECT_EQ(rig.cc.SentCreditInLastRequest(), 1u);

        const std::string next = rig.SendInvite(0);
        ASSERT_FALSE(next.empty());
        EXPECT_EQ(header(next, c.answer_header), "") << next;
        EXPECT_EQ(rig.cc.SentCreditInLastRequest(), 0u);
    }
}

TEST(CallControlCompose, RequestURIComesFromTheContact) {
    struct Case {
        const char* contact;
        const char* uri;
        int result;
    };
    const Case cases[] = {
        {"<sip:user@127.0.0.1:5070;transport=udp>", "sip:user@127.0.0.1:5070;transport=udp", 0},
        {"\"Al\" <sip:al@127.0.0.1>;expires=60", "sip:al@127.0.0.1", 0},
        {"sips:user@127.0.0.1:5071", "sip:user@127.0.0.1:5071", 0},
        {"127.0.0.1:5072", "sip:127.0.0.1:5072", 0},
        {"sips:user", "", -1},
    };
    Rig rig;
    for (const Case& c : cases) {
        char uri[512] = "x";
        EXPECT_EQ(rig.cc.BuildSIPRequestURI(c.contact, uri, sizeof(uri)), c.result) << c.contact;
        EXPECT_STREQ(uri, c.uri) << c.contact;
    }
}

TEST(CallControlCompose, ViaAndContactFollowTheStrongestSource) {
    enum Source { GROUP, RECEIVED, REGISTERED_CONTACT, EXPLICIT };
    struct Case {
        const char* name;
        Source source;
        const char* via;     // "%d" is the server's port
        const char* sdp;     // "" = the call's own RTP address and port
        const char* contact; // "%d" is the server's port
    };
    const Case cases[] = {
        {"group", GROUP, "127.0.0.1:%d", "", "<sip:carol@127.0.0.1:%d>"},
        {"received", RECEIVED, "127.0.0.2:6000", "", "<sip:alice@127.0.0.1:%d>"},
        {"registered", REGISTERED_CONTACT, "127.0.0.3:6001", "", "<sip:alice@127.0.0.3:6001>"},
        {"explicit", EXPLICIT, "127.0.0.4:6002", "127.0.0.4:40000", "<sip:carol@127.0.0.4:6002>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        ASSERT_TRUE(rig.started);
        kz_sip_user_reg_profile account;
        kz_sip_user_reg_profile* used = nullptr;
        if (c.source == RECEIVED || c.source == REGISTERED_CONTACT) {
            used = &account;
            KZAPI::str_cpy(account.user_name, "alice", sizeof(account.user_name));
            KZAPI::str_cpy(account.own_contact, "<sip:alice@127.0.0.3:6001>", sizeof(account.own_contact));
        }
        if (c.source == RECEIVED) {
            KZAPI::str_cpy(account.received_address, "127.0.0.2", sizeof(account.received_address));
            account.received_port = 6000;
        }
        if (c.source == REGISTERED_CONTACT) account.state = kz_sip_user_reg_profile::REGISTERED;
        if (c.source == EXPLICIT) {
            ASSERT_EQ(rig.cc.SetSIPAndRTPAddr("127.0.0.4:6002", "127.0.0.4:40000"), 1u);
        }

        CKZSIPGroup::SDP_AND_VIA_ADDR addr{};
        EXPECT_EQ(rig.cc.DynamicallyDecideSDPAndViaAddrForRequest(rig.group(), addr, "127.0.0.1", nullptr,
                                                                  nullptr, used),
                  1u);
        char expected[128];
        snprintf(expected, sizeof(expected), c.via, rig.port);
        EXPECT_EQ(std::string(addr.via_address) + ":" + std::to_string(addr.via_port), expected);
        const std::string own_rtp = rig.at(rig.cc.GetLocalRealRTPPort());
        EXPECT_EQ(std::string(addr.sdp_address) + ":" + std::to_string(addr.sdp_port),
                  *c.sdp ? c.sdp : own_rtp);

        rig.cc.BuildLocalContactID(used, rig.group(), "127.0.0.1", "\"C\" <sip:carol@127.0.0.9>");
        snprintf(expected, sizeof(expected), c.contact, rig.port);
        EXPECT_STREQ(rig.cc.GetLocalContact(), expected);
    }
}
