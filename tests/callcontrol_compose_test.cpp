// What the call control puts on the wire: requests and responses composed by a started call
// control, sent through a server on loopback to a raw SIP peer that reads the text. The test holds
// the server's lock, so the server loop stands still and the test takes the stack's events itself.
#include "host/KZStrFunc.h"
#include "support/callcontrol_rig.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using Config = kztest::RigConfig;
using Rig = kztest::CallControlRig;
constexpr int kChannel = 3;

constexpr auto& header = kztest::header_value;

std::string first_line(const std::string& text) {
    return text.substr(0, text.find("\r\n"));
}

std::string element(sip_msg* message, uint32_t id) {
    char text[CKZSIPGroup::kIEBufferSize] = "";
    CKZSIPGroup::MSG_GetIE_STR(message, id, 0, text);
    return text;
}

// The call control takes the peer's INVITE as an offered call, as the dispatch sets it up.
void OfferInbound(Rig& rig, const std::string& supported = "") {
    rig.Offer(supported.empty() ? "" : "Supported: " + supported + "\r\n");
    rig.cc.SetCallDirection(KZAPI::CKZCall::CALL_INBOUND);
    rig.cc.SetCallerNum(header(rig.invite, "From").c_str());
    rig.cc.SetCalleeNum(header(rig.invite, "To").c_str());
    rig.cc.SmartlyDecideRemoteContactID(header(rig.invite, "Contact").c_str());
    rig.cc.SetSIPStatus(SIP_CALL_ACCEPTED);
}
// The call control answers the current request.
int Respond(Rig& rig, int code, const char* text, unsigned with_sdp = 0) {
    sip_msg* request = rig.cc.GetCurSIPMsg();
    const std::string via = element(request, KZ_IE_SIP_VIA_ADDRESS), to = element(request, KZ_IE_SIP_TO),
                      from = element(request, KZ_IE_SIP_FROM), id = element(request, KZ_IE_SIP_CALLID);
    return rig.cc.SendSIPResponseMsg(request, code, text, via.c_str(), id.c_str(), to.c_str(), from.c_str(),
                                     rig.cc.GetLocalContact(), with_sdp, -1);
}
// Answers the offered call with 200 and lets the peer's ACK confirm the dialog.
void ConnectInbound(Rig& rig) {
    ASSERT_EQ(Respond(rig, 200, "OK"), 0);
    const std::string ok = rig.PeerGets("SIP/2.0 200");
    ASSERT_FALSE(ok.empty());
    rig.Acknowledge(ok);
    rig.cc.SetSIPStatus(SIP_CALL_CONNECTED);
}

// The call control sends the INVITE of its call; returns it as the peer read it.
std::string SendInvite(Rig& rig, unsigned with_sdp = 1) {
    char from[512], to[512], uri[512];
    rig.cc.BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
    rig.cc.BuildSIPRequestURI(rig.cc.GetPeerSIPContactAddress(), uri, sizeof(uri));
    if (rig.cc.SendSIPRequestMsgEx("INVITE", from, to, uri, rig.cc.GetLocalContact(), with_sdp, 0) != 0)
        return "";
    return rig.PeerGets("INVITE ");
}
// The channel calls the peer; returns the INVITE as the peer read it.
std::string PlaceOutbound(Rig& rig, unsigned with_sdp = 1) {
    uint32_t connection = 0;
    rig.group()->GetConnectionId(&connection);
    rig.cc.SetSIPConnID(connection);
    rig.cc.SetCallDirection(KZAPI::CKZCall::CALL_OUTBOUND);
    rig.cc.SetCallerNum(("<sip:bob@" + rig.at(rig.port) + ">").c_str());
    rig.cc.SetCalleeNum(("<sip:carol@" + rig.at(rig.peer.port()) + ">").c_str());
    rig.cc.SmartlyDecideRemoteContactID(rig.cc.GetCalleeNum());
    rig.cc.SetSIPStatus(SIP_CALL_CALLING);
    return SendInvite(rig, with_sdp);
}

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
        Rig rig(kChannel, Config{{"kzsrv.sip.get.totag.from.ring.for.cancel", c.totag_switch}});
        ASSERT_TRUE(rig.started);
        if (c.setup == OUTBOUND_RINGING) {
            const std::string invite = PlaceOutbound(rig);
            ASSERT_FALSE(invite.empty());
            rig.PeerAnswers(invite, "180 Ringing");
            rig.cc.SetSIPToTag("far1");
        } else {
            OfferInbound(rig);
            if (c.setup == INBOUND_CONNECTED) ConnectInbound(rig);
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
            EXPECT_EQ(header(text, "To").find("tag=far1") != std::string::npos, *c.totag_switch == '1')
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
        Rig rig(kChannel);
        ASSERT_TRUE(rig.started);
        OfferInbound(rig);
        if (c.connected) {
            ConnectInbound(rig);
            rig.PeerSends(c.method, 2, rig.to_with_tag);
        } else {
            ASSERT_EQ(Respond(rig, 180, "Ringing"), 0);
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
        Rig rig(kChannel, Config{{"kzsrv.sip.use.prack", c.prack}});
        ASSERT_TRUE(rig.started);
        OfferInbound(rig, c.supported);
        ASSERT_EQ(Respond(rig, 183, "Session Progress"), 0);
        const std::string text = rig.PeerGets("SIP/2.0 183");
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(header(text, "Require"), c.reliable ? "100rel" : "");
        EXPECT_EQ(header(text, "RSeq"), c.reliable ? "1" : "");
    }
}

