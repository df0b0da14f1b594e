// One started SIP call control against a server on loopback, with a raw UDP peer on 127.0.0.1
// playing the far end; the call control's timers run on a hand-driven clock. Unless the dispatch
// is to run, the rig holds the server's lock, so the server loop stands still: the test takes the
// stack's events itself and hands them to the call control, as the dispatch does.
#pragma once

#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "server/CKZSIPServer.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "support/loopback_config.h"
#include "support/sip_dialog.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kztest {

using RigConfig = std::vector<std::pair<const char*, const char*>>;

class CallControlRig {
public:
    explicit CallControlRig(int channel_number, const RigConfig& extra = {}, bool dispatch = false)
        : held(!dispatch), channel{channel_number, KZAPI::CKZCallControl::KIND_SIP} {
        port = free_port_pair();
        configure_loopback_server(port, {{"kzsrv.sip.protocol", "3"}}, channel_number); // UDP and TCP
        for (const auto& [key, value] : extra)
            KZAPI::CKZCfgInterface::CFG_SetValue(key, value);
        server = make_server();
        started = server->Create() == 1 && server->Start() == 1;
        if (held) server->GetServerMutex().Lock();
        channel.SetCallControl(&cc);
        cc.SetChannel(&channel);
        cc.SetAppTimerClock(&clock);
        started = cc.Start() == 1 && started;
    }
    ~CallControlRig() {
        cc.ResetCallStatus();
        cc.CloseRTPSocket();
        cc.Stop();
        if (held) server->GetServerMutex().Unlock();
        server->Stop();
        server->Destroy();
        server.reset();
        KZAPI::CKZCfgInterface::CFG_Clear();
    }
    CKZSIPGroup* group() const { return server->GetSIPGroup(); }
    static std::string at(uint16_t p) { return "127.0.0.1:" + std::to_string(p); }
    std::string PeerGets(const std::string& start, int timeout_ms = 1500) const {
        return receive_starting(peer, start, timeout_ms);
    }

    // The next message event of the stack of that type, made the call's current message.
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

    // The peer calls the channel with extra header lines and an SDP body (or none); each offer is a
    // call of its own. The INVITE is the call's current message.
    void Offer(const std::string& extra = "", const std::string& body = "") {
        const std::string n = std::to_string(++offers);
        invite = "INVITE sip:bob@" + at(port) + " SIP/2.0\r\nVia: SIP/2.0/UDP " + at(peer.port()) +
                 ";branch=z9hG4bK-in" + n + "\r\nMax-Forwards: 70\r\nFrom: <sip:alice@" + at(peer.port()) +
                 ">;tag=a1\r\nTo: <sip:bob@" + at(port) + ">\r\nCall-ID: in-call-" + n +
                 "\r\nCSeq: 1 INVITE\r\nContact: <sip:alice@" + at(peer.port()) + ";transport=udp>\r\n" +
                 extra + with_body(body);
        peer.send_to(port, invite);
        ASSERT_TRUE(Await(KZ_EVENT_SIP_MESSAGE_REQUEST));
        cc.SetSIPConnID(last_connection);
    }
    // A request of the peer inside the offered call, To as given (CANCEL reuses the INVITE's
    // branch); it becomes the call's current message.
    void PeerSends(const std::string& method, int cseq, const std::string& to, const std::string& body = "") {
        const std::string branch = method == "CANCEL" ? "z9hG4bK-in" + std::to_string(offers)
                                                      : "z9hG4bK-" + method + std::to_string(cseq);
        peer.send_to(port, method + " sip:bob@" + at(port) + " SIP/2.0\r\nVia: SIP/2.0/UDP " +
                               at(peer.port()) + ";branch=" + branch +
                               "\r\nMax-Forwards: 70\r\nFrom: " + header_value(invite, "From") +
                               "\r\nTo: " + to + "\r\nCall-ID: " + header_value(invite, "Call-ID") +
                               "\r\nCSeq: " + std::to_string(cseq) + " " + method + "\r\n" + with_body(body));
        ASSERT_TRUE(Await(KZ_EVENT_SIP_MESSAGE_REQUEST));
    }
    // The peer acknowledges the 200 that answered its offer.
    void Acknowledge(const std::string& ok) {
        to_with_tag = header_value(ok, "To");
        PeerSends("ACK", 1, to_with_tag);
    }
    // The peer answers a request of the call control (To gets the tag far1); the response is current.
    void PeerAnswers(const std::string& request, const std::string& status, const std::string& extra = "",
                     const std::string& body = "") {
        peer.send_to(port, response_to(request, status, peer.port(), extra, body));
        ASSERT_TRUE(Await(KZ_EVENT_SIP_MESSAGE_RESPONSE));
    }
    // Whether the call control's timer fires at seconds from now, and not a second before.
    bool TimerFiresAfter(int seconds) {
        clock.Advance(seconds - 1);
        if (cc.GetAppTimer().CheckEveryTimer()) return false;
        clock.Advance(1);
        return cc.GetAppTimer().CheckEveryTimer();
    }

    uint16_t port = 0;
    ServerPtr server;
    bool started = false, held;
    KZAPI::CKZManualClock clock;
    KZAPI::CKZChannel channel;
    CKZSIPAPICC cc;
    UdpPeer peer;
    uint32_t last_connection = 0;
    int offers = 0;
    std::string invite, to_with_tag;
};

} // namespace kztest