TEST(CallControlCompose, OverTCPTheContactNamesTheTransportAndTheAnswerUsesTheConnection) {
    Rig rig(kChannel);
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
    const std::string via = element(request, KZ_IE_SIP_VIA_ADDRESS);
    ASSERT_EQ(rig.cc.SendSIPResponseMsg(
                  request, 180, "Ringing", via.c_str(), "tcp-call", element(request, KZ_IE_SIP_TO).c_str(),
                  element(request, KZ_IE_SIP_FROM).c_str(), "<sip:bob@127.0.0.1:5062>", 0, -1),
              0);
    const std::string text = tcp.receive(1500);
    EXPECT_EQ(first_line(text), "SIP/2.0 180 Ringing") << text;
    EXPECT_EQ(header(text, "Contact"), "<sip:bob@127.0.0.1:5062;transport=tcp>");
}

TEST(CallControlCompose, OffersOfOneCallShareTheSessionAndCountTheVersion) {
    Rig rig(kChannel);
    ASSERT_TRUE(rig.started);
    const std::regex origin("\r\no=- (\\S+) (\\d+) IN IP4 127\\.0\\.0\\.1\r\n");
    std::smatch first, second;
    const std::string one = PlaceOutbound(rig, 1);
    const std::string two = SendInvite(rig, 1);
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
        Rig rig(kChannel);
        ASSERT_TRUE(rig.started);
        const std::string invite = PlaceOutbound(rig, 0);
        ASSERT_FALSE(invite.empty());
        rig.PeerAnswers(invite, c.challenge,
                        std::string(c.challenge_header) +
                            ": Digest realm=\"loop\", nonce=\"n0nce\", qop=\"auth\"\r\n");
        kz_sip_user_reg_profile account;
        KZAPI::str_cpy(account.authorization_user, "bob", sizeof(account.authorization_user));
        KZAPI::str_cpy(account.password, "secret", sizeof(account.password));
        rig.cc.SaveCreditChallengeInfo(rig.group(), &account);

        const std::string repeated = SendInvite(rig, 0);
        const std::string credentials = header(repeated, c.answer_header);
        EXPECT_NE(credentials.find("username=\"bob\""), std::string::npos) << repeated;
        EXPECT_NE(credentials.find("nonce=\"n0nce\""), std::string::npos) << repeated;
        EXPECT_NE(credentials.find("response=\""), std::string::npos) << repeated;
        EXPECT_EQ(header(repeated, "Call-ID"), header(invite, "Call-ID"));
        EXPECT_EQ(rig.cc.SentCreditInLastRequest(), 1u);

        const std::string next = SendInvite(rig, 0);
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
    Rig rig(kChannel);
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
        Rig rig(kChannel);
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
